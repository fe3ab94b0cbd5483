#include "TeskMainDialog.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <mapi/admin.h>
#include <ReportFile.h>

#include "FolderPickerDialog.h"
#include "TeskIcons.h"

const char kTeskCopyright[] = "\xC2\xA9 2026 The TeskSave developers";
// The page the dialogs' link opens: the help page installed next to the
// program (the build puts it there), else the project's own copy.
const char kTeskWebAddress[] = "tesk-dialogs.html";

#ifndef TESK_DOC_RELDIR
#define TESK_DOC_RELDIR "../share/doc/tesk"
#endif

namespace {
CString HelpPageAddress() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  CString folder = n > 0 && n < sizeof path ? CString(path) : CString();
  const int slash = folder.ReverseFind('/');
  folder = slash < 0 ? CString() : folder.Left(slash);
  CString page = folder + "/" + kTeskWebAddress;
  // An installed program: its documentation folder (share/doc/tesk).
  if (::access(page, R_OK) != 0) page = folder + "/" TESK_DOC_RELDIR "/" + kTeskWebAddress;
  if (::access(page, R_OK) != 0) page = CString(TESK_DOCS_DIR "/") + kTeskWebAddress;
  return CString("file://") + page;
}
}  // namespace

namespace {
// What a POSIX shell takes literally anywhere in a word: letters, digits,
// "@%+=:,./_-" and the bytes of UTF-8 sequences beyond ASCII.
bool ShellLiteral(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80) return true;
  for (const char* p = "@%+=:,./_-"; *p; ++p)
    if (c == static_cast<unsigned char>(*p)) return true;
  return false;
}
}  // namespace

CString DoubleQuoteForShell(const CString& word) {
  // Inside double quotes only $ ` " and \ are special; a backslash stays a
  // backslash unless one of these (or the closing quote) follows it, so
  // "Personal Folders\Inbox" keeps its single backslash.
  const auto special = [](char c) { return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n'; };
  const char* text = word.GetString();
  const int length = word.GetLength();
  CString quoted("\"");
  for (int i = 0; i < length; ++i) {
    const char c = text[i];
    if (c == '\\') {
      quoted += i + 1 == length || special(text[i + 1]) ? "\\\\" : "\\";
    } else {
      if (c == '$' || c == '`' || c == '"') quoted += '\\';
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

CString QuoteForShell(const CString& word) {
  const char* text = word.GetString();
  const int length = word.GetLength();
  bool literal = length > 0;
  for (int i = 0; literal && i < length; ++i) literal = ShellLiteral(static_cast<unsigned char>(text[i]));
  return literal ? word : DoubleQuoteForShell(word);
}

CString ProfileFolderAssignment() {
  namespace fs = std::filesystem;
  // A start from cron has HOME and neither MAPI_CONFIG_DIR nor
  // XDG_CONFIG_HOME: it finds the profiles in ~/.config/mapi.
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  std::error_code ec;
  const fs::path used = fs::absolute(tesk::mapi::admin::ProfileDirectory(), ec).lexically_normal();
  if (ec) return CString();
  if (!home.empty()) {
    const fs::path cron = fs::path(home) / ".config" / "mapi";
    std::error_code ec1, ec2;
    if (fs::weakly_canonical(used, ec1) == fs::weakly_canonical(cron, ec2) && !ec1 && !ec2) return CString();
  }
  std::string folder = used.string();
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return "MAPI_CONFIG_DIR=" + QuoteForShell(CString(folder)) + " ";
}

bool IsBareMailAddress(const CString& address) {
  const std::string text(address.GetString(), static_cast<size_t>(address.GetLength()));
  const size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || std::strchr("<>()[],;:\\\"", c)) return false;
  }
  return true;
}

CString FormatCount(UINT id, unsigned long n) {
  CString forms;
  forms.LoadString(id);
  const int bar = forms.Find('|');
  const CString form = bar < 0 ? forms : n == 1 ? forms.Left(bar) : forms.Mid(bar + 1);
  CString text;
  text.Format(form, n);
  return text;
}

namespace {
constexpr UINT WM_PROGRESS_POS_MSG = WM_USER + 100;
constexpr UINT WM_PROGRESS_RANGE_MSG = WM_USER + 101;
}  // namespace

CTeskMainDialog::CTeskMainDialog(UINT nIDTemplate, const char* title, const CString& profile, const CString& source,
                                 const CString& target, CWnd* pParent)
    : CDialog(nIDTemplate, pParent), m_strProfile(profile), m_strSource(source), m_strTarget(target),
      m_strTitle(title) {
  m_hIcon = AfxLoadIcon(IDR_MAINFRAME);
}

CTeskMainDialog::~CTeskMainDialog() {
  delete m_pToolTip;
  m_pToolTip = nullptr;
  m_stores.Clear();
  m_session.Release();
}

void CTeskMainDialog::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_CMDLINE, m_editCmdLine);
  DDX_Control(pDX, IDC_MAILTO, m_editMailTo);
  DDX_Control(pDX, IDCANCEL, m_btnClose);
  DDX_Control(pDX, IDC_RUN, m_btnRun);
  DDX_Control(pDX, IDC_SELECT_TARGET, m_btnTarget);
  DDX_Control(pDX, IDC_SELECT_SOURCE, m_btnSource);
  DDX_Control(pDX, IDC_PROGRESS, m_progress);
  DDX_Text(pDX, IDC_CMDLINE, m_strCmdLine);
  DoProgramDataExchange(pDX);
  DDX_Text(pDX, IDC_MAILTO, m_strMailTo);
}

