// The store object, the session's address book, and the objects of a store
// by entry identifier.
#include <mapiutil.h>

#include <algorithm>
#include <cstring>

#include "core/entryid.h"
#include "core/folder_object.h"
#include "core/message_object.h"
#include "core/objects.h"
#include "core/prop_object.h"
#include "transport/spooler.h"

namespace tesk::mapi {

using namespace objects;

namespace {

// ---- the store ---------------------------------------------------------------

class StoreObject final : public PropObject<IMsgStore, IMAPIProp> {
 public:
  explicit StoreObject(ProviderPtr store) : store_(std::move(store)) {}

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG, ULONG* type, LPUNKNOWN* out) override {
    return OpenObjectByEntryId(store_, cb, eid, iid, type, out);
  }
  HRESULT SetReceiveFolder(LPTSTR cls, ULONG flags, ULONG cb, LPENTRYID eid) override {
    return Guard([&] {
      RequireWritable(*store_);
      const std::string c = NameFrom(cls, flags);
      if (!eid) {
        store_->SetReceiveFolder(c, std::nullopt);
        return S_OK;
      }
      auto ref = ParseObjectEntryId(eid, cb);
      if (!ref || ref->kind != ObjKind::Folder || ref->store != store_->Guid()) return MAPI_E_INVALID_ENTRYID;
      if (!store_->GetFolder(ref->id)) return MAPI_E_NOT_FOUND;
      store_->SetReceiveFolder(c, ref->id);
      return S_OK;
    });
  }
  HRESULT GetReceiveFolder(LPTSTR cls, ULONG flags, ULONG* cb, LPENTRYID* eid, LPTSTR* explicitClass) override {
    return Guard([&] {
      if (!cb || !eid) return MAPI_E_INVALID_PARAMETER;
      *cb = 0;
      *eid = nullptr;
      if (explicitClass) *explicitClass = nullptr;
      std::string found;
      auto folder = store_->ReceiveFolder(NameFrom(cls, flags), &found);
      if (!folder || !store_->GetFolder(*folder)) return MAPI_E_NOT_FOUND;
      const std::string bytes = MakeObjectEntryId(store_->Guid(), ObjKind::Folder, *folder);
      void* buf = nullptr;
      if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &buf))) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::memcpy(buf, bytes.data(), bytes.size());
      *eid = static_cast<LPENTRYID>(buf);
      *cb = static_cast<ULONG>(bytes.size());
      if (explicitClass) {
        void* s = nullptr;
        if (SUCCEEDED(MAPIAllocateBuffer(static_cast<ULONG>(found.size() + 1), &s))) {
          std::memcpy(s, found.c_str(), found.size() + 1);
          *explicitClass = static_cast<LPTSTR>(s);
        }
      }
      return S_OK;
    });
  }
  HRESULT StoreLogoff(ULONG*) override { return S_OK; }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  PropList AllProps() override {
    const std::string kind = store_->Kind();
    const ULONG mask = SupportMaskOf(*store_, kind);
    PropList all{Prop::Bytes(PR_ENTRYID, MakeStoreEntryId(store_->Guid())),
                 Prop::Bytes(PR_STORE_ENTRYID, MakeStoreEntryId(store_->Guid())),
                 Prop::Bytes(PR_RECORD_KEY, GuidBytes(store_->Guid())),
                 Prop::Bytes(PR_STORE_RECORD_KEY, GuidBytes(store_->Guid())),
                 Prop::Bytes(PR_DISPLAY_NAME_A, store_->DisplayName()),
                 Prop::Bytes(PR_MDB_PROVIDER, store_->ProviderUid()),
                 Prop::Int(PR_OBJECT_TYPE, MAPI_STORE),
                 Prop::Int(PR_STORE_SUPPORT_MASK, mask)};
    for (auto& p : store_->StoreProps())
      if (!FindProp(all, p.id())) all.push_back(std::move(p));
    return all;
  }
  bool IsComputed(ULONG id) const override {
    return IdIn(id, {PR_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_STORE_RECORD_KEY, PR_DISPLAY_NAME,
                     PR_MDB_PROVIDER, PR_OBJECT_TYPE, PR_STORE_SUPPORT_MASK});
  }
  HRESULT WriteProp(const Prop& p) override {
    if (store_->Caps().readOnly) return MAPI_E_NO_ACCESS;
    store_->SetStoreProps({p});
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    RequireWritable(*store_);
    store_->DeleteStoreProps(ids);
  }

 private:
  ProviderPtr store_;
};

