#include "core/prop_object.h"

#include <cstring>

namespace tesk::mapi::objects {

ULONG AccessOf(const StoreProvider& store) {
  const Capabilities caps = store.Caps();
  if (caps.readOnly) return MAPI_ACCESS_READ;
  ULONG access = MAPI_ACCESS_MODIFY | MAPI_ACCESS_READ | MAPI_ACCESS_DELETE | MAPI_ACCESS_CREATE_HIERARCHY |
                 MAPI_ACCESS_CREATE_CONTENTS;
  if (caps.associatedContents) access |= MAPI_ACCESS_CREATE_ASSOCIATED;
  return access;
}

ULONG AccessLevelOf(const StoreProvider& store) { return store.Caps().readOnly ? 0 : MAPI_MODIFY; }

ULONG SupportMaskOf(const StoreProvider& store, const std::string& kind) {
  const Capabilities caps = store.Caps();
  ULONG mask = STORE_ENTRYID_UNIQUE | STORE_ATTACH_OK | STORE_MV_PROPS_OK | STORE_RESTRICTION_OK | STORE_SORT_OK |
               STORE_UNICODE_OK;
  mask |= caps.readOnly ? STORE_READONLY : STORE_MODIFY_OK | STORE_CREATE_OK;
  if (caps.rawInternetContent) mask |= STORE_HTML_OK;
  if (kind == "public") mask |= STORE_PUBLIC_FOLDERS;
  return mask;
}

void RequireWritable(const StoreProvider& store) {
  if (store.Caps().readOnly) throw MapiError(MAPI_E_NO_ACCESS, "the store is read-only");
}

void RequireAssociatedSupport(const StoreProvider& store) {
  if (!store.Caps().associatedContents)
    throw MapiError(MAPI_E_NO_SUPPORT, "the store keeps no associated messages");
}

std::string NameFrom(LPTSTR text, ULONG flags) {
  if (!text) return {};
  if (flags & MAPI_UNICODE) {
    const auto* w = reinterpret_cast<const char16_t*>(text);
    size_t n = 0;
    while (w[n]) ++n;
    return Utf16ToUtf8(std::u16string_view(w, n));
  }
  return text;
}

bool IdIn(ULONG id, std::initializer_list<ULONG> tags) {
  return std::any_of(tags.begin(), tags.end(), [&](ULONG t) { return PROP_ID(t) == id; });
}

HRESULT DeliverLastError(HRESULT hr, HRESULT lastHr, const std::string& text, LPMAPIERROR* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (hr != lastHr || text.empty()) return S_OK;
  static const char kComponent[] = "Tesk messaging subsystem";
  void* buf = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(MAPIERROR) + text.size() + 1 + sizeof kComponent), &buf)))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* e = static_cast<MAPIERROR*>(buf);
  char* strings = static_cast<char*>(buf) + sizeof(MAPIERROR);
  std::memcpy(strings, text.c_str(), text.size() + 1);
  std::memcpy(strings + text.size() + 1, kComponent, sizeof kComponent);
  *e = MAPIERROR{MAPI_ERROR_VERSION, strings, strings + text.size() + 1, 0, 0};
  *out = e;
  return S_OK;
}

}  // namespace tesk::mapi::objects
