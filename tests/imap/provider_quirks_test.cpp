// What the big providers' servers do that the protocol alone does not say,
// on private Dovecots that look like them: Gmail's folder tree (a \Noselect
// "[Gmail]" holding All Mail, \All, which has every message of the account,
// and Starred, \Flagged, which has the flagged ones), and Microsoft 365's
// limits. The provider knows them by the server's capabilities, ID and
// greeting; each quirk is a store key the user can set.
#include <gtest/gtest.h>

#include <map>

#include "profile/profile.h"

#include "imap_accounts.h"

namespace {

using namespace imap_test;
using testing_support::Mapiadmin;

// One server per set-up for the whole test process.
Server& SharedServer(const std::string& config) {
  struct Running {
    Server server;
    ~Running() { server.Stop(); }
  };
  static std::map<std::string, Running> servers;
  auto [it, fresh] = servers.try_emplace(config);
  if (fresh) it->second.server.Start("dovecot", false, config, "--no-public");
  return it->second.server;
}

class ProviderQuirks : public ::testing::Test, public Accounts {
 protected:
  void Use(const std::string& config) {
    server_ = &SharedServer(config);
    ASSERT_TRUE(server_->up) << config << " did not start:\n" << server_->why;
  }
  void Steps(const std::string& user, const std::vector<std::string>& steps) {
    std::string args = "--server " + Quote(server_->Json()) + " --user " + user;
    for (const auto& s : steps) args += " " + Quote(s);
    int rc = 0;
    const std::string out = Python("mailbox.py", args, &rc);
    ASSERT_EQ(rc, 0) << out;
  }
  std::string Message(const std::string& id, const std::string& subject, size_t bodyBytes = 0) {
    const std::string path = profile.dir / (id + ".eml");
    std::ofstream f(path, std::ios::binary);
    f << "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: " << subject
      << "\r\nDate: Tue, 08 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" << id << "@example.org>\r\n\r\nHello.\r\n";
    for (size_t k = 0; k < bodyBytes / 64; ++k) f << std::string(62, 'x') << "\r\n";
    return path;
  }
  // A key of a store's entry in the profile, as a profile file gives it.
  void SetKey(const std::string& store, const std::string& key, tesk::mapi::SettingValue value) {
    auto p = tesk::mapi::LoadProfile("Test");
    ASSERT_TRUE(p);
    for (auto& st : p->stores)
      if (st.name == store) st.settings[key] = value;
    tesk::mapi::SaveProfile(*p);
  }
  static tesk::mapi::SettingValue List(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& i : items) text += i + "\n";
    return {tesk::mapi::SettingValue::Type::List, text};
  }
  // A Gmail account as its owner sees it: a message labelled Inbox and
  // Work, a sent one, both in All Mail too; one starred.
  void FillGmail(const std::string& user, const std::string& tag) {
    const std::string labelled = Message(tag + "-labelled", tag + " labelled"), sent = Message(tag + "-sent", tag + " sent"),
                      starred = Message(tag + "-starred", tag + " starred");
    Steps(user, {"create:Work", "append:INBOX:" + labelled + ":\\Seen", "append:Work:" + labelled + ":\\Seen",
                 "append:[Gmail]/All Mail:" + labelled + ":\\Seen", "append:[Gmail]/Sent Mail:" + sent + ":\\Seen",
                 "append:[Gmail]/All Mail:" + sent + ":\\Seen", "append:INBOX:" + starred + ":\\Flagged",
                 "append:[Gmail]/Starred:" + starred + ":\\Flagged", "append:[Gmail]/All Mail:" + starred + ":\\Flagged"});
  }
  static nlohmann::json Gmail(int inbox, int work, int sent, int starred) {
    auto leaf = [](int n) { return nlohmann::json{{"messages", n}, {"folders", nlohmann::json::object()}}; };
    nlohmann::json g = {{"messages", 0},
                        {"folders",
                         {{"Drafts", leaf(0)}, {"Sent Mail", leaf(sent)}, {"Spam", leaf(0)}, {"Starred", leaf(starred)},
                          {"Trash", leaf(0)}}}};
    return {{"messages", 0}, {"folders", {{"Inbox", leaf(inbox)}, {"Work", leaf(work)}, {"[Gmail]", g}}}};
  }
};

