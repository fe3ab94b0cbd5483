// CWnd and the window functions by handle.
#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace tesk::ui;

namespace {

HWND g_capture = nullptr;

QWidget* WidgetOf(HWND h) {
  WindowRecord* rec = Registry::Get().Find(h);
  return rec ? rec->widget.data() : nullptr;
}

QRect ClientArea(QWidget* w) {
  if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) return area->viewport()->rect();
  return w->rect();
}

DWORD CurrentStyle(const WindowRecord& rec) {
  DWORD style = rec.style & ~(WS_VISIBLE | WS_DISABLED);
  if (QWidget* w = rec.widget) {
    if (!w->isHidden()) style |= WS_VISIBLE;
    if (w->testAttribute(Qt::WA_ForceDisabled)) style |= WS_DISABLED;
  }
  return style;
}

DWORD StartTicks() {
  static QElapsedTimer timer = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  return static_cast<DWORD>(timer.elapsed());
}

}  // namespace

// --- window functions by handle --------------------------------------------------

BOOL IsWindow(HWND hWnd) { return Registry::Get().Find(hWnd) != nullptr; }

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
  if (hDlg == nullptr) return nullptr;
  for (HWND child : Registry::Get().Children(hDlg)) {
    const WindowRecord* rec = Registry::Get().Find(child);
    if (rec->id == nIDDlgItem && rec->kind != Kind::ToolTip) return child;
  }
  return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? rec->id : 0;
}

HWND GetParent(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? rec->parent : nullptr;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
  Registry& registry = Registry::Get();
  const WindowRecord* rec = registry.Find(hWnd);
  if (rec == nullptr) return nullptr;
  const HWND parent = uCmd == GW_CHILD ? hWnd : rec->parent;
  if (parent == nullptr) return nullptr;
  std::vector<HWND> windows;
  for (HWND child : registry.Children(parent)) {
    if (registry.Find(child)->kind != Kind::ToolTip) windows.push_back(child);
  }
  if (windows.empty()) return nullptr;
  const auto at = std::find(windows.begin(), windows.end(), hWnd);
  switch (uCmd) {
    case GW_CHILD:
    case GW_HWNDFIRST:
      return windows.front();
    case GW_HWNDLAST:
      return windows.back();
    case GW_HWNDNEXT:
      return at == windows.end() || at + 1 == windows.end() ? nullptr : *(at + 1);
    case GW_HWNDPREV:
      return at == windows.end() || at == windows.begin() ? nullptr : *(at - 1);
    default:
      return nullptr;
  }
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (!IsWindow(hWnd)) return FALSE;
  return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : "")) != 0;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  WindowRecord* rec = Registry::Get().Find(hWnd);
  if (rec == nullptr) {
    *lpString = '\0';
    return 0;
  }
  const std::string text = GetText(*rec);
  std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(nMaxCount - 1));
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(lpString, text.data(), n);
  lpString[n] = '\0';
  return static_cast<int>(n);
}

int GetWindowTextLengthA(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? static_cast<int>(GetText(*rec).size()) : 0;
}

BOOL SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  return SetWindowTextA(GetDlgItem(hDlg, nIDDlgItem), lpString);
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return FALSE;
  const bool wasDisabled = w->testAttribute(Qt::WA_ForceDisabled);
  w->setEnabled(bEnable != FALSE);
  return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hWnd) {
  QWidget* w = WidgetOf(hWnd);
  return (w && w->isEnabled()) ? TRUE : FALSE;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return FALSE;
  const bool wasVisible = !w->isHidden();
  if (nCmdShow == SW_HIDE) {
    w->hide();
  } else if (!w->isWindow()) {
    w->show();
  } else {
    switch (nCmdShow) {
      case SW_SHOWMINIMIZED:
      case SW_MINIMIZE:
      case SW_SHOWMINNOACTIVE:
        w->showMinimized();
        break;
      case SW_SHOWMAXIMIZED:
        w->showMaximized();
        break;
      case SW_SHOWNORMAL:
      case SW_RESTORE:
        w->showNormal();
        break;
      default:
        w->show();
        break;
    }
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) {
  QWidget* w = WidgetOf(hWnd);
  return (w && w->isVisible()) ? TRUE : FALSE;
}

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return FALSE;
  if (lpRect) {
    w->update(QRect(lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top));
  } else {
    w->update();
  }
  return TRUE;
}

