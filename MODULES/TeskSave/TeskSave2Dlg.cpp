#include "TeskSave2Dlg.h"

#include <FolderCensus.h>
#include <MAPIFolderFind.h>

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
  if (!m_strMailTo.IsEmpty()) switches += " " + MailToSwitch() + " ";
  return switches;
}

CComPtr<IMAPIProgress> CTeskSave2Dlg::CreateProgress() { return CreateProgressObject<CTeskSaveProgress>(m_hWnd); }

void CTeskSave2Dlg::RunCopier(IMAPIProgress* progress) {
  CFoldersCopier copier(m_session);
  // Counted before the copy, for the message that ends the run; a source
  // that is not there fails in the copy with its own line.
  try {
    CMAPIFolderFind finder(m_session);
    CTeskMAPIFolder source(finder.FindFolder(m_strSource));
    m_saved = TakeFolderCensus(source);
  } catch (CException* e) {
    e->Delete();
  }
  copier.Copy(m_strSource, m_strTarget, m_bNoTimeStamp, progress);
  m_strSavedAs = copier.GetFolderName();
}

CString CTeskSave2Dlg::DescribeRun(bool runErrors) {
  CString format;
  format.LoadString(runErrors ? IDS_RUN_DONE_ERRORS : IDS_RUN_DONE);
  CString text;
  text.Format(format, m_strSource.GetString(), m_strTarget.GetString(), m_strSavedAs.GetString(),
              FormatCount(IDS_COUNT_MESSAGES, m_saved.messages).GetString(),
              FormatCount(IDS_COUNT_IN_FOLDERS, m_saved.folders + 1).GetString());
  return text;
}
