// The log file: its name, header, line prefixes, and which lines count as
// errors of the run.
#include <gtest/gtest.h>

#include <ReportFile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "save_util.h"

namespace {

using save_test::ReadFile;

// A report file at a path of the test's choosing.
class TestReport : public CReportFile {
 public:
  explicit TestReport(std::string file) : file_(std::move(file)) {}
  CString GetLogFileName() override { return CString(file_.c_str()); }

 private:
  std::string file_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

std::vector<std::string> ErrorList(const CReportFile& report) {
  std::vector<std::string> out;
  const CStringList& errors = report.Errors();
  for (POSITION pos = errors.GetHeadPosition(); pos;) out.emplace_back(errors.GetNext(pos));
  return out;
}

const std::regex kPrefix(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d :)");

TEST(SaveReport, NameHeaderAndPrefix) {
  CReportFile report;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const size_t dot = exe.rfind('.'), slash = exe.rfind('/');
  const std::string stem = dot != std::string::npos && dot > slash ? exe.substr(0, dot) : exe;

  const std::time_t before = std::time(nullptr);
  const std::string name(report.GetLogFileName());
  const std::string prefix(report.GetLinePrefix());
  const std::time_t after = std::time(nullptr);

  // "<program path without extension> YYYYMMDD_HHMMSS.log"
  ASSERT_EQ(name.size(), stem.size() + 20) << name;
  EXPECT_EQ(name.substr(0, stem.size() + 1), stem + " ");
  EXPECT_TRUE(std::regex_match(name.substr(stem.size() + 1), std::regex(R"(\d{8}_\d{6}\.log)"))) << name;
  bool inRun = false;
  for (std::time_t t = before; t <= after; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32], line[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
    std::strftime(line, sizeof line, "%d.%m.%Y %H:%M:%S :", &local);
    inRun |= name.substr(stem.size() + 1, 15) == stamp && prefix == line;
  }
  EXPECT_TRUE(inRun) << name << " / " << prefix;
  EXPECT_TRUE(std::regex_match(prefix, kPrefix)) << prefix;

  EXPECT_EQ(std::string(CReportFile::GetProgramBaseName()), "save_tests");
  EXPECT_EQ(std::string(report.GetLogHeader()),
            "-----------------------------------------------------------------------------\n"
            "This is save_tests log file.\n"
            "All lines are prefixed with time of event occurence.\n"
            "Error lines contain ERROR keyword after time stamp.\n"
            "-----------------------------------------------------------------------------\n");
}

TEST(SaveReport, LevelsAndCollectedErrors) {
  testing_support::TempDir dir;
  const std::string file = dir / "run.log";
  {
    std::ofstream old(file);
    old << "an earlier run\n";
  }
  TestReport report(file);
  ASSERT_TRUE(report.Open(true));
  EXPECT_FALSE(report.HasErrors());
  report.Log(LOG_INFO, "Source path found %s", "Personal Folders\\Inbox");
  report.Log(LOG_WARNING, "No dialog, %d times", 2);
  report.Log(LOG_ERROR, "ERROR: %s", "first");
  report.Log(LOG_ERROR, "ERROR: 100%% %s", "second");

  // What the file held stays (a run started in the same second); the
  // header and the lines follow it.
  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "an earlier run");
  EXPECT_EQ(lines[1], "-----------------------------------------------------------------------------");
  EXPECT_EQ(lines[5], "-----------------------------------------------------------------------------");
  EXPECT_EQ(lines[6], "");
  const std::vector<std::string> texts = {"Source path found Personal Folders\\Inbox", "No dialog, 2 times",
                                          "ERROR: first", "ERROR: 100% second"};
  for (size_t k = 0; k < texts.size(); ++k) {
    const std::string& l = lines[7 + k];
    ASSERT_GT(l.size(), 21u);
    EXPECT_TRUE(std::regex_match(l.substr(0, 21), kPrefix)) << l;
    EXPECT_EQ(l.substr(21), texts[k]);
  }
  // Only the level 0 lines are the run's errors, with their prefixes.
  EXPECT_TRUE(report.HasErrors());
  const auto errors = ErrorList(report);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(std::regex_match(errors[0].substr(0, 21), kPrefix));
  EXPECT_EQ(errors[0].substr(21), "ERROR: first");
  EXPECT_EQ(errors[1].substr(21), "ERROR: 100% second");
}

TEST(SaveReport, ExceptionLines) {
  testing_support::TempDir dir;
  const std::string file = dir / "run.log";
  TestReport report(file);
  ASSERT_TRUE(report.Open(true));

  CMAPIException collision(MAPI_E_COLLISION, "Copy operation failed!", "Modules\\TeskSave\\FoldersCopier", 145);
  report.ReportException(&collision, LOG_WARNING);
  EXPECT_FALSE(report.HasErrors());  // a warning is written, not collected
  report.ReportException(&collision);
  CTextException text("Subfolder 50% not found!", "MODULES\\TeskSaveLib\\MAPIFolderFind", 173);
  report.ReportException(&text);
  CMemoryException memory;
  report.ReportException(&memory);

  const auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 10u);
  const std::vector<std::string> expected = {
      "WARNING: MAPI error 80040604, MAPI_E_COLLISION Copy operation failed!, module: FoldersCopier, line: 145",
      "ERROR: MAPI error 80040604, MAPI_E_COLLISION Copy operation failed!, module: FoldersCopier, line: 145",
      "ERROR: Subfolder 50% not found!, module: MAPIFolderFind, line: 173",
      "ERROR: Out of memory.",  // not one of the program's exceptions: no module
  };
  for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(lines[6 + k].substr(21), expected[k]);
  const auto errors = ErrorList(report);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].substr(21), expected[1]);
  EXPECT_EQ(errors[2].substr(21), expected[3]);
}

