// Daily snapshots into one SQLite archive, seen from outside: TeskSave saves
// an IMAP account on a private Dovecot (or a Maildir) again and again while
// the source changes between the saves. Each snapshot must equal its source
// (mapiadmin verify), the earlier snapshots must stay as they were, the
// archive must pass mapiadmin check, and a save must read from the server
// only the bodies the archive does not hold yet: a proxy in front of Dovecot
// (tests/imapservers/faultproxy.py --count-bodies) counts the bodies the
// server sends, per mailbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "profile/profile.h"
#include "providers/common/sqlite_db.h"

#include "imap_accounts.h"

namespace {

using namespace imap_test;
using restore_test::Describe;
using testing_support::Mapiadmin;
namespace mapi = tesk::mapi;

Server& SharedDovecot() {
  struct Running {
    Server server;
    ~Running() { server.Stop(); }
  };
  static Running running;
  if (!running.server.up && running.server.why.empty()) running.server.Start("dovecot", false, "tesk", "--no-public");
  return running.server;
}

std::int64_t Query(const std::string& file, const std::string& sql) {
  mapi::sqlite::Db db;
  db.Open(mapi::sqlite::UriPath(file) + "?mode=ro", SQLITE_OPEN_READONLY);
  auto s = db.Prepare(sql);
  return s.Step() ? s.Int(0) : -1;
}

class Incremental : public ::testing::Test, public Accounts {
 protected:
  void SetUp() override {
    server_ = &SharedDovecot();
    ASSERT_TRUE(server_->up) << "dovecot did not start:\n" << server_->why;
    proxyDir_ = profile.dir / "proxy";
  }
  void TearDown() override {
    if (fs::exists(proxyDir_)) Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir_.string()));
  }

  // A proxy in front of the server that counts the bodies it sends; its port.
  int CountingProxy() {
    int rc = 0;
    const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(server_->Port()) +
                                                        " --count-bodies --state-dir " + Quote(proxyDir_.string()) + " --daemon",
                                   &rc);
    EXPECT_EQ(rc, 0) << out;
    return rc == 0 ? LastJsonLine(out)["port"].get<int>() : 0;
  }
  nlohmann::json ProxyCounts() {
    return LastJsonLine(Python("faultproxy.py", "status --state-dir " + Quote(proxyDir_.string())));
  }
  // An account through the counting proxy, without COMPRESS (the proxy
  // reads the conversation).
  void AddCountedAccount(const std::string& display, const std::string& user) {
    AddAccount(display, user, CountingProxy());
    auto p = mapi::LoadProfile("Test");
    ASSERT_TRUE(p);
    for (auto& s : p->stores)
      if (s.name == display) s.settings["compress"] = {mapi::SettingValue::Type::Boolean, "false"};
    mapi::SaveProfile(*p);
  }

  void Steps(const std::string& user, const std::vector<std::string>& steps) {
    std::string args = "--server " + Quote(server_->Json()) + " --user " + user;
    for (const auto& s : steps) args += " " + Quote(s);
    int rc = 0;
    const std::string out = Python("mailbox.py", args, &rc);
    ASSERT_EQ(rc, 0) << out;
  }
  // A message file; messages whose id and subject have the same lengths
  // have the same size.
  std::string Message(const std::string& id, const std::string& subject, size_t lines = 20) {
    const std::string path = profile.dir / (id + ".eml");
    std::ofstream f(path, std::ios::binary);
    f << "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: " << subject
      << "\r\nDate: Tue, 08 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" << id << "@example.org>\r\n\r\n";
    for (size_t k = 0; k < lines; ++k) f << subject << ": line " << k << " of the text\r\n";
    return path;
  }
  std::int64_t UidValidity(const std::string& user, const std::string& box) {
    const auto listing = Listing(user, "--no-bodies");
    const auto* b = Box(listing, box);
    return b ? (*b)["uidvalidity"].get<std::int64_t>() : -1;
  }

  // One save into Archive. Each save runs in a time zone of its own, so
  // that saves within one minute get snapshot names of their own.
  ProgramRun SaveNow(const std::string& store) {
    return restore_test::RunProgram(TESKSAVE_PATH, profile.dir / "bin", "\"\" " + Quote(store) + " Archive",
                                    "TZ=Etc/GMT" + Zone(++zone_));
  }
  static std::string Zone(int k) { return k <= 12 ? "+" + std::to_string(k) : "-" + std::to_string(k - 12); }

  struct Saved {
    std::string name;
    int bodies = -1;               // bodies the server sent during the save
    nlohmann::json byMailbox;      // the same per mailbox
    int status = -1;               // STATUS commands the client sent
    int roundTrips = -1;           // times it waited for all its answers before sending again
  };
  // A save that succeeds and whose snapshot equals its source; every
  // earlier snapshot is still as it was.
  Saved Snapshot(const std::string& store) {
    Saved s;
    const bool counted = fs::exists(proxyDir_ / "faultproxy.json");
    const nlohmann::json before = counted ? ProxyCounts() : nlohmann::json();
    const auto t0 = std::chrono::steady_clock::now();
    const ProgramRun run = SaveNow(store);
    lastDuration_ = std::chrono::steady_clock::now() - t0;
    if (counted) {
      const nlohmann::json after = ProxyCounts();
      EXPECT_EQ(after["compressed"].get<int>(), 0) << "the proxy cannot count a compressed conversation";
      s.bodies = after["bodies"].get<int>() - before["bodies"].get<int>();
      s.status = after["status"].get<int>() - before["status"].get<int>();
      s.roundTrips = after["round_trips"].get<int>() - before["round_trips"].get<int>();
      s.byMailbox = nlohmann::json::object();
      for (const auto& [box, n] : after["bodies_by_mailbox"].items()) {
        const int delta = n.get<int>() - before["bodies_by_mailbox"].value(box, 0);
        if (delta) s.byMailbox[box] = delta;
      }
    }
    EXPECT_EQ(run.rc, 0) << Describe(run);
    EXPECT_FALSE(HasLine(run, "ERROR") || HasLine(run, "WARNING")) << run.log;
    s.name = SavedName(run);
    EXPECT_FALSE(s.name.empty()) << run.log;
    if (s.name.empty()) return s;
    ExpectEqualToSource(store, s.name);
    ExpectEarlierSnapshotsKept();
    trees_[s.name] = restore_test::Tree("Archive\\" + s.name);
    return s;
  }
  void ExpectEqualToSource(const std::string& store, const std::string& snapshot) {
    std::string out;
    const int rc = RunCommand(std::string(MAPIADMIN_PATH) + " verify Test " + Quote(store) + " " +
                                  Quote("Archive\\" + snapshot) + " 2>&1",
                              &out);
    EXPECT_EQ(rc, 0) << snapshot << ":\n" << out;
    EXPECT_NE(out.find("compared: no differences"), std::string::npos) << out;
  }
  void ExpectEarlierSnapshotsKept() {
    for (const auto& [name, tree] : trees_)
      EXPECT_EQ(restore_test::Tree("Archive\\" + name), tree) << name << " changed after a later save";
  }
  void ExpectArchiveWhole() {
    std::string out;
    EXPECT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " check Test Archive 2>&1", &out), 0) << out;
  }
  int Contents() { return static_cast<int>(Query(profile.archiveFile, "SELECT count(*) FROM content")); }

  // A Maildir++ tree of generated messages as the store "Mail".
  fs::path AddMaildir(int messages, int seed) {
    const fs::path dir = profile.dir / "maildir";
    std::string out;
    EXPECT_EQ(RunCommand("python3 " + Quote(BENCH_DIR "/maildir_corpus.py") + " generate " + Quote(dir.string()) +
                             " --messages " + std::to_string(messages) + " --seed " + std::to_string(seed) +
                             " --max-attachment 30000 2>&1",
                         &out),
              0)
        << out;
    Mapiadmin("store add-maildir Test " + Quote(dir.string()) + " --name Mail --kind mailbox --layout maildir++");
    return dir;
  }
  static std::vector<fs::path> Files(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }
  // Rewrites a file in place: the same name and size, other bytes (one
  // letter of its Subject line changed), and the given mtime.
  static void Rewrite(const fs::path& file, char letter, const timespec& mtime) {
    std::string text = restore_test::ReadText(file.string());
    const size_t at = text.find("\nSubject: ");
    ASSERT_NE(at, std::string::npos) << file;
    text[at + 10] = text[at + 10] == letter ? static_cast<char>(letter + 1) : letter;
    {
      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
      ASSERT_TRUE(f);
      f.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const timespec times[2] = {mtime, mtime};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }

  fs::path proxyDir_;
  int zone_ = 0;
  std::chrono::steady_clock::duration lastDuration_{};
  std::map<std::string, nlohmann::json> trees_;  // every snapshot taken, as it was made
};

