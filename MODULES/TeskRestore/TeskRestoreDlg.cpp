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

void CTeskRestoreDlg::ShowStatusMessage(const char* text) {
  m_staticStatus.SetWindowText(text);
  PumpMessages();
}