BOOL UpdateWindow(HWND hWnd) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return FALSE;
  if (w->isVisible()) w->repaint();
  return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr || lpRect == nullptr) return FALSE;
  const QRect r = ClientArea(w);
  *lpRect = RECT{0, 0, r.width(), r.height()};
  return TRUE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr || lpRect == nullptr) return FALSE;
  QRect r = w->isWindow() ? w->frameGeometry() : QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
  *lpRect = RECT{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  return TRUE;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return FALSE;
  if (w->isWindow()) {
    w->move(X, Y);
    w->resize(nWidth, nHeight);
  } else {
    w->setGeometry(X, Y, nWidth, nHeight);
  }
  return TRUE;
}

BOOL ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr || lpPoint == nullptr) return FALSE;
  const QPoint p = w->mapToGlobal(QPoint(lpPoint->x, lpPoint->y));
  *lpPoint = POINT{p.x(), p.y()};
  return TRUE;
}

BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr || lpPoint == nullptr) return FALSE;
  const QPoint p = w->mapFromGlobal(QPoint(lpPoint->x, lpPoint->y));
  *lpPoint = POINT{p.x(), p.y()};
  return TRUE;
}

BOOL GetCursorPos(LPPOINT lpPoint) {
  if (lpPoint == nullptr) return FALSE;
  const QPoint p = UiRunning() ? QCursor::pos() : QPoint();
  *lpPoint = POINT{p.x(), p.y()};
  return TRUE;
}

HWND GetFocus() {
  if (!UiRunning()) return nullptr;
  QWidget* f = QApplication::focusWidget();
  if (f == nullptr) {
    QWidget* top = QApplication::activeModalWidget();
    if (top == nullptr) top = QApplication::activeWindow();
    if (top != nullptr) f = top->focusWidget();
  }
  return f ? AfxHandleFromWidget(f) : nullptr;
}

HWND SetFocus(HWND hWnd) {
  const HWND previous = GetFocus();
  if (hWnd == nullptr) {
    if (UiRunning()) {
      if (QWidget* f = QApplication::focusWidget()) f->clearFocus();
    }
    return previous;
  }
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return nullptr;
  w->setFocus(Qt::OtherFocusReason);
  return previous;
}

HWND SetCapture(HWND hWnd) {
  const HWND previous = GetCapture();
  QWidget* w = WidgetOf(hWnd);
  if (w == nullptr) return previous;
  g_capture = hWnd;
  if (w->isVisible()) w->grabMouse();
  return previous;
}

BOOL ReleaseCapture() {
  if (g_capture != nullptr) {
    QWidget* w = WidgetOf(g_capture);
    g_capture = nullptr;
    if (w && QWidget::mouseGrabber() == w) w->releaseMouse();
  }
  return TRUE;
}

HWND GetCapture() {
  if (g_capture != nullptr && !IsWindow(g_capture)) g_capture = nullptr;
  return g_capture;
}

BOOL DestroyWindow(HWND hWnd) { return DestroyWindowNow(hWnd, false); }

DWORD GetWindowStyle(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? CurrentStyle(*rec) : 0;
}

int GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  if (lpClassName == nullptr || nMaxCount <= 0) return 0;
  *lpClassName = '\0';
  WindowRecord* rec = Registry::Get().Find(hWnd);
  if (rec == nullptr) return 0;
  const char* name = "";
  switch (rec->kind) {
    case Kind::Dialog:
      name = "#32770";
      break;
    case Kind::Static:
      name = "Static";
      break;
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::GroupBox:
      name = "Button";
      break;
    case Kind::Edit:
      name = "Edit";
      break;
    case Kind::Progress:
      name = "msctls_progress32";
      break;
    case Kind::Tree:
      name = "SysTreeView32";
      break;
    case Kind::ToolTip:
      name = "tooltips_class32";
      break;
    case Kind::Generic:
      name = "TeskWindow";
      break;
  }
  const std::size_t n = std::min(std::strlen(name), static_cast<std::size_t>(nMaxCount - 1));
  std::memcpy(lpClassName, name, n);
  lpClassName[n] = '\0';
  return static_cast<int>(n);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (!UiRunning() || !IsWindow(hWnd)) return FALSE;
  QTimer::singleShot(0, QCoreApplication::instance(), [=] { SendMessageA(hWnd, Msg, wParam, lParam); });
  return TRUE;
}

BOOL MessageBeep(UINT) {
  if (UiRunning()) QApplication::beep();
  return TRUE;
}

// --- the message pump ------------------------------------------------------------