// Flags changed, messages deleted, moved and added, a folder added and one
// deleted between daily saves of an account: each snapshot shows the account
// as it was then.
TEST_F(Incremental, ChangesBetweenSnapshotsShowInTheNextAndLeaveTheEarlierOnesAsTheyWere) {
  Seed("u1", 40);  // INBOX 22, Sent 4, Archive/2025 4, Projects/Tesk 3, ...
  AddAccount("Work Mail", "u1", server_->Port());
  Snapshot("Work Mail");

  Steps("u1", {"store:INBOX:1-3:+:\\Flagged Work", "store:INBOX:4-5:-:\\Seen", "store:Sent:1:+:\\Answered $Forwarded",
               "store:Archive/2025:2:-:\\Seen"});
  Snapshot("Work Mail");

  Steps("u1", {"expunge:INBOX:6-7", "expunge:Sent:2", "expunge:Projects/Tesk:1"});
  Snapshot("Work Mail");

  // Moved: the same bytes under new UIDs in another mailbox.
  Steps("u1", {"move:INBOX:8-10:Projects", "move:Archive/2025:1:INBOX", "move:Sent:3:Archive/2025/Q1"});
  Snapshot("Work Mail");

  Steps("u1", {"append:INBOX:" + Message("new1", "New one") + ":\\Seen", "append:INBOX:" + Message("new2", "New two"),
               "append:Archive/2025/Q1:" + Message("new3", "New six") + ":\\Flagged", "create:Travel",
               "append:Travel:" + Message("trip1", "Trip one"), "delete:Projects/Tesk"});
  Snapshot("Work Mail");

  // Flags of messages that came in the last save, and one more of them gone.
  Steps("u1", {"store:INBOX:1-*:+:$Seen-Today", "expunge:Travel:1"});
  Snapshot("Work Mail");
  EXPECT_EQ(trees_.size(), 6u);
  ExpectArchiveWhole();
}

