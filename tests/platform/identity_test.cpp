// Store identities in a hand-edited profile: a copy of a store (the same
// identity, other contents) listed after the original never opens, and
// every way to a store (the stores table, entry identifiers of its folders,
// mapiadmin, the save program) reaches the original. The same for every
// kind of store: a SQLite file, a Maildir, an IMAP account's state file and
// an Outlook data file.
#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fixture.h"
#include "profile/profile.h"
#include "provider.h"

using namespace testing_support;
namespace admin = tesk::mapi::admin;
namespace fs = std::filesystem;

namespace {

// A private Dovecot on loopback with the accounts u1 and u2.
class Dovecot {
 public:
  Dovecot() {
    dir_ = fs::temp_directory_path() / ("tesk-identity-imap-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    std::string out;
    up_ = RunCommand("python3 " + Quote(IMAP_SERVERS_DIR "/imapserver.py") + " start --kind dovecot --dir " +
                         Quote(dir_.string()) + " --users u1:pw1,u2:pw2 2>&1",
                     &out) == 0;
    if (!up_) {
      why_ = out;
      return;
    }
    const size_t at = out.rfind("\n{");
    port_ = nlohmann::json::parse(at == std::string::npos ? out : out.substr(at + 1))["port"].get<int>();
  }
  ~Dovecot() {
    RunCommand("python3 " + Quote(IMAP_SERVERS_DIR "/imapserver.py") + " stop --dir " + Quote(dir_.string()) +
               " >/dev/null 2>&1");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool up() const { return up_; }
  const std::string& why() const { return why_; }
  int port() const { return port_; }

 private:
  fs::path dir_;
  bool up_ = false;
  std::string why_;
  int port_ = 0;
};

struct Counts {
  long messages = -1, associated = -1;
};

Counts TreeCounts(const std::string& path) {
  const auto tree = nlohmann::json::parse(Mapiadmin("tree Test " + Quote(path) + " --json"));
  return {tree["messages"].get<long>(), tree["associated"].get<long>()};
}

// The display names of the profile's stores and whether each opens.
std::vector<std::pair<std::string, HRESULT>> OpenEveryStore(IMAPISession* session) {
  CComPtr<IMAPITable> table;
  EXPECT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  std::vector<std::pair<std::string, HRESULT>> out;
  for (ULONG k = 0; rows && k < rows->cRows; ++k) {
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    CComPtr<IMsgStore> store;
    out.emplace_back(rows->aRow[k].lpProps[1].Value.lpszA,
                     session->OpenMsgStore(0, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, MAPI_BEST_ACCESS, &store));
  }
  FreeProws(rows);
  return out;
}

// Appends a store entry to the profile as a user would by hand: the
// original's entry under another name, with other settings.
void AppendCopyEntry(const std::string& original, const std::string& copyName,
                     const std::function<void(tesk::mapi::StoreSettings&)>& change) {
  auto profile = *tesk::mapi::LoadProfile("Test");
  tesk::mapi::ProfileStore copy;
  for (const auto& s : profile.stores)
    if (s.name == original) copy = s;
  ASSERT_EQ(copy.name, original);
  copy.name = copyName;
  copy.isDefault = false;
  change(copy.settings);
  profile.stores.push_back(copy);
  tesk::mapi::SaveProfile(profile);
}

void DeleteMessages(IMAPIFolder* folder, size_t n) {
  auto ids = ContentsEntryIds(folder);
  ASSERT_GE(ids.size(), n);
  std::vector<SBinary> bins;
  for (size_t k = 0; k < n; ++k) bins.push_back({static_cast<ULONG>(ids[k].size()), reinterpret_cast<LPBYTE>(ids[k].data())});
  ENTRYLIST list{static_cast<ULONG>(bins.size()), bins.data()};
  ASSERT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
}

class CopiedStore : public ::testing::Test {
 protected:
  // What the original shows and the copy must not: checked through a
  // session (by the stores table and by entry identifier), mapiadmin tree
  // and a save.
  void ExpectOriginalOnly(const std::string& store, const Counts& expected, const std::string& displayName = "") {
    {
      auto session = f.Logon();
      for (const auto& [name, hr] : OpenEveryStore(session)) {
        if (name == "Copy")
          EXPECT_EQ(hr, MAPI_E_CORRUPT_STORE) << "the copy opened";
        else
          EXPECT_EQ(hr, S_OK) << name;
      }
      auto original = OpenStore(session, store);
      ASSERT_TRUE(original);
      EXPECT_EQ(StringProp(original, PR_DISPLAY_NAME_A), displayName.empty() ? store : displayName);
      auto inbox = OpenFolder(original, "Inbox");
      ASSERT_TRUE(inbox);
      EXPECT_EQ(static_cast<long>(ContentsEntryIds(inbox).size()), expected.messages);
      // Through the session by the folder's entry identifier, as a copy
      // engine or a dialog reaches it.
      std::string eid = EntryId(inbox);
      CComPtr<IUnknown> object;
      ULONG type = 0;
      ASSERT_EQ(session->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                                   MAPI_BEST_ACCESS, &type, &object),
                S_OK);
      CComQIPtr<IMAPIFolder> again(object.p);
      ASSERT_TRUE(again);
      EXPECT_EQ(static_cast<long>(ContentsEntryIds(again).size()), expected.messages);
      EXPECT_EQ(static_cast<long>(ContentsEntryIds(again, true).size()), expected.associated);
    }
    // Nor does it open to mapiadmin under its own name.
    std::string check;
    EXPECT_NE(RunCommand(std::string(MAPIADMIN_PATH) + " store check Test Copy 2>&1", &check), 0) << check;
    EXPECT_NE(check.find("has the identity of store \"" + store + "\""), std::string::npos) << check;

    const Counts tree = TreeCounts(store + "\\Inbox");
    EXPECT_EQ(tree.messages, expected.messages);
    EXPECT_EQ(tree.associated, expected.associated);

    // The save program saves what the path names.
    const fs::path bin = f.dir / ("bin-" + std::to_string(++runs_));
    fs::create_directories(bin);
    fs::copy_file(TESKSAVE_PATH, bin / "TeskSave");
    std::string out;
    const int rc = RunCommand(Quote((bin / "TeskSave").string()) + " -t '' " + Quote(store + "\\Inbox") + " Archive 2>&1", &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(TreeCounts("Archive\\" + store + "_Inbox").messages, expected.messages) << out;
  }

  ProfileFixture f;
  int runs_ = 0;
};

}  // namespace

TEST_F(CopiedStore, ASqliteFileCopyIsNeverReadInsteadOfTheOriginal) {
  Mapiadmin("generate Test 'Personal Folders\\Inbox' --messages 17 --seed 1");
  const std::string copy = f.dir / "copy.store";
  fs::copy_file(f.mailboxFile, copy);
  {
    auto session = f.Logon();
    DeleteMessages(OpenFolder(OpenStore(session, "Personal Folders"), "Inbox"), 7);
  }
  AppendCopyEntry("Personal Folders", "Copy", [&](auto& s) { s["file"].text = copy; });
  ExpectOriginalOnly("Personal Folders", {10, 0});
}

TEST_F(CopiedStore, AMaildirCopyIsNeverReadInsteadOfTheOriginal) {
  const std::string maildir = f.dir / "mail";
  admin::AddMaildirStore("Test", maildir, "Mail", "mailbox", "maildir++", true, false);
  Mapiadmin("generate Test 'Mail\\Inbox' --messages 17 --seed 2");
  const std::string copy = f.dir / "mail-copy";
  fs::copy(maildir, copy, fs::copy_options::recursive);
  {
    auto session = f.Logon();
    DeleteMessages(OpenFolder(OpenStore(session, "Mail"), "Inbox"), 7);
  }
  AppendCopyEntry("Mail", "Copy", [&](auto& s) { s["path"].text = copy; });
  ExpectOriginalOnly("Mail", {10, 0});
}

// An IMAP store's identity lives in its state file: a copy of the state
// file beside another account's login is a copy of the store.
TEST_F(CopiedStore, AnImapStateFileCopyIsNeverReadInsteadOfTheOriginal) {
  Dovecot server;
  if (!server.up()) FAIL() << "Dovecot did not start:\n" << server.why();
  auto account = [&](const std::string& name, const std::string& user) {
    admin::ImapAccount a;
    a.url = "imap://127.0.0.1:" + std::to_string(server.port());
    a.displayName = name;
    a.user = user;
    a.passwordFile = f.dir / ("pw-" + user);
    std::ofstream(a.passwordFile) << "pw" << user.substr(1) << "\n";
    ::chmod(a.passwordFile.c_str(), 0600);
    a.tls = "none";
    admin::AddImapStore("Test", a, false);
  };
  account("Work", "u1");
  account("Other", "u2");
  Mapiadmin("generate Test 'Work\\Inbox' --messages 10 --seed 3");
  Mapiadmin("generate Test 'Other\\Inbox' --messages 17 --seed 4");
  admin::RemoveStore("Test", "Other");
  const std::string copy = f.dir / "state-copy.sqlite";
  {
    const auto profile = *tesk::mapi::LoadProfile("Test");
    fs::copy_file(*tesk::mapi::SettingString(profile.stores.back().settings, "state"), copy);
  }
  AppendCopyEntry("Work", "Copy", [&](auto& s) {
    s["user"].text = "u2";
    s["password_file"].text = f.dir / "pw-u2";
    s["state"].text = copy;
  });
  ExpectOriginalOnly("Work", {10, 0});
}

// Two Outlook data files with the same record key (copies of one file) in a
// hand-edited profile: the second is a copy of the first's store.
TEST_F(CopiedStore, AnOutlookDataFileCopyIsNeverReadInsteadOfTheOriginal) {
  const std::string pst = f.dir / "old.pst", copy = f.dir / "copy.pst";
  fs::copy_file(PST_DATA_DIR "/java-libpst_passworded.pst", pst);
  fs::copy_file(PST_DATA_DIR "/java-libpst_dist-list.pst", copy);
  admin::AddPstStore("Test", pst, "Old Outlook", "archive", false);
  AppendCopyEntry("Old Outlook", "Copy", [&](auto& s) {
    s["file"].text = copy;
    s["display_name"].text = "Copy";
    s["associated"] = {tesk::mapi::SettingValue::Type::Boolean, "false"};
  });
  ExpectOriginalOnly("Old Outlook", {0, 4});
}