namespace {
bool& PumpAnswered() {
  static thread_local bool answered = false;
  return answered;
}
void PumpMessage(LPMSG lpMsg) {
  if (lpMsg) *lpMsg = MSG{nullptr, WM_NULL, 0, 0, StartTicks(), {0, 0}};
}
}  // namespace

BOOL PeekMessageA(LPMSG lpMsg, HWND, UINT, UINT, UINT wRemoveMsg) {
  if (!UiRunning() || !(wRemoveMsg & PM_REMOVE)) return FALSE;
  if (PumpAnswered()) {
    PumpAnswered() = false;
    return FALSE;
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  PumpAnswered() = true;
  PumpMessage(lpMsg);
  return TRUE;
}

BOOL GetMessageA(LPMSG lpMsg, HWND, UINT, UINT) {
  if (!UiRunning()) return FALSE;
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  PumpMessage(lpMsg);
  return TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg == nullptr || lpMsg->hwnd == nullptr || lpMsg->message == WM_NULL) return 0;
  return SendMessageA(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

BOOL IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
  if (lpMsg == nullptr) return FALSE;
  if (lpMsg->message == WM_NULL && lpMsg->hwnd == nullptr) return TRUE;
  for (HWND h = lpMsg->hwnd; h != nullptr; h = GetParent(h)) {
    if (h == hDlg) {
      SendMessageA(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
      return TRUE;
    }
    WindowRecord* rec = Registry::Get().Find(h);
    if (rec == nullptr || rec->kind == Kind::Dialog) break;
  }
  return FALSE;
}

// --- CWnd ---------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CWnd, CObject)

const CWnd CWnd::wndTop(HWND_TOP);
const CWnd CWnd::wndBottom(HWND_BOTTOM);
const CWnd CWnd::wndTopMost(HWND_TOPMOST);
const CWnd CWnd::wndNoTopMost(HWND_NOTOPMOST);

CWnd::CWnd() = default;

CWnd::~CWnd() {
  if (m_hWnd == nullptr) return;
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  if (rec == nullptr || rec->permanent != this) return;
  if (m_bCreatedWindow) {
    DestroyWindowNow(m_hWnd, false);
  } else {
    Detach();
  }
}

CWnd* CWnd::FromHandle(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  if (rec == nullptr) return nullptr;
  if (rec->permanent) return rec->permanent;
  if (!rec->temporary) {
    rec->temporary = NewTemporaryWnd(rec->kind);
    rec->temporary->m_hWnd = hWnd;
  }
  return rec->temporary.get();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? rec->permanent : nullptr;
}

BOOL CWnd::Attach(HWND hWndNew) {
  WindowRecord* rec = Registry::Get().Find(hWndNew);
  if (rec == nullptr || m_hWnd != nullptr) return FALSE;
  if (rec->permanent != nullptr && rec->permanent != this) return FALSE;
  rec->permanent = this;
  m_hWnd = hWndNew;
  if (QWidget* w = rec->widget) {
    // Mouse moves without a button: OnMouseMove and OnSetCursor.
    w->setMouseTracking(true);
    if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) area->viewport()->setMouseTracking(true);
  }
  return TRUE;
}

HWND CWnd::Detach() {
  const HWND h = m_hWnd;
  if (WindowRecord* rec = Registry::Get().Find(h)) {
    if (rec->permanent == this) rec->permanent = nullptr;
  }
  m_hWnd = nullptr;
  m_bCreatedWindow = false;
  return h;
}

BOOL CWnd::SubclassWindow(HWND hWnd) { return Attach(hWnd); }

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent) {
  if (pParent == nullptr) return FALSE;
  const HWND h = ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID));
  return h != nullptr && SubclassWindow(h);
}

HWND CWnd::UnsubclassWindow() { return Detach(); }

BOOL CWnd::DestroyWindow() { return m_hWnd ? DestroyWindowNow(m_hWnd, false) : FALSE; }

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }
int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
CWnd* CWnd::GetWindow(UINT nCmd) const { return FromHandle(::GetWindow(m_hWnd, nCmd)); }
CWnd* CWnd::GetFocus() { return FromHandle(::GetFocus()); }
CWnd* CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
CWnd* CWnd::GetCapture() { return FromHandle(::GetCapture()); }
CWnd* CWnd::SetCapture() { return FromHandle(::SetCapture(m_hWnd)); }

void CWnd::SetWindowText(LPCTSTR lpszString) { ::SetWindowTextA(m_hWnd, lpszString); }

void CWnd::GetWindowText(CString& rString) const {
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  rString = rec ? CString(GetText(*rec)) : CString();
}

