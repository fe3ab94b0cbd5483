// CWinApp, CCommandLineInfo and AfxWinMain.
#include <afxwin.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "process.h"
#include "resources.h"
#include "text.h"

namespace {

CWinApp* g_app = nullptr;
HINSTANCE g_resourceHandle = nullptr;

// Replaces a malloc'ed string member of the application.
void ReplaceString(LPCTSTR& member, const char* value) {
  std::free(const_cast<char*>(member));
  member = value ? strdup(value) : nullptr;
}

std::string ExeName(const std::vector<std::string>& args) {
  std::string path = args.empty() ? tesk::win::ProgramPath() : args[0];
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
  const std::size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && dot > 0) path.erase(dot);
  return path;
}

// The arguments after the program name, kept for the life of the process.
LPTSTR ArgumentsText(const std::vector<std::string>& args) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<std::string>> texts;
  std::string text = tesk::win::JoinArguments(args, 1);
  std::lock_guard lock(mutex);
  texts.push_back(std::make_unique<std::string>(std::move(text)));
  return texts.back()->data();
}

}  // namespace

// --- CCommandLineInfo ----------------------------------------------------------

CCommandLineInfo::CCommandLineInfo()
    : m_bShowSplash(TRUE),
      m_bRunEmbedded(FALSE),
      m_bRunAutomated(FALSE),
      m_bRegisterPerUser(FALSE),
      m_nShellCommand(FileNew) {}

void CCommandLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) {
  if (bFlag) {
    ParseParamFlag(pszParam);
  } else {
    ParseParamNotFlag(pszParam);
  }
  ParseLast(bLast);
}

void CCommandLineInfo::ParseParamFlag(const char* pszParam) {
  using tesk::win::EqualNoCase;
  const std::string_view p = pszParam ? pszParam : "";
  // Shell switches are case-sensitive, the OLE ones are not.
  if (p == "pt") {
    m_nShellCommand = FilePrintTo;
  } else if (p == "p") {
    m_nShellCommand = FilePrint;
  } else if (EqualNoCase(p, "Register") || EqualNoCase(p, "Regserver")) {
    m_nShellCommand = AppRegister;
  } else if (EqualNoCase(p, "RegisterPerUser") || EqualNoCase(p, "RegserverPerUser")) {
    m_nShellCommand = AppRegister;
    m_bRegisterPerUser = TRUE;
  } else if (EqualNoCase(p, "Unregister") || EqualNoCase(p, "Unregserver")) {
    m_nShellCommand = AppUnregister;
  } else if (EqualNoCase(p, "UnregisterPerUser") || EqualNoCase(p, "UnregserverPerUser")) {
    m_nShellCommand = AppUnregister;
    m_bRegisterPerUser = TRUE;
  } else if (p == "dde") {
    m_nShellCommand = FileDDE;
  } else if (EqualNoCase(p, "Embedding")) {
    m_bRunEmbedded = TRUE;
    m_bShowSplash = FALSE;
  } else if (EqualNoCase(p, "Automation")) {
    m_bRunAutomated = TRUE;
    m_bShowSplash = FALSE;
  }
}

void CCommandLineInfo::ParseParamNotFlag(const char* pszParam) {
  if (m_strFileName.IsEmpty()) {
    m_strFileName = pszParam;
  } else if (m_nShellCommand == FilePrintTo && m_strPrinterName.IsEmpty()) {
    m_strPrinterName = pszParam;
  } else if (m_nShellCommand == FilePrintTo && m_strDriverName.IsEmpty()) {
    m_strDriverName = pszParam;
  } else if (m_nShellCommand == FilePrintTo && m_strPortName.IsEmpty()) {
    m_strPortName = pszParam;
  }
}

void CCommandLineInfo::ParseLast(BOOL bLast) {
  if (!bLast) return;
  if (m_nShellCommand == FileNew && !m_strFileName.IsEmpty()) m_nShellCommand = FileOpen;
  m_bShowSplash = !m_bRunEmbedded && !m_bRunAutomated;
}

// --- CWinApp -----------------------------------------------------------------

CWinApp::CWinApp(LPCTSTR lpszAppName) : m_hInstance(tesk::win::ProgramInstance()) {
  if (lpszAppName) m_pszAppName = strdup(lpszAppName);
  if (g_app == nullptr) g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
  for (LPCTSTR* member : {&m_pszAppName, &m_pszExeName, &m_pszRegistryKey, &m_pszProfileName, &m_pszHelpFilePath}) {
    ReplaceString(*member, nullptr);
  }
}

