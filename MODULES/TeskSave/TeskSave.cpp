#include "TeskSave.h"

#include <ReportFile.h>
#include <RepairUmlauts.h>
#include <statreg.h>

#include "FoldersCopier.h"
#include "TeskSaveProgressT.h"

const char kTeskSaveRegistryScript[] = R"rgs(HKCR
{
	NoRemove AppID
	{
		'{DB53B054-046C-48FD-81B8-017060D70E3A}' = s 'TeskSave'
		'TeskSave.EXE'
		{
			val AppID = s '{DB53B054-046C-48FD-81B8-017060D70E3A}'
		}
	}
}
)rgs";

CTeskSaveApp::CTeskSaveApp() : CTeskApp() {}

BOOL CTeskSaveApp::InitInstance() {
  RegisterRegistryScript(IDR_TESKSAVE, kTeskSaveRegistryScript);
  if (!StartCom(IDR_TESKSAVE)) return FALSE;
  AfxEnableControlContainer();
  StartMapi();
  {
    CTeskSaveCmdLineInfo info;
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

void CTeskSaveApp::BatchRun(CTeskSaveCmdLineInfo& info) {
  RepairUmlauts(info.m_strSource);
  RepairUmlauts(info.m_strTarget);
  CTeskMAPISession session;
  try {
    session = Logon(info.m_strProfile, "Modules\\TeskSave\\TeskSave", 114);
    theReportFile.Log(LOG_INFO, "Successfully logged on to MAPI.");
    CComPtr<IMAPIProgress> progress = CreateProgressObject<CTeskSaveProgress>();
    CFoldersCopier copier(session);
    copier.Copy(info.m_strSource, info.m_strTarget, info.m_bNoTimeStamp, progress);
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during copying operation");
  }
  SendReport(session, info.m_strMailTo);
}

void CTeskSaveApp::DialogRun(CTeskSaveCmdLineInfo&) {
  theReportFile.Log(LOG_WARNING, "No dialog is available in this version; give source and target on the command line.");
}