int CWnd::GetWindowText(LPTSTR lpszStringBuf, int nMaxCount) const {
  return ::GetWindowTextA(m_hWnd, lpszStringBuf, nMaxCount);
}

int CWnd::GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }

void CWnd::SetDlgItemText(int nID, LPCTSTR lpszString) { ::SetDlgItemTextA(m_hWnd, nID, lpszString); }

int CWnd::GetDlgItemText(int nID, CString& rString) const {
  WindowRecord* rec = Registry::Get().Find(::GetDlgItem(m_hWnd, nID));
  rString = rec ? CString(GetText(*rec)) : CString();
  return rString.GetLength();
}

void CWnd::SetDlgItemInt(int nID, UINT nValue, BOOL bSigned) {
  CString text;
  if (bSigned) {
    text.Format("%d", static_cast<int>(nValue));
  } else {
    text.Format("%u", nValue);
  }
  SetDlgItemText(nID, text);
}

UINT CWnd::GetDlgItemInt(int nID, BOOL* lpTrans, BOOL bSigned) const {
  CString text;
  GetDlgItemText(nID, text);
  text.Trim();
  const char* s = text.GetString();
  char* end = nullptr;
  errno = 0;
  long long value = bSigned ? std::strtoll(s, &end, 10) : static_cast<long long>(std::strtoull(s, &end, 10));
  const bool ok = !text.IsEmpty() && end && *end == '\0' && errno == 0 &&
                  (bSigned ? (value >= -2147483648LL && value <= 2147483647LL)
                           : (s[0] != '-' && value >= 0 && value <= 4294967295LL));
  if (lpTrans) *lpTrans = ok ? TRUE : FALSE;
  return ok ? static_cast<UINT>(value) : 0;
}

void CWnd::CheckDlgButton(int nIDButton, UINT nCheck) { SendDlgItemMessage(nIDButton, BM_SETCHECK, nCheck, 0); }

UINT CWnd::IsDlgButtonChecked(int nIDButton) const {
  return static_cast<UINT>(SendDlgItemMessage(nIDButton, BM_GETCHECK, 0, 0));
}

BOOL CWnd::EnableWindow(BOOL bEnable) { return ::EnableWindow(m_hWnd, bEnable); }
BOOL CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
BOOL CWnd::ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
  return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? 1 : 0, reinterpret_cast<LPARAM>(hIcon)));
}

HICON CWnd::GetIcon(BOOL bBigIcon) const {
  return reinterpret_cast<HICON>(SendMessage(WM_GETICON, bBigIcon ? 1 : 0, 0));
}

CFont* CWnd::GetFont() const {
  return CFont::FromHandle(reinterpret_cast<HFONT>(SendMessage(WM_GETFONT, 0, 0)));
}

void CWnd::SetFont(CFont* pFont, BOOL bRedraw) {
  if (pFont == nullptr) return;
  SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont->m_hObject), bRedraw);
}

DWORD CWnd::GetStyle() const { return ::GetWindowStyle(m_hWnd); }

