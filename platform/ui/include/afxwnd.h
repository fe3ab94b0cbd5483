// The window classes of the application framework: geometry (CPoint,
// CSize, CRect), drawing (CFont, CDC), windows (CWnd), dialogs (CDialog with
// data exchange) and the basic controls (CStatic, CButton, CEdit), over Qt
// Widgets (library tesk_ui). No Qt header is needed to use them.
//
// How MFC code maps onto this layer:
//  - Message maps become virtual functions. A dialog handles its buttons,
//    check boxes and edits in OnCommand (LOWORD(wParam) is the control id,
//    HIWORD(wParam) BN_CLICKED or EN_CHANGE) and its own messages (WM_USER
//    + n, sent with SendMessage) in WindowProc:
//      BOOL CMainDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
//        if (LOWORD(wParam) == IDC_START && HIWORD(wParam) == BN_CLICKED) {
//          OnStart();
//          return TRUE;
//        }
//        return CDialog::OnCommand(wParam, lParam);  // IDOK -> OnOK, IDCANCEL -> OnCancel
//      }
//      LRESULT CMainDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
//        if (msg == WM_USER + 100) return OnProgress(wParam, lParam);
//        return CDialog::WindowProc(msg, wParam, lParam);
//      }
//    A control class overrides the On... handlers of the events it wants
//    (OnPaint, OnLButtonDown, OnSetCursor, ...) and takes over a dialog's
//    control with SubclassDlgItem or DDX_Control. A handler that wants the
//    control's normal behaviour as well calls the base class's handler (or
//    Default()), as in MFC; one that does not replaces it.
//  - OnPaint gets its device context as argument: `void OnPaint(CDC& dc)`.
//    `CPaintDC dc(this);` inside it also works (it draws on the same
//    painter).
//  - Windows are created by DoModal/Create from the dialog templates of
//    <dlgtemplate.h>.
//
// Everything here runs on the program's main thread.
#pragma once

#include <afxwin.h>

#include <memory>
#include <string>

#include "dlgtemplate.h"
#include "winui.h"

#ifndef afx_msg
#define afx_msg
#endif

// ---------------------------------------------------------------------------
// Starting the UI.

// Whether windows can be shown: true when DISPLAY or WAYLAND_DISPLAY is set,
// or QT_QPA_PLATFORM names a platform that needs no display server
// (offscreen, minimal, vnc). Otherwise false and *why (when given) tells in
// one line why; the program then prints that line on stderr and exits with
// a non-zero code.
bool UiAvailable(std::string* why = nullptr);
// Starts the UI unless it runs: checks UiAvailable, creates the Qt
// application (once, for the life of the process, with the program's
// name), installs the message box handler (AfxMessageBox and MessageBox
// then show real message boxes; MB_TOPMOST keeps them on top) and the
// window message dispatcher of SendMessage. FALSE (with *why) when no
// display is available. DoModal and Create call it themselves; a dialog
// program calls it first thing in InitInstance so that its early message
// boxes are real ones too.
BOOL AfxInitUi(std::string* why = nullptr);
// Whether the UI has been started.
BOOL AfxUiRunning();

// ---------------------------------------------------------------------------
// Geometry.
class CSize : public SIZE {
 public:
  CSize() noexcept : SIZE{0, 0} {}
  CSize(int initCX, int initCY) noexcept : SIZE{initCX, initCY} {}
  CSize(SIZE initSize) noexcept : SIZE(initSize) {}
  bool operator==(const SIZE& s) const noexcept { return cx == s.cx && cy == s.cy; }
  CSize operator+(SIZE s) const noexcept { return CSize(cx + s.cx, cy + s.cy); }
  CSize operator-(SIZE s) const noexcept { return CSize(cx - s.cx, cy - s.cy); }
};

