// The save program's window: pick source and target, see the command line
// for batch files and the scheduler, run the save with a progress bar.
#pragma once

#include <FolderCensus.h>
#include <TeskMainDialog.h>

constexpr UINT IDD_TESKSAVE2_DIALOG = 102;
constexpr int IDC_NO_TIMESTAMP = 1003;

class CTeskSave2Dlg : public CTeskMainDialog {
 public:
  CTeskSave2Dlg(const CString& profile, const CString& source, const CString& target, CWnd* pParent = nullptr);

 protected:
  CString GetCommandLineSwitches() const override;
  CComPtr<IMAPIProgress> CreateProgress() override;
  void RunCopier(IMAPIProgress* progress) override;
  CString DescribeRun(bool runErrors) override;
  void DoProgramDataExchange(CDataExchange* pDX) override;
  BOOL OnProgramCommand(UINT id, UINT code) override;

  int m_bNoTimeStamp = FALSE;
  // What the last run saved, and under which name.
  CFolderCensus m_saved;
  CString m_strSavedAs;
};

// Registers the program's dialogs, strings and icons.
void RegisterTeskSaveResources();