// A save of a Gmail account keeps every folder its owner sees and leaves
// All Mail out: each of its messages is in another folder too.
TEST_F(ProviderQuirks, AGmailSaveLeavesAllMailOutUnlessTheStoreSaysOtherwise) {
  Use("gmail");
  FillGmail("u1", "save");
  AddAccount("Gmail", "u1", server_->Port());
  const ProgramRun save = Save("\"\" \"Gmail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  EXPECT_EQ(TreeShape("Archive\\" + SavedName(save)), Gmail(2, 1, 1, 1));
  // The log says what was left out and how to keep it.
  EXPECT_TRUE(HasLine(save, "The mailbox [Gmail]/All Mail (\\All) is left out (skip_special_use); messages archived "
                            "without a label are only there: set skip_special_use = [] to keep them"))
      << save.log;
  // The message in Inbox and Work (and the starred one in Inbox and
  // Starred) is kept once in the archive: five messages, three contents.
  const std::string stats = Mapiadmin("stats Test Archive");
  EXPECT_NE(stats.find("messages:           5 (5 with shared content)"), std::string::npos) << stats;
  EXPECT_NE(stats.find("(3 contents"), std::string::npos) << stats;

  // An explicit list, the empty one too, is what the store leaves out.
  SetKey("Gmail", "skip_special_use", List({}));
  auto shape = TreeShape("Gmail");
  ASSERT_TRUE(shape["folders"]["[Gmail]"]["folders"].contains("All Mail")) << shape.dump(1);
  EXPECT_EQ(shape["folders"]["[Gmail]"]["folders"]["All Mail"]["messages"], 3);
  SetKey("Gmail", "skip_special_use", List({"\\Junk", "\\sent"}));
  shape = TreeShape("Gmail");
  EXPECT_TRUE(shape["folders"]["[Gmail]"]["folders"].contains("All Mail")) << shape.dump(1);
  EXPECT_FALSE(shape["folders"]["[Gmail]"]["folders"].contains("Spam")) << shape.dump(1);
  EXPECT_FALSE(shape["folders"]["[Gmail]"]["folders"].contains("Sent Mail")) << shape.dump(1);
  // The keys as mapiadmin writes them.
  const std::string added = Mapiadmin("store add-imap Test imap://127.0.0.1:" + std::to_string(server_->Port()) +
                                      " --name G2 --user u1 --tls none --password-file " + Quote(PasswordFile("pw1")) +
                                      " --set 'skip_special_use=\\All,\\Junk' --set max_message_size=1000 --set lookalike_names=true");
  const std::string check = Mapiadmin("store check Test G2");
  EXPECT_NE(check.find("server: Gmail; skip_special_use = [\"\\\\all\", \"\\\\junk\"], max_connections = 15, "
                       "max_message_size = 1000, lookalike_names = true"),
            std::string::npos)
      << added << check;
  std::string out;
  EXPECT_NE(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " store add-imap Test imap://127.0.0.1:" +
                                            std::to_string(server_->Port()) + " --name G3 --user u1 --tls none --password-file " +
                                            Quote(PasswordFile("pw1")) + " --set max_message_size=big 2>&1",
                                        &out),
            0);
  EXPECT_NE(out.find("--set max_message_size takes a whole number, not \"big\""), std::string::npos) << out;
  // A word that is no special-use attribute is refused by name.
  SetKey("Gmail", "skip_special_use", List({"All"}));
  EXPECT_NE(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " tree Test Gmail 2>&1", &out), 0);
  EXPECT_NE(out.find("skip_special_use"), std::string::npos) << out;
}