class CPoint : public POINT {
 public:
  CPoint() noexcept : POINT{0, 0} {}
  CPoint(int initX, int initY) noexcept : POINT{initX, initY} {}
  CPoint(POINT initPt) noexcept : POINT(initPt) {}
  // From the lParam of a mouse message.
  explicit CPoint(LPARAM dwPoint) noexcept : POINT{GET_X_LPARAM(dwPoint), GET_Y_LPARAM(dwPoint)} {}
  void Offset(int xOffset, int yOffset) noexcept {
    x += xOffset;
    y += yOffset;
  }
  bool operator==(const POINT& p) const noexcept { return x == p.x && y == p.y; }
  CPoint operator+(SIZE s) const noexcept { return CPoint(x + s.cx, y + s.cy); }
  CPoint operator-(SIZE s) const noexcept { return CPoint(x - s.cx, y - s.cy); }
  CSize operator-(POINT p) const noexcept { return CSize(x - p.x, y - p.y); }
  CPoint& operator+=(SIZE s) noexcept {
    x += s.cx;
    y += s.cy;
    return *this;
  }
};

class CRect : public RECT {
 public:
  CRect() noexcept : RECT{0, 0, 0, 0} {}
  CRect(int l, int t, int r, int b) noexcept : RECT{l, t, r, b} {}
  CRect(const RECT& srcRect) noexcept : RECT(srcRect) {}
  CRect(LPCRECT lpSrcRect) noexcept : RECT(*lpSrcRect) {}
  CRect(POINT point, SIZE size) noexcept : RECT{point.x, point.y, point.x + size.cx, point.y + size.cy} {}
  CRect(POINT topLeft, POINT bottomRight) noexcept : RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y} {}

  int Width() const noexcept { return right - left; }
  int Height() const noexcept { return bottom - top; }
  CSize Size() const noexcept { return CSize(Width(), Height()); }
  CPoint TopLeft() const noexcept { return CPoint(left, top); }
  CPoint BottomRight() const noexcept { return CPoint(right, bottom); }
  CPoint CenterPoint() const noexcept { return CPoint((left + right) / 2, (top + bottom) / 2); }
  BOOL IsRectEmpty() const noexcept { return right <= left || bottom <= top; }
  BOOL IsRectNull() const noexcept { return left == 0 && top == 0 && right == 0 && bottom == 0; }
  BOOL PtInRect(POINT point) const noexcept {
    return point.x >= left && point.x < right && point.y >= top && point.y < bottom;
  }
  void SetRect(int x1, int y1, int x2, int y2) noexcept {
    left = x1;
    top = y1;
    right = x2;
    bottom = y2;
  }
  void SetRectEmpty() noexcept { SetRect(0, 0, 0, 0); }
  void OffsetRect(int x, int y) noexcept {
    left += x;
    right += x;
    top += y;
    bottom += y;
  }
  void OffsetRect(POINT point) noexcept { OffsetRect(point.x, point.y); }
  void InflateRect(int x, int y) noexcept {
    left -= x;
    right += x;
    top -= y;
    bottom += y;
  }
  void DeflateRect(int x, int y) noexcept { InflateRect(-x, -y); }
  void NormalizeRect() noexcept;
  bool operator==(const RECT& r) const noexcept {
    return left == r.left && top == r.top && right == r.right && bottom == r.bottom;
  }
  operator LPRECT() noexcept { return this; }
  operator LPCRECT() const noexcept { return this; }
};

// ---------------------------------------------------------------------------
// Drawing.
class CDC;
class CWnd;

// A font described by a LOGFONT (the face, the height in pixels, weight,
// italic, underline, strike-out). A window's GetFont() answers its current
// font; SetFont and CDC::SelectObject use one.
//   LOGFONT lf;
//   GetFont()->GetLogFont(&lf);
//   lf.lfUnderline = TRUE;
//   m_underlined.CreateFontIndirect(&lf);
class CFont : public CObject {
  DECLARE_DYNAMIC(CFont)
 public:
  CFont();
  ~CFont() override;

