#include "HyperLink.h"

#include <shellapi.h>
#include <unistd.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

std::unique_ptr<char[]> CopyText(const char* text) {
  const std::size_t n = std::strlen(text);
  auto copy = std::make_unique<char[]>(n + 1);
  std::memcpy(copy.get(), text, n + 1);
  return copy;
}

// The length of the character starting at `s` (a UTF-8 sequence counts as
// one; a stray byte as itself).
std::size_t CharLength(std::string_view s) {
  const auto lead = static_cast<unsigned char>(s.front());
  std::size_t n = 1;
  if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
  } else if (lead >= 0xE0) {
    n = 3;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  }
  if (n > s.size()) return 1;
  for (std::size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

// Position of the next comma, character by character; npos without one.
std::size_t FindComma(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size(); pos += CharLength(s.substr(pos))) {
    if (s[pos] == ',') return pos;
  }
  return std::string_view::npos;
}

// The C library's decimal conversion: leading blanks and a sign, up to the
// first non-digit; out of the int range it stops at the limit.
long ToNumber(std::string_view part) {
  const std::string text(part);
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

// The pointing hand, 32 x 32: B black, W white, anything else transparent.
// The tip of the index finger (column 5, row 0) is the hot spot.
constexpr const char* kHand[] = {
    ".....BB",
    "....BWWB",
    "....BWWB",
    "....BWWB",
    "....BWWB",
    "....BWWBBB",
    "....BWWBWWBBB",
    "....BWWBWWBWWBBB",
    "....BWWBWWBWWBWWB",
    ".BB.BWWBWWBWWBWWB",
    "BWWBBWWBWWBWWBWWB",
    "BWWWBWWWWWWWWWWWB",
    ".BWWWWWWWWWWWWWWB",
    ".BWWWWWWWWWWWWWWB",
    "..BWWWWWWWWWWWWWB",
    "..BWWWWWWWWWWWWWB",
    "...BWWWWWWWWWWWB",
    "...BWWWWWWWWWWWB",
    "....BWWWWWWWWWB",
    "....BWWWWWWWWWB",
    "....BBBBBBBBBBB",
};
constexpr int kCursorSize = 32;
constexpr int kHotSpotX = 5;
constexpr int kHotSpotY = 0;

constexpr const char* kSettingsKey = "Software\\Microsoft\\Internet Explorer\\Settings";

}  // namespace

CHyperLink::CHyperLink() = default;

CHyperLink::~CHyperLink() {
  m_pszText.reset();
  m_pszURL.reset();
  if (m_hLinkCursor != nullptr) {
    DestroyCursor(m_hLinkCursor);
    m_hLinkCursor = nullptr;
  }
  m_tooltip.DestroyWindow();
  m_font.DeleteObject();
}

BOOL CHyperLink::SubclassWindow(HWND hWnd) {
  const BOOL result = CWnd::SubclassWindow(hWnd);
  if (result) InitLink();
  return result;
}

// --- set-up ------------------------------------------------------------------------

HCURSOR CHyperLink::CreateHandCursor() {
  constexpr int stride = kCursorSize / 8;
  unsigned char andPlane[kCursorSize * stride];
  unsigned char xorPlane[kCursorSize * stride];
  std::memset(andPlane, 0xFF, sizeof andPlane);
  std::memset(xorPlane, 0x00, sizeof xorPlane);
  int y = 0;
  for (const char* row : kHand) {
    for (int x = 0; x < kCursorSize && row[x] != '\0'; ++x) {
      const int byte = y * stride + x / 8;
      const auto bit = static_cast<unsigned char>(0x80u >> (x % 8));
      if (row[x] == 'B' || row[x] == 'W') andPlane[byte] = static_cast<unsigned char>(andPlane[byte] & ~bit);
      if (row[x] == 'W') xorPlane[byte] = static_cast<unsigned char>(xorPlane[byte] | bit);
    }
    ++y;
  }
  return CreateCursor(AfxGetInstanceHandle(), kHotSpotX, kHotSpotY, kCursorSize, kCursorSize, andPlane, xorPlane);
}

