// IMAP accounts as stores, against real servers on loopback (Dovecot, and
// Cyrus where it runs): the programs save a server mailbox into an archive
// and restore it into a second account with every byte, flag, keyword and
// INTERNALDATE; a restore keeps the server's special-use mailboxes; public
// folders; connections that break; logins that fail; TLS.
#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/copy.h"
#include "fixture.h"
#include "profile/profile.h"
#include "core/progress.h"
#include "provider.h"
#include "imap_accounts.h"
#include "restore_test_util.h"

using namespace testing_support;
using restore_test::ProgramRun;
namespace admin = tesk::mapi::admin;
namespace fs = std::filesystem;
namespace mapi = tesk::mapi;

namespace {

using imap_test::LastJsonLine;
using imap_test::Python;
using imap_test::Server;

class ImapStores : public ::testing::Test, public imap_test::Accounts {
 protected:
  static Server& Dovecot() {
    static Server s;
    return s;
  }
  static void SetUpTestSuite() { Dovecot().Start("dovecot", true); }
  static void TearDownTestSuite() { Dovecot().Stop(); }

  void SetUp() override { Use(Dovecot()); }
  void Use(Server& s) {
    server_ = &s;
    if (!s.up) FAIL() << s.kind << " did not start:\n" << s.why;
  }
};

// The same on Cyrus: another hierarchy separator ("."), special-use
// attributes in lower case, special-use mailboxes the server will not
// delete.
class CyrusStores : public ImapStores {
 protected:
  static Server& Cyrus() {
    static Server s;
    return s;
  }
  static void SetUpTestSuite() { Cyrus().Start("cyrus", false); }
  static void TearDownTestSuite() { Cyrus().Stop(); }
  void SetUp() override { Use(Cyrus()); }
};

}  // namespace

TEST_F(ImapStores, SaveToAnArchiveAndRestoreIntoAnotherAccountKeepEveryByteFlagKeywordAndDate) {
  Seed("u1", 150);
  AddAccount("Work Mail", "u1", Dovecot().Port());
  AddAccount("New Mail", "u2", Dovecot().Port());
  const auto source = Listing("u1");
  ASSERT_GE(source["total_messages"].get<int>(), 150);
  const auto before = Listing("u2", "--no-bodies");

  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const std::string saved = SavedName(save);
  ASSERT_FALSE(saved.empty());
  // The server's mailbox is untouched by the save (no \Seen from reading).
  EXPECT_EQ(Compare(source, Listing("u1")), "");

  const ProgramRun restore = Restore("\"\" \"Archive\\" + saved + "\" \"New Mail\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  EXPECT_TRUE(HasLine(restore, "Emptied standard folder 'Sent' and kept it")) << restore.log;
  const auto after = Listing("u2");
  EXPECT_EQ(Compare(source, after), "");
  // The special-use mailboxes and INBOX are the same mailboxes as before
  // (emptied and refilled, never deleted and made anew).
  for (const char* name : {"INBOX", "Sent", "Drafts", "Trash"}) {
    const auto* b0 = Box(before, name);
    const auto* b1 = Box(after, name);
    ASSERT_TRUE(b0 && b1) << name;
    EXPECT_EQ((*b0)["uidvalidity"], (*b1)["uidvalidity"]) << name;
  }

  // A second save of the same account finds the same messages under the
  // same entry identifiers (the state file maps UIDs to numbers).
  std::string first, second;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test \"Work Mail\" --json", &first), 0) << first;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test \"Work Mail\" --json", &second), 0);
  EXPECT_EQ(first, second);
  EXPECT_NE(first.find("Entw\xC3\xBC" "rfe"), std::string::npos);  // the non-ASCII name, decoded
}

TEST_F(ImapStores, PublicFoldersAreSavedAndRestored) {
  const std::string shared = Dovecot().info["public_folder"].get<std::string>();
  Seed("u3", 30, shared + "/Team u3");
  AddAccount("Public IMAP", "u3", Dovecot().Port(), "public");
  std::string tree;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test \"Public IMAP\"", &tree), 0) << tree;
  EXPECT_NE(tree.find("Team u3"), std::string::npos) << tree;
  const std::string sharedLeaf = shared.substr(shared.find('/') + 1);
  const std::string path = "Public IMAP\\" + sharedLeaf + "\\Team u3";
  const auto before = Listing("u3", "--skip-prefix INBOX");

  const ProgramRun save = Save("\"\" \"" + path + "\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"" + path + "\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  EXPECT_EQ(Compare(before, Listing("u3", "--skip-prefix INBOX"), "INBOX"), "");
}