  BOOL CreateFontIndirect(const LOGFONT* lpLogFont);
  // nPointSize in tenths of a point (96 DPI).
  BOOL CreatePointFont(int nPointSize, LPCTSTR lpszFaceName, CDC* pDC = nullptr);
  BOOL CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight, BYTE bItalic,
                  BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet, BYTE nOutPrecision, BYTE nClipPrecision,
                  BYTE nQuality, BYTE nPitchAndFamily, LPCTSTR lpszFacename);
  // Copies the description; answers sizeof(LOGFONT), 0 without a font.
  int GetLogFont(LOGFONT* pLogFont) const;
  BOOL DeleteObject();
  HFONT GetSafeHandle() const { return m_hObject; }
  operator HFONT() const { return m_hObject; }
  // The CFont of a handle made by a CFont, else nullptr.
  static CFont* FromHandle(HFONT hFont);

  HFONT m_hObject = nullptr;
};

// A device context: drawing on a window during its OnPaint (over a
// QPainter), or, outside painting (CClientDC, CWindowDC), measuring only:
// drawing outside OnPaint is dropped, as the window paints itself again in
// OnPaint. Text is drawn in the selected font (at first the window's),
// the text colour (at first the window's) and, with SetBkMode(OPAQUE), on
// the background colour.
class CDC : public CObject {
  DECLARE_DYNAMIC(CDC)
 public:
  CDC();
  ~CDC() override;

  HDC GetSafeHdc() const { return m_hDC; }
  operator HDC() const { return m_hDC; }
  static CDC* FromHandle(HDC hDC);

  COLORREF SetTextColor(COLORREF crColor);
  COLORREF GetTextColor() const;
  COLORREF SetBkColor(COLORREF crColor);
  COLORREF GetBkColor() const;
  // TRANSPARENT or OPAQUE; answers the previous mode.
  int SetBkMode(int nBkMode);
  int GetBkMode() const;
  // Answers the font selected before (nullptr for the window's own font).
  CFont* SelectObject(CFont* pFont);
  CFont* GetCurrentFont() const;

  // DT_LEFT/DT_CENTER/DT_RIGHT, DT_TOP/DT_VCENTER/DT_BOTTOM (the vertical
  // ones with DT_SINGLELINE), DT_SINGLELINE, DT_WORDBREAK, DT_NOPREFIX ('&'
  // underlines the next character otherwise), DT_END_ELLIPSIS,
  // DT_PATH_ELLIPSIS, DT_NOCLIP. DT_CALCRECT draws nothing: it sets
  // lpRect's right and bottom to fit the text (wrapped at its width with
  // DT_WORDBREAK). Answers the height of the text. nCount -1: up to the
  // terminator.
  int DrawText(LPCTSTR lpszString, int nCount, LPRECT lpRect, UINT nFormat);
  int DrawText(const CString& str, LPRECT lpRect, UINT nFormat);
  BOOL TextOut(int x, int y, LPCTSTR lpszString, int nCount);
  BOOL TextOut(int x, int y, const CString& str);
  CSize GetTextExtent(LPCTSTR lpszString, int nCount) const;
  CSize GetTextExtent(const CString& str) const;
  BOOL GetTextMetrics(LPTEXTMETRIC lpMetrics) const;

  // A dotted rectangle as for the keyboard focus.
  void DrawFocusRect(LPCRECT lpRect);
  // The icon at its normal size (32 x 32) with its top left at (x, y).
  BOOL DrawIcon(int x, int y, HICON hIcon);
  BOOL DrawIcon(POINT point, HICON hIcon);
  void FillSolidRect(LPCRECT lpRect, COLORREF clr);
  void FillSolidRect(int x, int y, int cx, int cy, COLORREF clr);
  void Draw3dRect(LPCRECT lpRect, COLORREF clrTopLeft, COLORREF clrBottomRight);
  CPoint MoveTo(int x, int y);
  BOOL LineTo(int x, int y);

  // Whether this DC draws (TRUE inside OnPaint).
  BOOL CanDraw() const;

  HDC m_hDC = nullptr;

  // The layer's own state of the DC (internal).
  struct Impl;
  Impl* GetImpl() const { return m_pImpl.get(); }