// A mailbox deleted and made again with the same messages in another order
// (equal sizes, so each UID now names another message of the same size):
// its UIDVALIDITY is new, so nothing held for its old UIDs may be used.
TEST_F(Incremental, AMailboxRecreatedWithANewUidValidityIsFetchedInFullAgain) {
  std::vector<std::string> files;
  for (int k = 1; k <= 8; ++k) files.push_back(Message("box-m" + std::to_string(k), "Message " + std::to_string(k)));
  std::vector<std::string> fill = {"create:Box"};
  for (int k = 0; k < 8; ++k) fill.push_back("append:Box:" + files[k] + (k % 3 == 0 ? ":\\Seen" : ""));
  fill.push_back("append:INBOX:" + Message("inbox-m1", "Hello"));
  Steps("u2", fill);
  AddCountedAccount("Work Mail", "u2");
  const Saved first = Snapshot("Work Mail");
  EXPECT_EQ(first.byMailbox.value("Box", 0), 8) << first.byMailbox.dump();

  const std::int64_t before = UidValidity("u2", "Box");
  std::vector<std::string> again = {"delete:Box", "create:Box"};
  for (int k = 7; k >= 0; --k) again.push_back("append:Box:" + files[k] + (k % 3 == 0 ? ":\\Seen" : ""));
  Steps("u2", again);
  ASSERT_NE(UidValidity("u2", "Box"), before);
  const Saved second = Snapshot("Work Mail");
  EXPECT_EQ(second.byMailbox.value("Box", 0), 8) << second.byMailbox.dump();
  ExpectArchiveWhole();
}

// The second save of an account that did not change reads no message body
// from the server. (Fails while every save reads every body.)
TEST_F(Incremental, UnchangedFetchesNoBody) {
  Seed("u3", 40);
  AddCountedAccount("Work Mail", "u3");
  const Saved first = Snapshot("Work Mail");
  EXPECT_EQ(first.bodies, 40) << "the proxy does not see the bodies: " << first.byMailbox.dump();
  const Saved second = Snapshot("Work Mail");
  EXPECT_EQ(second.bodies, 0) << second.byMailbox.dump();
  ExpectArchiveWhole();
}