TEST(SaveReport, TwoProcessesLoggingIntoOneFileKeepEveryLineWhole) {
  // Two runs started in the same second write one file at once: each
  // process's header and lines all stand in it, each line whole, also lines
  // longer than any buffer.
  testing_support::TempDir dir;
  const std::string file = dir / "run.log";
  constexpr int kLines = 300;
  auto body = [](int writer) { return std::string(3000 + 2500 * writer, static_cast<char>('a' + writer)); };
  pid_t children[2] = {};
  for (int w = 0; w < 2; ++w) {
    children[w] = ::fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) {
      TestReport report(file);
      report.SetEcho(false);
      if (!report.Open(true)) ::_exit(2);
      const std::string text = body(w);
      for (int k = 0; k < kLines; ++k) report.Log(k % 2 ? LOG_ERROR : LOG_INFO, "writer %d line %d %s", w, k, text.c_str());
      ::_exit(report.good() ? 0 : 3);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::string text = ReadFile(file);
  TestReport probe(file);
  const std::string header = std::string(probe.GetLogHeader()) + "\n";
  size_t headers = 0;
  for (size_t at = text.find(header); at != std::string::npos; at = text.find(header)) {
    text.erase(at, header.size());
    ++headers;
  }
  EXPECT_EQ(headers, 2u);
  int next[2] = {0, 0};
  size_t broken = 0;
  for (const std::string& l : Lines(text)) {
    // "<prefix>writer W line K <body of W>"
    int w = -1, k = -1, used = 0;
    if (l.size() < 21 || !std::regex_match(l.substr(0, 21), kPrefix) ||
        std::sscanf(l.c_str() + 21, "writer %d line %d %n", &w, &k, &used) != 2 || used == 0 || (w != 0 && w != 1) ||
        l.compare(21 + static_cast<size_t>(used), std::string::npos, body(w)) != 0) {
      ++broken;
      continue;
    }
    EXPECT_EQ(k, next[w]);
    next[w] = k + 1;
  }
  EXPECT_EQ(broken, 0u);
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

TEST(SaveReport, UnopenedFileStillCollectsErrors) {
  testing_support::TempDir dir;
  TestReport report(dir / "missing-folder/run.log");
  EXPECT_FALSE(report.Open(true));
  report.Log(LOG_INFO, "Successfully logged on to MAPI.");
  EXPECT_FALSE(report.HasErrors());
  CTextException text("Message store X not found!", "MAPIFolderFind", 98);
  report.ReportException(&text);
  EXPECT_TRUE(report.HasErrors());
  EXPECT_FALSE(std::filesystem::exists(dir / "missing-folder"));
}

}  // namespace
