#include "folders.h"

#include <cstdio>
#include <memory>

namespace mapiadmin {

namespace {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    char x = a[k], y = b[k];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct RowsDeleter {
  void operator()(SRowSet* r) const { FreeProws(r); }
};
using Rows = std::unique_ptr<SRowSet, RowsDeleter>;

Rows QueryAll(IMAPITable* table, std::initializer_list<ULONG> tags) {
  std::vector<ULONG> buf{static_cast<ULONG>(tags.size())};
  buf.insert(buf.end(), tags);
  LPSRowSet rows = nullptr;
  Check(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(buf.data()), nullptr, nullptr, 0, &rows),
        "reading a table");
  return Rows(rows);
}

std::string Bin(const SPropValue& v) {
  return PROP_TYPE(v.ulPropTag) == PT_BINARY
             ? std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb)
             : std::string();
}

}  // namespace

std::string CodeName(HRESULT hr) {
  struct {
    HRESULT hr;
    const char* name;
  } static const names[] = {{MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
                            {MAPI_E_COLLISION, "MAPI_E_COLLISION"},
                            {MAPI_E_FOLDER_CYCLE, "MAPI_E_FOLDER_CYCLE"},
                            {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED"},
                            {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE"},
                            {MAPI_E_VERSION, "MAPI_E_VERSION"},
                            {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS"},
                            {MAPI_E_BUSY, "MAPI_E_BUSY"},
                            {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK"},
                            {MAPI_E_INVALID_PARAMETER, "MAPI_E_INVALID_PARAMETER"},
                            {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID"}};
  for (const auto& n : names)
    if (n.hr == hr) return n.name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(hr));
  return buf;
}

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw Failure(what + " failed: " + CodeName(hr));
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty() || parts.empty()) parts.push_back(current);
  return parts;
}

std::string StringProp(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s = PROP_TYPE(v->ulPropTag) == PT_STRING8 && v->Value.lpszA ? v->Value.lpszA : "";
  MAPIFreeBuffer(v);
  return s;
}

std::string BinaryProp(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s = Bin(*v);
  MAPIFreeBuffer(v);
  return s;
}

std::string FolderName(IMAPIProp* folder) { return StringProp(folder, PR_DISPLAY_NAME_A); }

std::vector<std::pair<std::string, std::string>> Subfolders(IMAPIFolder* folder) {
  CComPtr<IMAPITable> table;
  Check(folder->GetHierarchyTable(0, &table), "GetHierarchyTable");
  auto rows = QueryAll(table, {PR_DISPLAY_NAME_A, PR_ENTRYID});
  std::vector<std::pair<std::string, std::string>> out;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SPropValue* p = rows->aRow[k].lpProps;
    std::string name = PROP_TYPE(p[0].ulPropTag) == PT_STRING8 ? p[0].Value.lpszA : "";
    out.emplace_back(name, Bin(p[1]));
  }
  return out;
}

Profile::Profile(const std::string& name) {
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  Check(MAPIInitialize(&init), "MAPIInitialize");
  std::string n = name;
  HRESULT hr = MAPILogonEx(0, n.empty() ? nullptr : n.data(), nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session_);
  if (FAILED(hr)) {
    std::string why;
    LPMAPIERROR error = nullptr;
    if (SUCCEEDED(MAPIGetLogonError(&error)) && error) {
      if (error->lpszError) why = error->lpszError;
      MAPIFreeBuffer(error);
    }
    MAPIUninitialize();
    throw Failure("cannot log on to profile \"" + name + "\": " + CodeName(hr) + (why.empty() ? "" : ": " + why));
  }
}

Profile::~Profile() {
  session_.Release();
  MAPIUninitialize();
}

std::vector<StoreRow> Profile::Stores() {
  CComPtr<IMAPITable> table;
  Check(session_->GetMsgStoresTable(0, &table), "GetMsgStoresTable");
  auto rows = QueryAll(table, {PR_DISPLAY_NAME_A, PR_ENTRYID, PR_DEFAULT_STORE, PR_MDB_PROVIDER});
  std::vector<StoreRow> out;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SPropValue* p = rows->aRow[k].lpProps;
    StoreRow r;
    r.name = PROP_TYPE(p[0].ulPropTag) == PT_STRING8 ? p[0].Value.lpszA : "";
    r.entryId = Bin(p[1]);
    r.isDefault = PROP_TYPE(p[2].ulPropTag) == PT_BOOLEAN && p[2].Value.b;
    const std::string uid = Bin(p[3]);
    r.kind = uid.size() == 16 && std::equal(uid.begin(), uid.end(), reinterpret_cast<const char*>(pbExchangeProviderPublicGuid))
                 ? "public"
                 : "private";
    out.push_back(std::move(r));
  }
  return out;
}

CComPtr<IMsgStore> Profile::OpenStore(const StoreRow& row) {
  CComPtr<IMsgStore> store;
  std::string eid = row.entryId;
  Check(session_->OpenMsgStore(0, static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                               MAPI_BEST_ACCESS | MDB_NO_DIALOG, &store),
        "opening store \"" + row.name + "\"");
  return store;
}

CComPtr<IMAPIFolder> Profile::IpmSubtree(IMsgStore* store) {
  std::string eid = BinaryProp(store, PR_IPM_SUBTREE_ENTRYID);
  if (eid.empty()) throw Failure("the store has no IPM subtree");
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  Check(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), &IID_IMAPIFolder,
                         MAPI_BEST_ACCESS, &type, &obj),
        "opening the IPM subtree");
  return CComQIPtr<IMAPIFolder>(obj.p);
}

CComPtr<IMAPIFolder> Profile::Resolve(const std::string& path, bool create, const std::string& cls) {
  auto parts = SplitPath(path);
  const std::string storeName = parts.front();
  CComPtr<IMsgStore> store;
  for (const auto& row : Stores()) {
    if (SameName(row.name, storeName)) {
      store = OpenStore(row);
      break;
    }
  }
  if (!store) throw Failure("no store named \"" + storeName + "\" in the profile");
  CComPtr<IMAPIFolder> folder = IpmSubtree(store);
  for (size_t k = 1; k < parts.size(); ++k) {
    const std::string& name = parts[k];
    if (name.empty()) throw Failure("empty folder name in \"" + path + "\"");
    CComPtr<IMAPIFolder> next;
    for (const auto& [childName, eid] : Subfolders(folder)) {
      if (!SameName(childName, name)) continue;
      std::string id = eid;
      CComPtr<IUnknown> obj;
      ULONG type = 0;
      Check(folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), &IID_IMAPIFolder,
                              MAPI_BEST_ACCESS, &type, &obj),
            "opening folder \"" + name + "\"");
      next = CComQIPtr<IMAPIFolder>(obj.p);
      break;
    }
    if (!next) {
      if (!create) throw Failure("no folder \"" + name + "\" in \"" + path + "\"");
      std::string n = name;
      Check(folder->CreateFolder(FOLDER_GENERIC, n.data(), nullptr, nullptr, 0, &next), "creating folder \"" + name + "\"");
      if (k + 1 == parts.size() && !cls.empty()) {
        SPropValue v{};
        v.ulPropTag = PR_CONTAINER_CLASS_A;
        std::string c = cls;
        v.Value.lpszA = c.data();
        Check(HrSetOneProp(next, &v), "setting the folder class");
      }
    }
    folder = next;
  }
  return folder;
}

}  // namespace mapiadmin
