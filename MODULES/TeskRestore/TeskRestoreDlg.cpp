#include "TeskRestoreDlg.h"

#include "FoldersCopier.h"
#include "TeskRestoreProgress.h"

CTeskRestoreDlg::CTeskRestoreDlg(const CString& profile, const CString& source, const CString& target,
                                 CWnd* pParent)
    : CTeskMainDialog(IDD_TESKRESTORE_DIALOG, "TeskRestore", profile, source, target, pParent) {}

void CTeskRestoreDlg::DoProgramDataExchange(CDataExchange* pDX) { DDX_Control(pDX, IDC_STATUS, m_staticStatus); }

CString CTeskRestoreDlg::GetCommandLineSwitches() const {
  CString switches;
  if (!m_strMailTo.IsEmpty()) switches = " " + MailToSwitch();
  return switches;
}

CComPtr<IMAPIProgress> CTeskRestoreDlg::CreateProgress() {
  return CreateProgressObject<CTeskRestoreProgress>(m_hWnd);
}

void CTeskRestoreDlg::RunCopier(IMAPIProgress* progress) {
  CFoldersCopier copier(m_session, m_strSource, m_strTarget, progress, this);
  copier.Run();
}

bool CTeskRestoreDlg::ConfirmRun() {
  CFoldersCopier::Plan plan;
  {
    CFoldersCopier copier(m_session, m_strSource, m_strTarget, nullptr, nullptr);
    plan = copier.Preview();
  }
  m_restored = plan.source;
  // Everything the clearing removes, the kept standard folders' contents
  // and subfolders included, as the run's log will count it.
  const auto folders = [](ULONG n) { return FormatCount(IDS_COUNT_FOLDERS, n); };
  const auto messages = [](ULONG n) { return FormatCount(IDS_COUNT_MESSAGES, n); };
  CString format, text, part;
  format.LoadString(IDS_RUN_CONFIRM);
  text.Format(format, m_strTarget.GetString(), m_strSource.GetString(),
              folders(plan.DeletedFolders() + plan.KeptSubfolders()).GetString(),
              messages(plan.DeletedMessages() + plan.KeptMessages()).GetString());
  if (plan.kept.empty()) {
    text += ".";
  } else {
    format.LoadString(IDS_RUN_CONFIRM_PARTS);
    part.Format(format, folders(plan.DeletedFolders()).GetString(), messages(plan.DeletedMessages()).GetString(),
                folders(plan.KeptSubfolders()).GetString(), messages(plan.KeptMessages()).GetString(),
                FormatCount(IDS_COUNT_KEPT, static_cast<unsigned long>(plan.kept.size())).GetString());
    text += part;
  }
  format.LoadString(IDS_RUN_CONFIRM_END);
  part.Format(format, folders(plan.source.folders).GetString(), messages(plan.source.messages).GetString());
  text += part;
  return MessageBox(text, "TeskRestore", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

CString CTeskRestoreDlg::DescribeRun(bool runErrors) {
  CString format;
  format.LoadString(runErrors ? IDS_RUN_DONE_ERRORS : IDS_RUN_DONE);
  CString text;
  text.Format(format, m_strSource.GetString(), m_strTarget.GetString(),
              FormatCount(IDS_COUNT_MESSAGES, m_restored.messages).GetString(),
              FormatCount(IDS_COUNT_IN_FOLDERS, m_restored.folders).GetString());
  return text;
}

void CTeskRestoreDlg::ShowStatusMessage(const char* text) {
  m_staticStatus.SetWindowText(text);
  PumpMessages();
}
