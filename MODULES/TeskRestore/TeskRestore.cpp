#include "TeskRestore.h"

#include <ReportFile.h>
#include <TeskDialogPlugin.h>

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
  CTeskRestoreCmdLineInfo info;
  return RunStartup(IDR_TESKRESTORE, kTeskRestoreRegistryScript, info);
}

void CTeskRestoreApp::BatchRun(CTeskCmdLineInfo& info) {
  RunBatch(info, "Modules\\TeskRestore\\TeskRestore", __LINE__, [&](CTeskMAPISession& session) {
    CComPtr<IMAPIProgress> progress = CreateProgressObject<CTeskRestoreProgress>();
    CFoldersCopier copier(session, info.m_strSource, info.m_strTarget, progress, nullptr);
    copier.Run();
  });
}

void CTeskRestoreApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskRestoreDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
