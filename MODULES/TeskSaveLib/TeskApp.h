// What the start-ups of both programs share: the COM start with the
// RegServer and UnregServer runs, MAPI start and end, the logon of a batch
// run, the exit code.
#pragma once

#include <afxwin.h>
#include <atlbase.h>
#include <TeskMAPI.h>

#include "TeskCmdLineInfo.h"

#include <functional>

class CTeskApp : public CWinApp {
 public:
  // The program's process exit code: 1 when the run logged an ERROR line.
  int ExitInstance() override;

 protected:
  CTeskApp() = default;

  // The start-up both programs share: COM start (with the RegServer and
  // UnregServer runs of the registry script), MAPI start, the command line,
  // the log file, then the batch or the dialog run. Returns FALSE always.
  BOOL RunStartup(UINT registryScriptId, const char* registryScript, CTeskCmdLineInfo& info);
  virtual void BatchRun(CTeskCmdLineInfo& info) = 0;
  // The program's usage text (what --help prints) and its one-line synopsis.
  virtual const char* GetUsage() const = 0;
  virtual const char* GetSynopsis() const = 0;
  virtual void DialogRun(CTeskCmdLineInfo& info) = 0;

  // A batch run: umlaut repair of the paths, logon (failing with the given
  // module and line), the work on the session, the report mail. Failures
  // become ERROR lines.
  void RunBatch(CTeskCmdLineInfo& info, const char* logonModule, int logonLine,
                const std::function<void(CTeskMAPISession&)>& work);

  // A start with some arguments but not both folders, where no dialog can
  // open to ask for the rest: says on standard error which argument is
  // missing and sets the exit code 2.
  bool MissingArguments(const CTeskCmdLineInfo& info);

  // Starts COM. A RegServer or UnregServer switch on the command line
  // applies the registry script registryScriptId and ends the COM part
  // again. Returns false when the process shall end now.
  bool StartCom(UINT registryScriptId);
  // MAPIInitialize as both programs call it.
  static void StartMapi();
  // Logs on for a batch run (the profile may be empty: the default profile).
  // Throws "Failed to logon to MAPI." with the given module and line.
  static CTeskMAPISession Logon(const CString& profile, const char* module, int line);

  // Mails the collected ERROR lines when an address was given and the run
  // logged errors; its own failures become ERROR lines.
  static void SendReport(const CTeskMAPISession& session, const CString& mailTo);

  // Which registry switch the raw command line carries: 1 RegServer,
  // -1 UnregServer, 0 none.
  static int RegistrySwitch(const char* commandLine);

  BOOL m_bComStarted = FALSE;
};

// The program's COM module.
extern CComModule _Module;