// An unchanged account of many mailboxes costs a few round trips, not one
// per mailbox: the states of all mailboxes are asked together.
TEST_F(Incremental, TheStatesOfManyMailboxesAreAskedTogether) {
  Seed("u9", 10);
  std::vector<std::string> steps;
  for (int k = 0; k < 30; ++k) {
    const std::string box = "Lists/List " + std::to_string(k);
    steps.push_back("create:" + box);
    steps.push_back("append:" + box + ":" + Message("list" + std::to_string(k), "List " + std::to_string(k), 3));
  }
  Steps("u9", steps);
  AddCountedAccount("Work Mail", "u9");
  Snapshot("Work Mail");
  const Saved second = Snapshot("Work Mail");
  EXPECT_EQ(second.bodies, 0);
  EXPECT_GE(second.status, 30);
  EXPECT_LT(second.roundTrips, 10) << second.status << " STATUS commands";  // 45 when asked one by one
  ExpectArchiveWhole();
}

// After three new messages (and flags changed), the next save reads those
// three bodies and no other. (Fails while every save reads every body.)
TEST_F(Incremental, ThreeNewMessagesFetchThreeBodies) {
  Seed("u4", 40);
  AddCountedAccount("Work Mail", "u4");
  Snapshot("Work Mail");
  Steps("u4", {"append:INBOX:" + Message("three1", "One"), "append:Projects:" + Message("three2", "Two") + ":\\Seen",
               "append:Sent:" + Message("three3", "Six"), "store:INBOX:1-4:+:\\Flagged", "store:Sent:1:-:\\Seen"});
  const Saved second = Snapshot("Work Mail");
  EXPECT_EQ(second.bodies, 3) << second.byMailbox.dump();
  EXPECT_EQ(second.byMailbox, (nlohmann::json{{"INBOX", 1}, {"Projects", 1}, {"Sent", 1}}));
  ExpectArchiveWhole();
}

// A mailbox that did not change since the last save (the same UIDVALIDITY,
// UIDNEXT, count and HIGHESTMODSEQ) is copied from the last snapshot's
// copy of it; one a client changed in the archive since (a message taken
// out of it, another's flags set) is not used for that, and the server's
// flags changed since are never missed.
TEST_F(Incremental, AnUnchangedMailboxIsCopiedFromTheLastSnapshotOnlyWhileThatIsAsItWasMade) {
  Seed("u7", 40);
  AddCountedAccount("Work Mail", "u7");
  const Saved first = Snapshot("Work Mail");
  EXPECT_GT(Query(profile.archiveFile, "SELECT count(*) FROM folder_key"), 3) << "the server has CONDSTORE";
  const Saved second = Snapshot("Work Mail");
  EXPECT_EQ(second.bodies, 0);
  // A client takes a message out of the second snapshot and flags another.
  std::string out;
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(profile.archiveFile) +
                           " \"PRAGMA foreign_keys=ON; DELETE FROM message WHERE id = (SELECT max(id) FROM message);"
                           " UPDATE message SET own = x'' WHERE id = (SELECT max(id) - 3 FROM message)\" 2>&1",
                       &out),
            0)
      << out;
  trees_[second.name] = restore_test::Tree("Archive\\" + second.name);
  const Saved third = Snapshot("Work Mail");  // equal to the account: verified
  EXPECT_EQ(third.bodies, 0);
  Steps("u7", {"store:INBOX:2:+:\\Flagged", "store:Sent:1:-:\\Seen"});
  const Saved fourth = Snapshot("Work Mail");
  EXPECT_EQ(fourth.bodies, 0);
  Snapshot("Work Mail");
  ExpectArchiveWhole();
}

