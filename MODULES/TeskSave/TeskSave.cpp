#include "TeskSave.h"

#include <ReportFile.h>
#include <TeskAppTerminal.h>
#include <TeskDialogPlugin.h>

#include <string>

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
  // On a terminal: a progress line while the copy runs, a summary after it.
  CTerminalProgress terminal(info.m_bQuiet);
  CString saved;
  RunBatch(info, "Modules\\TeskSave\\TeskSave", 114, [&](CTeskMAPISession& session) {
    CComPtr<IMAPIProgress> progress =
        CreateProgressObject<CTeskSaveProgress>(nullptr, terminal.Active() ? &terminal : nullptr);
    CFoldersCopier copier(session);
    if (info.m_bDryRun) {
      copier.DryRun(info.m_strSource, info.m_strTarget, noTimeStamp);
      return;
    }
    if (terminal.Active()) {
      terminal.SetPhase(std::string("Measuring ") + info.m_strSource.GetString());
      terminal.Start(MeasurePath(session, info.m_strSource));
      terminal.SetPhase("Saving");
    }
    copier.Copy(info.m_strSource, info.m_strTarget, noTimeStamp, progress);
    saved = info.m_strTarget + "\\" + copier.GetFolderName();
  });
  if (!terminal.Active()) return;
  std::string summary;
  if (theReportFile.HasErrors()) {
    // The ERROR lines and the log's name say it.
  } else if (info.m_bDryRun) {
    summary = "Dry run ended, nothing was changed" + CTerminalProgress::LogNote();
  } else {
    const CTreeSize& total = terminal.Total();
    summary = "Saved ";
    if (total.folders)
      summary += CTerminalProgress::Count(total.messages, "message", "messages") + " in " +
                 CTerminalProgress::Count(total.folders, "folder", "folders") + " (" +
                 CTerminalProgress::Bytes(total.bytes) + ")";
    else
      summary += info.m_strSource.GetString();
    summary += std::string(" to ") + saved.GetString() + " in " + CTerminalProgress::Duration(terminal.RunSeconds()) +
               CTerminalProgress::LogNote();
  }
  terminal.Finish(summary);
}

const char* CTeskSaveApp::GetSynopsis() const { return "TeskSave [-t] [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET"; }

const char* CTeskSaveApp::GetUsage() const {
  return R"(Usage: TeskSave [-t] [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET
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
  -q               no progress line and no summary on a terminal
  -mailto:ADDRESS  mail the run's ERROR lines to ADDRESS when there are any
  -h, -?, --help   print this text
  -RegServer, -UnregServer
                   write or remove the program's entries in the registry file

Each run writes a log "TeskSave YYYYMMDD_HHMMSS.log" next to the program, or
in ${XDG_STATE_HOME:-~/.local/state}/tesk where it cannot; ERROR and WARNING
lines also go to standard error. Run in a terminal, it shows its progress
there and ends with a one-line summary. Exit code: 0 done, 1 the run logged
an ERROR line, 2 the run could not start.
)";
}

void CTeskSaveApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskSaveDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
