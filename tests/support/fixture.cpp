#include "fixture.h"

#include <mapi/admin.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace testing_support {

ProfileFixture::ProfileFixture() {
  ::setenv("MAPI_CONFIG_DIR", (dir / "config").c_str(), 1);
  mailboxFile = dir / "personal.store";
  archiveFile = dir / "archive.store";
  namespace admin = tesk::mapi::admin;
  admin::CreateProfile("Test", true);
  admin::CreateStore(mailboxFile, "Personal Folders", "mailbox");
  admin::CreateStore(archiveFile, "Archive", "archive");
  admin::AddStore("Test", mailboxFile, true);
  admin::AddStore("Test", archiveFile, false);
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
}

ProfileFixture::~ProfileFixture() { MAPIUninitialize(); }

std::string ProfileFixture::AddStore(const std::string& displayName, const std::string& kind) {
  std::string file = dir / (displayName + ".store");
  tesk::mapi::admin::CreateStore(file, displayName, kind);
  tesk::mapi::admin::AddStore("Test", file, false);
  return file;
}

CComPtr<IMAPISession> ProfileFixture::Logon() {
  CComPtr<IMAPISession> session;
  HRESULT hr = MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session);
  EXPECT_EQ(hr, S_OK);
  return session;
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  std::array<char, 4096> buf{};
  std::string text;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) text.append(buf.data(), n);
  int status = ::pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Mapiadmin(const std::string& args) {
  std::string out;
  int rc = RunCommand(std::string(MAPIADMIN_PATH) + " " + args, &out);
  EXPECT_EQ(rc, 0) << "mapiadmin " << args;
  return out;
}

namespace {
struct RowsDeleter {
  void operator()(SRowSet* r) const { FreeProws(r); }
};
using Rows = std::unique_ptr<SRowSet, RowsDeleter>;

Rows AllRows(IMAPITable* table, std::vector<ULONG> tags) {
  tags.insert(tags.begin(), static_cast<ULONG>(tags.size()));
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(tags.data()), nullptr, nullptr, 0, &rows), S_OK);
  return Rows(rows);
}
}  // namespace

CComPtr<IMsgStore> OpenStore(IMAPISession* session, const std::string& displayName) {
  CComPtr<IMAPITable> table;
  EXPECT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  auto rows = AllRows(table, {PR_ENTRYID, PR_DISPLAY_NAME_A});
  for (ULONG k = 0; k < rows->cRows; ++k) {
    if (displayName == rows->aRow[k].lpProps[1].Value.lpszA) {
      CComPtr<IMsgStore> store;
      const SBinary& eid = rows->aRow[k].lpProps[0].Value.bin;
      EXPECT_EQ(session->OpenMsgStore(0, eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, MAPI_BEST_ACCESS,
                                      &store),
                S_OK);
      return store;
    }
  }
  ADD_FAILURE() << "no store " << displayName;
  return {};
}

std::string EntryId(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return s;
}

std::string StringProp(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return {};
  std::string s = v->Value.lpszA;
  MAPIFreeBuffer(v);
  return s;
}

LONG LongProp(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return -1;
  LONG l = v->Value.l;
  MAPIFreeBuffer(v);
  return l;
}

CComPtr<IMAPIFolder> OpenFolder(IMsgStore* store, const std::string& path) {
  std::string eid = EntryId(store, PR_IPM_SUBTREE_ENTRYID);
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                             MAPI_BEST_ACCESS, &type, &obj),
            S_OK);
  CComQIPtr<IMAPIFolder> folder(obj.p);
  size_t pos = 0;
  while (folder && pos < path.size()) {
    size_t end = path.find('\\', pos);
    std::string name = path.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? path.size() : end + 1;
    CComPtr<IMAPITable> table;
    EXPECT_EQ(folder->GetHierarchyTable(0, &table), S_OK);
    auto rows = AllRows(table, {PR_ENTRYID, PR_DISPLAY_NAME_A});
    CComQIPtr<IMAPIFolder> next;
    for (ULONG k = 0; k < rows->cRows; ++k) {
      if (name == rows->aRow[k].lpProps[1].Value.lpszA) {
        const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
        CComPtr<IUnknown> child;
        EXPECT_EQ(folder->OpenEntry(b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, MAPI_BEST_ACCESS, &type, &child),
                  S_OK);
        next = child.p;
      }
    }
    if (!next) ADD_FAILURE() << "no folder " << name;
    folder = next;
  }
  return folder;
}

CComPtr<IMAPIFolder> CreateFolder(IMAPIFolder* parent, const std::string& name) {
  CComPtr<IMAPIFolder> f;
  std::string n = name;
  EXPECT_EQ(parent->CreateFolder(FOLDER_GENERIC, n.data(), nullptr, nullptr, 0, &f), S_OK);
  return f;
}

void AddMessages(IMAPIFolder* folder, int n, bool associated) {
  for (int k = 0; k < n; ++k) {
    CComPtr<IMessage> m;
    ASSERT_EQ(folder->CreateMessage(nullptr, associated ? MAPI_ASSOCIATED : 0, &m), S_OK);
    std::string subject = "Message " + std::to_string(k);
    SPropValue v[2]{};
    v[0].ulPropTag = PR_SUBJECT_A;
    v[0].Value.lpszA = subject.data();
    v[1].ulPropTag = PR_MESSAGE_CLASS_A;
    v[1].Value.lpszA = const_cast<char*>("IPM.Note");
    ASSERT_EQ(m->SetProps(2, v, nullptr), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
  }
}

std::vector<std::string> ContentsEntryIds(IMAPIFolder* folder, bool associated) {
  CComPtr<IMAPITable> table;
  EXPECT_EQ(folder->GetContentsTable(associated ? MAPI_ASSOCIATED : 0, &table), S_OK);
  auto rows = AllRows(table, {PR_ENTRYID});
  std::vector<std::string> out;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    out.emplace_back(reinterpret_cast<const char*>(b.lpb), b.cb);
  }
  return out;
}

std::vector<std::string> SubfolderNames(IMAPIFolder* folder) {
  CComPtr<IMAPITable> table;
  EXPECT_EQ(folder->GetHierarchyTable(0, &table), S_OK);
  auto rows = AllRows(table, {PR_DISPLAY_NAME_A});
  std::vector<std::string> out;
  for (ULONG k = 0; k < rows->cRows; ++k) out.emplace_back(rows->aRow[k].lpProps[0].Value.lpszA);
  return out;
}

}  // namespace testing_support
