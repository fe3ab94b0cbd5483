#include "TeskRestoreDlg.h"

#include "FoldersCopier.h"
#include "TeskRestoreProgress.h"

CTeskRestoreDlg::CTeskRestoreDlg(const CString& profile, const CString& source, const CString& target,
                                 CWnd* pParent)
    : CTeskMainDialog(IDD_TESKRESTORE_DIALOG, "TeskRestore", profile, source, target, pParent) {}

void CTeskRestoreDlg::DoProgramDataExchange(CDataExchange* pDX) { DDX_Control(pDX, IDC_STATUS, m_staticStatus); }

CString CTeskRestoreDlg::GetCommandLineSwitches() const {
  CString switches;
  if (!m_strMailTo.IsEmpty()) switches = " -mailto:" + m_strMailTo;
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
  CString question;
  question.LoadString(IDS_RUN_CONFIRM);
  CString text;
  text.Format(question, m_strTarget.GetString(), m_strSource.GetString(),
              static_cast<unsigned long>(plan.DeletedFolders()), static_cast<unsigned long>(plan.DeletedMessages()),
              static_cast<unsigned long>(plan.KeptMessages()), static_cast<unsigned long>(plan.kept.size()),
              static_cast<unsigned long>(plan.source.folders), static_cast<unsigned long>(plan.source.messages));
  return MessageBox(text, "TeskRestore", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

CString CTeskRestoreDlg::DescribeRun(bool runErrors) {
  CString format;
  format.LoadString(runErrors ? IDS_RUN_DONE_ERRORS : IDS_RUN_DONE);
  CString text;
  text.Format(format, m_strSource.GetString(), m_strTarget.GetString(),
              static_cast<unsigned long>(m_restored.messages), static_cast<unsigned long>(m_restored.folders));
  return text;
}

void CTeskRestoreDlg::ShowStatusMessage(const char* text) {
  m_staticStatus.SetWindowText(text);
  PumpMessages();
}
