#include "TeskSave.h"

#include <ReportFile.h>
#include <TeskDialogPlugin.h>

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

BOOL CTeskSaveApp::InitInstance() {
  CTeskSaveCmdLineInfo info;
  return RunStartup(IDR_TESKSAVE, kTeskSaveRegistryScript, info);
}

void CTeskSaveApp::BatchRun(CTeskCmdLineInfo& info) {
  const BOOL noTimeStamp = static_cast<CTeskSaveCmdLineInfo&>(info).m_bNoTimeStamp;
  RunBatch(info, "Modules\\TeskSave\\TeskSave", 114, [&](CTeskMAPISession& session) {
    CComPtr<IMAPIProgress> progress = CreateProgressObject<CTeskSaveProgress>();
    CFoldersCopier copier(session);
    copier.Copy(info.m_strSource, info.m_strTarget, noTimeStamp, progress);
  });
}

void CTeskSaveApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskSaveDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
