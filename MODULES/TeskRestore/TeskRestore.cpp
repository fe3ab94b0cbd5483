#include "TeskRestore.h"

#include <ReportFile.h>
#include <RepairUmlauts.h>
#include <statreg.h>

#include "FoldersCopier.h"
#include "TeskRestoreProgress.h"

const char kTeskRestoreRegistryScript[] = R"rgs(HKCR
{
	NoRemove AppID
	{
		'{AF18B428-EBA9-49B3-873A-4D510FB8B0CF}' = s 'TeskRestore'
		'TeskRestore.EXE'
		{
			val AppID = s '{AF18B428-EBA9-49B3-873A-4D510FB8B0CF}'
		}
	}
}
)rgs";

BOOL CTeskRestoreApp::InitInstance() {
  RegisterRegistryScript(IDR_TESKRESTORE, kTeskRestoreRegistryScript);
  if (!StartCom(IDR_TESKRESTORE)) return FALSE;
  AfxEnableControlContainer();
  StartMapi();
  {
    CTeskRestoreCmdLineInfo info;
    ParseCommandLine(info);
    Enable3dControlsStatic();
    theReportFile.Open(true);
    if (info.IsBatchRun())
      BatchRun(info);
    else
      DialogRun(info);
  }
  return FALSE;
}

void CTeskRestoreApp::BatchRun(CTeskRestoreCmdLineInfo& info) {
  RepairUmlauts(info.m_strSource);
  RepairUmlauts(info.m_strTarget);
  CTeskMAPISession session;
  try {
    session = Logon(info.m_strProfile, "Modules\\TeskRestore\\TeskRestore", __LINE__);
    theReportFile.Log(LOG_INFO, "Successfully logged on to MAPI.");
    CComPtr<IMAPIProgress> progress = CreateProgressObject<CTeskRestoreProgress>();
    CFoldersCopier copier(session, info.m_strSource, info.m_strTarget, progress, nullptr);
    copier.Run();
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during copying operation");
  }
  SendReport(session, info.m_strMailTo);
}

void CTeskRestoreApp::DialogRun(CTeskRestoreCmdLineInfo&) {
  theReportFile.Log(LOG_WARNING, "No dialog is available in this version; give source and target on the command line.");
}