// ---- the address book: one-off entries -------------------------------------

class AddrBookObject final : public PropObject<IAddrBook, IMAPIProp> {
 public:
  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
  }
  // A recipient given by address alone. Text with control characters (a
  // line break could smuggle commands into the mail transport) and SMTP
  // addresses without "@" are refused.
  HRESULT CreateOneOff(LPTSTR name, LPTSTR type, LPTSTR address, ULONG flags, ULONG* cb, LPENTRYID* out) override {
    return Guard([&] {
      if (!name || !type || !address || !cb || !out) return MAPI_E_INVALID_PARAMETER;
      const std::string n = NameFrom(name, flags), t = NameFrom(type, flags), a = NameFrom(address, flags);
      auto clean = [](const std::string& s) {
        return std::none_of(s.begin(), s.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return u < 0x20 || u == 0x7F;
        });
      };
      if (!clean(n) || !clean(t) || !clean(a) || t.empty()) return MAPI_E_INVALID_PARAMETER;
      if (EqualsNoCase(t, "SMTP") && !SafeAddressText(a)) return MAPI_E_INVALID_PARAMETER;
      const std::string bytes = MakeOneOff(n, t, a, flags & MAPI_UNICODE, flags & MAPI_SEND_NO_RICH_INFO);
      void* buffer = nullptr;
      if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &buffer))) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::memcpy(buffer, bytes.data(), bytes.size());
      *cb = static_cast<ULONG>(bytes.size());
      *out = static_cast<LPENTRYID>(buffer);
      return S_OK;
    });
  }

 protected:
  PropList AllProps() override { return {Prop::Int(PR_OBJECT_TYPE, MAPI_ADDRBOOK)}; }
  bool IsComputed(ULONG) const override { return true; }
  HRESULT WriteProp(const Prop&) override { return MAPI_E_NO_ACCESS; }
  void RemoveProps(std::span<const ULONG>) override {}
};

}  // namespace

HRESULT OpenAddressBookObject(LPCIID iid, void** out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    HRESULT hr = Deliver<IAddrBook>(new AddrBookObject, iid ? *iid : IID_IAddrBook, out);
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

HRESULT OpenStoreObject(std::shared_ptr<StoreProvider> provider, LPCIID iid, void** out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    auto* s = new StoreObject(std::move(provider));
    HRESULT hr = Deliver<IMsgStore>(s, iid ? *iid : IID_IMsgStore, out);
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

HRESULT OpenObjectByEntryId(const std::shared_ptr<StoreProvider>& provider, ULONG cb, LPENTRYID eid, LPCIID iid,
                            ULONG* objType, LPUNKNOWN* out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ObjKind kind = ObjKind::Folder;
    ObjId id = 0;
    if (!eid || cb == 0) {
      id = provider->RootFolder();
    } else {
      auto ref = ParseObjectEntryId(eid, cb);
      if (!ref || ref->store != provider->Guid()) return MAPI_E_INVALID_ENTRYID;
      kind = ref->kind;
      id = ref->id;
    }
    HRESULT hr;
    if (kind == ObjKind::Folder) {
      if (!provider->GetFolder(id)) return MAPI_E_NOT_FOUND;
      if (objType) *objType = MAPI_FOLDER;
      hr = OpenFolderObject(provider, id, iid ? *iid : IID_IMAPIFolder, reinterpret_cast<void**>(out));
    } else {
      if (!provider->GetMessage(id)) return MAPI_E_NOT_FOUND;
      if (objType) *objType = MAPI_MESSAGE;
      hr = OpenMessageObject(provider, id, 0, false, iid ? *iid : IID_IMessage, reinterpret_cast<void**>(out));
    }
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

}  // namespace tesk::mapi
