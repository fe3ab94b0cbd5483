#include "TeskSave2Dlg.h"

#include "FoldersCopier.h"
#include "TeskSaveProgressT.h"

CTeskSave2Dlg::CTeskSave2Dlg(const CString& profile, const CString& source, const CString& target, CWnd* pParent)
    : CTeskMainDialog(IDD_TESKSAVE2_DIALOG, "TeskSave", profile, source, target, pParent) {}

void CTeskSave2Dlg::DoProgramDataExchange(CDataExchange* pDX) { DDX_Check(pDX, IDC_NO_TIMESTAMP, m_bNoTimeStamp); }

BOOL CTeskSave2Dlg::OnProgramCommand(UINT id, UINT code) {
  if (id != IDC_NO_TIMESTAMP || code != BN_CLICKED) return FALSE;
  UpdateData(TRUE);
  UpdateCommandLine();
  return TRUE;
}

CString CTeskSave2Dlg::GetCommandLineSwitches() const {
  CString switches;
  if (m_bNoTimeStamp) switches += " -t ";
  if (!m_strMailTo.IsEmpty()) switches += " -mailto:" + m_strMailTo + " ";
  return switches;
}

CComPtr<IMAPIProgress> CTeskSave2Dlg::CreateProgress() { return CreateProgressObject<CTeskSaveProgress>(m_hWnd); }

void CTeskSave2Dlg::RunCopier(IMAPIProgress* progress) {
  CFoldersCopier copier(m_session);
  copier.Copy(m_strSource, m_strTarget, m_bNoTimeStamp, progress);
}