BOOL CTeskMainDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetUpLayout();
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  if (CWnd* link = GetDlgItem(IDC_LINK)) {
    link->SetWindowText(HelpPageAddress());
    m_link.SubclassWindow(link->m_hWnd);
    WidenForLink();
  }

  m_pToolTip = new CToolTipCtrl;
  if (m_pToolTip->Create(this)) {
    m_pToolTip->SetMaxTipWidth(400);
    CString tip;
    tip.LoadString(IDS_CMDLINE_TIP);
    m_pToolTip->AddTool(&m_editCmdLine, tip);
    m_pToolTip->Activate(TRUE);
  } else {
    delete m_pToolTip;
    m_pToolTip = nullptr;
  }
  m_progress.SetRange32(1, 1000);
  SetWindowText(m_strTitle + " 1.2");

  CString profile = m_strProfile;
  HRESULT hr = MAPILogonEx(0, profile.GetBuffer(profile.GetLength()), nullptr,
                           MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_USE_DEFAULT, &m_session);
  profile.ReleaseBuffer();
  if (FAILED(hr) || !m_session) {
    // A cancelled profile choice needs no message; any other failure does.
    if (hr != MAPI_E_USER_CANCEL) {
      CString text;
      text.Format("Failed to logon to MAPI!\nError code %x", static_cast<unsigned>(hr));
      MessageBox(text, m_strTitle, MB_OK | MB_ICONSTOP);
    }
    EndDialog(IDCANCEL);
    return TRUE;
  }
  theReportFile.Log(LOG_INFO, "Successfully logged on to MAPI.");
  m_stores.Fill(m_session);
  m_strProfile = GetProfileName();
  UpdateCommandLine();
  return TRUE;
}

CString CTeskMainDialog::GetProfileName() {
  CString name;
  CComPtr<IMAPITable> table;
  if (!m_session || FAILED(m_session->GetStatusTable(0, &table)) || !table) return name;
  SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE}};
  table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  SPropValue subsystem{};
  subsystem.ulPropTag = PR_RESOURCE_TYPE;
  subsystem.Value.l = MAPI_SUBSYSTEM;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty.relop = RELOP_EQ;
  restriction.res.resProperty.ulPropTag = PR_RESOURCE_TYPE;
  restriction.res.resProperty.lpProp = &subsystem;
  table->Restrict(&restriction, TBL_ASYNC);
  table->FindRow(&restriction, BOOKMARK_BEGINNING, 0);
  CRowSetHolder rows;
  if (SUCCEEDED(table->QueryRows(1, 0, &rows)) && !rows.IsEmpty() && rows->cRows > 0) {
    const SPropValue& value = rows->aRow[0].lpProps[0];
    if (value.ulPropTag == PR_DISPLAY_NAME_A && value.Value.lpszA) name = value.Value.lpszA;
  }
  return name;
}

// The line runs as it is from a shell or a crontab: every part quoted as
// the shell needs, and the profile folder named when a start from cron would
// not find it.
void CTeskMainDialog::UpdateCommandLine() {
  char program[1024] = {};
  GetModuleFileNameA(AfxGetInstanceHandle(), program, 1023);
  m_strCmdLine = ProfileFolderAssignment();
  m_strCmdLine += QuoteForShell(program);
  m_strCmdLine += GetCommandLineSwitches();
  m_strCmdLine.AppendFormat(" %s  %s  %s", DoubleQuoteForShell(m_strProfile).GetString(),
                            DoubleQuoteForShell(m_strSource).GetString(), DoubleQuoteForShell(m_strTarget).GetString());
  UpdateData(FALSE);
}

CString CTeskMainDialog::MailToSwitch() const { return QuoteForShell("-mailto:" + m_strMailTo); }

