// Both programs as a user meets them in a terminal or from cron: the usage
// text, dry runs that change nothing, ERROR lines on standard error, and a
// log that is written somewhere even where the program's folder takes none.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "restore_test_util.h"

using namespace testing_support;
using namespace restore_test;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

namespace fs = std::filesystem;

class Terminal : public ::testing::Test {
 protected:
  Terminal() { f.AddStore("Backup", "archive"); }

  ProgramRun Restore(const std::string& args, const std::string& environment = "") {
    return RunProgram(TESKRESTORE_PATH, f.dir / "bin", args, environment);
  }
  ProgramRun Save(const std::string& args, const std::string& environment = "") {
    return RunProgram(TESKSAVE_PATH, f.dir / "bin", args, environment);
  }
  nlohmann::json AllStores() { return {Tree("Personal Folders"), Tree("Archive"), Tree("Backup")}; }

  ProfileFixture f;
};

TEST_F(Terminal, HelpPrintsTheUsageWithOrWithoutADisplayAndChangesNothing) {
  for (const char* program : {TESKSAVE_PATH, TESKRESTORE_PATH}) {
    const std::string name = fs::path(program).filename().string();
    for (const char* ask : {"--help", "-h", "-?", "/?", "-H"}) {
      for (const char* display : {"", "DISPLAY=:99 QT_QPA_PLATFORM=offscreen"}) {
        SCOPED_TRACE(name + " " + ask + " [" + display + "]");
        // Help wins over everything else on the line, a registry switch too.
        const ProgramRun run =
            RunProgram(program, f.dir / "bin", std::string(ask) + " \"\" -RegServer", display);
        EXPECT_EQ(run.rc, 0) << run.output;
        EXPECT_THAT(run.output, StartsWith("Usage: " + name + " "));
        EXPECT_THAT(run.output, HasSubstr("-n "));
        EXPECT_THAT(run.output, HasSubstr("-mailto:ADDRESS"));
        EXPECT_THAT(run.output, HasSubstr("Exit code: 0 done, 1 the run logged"));
        EXPECT_TRUE(run.logName.empty()) << "a help run writes no log";
      }
    }
  }
}

TEST_F(Terminal, ErrorsAndWarningsReachStandardErrorWithTheLogsPath) {
  const ProgramRun run = Save("Test \"Personal Folders\\No such\" Archive");
  EXPECT_EQ(run.rc, 1);
  ASSERT_FALSE(run.logName.empty());
  // The ERROR line as the log has it, then where the log is.
  EXPECT_THAT(run.output, ContainsRegex("[0-9]{2}\\.[0-9]{2}\\.[0-9]{4} [0-9:]{8} :ERROR: Subfolder No such not found!"));
  EXPECT_THAT(run.output, HasSubstr("TeskSave: the run logged errors; the log is "));
  EXPECT_THAT(run.output, HasSubstr(run.logName));
  // INFO lines stay in the log.
  EXPECT_THAT(run.output, Not(HasSubstr("Successfully logged on to MAPI.")));

  Generate("Backup\\Inbox", 1, 1);
  const ProgramRun clean = Restore("Test Backup Archive");
  EXPECT_EQ(clean.rc, 0) << Describe(clean);
  // The archive has no Inbox: a WARNING, on standard error too, and no
  // pointer to the log for a run without errors.
  EXPECT_THAT(clean.output, HasSubstr(":Failed to obtain Inbox folder from destination message store."));
  EXPECT_THAT(clean.output, Not(HasSubstr("the log is")));
}