 protected:
  std::unique_ptr<Impl> m_pImpl;
};

// The DC of a window being painted: inside OnPaint it draws with the
// painter of that paint (the same as OnPaint's argument).
class CPaintDC : public CDC {
  DECLARE_DYNAMIC(CPaintDC)
 public:
  explicit CPaintDC(CWnd* pWnd);
  ~CPaintDC() override;
  CWnd* m_pWnd;
};

// A measuring DC of a window (its font); drawing is dropped.
class CClientDC : public CDC {
  DECLARE_DYNAMIC(CClientDC)
 public:
  explicit CClientDC(CWnd* pWnd);
  ~CClientDC() override;
  CWnd* m_pWnd;
};
using CWindowDC = CClientDC;

// Shows the wait cursor over the program's windows while it lives.
class CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
  // Shows it again (after a message box, for instance).
  void Restore();

 private:
  bool m_bActive = false;
};

// ---------------------------------------------------------------------------
// Windows.
class CDataExchange;
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// SetWindowPos.
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;
#define HWND_TOP reinterpret_cast<HWND>(0)
#define HWND_BOTTOM reinterpret_cast<HWND>(1)
#define HWND_TOPMOST reinterpret_cast<HWND>(-1)
#define HWND_NOTOPMOST reinterpret_cast<HWND>(-2)

