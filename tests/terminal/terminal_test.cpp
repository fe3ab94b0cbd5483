// A batch run as a user in a terminal sees it: started on a pseudo-terminal
// of its own, the programs show one progress line on standard error and end
// with a summary; with standard error not a terminal, or with -q, they write
// what they wrote before (nothing, on success), and the log never gets any
// of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "../restore/restore_test_util.h"
#include "TeskAppTerminal.h"
#include "pty.h"

using namespace testing_support;
using namespace restore_test;
using namespace terminal_test;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TerminalRun : public ::testing::Test {
 protected:
  // A copy of the program in a folder of its own, so that its log is the
  // only one there.
  std::string Copy(const char* program) {
    const fs::path dir = fs::path(f.dir.path()) / ("bin" + std::to_string(++runs));
    fs::create_directories(dir);
    const fs::path exe = dir / fs::path(program).filename();
    fs::copy_file(program, exe);
    return exe.string();
  }
  static std::string LogOf(const std::string& exe) {
    for (const auto& entry : fs::directory_iterator(fs::path(exe).parent_path()))
      if (entry.path().extension() == ".log") return entry.path().string();
    return {};
  }
  PtyRun Run(const char* program, std::vector<std::string> args, unsigned short columns = 100,
             std::vector<std::string> env = {}, const std::string& stderrFile = "") {
    last = Copy(program);
    args.insert(args.begin(), last);
    env.insert(env.begin(), "TERM=xterm");  // the test's own TERM comes after it and wins
    return RunOnPty(args, env, columns, stderrFile);
  }

  ProfileFixture f;
  int runs = 0;
  std::string last;  // the program copy of the last run
};

// The progress line's draws in the output: each begins at a carriage return
// with the phase's text.
std::vector<double> DrawTimes(const PtyRun& run, const std::string& phase) {
  std::vector<double> times;
  for (size_t at = run.output.find("\r" + phase); at != std::string::npos; at = run.output.find("\r" + phase, at + 1)) {
    double t = 0;
    for (const auto& [when, offset] : run.arrivals)
      if (offset <= at) t = when;
    times.push_back(t);
  }
  return times;
}

