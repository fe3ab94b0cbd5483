// Helpers of the restore tests: trees of folders as mapiadmin reports them,
// runs of the programs in folders of their own, their log files.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"

namespace restore_test {

using testing_support::Mapiadmin;
using testing_support::Quote;
using testing_support::RunCommand;

// Fills a folder (created when missing) with generated messages.
inline void Generate(const std::string& path, int messages, int seed, bool attachments = false) {
  Mapiadmin("generate Test " + Quote(path) + " --messages " + std::to_string(messages) + " --seed " +
            std::to_string(seed) + (attachments ? " --attachments" : ""));
}

// Sorts every folder list by name, so that trees compare independently of
// the order in which folders were created.
inline void SortFolders(nlohmann::json& tree) {
  auto& folders = tree["folders"];
  for (auto& sub : folders) SortFolders(sub);
  std::sort(folders.begin(), folders.end(),
            [](const nlohmann::json& a, const nlohmann::json& b) { return a["name"] < b["name"]; });
}

// The tree below a folder path (with sorted folder lists); the top folder's
// own name is left out so that a copy under another name compares equal.
inline nlohmann::json Tree(const std::string& path) {
  auto tree = nlohmann::json::parse(Mapiadmin("tree Test " + Quote(path) + " --json"));
  tree.erase("name");
  SortFolders(tree);
  return tree;
}

// The direct subfolder of a tree with the given name (null when missing).
inline nlohmann::json Child(const nlohmann::json& tree, const std::string& name) {
  for (const auto& sub : tree["folders"])
    if (sub["name"] == name) {
      nlohmann::json copy = sub;
      copy.erase("name");
      return copy;
    }
  return nullptr;
}

inline std::vector<std::string> ChildNames(const nlohmann::json& tree) {
  std::vector<std::string> names;
  for (const auto& sub : tree["folders"]) names.push_back(sub["name"]);
  return names;
}

// Adds n messages to folder quickly: copies of the messages of seed (every
// message of seed is copied as often as needed).
inline void FillWithCopies(IMAPIFolder* seed, IMAPIFolder* folder, size_t n) {
  auto ids = testing_support::ContentsEntryIds(seed);
  ASSERT_FALSE(ids.empty());
  std::vector<SBinary> bins;
  for (auto& id : ids) bins.push_back({static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(id.data())});
  for (size_t done = 0; done < n; done += bins.size()) {
    ENTRYLIST list{static_cast<ULONG>(std::min(bins.size(), n - done)), bins.data()};
    ASSERT_EQ(seed->CopyMessages(&list, nullptr, folder, 0, nullptr, 0), S_OK);
  }
}

inline std::string ReadText(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One run of a program: its exit code, its log file's text and the log's
// lines without their time prefix.
struct ProgramRun {
  int rc = -1;
  std::string logName;
  std::string log;
  std::vector<std::string> lines;
  std::string output;

  bool Has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  // Whether a line matches the pattern as a whole.
  bool HasMatch(const std::string& pattern) const {
    const std::regex re(pattern);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, re); });
  }
  size_t CountStartingWith(const std::string& prefix) const {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
};

inline std::string Describe(const ProgramRun& run) { return "exit code " + std::to_string(run.rc) + ", log:\n" + run.log; }

// Starts a copy of the program (so that its log lands in a folder of the
// test's own) with the given arguments, already quoted for the shell.
// Every run gets a fresh folder: two starts within one second would share
// a log name otherwise.
inline ProgramRun RunProgram(const std::string& program, const std::string& folder, const std::string& args,
                      const std::string& environment = "") {
  namespace fs = std::filesystem;
  static int counter = 0;
  const fs::path dir = fs::path(folder) / ("run" + std::to_string(++counter));
  fs::create_directories(dir);
  const fs::path exe = dir / fs::path(program).filename();
  fs::copy_file(program, exe);
  ProgramRun run;
  // As under cron: no display.
  run.rc = RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + environment + " " +
                          Quote(exe.string()) + " " + args + " 2>&1",
                      &run.output);
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".log") continue;
    EXPECT_TRUE(run.logName.empty()) << "more than one log file";
    run.logName = entry.path().filename().string();
    run.log = ReadText(entry.path().string());
  }
  // Lines after the header start with "DD.MM.YYYY HH:MM:SS :".
  const std::regex stamped(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d :(.*))");
  std::istringstream in(run.log);
  std::string line;
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_match(line, m, stamped)) run.lines.push_back(m[1]);
  return run;
}

}  // namespace restore_test
