// Starting the UI (and telling why it cannot), ShellExecute with a stand-in
// opener, and a program without a display.
#include "../support/temp_dir.h"
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

using testing_support::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits until the file exists and is complete (ends in a line end).
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = ReadFile(path);
    if (!text.empty() && text.back() == '\n') return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "<none>";
}

void WriteScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

INT_PTR Code(HINSTANCE h) { return reinterpret_cast<INT_PTR>(h); }

TEST(UiStart, NeedsADisplayOrAHeadlessPlatform) {
  ScopedEnv display("DISPLAY", std::nullopt);
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  std::string why;
  {
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    EXPECT_FALSE(UiAvailable(&why));
    EXPECT_NE(why.find("DISPLAY"), std::string::npos);
    EXPECT_EQ(why.find('\n'), std::string::npos);
    EXPECT_FALSE(UiAvailable());
  }
  {
    ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
    why.clear();
    EXPECT_FALSE(UiAvailable(&why));
    EXPECT_NE(why.find("QT_QPA_PLATFORM=xcb"), std::string::npos);
  }
  for (const char* headless : {"offscreen", "minimal", "offscreen:fontengine=freetype"}) {
    ScopedEnv platform("QT_QPA_PLATFORM", headless);
    EXPECT_TRUE(UiAvailable(&why)) << headless;
  }
  {
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    ScopedEnv x("DISPLAY", ":0");
    EXPECT_TRUE(UiAvailable());
  }
  {
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    ScopedEnv w("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_TRUE(UiAvailable());
  }
}

TEST(UiStart, ADialogProgramWithoutDisplaySaysSoInOneLine) {
  TempDir dir;
  const std::string err = dir / "stderr.txt";
  const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + UI_PROBE_PATH +
                              " 2>" + err;
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  const std::string text = ReadFile(err);
  EXPECT_EQ(text.rfind("UiProbe: no display available", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST(UiStart, TheUiStartsOnTheOffscreenPlatform) {
  StartUi();
  EXPECT_TRUE(AfxUiRunning());
  EXPECT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
  // The application's colours once Qt runs.
  EXPECT_EQ(GetSysColor(COLOR_WINDOW), RGB(QApplication::palette().color(QPalette::Base).red(),
                                            QApplication::palette().color(QPalette::Base).green(),
                                            QApplication::palette().color(QPalette::Base).blue()));
  // The pump: one round of pending events, then the loop ends.
  MSG msg;
  int rounds = 0;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ++rounds;
    EXPECT_TRUE(IsDialogMessage(nullptr, &msg));
  }
  EXPECT_EQ(rounds, 1);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

class UiShellExecute : public ::testing::Test {
 protected:
  void SetUp() override {
    opener_ = dir_ / "opener";
    WriteScript(opener_, "printf '%s\\n' \"$@\" > \"$0.out\"\n");
  }
  TempDir dir_;
  std::string opener_;
};

TEST_F(UiShellExecute, OpensAddressesAndFilesWithTheOpener) {
  ScopedEnv open("TESK_SHELL_OPEN", opener_);
  const HINSTANCE rc = ShellExecuteA(nullptr, "open", "https://example.org/a b?c=1", nullptr, nullptr, SW_SHOWNORMAL);
  EXPECT_GT(Code(rc), 32);
  EXPECT_EQ(WaitForFile(opener_ + ".out"), "https://example.org/a b?c=1\n");

  std::filesystem::remove(opener_ + ".out");
  const std::string log = dir_ / "backup log.txt";
  std::ofstream(log) << "x";
  EXPECT_GT(Code(ShellExecuteA(nullptr, nullptr, "backup log.txt", nullptr, dir_.path().c_str(), SW_SHOWNORMAL)), 32);
  EXPECT_EQ(WaitForFile(opener_ + ".out"), log + "\n");

  std::filesystem::remove(opener_ + ".out");
  EXPECT_GT(Code(ShellExecuteA(nullptr, "open", "mailto:admin@example.org", nullptr, nullptr, SW_SHOWNORMAL)), 32);
  EXPECT_EQ(WaitForFile(opener_ + ".out"), "mailto:admin@example.org\n");
}

TEST_F(UiShellExecute, RunsProgramsWithTheirParametersInTheirFolder) {
  const std::string program = dir_ / "program";
  WriteScript(program, "{ pwd; printf '%s\\n' \"$@\"; } > \"$0.out\"\n");
  EXPECT_GT(Code(ShellExecuteA(nullptr, "open", program.c_str(), "one \"two three\"", dir_.path().c_str(), SW_SHOW)),
            32);
  const std::string expected = std::filesystem::canonical(dir_.path()).string() + "\none\ntwo three\n";
  for (int i = 0; i < 500 && ReadFile(program + ".out") != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ReadFile(program + ".out"), expected);
}

TEST_F(UiShellExecute, ReportsFailuresWithSmallCodes) {
  {
    ScopedEnv open("TESK_SHELL_OPEN", dir_ / "no-such-opener");
    EXPECT_EQ(Code(ShellExecuteA(nullptr, "open", "https://example.org", nullptr, nullptr, SW_SHOWNORMAL)),
              SE_ERR_FNF);
  }
  ScopedEnv open("TESK_SHELL_OPEN", opener_);
  EXPECT_EQ(Code(ShellExecuteA(nullptr, "open", (dir_ / "missing.txt").c_str(), nullptr, nullptr, SW_SHOWNORMAL)),
            SE_ERR_FNF);
  EXPECT_EQ(Code(ShellExecuteA(nullptr, "open", (dir_ / "no/such/file.txt").c_str(), nullptr, nullptr, 1)),
            SE_ERR_PNF);
  EXPECT_EQ(Code(ShellExecuteA(nullptr, "print", "https://example.org", nullptr, nullptr, 1)), SE_ERR_NOASSOC);
  EXPECT_EQ(Code(ShellExecuteA(nullptr, "open", "", nullptr, nullptr, 1)), SE_ERR_FNF);
  // Nothing was opened.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(std::filesystem::exists(opener_ + ".out"));
}

}  // namespace