TEST_F(ImapStores, AConnectionLostInEveryFetchFailsTheSaveOnceTheRetryBudgetIsSpentAndLeavesTheArchiveAlone) {
  Seed("u4", 60);
  const fs::path proxyDir = profile.dir / "proxy";
  fs::create_directories(proxyDir);
  int rc = 0;
  const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(Dovecot().Port()) +
                                                      " --drop-after-bytes 100 --match ' FETCH .*BODY' --state-dir " +
                                                      Quote(proxyDir.string()) + " --daemon",
                                 &rc);
  ASSERT_EQ(rc, 0) << out;
  const int port = LastJsonLine(out)["port"].get<int>();
  AddAccount("Work Mail", "u4", port);
  // Every connection breaks in the first body: the save tries again, for
  // two seconds.
  auto p = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(p);
  for (auto& s : p->stores)
    if (s.name == "Work Mail") s.settings["retry_budget"] = {mapi::SettingValue::Type::Integer, "2"};
  tesk::mapi::SaveProfile(*p);
  std::string before;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test Archive --json", &before), 0);

  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir.string()));
  EXPECT_EQ(save.rc, 1) << restore_test::Describe(save);
  EXPECT_TRUE(HasLine(save, "ERROR: MAPI error") && HasLine(save, "Copy operation failed!")) << save.log;
  EXPECT_TRUE(HasLine(save, "WARNING: Connection lost, waiting ")) << save.log;
  // What broke is said: the connection and the server.
  EXPECT_NE(save.output.find("127.0.0.1"), std::string::npos) << save.output;
  EXPECT_NE(save.output.find("(retry_budget = 2)"), std::string::npos) << save.output;
  std::string after;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test Archive --json", &after), 0);
  EXPECT_EQ(before, after);
}

TEST_F(ImapStores, AWrongPasswordOrAPasswordFileOthersMayReadGivesOneClearError) {
  AddAccount("Work Mail", "u5", Dovecot().Port());
  // The password changes after the account was added.
  const auto stores = admin::ProfileStores("Test");
  const std::string pw = profile.dir / "pw1";
  std::ofstream(pw) << "wrong\n";
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  EXPECT_EQ(save.rc, 1) << restore_test::Describe(save);
  EXPECT_TRUE(HasLine(save, "ERROR:")) << save.log;
  EXPECT_NE(save.output.find("refused the login of u5"), std::string::npos) << save.output;

  ::chmod(pw.c_str(), 0644);
  std::string out;
  EXPECT_NE(RunCommand(std::string(MAPIADMIN_PATH) + " store check Test \"Work Mail\" 2>&1", &out), 0);
  EXPECT_NE(out.find("may be read by others (mode 0644)"), std::string::npos) << out;
  // A wrong password when adding: nothing is added.
  EXPECT_THROW(AddAccount("Other", "u6", Dovecot().Port(), "mailbox", "nope"), std::runtime_error);
  EXPECT_EQ(admin::ProfileStores("Test").size(), stores.size());
}

TEST_F(ImapStores, AnUploadThatBreaksOffLeavesNoDuplicateWhenRerun) {
  // 40 messages in a local folder, copied into an IMAP folder through a
  // proxy that cuts a connection after 400 KB from the client: the login
  // check's (which never sends that much) and the first copy's.
  mapi::StoreSettings local{{"file", {mapi::SettingValue::Type::String, profile.mailboxFile}}};
  restore_test::Generate("Personal Folders\\Inbox", 40, 7, true);
  const fs::path proxyDir = profile.dir / "proxy";
  fs::create_directories(proxyDir);
  int rc = 0;
  const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(Dovecot().Port()) +
                                                      " --direction client-to-server --drop-after-bytes 400000"
                                                      " --fault-connections 2 --state-dir " + Quote(proxyDir.string()) +
                                                      " --daemon",
                                 &rc);
  ASSERT_EQ(rc, 0) << out;
  AddAccount("Work Mail", "u7", LastJsonLine(out)["port"].get<int>());
  mapi::StoreSettings remote;
  const auto loaded = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(loaded);
  for (const auto& s : loaded->stores)
    if (s.name == "Work Mail") remote = s.settings;
  // Without retries: the rerun finds what went up.
  remote["retry_budget"] = {mapi::SettingValue::Type::Integer, "0"};

  auto src = mapi::FindProvider("sqlite")->Open(local);
  auto inbox = src->FindSubfolder(src->Subfolders(src->RootFolder()).at(0), "Inbox");
  ASSERT_TRUE(inbox);
  const std::vector<mapi::ObjId> ids = src->Messages(*inbox, false);
  ASSERT_EQ(ids.size(), 40u);
  auto copy = [&]() {
    auto dst = mapi::FindProvider("imap")->Open(remote);
    auto target = dst->FindSubfolder(dst->Subfolders(dst->RootFolder()).at(0), "Inbox");
    EXPECT_TRUE(target.has_value());
    mapi::ProgressReporter progress(nullptr, ids.size());
    mapi::CopyMessageList(*src, ids, *dst, *target, progress);
  };
  try {
    copy();
    ADD_FAILURE() << "the first upload went through the broken connection";
  } catch (const mapi::MapiError& e) {
    EXPECT_NE(std::string(e.what()).find("messages went up to 127.0.0.1 before"), std::string::npos) << e.what();
  }
  const auto between = Listing("u7", "--no-bodies");
  const int partial = Box(between, "INBOX")->at("count").get<int>();
  EXPECT_LT(partial, 40);
  copy();
  Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir.string()));
  const auto last = Listing("u7");
  const auto* box = Box(last, "INBOX");
  ASSERT_TRUE(box);
  EXPECT_EQ((*box)["count"].get<int>(), 40);
  std::set<std::string> digests;
  for (const auto& m : (*box)["messages"]) digests.insert(m["sha256"].get<std::string>());
  EXPECT_EQ(digests.size(), 40u);
}