bool CTeskMainDialog::CheckMailTo() {
  if (m_strMailTo.IsEmpty()) return true;
  CComPtr<IAddrBook> addressBook;
  HRESULT hr = m_session ? m_session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &addressBook) : MAPI_E_END_OF_SESSION;
  if (SUCCEEDED(hr) && addressBook) {
    CString address = m_strMailTo, type("SMTP");
    ULONG cb = 0;
    CMAPIBufferHolder<ENTRYID> entryId;
    hr = addressBook->CreateOneOff(address.GetBuffer(address.GetLength()), type.GetBuffer(type.GetLength()),
                                   address.GetBuffer(address.GetLength()), MAPI_SEND_NO_RICH_INFO, &cb, &entryId);
    address.ReleaseBuffer();
    type.ReleaseBuffer();
  }
  // Without an address book the report mail fails too; that is the run's
  // own ERROR line, not the address's fault. What the address book takes
  // still goes to the mail server as it is, in "RCPT TO:<...>": a name in
  // front of it, blanks or angle brackets make the server refuse it.
  if (hr != MAPI_E_INVALID_PARAMETER && IsBareMailAddress(m_strMailTo)) return true;
  CString format, text;
  format.LoadString(IDS_BAD_MAILTO);
  text.Format(format, m_strMailTo.GetString());
  MessageBox(text, m_strTitle, MB_OK | MB_ICONWARNING);
  GotoDlgCtrl(&m_editMailTo);
  return false;
}

void CTeskMainDialog::ShowRunError(const CString& text) {
  CString shown = text;
  if (const CString path = theReportFile.GetPath(); !path.IsEmpty()) {
    CString log;
    log.LoadString(IDS_RUN_LOG);
    shown += "\n\n";
    shown.AppendFormat(log, path.GetString());
  }
  AfxMessageBox(shown, MB_OK);
}

bool CTeskMainDialog::PickFolder(UINT titleId, CString& path) {
  CFolderPickerDialog picker(m_session, nullptr);
  CString title;
  title.LoadString(titleId);
  picker.SetTitle(title);
  picker.SetInitialPath(path);
  if (picker.DoModal() != IDOK) return false;
  path = picker.GetPath();
  UpdateCommandLine();
  return true;
}

void CTeskMainDialog::OnSelectSource() { PickFolder(IDS_SELECT_SOURCE, m_strSource); }
void CTeskMainDialog::OnSelectTarget() { PickFolder(IDS_SELECT_TARGET, m_strTarget); }

void CTeskMainDialog::EnableRunControls(BOOL enable) {
  m_btnRun.EnableWindow(enable);
  m_btnTarget.EnableWindow(enable);
  m_btnSource.EnableWindow(enable);
  m_btnClose.EnableWindow(enable);
  m_editMailTo.EnableWindow(enable);
}

namespace {
CString ErrorText(CException* e) {
  char text[4096] = {};
  if (!e->GetErrorMessage(text, sizeof text, nullptr)) return CString("Unknown error");
  return CString(text);
}
}  // namespace

void CTeskMainDialog::OnRun() {
  if (!CheckMailTo()) return;
  try {
    if (!ConfirmRun()) return;
  } catch (CException* e) {
    theReportFile.ReportException(e);
    ShowRunError(ErrorText(e));
    e->Delete();
    return;
  }
  m_progress.ShowWindow(SW_SHOW);
  EnableRunControls(FALSE);
  m_bRunning = TRUE;
  const int errorsBefore = theReportFile.Errors().GetCount();
  try {
    CComPtr<IMAPIProgress> progress = CreateProgress();
    RunCopier(progress);
    m_progress.ShowWindow(SW_HIDE);
    // Before the window closes: what was done, and where the log is.
    CString text = DescribeRun(theReportFile.Errors().GetCount() > errorsBefore);
    if (const CString path = theReportFile.GetPath(); !path.IsEmpty()) {
      CString log;
      log.LoadString(IDS_RUN_LOG);
      text += "\n\n";
      text.AppendFormat(log, path.GetString());
    }
    MessageBox(text, m_strTitle, MB_OK | MB_ICONINFORMATION);
    EndDialog(IDOK);
  } catch (CException* e) {
    theReportFile.ReportException(e);
    ShowRunError(ErrorText(e));
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during copying operation");
    ShowRunError("Unhandled exception during copying operation");
  }
  if (!m_strMailTo.IsEmpty() && theReportFile.HasErrors()) {
    try {
      theReportFile.SendReportMail(CTeskMAPISession(m_session), CString(m_strMailTo));
    } catch (CException* e) {
      theReportFile.ReportException(e);
      e->Delete();
    } catch (...) {
      theReportFile.Log(LOG_ERROR, "Unhandled exception during sending report mail message.");
    }
  }
  m_progress.ShowWindow(SW_HIDE);
  EnableRunControls(TRUE);
  m_bRunning = FALSE;
}

void CTeskMainDialog::PumpMessages() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!IsDialogMessage(m_hWnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
    }
  }
}