DWORD CWnd::GetExStyle() const {
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  return rec ? rec->exStyle : 0;
}

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT) {
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  if (rec == nullptr) return FALSE;
  const DWORD before = CurrentStyle(*rec);
  const DWORD after = (before & ~dwRemove) | dwAdd;
  if (after == before) return FALSE;
  rec->style = after;
  if (QWidget* w = rec->widget) {
    if ((after ^ before) & WS_VISIBLE) w->setVisible((after & WS_VISIBLE) != 0);
    if ((after ^ before) & WS_DISABLED) w->setEnabled((after & WS_DISABLED) == 0);
    if ((after ^ before) & WS_TABSTOP) {
      if (after & WS_TABSTOP) {
        w->setFocusPolicy(Qt::StrongFocus);
      } else {
        w->setFocusPolicy(rec->kind == Kind::Static ? Qt::NoFocus : Qt::ClickFocus);
      }
    }
    if (rec->kind == Kind::Static) {
      if (auto* label = qobject_cast<QLabel*>(w)) {
        Qt::Alignment a = (after & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop;
        const DWORD kind = after & SS_TYPEMASK;
        a |= kind == SS_CENTER ? Qt::AlignHCenter : kind == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
        label->setAlignment(a);
        SetText(*rec, rec->text.c_str());
      }
    }
    if (rec->kind == Kind::Edit && ((after ^ before) & ES_READONLY)) {
      ClassWindowProc(*rec, EM_SETREADONLY, (after & ES_READONLY) ? TRUE : FALSE, 0, false);
    }
  }
  return TRUE;
}

void CWnd::Invalidate(BOOL bErase) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
void CWnd::InvalidateRect(LPCRECT lpRect, BOOL bErase) { ::InvalidateRect(m_hWnd, lpRect, bErase); }
void CWnd::UpdateWindow() { ::UpdateWindow(m_hWnd); }
void CWnd::RedrawWindow() {
  if (QWidget* w = WidgetOf(m_hWnd)) w->repaint();
}

void CWnd::GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
void CWnd::GetWindowRect(LPRECT lpRect) const { ::GetWindowRect(m_hWnd, lpRect); }
void CWnd::ClientToScreen(LPPOINT lpPoint) const { ::ClientToScreen(m_hWnd, lpPoint); }
void CWnd::ClientToScreen(LPRECT lpRect) const {
  if (lpRect == nullptr) return;
  ::ClientToScreen(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->left));
  ::ClientToScreen(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->right));
}
void CWnd::ScreenToClient(LPPOINT lpPoint) const { ::ScreenToClient(m_hWnd, lpPoint); }
void CWnd::ScreenToClient(LPRECT lpRect) const {
  if (lpRect == nullptr) return;
  ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->left));
  ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->right));
}
void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint) {
  ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
}
void CWnd::MoveWindow(LPCRECT lpRect, BOOL bRepaint) {
  if (lpRect) MoveWindow(lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top, bRepaint);
}

BOOL CWnd::SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
  QWidget* w = WidgetOf(m_hWnd);
  if (w == nullptr) return FALSE;
  if (!(nFlags & SWP_NOZORDER) && pWndInsertAfter != nullptr && w->isWindow()) {
    const HWND after = pWndInsertAfter->m_hWnd;
    if (after == HWND_TOPMOST || after == HWND_NOTOPMOST) {
      const bool wasVisible = w->isVisible();
      w->setWindowFlag(Qt::WindowStaysOnTopHint, after == HWND_TOPMOST);
      if (wasVisible) w->show();
    } else if (after == HWND_TOP) {
      w->raise();
    } else if (after == HWND_BOTTOM) {
      w->lower();
    }
  }
  if (!(nFlags & SWP_NOMOVE)) w->move(x, y);
  if (!(nFlags & SWP_NOSIZE)) w->resize(cx, cy);
  if (nFlags & SWP_SHOWWINDOW) w->show();
  if (nFlags & SWP_HIDEWINDOW) w->hide();
  return TRUE;
}

void CWnd::CenterWindow(CWnd* pAlternateOwner) {
  QWidget* w = WidgetOf(m_hWnd);
  if (w == nullptr) return;
  QWidget* owner = pAlternateOwner ? WidgetOf(pAlternateOwner->m_hWnd) : nullptr;
  if (owner == nullptr && w->isWindow()) owner = w->parentWidget() ? w->parentWidget()->window() : nullptr;
  if (!w->isWindow()) {
    const QWidget* parent = w->parentWidget();
    if (parent) w->move((parent->width() - w->width()) / 2, (parent->height() - w->height()) / 2);
    return;
  }
  QRect area;
  if (owner && owner->isVisible()) {
    area = owner->frameGeometry();
  } else if (QScreen* screen = w->screen()) {
    area = screen->availableGeometry();
  }
  if (area.isValid()) w->move(area.center() - QPoint(w->frameGeometry().width() / 2, w->frameGeometry().height() / 2));
}

void CWnd::BringWindowToTop() {
  if (QWidget* w = WidgetOf(m_hWnd)) w->raise();
}