TEST_F(ImapStores, TlsIsVerifiedAndRequired) {
  const auto& info = Dovecot().info;
  ASSERT_FALSE(info["tls_port"].is_null());
  admin::ImapAccount a;
  a.url = "imaps://127.0.0.1:" + std::to_string(info["tls_port"].get<int>());
  a.displayName = "Secure";
  a.user = "u8";
  a.passwordFile = PasswordFile("pw8");
  // A certificate the system does not trust is refused...
  try {
    admin::AddImapStore("Test", a, false);
    ADD_FAILURE() << "an unknown certificate was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("TLS connection to 127.0.0.1 failed"), std::string::npos) << e.what();
  }
  // ... and taken with the CA named.
  a.caFile = info["ca_file"].get<std::string>();
  admin::AddImapStore("Test", a, false);
  a.url = "imap://127.0.0.1:" + std::to_string(info["port"].get<int>());  // STARTTLS
  a.displayName = "StartTls";
  admin::AddImapStore("Test", a, false);
  for (const char* name : {"Secure", "StartTls"}) {
    const auto lines = admin::CheckStore("Test", name);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("over TLS"), std::string::npos) << lines[0];
  }
  // No TLS is for this machine only; a URL with a user in it is refused.
  for (const char* url : {"imap://mail.example.org", "imap://u8@127.0.0.1", "http://127.0.0.1"}) {
    a.url = url;
    a.displayName = "Bad";
    a.tls = "none";
    EXPECT_THROW(admin::AddImapStore("Test", a, false), std::runtime_error) << url;
  }
}

TEST_F(CyrusStores, SaveAndRestoreBetweenTwoAccountsKeepEverything) {
  Seed("u1", 80);
  AddAccount("Work Mail", "u1", server_->Port());
  AddAccount("New Mail", "u2", server_->Port());
  const auto source = Listing("u1");
  const auto before = Listing("u2", "--no-bodies");
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"New Mail\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  const auto after = Listing("u2");
  EXPECT_EQ(Compare(source, after, "Shared"), "");
  for (const char* name : {"INBOX", "Sent", "Drafts", "Trash"}) {
    const auto* b0 = Box(before, name);
    const auto* b1 = Box(after, name);
    ASSERT_TRUE(b0 && b1) << name;
    EXPECT_EQ((*b0)["uidvalidity"], (*b1)["uidvalidity"]) << name;
  }
}

TEST_F(ImapStores, ACompressedConnectionReadsTheSameMessages) {
  Seed("u9", 40);
  AddAccount("Work Mail", "u9", Dovecot().Port());
  std::string plain, packed;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test \"Work Mail\" --json", &plain), 0) << plain;
  auto p = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(p);
  for (auto& s : p->stores)
    if (s.name == "Work Mail") s.settings["compress"] = {mapi::SettingValue::Type::Boolean, "true"};
  tesk::mapi::SaveProfile(*p);
  const auto lines = admin::CheckStore("Test", "Work Mail");
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find(", compressed"), std::string::npos) << lines[0];
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test \"Work Mail\" --json", &packed), 0) << packed;
  EXPECT_EQ(plain, packed);
}

