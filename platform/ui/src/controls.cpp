// The basic controls, the progress bar and tool tips.
#include <QAbstractButton>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolTip>

#include "internal.h"

using namespace tesk::ui;

IMPLEMENT_DYNAMIC(CStatic, CWnd)
IMPLEMENT_DYNAMIC(CButton, CWnd)
IMPLEMENT_DYNAMIC(CEdit, CWnd)
IMPLEMENT_DYNAMIC(CProgressCtrl, CWnd)
IMPLEMENT_DYNAMIC(CToolTipCtrl, CWnd)

namespace tesk::ui {

std::unique_ptr<CWnd> NewTemporaryWnd(Kind kind) {
  switch (kind) {
    case Kind::Dialog:
      return std::make_unique<CDialog>();
    case Kind::Static:
      return std::make_unique<CStatic>();
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::GroupBox:
      return std::make_unique<CButton>();
    case Kind::Edit:
      return std::make_unique<CEdit>();
    case Kind::Progress:
      return std::make_unique<CProgressCtrl>();
    case Kind::Tree:
      return std::make_unique<CTreeCtrl>();
    default:
      return std::make_unique<CWnd>();
  }
}

}  // namespace tesk::ui

namespace {

// Create() of a control class: a control of the kind in the parent.
BOOL CreateChild(CWnd& self, DlgItem kind, LPCTSTR text, DWORD style, const RECT& rect, CWnd* parent, UINT nID) {
  if (self.m_hWnd != nullptr || parent == nullptr || !IsWindow(parent->m_hWnd)) return FALSE;
  const QRect px(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  const HWND h = CreateControl(parent->m_hWnd, kind, text, style, 0, px, static_cast<int>(nID));
  if (h == nullptr || !self.Attach(h)) return FALSE;
  CWndAccess::CreatedWindow(&self) = true;
  return TRUE;
}

}  // namespace

// --- CStatic, CButton, CEdit -----------------------------------------------------

BOOL CStatic::Create(LPCTSTR lpszText, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
  return CreateChild(*this, DlgItem::Static, lpszText, dwStyle, rect, pParentWnd, nID);
}

HICON CStatic::SetIcon(HICON hIcon) {
  return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(hIcon), 0));
}

HICON CStatic::GetIcon() const { return reinterpret_cast<HICON>(SendMessage(STM_GETICON, 0, 0)); }

BOOL CButton::Create(LPCTSTR lpszCaption, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
  const DWORD type = dwStyle & BS_TYPEMASK;
  DlgItem kind = DlgItem::PushButton;
  if (type == BS_DEFPUSHBUTTON) kind = DlgItem::DefPushButton;
  if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE) {
    kind = DlgItem::AutoCheckBox;
  }
  if (type == BS_GROUPBOX) kind = DlgItem::GroupBox;
  return CreateChild(*this, kind, lpszCaption, dwStyle, rect, pParentWnd, nID);
}

int CButton::GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK, 0, 0)); }
void CButton::SetCheck(int nCheck) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck), 0); }
UINT CButton::GetButtonStyle() const { return GetStyle() & 0xFFFF; }
void CButton::Click() { SendMessage(BM_CLICK, 0, 0); }

BOOL CEdit::Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
  return CreateChild(*this, DlgItem::EditText, "", dwStyle, rect, pParentWnd, nID);
}

void CEdit::SetSel(int nStartChar, int nEndChar, BOOL) {
  SendMessage(EM_SETSEL, static_cast<WPARAM>(static_cast<LONG_PTR>(nStartChar)), nEndChar);
}

void CEdit::ReplaceSel(LPCTSTR lpszNewText, BOOL) {
  QWidget* w = AfxWidgetFromHandle(m_hWnd);
  const QString text = Utf8(lpszNewText);
  if (auto* line = qobject_cast<QLineEdit*>(w)) {
    line->insert(text);
  } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
    QString t = text;
    t.remove(QLatin1Char('\r'));
    plain->insertPlainText(t);
  }
}

BOOL CEdit::SetReadOnly(BOOL bReadOnly) { return SendMessage(EM_SETREADONLY, bReadOnly, 0) != 0; }

void CEdit::SetLimitText(UINT nMax) { SendMessage(EM_LIMITTEXT, nMax, 0); }

UINT CEdit::GetLimitText() const {
  auto* line = qobject_cast<QLineEdit*>(AfxWidgetFromHandle(m_hWnd));
  return line ? static_cast<UINT>(line->maxLength()) : 0;
}

int CEdit::GetLineCount() const {
  QWidget* w = AfxWidgetFromHandle(m_hWnd);
  if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) return plain->document()->blockCount();
  return w ? 1 : 0;
}

// --- CProgressCtrl -------------------------------------------------------------------

BOOL CProgressCtrl::Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
  return CreateChild(*this, DlgItem::Progress, "", dwStyle, rect, pParentWnd, nID);
}

void CProgressCtrl::SetRange(short nLower, short nUpper) {
  SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper));
}

void CProgressCtrl::SetRange32(int nLower, int nUpper) {
  SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(static_cast<LONG_PTR>(nLower)), nUpper);
}

void CProgressCtrl::GetRange(int& nLower, int& nUpper) const {
  PBRANGE range{0, 0};
  SendMessage(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  nLower = range.iLow;
  nUpper = range.iHigh;
}

int CProgressCtrl::SetPos(int nPos) {
  return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(static_cast<LONG_PTR>(nPos)), 0));
}

