// cmake --install into a prefix of the test's own: what lands where, and
// that the installed programs work from there alone (the plugin from
// lib/tesk, the log next to a program outside the system folders), the
// manual pages and menu entries pass their checkers, and the bash
// completion offers profile and store names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fixture.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One install for all tests of the suite (it takes a few seconds).
class InstallTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix = new TempDir;
    installOutput = new std::string;
    installRc = RunCommand("cmake --install " + Quote(TESK_BUILD_DIR) + " --prefix " + Quote(prefix->path()) + " 2>&1",
                           installOutput);
  }
  // A failed install fails every test (a failure in SetUpTestSuite would
  // only show as skipped tests).
  void SetUp() override { ASSERT_EQ(installRc, 0) << *installOutput; }
  static void TearDownTestSuite() {
    delete prefix;
    prefix = nullptr;
    delete installOutput;
    installOutput = nullptr;
  }
  static std::string At(const std::string& relative) { return prefix->path() + "/" + relative; }

  static TempDir* prefix;
  static std::string* installOutput;
  static int installRc;
  ProfileFixture f;
};
TempDir* InstallTree::prefix = nullptr;
std::string* InstallTree::installOutput = nullptr;
int InstallTree::installRc = -1;

TEST_F(InstallTree, EverythingLandsWhereTheReadmeSays) {
  for (const char* file :
       {"bin/TeskSave", "bin/TeskRestore", "bin/mapiadmin", "lib/tesk/TeskSaveDialogs.so",
        "lib/tesk/TeskRestoreDialogs.so", "share/doc/tesk/tesk-dialogs.html", "share/doc/tesk/tesksave-en.png",
        "share/doc/tesk/teskrestore-de.png", "share/doc/tesk/copyright", "share/doc/tesk/changelog.gz",
        "share/doc/tesk-dialogs/copyright", "share/icons/hicolor/32x32/apps/tesk.png",
        "share/applications/tesksave.desktop", "share/applications/teskrestore.desktop",
        "share/man/man1/TeskSave.1.gz", "share/man/man1/TeskRestore.1.gz", "share/man/man1/mapiadmin.1.gz",
        "share/bash-completion/completions/mapiadmin", "share/bash-completion/completions/TeskSave",
        "share/zsh/vendor-completions/_mapiadmin"})
    EXPECT_TRUE(fs::is_regular_file(At(file))) << file;
  for (const char* program : {"bin/TeskSave", "bin/TeskRestore", "bin/mapiadmin"})
    EXPECT_EQ(::access(At(program).c_str(), X_OK), 0) << program;

  // The menu entries start the dialogs with no arguments, and pass the
  // checker.
  std::string out;
  EXPECT_EQ(RunCommand("desktop-file-validate " + Quote(At("share/applications/tesksave.desktop")) + " " +
                           Quote(At("share/applications/teskrestore.desktop")) + " 2>&1",
                       &out),
            0)
      << out;
  EXPECT_EQ(out, "");
  EXPECT_THAT(Slurp(At("share/applications/tesksave.desktop")), HasSubstr("\nExec=TeskSave\n"));
  EXPECT_THAT(Slurp(At("share/applications/teskrestore.desktop")), HasSubstr("\nExec=TeskRestore\n"));

  // The manual pages: found by man through the prefix, rendered without a
  // warning, with the sections a reader looks for.
  for (const char* page : {"TeskSave", "TeskRestore", "mapiadmin"}) {
    SCOPED_TRACE(page);
    EXPECT_EQ(RunCommand("MANPATH=" + Quote(At("share/man")) + " man -w " + page, &out), 0);
    EXPECT_EQ(out, At("share/man/man1/") + page + ".1.gz\n");
    EXPECT_EQ(RunCommand("MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l " +
                             Quote(At("share/man/man1/") + page + ".1.gz") + " 2>&1 >/dev/null",
                         &out),
              0);
    EXPECT_EQ(out, "") << "groff warnings";
    RunCommand("MANWIDTH=80 LC_ALL=C.UTF-8 man -l " + Quote(At("share/man/man1/") + page + ".1.gz") + " 2>/dev/null",
               &out);
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES"})
      EXPECT_THAT(out, HasSubstr(std::string("\n") + section + "\n")) << section;
  }
  RunCommand("MANWIDTH=200 man -l " + Quote(At("share/man/man1/mapiadmin.1.gz")) + " 2>/dev/null", &out);
  for (const char* command : {"profile create", "profile list", "profile default", "profile delete", "store create",
                              "store add ", "store add-maildir", "store add-imap", "store add-pst", "store check",
                              "store remove", "folder create", "generate", "tree", "transport", "outbox",
                              "schedule PROFILE SOURCE TARGET", "schedule --list", "schedule --remove"})
    EXPECT_THAT(out, HasSubstr(command)) << command;
}