void CHyperLink::InitLink() {
  char className[8];
  if (::GetClassName(m_hWnd, className, sizeof className) > 0 && CString(className).CompareNoCase("static") == 0) {
    // A static gets mouse input only with SS_NOTIFY.
    ModifyStyle(0, SS_NOTIFY);
    switch (GetStyle() & SS_TYPEMASK) {
      case SS_ICON:
      case SS_BLACKRECT:
      case SS_GRAYRECT:
      case SS_WHITERECT:
      case SS_BLACKFRAME:
      case SS_GRAYFRAME:
      case SS_WHITEFRAME:
      case SS_OWNERDRAW:
      case SS_BITMAP:
      case SS_ENHMETAFILE:
        m_bText = FALSE;
        break;
      default:
        break;
    }
  }

  if (m_hLinkCursor == nullptr) m_hLinkCursor = CreateHandCursor();

  if (m_bText && m_font.GetSafeHandle() == nullptr) {
    if (CWnd* parent = GetParent()) {
      LOGFONT lf;
      if (CFont* font = parent->GetFont(); font != nullptr && font->GetLogFont(&lf) != 0) {
        lf.lfUnderline = TRUE;
        m_font.CreateFontIndirect(&lf);
      }
    }
  }

  if (!m_pszText) {
    CString text;
    GetWindowText(text);
    if (!text.IsEmpty()) {
      m_pszText = CopyText(text);
      CalcTextRect();
    }
  }
  if (!m_pszURL && m_pszText) m_pszURL = CopyText(m_pszText.get());
  CalcTextRect();

  if (m_tooltip.GetSafeHwnd() == nullptr) m_tooltip.Create(this);
  m_tooltip.Activate(TRUE);
  m_tooltip.AddTool(this, m_pszURL ? m_pszURL.get() : "");

  if (m_bText) ReadRegistryColors();
}

void CHyperLink::ReadRegistryColors() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  auto read = [key](const char* name, COLORREF& color) {
    char value[12];
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(value), &size) != ERROR_SUCCESS) {
      return;
    }
    const std::size_t length = strnlen(value, size);
    if (length >= sizeof value) return;  // no room left for the terminator
    const std::string text(value, length);
    const COLORREF parsed = ParseColor(text.c_str());
    if (parsed != kNoColor) color = parsed;
  };
  read("Anchor Color", m_crLink);
  read("Anchor Color Visited", m_crVisited);
  RegCloseKey(key);
}

COLORREF CHyperLink::ParseColor(LPCTSTR lpszColor) {
  if (lpszColor == nullptr) return kNoColor;
  std::string_view rest(lpszColor);
  long parts[2];
  for (long& part : parts) {
    const std::size_t comma = FindComma(rest);
    if (comma == std::string_view::npos) return kNoColor;
    part = ToNumber(rest.substr(0, comma));
    rest.remove_prefix(comma + 1);
  }
  if (rest.empty()) return kNoColor;
  const long red = parts[0];
  const long green = parts[1];
  const long blue = ToNumber(rest);
  if (red == -1 || green == -1) return kNoColor;
  return static_cast<COLORREF>((static_cast<unsigned long>(red) & 0xFFu) |
                               ((static_cast<unsigned long>(green) & 0xFFu) << 8) |
                               ((static_cast<unsigned long>(blue) & 0xFFu) << 16));
}

// --- geometry and drawing ------------------------------------------------------------

const char* CHyperLink::ShownText() const { return m_pszText ? m_pszText.get() : m_pszURL.get(); }

UINT CHyperLink::AlignmentFlags() const {
  const DWORD type = GetStyle() & SS_TYPEMASK;
  if (type == SS_CENTER) return DT_CENTER;
  if (type == SS_RIGHT) return DT_RIGHT;
  return 0;
}

void CHyperLink::CalcTextRect() {
  if (!::IsWindow(m_hWnd) || (!m_pszText && !m_pszURL)) return;
  CRect client;
  GetClientRect(&client);
  if (!m_bText) {
    m_rcText = client;
    return;
  }
  CClientDC dc(this);
  CFont* old = nullptr;
  if (m_font.GetSafeHandle() != nullptr) old = dc.SelectObject(&m_font);
  CRect measured = client;
  dc.DrawText(ShownText(), -1, &measured, DT_CALCRECT | DT_SINGLELINE | AlignmentFlags());
  dc.SelectObject(old);
  m_rcText = CRect(client.TopLeft(), measured.Size());
}

