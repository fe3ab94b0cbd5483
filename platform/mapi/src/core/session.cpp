// MAPIInitialize, MAPILogonEx and the session.
#include <mapi/logonui.h>
#include <mapiutil.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>

#include "core/comobject.h"
#include "core/entryid.h"
#include "core/objects.h"
#include "profile/profile.h"
#include "provider.h"
#include "core/table.h"

namespace tesk::mapi {

namespace {

std::atomic<int> g_initialized{0};
std::atomic<MapiLogonUiHandler> g_logonUi{nullptr};

// Lets the installed handler choose a profile; S_OK with its name in *name.
HRESULT ChooseProfile(ULONG_PTR uiParam, const std::string& requested, std::string* name) {
  const MapiLogonUiHandler handler = g_logonUi.load();
  if (!handler) return MAPI_E_LOGON_FAILED;
  const std::vector<std::string> names = ProfileNames();
  if (names.empty()) return MAPI_E_LOGON_FAILED;
  std::string chosen;
  const HRESULT hr = handler(uiParam, names, requested, &chosen);
  if (hr == MAPI_E_USER_CANCEL) return hr;
  if (hr != S_OK || chosen.empty()) return MAPI_E_LOGON_FAILED;
  *name = std::move(chosen);
  return S_OK;
}

class Session final : public UnknownImpl<IMAPISession> {
 public:
  explicit Session(Profile profile) : profile_(std::move(profile)) {
    if (profile_.transport) transport_ = std::make_shared<TransportSettings>(LoadTransport(*profile_.transport));
    // A store whose identity another store of the profile has already (a
    // copied store file, a hand-edited profile) never opens: its entry
    // identifier would reach the other store's file. It keeps a row of its
    // own in the stores table under an identifier that opens nothing.
    std::map<std::string, const ProfileStore*> first;
    for (const ProfileStore& s : profile_.stores) {
      auto [it, fresh] = first.emplace(GuidBytes(s.guid), &s);
      GUID id = s.guid;
      if (!fresh) {
        id = NewGuid();
        duplicates_[GuidBytes(id)] = "store \"" + s.name + "\" (" + s.Location() + ") has the identity of store \"" +
                                     it->second->name + "\" (" + it->second->Location() +
                                     "): a copy of a store cannot be in the same profile";
      }
      entryIds_.push_back(MakeStoreEntryId(id));
    }
  }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* pp) override {
    if (!pp) return MAPI_E_INVALID_PARAMETER;
    *pp = nullptr;
    if (lastError_.empty()) return S_OK;
    void* buf = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(MAPIERROR) + lastError_.size() + 1), &buf)))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    char* text = static_cast<char*>(buf) + sizeof(MAPIERROR);
    std::memcpy(text, lastError_.c_str(), lastError_.size() + 1);
    *static_cast<MAPIERROR*>(buf) = MAPIERROR{MAPI_ERROR_VERSION, text, nullptr, 0, 0};
    *pp = static_cast<MAPIERROR*>(buf);
    return S_OK;
  }

  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows;
      std::int64_t n = 0;
      for (const auto& s : profile_.stores) {
        const ProviderFactory& factory = FactoryOf(s);
        rows.push_back({Prop::Bytes(PR_ENTRYID, entryIds_[static_cast<size_t>(n)]),
                        Prop::Bytes(PR_DISPLAY_NAME_A, s.name),
                        Prop::Bool(PR_DEFAULT_STORE, s.isDefault),
                        Prop::Bytes(PR_MDB_PROVIDER, factory.ProviderUid(s.kind)),
                        Prop::Int(PR_RESOURCE_FLAGS, s.isDefault ? STATUS_DEFAULT_STORE : 0),
                        Prop::Bytes(PR_PROVIDER_DISPLAY_A, factory.DisplayName()),
                        Prop::Bytes(PR_RECORD_KEY, GuidBytes(s.guid)),
                        Prop::Bytes(PR_INSTANCE_KEY, std::string(reinterpret_cast<const char*>(&n), sizeof n)),
                        Prop::Int(PR_OBJECT_TYPE, MAPI_STORE),
                        Prop::Int(PR_RESOURCE_TYPE, MAPI_STORE_PROVIDER)});
        ++n;
      }
      std::vector<ULONG> columns{PR_ENTRYID, PR_DISPLAY_NAME_A, PR_DEFAULT_STORE, PR_MDB_PROVIDER,
                                 PR_RESOURCE_FLAGS, PR_INSTANCE_KEY};
      return CreateTable(std::make_unique<StaticRowSource>(std::move(rows), std::move(columns)), out);
    });
  }

  HRESULT OpenMsgStore(ULONG_PTR, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG, LPMDB* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      *out = nullptr;
      auto guid = ParseStoreEntryId(eid, cb);
      if (!guid) return MAPI_E_INVALID_ENTRYID;
      std::shared_ptr<StoreProvider> provider;
      try {
        provider = Provider(*guid);
      } catch (const MapiError& e) {
        // Why the store did not open (a server's refusal, a damaged
        // file), for GetLastError.
        lastError_ = e.what();
        throw;
      }
      return OpenStoreObject(provider, iid, reinterpret_cast<void**>(out));
    });
  }

  HRESULT OpenAddressBook(ULONG_PTR, LPCIID iid, ULONG, LPADRBOOK* out) override {
    return OpenAddressBookObject(iid, reinterpret_cast<void**>(out));
  }

  HRESULT GetStatusTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows;
      rows.push_back({Prop::Int(PR_RESOURCE_TYPE, MAPI_SUBSYSTEM), Prop::Bytes(PR_DISPLAY_NAME_A, profile_.name),
                      Prop::Bytes(PR_PROVIDER_DISPLAY_A, "MAPI Subsystem"), Prop::Int(PR_STATUS_CODE, 1),
                      Prop::Int(PR_RESOURCE_FLAGS, 0), Prop::Int(PR_ROWID, 0)});
      std::int64_t n = 1;
      for (const auto& s : profile_.stores) {
        rows.push_back({Prop::Int(PR_RESOURCE_TYPE, MAPI_STORE_PROVIDER), Prop::Bytes(PR_DISPLAY_NAME_A, s.name),
                        Prop::Bytes(PR_PROVIDER_DISPLAY_A, FactoryOf(s).DisplayName()), Prop::Int(PR_STATUS_CODE, 1),
                        Prop::Int(PR_RESOURCE_FLAGS, s.isDefault ? STATUS_DEFAULT_STORE : 0),
                        Prop::Int(PR_ROWID, n++)});
      }
      std::vector<ULONG> columns{PR_RESOURCE_TYPE, PR_DISPLAY_NAME_A, PR_PROVIDER_DISPLAY_A, PR_STATUS_CODE,
                                 PR_RESOURCE_FLAGS, PR_ROWID};
      return CreateTable(std::make_unique<StaticRowSource>(std::move(rows), std::move(columns)), out);
    });
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG, ULONG* type, LPUNKNOWN* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      *out = nullptr;
      if (auto store = ParseStoreEntryId(eid, cb)) {
        if (type) *type = MAPI_STORE;
        return OpenStoreObject(Provider(*store), iid ? iid : &IID_IMsgStore, reinterpret_cast<void**>(out));
      }
      auto ref = ParseObjectEntryId(eid, cb);
      if (!ref) return MAPI_E_INVALID_ENTRYID;
      return OpenObjectByEntryId(Provider(ref->store), cb, eid, iid, type, out);
    });
  }

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
  }

  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }

 private:
  // One provider per store for the whole session, so that every object
  // of a store works on one connection.
  std::shared_ptr<StoreProvider> Provider(const GUID& guid) {
    const std::string key = GuidBytes(guid);
    if (auto dup = duplicates_.find(key); dup != duplicates_.end()) {
      lastError_ = dup->second;
      throw MapiError(MAPI_E_CORRUPT_STORE, dup->second);
    }
    if (auto it = open_.find(key); it != open_.end())
      if (auto p = it->second.lock()) return p;
    // The first store of that identity: a later one (a copy) never opens,
    // so no entry identifier may lead to its file.
    const ProfileStore* entry = nullptr;
    for (const auto& s : profile_.stores)
      if (s.guid == guid) {
        entry = &s;
        break;
      }
    if (!entry) throw MapiError(MAPI_E_NOT_FOUND, "the store is not in this profile");
    // A refused login is not tried again in this session: a server counts
    // failed logins, and some lock the account after a few.
    if (auto refused = refused_.find(key); refused != refused_.end()) throw MapiError(MAPI_E_LOGON_FAILED, refused->second);
    std::shared_ptr<StoreProvider> provider;
    try {
      provider = FactoryOf(*entry).Open(entry->settings);
    } catch (const MapiError& e) {
      if (e.hr() == MAPI_E_LOGON_FAILED) refused_[key] = e.what();
      throw;
    }
    if (!(provider->Guid() == guid)) throw MapiError(MAPI_E_NOT_FOUND, entry->Location() + " holds another store");
    provider->transport = transport_;
    open_[key] = provider;
    return provider;
  }

  // Profiles are checked when they are read: every store names a known provider.
  static const ProviderFactory& FactoryOf(const ProfileStore& s) {
    const ProviderFactory* f = FindProvider(s.provider);
    if (!f) throw MapiError(MAPI_E_NOT_FOUND, "unknown store provider " + s.provider);
    return *f;
  }

  Profile profile_;
  std::vector<std::string> entryIds_;             // of each store, in the profile's order
  std::map<std::string, std::string> duplicates_;  // identifiers that open nothing, and why
  std::map<std::string, std::string> refused_;     // stores whose login was refused, and the server's text
  std::string lastError_;
  std::shared_ptr<const TransportSettings> transport_;
  std::map<std::string, std::weak_ptr<StoreProvider>> open_;
};

}  // namespace

}  // namespace tesk::mapi

