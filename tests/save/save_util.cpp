#include "save_util.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using testing_support::Mapiadmin;
using testing_support::Quote;
using testing_support::RunCommand;

namespace save_test {

const char kLogHeader[] =
    "-----------------------------------------------------------------------------\n"
    "This is TeskSave log file.\n"
    "All lines are prefixed with time of event occurence.\n"
    "Error lines contain ERROR keyword after time stamp.\n"
    "-----------------------------------------------------------------------------\n"
    "\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

std::string LocalStamp(std::time_t t, const char* format) {
  std::tm local{};
  localtime_r(&t, &local);
  char buf[64];
  std::strftime(buf, sizeof buf, format, &local);
  return buf;
}

std::set<std::string> Stamps(std::time_t start, std::time_t end, const char* format) {
  std::set<std::string> out;
  for (std::time_t t = start; t <= end; ++t) out.insert(LocalStamp(t, format));
  return out;
}

}  // namespace

std::set<std::string> MinuteStamps(std::time_t start, std::time_t end) {
  return Stamps(start, end, "%Y.%m.%d %H:%M");
}

nlohmann::json Tree(const std::string& path, const std::string& profileName) {
  auto j = nlohmann::json::parse(Mapiadmin("tree " + Quote(profileName) + " " + Quote(path) + " --json"));
  j.erase("name");
  return j;
}

std::vector<std::string> ChildNames(const std::string& path, const std::string& profileName) {
  auto j = nlohmann::json::parse(Mapiadmin("tree " + Quote(profileName) + " " + Quote(path) + " --json"));
  std::vector<std::string> names;
  for (const auto& f : j["folders"]) names.push_back(f["name"].get<std::string>());
  std::sort(names.begin(), names.end());
  return names;
}

nlohmann::json Child(const nlohmann::json& tree, const std::string& name) {
  for (const auto& f : tree["folders"]) {
    if (f["name"] == name) {
      auto copy = f;
      copy.erase("name");
      return copy;
    }
  }
  return nullptr;
}

std::string Underscored(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '_';
  return path;
}

std::vector<std::string> ParseLog(const std::string& log, std::time_t start, std::time_t end) {
  std::vector<std::string> texts;
  const std::string header = kLogHeader;
  EXPECT_EQ(log.substr(0, header.size()), header);
  if (log.compare(0, header.size(), header) != 0) return texts;
  const auto seconds = Stamps(start, end, "%d.%m.%Y %H:%M:%S");
  static const std::regex line(R"(^(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d) :(.*)$)");
  std::istringstream in(log.substr(header.size()));
  std::string text;
  while (std::getline(in, text)) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) {
      ADD_FAILURE() << "log line without time prefix: [" << text << "]";
      continue;
    }
    EXPECT_TRUE(seconds.count(m[1].str())) << "time " << m[1].str() << " outside the run";
    texts.push_back(m[2].str());
  }
  EXPECT_TRUE(log.empty() || log.back() == '\n') << "last log line without line end";
  return texts;
}

SaveTest::SaveTest() : registryFile(profile.dir / "registry.ini") {
  if (const char* old = std::getenv("WINREG_FILE")) {
    hadRegistry_ = true;
    oldRegistry_ = old;
  }
  ::setenv("WINREG_FILE", registryFile.c_str(), 1);
}

SaveTest::~SaveTest() {
  if (hadRegistry_)
    ::setenv("WINREG_FILE", oldRegistry_.c_str(), 1);
  else
    ::unsetenv("WINREG_FILE");
}

std::string SaveTest::NewDir(const std::string& stem) {
  std::string dir = profile.dir / (stem + std::to_string(++runs_));
  fs::create_directories(dir);
  return dir;
}

std::string SaveTest::InstallProgram(const std::string& dir, const std::string& exeName) {
  const std::string exe = dir + "/" + exeName;
  if (!fs::exists(exe)) {
    // A hard link keeps the runs cheap; a copy serves across file systems.
    std::error_code ec;
    fs::create_hard_link(TESKSAVE_PATH, exe, ec);
    if (ec) fs::copy_file(TESKSAVE_PATH, exe, fs::copy_options::overwrite_existing);
  }
  return exe;
}

RunResult SaveTest::Run(const std::vector<std::string>& args, const std::string& prefix, const std::string& binDir,
                        const std::string& exeName) {
  RunResult r;
  r.binDir = binDir.empty() ? NewDir("bin") : binDir;
  const std::string exe = InstallProgram(r.binDir, exeName);
  std::string command = prefix.empty() ? std::string() : prefix + " ";
  // As under cron: no display, so a start without both paths cannot
  // open its window.
  command += "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Quote(exe);
  for (const auto& a : args) command += " " + Quote(a);
  command += " 2>&1";
  r.start = std::time(nullptr);
  r.exitCode = RunCommand(command, &r.output);
  r.end = std::time(nullptr);
  // In a sanitizer build a fault of the program shows in its output.
  for (const char* fault : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(r.output.find(fault), std::string::npos) << r.output;
  for (const auto& entry : fs::directory_iterator(r.binDir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.ends_with(".log")) r.logFiles.push_back(name);
  }
  if (r.logFiles.size() == 1) {
    r.log = ReadFile(r.binDir + "/" + r.logFiles[0]);
    r.lines = ParseLog(r.log, r.start, r.end);
  }
  return r;
}

std::string SaveTest::PreparedName(const RunResult& r) {
  const std::string head = "Preparing to copy structure into folder <";
  for (const auto& l : r.lines)
    if (l.starts_with(head) && l.ends_with(">")) return l.substr(head.size(), l.size() - head.size() - 1);
  return {};
}

void SaveTest::ExpectStampedName(const std::string& name, const std::string& source, const RunResult& r) {
  ASSERT_GT(name.size(), 17u) << name;
  EXPECT_TRUE(MinuteStamps(r.start, r.end).count(name.substr(0, 16))) << name;
  EXPECT_EQ(name.substr(16), " " + Underscored(source));
}

std::string SaveTest::ExpectSuccess(const RunResult& r, const std::string& source, const std::string& target) {
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.logFiles.size(), 1u);
  const std::string name = PreparedName(r);
  const std::vector<std::string> expected = {
      "Successfully logged on to MAPI.",
      "Source path found " + source,
      "Target path found " + target,
      "Preparing to copy structure into folder <" + name + ">",
      "Structure successfully copied.",
  };
  EXPECT_EQ(r.lines, expected);
  return name;
}

std::vector<std::string> LogonThen(const std::string& error) { return {"Successfully logged on to MAPI.", error}; }

}  // namespace save_test
