// What the main dialogs of both programs share: the logon as the dialog
// opens, the folder pickers, the command line for batch files and the
// scheduler, the run with its progress bar, the report mail, and keeping
// the window alive while MAPI works inside the run button's handler.
#pragma once

#include <afxcmn.h>
#include <afxlayout.h>
#include <TeskMAPI.h>

#include "HyperLink.h"
#include "MessagStoresArray.h"

// The controls both templates have.
constexpr int IDC_CMDLINE = 1000;
constexpr int IDC_RUN = 1001;
constexpr int IDC_PROGRESS = 1002;
constexpr int IDC_MAILTO = 1004;
constexpr int IDC_SELECT_SOURCE = 1006;
constexpr int IDC_SELECT_TARGET = 1007;
constexpr int IDC_LINK = 1012;
constexpr int IDC_COPYRIGHT = 1013;

// The strings both programs carry.
constexpr UINT IDS_SELECT_SOURCE = 5024;
constexpr UINT IDS_SELECT_TARGET = 5025;
constexpr UINT IDS_CMDLINE_TIP = 5026;
constexpr UINT IDS_RUN_LOG = 5027;        // "Log: %s" in the program's language
constexpr UINT IDS_RUN_DONE = 5028;       // the program's success message
constexpr UINT IDS_RUN_DONE_ERRORS = 5029;  // ... when the run logged ERROR lines
constexpr UINT IDS_RUN_CONFIRM = 5030;    // the restore's question
constexpr UINT IDS_BAD_MAILTO = 5031;     // a report address the transport refuses
// Counts in words, "one|other" ("%lu message|%lu messages"): see FormatCount.
constexpr UINT IDS_COUNT_MESSAGES = 5032;
constexpr UINT IDS_COUNT_IN_FOLDERS = 5033;
constexpr UINT IDS_COUNT_FOLDERS = 5034;

// The maker's line and address shown at the foot of both dialogs.
extern const char kTeskCopyright[];
extern const char kTeskWebAddress[];

// A word as a POSIX shell reads it back unchanged: as it is when the shell
// takes every character of it literally, else in double quotes.
CString QuoteForShell(const CString& word);
// The same, always in double quotes (an empty word stays a word).
CString DoubleQuoteForShell(const CString& word);
// "MAPI_CONFIG_DIR=FOLDER " when the profile folder of this process is not
// the one a start from cron finds (~/.config/mapi), else empty.
CString ProfileFolderAssignment();
// Whether address is a mail address alone ("name@example.org"), as the mail
// server takes it: something on both sides of an @, no blanks, no angle
// brackets or other punctuation of a name-and-address form.
bool IsBareMailAddress(const CString& address);
// The count n in words from string id, "singular|plural" with a %lu each:
// the singular for 1, else the plural (both languages count so).
CString FormatCount(UINT id, unsigned long n);

class CTeskMainDialog : public CDialog {
 public:
  ~CTeskMainDialog() override;

  BOOL OnInitDialog() override;
  BOOL PreTranslateMessage(MSG* pMsg) override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  // The profile name the session reports (empty when it cannot be read).
  CString GetProfileName();
  // Composes the command line from the members and shows it.
  void UpdateCommandLine();

  bool IsRunning() const { return m_bRunning; }

 protected:
  CTeskMainDialog(UINT nIDTemplate, const char* title, const CString& profile, const CString& source,
                  const CString& target, CWnd* pParent);

  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) override;
  void OnOK() override;
  void OnCancel() override;
  void OnSize(UINT nType, int cx, int cy) override;

  // The program's part: the switches between the program path and the
  // quoted values (each quoted for the shell as it needs), the progress
  // object, the copy itself.
  virtual CString GetCommandLineSwitches() const = 0;
  virtual CComPtr<IMAPIProgress> CreateProgress() = 0;
  virtual void RunCopier(IMAPIProgress* progress) = 0;
  // Asked before a run starts; false leaves everything as it is. May throw
  // the program's exceptions (shown as a failed run).
  virtual bool ConfirmRun() { return true; }
  // What a successful run did, for the message that ends it (the log's
  // path follows); runErrors says whether the run logged ERROR lines.
  virtual CString DescribeRun(bool runErrors) = 0;
  // The program's controls (after the shared ones) and their commands.
  virtual void DoProgramDataExchange(CDataExchange*) {}
  virtual BOOL OnProgramCommand(UINT, UINT) { return FALSE; }

  void OnSelectSource();
  void OnSelectTarget();
  void OnRun();
  LRESULT OnProgressPos(WPARAM wParam, LPARAM lParam);
  LRESULT OnProgressRange(WPARAM wParam, LPARAM lParam);
  // Handles what waits in the queue (painting, input) without waiting.
  void PumpMessages();
  // The -mailto switch for the typed address, quoted as the shell needs.
  CString MailToSwitch() const;
  // Shows why a run failed, and where its log is.
  void ShowRunError(const CString& text);

  CEdit m_editCmdLine;
  CEdit m_editMailTo;
  CButton m_btnClose;
  CButton m_btnRun;
  CButton m_btnTarget;
  CButton m_btnSource;
  CProgressCtrl m_progress;
  CString m_strCmdLine;
  CString m_strMailTo;
  HICON m_hIcon = nullptr;
  CToolTipCtrl* m_pToolTip = nullptr;
  CString m_strProfile;
  CString m_strSource;
  CString m_strTarget;
  CTeskMAPISession m_session;
  CMessagStoresArray m_stores;
  CHyperLink m_link;
  BOOL m_bRunning = FALSE;

 private:
  bool PickFolder(UINT titleId, CString& path);
  // Whether the report address is one the mail transport takes (as the
  // report mail itself asks the address book); says why not when it is not.
  bool CheckMailTo();
  void EnableRunControls(BOOL enable);
  // How the controls follow a change of the window's size (see the .cpp).
  void SetUpLayout();
  void WidenForLink();

  CString m_strTitle;
  CDynamicLayout m_layout;
};