void CHyperLink::DrawLink(CDC& dc) {
  dc.SetBkMode(TRANSPARENT);
  dc.SetTextColor(m_bVisited ? m_crVisited : m_crLink);
  CFont* old = nullptr;
  if (m_font.GetSafeHandle() != nullptr) old = dc.SelectObject(&m_font);
  if (const char* text = ShownText()) {
    CRect rc = m_rcText;
    dc.DrawText(text, -1, &rc, DT_SINGLELINE | AlignmentFlags());
  }
  if (::GetFocus() == m_hWnd) dc.DrawFocusRect(&m_rcText);
  dc.SelectObject(old);
}

void CHyperLink::OpenLink() {
  if (!m_pszURL) return;
  const auto result =
      reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", m_pszURL.get(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result > 32) {
    m_bVisited = TRUE;
    Invalidate();
    return;
  }
  ShowOpenFailure();
}

// Where nothing opens the target (no xdg-open on a bare system), the user
// still learns where the page is and can open it by hand.
void CHyperLink::ShowOpenFailure() {
  std::string target = m_pszURL.get();
  // A local page: its path, as the link shows it after "file://".
  const bool local = target.rfind("file://", 0) == 0 || target.rfind('/', 0) == 0;
  if (target.rfind("file://", 0) == 0) target.erase(0, std::strlen("file://"));
  const bool missing = local && ::access(target.c_str(), F_OK) != 0;
  CString format;
  if (!format.LoadString(missing ? IDS_LINK_MISSING : IDS_LINK_NO_OPENER))
    format = missing ? "The page does not exist:\n%s"
                     : "The page cannot be opened: no program to open it is set up (such as xdg-open).\n\n"
                       "It is here:\n%s";
  CString text;
  text.Format(format, target.c_str());
  CString caption;
  if (CWnd* top = GetParent()) top->GetWindowText(caption);
  MessageBox(text, caption, MB_OK | (missing ? MB_ICONWARNING : MB_ICONINFORMATION));
}

// --- messages ----------------------------------------------------------------------

LRESULT CHyperLink::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // A link the program creates itself sets up once the window exists.
  // WM_ERASEBKGND keeps the window's own processing.
  if (message == WM_CREATE) {
    if (CWnd::WindowProc(message, wParam, lParam) == -1) return -1;
    InitLink();
    return 0;
  }
  return CWnd::WindowProc(message, wParam, lParam);
}

void CHyperLink::OnPaint(CDC& dc) {
  if (m_bText) {
    DrawLink(dc);
  } else {
    // An image or a frame: the static draws itself.
    Default();
  }
}

void CHyperLink::OnSetFocus(CWnd* pOldWnd) {
  CWnd::OnSetFocus(pOldWnd);
  if (m_bText) Invalidate(TRUE);
}

void CHyperLink::OnKillFocus(CWnd* pNewWnd) {
  CWnd::OnKillFocus(pNewWnd);
  if (m_bText) Invalidate(TRUE);
}

void CHyperLink::OnMouseMove(UINT nFlags, CPoint point) {
  CWnd::OnMouseMove(nFlags, point);
  if (m_pszURL && m_rcText.PtInRect(point)) ::SetCursor(m_hLinkCursor);
}

BOOL CHyperLink::OnSetCursor(CWnd*, UINT, UINT) {
  if (m_pszURL) {
    CPoint point;
    ::GetCursorPos(&point);
    ScreenToClient(&point);
    if (m_rcText.PtInRect(point)) return TRUE;  // the hand set on the move stays
  }
  return FALSE;
}

void CHyperLink::OnLButtonDown(UINT nFlags, CPoint point) {
  CWnd::OnLButtonDown(nFlags, point);
  if (m_rcText.PtInRect(point)) {
    SetFocus();
    SetCapture();
  }
}

void CHyperLink::OnLButtonUp(UINT nFlags, CPoint point) {
  CWnd::OnLButtonUp(nFlags, point);
  if (::GetCapture() == m_hWnd) {
    ::ReleaseCapture();
    if (m_rcText.PtInRect(point)) OpenLink();
  }
}

void CHyperLink::OnChar(UINT nChar, UINT nRepCnt, UINT nFlags) {
  if (nChar == '\r' || nChar == ' ') {
    // The link keeps these keys: passed on to the window's own processing,
    // Enter would go on to the dialog and press its default button too.
    OpenLink();
    return;
  }
  CWnd::OnChar(nChar, nRepCnt, nFlags);
}

UINT CHyperLink::OnGetDlgCode() { return DLGC_WANTCHARS; }