TEST_F(Terminal, DryRunsFindAndCheckEverythingAndChangeNothing) {
  Generate("Personal Folders\\Inbox", 3, 1);
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  Generate("Personal Folders\\Projects", 4, 3);
  Generate("Personal Folders\\Projects\\2026", 1, 4);
  Generate("Backup\\Snapshot\\Inbox", 5, 5);
  Generate("Backup\\Snapshot\\Kept", 2, 6);
  Generate("Backup\\Snapshot\\Kept\\Deeper", 1, 7);
  const auto before = AllStores();

  const ProgramRun restore = Restore("-n Test \"Backup\\Snapshot\" \"Personal Folders\"");
  EXPECT_EQ(restore.rc, 0) << Describe(restore);
  EXPECT_THAT(restore.lines, Contains("Dry run: nothing will be changed."));
  EXPECT_THAT(restore.lines, Contains("Would keep standard folder 'Inbox' and empty it: 5 messages and 1 subfolders "
                                      "deleted."));
  EXPECT_THAT(restore.lines, Contains("Would delete folder 'Projects' with 1 subfolders and 5 messages."));
  EXPECT_THAT(restore.lines, Contains("Would merge folder 'Inbox' into the standard folder of that name."));
  EXPECT_THAT(restore.lines,
              Contains("Would restore Backup\\Snapshot into Personal Folders: 3 folders and 8 messages."));
  EXPECT_EQ(restore.lines.back(), "Dry run ended, nothing was changed.");
  EXPECT_EQ(AllStores(), before);

  // A dry run fails where the real run would, with the same line.
  const ProgramRun overlap = Restore("-n Test \"Personal Folders\" \"Personal Folders\\Projects\"");
  EXPECT_EQ(overlap.rc, 1);
  EXPECT_THAT(overlap.lines, Contains(HasSubstr("ERROR: Source and target folders overlap; nothing was changed.")));
  EXPECT_EQ(AllStores(), before);

  // The save: what it would copy, under which name.
  const ProgramRun save = Save("-n -t Test \"Personal Folders\\Projects\" Archive");
  EXPECT_EQ(save.rc, 0) << Describe(save);
  EXPECT_THAT(save.lines, Contains("Preparing to copy structure into folder <Personal Folders_Projects>"));
  EXPECT_THAT(save.lines, Contains("Would copy Personal Folders\\Projects with 1 subfolders and 5 messages into the "
                                   "new folder <Personal Folders_Projects> of Archive."));
  EXPECT_THAT(save.lines, Not(Contains("Structure successfully copied.")));
  EXPECT_EQ(AllStores(), before);

  // The name taken already: the real run's collision, before anything is copied.
  ASSERT_EQ(Save("-t Test \"Personal Folders\\Projects\" Archive").rc, 0);
  const auto saved = AllStores();
  const ProgramRun taken = Save("-n -t Test \"Personal Folders\\Projects\" Archive");
  EXPECT_EQ(taken.rc, 1);
  EXPECT_THAT(taken.lines, Contains("ERROR: MAPI error 80040604, MAPI_E_COLLISION Copy operation failed!, module: "
                                    "FoldersCopier, line: 145"));
  EXPECT_EQ(AllStores(), saved);
}

// A program in a folder nobody may write to (as in /usr/bin) logs to the
// user's state folder and says so; with no state folder either, the lines
// still reach standard error.
TEST_F(Terminal, ALogThatCannotSitNextToTheProgramGoesToTheStateFolder) {
  std::string out;
  if (RunCommand("unshare -m true 2>&1", &out) != 0) GTEST_SKIP() << "no private mount namespace here: " << out;
  const fs::path bin = f.dir / "readonly-bin";
  const fs::path state = f.dir / "state";
  fs::create_directories(bin);
  fs::copy_file(TESKSAVE_PATH, bin / "TeskSave");
  const auto run = [&](const std::string& environment, const std::string& args) {
    std::string output;
    const std::string script = "mount --bind " + Quote(bin.string()) + " " + Quote(bin.string()) +
                               " && mount -o remount,bind,ro " + Quote(bin.string()) + " && env -u DISPLAY -u "
                               "WAYLAND_DISPLAY " + environment + " " + Quote((bin / "TeskSave").string()) + " " + args;
    const int rc = RunCommand("unshare -m sh -c " + Quote(script) + " 2>&1", &output);
    return std::make_pair(rc, output);
  };

  const auto [rc, output] = run("XDG_STATE_HOME=" + Quote(state.string()), "Test \"Personal Folders\\Nowhere\" Archive");
  EXPECT_EQ(rc, 1) << output;
  EXPECT_THAT(output, HasSubstr("TeskSave: cannot write the log " + (bin / "TeskSave ").string()));
  EXPECT_THAT(output, HasSubstr("; writing it to " + (state / "tesk" / "TeskSave ").string()));
  EXPECT_THAT(output, HasSubstr("ERROR: Subfolder Nowhere not found!"));
  std::vector<fs::path> logs;
  for (const auto& entry : fs::directory_iterator(state / "tesk")) logs.push_back(entry.path());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(ReadText(logs[0].string()), AllOf(HasSubstr("This is TeskSave log file."),
                                               HasSubstr("ERROR: Subfolder Nowhere not found!")));
  EXPECT_EQ(fs::status(state / "tesk").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_THAT(output, HasSubstr("the log is " + logs[0].string()));
  for (const auto& entry : fs::directory_iterator(bin)) EXPECT_EQ(entry.path().filename(), "TeskSave");

  // No state folder to be had: still every ERROR line, and the reason.
  const auto [rc2, output2] = run("-u HOME XDG_STATE_HOME=relative", "Test \"Personal Folders\\Nowhere\" Archive");
  EXPECT_EQ(rc2, 1) << output2;
  EXPECT_THAT(output2, HasSubstr("ERROR and WARNING lines go to standard error only"));
  EXPECT_THAT(output2, HasSubstr("ERROR: Subfolder Nowhere not found!"));
}

}  // namespace