// Two accounts of one server saved into one archive: the message delivered
// to both is kept once, the others each once, although both INBOXes have the
// same UIDVALIDITY and the same UIDs with messages of the same sizes.
TEST_F(Incremental, TwoAccountsInOneArchiveShareContentOnlyWhereTheBytesAreEqual) {
  const std::string both = Message("both", "To both of them");
  for (const std::string user : {"u5", "u6"}) {
    const std::string tag = user == "u5" ? "x" : "y";
    std::vector<std::string> steps;
    for (int k = 1; k <= 3; ++k) steps.push_back("append:INBOX:" + Message(tag + std::to_string(k), "Own " + tag + std::to_string(k)));
    steps.push_back("append:INBOX:" + both + (user == "u5" ? ":\\Seen" : ""));
    Steps(user, steps);
    std::string out;
    ASSERT_EQ(RunCommand("doveadm -c " + Quote((server_->dir / "dovecot.conf").string()) + " mailbox update -u " + user +
                             " --uid-validity 1700000000 INBOX 2>&1",
                         &out),
              0)
        << out;
    ASSERT_EQ(UidValidity(user, "INBOX"), 1700000000);
  }
  AddAccount("X Mail", "u5", server_->Port());
  AddAccount("Y Mail", "u6", server_->Port());
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Snapshot("X Mail");
    Snapshot("Y Mail");
    const std::string stats = Mapiadmin("stats Test Archive");
    EXPECT_NE(stats.find("messages:           " + std::to_string(8 * round) + " ("), std::string::npos) << stats;
    EXPECT_NE(stats.find("(7 contents"), std::string::npos) << stats;
    // The message in both INBOXes is one content used by both accounts'
    // snapshots; each of the others is used by its own account's only.
    EXPECT_EQ(Query(profile.archiveFile, "SELECT count(*) FROM content WHERE refs = " + std::to_string(2 * round)), 1);
    EXPECT_EQ(Query(profile.archiveFile, "SELECT count(*) FROM content WHERE refs = " + std::to_string(round)), 6);
  }
  ExpectArchiveWhole();
}

// Folder path -> the sorted digests of its messages, for every folder of a
// tree that has messages.
void DigestsByFolder(const nlohmann::json& tree, const std::string& path, std::map<std::string, std::vector<std::string>>& out) {
  if (tree.contains("digests") && !tree["digests"].empty()) {
    auto d = tree["digests"].get<std::vector<std::string>>();
    std::sort(d.begin(), d.end());
    out[path] = d;
  }
  for (const auto& f : tree["folders"]) DigestsByFolder(f, path + "\\" + f["name"].get<std::string>(), out);
}
std::map<std::string, std::vector<std::string>> DigestsByFolder(const std::string& store) {
  std::map<std::string, std::vector<std::string>> out;
  DigestsByFolder(restore_test::Tree(store), "", out);
  return out;
}

// A store file with messages made through MAPI (no Internet bytes), a
// Maildir and an IMAP account, each saved twice into the archive and
// restored from its second snapshot into a new store of its own kind: the
// second snapshot adds no content, and the restored store holds the
// source's messages folder by folder, digest for digest.
TEST_F(Incremental, EveryKindOfSourceComesBackFromItsSecondSnapshotAsItWas) {
  Mapiadmin("generate Test \"Personal Folders\\Inbox\" --messages 12 --seed 3 --attachments");
  Mapiadmin("generate Test \"Personal Folders\\Inbox\\Kept\" --messages 4 --seed 4");
  AddMaildir(20, 11);
  Seed("u9", 20);
  AddAccount("Work Mail", "u9", server_->Port());
  const fs::path backDir = profile.dir / "back-maildir";
  const std::vector<std::pair<std::string, std::function<std::string()>>> sources = {
      {"Personal Folders", [&] { profile.AddStore("Back Folders", "mailbox"); return std::string("Back Folders"); }},
      {"Mail",
       [&] {
         Mapiadmin("store add-maildir Test " + Quote(backDir.string()) + " --name \"Back Mail\" --kind mailbox --layout maildir++ --create");
         return std::string("Back Mail");
       }},
      {"Work Mail", [&] { AddAccount("Back Work", "u10", server_->Port()); return std::string("Back Work"); }},
  };
  for (const auto& [store, makeBack] : sources) {
    SCOPED_TRACE(store);
    const auto source = DigestsByFolder(store);
    ASSERT_GE(source.size(), 2u);
    Snapshot(store);
    const int contents = Contents();
    const Saved second = Snapshot(store);
    ASSERT_FALSE(second.name.empty());
    EXPECT_EQ(Contents(), contents) << "the second snapshot added content";
    const std::string back = makeBack();
    const ProgramRun restore = Restore("\"\" " + Quote("Archive\\" + second.name) + " " + Quote(back));
    ASSERT_EQ(restore.rc, 0) << Describe(restore);
    EXPECT_EQ(DigestsByFolder(back), source);
  }
  // The store file's messages are kept whole, one content each, by both
  // snapshots.
  EXPECT_EQ(Query(profile.archiveFile, "SELECT count(*) FROM content WHERE codec & 2 AND refs = 2"), 16);
  ExpectArchiveWhole();
}