using namespace tesk::mapi;

HRESULT MAPIInitialize(LPVOID lpMapiInit) {
  if (lpMapiInit) {
    const auto* init = static_cast<const MAPIINIT_0*>(lpMapiInit);
    if (init->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
  }
  ++g_initialized;
  return S_OK;
}

void MAPIUninitialize() {
  if (g_initialized > 0) --g_initialized;
}

MapiLogonUiHandler SetMapiLogonUiHandler(MapiLogonUiHandler handler) { return g_logonUi.exchange(handler); }

HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR, ULONG ulFlags, LPMAPISESSION* lppSession) {
  SetLogonError({});
  if (!lppSession) return MAPI_E_INVALID_PARAMETER;
  *lppSession = nullptr;
  if (g_initialized <= 0) {
    SetLogonError("MAPIInitialize was not called");
    return MAPI_E_NOT_INITIALIZED;
  }
  return Guard([&] {
    const std::string requested = lpszProfileName ? lpszProfileName : "";
    std::string name = requested;
    // Why there is no profile to log on to (for MAPIGetLogonError).
    std::string missing;
    if (!name.empty() && !ValidProfileName(name)) {
      missing = "\"" + name + "\" is no profile name (no slash, backslash or control character, not starting with a dot)";
    } else if (!name.empty()) {
      missing = "there is no profile \"" + name + "\" (no file " + ProfilePath(name) + ")";
    } else if (ulFlags & MAPI_USE_DEFAULT) {
      std::vector<std::string> unreadable;
      if (auto def = DefaultProfileName(&unreadable)) name = *def;
      missing = "no profile in " + ProfileDirectory() + " is the default one (default = true)";
      for (const auto& why : unreadable) missing += "; " + why;
    } else {
      missing = "no profile name was given";
    }
    std::optional<Profile> profile;
    try {
      if (!name.empty()) profile = LoadProfile(name);
      // No such profile (or none named): the chooser, where the caller
      // allows a UI and the program installed one.
      if (!profile && (ulFlags & MAPI_LOGON_UI)) {
        if (const HRESULT hr = ChooseProfile(ulUIParam, requested, &name); hr != S_OK) {
          if (hr != MAPI_E_USER_CANCEL) SetLogonError(missing);
          return hr;
        }
        missing = "there is no profile \"" + name + "\" (no file " + ProfilePath(name) + ")";
        profile = LoadProfile(name);
      }
    } catch (const std::runtime_error& e) {
      // The profile does not load: its file, the entry and the key at fault.
      SetLogonError(e.what());
      return MAPI_E_LOGON_FAILED;
    }
    if (!profile) {
      SetLogonError(missing);
      return MAPI_E_LOGON_FAILED;
    }
    *lppSession = new Session(std::move(*profile));
    return S_OK;
  });
}