void CWinApp::SetCurrentHandles() {
  const std::vector<std::string> args = tesk::win::CommandLineArgs();
  m_hInstance = tesk::win::ProgramInstance();
  const std::string exe = ExeName(args);
  ReplaceString(m_pszExeName, exe.c_str());
  if (m_pszAppName == nullptr) {
    std::string title;
    ReplaceString(m_pszAppName, tesk::win::LookupString(AFX_IDS_APP_TITLE, title) ? title.c_str() : exe.c_str());
  }
  if (m_pszProfileName == nullptr) ReplaceString(m_pszProfileName, m_pszAppName);
  m_lpCmdLine = ArgumentsText(args);
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rCmdInfo) {
  const std::vector<std::string> args = tesk::win::CommandLineArgs();
  for (std::size_t i = 1; i < args.size(); ++i) {
    const char* param = args[i].c_str();
    BOOL bFlag = FALSE;
    const BOOL bLast = (i + 1 == args.size());
    if (param[0] == '-' || param[0] == '/') {
      bFlag = TRUE;
      ++param;
    }
    rCmdInfo.ParseParam(param, bFlag, bLast);
  }
}

// --- settings in the registry ------------------------------------------------

namespace {

std::string SectionKey(const CWinApp& app, LPCTSTR lpszSection) {
  std::string key = "Software\\";
  if (app.m_pszRegistryKey && *app.m_pszRegistryKey) {
    key += app.m_pszRegistryKey;
    key += '\\';
  }
  const char* profile = app.m_pszProfileName ? app.m_pszProfileName : app.m_pszAppName;
  key += profile ? profile : "Application";
  if (lpszSection && *lpszSection) {
    key += '\\';
    key += lpszSection;
  }
  return key;
}

}  // namespace

void CWinApp::SetRegistryKey(LPCTSTR lpszRegistryKey) {
  ReplaceString(m_pszRegistryKey, lpszRegistryKey);
  if (m_pszProfileName == nullptr) ReplaceString(m_pszProfileName, m_pszAppName);
}

CString CWinApp::GetProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszDefault) {
  CString result(lpszDefault);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SectionKey(*this, lpszSection).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return result;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, lpszEntry, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
    std::string value(size, '\0');
    if (RegQueryValueExA(key, lpszEntry, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) ==
        ERROR_SUCCESS) {
      result = value.c_str();
    }
  }
  RegCloseKey(key);
  return result;
}

BOOL CWinApp::WriteProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszValue) {
  const std::string path = SectionKey(*this, lpszSection);
  if (lpszEntry == nullptr) {
    // No entry: the whole section goes.
    const LSTATUS rc = RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
  }
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  LSTATUS rc;
  if (lpszValue == nullptr) {
    rc = RegDeleteValueA(key, lpszEntry);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  } else {
    rc = RegSetValueExA(key, lpszEntry, 0, REG_SZ, reinterpret_cast<const BYTE*>(lpszValue),
                        static_cast<DWORD>(std::strlen(lpszValue) + 1));
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

UINT CWinApp::GetProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nDefault) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SectionKey(*this, lpszSection).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return static_cast<UINT>(nDefault);
  }
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LSTATUS rc = RegQueryValueExA(key, lpszEntry, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
  RegCloseKey(key);
  return (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) ? value : static_cast<UINT>(nDefault);
}

BOOL CWinApp::WriteProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nValue) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, SectionKey(*this, lpszSection).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  const DWORD value = static_cast<DWORD>(nValue);
  const LSTATUS rc = RegSetValueExA(key, lpszEntry, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// --- global functions ------------------------------------------------------------

CWinApp* AfxGetApp() { return g_app; }

LPCTSTR AfxGetAppName() { return g_app ? g_app->m_pszAppName : nullptr; }

CWnd* AfxGetMainWnd() { return g_app ? g_app->m_pMainWnd : nullptr; }

HINSTANCE AfxGetInstanceHandle() { return tesk::win::ProgramInstance(); }

HINSTANCE AfxGetResourceHandle() { return g_resourceHandle ? g_resourceHandle : tesk::win::ProgramInstance(); }

void AfxSetResourceHandle(HINSTANCE hInstResource) { g_resourceHandle = hInstResource; }

void AfxEnableControlContainer() {}

void AfxPostQuitMessage(int nExitCode) {
  if (g_app) g_app->m_nExitCode = nExitCode;
}

void PostQuitMessage(int nExitCode) { AfxPostQuitMessage(nExitCode); }

int AfxWinMain(int argc, char** argv) {
  AfxSetCommandLine(argc, argv);
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  app->SetCurrentHandles();
  if (!app->InitApplication()) return -1;
  if (!app->InitInstance()) return app->ExitInstance();
  return app->Run();
}