// A Maildir between saves: flags changed (the file renamed), a message
// deleted, one moved to another folder, new ones, a folder gone, and a file
// rewritten in place with other bytes of the same size.
TEST_F(Incremental, AMaildirSourceShowsRenamesMovesDeletionsAndAFileRewrittenInPlace) {
  const fs::path dir = AddMaildir(30, 5);
  Snapshot("Mail");

  auto inbox = Files(dir / "cur");
  ASSERT_GE(inbox.size(), 8u);
  for (int k = 0; k < 2; ++k) {
    const std::string name = inbox[k].filename().string();
    const size_t info = name.find(":2,");
    ASSERT_NE(info, std::string::npos) << name;
    fs::rename(inbox[k], dir / "cur" / (name.substr(0, info) + ":2,FRS"));
  }
  fs::remove(inbox[2]);
  fs::rename(inbox[3], dir / ".Projects/cur" / inbox[3].filename());
  fs::copy_file(Message("maildir-new", "Arrived today"), dir / "new/1796000000.M1P1.testhost");
  const Saved before = Snapshot("Mail");

  fs::remove_all(dir / ".Archive.2025.Q1");
  Rewrite(inbox[5], 'Z', timespec{::time(nullptr), 0});
  const Saved rewritten = Snapshot("Mail");
  // The snapshot equals the source (above): it has the new bytes.
  const auto now = restore_test::Child(trees_[rewritten.name], "Inbox"), then = restore_test::Child(trees_[before.name], "Inbox");
  EXPECT_EQ(now["messages"], then["messages"]);
  EXPECT_NE(now["digests"], then["digests"]);
  ExpectArchiveWhole();
}

// A file rewritten twice within one second, a save between the two writes:
// its size and the second of its mtime are the same after both, only the
// bytes (and the mtime's fraction) differ.
TEST_F(Incremental, AMaildirFileRewrittenTwiceWithinOneSecondIsReadAgain) {
  const fs::path dir = AddMaildir(20, 6);
  const auto inbox = Files(dir / "cur");
  ASSERT_FALSE(inbox.empty());
  const time_t second = ::time(nullptr) - 5;
  Rewrite(inbox[0], 'Q', timespec{second, 200000000});
  Snapshot("Mail");
  Rewrite(inbox[0], 'W', timespec{second, 700000000});
  Snapshot("Mail");
  ExpectArchiveWhole();
}

