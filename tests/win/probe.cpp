// A program the framework tests run as a child process, in one of two modes
// chosen by WIN_PROBE_MODE:
//   args      prints how the command line reached the application, exits 3
//   regwrite  sets WIN_PROBE_COUNT values named <WIN_PROBE_PREFIX><n> below
//             HKEY_CURRENT_USER\Software\Probe, one key opening each
#include <afxwin.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class RecordingInfo : public CCommandLineInfo {
 public:
  void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override {
    std::printf("param=[%s] flag=%d last=%d\n", pszParam, bFlag, bLast);
    CCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
  }
};

int WriteValues() {
  const char* prefix = std::getenv("WIN_PROBE_PREFIX");
  const int count = std::atoi(std::getenv("WIN_PROBE_COUNT") ? std::getenv("WIN_PROBE_COUNT") : "0");
  for (int i = 0; i < count; ++i) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return 1;
    }
    const std::string name = std::string(prefix ? prefix : "v") + std::to_string(i);
    const DWORD value = static_cast<DWORD>(i);
    const LSTATUS rc =
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return 1;
  }
  return 0;
}

class ProbeApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    const char* mode = std::getenv("WIN_PROBE_MODE");
    if (mode && std::string(mode) == "regwrite") {
      m_nExitCode = WriteValues();
      return FALSE;
    }
    RecordingInfo info;
    ParseCommandLine(info);
    std::printf("file=[%s] embedded=%d automated=%d splash=%d command=%d\n", info.m_strFileName.GetString(),
                info.m_bRunEmbedded, info.m_bRunAutomated, info.m_bShowSplash, static_cast<int>(info.m_nShellCommand));
    std::printf("cmdline=[%s]\n", GetCommandLineA());
    std::printf("lpCmdLine=[%s]\n", m_lpCmdLine);
    std::printf("appname=[%s]\n", m_pszAppName);
    m_nExitCode = 3;
    return FALSE;
  }
};

ProbeApp theApp;

}  // namespace

int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