int CProgressCtrl::GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }

int CProgressCtrl::OffsetPos(int nPos) {
  return static_cast<int>(SendMessage(PBM_DELTAPOS, static_cast<WPARAM>(static_cast<LONG_PTR>(nPos)), 0));
}

int CProgressCtrl::SetStep(int nStep) {
  return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(static_cast<LONG_PTR>(nStep)), 0));
}

int CProgressCtrl::StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }

// --- CToolTipCtrl --------------------------------------------------------------------

namespace {

// Breaks the text into lines no wider than `width` pixels in the tool tip
// font (a word wider than that gets a line of its own).
QString WrapTip(const QString& text, int width) {
  if (width <= 0 || !UiRunning()) return text;
  const QFontMetrics fm(QToolTip::font());
  QString out;
  const QStringList paragraphs = text.split(QLatin1Char('\n'));
  for (qsizetype p = 0; p < paragraphs.size(); ++p) {
    if (p > 0) out += QLatin1Char('\n');
    QString line;
    for (const QString& word : paragraphs[p].split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
      const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
      if (!line.isEmpty() && fm.horizontalAdvance(candidate) > width) {
        out += line + QLatin1Char('\n');
        line = word;
      } else {
        line = candidate;
      }
    }
    out += line;
  }
  return out;
}

bool IsCallbackText(LPCTSTR text) { return text == LPSTR_TEXTCALLBACK; }

}  // namespace

CToolTipCtrl::CToolTipCtrl() = default;

CToolTipCtrl::~CToolTipCtrl() { CToolTipCtrl::DestroyWindow(); }

BOOL CToolTipCtrl::Create(CWnd* pParentWnd, DWORD) {
  if (m_hWnd != nullptr) return FALSE;
  const HWND h = Registry::Get().RegisterWindowless(Kind::ToolTip, pParentWnd ? pParentWnd->m_hWnd : nullptr);
  return Attach(h);
}

BOOL CToolTipCtrl::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  const bool active = m_bActive;
  m_bActive = FALSE;
  for (const auto& [hWnd, text] : m_tools) Apply(hWnd);
  m_bActive = active;
  m_tools.clear();
  const HWND h = m_hWnd;
  Registry::Get().Unregister(h);
  return TRUE;
}

void CToolTipCtrl::Apply(HWND hWnd) const {
  QWidget* w = AfxWidgetFromHandle(hWnd);
  if (w == nullptr) return;
  auto it = m_tools.find(hWnd);
  if (!m_bActive || it == m_tools.end()) {
    w->setToolTip(QString());
    return;
  }
  w->setToolTip(WrapTip(Utf8(it->second), m_nMaxTipWidth));
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, LPCTSTR lpszText, LPCRECT, UINT_PTR) {
  if (m_hWnd == nullptr || pWnd == nullptr || !IsWindow(pWnd->m_hWnd)) return FALSE;
  m_tools[pWnd->m_hWnd] = IsCallbackText(lpszText) || lpszText == nullptr ? CString() : CString(lpszText);
  Apply(pWnd->m_hWnd);
  return TRUE;
}

BOOL CToolTipCtrl::AddTool(CWnd* pWnd, UINT nIDText, LPCRECT lpRectTool, UINT_PTR nIDTool) {
  CString text;
  text.LoadString(nIDText);
  return AddTool(pWnd, text, lpRectTool, nIDTool);
}

void CToolTipCtrl::DelTool(CWnd* pWnd, UINT_PTR) {
  if (pWnd == nullptr) return;
  if (m_tools.erase(pWnd->m_hWnd) != 0) Apply(pWnd->m_hWnd);
}

void CToolTipCtrl::UpdateTipText(LPCTSTR lpszText, CWnd* pWnd, UINT_PTR) {
  if (pWnd == nullptr) return;
  auto it = m_tools.find(pWnd->m_hWnd);
  if (it == m_tools.end()) return;
  it->second = IsCallbackText(lpszText) || lpszText == nullptr ? CString() : CString(lpszText);
  Apply(pWnd->m_hWnd);
}

void CToolTipCtrl::GetText(CString& str, CWnd* pWnd, UINT_PTR) const {
  str.Empty();
  if (pWnd == nullptr) return;
  auto it = m_tools.find(pWnd->m_hWnd);
  if (it != m_tools.end()) str = it->second;
}

int CToolTipCtrl::GetToolCount() const {
  int n = 0;
  for (const auto& [hWnd, text] : m_tools) {
    if (IsWindow(hWnd)) ++n;
  }
  return n;
}

int CToolTipCtrl::SetMaxTipWidth(int iWidth) {
  const int old = m_nMaxTipWidth;
  m_nMaxTipWidth = iWidth;
  for (const auto& [hWnd, text] : m_tools) Apply(hWnd);
  return old;
}

void CToolTipCtrl::SetDelayTime(UINT) {}
void CToolTipCtrl::SetDelayTime(DWORD, int) {}

void CToolTipCtrl::Activate(BOOL bActivate) {
  m_bActive = bActivate ? TRUE : FALSE;
  for (const auto& [hWnd, text] : m_tools) Apply(hWnd);
}

void CToolTipCtrl::RelayEvent(LPMSG) {}