// What a save of a Maildir reads: the message files it opens (strace). A
// save of an unchanged tree opens none; after one file renamed (flags), two
// new ones and one rewritten in place it opens those three only. (Fails
// while every save reads every file.)
TEST_F(Incremental, MaildirSaveOpensOnlyNewAndChangedFiles) {
  const fs::path dir = AddMaildir(40, 7);
  // The message files (below cur/ and new/) a save opened.
  auto opened = [&](const ProgramRun& run, const fs::path& trace) {
    EXPECT_EQ(run.rc, 0) << Describe(run);
    std::set<std::string> files;
    std::ifstream in(trace);
    const std::regex open(R"re(open(?:at)?\((?:AT_FDCWD, )?"([^"]+)", ([A-Z_|]+).*\) = \d+)re");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      if (!std::regex_search(line, m, open) || m[2].str().find("O_DIRECTORY") != std::string::npos) continue;
      const std::string path = m[1];
      if (path.rfind(dir.string() + "/", 0) == 0 &&
          (path.find("/cur/") != std::string::npos || path.find("/new/") != std::string::npos))
        files.insert(fs::path(path).filename().string());
    }
    return files;
  };
  std::string snapshot;
  auto traced = [&](const std::string& name) {
    const fs::path trace = profile.dir / (name + ".trace");
    // A sanitizer build's leak check cannot run under ptrace.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string noLeakCheck = "ASAN_OPTIONS=" + Quote(std::string(asan ? asan : "") + ":detect_leaks=0");
    const ProgramRun run = restore_test::RunProgram(
        TESKSAVE_PATH, profile.dir / "bin", "\"\" Mail Archive",
        noLeakCheck + " TZ=Etc/GMT" + Zone(++zone_) + " strace -f -qq -e trace=open,openat -o " + Quote(trace.string()));
    snapshot = SavedName(run);
    return opened(run, trace);
  };
  const auto all = traced("first");
  EXPECT_GE(all.size(), 40u) << "strace saw no message file opened";
  EXPECT_EQ(traced("unchanged"), std::set<std::string>{});

  const auto inbox = Files(dir / "cur");
  ASSERT_GE(inbox.size(), 4u);
  const std::string renamed = inbox[0].filename().string();
  fs::rename(inbox[0], dir / "cur" / (renamed.substr(0, renamed.find(":2,")) + ":2,FRS"));
  fs::copy_file(Message("maildir-a", "Arrived one"), dir / "new/1796000001.M1P1.testhost");
  fs::copy_file(Message("maildir-b", "Arrived two"), dir / ".Sent/cur/1796000002.M2P2.testhost:2,S");
  Rewrite(inbox[1], 'Z', timespec{::time(nullptr), 0});
  EXPECT_EQ(traced("changed"), (std::set<std::string>{"1796000001.M1P1.testhost", "1796000002.M2P2.testhost:2,S",
                                                      inbox[1].filename().string()}));
  ExpectEqualToSource("Mail", snapshot);
  ExpectArchiveWhole();
}

// Saves killed (SIGKILL) at moments spread over a run after the account
// changed, each followed by the next: the archive passes the check after
// each, every snapshot in it is whole (no message missing or twice), and no
// content of a save that did not finish stays.
TEST_F(Incremental, SavesKilledAtMomentsSpreadOverTheRunLeaveWholeSnapshotsOrNone) {
  Seed("u7", 150);
  AddAccount("Work Mail", "u7", server_->Port());
  const Saved first = Snapshot("Work Mail");
  const auto duration = lastDuration_;
  const int contents = Contents();
  ASSERT_GT(contents, 100);

  Steps("u7", {"append:INBOX:" + Message("k1", "Killed 1"), "append:Sent:" + Message("k2", "Killed 2"),
               "append:Projects:" + Message("k3", "Killed 3"), "store:INBOX:1-5:+:\\Flagged", "expunge:INBOX:6-7"});
  const fs::path bin = profile.dir / "killed";
  fs::create_directories(bin);
  const std::string exe = (bin / "TeskSave").string();
  fs::copy_file(TESKSAVE_PATH, exe);
  std::map<std::string, nlohmann::json> seen;  // snapshots found after the kills, as found
  int killed = 0;
  for (const double share : {1.0 / 32, 1.0 / 16, 1.0 / 8, 1.0 / 4, 1.0 / 2, 3.0 / 4}) {
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(duration * share);
    SCOPED_TRACE("killed after " + std::to_string(delay.count() / 1000) + " ms");
    const std::string zone = "Etc/GMT" + Zone(++zone_);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::setenv("TZ", zone.c_str(), 1);
      for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(v);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(exe.c_str(), "TeskSave", "", "Work Mail", "Archive", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) ++killed;
    ExpectArchiveWhole();
    const int now = Contents();
    EXPECT_TRUE(now == contents || now == contents + 3) << now << " contents, " << contents << " before";
    const auto top = nlohmann::json::parse(Mapiadmin("tree Test Archive --json"));
    for (auto f : top["folders"]) {
      const std::string name = f["name"];
      if (name != first.name && name.find("Work Mail") != std::string::npos) seen[name] = restore_test::Tree("Archive\\" + name);
    }
  }
  EXPECT_GT(killed, 0);
  // The save after them finishes; every snapshot of the changed account is
  // the same as its.
  const Saved last = Snapshot("Work Mail");
  EXPECT_EQ(Contents(), contents + 3);
  for (const auto& [name, tree] : seen) EXPECT_EQ(tree, trees_[last.name]) << name << " is not whole";
  for (const auto& [name, tree] : seen) EXPECT_EQ(restore_test::Tree("Archive\\" + name), tree) << name << " changed later";
}

}  // namespace
