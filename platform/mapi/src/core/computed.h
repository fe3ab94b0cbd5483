// The properties a store assigns itself, computed by the MAPI objects from
// what the provider says of a folder or message (FolderInfo, MessageInfo):
// entry identifiers, counts, times, access.
#pragma once

#include <cstdint>
#include <optional>

#include "core/prop.h"
#include "provider.h"

namespace tesk::mapi::objects {

PropList FolderComputed(StoreProvider& store, const FolderInfo& f);
// Whether a folder's property of that id is computed (never stored).
bool FolderIdComputed(ULONG id);
// Every property of a folder: the computed ones, then the stored ones.
// Throws MapiError(MAPI_E_OBJECT_DELETED) for a folder that is gone.
PropList FolderAllProps(StoreProvider& store, ObjId id);

bool MessageIdComputed(ULONG id);
// Every property of a message (id: none for a message not yet saved): the
// computed ones, then the stored ones.
PropList MessageComputed(StoreProvider& store, std::optional<ObjId> id, ObjId folder, bool associated,
                         std::int64_t created, std::int64_t modified, std::int64_t size, bool hasAttach,
                         const PropList& stored);

}  // namespace tesk::mapi::objects
