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
    if (info.m_bDryRun)
      copier.DryRun(info.m_strSource, info.m_strTarget, noTimeStamp);
    else
      copier.Copy(info.m_strSource, info.m_strTarget, noTimeStamp, progress);
  });
}

const char* CTeskSaveApp::GetSynopsis() const { return "TeskSave [-t] [-n] [-mailto:ADDRESS] PROFILE SOURCE TARGET"; }

const char* CTeskSaveApp::GetUsage() const {
  return R"(Usage: TeskSave [-t] [-n] [-mailto:ADDRESS] PROFILE SOURCE TARGET
       TeskSave [PROFILE [SOURCE [TARGET]]]     the dialog (needs a display)
       TeskSave -RegServer | -UnregServer

Copies SOURCE with all its subfolders and messages into TARGET as one new
folder named "YYYY.MM.DD HH:MM " and the source path, its backslashes
turned into underscores.

  PROFILE          the profile to log on to; "" for the default profile
  SOURCE, TARGET   folder paths: the store's display name, then the folder
                   names, joined by backslashes ("Personal Folders\Inbox")
  -t               name the new folder after the source path alone
  -n               dry run: find and check everything, log what would be
                   copied, change nothing
  -mailto:ADDRESS  mail the run's ERROR lines to ADDRESS when there are any
  -h, -?, --help   print this text
  -RegServer, -UnregServer
                   write or remove the program's entries in the registry file

Each run writes a log "TeskSave YYYYMMDD_HHMMSS.log" next to the program, or
in ${XDG_STATE_HOME:-~/.local/state}/tesk where it cannot; ERROR and WARNING
lines also go to standard error. Exit code: 0 done, 1 the run logged an
ERROR line, 2 the run could not start.
)";
}

void CTeskSaveApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskSaveDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
