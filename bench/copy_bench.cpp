// Copies a folder tree into another store with one CopyFolder and, in the
// same run, the same rows with the sqlite3 shell (ATTACH + INSERT ...
// SELECT), each in a child process; prints wall time, throughput and peak
// RSS of both and the ratio of their throughputs.
//   copy_bench SOURCE-FILE TARGET-FILE BASELINE-FILE STORE FOLDER
// The default profile holds the stores; FOLDER is a direct subfolder of the
// source store's IPM subtree; TARGET and BASELINE are empty store files.
#include <atlbase.h>
#include <mapiutil.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Measure {
  double seconds = 0;
  long maxRssKb = 0;
  int status = 0;
};

template <class F>
Measure InChild(F&& work) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(work());
  Measure m;
  struct rusage ru {};
  ::wait4(pid, &m.status, 0, &ru);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.maxRssKb = ru.ru_maxrss;
  return m;
}

struct Counter final : IMAPIProgress {
  unsigned calls = 0;
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = this;
    return S_OK;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Progress(ULONG, ULONG, ULONG) override {
    ++calls;
    return S_OK;
  }
  HRESULT GetFlags(ULONG* f) override {
    *f |= MAPI_TOP_LEVEL;
    return S_OK;
  }
  HRESULT GetMax(ULONG* m) override {
    *m = 1000;
    return S_OK;
  }
  HRESULT GetMin(ULONG* m) override {
    *m = 1;
    return S_OK;
  }
  HRESULT SetLimits(ULONG*, ULONG*, ULONG*) override { return S_OK; }
};

std::string Bin(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return s;
}

CComPtr<IMAPIFolder> Open(IMsgStore* store, std::string eid) {
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0, &type, &obj);
  return CComQIPtr<IMAPIFolder>(obj.p);
}