// A restore into a Gmail account never writes into All Mail or Starred,
// whose contents the server makes from the other folders: both keep what
// they had, the same mailboxes with the same messages.
TEST_F(ProviderQuirks, AGmailRestoreLeavesAllMailAndStarredAlone) {
  Use("gmail");
  FillGmail("u2", "source");
  // The target's own: a message only in All Mail (archived), a starred one.
  const std::string archived = Message("target-archived", "archived"), mine = Message("target-starred", "mine");
  Steps("u3", {"create:Old", "append:Old:" + mine, "append:[Gmail]/All Mail:" + archived,
               "append:[Gmail]/All Mail:" + mine + ":\\Flagged", "append:[Gmail]/Starred:" + mine + ":\\Flagged"});
  AddAccount("Gmail", "u2", server_->Port());
  AddAccount("New Gmail", "u3", server_->Port());
  const auto before = Listing("u3");

  const ProgramRun save = Save("\"\" \"Gmail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"New Gmail\"");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  EXPECT_TRUE(HasLine(restore, "WARNING: 1 message of Starred not written into [Gmail]/Starred (\\Flagged): the server "
                               "fills that mailbox itself from the other folders"))
      << restore.log;
  // The clearing's log counts what it removed: not the messages of All Mail
  // and Starred, which stay.
  std::int64_t removed = 0;
  for (const auto& m : before["mailboxes"]) {
    const std::string name = m["name"];
    if (name.rfind("[Gmail]/", 0) == 0 && name != "[Gmail]/All Mail" && name != "[Gmail]/Starred")
      removed += static_cast<std::int64_t>(m["messages"].size());
  }
  std::string line;
  for (const auto& l : restore.lines)
    if (l.find("Deleted folder '[Gmail]' with ") != std::string::npos) line = l;
  EXPECT_NE(line.find("subfolders and " + std::to_string(removed) + " messages."), std::string::npos)
      << removed << " messages removed from [Gmail]:\n" << restore.log;

  const auto after = Listing("u3");
  for (const char* name : {"[Gmail]/All Mail", "[Gmail]/Starred"}) {
    const auto* b0 = Box(before, name);
    const auto* b1 = Box(after, name);
    ASSERT_TRUE(b0 && b1) << name;
    EXPECT_EQ((*b0)["uidvalidity"], (*b1)["uidvalidity"]) << name;
    EXPECT_EQ((*b0)["messages"], (*b1)["messages"]) << name;
  }
  // Everything else is the source's.
  EXPECT_EQ(Compare(Listing("u2"), after, std::vector<std::string>{"[Gmail]/All Mail", "[Gmail]/Starred"}), "");
  EXPECT_FALSE(Box(after, "Old"));

  // Asked to write into one of them, a restore refuses and says why.
  const ProgramRun into = Restore("\"\" \"Archive\\" + SavedName(save) + "\\Inbox\" \"New Gmail\\[Gmail]\\Starred\"");
  EXPECT_EQ(into.rc, 1) << restore_test::Describe(into);
  EXPECT_TRUE(HasLine(into, "[Gmail]/Starred")) << into.log;
  EXPECT_EQ((*Box(before, "[Gmail]/Starred"))["messages"], (*Box(Listing("u3"), "[Gmail]/Starred"))["messages"]);
}

// Microsoft 365 takes messages up to a size and a number of connections;
// its folder names cannot hold some characters. The provider knows the
// server by its greeting and ID, and a message over the limit is refused
// before its upload, by an error that says so, instead of by a server that
// drops the connection in the middle of it.
TEST_F(ProviderQuirks, Microsoft365LimitsAreKnownAndAMessageOverTheSizeLimitIsRefused) {
  Use("exchange");
  AddAccount("Exchange", "u1", server_->Port());
  const std::string check = Mapiadmin("store check Test Exchange");
  EXPECT_NE(check.find("server: Microsoft 365; skip_special_use = [], max_connections = 20, max_message_size = 36700160, "
                       "lookalike_names = true"),
            std::string::npos)
      << check;

  // Folder names: the snapshot's dots are written as look-alikes, though
  // this server would take them; the folder keeps its name.
  Steps("u2", {"create:Big", "append:Big:" + Message("small", "small"), "append:Big:" + Message("big", "big", 300000)});
  AddAccount("Source", "u2", server_->Port());
  const ProgramRun small = Save("\"\" \"Source\\Inbox\" \"Exchange\"");
  ASSERT_EQ(small.rc, 0) << restore_test::Describe(small);
  EXPECT_TRUE(TreeShape("Exchange")["folders"].contains(SavedName(small)));
  std::string dotted = SavedName(small), lookalike;
  for (char c : dotted) lookalike += c == '.' ? std::string("\xE2\x80\xA4") : std::string(1, c);  // U+2024
  EXPECT_TRUE(Box(Listing("u1", "--no-bodies"), lookalike)) << Listing("u1", "--no-bodies").dump(1);

  SetKey("Exchange", "max_message_size", {tesk::mapi::SettingValue::Type::Integer, "200000"});
  const ProgramRun big = Save("-t \"\" \"Source\\Big\" \"Exchange\"");
  EXPECT_EQ(big.rc, 1) << restore_test::Describe(big);
  EXPECT_TRUE(HasLine(big, "more than the server 127.0.0.1 takes (200000 bytes, the store's max_message_size)")) << big.log;
  // Nothing of it is left on the server.
  const auto left = Listing("u1", "--no-bodies");
  for (const auto& b : left["mailboxes"])
    EXPECT_EQ(b["name"].get<std::string>().find("Big"), std::string::npos) << b["name"];
}

}  // namespace