// A window. A CWnd is "attached" to a window handle (m_hWnd); the window's
// events then arrive at its virtual handlers and SendMessage to the handle
// calls its WindowProc. A window without a CWnd of the program's gets a
// temporary one of the matching class (CButton for a button, CTreeCtrl for a
// tree, ...) from FromHandle/GetDlgItem; it lives as long as the window.
class CWnd : public CObject {
  DECLARE_DYNAMIC(CWnd)
 public:
  CWnd();
  ~CWnd() override;

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return GetSafeHwnd(); }

  // The CWnd attached to hWnd (a temporary one when the program has none);
  // nullptr for an invalid handle.
  static CWnd* FromHandle(HWND hWnd);
  // The program's own CWnd of hWnd, or nullptr.
  static CWnd* FromHandlePermanent(HWND hWnd);
  // Attaches this object to an existing window, which must have no CWnd of
  // the program's yet. Events of the window then arrive at this object.
  BOOL Attach(HWND hWndNew);
  HWND Detach();
  // The same as Attach: the object's handlers take over the window.
  BOOL SubclassWindow(HWND hWnd);
  // Takes over control nID of pParent (usually in OnInitDialog).
  BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
  HWND UnsubclassWindow();
  // Destroys the window (its children with it; each gets WM_DESTROY, and
  // their objects lose their handles at once); the object stays. The widget
  // itself goes at once when no event is being handled, else when control
  // returns to the event loop.
  virtual BOOL DestroyWindow();

  // Children and relatives.
  CWnd* GetDlgItem(int nID) const;
  int GetDlgCtrlID() const;
  CWnd* GetParent() const;
  // A child or sibling (GW_CHILD, GW_HWNDNEXT, ...; see ::GetWindow).
  CWnd* GetWindow(UINT nCmd) const;
  static CWnd* GetFocus();
  // Answers the window that had the focus before.
  CWnd* SetFocus();
  static CWnd* GetCapture();
  CWnd* SetCapture();

  // Text.
  void SetWindowText(LPCTSTR lpszString);
  void GetWindowText(CString& rString) const;
  int GetWindowText(LPTSTR lpszStringBuf, int nMaxCount) const;
  int GetWindowTextLength() const;
  void SetDlgItemText(int nID, LPCTSTR lpszString);
  int GetDlgItemText(int nID, CString& rString) const;
  void SetDlgItemInt(int nID, UINT nValue, BOOL bSigned = TRUE);
  UINT GetDlgItemInt(int nID, BOOL* lpTrans = nullptr, BOOL bSigned = TRUE) const;
  void CheckDlgButton(int nIDButton, UINT nCheck);
  UINT IsDlgButtonChecked(int nIDButton) const;

  // State.
  // Answers nonzero when the window was disabled before.
  BOOL EnableWindow(BOOL bEnable = TRUE);
  BOOL IsWindowEnabled() const;
  // SW_SHOW, SW_HIDE, SW_SHOWNORMAL, SW_MINIMIZE, ...; answers nonzero when
  // the window was visible before.
  BOOL ShowWindow(int nCmdShow);
  BOOL IsWindowVisible() const;
  // bBigIcon TRUE: the icon of the window (title bar, task switcher); FALSE:
  // the small one (used only when there is no big one). Answers the
  // previous icon. The window keeps no ownership of the icon.
  HICON SetIcon(HICON hIcon, BOOL bBigIcon);
  HICON GetIcon(BOOL bBigIcon) const;
  CFont* GetFont() const;
  void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
  DWORD GetStyle() const;
  DWORD GetExStyle() const;
  // Supports WS_VISIBLE, WS_DISABLED, WS_TABSTOP, SS_NOTIFY and the
  // alignment and border styles of statics and edits.
  BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);

  // Painting.
  void Invalidate(BOOL bErase = TRUE);
  void InvalidateRect(LPCRECT lpRect, BOOL bErase = TRUE);
  void UpdateWindow();
  void RedrawWindow();

  // Geometry (client coordinates of the parent for children).
  void GetClientRect(LPRECT lpRect) const;
  void GetWindowRect(LPRECT lpRect) const;
  void ClientToScreen(LPPOINT lpPoint) const;
  void ClientToScreen(LPRECT lpRect) const;
  void ScreenToClient(LPPOINT lpPoint) const;
  void ScreenToClient(LPRECT lpRect) const;
  void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
  void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE);
  // pWndInsertAfter: &wndTopMost / &wndNoTopMost switch "always on top".
  BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
  void CenterWindow(CWnd* pAlternateOwner = nullptr);
  void BringWindowToTop();
  BOOL SetForegroundWindow();
  static const CWnd wndTop;
  static const CWnd wndBottom;
  static const CWnd wndTopMost;
  static const CWnd wndNoTopMost;

  // Messages.
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  LRESULT SendDlgItemMessage(int nID, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  int MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption = nullptr, UINT nType = MB_OK);
  // WM_TIMER every nElapse milliseconds until KillTimer: OnTimer(nIDEvent),
  // or lpfnTimer when given. Answers nIDEvent (0 without a window).
  UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr);
  BOOL KillTimer(UINT_PTR nIDEvent);

  // Data exchange (see CDataExchange below): TRUE moves the controls'
  // values into the members, FALSE the members into the controls. FALSE
  // when a value did not validate.
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
  virtual void DoDataExchange(CDataExchange* pDX);

  // Every message of the window comes here: SendMessage, and the window's
  // events (WM_PAINT, WM_LBUTTONDOWN, WM_SETCURSOR, WM_CHAR, ...).
  // The default calls the handler of the message (OnPaint, OnCommand,
  // OnNotify, ...) and DefWindowProc for others; it answers 0 for a message
  // nobody knows. Sending messages from inside a handler (re-entrantly) is
  // fine.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The window's own processing: the control's normal behaviour for its
  // events, the control messages (PBM_*, BM_*, WM_SETTEXT, ...).
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called with every keyboard and mouse event before it is handled, for
  // the window that gets it and then its parents up to the dialog; TRUE
  // drops the event. pMsg->message is WM_KEYDOWN, WM_KEYUP, WM_CHAR,
  // WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEMOVE, ...
  virtual BOOL PreTranslateMessage(MSG* pMsg);

 protected:
  // The window's own processing of the message being handled.
  LRESULT Default();

  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
  // A notification of this control to its parent, offered to the control
  // first (MFC's reflected notifications); TRUE when it handled it.
  virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

  afx_msg virtual void OnPaint(CDC& dc);
  afx_msg virtual void OnLButtonDown(UINT nFlags, CPoint point);
  afx_msg virtual void OnLButtonUp(UINT nFlags, CPoint point);
  afx_msg virtual void OnLButtonDblClk(UINT nFlags, CPoint point);
  afx_msg virtual void OnRButtonDown(UINT nFlags, CPoint point);
  afx_msg virtual void OnRButtonUp(UINT nFlags, CPoint point);
  afx_msg virtual void OnMouseMove(UINT nFlags, CPoint point);
  // TRUE: the handler has set the cursor (with ::SetCursor).
  afx_msg virtual BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
  afx_msg virtual void OnSetFocus(CWnd* pOldWnd);
  afx_msg virtual void OnKillFocus(CWnd* pNewWnd);
  afx_msg virtual void OnKeyDown(UINT nChar, UINT nRepCnt, UINT nFlags);
  afx_msg virtual void OnKeyUp(UINT nChar, UINT nRepCnt, UINT nFlags);
  afx_msg virtual void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags);
  afx_msg virtual UINT OnGetDlgCode();
  // Asked by a child control before it paints (nCtlColor CTLCOLOR_STATIC
  // for statics and read-only edits, CTLCOLOR_EDIT, CTLCOLOR_BTN): the
  // parent may set pDC's text colour (and, with SetBkMode(OPAQUE), the
  // background colour) for it. The brush answered is not used.
  afx_msg virtual HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);
  afx_msg virtual void OnTimer(UINT_PTR nIDEvent);
  afx_msg virtual void OnSize(UINT nType, int cx, int cy);
  afx_msg virtual void OnClose();
  afx_msg virtual void OnDestroy();

 private:
  friend struct CWndAccess;
  // The placeholders wndTop, wndTopMost, ...
  explicit CWnd(HWND hWndSpecial) : m_hWnd(hWndSpecial) {}
  bool m_bCreatedWindow = false;
};