BOOL CWnd::SetForegroundWindow() {
  QWidget* w = WidgetOf(m_hWnd);
  if (w == nullptr) return FALSE;
  w->window()->raise();
  w->window()->activateWindow();
  return TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendDlgItemMessage(int nID, UINT message, WPARAM wParam, LPARAM lParam) const {
  return ::SendMessageA(::GetDlgItem(m_hWnd, nID), message, wParam, lParam);
}

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType) {
  return ::MessageBoxA(m_hWnd, lpszText, lpszCaption ? lpszCaption : AfxGetAppName(), nType);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer) {
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  if (rec == nullptr || !rec->widget) return 0;
  KillTimer(nIDEvent);
  const int qtId = rec->widget->startTimer(static_cast<int>(std::min<UINT>(nElapse, 0x7FFFFFFF)));
  if (qtId == 0) return 0;
  rec->timers[qtId] = {nIDEvent, lpfnTimer};
  return nIDEvent;
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent) {
  WindowRecord* rec = Registry::Get().Find(m_hWnd);
  if (rec == nullptr) return FALSE;
  for (auto it = rec->timers.begin(); it != rec->timers.end(); ++it) {
    if (it->second.first == nIDEvent) {
      if (rec->widget) rec->widget->killTimer(it->first);
      rec->timers.erase(it);
      return TRUE;
    }
  }
  return FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (OnCommand(wParam, lParam)) return 0;
      break;
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMHDR*>(lParam);
      LRESULT result = 0;
      if (nm && nm->hwndFrom && nm->hwndFrom != m_hWnd && !IsReflected(nm)) {
        if (CWnd* child = FromHandlePermanent(nm->hwndFrom)) {
          MarkReflected(nm, true);
          const BOOL handled = child->OnChildNotify(WM_NOTIFY, wParam, lParam, &result);
          MarkReflected(nm, false);
          if (handled) return result;
        }
      }
      if (OnNotify(wParam, lParam, &result)) return result;
      break;
    }
    case WM_PAINT:
      if (CDC* dc = CurrentPaintDC(m_hWnd)) {
        OnPaint(*dc);
        return 0;
      }
      break;
    case WM_LBUTTONDOWN:
      OnLButtonDown(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_LBUTTONUP:
      OnLButtonUp(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_LBUTTONDBLCLK:
      OnLButtonDblClk(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_RBUTTONDOWN:
      OnRButtonDown(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_RBUTTONUP:
      OnRButtonUp(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove(static_cast<UINT>(wParam), CPoint(lParam));
      return 0;
    case WM_SETCURSOR:
      return OnSetCursor(FromHandle(reinterpret_cast<HWND>(wParam)), LOWORD(lParam), HIWORD(lParam));
    case WM_SETFOCUS:
      OnSetFocus(FromHandle(reinterpret_cast<HWND>(wParam)));
      return 0;
    case WM_KILLFOCUS:
      OnKillFocus(FromHandle(reinterpret_cast<HWND>(wParam)));
      return 0;
    case WM_KEYDOWN:
      OnKeyDown(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_KEYUP:
      OnKeyUp(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_CHAR:
      OnChar(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_GETDLGCODE:
      return OnGetDlgCode();
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(OnCtlColor(CDC::FromHandle(reinterpret_cast<HDC>(wParam)),
                                                  FromHandle(reinterpret_cast<HWND>(lParam)),
                                                  message - WM_CTLCOLORMSGBOX));
    case WM_TIMER:
      if (lParam != 0) {
        reinterpret_cast<TIMERPROC>(lParam)(m_hWnd, WM_TIMER, wParam, StartTicks());
      } else {
        OnTimer(wParam);
      }
      return 0;
    case WM_SIZE:
      OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

LRESULT CWnd::Default() {
  MessageFrame* frame = TopFrame();
  if (frame == nullptr || frame->hwnd != m_hWnd) return 0;
  return DefWindowProc(frame->message, frame->wParam, frame->lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  const auto hCtl = reinterpret_cast<HWND>(lParam);
  if (hCtl != nullptr && hCtl != m_hWnd) {
    if (CWnd* child = FromHandlePermanent(hCtl)) {
      LRESULT result = 0;
      if (child->OnChildNotify(WM_COMMAND, wParam, lParam, &result)) return TRUE;
    }
  }
  return FALSE;
}

BOOL CWnd::OnNotify(WPARAM, LPARAM, LRESULT*) { return FALSE; }
BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

void CWnd::OnPaint(CDC&) { Default(); }
void CWnd::OnLButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnLButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnLButtonDblClk(UINT, CPoint) { Default(); }
void CWnd::OnRButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnRButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnMouseMove(UINT, CPoint) { Default(); }
BOOL CWnd::OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }
void CWnd::OnSetFocus(CWnd*) { Default(); }
void CWnd::OnKillFocus(CWnd*) { Default(); }
void CWnd::OnKeyDown(UINT, UINT, UINT) { Default(); }
void CWnd::OnKeyUp(UINT, UINT, UINT) { Default(); }
void CWnd::OnChar(UINT, UINT, UINT) { Default(); }
UINT CWnd::OnGetDlgCode() { return static_cast<UINT>(Default()); }
HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) { return reinterpret_cast<HBRUSH>(Default()); }
void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnSize(UINT, int, int) { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnDestroy() { Default(); }
