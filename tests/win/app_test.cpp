// The application object, its command line and the program path.
#include <afxwin.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "win_test_util.h"

namespace {

struct Param {
  std::string text;
  BOOL flag;
  BOOL last;
  bool operator==(const Param&) const = default;
};

class RecordingInfo : public CCommandLineInfo {
 public:
  void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override {
    params.push_back({pszParam, bFlag, bLast});
    CCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
  }
  std::vector<Param> params;
};

// Parses `args` (argv[0] first) as the program's command line.
void Parse(std::vector<const char*> args, CCommandLineInfo& info) {
  AfxSetCommandLine(static_cast<int>(args.size()), args.data());
  CWinApp app;
  app.ParseCommandLine(info);
}

TEST(WinCommandLine, SwitchesLoseTheirPrefixAndLastIsMarked) {
  RecordingInfo info;
  Parse({"/usr/bin/tesk", "-Embedding", "/p", "", "file.txt", "-"}, info);
  const std::vector<Param> expected = {
      {"Embedding", TRUE, FALSE}, {"p", TRUE, FALSE}, {"", FALSE, FALSE}, {"file.txt", FALSE, FALSE}, {"", TRUE, TRUE}};
  EXPECT_EQ(info.params, expected);
  EXPECT_TRUE(info.m_bRunEmbedded);
  EXPECT_FALSE(info.m_bShowSplash);
  EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FilePrint);
  // An empty argument leaves the file name free for the next one.
  EXPECT_EQ(info.m_strFileName, "file.txt");

  RecordingInfo none;
  Parse({"/usr/bin/tesk"}, none);
  EXPECT_TRUE(none.params.empty());
  EXPECT_TRUE(none.m_bShowSplash);
  EXPECT_EQ(none.m_nShellCommand, CCommandLineInfo::FileNew);
}

TEST(WinCommandLine, StandardSwitchesSetTheFields) {
  CCommandLineInfo open;
  Parse({"tesk", "report.pst"}, open);
  EXPECT_EQ(open.m_nShellCommand, CCommandLineInfo::FileOpen);
  EXPECT_EQ(open.m_strFileName, "report.pst");
  EXPECT_TRUE(open.m_bShowSplash);

  CCommandLineInfo printTo;
  Parse({"tesk", "/pt", "doc", "printer", "driver", "port", "extra"}, printTo);
  EXPECT_EQ(printTo.m_nShellCommand, CCommandLineInfo::FilePrintTo);
  EXPECT_EQ(printTo.m_strFileName, "doc");
  EXPECT_EQ(printTo.m_strPrinterName, "printer");
  EXPECT_EQ(printTo.m_strDriverName, "driver");
  EXPECT_EQ(printTo.m_strPortName, "port");

  // OLE switches ignore case, shell switches do not.
  CCommandLineInfo ole;
  Parse({"tesk", "-AUTOMATION", "/P", "/RegServer"}, ole);
  EXPECT_TRUE(ole.m_bRunAutomated);
  EXPECT_FALSE(ole.m_bShowSplash);
  EXPECT_EQ(ole.m_nShellCommand, CCommandLineInfo::AppRegister);

  CCommandLineInfo unreg;
  Parse({"tesk", "-unregserver"}, unreg);
  EXPECT_EQ(unreg.m_nShellCommand, CCommandLineInfo::AppUnregister);
  CCommandLineInfo dde;
  Parse({"tesk", "/dde"}, dde);
  EXPECT_EQ(dde.m_nShellCommand, CCommandLineInfo::FileDDE);
}

TEST(WinCommandLine, GetCommandLineQuotesAsTheShellWouldAndStaysValid) {
  const char* first[] = {"/opt/tesk/bin/TeskSave", "-Embedding", "a b", ""};
  AfxSetCommandLine(4, first);
  const char* text = GetCommandLineA();
  EXPECT_STREQ(text, "/opt/tesk/bin/TeskSave -Embedding \"a b\" \"\"");
  EXPECT_EQ(GetCommandLineA(), text);  // the same storage while nothing changes

  const char* second[] = {"prog"};
  AfxSetCommandLine(1, second);
  EXPECT_STREQ(GetCommandLineA(), "prog");
  EXPECT_STREQ(text, "/opt/tesk/bin/TeskSave -Embedding \"a b\" \"\"");  // earlier texts stay readable

  // Quotes inside, and backslashes before a quote or the closing quote,
  // are written so that the Windows rules read the same arguments back.
  const char* third[] = {"p", "Archive\\Server -RegServer", "say \"hi\"", "C:\\dir with blank\\", "a\\b"};
  AfxSetCommandLine(5, third);
  EXPECT_STREQ(GetCommandLineA(),
               "p \"Archive\\Server -RegServer\" \"say \\\"hi\\\"\" \"C:\\dir with blank\\\\\" a\\b");
}