// ---------------------------------------------------------------------------
// Dialog data exchange. A dialog lists its controls and members in
// DoDataExchange:
//   void CMainDlg::DoDataExchange(CDataExchange* pDX) {
//     CDialog::DoDataExchange(pDX);
//     DDX_Control(pDX, IDC_LINK, m_link);    // m_link takes over the control
//     DDX_Text(pDX, IDC_SOURCE, m_strSource);
//     DDX_Check(pDX, IDC_MAIL, m_bMail);
//   }
// CDialog::OnInitDialog calls UpdateData(FALSE), the default OnOK
// UpdateData(TRUE).
class CUserException : public CException {
  DECLARE_DYNAMIC(CUserException)
 public:
  CUserException() = default;
};
[[noreturn]] void AfxThrowUserException();

class CDataExchange {
 public:
  CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);
  // The control nIDC (remembered for Fail); throws when there is none.
  HWND PrepareCtrl(int nIDC);
  HWND PrepareEditCtrl(int nIDC);
  // Puts the focus on the last prepared control and ends the exchange
  // (UpdateData answers FALSE).
  [[noreturn]] void Fail();

  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
  HWND m_hWndLastControl = nullptr;
  BOOL m_bEditLastControl = FALSE;
};

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// Whole numbers; a text that is none shows a message box and fails.
void DDX_Text(CDataExchange* pDX, int nIDC, int& value);
void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value);
// BST_UNCHECKED, BST_CHECKED (or BST_INDETERMINATE) of a check box.
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars);
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal);

// ---------------------------------------------------------------------------
// Dialogs.
//
//   CMainDlg dlg;                         // CMainDlg() : CDialog(IDD_MAIN) {}
//   INT_PTR rc = dlg.DoModal();           // IDOK, IDCANCEL, or -1
//
// DoModal builds the window from the template, runs OnInitDialog (before
// the dialog shows), shows it and returns when EndDialog was called; the
// window is destroyed then (m_hWnd and the handles of DDX_Control'ed
// members become null). Enter presses the default button, or sends IDOK
// when there is none; Escape sends IDCANCEL, and so does the close box
// (WM_CLOSE -> OnClose -> IDCANCEL): both reach OnCancel, which may refuse
// to close by not calling EndDialog.
class CDialog : public CWnd {
  DECLARE_DYNAMIC(CDialog)
 public:
  CDialog();
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
  ~CDialog() override;

