#include "TeskRestore.h"

#include <ReportFile.h>
#include <TeskAppTerminal.h>
#include <TeskDialogPlugin.h>

#include <string>

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

namespace {

// The restore copier's status texts ("Clearing: NAME", "Restoring: NAME")
// as the phase of the progress line; only the restoring counts.
class CTerminalStatus : public CStatusMessageReceiver {
 public:
  explicit CTerminalStatus(CTerminalProgress& terminal) : m_terminal(terminal) {}
  virtual ~CTerminalStatus() = default;
  void ShowStatusMessage(const char* text) override {
    std::string phase(text);
    const auto colon = phase.find(": ");
    if (colon != std::string::npos) phase.erase(colon, 1);
    m_terminal.SetCounting(phase.rfind("Restoring", 0) == 0);
    m_terminal.SetPhase(phase);
  }

 private:
  CTerminalProgress& m_terminal;
};

}  // namespace

void CTeskRestoreApp::BatchRun(CTeskCmdLineInfo& info) {
  // On a terminal: a progress line while the restore runs, a summary after it.
  CTerminalProgress terminal(info.m_bQuiet);
  CTerminalStatus status(terminal);
  RunBatch(info, "Modules\\TeskRestore\\TeskRestore", __LINE__, [&](CTeskMAPISession& session) {
    CComPtr<IMAPIProgress> progress =
        CreateProgressObject<CTeskRestoreProgress>(nullptr, terminal.Active() ? &terminal : nullptr);
    if (terminal.Active() && !info.m_bDryRun) {
      terminal.SetPhase(std::string("Reading ") + info.m_strSource.GetString());
      // What is copied: the source's messages and the folders below it.
      CTreeSize total = MeasurePath(session, info.m_strSource);
      if (total.folders) --total.folders;
      terminal.Start(total);
    }
    CFoldersCopier copier(session, info.m_strSource, info.m_strTarget, progress,
                          terminal.Active() ? &status : nullptr);
    if (info.m_bDryRun)
      copier.DryRun();
    else
      copier.Run();
  });
  if (!terminal.Active()) return;
  std::string summary;
  if (theReportFile.HasErrors()) {
    // The ERROR lines and the log's name say it.
  } else if (info.m_bDryRun) {
    summary = "Dry run ended, nothing was changed" + CTerminalProgress::LogNote();
  } else {
    const CTreeSize& total = terminal.Total();
    summary = "Restored " + CTerminalProgress::Count(total.messages, "message", "messages") + " and " +
              CTerminalProgress::Count(total.folders, "folder", "folders") + " (" +
              CTerminalProgress::Bytes(total.bytes) + ") from " + info.m_strSource.GetString() + " to " +
              info.m_strTarget.GetString() + " in " + CTerminalProgress::Duration(terminal.RunSeconds()) +
              CTerminalProgress::LogNote();
  }
  terminal.Finish(summary);
}

const char* CTeskRestoreApp::GetSynopsis() const { return "TeskRestore [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET"; }

const char* CTeskRestoreApp::GetUsage() const {
  return R"(Usage: TeskRestore [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET
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
                   names, joined by backslashes ("Archive\2026.12.08
                   16:17 Personal Folders_Inbox")
  -n               dry run: find and check everything, log what would be
                   deleted, emptied, kept and copied, change nothing
  -q               no progress line and no summary on a terminal
  -mailto:ADDRESS  mail the run's ERROR lines to ADDRESS when there are any
  -h, -?, --help   print this text
  -RegServer, -UnregServer
                   write or remove the program's entries in the registry file

Each run writes a log "TeskRestore YYYYMMDD_HHMMSS.log" next to the program,
or in ${XDG_STATE_HOME:-~/.local/state}/tesk where it cannot; ERROR and
WARNING lines also go to standard error. Run in a terminal, it shows its
progress there and ends with a one-line summary.
Exit code: 0 done, 1 the run logged an ERROR line, 2 the run could not start.
)";
}

void CTeskRestoreApp::DialogRun(CTeskCmdLineInfo& info) { RunDialogPlugin("TeskRestoreDialogs.so", TESK_DIALOG_PLUGIN_DIR, info); }