LRESULT CTeskMainDialog::OnProgressPos(WPARAM, LPARAM lParam) {
  m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(lParam), 0);
  PumpMessages();
  return 0;
}

LRESULT CTeskMainDialog::OnProgressRange(WPARAM wParam, LPARAM lParam) {
  m_progress.SendMessage(PBM_SETRANGE32, wParam, lParam);
  return 0;
}

LRESULT CTeskMainDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PROGRESS_POS_MSG) return OnProgressPos(wParam, lParam);
  if (message == WM_PROGRESS_RANGE_MSG) return OnProgressRange(wParam, lParam);
  return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CTeskMainDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  const UINT id = LOWORD(wParam);
  const UINT code = HIWORD(wParam);
  if (code == BN_CLICKED) {
    switch (id) {
      case IDC_SELECT_SOURCE:
        OnSelectSource();
        return TRUE;
      case IDC_SELECT_TARGET:
        OnSelectTarget();
        return TRUE;
      case IDC_RUN:
        OnRun();
        return TRUE;
      default:
        break;
    }
  }
  if (id == IDC_MAILTO && code == EN_CHANGE) {
    UpdateData(TRUE);
    UpdateCommandLine();
    return TRUE;
  }
  if (OnProgramCommand(id, code)) return TRUE;
  return CDialog::OnCommand(wParam, lParam);
}

HBRUSH CTeskMainDialog::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
  HBRUSH brush = CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
  if (pWnd && pWnd->GetDlgCtrlID() == IDC_COPYRIGHT) pDC->SetTextColor(RGB(0, 0, 255));
  return brush;
}

BOOL CTeskMainDialog::PreTranslateMessage(MSG* pMsg) {
  if (m_pToolTip) m_pToolTip->RelayEvent(pMsg);
  // Enter while typing the address is no order to run.
  if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_RETURN && pMsg->hwnd == m_editMailTo.m_hWnd) return TRUE;
  return CDialog::PreTranslateMessage(pMsg);
}

void CTeskMainDialog::OnOK() {
  if (m_bRunning) return;
  CDialog::OnOK();
}

void CTeskMainDialog::OnCancel() {
  if (m_bRunning) return;
  CDialog::OnCancel();
}

// The window grows to the right and down. What reaches the right margin of
// the command line (that field, the mail address, the lines, the status
// line, the progress bar, the link) grows with the width; the buttons and
// the icon in the right half move with the right edge; the rows below the
// mail address stay at the foot of the window.
void CTeskMainDialog::SetUpLayout() {
  CWnd* cmdLine = GetDlgItem(IDC_CMDLINE);
  CWnd* mailTo = GetDlgItem(IDC_MAILTO);
  if (!cmdLine || !mailTo || !m_layout.Create(this)) return;
  CRect cmd, mail;
  cmdLine->GetWindowRect(&cmd);
  ScreenToClient(&cmd);
  mailTo->GetWindowRect(&mail);
  ScreenToClient(&mail);
  for (CWnd* child = GetWindow(GW_CHILD); child; child = child->GetWindow(GW_HWNDNEXT)) {
    CRect r;
    child->GetWindowRect(&r);
    ScreenToClient(&r);
    char kind[32] = {};
    ::GetClassName(child->m_hWnd, kind, sizeof kind);
    const DWORD style = child->GetStyle();
    const bool pushButton = CString(kind) == "Button" && (style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON;
    const bool icon = CString(kind) == "Static" && (style & SS_TYPEMASK) == SS_ICON;
    CDynamicLayout::MoveSettings move;
    CDynamicLayout::SizeSettings size;
    if (pushButton || icon) {
      if (r.left >= cmd.CenterPoint().x) move.m_nXRatio = 100;
    } else if (r.right >= cmd.right) {
      size.m_nXRatio = 100;
    }
    if (r.top >= mail.bottom) move.m_nYRatio = 100;
    m_layout.AddItem(child->m_hWnd, move, size);
  }
}

// The link shows the help page's path, which depends on where the program
// lives: a longer one than the template planned for widens the window (up
// to twice its width) until the link shows it whole.
void CTeskMainDialog::WidenForLink() {
  CWnd* link = GetDlgItem(IDC_LINK);
  if (!link) return;
  CString text;
  link->GetWindowText(text);
  CRect room;
  link->GetClientRect(&room);
  const CSize extent = CClientDC(link).GetTextExtent(text);
  CRect client;
  GetClientRect(&client);
  const int missing = std::min(extent.cx + 1 - room.Width(), client.Width());
  if (missing <= 0) return;
  SetWindowPos(nullptr, 0, 0, client.Width() + missing, client.Height(), SWP_NOMOVE | SWP_NOZORDER);
}

void CTeskMainDialog::OnSize(UINT nType, int cx, int cy) {
  CDialog::OnSize(nType, cx, cy);
  m_layout.Adjust();
}
