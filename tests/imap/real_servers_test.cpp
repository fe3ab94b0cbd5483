// IMAP accounts on servers set up the way people run them, not only the way
// this project's own test server is: Dovecot as it ships (Maildir++ with "."
// between levels, or "/" with the Maildir++ storage refusing "."), Dovecot
// with LAYOUT=fs, Cyrus with its defaults and with the netnews separator,
// and an account shaped like Gmail's (a \Noselect "[Gmail]" holding the
// special-use mailboxes, labels as folders, one message in several of
// them). Every folder a client sees is saved (but Gmail's All Mail, which
// holds the other folders' messages once more: provider_quirks_test.cpp),
// every special-use mailbox of a restore's target stays the same mailbox, and a snapshot written into
// any of them keeps its name and opens in other clients.
#include <gtest/gtest.h>

#include <map>

#include "profile/profile.h"

#include "imap_accounts.h"

namespace {

using namespace imap_test;
using restore_test::Generate;
using testing_support::Mapiadmin;

struct Setup {
  const char* kind;
  const char* config;
};

void PrintTo(const Setup& s, std::ostream* os) { *os << s.kind << " (" << s.config << ")"; }

std::string SetupName(const ::testing::TestParamInfo<Setup>& p) {
  std::string n = std::string(p.param.kind) + "_" + p.param.config;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
}

// One server of each set-up per test process, stopped when it ends.
struct RunningServer {
  Server server;
  ~RunningServer() { server.Stop(); }
};

class ServerSetups : public ::testing::TestWithParam<Setup>, public Accounts {
 protected:
  void SetUp() override {
    static std::map<std::string, RunningServer> servers;
    const std::string key = std::string(GetParam().kind) + "/" + GetParam().config;
    auto [it, fresh] = servers.try_emplace(key);
    if (fresh) it->second.server.Start(GetParam().kind, false, GetParam().config);
    server_ = &it->second.server;
    if (!server_->up) FAIL() << key << " did not start:\n" << server_->why;
  }
  bool Gmail() const { return std::string(GetParam().config) == "gmail"; }
  // The shared namespace, left out of comparisons of personal mailboxes.
  std::string Shared() const { return std::string(GetParam().kind) == "cyrus" ? "Shared Folders" : "Public"; }