TEST_F(TerminalRun, SaveShowsItsProgressAndEndsWithASummary) {
  Generate("Personal Folders\\Inbox", 6000, 1);
  Generate("Personal Folders\\Inbox\\Projects", 300, 2);
  Generate("Personal Folders\\Inbox\\Projects\\2026", 200, 3);
  const PtyRun run = Run(TESKSAVE_PATH, {"Test", "Personal Folders\\Inbox", "Archive"});
  ASSERT_EQ(run.rc, 0) << run.output;
  const std::string log = LogOf(last);
  ASSERT_FALSE(log.empty());

  // What stays on the screen: the summary alone.
  const auto screen = Screen(run.output, 100);
  ASSERT_EQ(screen.size(), 2u) << run.output;  // the summary wraps at 100 columns
  const std::string summary = screen[0] + screen[1];
  const std::regex expected(
      R"(Saved 6,500 messages in 3 folders \((\d+(\.\d+)? [kM]B)\) to Archive\\(\d{4}\.\d\d\.\d\d \d\d:\d\d) )"
      R"(Personal Folders_Inbox in (\d+\.\d) s; log: (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(summary, m, expected)) << summary;
  EXPECT_EQ(m[5].str(), log);
  // The folder it names is the one the save made.
  EXPECT_TRUE(Mapiadmin("tree Test Archive").find(m[3].str() + " Personal Folders_Inbox") != std::string::npos);

  // On the way: the counts of the whole, and the line redrawn at most ten
  // times a second.
  EXPECT_THAT(run.output, ContainsRegex("\rSaving  [0-9,]+ of 6,500 messages, [0-9] of 3 folders, [0-9.]+ [kM]?B of "));
  const auto draws = DrawTimes(run, "Saving");
  ASSERT_GE(draws.size(), 2u) << run.output;
  for (size_t k = 0; k + 10 < draws.size(); ++k)
    EXPECT_GE(draws[k + 10] - draws[k], 0.9) << "draws " << k << " to " << k + 10;
  EXPECT_LE(draws.size(), static_cast<size_t>(10 * run.seconds) + 3);

  // The log is as it always was.
  const std::string text = Slurp(log);
  EXPECT_THAT(text, HasSubstr(":Structure successfully copied.\n"));
  EXPECT_THAT(text, Not(HasSubstr("\r")));
  EXPECT_THAT(text, Not(HasSubstr("Saving")));
  EXPECT_THAT(text, Not(HasSubstr("Saved ")));
}

TEST_F(TerminalRun, NothingNewWhereStandardErrorIsNoTerminalOrWithQuiet) {
  Generate("Personal Folders\\Inbox", 50, 1);
  // Standard error into a file, standard output still the terminal.
  const std::string file = f.dir / "stderr.txt";
  const PtyRun redirected = Run(TESKSAVE_PATH, {"Test", "Personal Folders\\Inbox", "Archive"}, 100, {}, file);
  EXPECT_EQ(redirected.rc, 0);
  EXPECT_EQ(redirected.output, "");
  EXPECT_EQ(Slurp(file), "");
  // As under cron: a pipe.
  const ProgramRun piped = RunProgram(TESKSAVE_PATH, f.dir / "piped", "-t Test \"Personal Folders\\Inbox\" Archive");
  EXPECT_EQ(piped.rc, 0) << piped.output;
  EXPECT_EQ(piped.output, "");
  // -q on the terminal, in either program.
  const PtyRun quiet = Run(TESKSAVE_PATH, {"-q", "Test", "Personal Folders\\Inbox", "Archive\\Personal Folders_Inbox"});
  EXPECT_EQ(quiet.rc, 0) << quiet.output;
  EXPECT_EQ(quiet.output, "");
  const PtyRun quietRestore = Run(TESKRESTORE_PATH, {"Test", "Archive\\Personal Folders_Inbox", "Personal Folders\\Inbox", "/q"});
  EXPECT_EQ(quietRestore.rc, 0) << quietRestore.output;
  EXPECT_EQ(quietRestore.output, "");
}

TEST_F(TerminalRun, ErrorAndWarningLinesStandOnLinesOfTheirOwn) {
  Generate("Personal Folders\\Inbox", 20, 1);
  const PtyRun failed = Run(TESKSAVE_PATH, {"Test", "Personal Folders\\Nowhere", "Archive"});
  EXPECT_EQ(failed.rc, 1);
  const auto screen = Screen(failed.output, 100);
  ASSERT_EQ(screen.size(), 2u) << failed.output;
  EXPECT_THAT(screen[0], ContainsRegex("^[0-9.]+ [0-9:]+ :ERROR: Subfolder Nowhere not found!, module: "));
  EXPECT_EQ(screen[1], "TeskSave: the run logged errors; the log is " + LogOf(last));

  // A restore into an archive without an Inbox warns and succeeds: the
  // WARNING line, then the summary (Inbox and the archive's own Deleted
  // Items are the two folders below the store's top).
  f.AddStore("Backup", "archive");
  Generate("Backup\\Inbox", 30, 2);
  const PtyRun warned = Run(TESKRESTORE_PATH, {"Test", "Backup", "Archive"}, 400);
  EXPECT_EQ(warned.rc, 0) << warned.output;
  const auto lines = Screen(warned.output, 400);
  ASSERT_EQ(lines.size(), 2u) << warned.output;
  EXPECT_THAT(lines[0], HasSubstr(":Failed to obtain Inbox folder from destination message store."));
  EXPECT_THAT(lines[1], ContainsRegex("^Restored 30 messages and 2 folders \\([0-9.]+ kB\\) from Backup to Archive in "
                                      "[0-9.]+ s; log: /"));
}

TEST_F(TerminalRun, RestoreShowsWhatItClearsAndRestores) {
  Generate("Personal Folders\\Inbox", 400, 1);
  Generate("Personal Folders\\Projects", 100, 2);
  f.AddStore("Backup", "archive");
  Generate("Backup\\Snapshot\\Inbox", 500, 3);
  Generate("Backup\\Snapshot\\Kept", 200, 4);
  const PtyRun run = Run(TESKRESTORE_PATH, {"Test", "Backup\\Snapshot", "Personal Folders"}, 200);
  ASSERT_EQ(run.rc, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("\rClearing Projects"));
  EXPECT_THAT(run.output, ContainsRegex("\rRestoring (Inbox|Kept)  [0-9,]+ of 700 messages, [0-9] of 2 folders"));
  const auto screen = Screen(run.output, 200);
  ASSERT_EQ(screen.size(), 1u) << run.output;
  EXPECT_THAT(screen[0], ContainsRegex("^Restored 700 messages and 2 folders \\([0-9.]+ [kM]B\\) from Backup\\\\Snapshot "
                                       "to Personal Folders in [0-9.]+ s; log: " +
                                       std::regex_replace(LogOf(last), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "$"));
  EXPECT_EQ(Tree("Personal Folders\\Kept")["messages"], Tree("Backup\\Snapshot\\Kept")["messages"]);
}

TEST_F(TerminalRun, NarrowAndDumbTerminalsGetLinesThatFit) {
  // A folder name beyond ASCII in the progress line of a 40-column terminal.
  f.AddStore("Backup", "archive");
  Generate("Backup\\Snapshot\\Ünïcødé Ördner mit langem Namen", 3000, 3);
  const PtyRun narrow = Run(TESKRESTORE_PATH, {"Test", "Backup\\Snapshot", "Personal Folders"}, 40);
  ASSERT_EQ(narrow.rc, 0) << narrow.output;
  EXPECT_TRUE(ValidUtf8(narrow.output));
  EXPECT_THAT(narrow.output, HasSubstr("\rRestoring Ünïcødé Ördner mit langem"));
  // Every draw of the line fits in 39 columns: nothing wraps.
  std::stringstream draws(narrow.output);
  for (std::string piece; std::getline(draws, piece, '\r');) {
    if (piece.rfind("Restoring", 0) != 0 && piece.rfind("Clearing", 0) != 0 && piece.rfind("Reading", 0) != 0) continue;
    const std::string text = piece.substr(0, piece.find('\x1b'));
    EXPECT_EQ(Screen(text, 39).size(), 1u) << text;
  }

  // TERM=dumb: no cursor controls, shorter lines padded with blanks.
  const PtyRun dumb = Run(TESKRESTORE_PATH, {"Test", "Backup\\Snapshot", "Personal Folders"}, 300, {"TERM=dumb"});
  ASSERT_EQ(dumb.rc, 0) << dumb.output;
  EXPECT_EQ(dumb.output.find('\x1b'), std::string::npos) << dumb.output;
  const auto screen = Screen(dumb.output, 300);
  EXPECT_EQ(screen.size(), 1u) << dumb.output;
  ASSERT_FALSE(screen.empty());
  EXPECT_THAT(screen.back(), HasSubstr("; log: "));
  EXPECT_THAT(screen.front(), ::testing::StartsWith("Restored 3,000 messages and 1 folder"));
}

// The counting behind the line, fed as MAPI feeds it.
TEST(TerminalProgress, CountsWhatMapiReportsAndNotItsSignsOfLife) {
  CTerminalProgress t(true);  // quiet: draws nothing, counts all the same
  EXPECT_FALSE(t.Active());
  t.Start({3, 10, 1000});
  t.OnLimits(1, 1000);
  t.OnProgress(461, 6, 13);
  EXPECT_DOUBLE_EQ(t.Share(), 6.0 / 13);
  // The same value again, with the operation's total as its count: a
  // long commit still going on.
  t.OnProgress(461, 13, 13);
  EXPECT_DOUBLE_EQ(t.Share(), 6.0 / 13);
  EXPECT_THAT(t.Line(), HasSubstr("5 of 10 messages, 1 of 3 folders, 462 B of 1.00 kB"));
  t.OnProgress(1000, 13, 13);
  EXPECT_DOUBLE_EQ(t.Share(), 1.0);

  // A restore: the clearing does not count, each copy adds to the last.
  CTerminalProgress r(true);
  r.Start({2, 10, 0});
  r.SetCounting(false);
  r.OnLimits(1, 1000);
  r.OnProgress(1000, 50, 50);
  EXPECT_DOUBLE_EQ(r.Share(), 0.0);
  r.SetCounting(true);
  r.OnLimits(1, 1000);
  r.OnProgress(1000, 4, 4);  // the source's own messages
  r.OnLimits(1, 1000);
  r.OnProgress(500, 3, 6);  // a folder and its messages
  EXPECT_DOUBLE_EQ(r.Share(), 7.0 / 12);
  r.OnProgress(1000, 6, 6);
  r.OnLimits(1, 1000);
  r.OnProgress(1000, 2, 2);
  EXPECT_DOUBLE_EQ(r.Share(), 1.0);
  EXPECT_THAT(r.Line(), HasSubstr("10 of 10 messages, 2 of 2 folders"));
}

TEST(TerminalProgress, NumbersSizesTimesAndFitting) {
  EXPECT_EQ(CTerminalProgress::Thousands(0), "0");
  EXPECT_EQ(CTerminalProgress::Thousands(999), "999");
  EXPECT_EQ(CTerminalProgress::Thousands(1000), "1,000");
  EXPECT_EQ(CTerminalProgress::Thousands(1234567), "1,234,567");
  EXPECT_EQ(CTerminalProgress::Count(1, "message", "messages"), "1 message");
  EXPECT_EQ(CTerminalProgress::Count(10000, "message", "messages"), "10,000 messages");
  EXPECT_EQ(CTerminalProgress::Bytes(0), "0 B");
  EXPECT_EQ(CTerminalProgress::Bytes(999), "999 B");
  EXPECT_EQ(CTerminalProgress::Bytes(1000), "1.00 kB");
  EXPECT_EQ(CTerminalProgress::Bytes(41200000), "41.2 MB");
  EXPECT_EQ(CTerminalProgress::Bytes(329000000), "329 MB");
  EXPECT_EQ(CTerminalProgress::Bytes(999500), "1.00 MB");  // never "1000 kB"
  EXPECT_EQ(CTerminalProgress::Duration(6.6), "6.6 s");
  EXPECT_EQ(CTerminalProgress::Duration(59.96), "1 min 00 s");
  EXPECT_EQ(CTerminalProgress::Duration(125), "2 min 05 s");
  EXPECT_EQ(CTerminalProgress::Duration(3725), "1 h 02 min");
  EXPECT_EQ(CTerminalProgress::Fit("Ünïcødé", 3), "Ünï");
  EXPECT_EQ(CTerminalProgress::Fit("abc", 3), "abc");
  EXPECT_EQ(CTerminalProgress::Fit("abcd", 0), "");
}

}  // namespace
