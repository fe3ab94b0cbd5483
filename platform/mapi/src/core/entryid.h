// Entry identifiers of the local store provider.
#pragma once

#include <guiddef.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tesk::mapi {

enum class ObjKind : std::uint8_t { Folder = 1, Message = 2 };

// A store's entry identifier: four zero flag bytes, the provider's UID, a
// version byte and the store's own GUID.
std::string MakeStoreEntryId(const GUID& store);
std::optional<GUID> ParseStoreEntryId(const void* data, size_t size);

// A folder's or message's: four zero flag bytes, the store's GUID, the kind
// and the object's number in the store.
std::string MakeObjectEntryId(const GUID& store, ObjKind kind, std::int64_t id);
struct ObjectRef {
  GUID store;
  ObjKind kind;
  std::int64_t id;
};
std::optional<ObjectRef> ParseObjectEntryId(const void* data, size_t size);

GUID NewGuid();
std::string GuidToString(const GUID& g);  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
std::optional<GUID> GuidFromString(const std::string& s);
std::string GuidBytes(const GUID& g);
GUID GuidFromBytes(const std::string& b);

}  // namespace tesk::mapi