CComPtr<IMsgStore> Store(IMAPISession* s, const std::string& name) {
  CComPtr<IMAPITable> t;
  s->GetMsgStoresTable(0, &t);
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  LPSRowSet rows = nullptr;
  HrQueryAllRows(t, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
  CComPtr<IMsgStore> store;
  for (ULONG k = 0; rows && k < rows->cRows; ++k)
    if (name == rows->aRow[k].lpProps[1].Value.lpszA) {
      const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
      s->OpenMsgStore(0, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, MAPI_BEST_ACCESS, &store);
    }
  FreeProws(rows);
  return store;
}

int CopyWithMapi(const std::string& sourceStore, const std::string& targetStore, const std::string& folder) {
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
  CComPtr<IMAPISession> session;
  if (FAILED(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session))) return 3;
  auto src = Store(session, sourceStore);
  auto dst = Store(session, targetStore);
  if (!src || !dst) return 4;
  auto top = Open(src, Bin(src, PR_IPM_SUBTREE_ENTRYID));
  auto target = Open(dst, Bin(dst, PR_IPM_SUBTREE_ENTRYID));
  CComPtr<IMAPITable> table;
  top->GetHierarchyTable(0, &table);
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  LPSRowSet rows = nullptr;
  HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
  std::string eid;
  for (ULONG k = 0; k < rows->cRows; ++k)
    if (folder == rows->aRow[k].lpProps[1].Value.lpszA)
      eid.assign(reinterpret_cast<char*>(rows->aRow[k].lpProps[0].Value.bin.lpb), rows->aRow[k].lpProps[0].Value.bin.cb);
  FreeProws(rows);
  if (eid.empty()) return 5;
  Counter progress;
  HRESULT hr = top->CopyFolder(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                               static_cast<IMAPIFolder*>(target), nullptr, 0, &progress,
                               COPY_SUBFOLDERS | FOLDER_DIALOG);
  std::fprintf(stderr, "  CopyFolder: result %08x, %u progress calls\n", static_cast<unsigned>(hr), progress.calls);
  return FAILED(hr) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: copy_bench SOURCE-FILE TARGET-FILE BASELINE-FILE STORE FOLDER\n");
    return 2;
  }
  const std::string sourceFile = argv[1], baselineFile = argv[3], storeName = argv[4], folder = argv[5];
  // The target store's display name is read from its file by the profile.
  const std::string targetStore = std::getenv("BENCH_TARGET_STORE") ? std::getenv("BENCH_TARGET_STORE") : "Bench Target";

  // Content of the copied tree, for MB/s: every message's stored size.
  auto subtree = [&](const std::string& s) {
    return "WITH RECURSIVE t(id) AS (SELECT id FROM " + s + "folder WHERE parent_id = (SELECT id FROM " + s +
           "folder WHERE parent_id IN (SELECT id FROM " + s + "folder WHERE parent_id IS NULL)) AND name = '" + folder +
           "' UNION ALL SELECT f.id FROM " + s + "folder f JOIN t ON f.parent_id = t.id) ";
  };
  const std::string sql = subtree("");
  std::string countCmd = "sqlite3 '" + sourceFile + "' \"" + sql +
                         "SELECT count(*), sum(size) FROM message WHERE folder_id IN (SELECT id FROM t);\"";
  FILE* p = ::popen(countCmd.c_str(), "r");
  long long messages = 0, bytes = 0;
  if (!p || std::fscanf(p, "%lld|%lld", &messages, &bytes) != 2) {
    std::fprintf(stderr, "cannot count the source messages\n");
    return 1;
  }
  ::pclose(p);

  // The baseline copies the same rows with set-based SQL in one transaction.
  const std::string baseline =
      "ATTACH '" + sourceFile + "' AS src; BEGIN; "
      "CREATE TEMP TABLE t AS " + subtree("src.") + "SELECT id FROM t; "
      "INSERT INTO main.folder SELECT * FROM src.folder WHERE id IN (SELECT id FROM temp.t); "
      "INSERT INTO main.folder_prop SELECT * FROM src.folder_prop WHERE folder_id IN (SELECT id FROM temp.t); "
      "CREATE TEMP TABLE m AS SELECT id FROM src.message WHERE folder_id IN (SELECT id FROM temp.t); "
      "INSERT INTO main.message SELECT * FROM src.message WHERE id IN (SELECT id FROM temp.m); "
      "INSERT INTO main.message_prop SELECT * FROM src.message_prop WHERE message_id IN (SELECT id FROM temp.m); "
      "INSERT INTO main.recipient SELECT * FROM src.recipient WHERE message_id IN (SELECT id FROM temp.m); "
      "INSERT INTO main.attachment SELECT * FROM src.attachment WHERE message_id IN (SELECT id FROM temp.m); "
      "COMMIT;";

  std::printf("copying %lld messages, %.1f MB\n", messages, static_cast<double>(bytes) / 1e6);
  // BENCH_COMMAND replaces the CopyFolder call by a program run (the
  // restore benchmark runs TeskRestore this way).
  const char* command = std::getenv("BENCH_COMMAND");
  Measure ours = InChild([&] {
    if (command) {
      ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
      return 127;
    }
    return CopyWithMapi(storeName, targetStore, folder);
  });
  Measure base = InChild([&] {
    ::execlp("sqlite3", "sqlite3", baselineFile.c_str(), baseline.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  if (ours.status != 0 || base.status != 0) {
    std::fprintf(stderr, "a copy failed (status %d, %d)\n", ours.status, base.status);
    return 1;
  }
  auto row = [&](const char* what, const Measure& m) {
    std::printf("%-22s %8.2f s %10.0f msg/s %8.1f MB/s %8.1f MiB peak RSS\n", what, m.seconds,
                static_cast<double>(messages) / m.seconds, static_cast<double>(bytes) / 1e6 / m.seconds,
                static_cast<double>(m.maxRssKb) / 1024);
  };
  row(command ? "program" : "CopyFolder", ours);
  row("sqlite3 baseline", base);
  std::printf("throughput ratio (%s / baseline): %.2f\n", command ? "program" : "CopyFolder", base.seconds / ours.seconds);
  return 0;
}