  // Changes to an account as another client makes them (mailbox.py steps).
  void Steps(const std::string& user, const std::vector<std::string>& steps) {
    std::string args = "--server " + Quote(server_->Json()) + " --user " + user;
    for (const auto& s : steps) args += " " + Quote(s);
    int rc = 0;
    const std::string out = Python("mailbox.py", args, &rc);
    ASSERT_EQ(rc, 0) << out;
  }
  std::string Message(const std::string& id, const std::string& subject) {
    const std::string path = profile.dir / (id + ".eml");
    std::ofstream(path, std::ios::binary) << "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: " << subject
                                          << "\r\nDate: Tue, 08 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" << id
                                          << "@example.org>\r\n\r\nHello.\r\n";
    return path;
  }

};

TEST_P(ServerSetups, AnAccountIsSavedAndRestoredWholeAndItsOwnMailboxesStayTheSame) {
  Seed("u1", 40);
  // A folder whose parent the server shows as \Noselect (or not at all).
  std::vector<std::string> steps{"create:Lists/dovecot", "create:Work", "create:Work/Projects", "append:Lists/dovecot:" + Message("list-1", "list mail") + ":\\Seen"};
  if (!Gmail()) steps.erase(steps.begin() + 1, steps.begin() + 3);
  if (Gmail()) {
    // Labels are folders; a message carries several, and All Mail has them all.
    const std::string labelled = Message("label-1", "labelled"), sent = Message("sent-1", "sent");
    for (const char* box : {"INBOX", "Work", "Work/Projects", "[Gmail]/All Mail"})
      steps.push_back(std::string("append:") + box + ":" + labelled + ":\\Seen $Forwarded");
    for (const char* box : {"[Gmail]/Sent Mail", "[Gmail]/All Mail"}) steps.push_back(std::string("append:") + box + ":" + sent);
  }
  Steps("u1", steps);
  AddAccount("Work Mail", "u1", server_->Port());
  AddAccount("New Mail", "u2", server_->Port());

  // Every folder a client sees is in the store's tree, at every look.
  for (int look = 0; look < 2; ++look) {
    const auto shape = TreeShape("Work Mail");
    ASSERT_TRUE(shape["folders"].contains("Lists")) << shape.dump(1);
    EXPECT_EQ(shape["folders"]["Lists"]["folders"]["dovecot"]["messages"], 1) << shape.dump(1);
    if (Gmail()) {
      ASSERT_TRUE(shape["folders"].contains("[Gmail]")) << shape.dump(1);
      EXPECT_FALSE(shape["folders"]["[Gmail]"]["folders"].contains("All Mail")) << shape.dump(1);
      EXPECT_EQ(shape["folders"]["Work"]["folders"]["Projects"]["messages"], 1) << shape.dump(1);
    }
  }
  const auto source = Listing("u1");
  const auto before = Listing("u2", "--no-bodies");

  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const std::string saved = SavedName(save);
  EXPECT_EQ(TreeShape("Archive\\" + saved), TreeShape("Work Mail"));

  const ProgramRun restore = Restore("\"\" \"Archive\\" + saved + "\" \"New Mail\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  const auto after = Listing("u2");
  // (A Gmail account's All Mail is the server's own: it stays as it was.)
  EXPECT_EQ(Compare(source, after, Gmail() ? std::vector<std::string>{Shared(), "[Gmail]/All Mail"} : std::vector<std::string>{Shared()}), "");
  // INBOX and every special-use mailbox of the target are the mailboxes
  // they were (emptied and refilled, never deleted and made anew).
  int kept = 0;
  for (const auto& b0 : before["mailboxes"]) {
    if (b0["name"] != "INBOX" && b0["special_use"].empty()) continue;
    const auto* b1 = Box(after, b0["name"].get<std::string>());
    ASSERT_TRUE(b1) << b0["name"];
    EXPECT_EQ(b0["uidvalidity"], (*b1)["uidvalidity"]) << b0["name"];
    ++kept;
  }
  EXPECT_GE(kept, 5);
}

TEST_P(ServerSetups, ASnapshotWrittenIntoTheAccountKeepsItsNameAndOpensInOtherClients) {
  Generate("Personal Folders\\Inbox", 20, 3);
  Mapiadmin("folder create Test \"Personal Folders\\Inbox\\Sub.One\"");
  Generate("Personal Folders\\Inbox\\Sub.One", 3, 4);
  AddAccount("Work Mail", "u3", server_->Port());

  // The time stamp's dots, whatever the server's separator is and whatever
  // its storage refuses.
  const ProgramRun save = Save("\"\" \"Personal Folders\\Inbox\" \"Work Mail\"");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const ProgramRun plain = Save("-t \"\" \"Personal Folders\\Inbox\" \"Work Mail\"");
  ASSERT_EQ(plain.rc, 0) << restore_test::Describe(plain);
  const auto shape = TreeShape("Work Mail");
  const auto original = TreeShape("Personal Folders\\Inbox");
  for (const std::string& name : {SavedName(save), SavedName(plain)}) {
    ASSERT_TRUE(shape["folders"].contains(name)) << name << "\n" << shape.dump(1);
    EXPECT_EQ(shape["folders"][name], original) << name;
  }
  // Another client sees two folders with a subfolder each and opens them
  // all (the listing examines every mailbox).
  const auto listing = Listing("u3", "--no-bodies");
  std::map<int, int> byCount;
  for (const auto& b : listing["mailboxes"])
    if (b.value("count", 0) > 0) ++byCount[b["count"].get<int>()];
  EXPECT_EQ(byCount[20], 2) << listing.dump(1);
  EXPECT_EQ(byCount[3], 2) << listing.dump(1);

  // The same name again is taken.
  const ProgramRun again = Save("-t \"\" \"Personal Folders\\Inbox\" \"Work Mail\"");
  EXPECT_EQ(again.rc, 1);
  EXPECT_TRUE(HasLine(again, "MAPI_E_COLLISION Copy operation failed!")) << again.log;

  // And back into a store file, whole.
  Mapiadmin("folder create Test \"Archive\\Back\"");
  const ProgramRun back = Restore("\"\" \"Work Mail\\" + SavedName(save) + "\" \"Archive\\Back\"");
  ASSERT_EQ(back.rc, 0) << restore_test::Describe(back);
  EXPECT_EQ(TreeShape("Archive\\Back"), original);
}

// Folder names holding the other servers' separator ("/" on a "." server
// and "." on a "/" one) and characters some storages refuse keep their
// names on every set-up: written as look-alikes where the server cannot
// take them, read back as they were.
TEST_P(ServerSetups, FolderNamesWithAnotherSeparatorKeepTheirNames) {
  const std::vector<std::string> names{"Q1/Q2 plans", "v1.2 notes", "a.b/c", "100% *sure*", "~tilde"};
  for (const auto& n : names) {
    Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Names\\" + n));
    Generate("Personal Folders\\Inbox\\Names\\" + n, 2, 7);
  }
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Names\\v1.2 notes\\x/y.z"));
  Generate("Personal Folders\\Inbox\\Names\\v1.2 notes\\x/y.z", 1, 8);
  AddAccount("Work Mail", "u6", server_->Port());
  const ProgramRun save = Save("-t \"\" \"Personal Folders\\Inbox\\Names\" \"Work Mail\"");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const auto original = TreeShape("Personal Folders\\Inbox\\Names");
  EXPECT_EQ(TreeShape("Work Mail\\" + SavedName(save)), original);
  // Another client sees one mailbox per folder, each with its messages.
  const auto listing = Listing("u6", "--no-bodies");
  int withMessages = 0;
  for (const auto& b : listing["mailboxes"]) withMessages += b.value("count", 0) > 0;
  EXPECT_EQ(withMessages, 6) << listing.dump(1);
  // And back, from a second look at the account (the names as read from the
  // server, not as this run wrote them).
  Mapiadmin("folder create Test \"Archive\\Back\"");
  const ProgramRun back = Restore("\"\" \"Work Mail\\" + SavedName(save) + "\" \"Archive\\Back\"");
  ASSERT_EQ(back.rc, 0) << restore_test::Describe(back);
  EXPECT_EQ(TreeShape("Archive\\Back"), original);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerSetups,
                         ::testing::Values(Setup{"dovecot", "tesk"}, Setup{"dovecot", "stock"},
                                           Setup{"dovecot", "stock-slash"}, Setup{"dovecot", "gmail"},
                                           Setup{"dovecot", "no-uidplus"},
                                           Setup{"cyrus", "tesk"}, Setup{"cyrus", "stock"}),
                         SetupName);

// A save killed in the middle of its upload leaves no folder under the
// snapshot's name, and the next run removes what it left and succeeds.
class KilledSaves : public ServerSetups {};

TEST_P(KilledSaves, LeaveNoSnapshotAndTheRerunSucceeds) {
  Generate("Personal Folders\\Inbox", 60, 5, true);
  const fs::path proxyDir = profile.dir / "proxy";
  fs::create_directories(proxyDir);
  int rc = 0;
  // The upload stalls 300 KB into its first APPEND; the save is killed.
  const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(server_->Port()) +
                                                      " --direction client-to-server --match ' APPEND ' --drop-after-bytes 300000"
                                                      " --action stall --fault-connections 100 --state-dir " +
                                                      Quote(proxyDir.string()) + " --daemon",
                                 &rc);
  ASSERT_EQ(rc, 0) << out;
  AddAccount("Work Mail", "u5", LastJsonLine(out)["port"].get<int>());
  const std::string args = "-t \"\" \"Personal Folders\\Inbox\" \"Work Mail\"";
  const ProgramRun killed = restore_test::RunProgram(TESKSAVE_PATH, profile.dir / "bin", args, "timeout -s KILL 8");
  EXPECT_EQ(killed.rc, 137) << restore_test::Describe(killed);
  Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir.string()));
  // From here on straight to the server.
  auto p = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(p);
  for (auto& st : p->stores)
    if (st.name == "Work Mail")
      st.settings["url"] = {tesk::mapi::SettingValue::Type::String, "imap://127.0.0.1:" + std::to_string(server_->Port())};
  tesk::mapi::SaveProfile(*p);

  auto names = [&] {
    std::vector<std::string> all;
    const auto listing = Listing("u5", "--no-bodies");
    for (const auto& b : listing["mailboxes"]) all.push_back(b["name"]);
    return all;
  };
  auto staging = [](const std::vector<std::string>& n) {
    return std::count_if(n.begin(), n.end(), [](const std::string& s) { return s.rfind("tesk-incomplete ", 0) == 0; });
  };
  const auto left = names();
  EXPECT_EQ(staging(left), 1) << nlohmann::json(left).dump();
  const auto shape = TreeShape("Work Mail");
  for (const auto& [name, sub] : shape["folders"].items())
    EXPECT_TRUE(name == "Inbox" || sub["messages"] == 0) << name << " shows as a folder";

  const ProgramRun rerun = Save(args);
  ASSERT_EQ(rerun.rc, 0) << restore_test::Describe(rerun);
  EXPECT_EQ(staging(names()), 0) << nlohmann::json(names()).dump();
  EXPECT_EQ(TreeShape("Work Mail\\" + SavedName(rerun)), TreeShape("Personal Folders\\Inbox"));
}

INSTANTIATE_TEST_SUITE_P(Servers, KilledSaves,
                         ::testing::Values(Setup{"dovecot", "stock"}, Setup{"cyrus", "stock"}), SetupName);

}  // namespace
