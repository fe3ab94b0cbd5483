#include "TeskApp.h"

#include <atlcom.h>
#include <objbase.h>

#include <mapi/warnings.h>

#include <cstdio>
#include <string>

#include "RepairUmlauts.h"
#include "ReportFile.h"
#include "TeskDialogPlugin.h"

#include <statreg.h>

CComModule _Module;

namespace {
// The programs register no class objects.
BEGIN_OBJECT_MAP(ObjectMap)
END_OBJECT_MAP()

bool RestEquals(const char* rest, const char* keyword) { return CString(rest).CompareNoCase(keyword) == 0; }
}  // namespace

int CTeskApp::RegistrySwitch(const char* commandLine) {
  for (const char* c = commandLine; *c; ++c) {
    if (*c != '-' && *c != '/') continue;
    if (RestEquals(c + 1, "UnregServer")) return -1;
    if (RestEquals(c + 1, "RegServer")) return 1;
  }
  return 0;
}

bool CTeskApp::StartCom(UINT registryScriptId) {
  m_bComStarted = TRUE;
  if (FAILED(CoInitialize(nullptr))) {
    m_bComStarted = FALSE;
    return false;
  }
  _Module.Init(ObjectMap, AfxGetInstanceHandle());
  _Module.dwThreadID = GetCurrentThreadId();

  if (const int registry = RegistrySwitch(GetCommandLineA())) {
    if (registry < 0) {
      _Module.UpdateRegistryFromResource(registryScriptId, FALSE);
      _Module.UnregisterServer(TRUE);
    } else {
      _Module.UpdateRegistryFromResource(registryScriptId, TRUE);
      _Module.RegisterServer(TRUE);
    }
    m_bComStarted = FALSE;
    _Module.Term();
    CoUninitialize();
    return false;
  }
  if (FAILED(_Module.RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE))) {
    m_bComStarted = FALSE;
    CoUninitialize();
    return false;
  }
  return true;
}

bool CTeskApp::MissingArguments(const CTeskCmdLineInfo& info) {
  if (info.IsBatchRun() || info.m_nParams < 2) return false;
  std::string why;
  if (DialogDisplayAvailable(&why)) return false;
  const char* missing = info.m_strSource.IsEmpty() && info.m_strTarget.IsEmpty() ? "SOURCE and TARGET are"
                        : info.m_strSource.IsEmpty()                               ? "SOURCE is"
                                                                                   : "TARGET is";
  std::fprintf(stderr, "%s: %s missing, and the dialog cannot open (%s).\nUsage: %s\n", CReportFile::GetProgramBaseName().GetString(), missing,
               why.c_str(), GetSynopsis());
  std::fflush(stderr);
  AfxPostQuitMessage(2);
  return true;
}

BOOL CTeskApp::RunStartup(UINT registryScriptId, const char* registryScript, CTeskCmdLineInfo& info) {
  // -h, -?, --help: the usage text and nothing else, display or not.
  CTeskCmdLineInfo help;
  ParseCommandLine(help);
  if (help.m_bShowHelp) {
    std::fputs(GetUsage(), stdout);
    std::fflush(stdout);
    return FALSE;
  }
  RegisterRegistryScript(registryScriptId, registryScript);
  if (!StartCom(registryScriptId)) return FALSE;
  AfxEnableControlContainer();
  StartMapi();
  ParseCommandLine(info);
  Enable3dControlsStatic();
  theReportFile.Open(true);
  // What the providers get over (a server that asked to wait, a connection
  // made again) is a WARNING line of the run's log.
  tesk::mapi::SetWarningSink(
      [](const std::string& text) { theReportFile.Log(LOG_WARNING, "%s: %s", CReportFile::LevelWord(LOG_WARNING), text.c_str()); });
  if (MissingArguments(info)) return FALSE;
  if (info.IsBatchRun())
    BatchRun(info);
  else
    DialogRun(info);
  return FALSE;
}

void CTeskApp::RunBatch(CTeskCmdLineInfo& info, const char* logonModule, int logonLine,
                        const std::function<void(CTeskMAPISession&)>& work) {
  RepairUmlauts(info.m_strSource);
  RepairUmlauts(info.m_strTarget);
  CTeskMAPISession session;
  try {
    session = Logon(info.m_strProfile, logonModule, logonLine);
    theReportFile.Log(LOG_INFO, "Successfully logged on to MAPI.");
    work(session);
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during copying operation");
  }
  SendReport(session, info.m_strMailTo);
}

void CTeskApp::StartMapi() {
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
}

CTeskMAPISession CTeskApp::Logon(const CString& profile, const char* module, int line) {
  CTeskMAPISession session;
  CString name = profile;
  HRESULT hr = MAPILogonEx(0, name.GetBuffer(name.GetLength()), nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session);
  name.ReleaseBuffer();
  if (FAILED(hr) || !session) {
    auto* e = new CMAPIException(hr, "Failed to logon to MAPI.", module, line);
    // Why (a profile that does not load, no such profile) follows the
    // ERROR line as a WARNING.
    LPMAPIERROR why = nullptr;
    if (SUCCEEDED(MAPIGetLogonError(&why)) && why) {
      if (why->lpszError) e->m_strDetail = why->lpszError;
      MAPIFreeBuffer(why);
    }
    throw e;
  }
  return session;
}

void CTeskApp::SendReport(const CTeskMAPISession& session, const CString& mailTo) {
  if (mailTo.IsEmpty() || !theReportFile.HasErrors()) return;
  try {
    theReportFile.SendReportMail(CTeskMAPISession(session), mailTo);
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during sending report mail message.");
  }
}

int CTeskApp::ExitInstance() {
  MAPIUninitialize();
  if (m_bComStarted) {
    _Module.RevokeClassObjects();
    _Module.Term();
    CoUninitialize();
  }
  // A run that could not start at all has set its own code.
  if (const int code = CWinApp::ExitInstance()) return code;
  if (!theReportFile.HasErrors()) return 0;
  const CString log = theReportFile.GetPath();
  if (!log.IsEmpty()) {
    std::fprintf(stderr, "%s: the run logged errors; the log is %s\n", CReportFile::GetProgramBaseName().GetString(), log.GetString());
    std::fflush(stderr);
  }
  return 1;
}