TEST_F(ImapStores, ASaveWithinOneAccountIsCopiedByTheServer) {
  Seed("u10", 60);
  AddAccount("Work Mail", "u10", Dovecot().Port());
  const ProgramRun save = Save("-t \"\" \"Work Mail\\Projects\" \"Work Mail\\Archive\"");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  // The copy holds what its source holds, level by level.
  const auto listing = Listing("u10");
  auto messages = [&](const std::string& name) {
    std::multiset<std::string> out;
    const auto* b = Box(listing, name);
    if (b)
      for (const auto& m : (*b)["messages"])
        out.insert(m["sha256"].get<std::string>() + " " + m["flags"].dump() + " " + m["internaldate"].get<std::string>());
    return out;
  };
  for (const std::string level : {"Projects", "Projects/Tesk"}) {
    const std::string copy = "Archive/Work Mail_" + level;
    EXPECT_FALSE(messages(level).empty()) << level;
    EXPECT_EQ(messages(level), messages(copy)) << copy;
  }
}

// An Outlook data file migrated onto a server: every message arrives as
// MIME that parses, with its text, attachments and recipients.
TEST_F(ImapStores, APstRestoredIntoAnAccountArrivesAsMime) {
  admin::AddPstStore("Test", PST_DATA_DIR "/ruby-msg_attachAndInline.pst", "Old Outlook", "archive", false, false);
  AddAccount("New Mail", "u11", Dovecot().Port());
  // Into the Inbox, as the top of an account holds no messages.
  const ProgramRun restore = Restore("\"\" \"Old Outlook\" \"New Mail\\INBOX\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  // Python's email parser reads what the server holds.
  const std::string script = profile.dir / "parse.py";
  std::ofstream(script) << R"py(import email, email.policy, imaplib, json, sys
info = json.load(open(sys.argv[1]))
imap = imaplib.IMAP4(info["host"], info["port"])
imap.login("u11", "pw11")
found = {"messages": 0, "parts": [], "to": 0}
for line in imap.list()[1]:
    name = line.decode().rsplit(' "/" ', 1)[1].strip('"')
    if imap.select('"' + name + '"', readonly=True)[0] != "OK":
        continue
    for num in imap.search(None, "ALL")[1][0].split():
        raw = imap.fetch(num, "(BODY.PEEK[])")[1][0][1]
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        assert not msg.defects, msg.defects
        found["messages"] += 1
        found["to"] += len(msg.get_all("To", []))
        found["parts"] += [p.get_content_type() for p in msg.walk()]
print(json.dumps(found))
)py";
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + Quote(script) + " " + Quote(Dovecot().Json()), &out), 0) << out;
  const auto found = LastJsonLine(out);
  EXPECT_GE(found["messages"].get<int>(), 1) << out;
  EXPECT_GE(found["to"].get<int>(), 1) << out;
  const auto parts = found["parts"].get<std::vector<std::string>>();
  EXPECT_TRUE(std::find(parts.begin(), parts.end(), "image/png") != parts.end() ||
              std::find(parts.begin(), parts.end(), "image/jpeg") != parts.end() ||
              std::find(parts.begin(), parts.end(), "image/gif") != parts.end())
      << out;
  EXPECT_TRUE(std::find(parts.begin(), parts.end(), "multipart/related") != parts.end()) << out;
}

TEST_F(ImapStores, AServerThatStopsAnsweringFailsTheSaveAfterTheTimeout) {
  Seed("u12", 30);
  const fs::path proxyDir = profile.dir / "proxy";
  fs::create_directories(proxyDir);
  int rc = 0;
  const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(Dovecot().Port()) +
                                                      " --drop-after-bytes 20000 --match ' FETCH .*BODY' --action stall"
                                                      " --state-dir " + Quote(proxyDir.string()) + " --daemon",
                                 &rc);
  ASSERT_EQ(rc, 0) << out;
  AddAccount("Work Mail", "u12", LastJsonLine(out)["port"].get<int>());
  auto p = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(p);
  for (auto& s : p->stores)
    if (s.name == "Work Mail") s.settings["timeout"] = {mapi::SettingValue::Type::Integer, "3"};
  tesk::mapi::SaveProfile(*p);
  std::string before, after;
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test Archive --json", &before), 0);
  const auto start = std::chrono::steady_clock::now();
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir.string()));
  EXPECT_EQ(save.rc, 1) << restore_test::Describe(save);
  EXPECT_TRUE(HasLine(save, "MAPI_E_TIMEOUT Copy operation failed!")) << save.log;
  EXPECT_TRUE(HasLine(save, "WARNING: the server 127.0.0.1 sent nothing for 3 seconds")) << save.log;
  EXPECT_LT(seconds, 30.0);
  ASSERT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test Archive --json", &after), 0);
  EXPECT_EQ(before, after);
}
