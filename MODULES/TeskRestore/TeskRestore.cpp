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
    if (info.m_bDryRun)
      copier.DryRun();
    else
      copier.Run();
  });
}

const char* CTeskRestoreApp::GetSynopsis() const { return "TeskRestore [-n] [-mailto:ADDRESS] PROFILE SOURCE TARGET"; }

const char* CTeskRestoreApp::GetUsage() const {
  return R"(Usage: TeskRestore [-n] [-mailto:ADDRESS] PROFILE SOURCE TARGET
       TeskRestore [PROFILE [SOURCE [TARGET]]]  the dialog (needs a display)
       TeskRestore -RegServer | -UnregServer

Empties TARGET, keeping its store's standard folders (Inbox, Outbox, Sent
Items, Deleted Items, Drafts, Calendar, Contacts, Journal, Notes, Tasks)
and emptying them, deletes its other subfolders, and copies SOURCE's
messages and subfolders in, merging folders named like a kept standard
folder into it. SOURCE and TARGET must not overlap; SOURCE is read through
before anything in TARGET changes.

  PROFILE          the profile to log on to; "" for the default profile
  SOURCE, TARGET   folder paths: the store's display name, then the folder
                   names, joined by backslashes ("Archive6.12.08 16:17
                   Personal Folders_Inbox")
  -n               dry run: find and check everything, log what would be
                   deleted, emptied, kept and copied, change nothing
  -mailto:ADDRESS  mail the run's ERROR lines to ADDRESS when there are any
  -h, -?, --help   print this text
  -RegServer, -UnregServer
                   write or remove the program's entries in the registry file

Each run writes a log "TeskRestore YYYYMMDD_HHMMSS.log" next to the program,
or in ${XDG_STATE_HOME:-~/.local/state}/tesk where it cannot; ERROR and
WARNING lines also go to standard error. Exit code: 0 done, 1 the run logged
an ERROR line, 2 the run could not start.
)";
}

void CTeskRestoreApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskRestoreDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