  // -1 when the UI cannot start (see UiAvailable) or there is no template.
  virtual INT_PTR DoModal();
  // A modeless dialog (shown when the template has WS_VISIBLE); it lives
  // until DestroyWindow or the object's end.
  virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
  // Ends DoModal with nResult once the current handler returns; a modeless
  // dialog is hidden.
  void EndDialog(int nResult);
  // Default: UpdateData(FALSE); TRUE lets the framework put the focus on
  // the first control.
  virtual BOOL OnInitDialog();

  void MapDialogRect(LPRECT lpRect) const;
  void GotoDlgCtrl(CWnd* pWndCtrl);
  void NextDlgCtrl() const;
  void PrevDlgCtrl() const;
  // The button Enter presses while the focus is not on a push button (a
  // focused push button takes Enter itself); without one Enter sends IDOK.
  // GetDefID answers MAKELONG(id, DC_HASDEFID), id IDOK when none is set.
  void SetDefID(UINT nID);
  DWORD GetDefID() const;

  UINT m_nIDHelp = 0;
  UINT m_nIDTemplate = 0;
  CWnd* m_pParentWnd = nullptr;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  // Default: UpdateData(TRUE), and EndDialog(IDOK) when that worked.
  virtual void OnOK();
  // Default: EndDialog(IDCANCEL).
  virtual void OnCancel();
  // IDOK -> OnOK(), IDCANCEL -> OnCancel() (after the control's own
  // reflected handling).
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

 private:
  friend struct CDialogAccess;
  BOOL CreateFromTemplate(bool modal);
  int m_nModalResult = -1;
  bool m_bEnded = false;
  bool m_bModal = false;
};

// Runs dlg as the application's main window: AfxGetApp()->m_pMainWnd is
// &dlg while it runs (and the previous value again afterwards). When the UI
// cannot start it writes "<program>: <reason>" on stderr and answers -1.
INT_PTR AfxRunModalMainDialog(CDialog& dlg);

// The application icon of resource nIDResource (what CWinApp::LoadIcon
// does in MFC), shared.
HICON AfxLoadIcon(UINT nIDResource);

// ---------------------------------------------------------------------------
// Basic controls. They add no data to CWnd, so a CWnd* from GetDlgItem of
// such a control may also be used as the control class.
class CStatic : public CWnd {
  DECLARE_DYNAMIC(CStatic)
 public:
  CStatic() = default;
  // rect in client pixels of pParentWnd.
  BOOL Create(LPCTSTR lpszText, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID = 0xFFFF);
  // Shows the icon (32 x 32) instead of text; answers the previous one.
  HICON SetIcon(HICON hIcon);
  HICON GetIcon() const;
};

class CButton : public CWnd {
  DECLARE_DYNAMIC(CButton)
 public:
  CButton() = default;
  BOOL Create(LPCTSTR lpszCaption, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID);
  // BST_CHECKED / BST_UNCHECKED (/ BST_INDETERMINATE) of a check box.
  int GetCheck() const;
  void SetCheck(int nCheck);
  UINT GetButtonStyle() const;
  // Simulates a click (BN_CLICKED reaches the parent).
  void Click();
};

class CEdit : public CWnd {
  DECLARE_DYNAMIC(CEdit)
 public:
  CEdit() = default;
  BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID);
  // nStartChar..nEndChar in characters; (0, -1) selects all, (-1, ...) none.
  void SetSel(int nStartChar, int nEndChar, BOOL bNoScroll = FALSE);
  void ReplaceSel(LPCTSTR lpszNewText, BOOL bCanUndo = FALSE);
  BOOL SetReadOnly(BOOL bReadOnly = TRUE);
  void SetLimitText(UINT nMax);
  void LimitText(int nChars = 0) { SetLimitText(static_cast<UINT>(nChars)); }
  UINT GetLimitText() const;
  int GetLineCount() const;
};
