// The restore program's window: pick source and target, see the command
// line for batch files and the scheduler, run the restore with a progress
// bar and a status line.
#pragma once

#include <FolderCensus.h>
#include <TeskMainDialog.h>

#include "StatusMessageReceiver.h"

constexpr UINT IDD_TESKRESTORE_DIALOG = 102;
constexpr int IDC_STATUS = 1003;
// The pieces of the restore's question after IDS_RUN_CONFIRM, and the kept
// standard folders in words ("one|other").
constexpr UINT IDS_RUN_CONFIRM_PARTS = 5035;
constexpr UINT IDS_RUN_CONFIRM_END = 5036;
constexpr UINT IDS_COUNT_KEPT = 5037;

class CTeskRestoreDlg : public CTeskMainDialog, public CStatusMessageReceiver {
 public:
  CTeskRestoreDlg(const CString& profile, const CString& source, const CString& target, CWnd* pParent = nullptr);

  // Shows the copier's status text and keeps the window alive.
  void ShowStatusMessage(const char* text) override;

 protected:
  CString GetCommandLineSwitches() const override;
  CComPtr<IMAPIProgress> CreateProgress() override;
  void RunCopier(IMAPIProgress* progress) override;
  // Names the target and what the clearing will remove; the default answer
  // is No.
  bool ConfirmRun() override;
  CString DescribeRun(bool runErrors) override;
  void DoProgramDataExchange(CDataExchange* pDX) override;

  CStatic m_staticStatus;
  // What the last confirmed run was to restore.
  CFolderCensus m_restored;
};

// Registers the program's dialogs, strings and icons.
void RegisterTeskRestoreResources();
