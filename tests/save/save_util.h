// Helpers of the save program's tests: a private profile with a registry
// file, runs of the real program from its own folder, and reading what a run
// leaves behind (exit code, log file, folder trees).
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"

namespace save_test {

// The exact opening of every log file of the program.
extern const char kLogHeader[];

// What one start of the program left behind.
struct RunResult {
  int exitCode = -1;
  std::string output;                // standard output and error
  std::string binDir;                // the folder the program ran from
  std::vector<std::string> logFiles; // file names of the logs in binDir
  std::string log;                   // content of the only log (empty if none)
  std::vector<std::string> lines;    // the log's lines after the header, without their time prefix
  std::time_t start = 0, end = 0;    // wall clock around the run
};

std::string ReadFile(const std::string& path);
// "YYYY.MM.DD HH:MM" of every minute between start and end (local time).
std::set<std::string> MinuteStamps(std::time_t start, std::time_t end);
// The JSON tree of a folder without the top folder's own name.
nlohmann::json Tree(const std::string& path, const std::string& profileName = "Test");
// The names of the folders directly below a folder path, sorted.
std::vector<std::string> ChildNames(const std::string& path, const std::string& profileName = "Test");
// The subtree of the child folder called name in a tree, or null.
nlohmann::json Child(const nlohmann::json& tree, const std::string& name);
// A folder name as the program builds it from a source path.
std::string Underscored(std::string path);

// Checks the header and the prefix of every line of a log and returns the
// texts behind the prefixes. The prefix times must lie within [start, end].
std::vector<std::string> ParseLog(const std::string& log, std::time_t start, std::time_t end);

// A test with the profile "Test" (stores "Personal Folders" and "Archive")
// and its own registry file, and a way to run the program.
class SaveTest : public ::testing::Test {
 protected:
  SaveTest();
  ~SaveTest() override;

  // Runs the program with the given arguments from a fresh folder of its
  // own (so every run has its own log). prefix goes in front of the command
  // (e.g. a setpriv call); binDir, when given, is the folder to run from and
  // exeName the program's file name there.
  RunResult Run(const std::vector<std::string>& args, const std::string& prefix = "",
                const std::string& binDir = "", const std::string& exeName = "TeskSave");
  // Puts the program into dir under the given file name; returns its path.
  static std::string InstallProgram(const std::string& dir, const std::string& exeName = "TeskSave");
  // A new empty folder below the test's temporary folder.
  std::string NewDir(const std::string& stem);
  // The "Preparing to copy structure into folder <NAME>" name of a run.
  static std::string PreparedName(const RunResult& r);
  // Expects the INFO lines of a successful save and returns the new name.
  std::string ExpectSuccess(const RunResult& r, const std::string& source, const std::string& target);
  // Expects a time-stamped name for source built during the run.
  static void ExpectStampedName(const std::string& name, const std::string& source, const RunResult& r);

  testing_support::ProfileFixture profile;
  std::string registryFile;

 private:
  std::string oldRegistry_;
  bool hadRegistry_ = false;
  int runs_ = 0;
};

// The lines of a run that failed after the logon with one ERROR line.
std::vector<std::string> LogonThen(const std::string& error);

}  // namespace save_test
