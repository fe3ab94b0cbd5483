// The application object, its command line and the module it runs in.
#pragma once

#include "afx.h"

class CWnd;  // defined by the UI layer

// The standard command-line switches of a framework application.
class CCommandLineInfo : public CObject {
 public:
  CCommandLineInfo();
  ~CCommandLineInfo() override = default;

  // Called for each argument by CWinApp::ParseCommandLine. bFlag: the
  // argument began with '-' or '/' (removed); bLast: the last argument.
  // Flags: "p" print, "pt" print to (then file, printer, driver, port as
  // plain arguments), "dde", and without regard to case "Embedding",
  // "Automation", "Register"/"Regserver", "Unregister"/"Unregserver" (with
  // "PerUser" variants). The first plain argument is the file name.
  virtual void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast);

  BOOL m_bShowSplash;
  BOOL m_bRunEmbedded;
  BOOL m_bRunAutomated;
  BOOL m_bRegisterPerUser;
  enum {
    FileNew,
    FileOpen,
    FilePrint,
    FilePrintTo,
    FileDDE,
    AppRegister,
    AppUnregister,
    RestartByRestartManager,
    FileNothing = -1
  } m_nShellCommand;
  CString m_strFileName;
  CString m_strPrinterName;
  CString m_strDriverName;
  CString m_strPortName;

 protected:
  void ParseParamFlag(const char* pszParam);
  void ParseParamNotFlag(const char* pszParam);
  void ParseLast(BOOL bLast);
};

// The application. A program defines exactly one global instance of a
// class derived from CWinApp; it registers itself (AfxGetApp) and
// AfxWinMain runs it.
class CWinApp : public CObject {
 public:
  // The name shows as the caption of message boxes; without one the
  // string resource AFX_IDS_APP_TITLE or else the program's file name
  // (without extension) is taken when the application starts.
  explicit CWinApp(LPCTSTR lpszAppName = nullptr);
  ~CWinApp() override;

  // Start-up and shut-down hooks.
  virtual BOOL InitApplication() { return TRUE; }
  virtual BOOL InitInstance() { return TRUE; }
  // Returns the code given to AfxPostQuitMessage/PostQuitMessage (0 when
  // none was given); it becomes the program's exit code.
  virtual int ExitInstance() { return m_nExitCode; }
  // There is no message loop: returns ExitInstance().
  virtual int Run() { return ExitInstance(); }

  // Hands each argument after the program name to ParseParam, in order.
  void ParseCommandLine(CCommandLineInfo& rCmdInfo);

  // No-ops kept for the programs that call them.
  BOOL Enable3dControls() { return TRUE; }
  BOOL Enable3dControlsStatic() { return TRUE; }
  void LoadStdProfileSettings(UINT nMaxMRU = 4) { static_cast<void>(nMaxMRU); }

  // Application settings in the registry below
  // HKEY_CURRENT_USER\Software\<company>\<application>\<section>.
  void SetRegistryKey(LPCTSTR lpszRegistryKey);
  CString GetProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszDefault = nullptr);
  BOOL WriteProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszValue);
  UINT GetProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nDefault);
  BOOL WriteProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nValue);

  // Strings owned by the application (malloc'ed: a program may free one and
  // put its own strdup'ed text in its place, as the framework allows).
  LPCTSTR m_pszAppName = nullptr;
  LPCTSTR m_pszExeName = nullptr;
  LPCTSTR m_pszRegistryKey = nullptr;
  LPCTSTR m_pszProfileName = nullptr;
  LPCTSTR m_pszHelpFilePath = nullptr;

  HINSTANCE m_hInstance;
  // The arguments after the program name joined by blanks.
  LPTSTR m_lpCmdLine = nullptr;
  int m_nCmdShow = 1;
  CWnd* m_pMainWnd = nullptr;
  int m_nExitCode = 0;

  // Fills in the names and handles from the command line; AfxWinMain calls it.
  void SetCurrentHandles();
};

CWinApp* AfxGetApp();
LPCTSTR AfxGetAppName();
CWnd* AfxGetMainWnd();
// The program's module handle (never null); resources are in the program.
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE hInstResource);
void AfxEnableControlContainer();
// Makes the application's ExitInstance return nExitCode.
void AfxPostQuitMessage(int nExitCode);

// Keeps the program's arguments for ParseCommandLine and GetCommandLineA
// (AfxWinMain does it; tests may call it directly). The strings are copied.
void AfxSetCommandLine(int argc, const char* const* argv);

// The program's main: keeps argv, then runs the application: InitInstance,
// and when that fails ExitInstance, else Run; the result is the exit code.
// -1 when no application object exists or InitApplication fails.
int AfxWinMain(int argc, char** argv);
