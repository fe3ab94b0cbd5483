// A save killed at any moment: the archive store stays sound and holds the
// whole new folder or nothing of it; the source store is never changed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "save_util.h"

extern char** environ;

namespace {

using namespace save_test;
using namespace testing_support;

const char kBig[] = "Personal Folders\\Inbox\\Big";

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check;", -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) result += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  } else {
    result = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return result;
}

// Starts the program without waiting for it; output goes nowhere.
pid_t Start(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<std::string> all = {exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

using SaveCrash = SaveTest;

TEST_F(SaveCrash, KilledSaveLeavesArchiveWholeOrUntouched) {
  // A source of some two thousand messages in two levels of folders: mail
  // with attachments, and many small notes.
  const std::string big = kBig;
  Mapiadmin("generate Test " + Quote(big + "\\Mail") + " --messages 60 --attachments --seed 11");
  Mapiadmin("folder create Test " + Quote(big + "\\Older"));
  {
    auto session = profile.Logon();
    auto store = OpenStore(session, "Personal Folders");
    auto notes = CreateFolder(OpenFolder(store, "Inbox\\Big"), "Notes 1");
    AddMessages(notes, 100);
    AddMessages(notes, 4, /*associated=*/true);
  }
  // Every object is released: the store file holds all of it.
  ASSERT_FALSE(std::filesystem::exists(profile.mailboxFile + "-wal"));
  auto copy = [&](const std::string& from, const std::string& to, const std::string& name) {
    std::string out;
    ASSERT_EQ(RunCommand(std::string(STORE_TOOL_PATH) + " copy 'Personal Folders' " + Quote(from) +
                             " 'Personal Folders' " + Quote(to) + " " + Quote(name),
                         &out),
              0)
        << out;
  };
  for (int k = 2; k <= 20; ++k)
    copy("Inbox\\Big\\Notes 1", k <= 10 ? "Inbox\\Big" : "Inbox\\Big\\Older", "Notes " + std::to_string(k));
  for (int k = 2; k <= 5; ++k) copy("Inbox\\Big\\Mail", "Inbox\\Big\\Older", "Mail " + std::to_string(k));
  const auto source = Tree(big);
  ASSERT_EQ(source["folders"].size(), 12u);
  ASSERT_FALSE(std::filesystem::exists(profile.mailboxFile + "-wal"));
  const std::string sourceBytes = ReadFile(profile.mailboxFile);
  ASSERT_FALSE(sourceBytes.empty());

  // One whole run shows how long a save takes.
  Mapiadmin("folder create Test " + Quote("Archive\\Whole"));
  const auto t0 = std::chrono::steady_clock::now();
  const RunResult whole = Run({"-t", "Test", big, "Archive\\Whole"});
  const auto duration = std::chrono::steady_clock::now() - t0;
  const std::string saved = Underscored(big);
  ASSERT_EQ(ExpectSuccess(whole, big, "Archive\\Whole"), saved);
  ASSERT_EQ(Child(Tree("Archive\\Whole"), saved), source);

  // Kills at moments spread over start, logon, copy and commit, each save
  // into a target of its own.
  const std::string exe = InstallProgram(NewDir("bin"));
  const int kRuns = 8;
  int killed = 0, complete = 0;
  for (int k = 0; k < kRuns; ++k) {
    const std::string target = "Archive\\Kill " + std::to_string(k);
    Mapiadmin("folder create Test " + Quote(target));
    const auto delay = duration * k / 10;
    SCOPED_TRACE(target + " after " +
                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()) + " ms");
    const pid_t pid = Start(exe, {"-t", "Test", big, target});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) ++killed;

    EXPECT_EQ(IntegrityCheck(profile.archiveFile), "ok");
    const auto names = ChildNames(target);
    if (names.empty()) continue;
    EXPECT_EQ(names, std::vector<std::string>{saved});
    EXPECT_EQ(Child(Tree(target), saved), source) << "a partial copy was left behind";
    ++complete;
  }
  EXPECT_GT(killed, 0);
  RecordProperty("killed", killed);
  RecordProperty("complete", complete);

  // The source store file is byte for byte the same, and the archive still
  // takes a whole save.
  EXPECT_TRUE(ReadFile(profile.mailboxFile) == sourceBytes) << "the source store file changed";
  EXPECT_EQ(Tree(big), source);
  Mapiadmin("folder create Test " + Quote("Archive\\After"));
  const RunResult after = Run({"-t", "Test", big, "Archive\\After"});
  ExpectSuccess(after, big, "Archive\\After");
  EXPECT_EQ(Child(Tree("Archive\\After"), saved), source);
  EXPECT_EQ(IntegrityCheck(profile.archiveFile), "ok");
}

}  // namespace
