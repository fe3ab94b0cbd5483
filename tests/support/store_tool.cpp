// A second process for the tests: copies a folder tree of the default
// profile and reports progress on standard output, one line per call, so a
// test can kill it in the middle of the copy.
//   store_tool copy SOURCE-STORE SOURCE-PATH TARGET-STORE TARGET-PATH NAME
// Paths are below the IPM subtree, components separated by backslashes
// ("" for the subtree itself); SOURCE-PATH must name a folder.
#include <atlbase.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/copy.h"
#include "test_progress.h"

namespace {

std::string Bin(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return s;
}

CComPtr<IMsgStore> Store(IMAPISession* session, const std::string& name) {
  CComPtr<IMAPITable> table;
  session->GetMsgStoresTable(0, &table);
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  LPSRowSet rows = nullptr;
  HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
  CComPtr<IMsgStore> store;
  for (ULONG k = 0; rows && k < rows->cRows; ++k) {
    if (name == rows->aRow[k].lpProps[1].Value.lpszA) {
      const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
      session->OpenMsgStore(0, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, MAPI_BEST_ACCESS, &store);
    }
  }
  FreeProws(rows);
  return store;
}

CComPtr<IMAPIFolder> Folder(IMsgStore* store, const std::string& path, std::string* eidOut) {
  std::string eid = Bin(store, PR_IPM_SUBTREE_ENTRYID);
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0, &type, &obj);
  CComQIPtr<IMAPIFolder> folder(obj.p);
  size_t pos = 0;
  while (folder && pos < path.size()) {
    size_t end = path.find('\\', pos);
    std::string name = path.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? path.size() : end + 1;
    CComPtr<IMAPITable> table;
    folder->GetHierarchyTable(0, &table);
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
    LPSRowSet rows = nullptr;
    HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    CComQIPtr<IMAPIFolder> next;
    for (ULONG k = 0; rows && k < rows->cRows; ++k) {
      if (name == rows->aRow[k].lpProps[1].Value.lpszA) {
        const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
        CComPtr<IUnknown> child;
        folder->OpenEntry(b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, 0, &type, &child);
        next = child.p;
        if (eidOut) eidOut->assign(reinterpret_cast<const char*>(b.lpb), b.cb);
      }
    }
    FreeProws(rows);
    folder = next;
  }
  return folder;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 || std::strcmp(argv[1], "copy") != 0) {
    std::fprintf(stderr, "usage: store_tool copy SOURCE-STORE SOURCE-PATH TARGET-STORE TARGET-PATH NAME\n");
    return 2;
  }
  if (const char* g = std::getenv("TESK_STORE_TOOL_GENERIC"); g && *g == '1') tesk::mapi::SetFastPathEnabled(false);
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
  CComPtr<IMAPISession> session;
  if (FAILED(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session))) return 3;
  auto srcStore = Store(session, argv[2]);
  auto dstStore = Store(session, argv[4]);
  if (!srcStore || !dstStore) return 4;
  std::string srcPath = argv[3];
  const size_t cut = srcPath.rfind('\\');
  std::string eid;
  auto source = Folder(srcStore, srcPath, &eid);
  auto parent = Folder(srcStore, cut == std::string::npos ? "" : srcPath.substr(0, cut), nullptr);
  auto target = Folder(dstStore, argv[5], nullptr);
  if (!source || !parent || !target) return 5;
  testing_support::CountingProgress progress;
  progress.onProgress = [](ULONG value) {
    std::printf("progress %u\n", value);
    std::fflush(stdout);
  };
  std::string name = argv[6];
  HRESULT hr = parent->CopyFolder(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                                  static_cast<IMAPIFolder*>(target), name.data(), 0, &progress,
                                  COPY_SUBFOLDERS | FOLDER_DIALOG);
  std::printf("result %08x\n", static_cast<unsigned>(hr));
  session.Release();
  MAPIUninitialize();
  return FAILED(hr) ? 1 : 0;
}