TEST_F(InstallTree, InstalledProgramsRunFromThePrefixAlone) {
  // Programs, profile and stores of the test; the build folder plays no
  // part (the programs are run from the prefix).
  std::string out;
  EXPECT_EQ(RunCommand(Quote(At("bin/TeskSave")) + " --help", &out), 0);
  EXPECT_THAT(out, ::testing::StartsWith("Usage: TeskSave [-t] [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET\n"));
  EXPECT_EQ(RunCommand(Quote(At("bin/mapiadmin")) + " generate Test 'Personal Folders\\Inbox' --messages 20 2>&1", &out),
            0)
      << out;
  EXPECT_EQ(RunCommand(Quote(At("bin/TeskSave")) + " -t Test 'Personal Folders\\Inbox' Archive 2>&1", &out), 0) << out;
  EXPECT_EQ(RunCommand(Quote(At("bin/TeskRestore")) +
                           " Test 'Archive\\Personal Folders_Inbox' 'Personal Folders\\Inbox' 2>&1",
                       &out),
            0)
      << out;
  // A program outside the system folders keeps its log next to itself.
  size_t logs = 0;
  for (const auto& e : fs::directory_iterator(At("bin")))
    if (e.path().extension() == ".log") ++logs;
  EXPECT_EQ(logs, 2u);

  // The dialog: loaded from lib/tesk beside bin (the dynamic loader says
  // which file it initialised), and then waiting for its user.
  const std::string trace = f.dir / "ld";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("LD_DEBUG", "files", 1);
    ::setenv("LD_DEBUG_OUTPUT", trace.c_str(), 1);
    const std::string program = At("bin/TeskSave");
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string loaded = "calling init: " + At("lib/tesk/TeskSaveDialogs.so");
  std::string seen;
  for (int k = 0; k < 300 && seen.find(loaded) == std::string::npos; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    seen = Slurp(trace + "." + std::to_string(pid));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the dialog ended by itself";
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  EXPECT_THAT(seen, HasSubstr(loaded));
}

// The bash completion of the installed script, in a real bash with the
// installed mapiadmin on the PATH.
class Completion : public InstallTree {
 protected:
  // What the completion offers for the words of a line (the last one being
  // completed), one a line.
  std::string Complete(const std::string& function, const std::string& words) {
    const std::string script = "source " + Quote(At("share/bash-completion/completions/mapiadmin")) +
                               "; COMP_WORDS=(" + words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " + function +
                               "; for w in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$w\"; done | sort";
    std::string out;
    EXPECT_EQ(RunCommand("PATH=" + Quote(At("bin")) + ":/usr/bin:/bin bash -c " + Quote(script) + " 2>&1", &out), 0);
    return out;
  }
};

TEST_F(Completion, SubcommandsOptionsProfilesAndStores) {
  Mapiadmin("profile create 'Work Mail'");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin s"), "schedule\nstats\nstore\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin c"), "check\ncompact\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin store add-"), "add-imap\nadd-maildir\nadd-pst\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin schedule Test 'Personal Folders' Archive --h"), "--help\n--hourly\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin store create x.store --kind a"), "archive\n");
  // Profile names, quoted for the shell; in the words already typed too.
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin tree ''"), "Test\nWork\\ Mail\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin tree W"), "Work\\ Mail\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin tree \\\"W"), "Work Mail\n");
  // Store names of the profile named before.
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin schedule Test ''"), "Archive\nPersonal\\ Folders\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin schedule Test Personal\\\\\\ Folders A"), "Archive\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin store remove Test Pers"), "Personal\\ Folders\n");
  EXPECT_EQ(Complete("_mapiadmin", "mapiadmin store remove 'Work Mail' ''"), "");
  // The programs: switches, then profile, source and target.
  EXPECT_EQ(Complete("_tesk_program", "TeskSave -"), "--help\n-mailto:\n-n\n-q\n-t\n");
  EXPECT_EQ(Complete("_tesk_program", "TeskRestore -"), "--help\n-mailto:\n-n\n-q\n");
  EXPECT_EQ(Complete("_tesk_program", "TeskSave -n Te"), "Test\n");
  EXPECT_EQ(Complete("_tesk_program", "TeskSave Test 'Personal Folders' Ar"), "Archive\n");

  // The zsh completion at least reads as zsh.
  std::string out;
  EXPECT_EQ(RunCommand("zsh -n " + Quote(At("share/zsh/vendor-completions/_mapiadmin")) + " 2>&1", &out), 0) << out;
}

}  // namespace