TEST(WinProgram, ModuleFileNameIsTheExecutableAndTruncatesLikeWindows) {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(n, std::strlen(path));
  EXPECT_EQ(std::filesystem::path(path), std::filesystem::read_symlink("/proc/self/exe"));
  EXPECT_EQ(GetModuleFileNameA(AfxGetInstanceHandle(), path, sizeof path), n);

  char small[6];
  std::memset(small, 'x', sizeof small);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), std::string(path, 5));

  EXPECT_NE(AfxGetInstanceHandle(), nullptr);
  EXPECT_NE(AfxGetResourceHandle(), nullptr);
  EXPECT_EQ(GetModuleHandleA(nullptr), AfxGetInstanceHandle());
}

// --- running the application -----------------------------------------------------

class CountingApp : public CWinApp {
 public:
  explicit CountingApp(BOOL initResult) : init_(initResult) {}
  BOOL InitInstance() override {
    calls += "init ";
    AfxPostQuitMessage(17);
    return init_;
  }
  int ExitInstance() override {
    calls += "exit ";
    return init_ ? CWinApp::ExitInstance() : 5;
  }
  int Run() override {
    calls += "run ";
    return CWinApp::Run();
  }
  std::string calls;

 private:
  BOOL init_;
};

TEST(WinApp, WinMainRunsInitThenRunOrExit) {
  char arg0[] = "/somewhere/TeskSave.exe";
  char arg1[] = "-Embedding";
  char* argv[] = {arg0, arg1, nullptr};
  {
    CountingApp app(TRUE);
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_EQ(AfxWinMain(2, argv), 17);
    EXPECT_EQ(app.calls, "init run exit ");
    EXPECT_STREQ(app.m_pszExeName, "TeskSave");
    EXPECT_STREQ(app.m_pszAppName, "TeskSave");
    EXPECT_STREQ(app.m_lpCmdLine, "-Embedding");
    EXPECT_STREQ(AfxGetAppName(), "TeskSave");
  }
  EXPECT_EQ(AfxGetApp(), nullptr);
  {
    CountingApp app(FALSE);
    EXPECT_EQ(AfxWinMain(2, argv), 5);
    EXPECT_EQ(app.calls, "init exit ");
  }
  {
    RegisterStringTable("en", {{AFX_IDS_APP_TITLE, "Tesk Save"}});
    CountingApp titled(FALSE);
    AfxWinMain(1, argv);
    EXPECT_STREQ(titled.m_pszAppName, "Tesk Save");
    ClearStringTables();
  }
  EXPECT_EQ(AfxWinMain(1, argv), -1);  // no application
}

TEST(WinApp, RealArgumentsReachTheApplication) {
  int status = 0;
  const std::string out = win_test::RunShell(
      "WIN_PROBE_MODE=args '" WIN_PROBE_PATH "' -Embedding '' \"\" 'two words' /x 2>&1", &status);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(out,
            "param=[Embedding] flag=1 last=0\n"
            "param=[] flag=0 last=0\n"
            "param=[] flag=0 last=0\n"
            "param=[two words] flag=0 last=0\n"
            "param=[x] flag=1 last=1\n"
            "file=[two words] embedded=1 automated=0 splash=0 command=1\n"
            "cmdline=[" WIN_PROBE_PATH " -Embedding \"\" \"\" \"two words\" /x]\n"
            "lpCmdLine=[-Embedding \"\" \"\" \"two words\" /x]\n"
            "appname=[win_probe]\n");
}

TEST(WinApp, ProfileSettingsLiveInTheRegistry) {
  win_test::TempDir dir;
  win_test::ScopedEnv file("WINREG_FILE", dir / "registry.ini");
  CWinApp app("Tesk");
  app.SetRegistryKey("Company");
  EXPECT_EQ(app.GetProfileString("Settings", "Folder", "default"), "default");
  EXPECT_EQ(app.GetProfileInt("Settings", "Count", -3), static_cast<UINT>(-3));
  EXPECT_TRUE(app.WriteProfileString("Settings", "Folder", "Inbox"));
  EXPECT_TRUE(app.WriteProfileInt("Settings", "Count", 12));
  EXPECT_EQ(app.GetProfileString("settings", "folder"), "Inbox");
  EXPECT_EQ(app.GetProfileInt("Settings", "Count", 0), 12u);
  EXPECT_NE(win_test::ReadFile(dir / "registry.ini").find("[HKEY_CURRENT_USER\\Software\\Company\\Tesk\\Settings]"),
            std::string::npos);
  EXPECT_TRUE(app.WriteProfileString("Settings", "Folder", nullptr));
  EXPECT_EQ(app.GetProfileString("Settings", "Folder", "gone"), "gone");
  EXPECT_TRUE(app.WriteProfileString("Settings", nullptr, nullptr));
  EXPECT_EQ(app.GetProfileInt("Settings", "Count", 1), 1u);
}

}  // namespace
