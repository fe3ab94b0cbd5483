// Drawing: colours, rectangles, fonts, device contexts, icons and cursors.
#include <QBitmap>
#include <QFontMetrics>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "internal.h"

using namespace tesk::ui;

// --- rectangles and numbers ----------------------------------------------------

int MulDiv(int nNumber, int nNumerator, int nDenominator) {
  if (nDenominator == 0) return -1;
  const long long product = static_cast<long long>(nNumber) * nNumerator;
  const long long half = std::llabs(static_cast<long long>(nDenominator)) / 2;
  long long result = ((product < 0) != (nDenominator < 0)) ? (product - (nDenominator < 0 ? -half : half)) / nDenominator
                                                            : (product + (nDenominator < 0 ? -half : half)) / nDenominator;
  if (result > 0x7FFFFFFFLL || result < -0x7FFFFFFFLL - 1) return -1;
  return static_cast<int>(result);
}

BOOL SetRect(LPRECT lprc, int xLeft, int yTop, int xRight, int yBottom) {
  if (!lprc) return FALSE;
  *lprc = RECT{xLeft, yTop, xRight, yBottom};
  return TRUE;
}
BOOL SetRectEmpty(LPRECT lprc) { return SetRect(lprc, 0, 0, 0, 0); }
BOOL CopyRect(LPRECT lprcDst, const RECT* lprcSrc) {
  if (!lprcDst || !lprcSrc) return FALSE;
  *lprcDst = *lprcSrc;
  return TRUE;
}
BOOL IsRectEmpty(const RECT* lprc) { return !lprc || lprc->right <= lprc->left || lprc->bottom <= lprc->top; }
BOOL PtInRect(const RECT* lprc, POINT pt) {
  return lprc && pt.x >= lprc->left && pt.x < lprc->right && pt.y >= lprc->top && pt.y < lprc->bottom;
}
BOOL OffsetRect(LPRECT lprc, int dx, int dy) {
  if (!lprc) return FALSE;
  lprc->left += dx;
  lprc->right += dx;
  lprc->top += dy;
  lprc->bottom += dy;
  return TRUE;
}
BOOL InflateRect(LPRECT lprc, int dx, int dy) {
  if (!lprc) return FALSE;
  lprc->left -= dx;
  lprc->right += dx;
  lprc->top -= dy;
  lprc->bottom += dy;
  return TRUE;
}
BOOL EqualRect(const RECT* a, const RECT* b) {
  return a && b && a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}
BOOL IntersectRect(LPRECT dst, const RECT* a, const RECT* b) {
  if (!dst || !a || !b) return FALSE;
  RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
         std::min(a->bottom, b->bottom)};
  if (IsRectEmpty(&r)) {
    SetRectEmpty(dst);
    return FALSE;
  }
  *dst = r;
  return TRUE;
}
BOOL UnionRect(LPRECT dst, const RECT* a, const RECT* b) {
  if (!dst || !a || !b) return FALSE;
  if (IsRectEmpty(a)) return CopyRect(dst, b) && !IsRectEmpty(b);
  if (IsRectEmpty(b)) return CopyRect(dst, a);
  *dst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
              std::max(a->bottom, b->bottom)};
  return TRUE;
}

void CRect::NormalizeRect() noexcept {
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
}

// --- colours and fonts -------------------------------------------------------------

namespace tesk::ui {

QColor ToQColor(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }
COLORREF FromQColor(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }

namespace {
QStringList FamiliesFor(const QString& face) {
  QStringList families{face};
  if (face.compare(QLatin1String("MS Sans Serif"), Qt::CaseInsensitive) == 0 ||
      face.compare(QLatin1String("MS Shell Dlg"), Qt::CaseInsensitive) == 0) {
    // Liberation Sans keeps the proportions of the Windows dialog fonts
    // closest, so texts fit the controls the templates made for them.
    families << QStringLiteral("Microsoft Sans Serif") << QStringLiteral("Liberation Sans");
  }
  families << QStringLiteral("DejaVu Sans") << QStringLiteral("Liberation Sans") << QStringLiteral("sans-serif");
  return families;
}
}  // namespace

QFont FontFromLogFont(const LOGFONT& lf) {
  QFont f = UiRunning() ? QApplication::font() : QFont();
  const QString face = QString::fromUtf8(lf.lfFaceName, static_cast<qsizetype>(strnlen(lf.lfFaceName, LF_FACESIZE)));
  if (!face.isEmpty()) {
    f.setFamilies(FamiliesFor(face));
    f.setStyleHint(face.contains(QLatin1String("Courier"), Qt::CaseInsensitive) ? QFont::TypeWriter : QFont::SansSerif);
  }
  if (lf.lfHeight < 0) {
    f.setPixelSize(static_cast<int>(-lf.lfHeight));
  } else if (lf.lfHeight > 0) {
    // A cell height: find the character height that gives it.
    f.setPixelSize(static_cast<int>(lf.lfHeight));
    if (UiRunning()) {
      const int cell = QFontMetrics(f).height();
      if (cell > 0) {
        f.setPixelSize(std::max(1, static_cast<int>(std::lround(static_cast<double>(lf.lfHeight) * lf.lfHeight / cell))));
      }
    }
  }
  if (lf.lfWeight > 0) f.setWeight(static_cast<QFont::Weight>(std::clamp<LONG>(lf.lfWeight, 1, 1000)));
  f.setItalic(lf.lfItalic != 0);
  f.setUnderline(lf.lfUnderline != 0);
  f.setStrikeOut(lf.lfStrikeOut != 0);
  return f;
}

void LogFontFromFont(const QFont& font, LOGFONT& lf) {
  std::memset(&lf, 0, sizeof lf);
  int px = font.pixelSize();
  if (px <= 0) px = static_cast<int>(std::lround(font.pointSizeF() * 96.0 / 72.0));
  lf.lfHeight = -px;
  lf.lfWeight = font.weight();
  lf.lfItalic = font.italic() ? 1 : 0;
  lf.lfUnderline = font.underline() ? 1 : 0;
  lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
  lf.lfCharSet = DEFAULT_CHARSET;
  const QStringList families = font.families();
  const std::string face = ToUtf8(families.isEmpty() ? font.family() : families.front());
  std::size_t n = std::min<std::size_t>(face.size(), LF_FACESIZE - 1);
  while (n > 0 && n < face.size() && (static_cast<unsigned char>(face[n]) & 0xC0) == 0x80) --n;
  std::memcpy(lf.lfFaceName, face.data(), n);
  lf.lfFaceName[n] = '\0';
}

}  // namespace tesk::ui

DWORD GetSysColor(int nIndex) {
  if (UiRunning()) {
    const QPalette p = QApplication::palette();
    switch (nIndex) {
      case COLOR_WINDOW:
        return FromQColor(p.color(QPalette::Base));
      case COLOR_WINDOWTEXT:
      case COLOR_MENUTEXT:
        return FromQColor(p.color(QPalette::Text));
      case COLOR_BTNFACE:
      case COLOR_MENU:
        return FromQColor(p.color(QPalette::Button));
      case COLOR_BTNTEXT:
        return FromQColor(p.color(QPalette::ButtonText));
      case COLOR_BTNSHADOW:
        return FromQColor(p.color(QPalette::Dark));
      case COLOR_BTNHIGHLIGHT:
        return FromQColor(p.color(QPalette::Light));
      case COLOR_HIGHLIGHT:
      case COLOR_ACTIVECAPTION:
        return FromQColor(p.color(QPalette::Highlight));
      case COLOR_HIGHLIGHTTEXT:
      case COLOR_CAPTIONTEXT:
        return FromQColor(p.color(QPalette::HighlightedText));
      case COLOR_GRAYTEXT:
        return FromQColor(p.color(QPalette::Disabled, QPalette::Text));
      case COLOR_INFOTEXT:
        return FromQColor(p.color(QPalette::ToolTipText));
      case COLOR_INFOBK:
        return FromQColor(p.color(QPalette::ToolTipBase));
      case COLOR_HOTLIGHT:
        return FromQColor(p.color(QPalette::Link));
      default:
        break;
    }
  }
  switch (nIndex) {
    case COLOR_WINDOW:
    case COLOR_HIGHLIGHTTEXT:
    case COLOR_CAPTIONTEXT:
    case COLOR_BTNHIGHLIGHT:
      return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT:
    case COLOR_MENUTEXT:
    case COLOR_BTNTEXT:
    case COLOR_INFOTEXT:
    case COLOR_WINDOWFRAME:
      return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT:
    case COLOR_ACTIVECAPTION:
      return RGB(10, 36, 106);
    case COLOR_BTNSHADOW:
    case COLOR_GRAYTEXT:
      return RGB(128, 128, 128);
    case COLOR_INFOBK:
      return RGB(255, 255, 225);
    case COLOR_HOTLIGHT:
      return RGB(0, 0, 128);
    default:
      return RGB(212, 208, 200);
  }
}

// --- CFont -----------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CFont, CObject)

namespace {
std::unordered_map<HFONT, CFont*>& Fonts() {
  static auto* fonts = new std::unordered_map<HFONT, CFont*>;
  return *fonts;
}
}  // namespace

CFont::CFont() = default;
CFont::~CFont() { DeleteObject(); }

BOOL CFont::CreateFontIndirect(const LOGFONT* lpLogFont) {
  if (lpLogFont == nullptr) return FALSE;
  DeleteObject();
  m_hObject = new HFONT__{*lpLogFont};
  m_hObject->lf.lfFaceName[LF_FACESIZE - 1] = '\0';
  Fonts()[m_hObject] = this;
  return TRUE;
}

BOOL CFont::CreatePointFont(int nPointSize, LPCTSTR lpszFaceName, CDC*) {
  LOGFONT lf{};
  lf.lfHeight = -MulDiv(nPointSize, 96, 720);
  lf.lfWeight = FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  if (lpszFaceName) std::strncpy(lf.lfFaceName, lpszFaceName, LF_FACESIZE - 1);
  return CreateFontIndirect(&lf);
}

BOOL CFont::CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight, BYTE bItalic,
                       BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet, BYTE nOutPrecision, BYTE nClipPrecision,
                       BYTE nQuality, BYTE nPitchAndFamily, LPCTSTR lpszFacename) {
  LOGFONT lf{nHeight, nWidth, nEscapement, nOrientation, nWeight, bItalic, bUnderline, cStrikeOut, nCharSet,
             nOutPrecision, nClipPrecision, nQuality, nPitchAndFamily, {}};
  if (lpszFacename) std::strncpy(lf.lfFaceName, lpszFacename, LF_FACESIZE - 1);
  return CreateFontIndirect(&lf);
}

int CFont::GetLogFont(LOGFONT* pLogFont) const {
  if (m_hObject == nullptr || pLogFont == nullptr) return 0;
  *pLogFont = m_hObject->lf;
  return static_cast<int>(sizeof(LOGFONT));
}

BOOL CFont::DeleteObject() {
  if (m_hObject == nullptr) return FALSE;
  Fonts().erase(m_hObject);
  delete m_hObject;
  m_hObject = nullptr;
  return TRUE;
}

CFont* CFont::FromHandle(HFONT hFont) {
  auto it = Fonts().find(hFont);
  return it == Fonts().end() ? nullptr : it->second;
}

// --- CDC -------------------------------------------------------------------------

struct CDC::Impl {
  QPointer<QWidget> widget;
  bool canPaint = false;
  QPainter* painter = nullptr;
  CDC* shareFrom = nullptr;
  QFont font;
  CFont* selected = nullptr;
  COLORREF text = RGB(0, 0, 0);
  bool textSet = false;
  COLORREF bk = RGB(255, 255, 255);
  bool bkSet = false;
  int bkMode = OPAQUE;
  QPoint pos;

  ~Impl() {
    if (painter) {
      painter->end();
      delete painter;
    }
  }
  QPainter* P() {
    if (shareFrom) return shareFrom->GetImpl()->P();
    if (!canPaint || !widget) return nullptr;
    if (!painter) painter = new QPainter(widget.data());
    return painter->isActive() ? painter : nullptr;
  }
  QFontMetrics Metrics() const { return QFontMetrics(font); }
};

IMPLEMENT_DYNAMIC(CDC, CObject)
IMPLEMENT_DYNAMIC(CPaintDC, CDC)
IMPLEMENT_DYNAMIC(CClientDC, CDC)

namespace tesk::ui {

void InitDC(CDC& dc, QWidget* widget, bool paint) {
  CDC::Impl* d = dc.GetImpl();
  d->widget = widget;
  d->canPaint = paint;
  if (widget) {
    d->font = widget->font();
    d->text = FromQColor(widget->palette().color(widget->foregroundRole()));
    d->bk = FromQColor(widget->palette().color(widget->backgroundRole()));
  }
}

DcColors ColorsOf(const CDC& dc) {
  const CDC::Impl* d = dc.GetImpl();
  return DcColors{d->textSet, d->text, d->bkSet, d->bk, d->bkMode};
}

void DrawImage(CDC& dc, int x, int y, const QImage& image) {
  if (QPainter* p = dc.GetImpl()->P()) p->drawImage(x, y, image);
}

}  // namespace tesk::ui

namespace {

QRect ToQRect(const RECT& r) { return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top); }

int QtFlags(UINT nFormat) {
  int flags = 0;
  if (nFormat & DT_CENTER) {
    flags |= Qt::AlignHCenter;
  } else if (nFormat & DT_RIGHT) {
    flags |= Qt::AlignRight;
  } else {
    flags |= Qt::AlignLeft;
  }
  if (nFormat & DT_SINGLELINE) {
    flags |= Qt::TextSingleLine;
    if (nFormat & DT_VCENTER) {
      flags |= Qt::AlignVCenter;
    } else if (nFormat & DT_BOTTOM) {
      flags |= Qt::AlignBottom;
    } else {
      flags |= Qt::AlignTop;
    }
  } else {
    flags |= Qt::AlignTop;
  }
  if ((nFormat & DT_WORDBREAK) && !(nFormat & DT_SINGLELINE)) flags |= Qt::TextWordWrap;
  if (!(nFormat & DT_NOPREFIX)) flags |= Qt::TextShowMnemonic;
  if (nFormat & DT_EXPANDTABS) flags |= Qt::TextExpandTabs;
  if (nFormat & DT_NOCLIP) flags |= Qt::TextDontClip;
  return flags;
}

}  // namespace

CDC::CDC() : m_pImpl(std::make_unique<Impl>()) { m_hDC = reinterpret_cast<HDC>(this); }
CDC::~CDC() = default;

CDC* CDC::FromHandle(HDC hDC) { return reinterpret_cast<CDC*>(hDC); }

COLORREF CDC::SetTextColor(COLORREF crColor) {
  const COLORREF old = m_pImpl->text;
  m_pImpl->text = crColor;
  m_pImpl->textSet = true;
  return old;
}
COLORREF CDC::GetTextColor() const { return m_pImpl->text; }
COLORREF CDC::SetBkColor(COLORREF crColor) {
  const COLORREF old = m_pImpl->bk;
  m_pImpl->bk = crColor;
  m_pImpl->bkSet = true;
  return old;
}
COLORREF CDC::GetBkColor() const { return m_pImpl->bk; }
int CDC::SetBkMode(int nBkMode) {
  if (nBkMode != TRANSPARENT && nBkMode != OPAQUE) return 0;
  const int old = m_pImpl->bkMode;
  m_pImpl->bkMode = nBkMode;
  return old;
}
int CDC::GetBkMode() const { return m_pImpl->bkMode; }

CFont* CDC::SelectObject(CFont* pFont) {
  CFont* old = m_pImpl->selected;
  if (pFont == nullptr || pFont->m_hObject == nullptr) return old;
  m_pImpl->selected = pFont;
  m_pImpl->font = FontFromLogFont(pFont->m_hObject->lf);
  return old;
}
CFont* CDC::GetCurrentFont() const { return m_pImpl->selected; }

BOOL CDC::CanDraw() const { return m_pImpl->P() != nullptr; }

int CDC::DrawText(LPCTSTR lpszString, int nCount, LPRECT lpRect, UINT nFormat) {
  if (lpRect == nullptr) return 0;
  QString s = Utf8(lpszString, nCount);
  const QFontMetrics fm = m_pImpl->Metrics();
  int flags = QtFlags(nFormat);
  const QRect r = ToQRect(*lpRect);
  if (nFormat & DT_CALCRECT) {
    QRect bounds;
    if (flags & Qt::TextWordWrap) {
      bounds = fm.boundingRect(QRect(r.left(), r.top(), std::max(r.width(), 1), 0x100000), flags, s);
      lpRect->right = lpRect->left + std::max(r.width(), bounds.width());
    } else if (nFormat & DT_SINGLELINE) {
      // The same measure as GetTextExtent.
      const QString shown = (flags & Qt::TextShowMnemonic) ? StripMnemonics(s) : s;
      bounds = QRect(r.left(), r.top(), fm.horizontalAdvance(shown), fm.height());
      lpRect->right = lpRect->left + bounds.width();
    } else {
      const int left = flags & ~(Qt::AlignHCenter | Qt::AlignRight | Qt::AlignVCenter | Qt::AlignBottom);
      bounds = fm.boundingRect(QRect(r.left(), r.top(), 0x100000, 0x100000), left, s);
      lpRect->right = lpRect->left + bounds.width();
    }
    const int height = s.isEmpty() ? fm.height() : bounds.height();
    lpRect->bottom = lpRect->top + height;
    return height;
  }
  if (nFormat & (DT_END_ELLIPSIS | DT_PATH_ELLIPSIS | DT_WORD_ELLIPSIS)) {
    s = fm.elidedText(s, (nFormat & DT_PATH_ELLIPSIS) ? Qt::ElideMiddle : Qt::ElideRight, r.width(),
                      flags & Qt::TextShowMnemonic);
  }
  const QRect bounds = fm.boundingRect(r, flags, s);
  if (QPainter* p = m_pImpl->P()) {
    p->save();
    p->setFont(m_pImpl->font);
    if (m_pImpl->bkMode == OPAQUE) p->fillRect((nFormat & DT_NOCLIP) ? bounds : (bounds & r), ToQColor(m_pImpl->bk));
    p->setPen(ToQColor(m_pImpl->text));
    p->drawText(r, flags, s);
    p->restore();
  }
  return bounds.height();
}

int CDC::DrawText(const CString& str, LPRECT lpRect, UINT nFormat) {
  return DrawText(str.GetString(), str.GetLength(), lpRect, nFormat);
}

BOOL CDC::TextOut(int x, int y, LPCTSTR lpszString, int nCount) {
  const QString s = Utf8(lpszString, nCount);
  if (QPainter* p = m_pImpl->P()) {
    const QFontMetrics fm = m_pImpl->Metrics();
    const QRect box(x, y, fm.horizontalAdvance(s), fm.height());
    p->save();
    p->setFont(m_pImpl->font);
    if (m_pImpl->bkMode == OPAQUE) p->fillRect(box, ToQColor(m_pImpl->bk));
    p->setPen(ToQColor(m_pImpl->text));
    p->drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip, s);
    p->restore();
  }
  return TRUE;
}

BOOL CDC::TextOut(int x, int y, const CString& str) { return TextOut(x, y, str.GetString(), str.GetLength()); }

CSize CDC::GetTextExtent(LPCTSTR lpszString, int nCount) const {
  const QString s = Utf8(lpszString, nCount);
  const QFontMetrics fm = m_pImpl->Metrics();
  return CSize(fm.horizontalAdvance(s), fm.height());
}

CSize CDC::GetTextExtent(const CString& str) const { return GetTextExtent(str.GetString(), str.GetLength()); }

BOOL CDC::GetTextMetrics(LPTEXTMETRIC lpMetrics) const {
  if (lpMetrics == nullptr) return FALSE;
  const QFontMetrics fm = m_pImpl->Metrics();
  lpMetrics->tmHeight = fm.height();
  lpMetrics->tmAscent = fm.ascent();
  lpMetrics->tmDescent = fm.descent();
  const int em = m_pImpl->font.pixelSize() > 0 ? m_pImpl->font.pixelSize() : fm.height();
  lpMetrics->tmInternalLeading = std::max(0, fm.height() - em);
  lpMetrics->tmExternalLeading = std::max(0, fm.leading());
  lpMetrics->tmAveCharWidth = fm.averageCharWidth();
  lpMetrics->tmMaxCharWidth = fm.maxWidth();
  lpMetrics->tmWeight = m_pImpl->font.weight();
  return TRUE;
}

void CDC::DrawFocusRect(LPCRECT lpRect) {
  QPainter* p = m_pImpl->P();
  if (p == nullptr || lpRect == nullptr) return;
  p->save();
  QPen pen(ToQColor(m_pImpl->text));
  pen.setStyle(Qt::DotLine);
  pen.setWidth(0);
  p->setPen(pen);
  p->setBrush(Qt::NoBrush);
  p->drawRect(ToQRect(*lpRect).adjusted(0, 0, -1, -1));
  p->restore();
}

BOOL CDC::DrawIcon(int x, int y, HICON hIcon) {
  if (!IsLiveIcon(hIcon)) return FALSE;
  if (QPainter* p = m_pImpl->P()) {
    const QPixmap pixmap = IconPixmap(hIcon, 32);
    if (pixmap.isNull()) return FALSE;
    p->drawPixmap(x, y, pixmap);
  }
  return TRUE;
}

BOOL CDC::DrawIcon(POINT point, HICON hIcon) { return DrawIcon(point.x, point.y, hIcon); }

void CDC::FillSolidRect(LPCRECT lpRect, COLORREF clr) {
  if (lpRect == nullptr) return;
  SetBkColor(clr);
  if (QPainter* p = m_pImpl->P()) p->fillRect(ToQRect(*lpRect), ToQColor(clr));
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF clr) {
  const RECT r{x, y, x + cx, y + cy};
  FillSolidRect(&r, clr);
}

void CDC::Draw3dRect(LPCRECT lpRect, COLORREF clrTopLeft, COLORREF clrBottomRight) {
  if (lpRect == nullptr) return;
  const int x = lpRect->left;
  const int y = lpRect->top;
  const int cx = lpRect->right - lpRect->left;
  const int cy = lpRect->bottom - lpRect->top;
  FillSolidRect(x, y, cx - 1, 1, clrTopLeft);
  FillSolidRect(x, y, 1, cy - 1, clrTopLeft);
  FillSolidRect(x + cx - 1, y, 1, cy, clrBottomRight);
  FillSolidRect(x, y + cy - 1, cx, 1, clrBottomRight);
}

CPoint CDC::MoveTo(int x, int y) {
  const CPoint old(m_pImpl->pos.x(), m_pImpl->pos.y());
  m_pImpl->pos = QPoint(x, y);
  return old;
}

BOOL CDC::LineTo(int x, int y) {
  if (QPainter* p = m_pImpl->P()) {
    p->save();
    p->setPen(QPen(QColor(0, 0, 0), 0));
    p->drawLine(m_pImpl->pos, QPoint(x, y));
    p->restore();
  }
  m_pImpl->pos = QPoint(x, y);
  return TRUE;
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_pWnd(pWnd) {
  const HWND h = pWnd ? pWnd->m_hWnd : nullptr;
  if (CDC* painting = CurrentPaintDC(h)) {
    InitDC(*this, painting->GetImpl()->widget, false);
    m_pImpl->shareFrom = painting;
  } else {
    InitDC(*this, AfxWidgetFromHandle(h), false);
  }
}
CPaintDC::~CPaintDC() = default;

CClientDC::CClientDC(CWnd* pWnd) : m_pWnd(pWnd) { InitDC(*this, AfxWidgetFromHandle(pWnd ? pWnd->m_hWnd : nullptr), false); }
CClientDC::~CClientDC() = default;

// --- icons and cursors -----------------------------------------------------------

namespace {

struct IconTables {
  std::unordered_map<UINT, std::pair<const unsigned char*, std::size_t>> resources;
  std::unordered_map<UINT, HICON> shared;         // LoadIcon of resources
  std::unordered_map<int, HICON> system;          // IDI_*/IDC_*
  std::unordered_set<HICON> live;
  HCURSOR current = nullptr;
};

IconTables& Icons() {
  static auto* tables = new IconTables;
  return *tables;
}

HICON NewIcon() {
  auto* icon = new HICON__;
  Icons().live.insert(icon);
  return icon;
}

int ResourceNumber(LPCSTR name) {
  return IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<ULONG_PTR>(name)) : -1;
}

}  // namespace

const QImage& HICON__::Image() {
  if (!decoded) {
    decoded = true;
    if (!andMask.isNull()) {
      image = QImage(andMask.size(), QImage::Format_ARGB32);
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
          const bool a = andMask.pixelIndex(x, y) != 0;
          const bool b = xorMask.pixelIndex(x, y) != 0;
          image.setPixel(x, y, a ? (b ? qRgba(0, 0, 0, 255) : qRgba(0, 0, 0, 0)) : (b ? qRgb(255, 255, 255) : qRgb(0, 0, 0)));
        }
      }
    } else if (data != nullptr && size > 0 && size <= 0x7FFFFFFF) {
      image.loadFromData(data, static_cast<int>(size));
    } else if (!ownData.empty() && ownData.size() <= 0x7FFFFFFF) {
      image.loadFromData(ownData.data(), static_cast<int>(ownData.size()));
    }
  }
  return image;
}

QIcon HICON__::Icon() {
  if (!UiRunning()) return QIcon();
  if (!iconMade) {
    iconMade = true;
    if (systemId != 0 && !isCursor) {
      QStyle::StandardPixmap sp = QStyle::SP_DesktopIcon;
      switch (systemId) {
        case 32513:
          sp = QStyle::SP_MessageBoxCritical;
          break;
        case 32514:
          sp = QStyle::SP_MessageBoxQuestion;
          break;
        case 32515:
          sp = QStyle::SP_MessageBoxWarning;
          break;
        case 32516:
          sp = QStyle::SP_MessageBoxInformation;
          break;
        default:
          break;
      }
      iconCache = QApplication::style()->standardIcon(sp);
    } else if (!Image().isNull()) {
      iconCache = QIcon(QPixmap::fromImage(Image()));
    }
  }
  return iconCache;
}

QCursor HICON__::Cursor() {
  if (systemId != 0) {
    switch (systemId) {
      case 32513:
        return QCursor(Qt::IBeamCursor);
      case 32514:
        return QCursor(Qt::WaitCursor);
      case 32515:
        return QCursor(Qt::CrossCursor);
      case 32516:
        return QCursor(Qt::UpArrowCursor);
      case 32646:
        return QCursor(Qt::SizeAllCursor);
      case 32648:
        return QCursor(Qt::ForbiddenCursor);
      case 32649:
        return QCursor(Qt::PointingHandCursor);
      case 32650:
        return QCursor(Qt::BusyCursor);
      case 32651:
        return QCursor(Qt::WhatsThisCursor);
      default:
        return QCursor(Qt::ArrowCursor);
    }
  }
  if (!UiRunning()) return QCursor();
  if (!andMask.isNull()) {
    // Windows AND/XOR planes -> Qt bitmap/mask: black (0/0) is B1 M1,
    // white (0/1) B0 M1, transparent (1/0) B0 M0, inverted (1/1) B1 M0.
    QImage bits(andMask.size(), QImage::Format_Mono);
    QImage mask(andMask.size(), QImage::Format_Mono);
    const QList<QRgb> table{qRgb(255, 255, 255), qRgb(0, 0, 0)};
    bits.setColorTable(table);
    mask.setColorTable(table);
    for (int y = 0; y < bits.height(); ++y) {
      for (int x = 0; x < bits.width(); ++x) {
        const bool a = andMask.pixelIndex(x, y) != 0;
        const bool b = xorMask.pixelIndex(x, y) != 0;
        bits.setPixel(x, y, (a == b) ? 1 : 0);
        mask.setPixel(x, y, a ? 0 : 1);
      }
    }
    return QCursor(QBitmap::fromImage(bits), QBitmap::fromImage(mask), hotSpot.x(), hotSpot.y());
  }
  if (!Image().isNull()) return QCursor(QPixmap::fromImage(Image()), hotSpot.x(), hotSpot.y());
  return QCursor();
}

namespace tesk::ui {

bool IsLiveIcon(HICON h) { return h != nullptr && Icons().live.count(h) != 0; }

QIcon IconOf(HICON h) { return IsLiveIcon(h) ? h->Icon() : QIcon(); }

QPixmap IconPixmap(HICON h, int size) {
  const QIcon icon = IconOf(h);
  if (icon.isNull()) return QPixmap();
  QPixmap pixmap = icon.pixmap(size, size);
  if (!pixmap.isNull() && (pixmap.width() < size || pixmap.height() < size)) {
    pixmap = pixmap.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  return pixmap;
}

QCursor CursorOf(HCURSOR h) { return IsLiveIcon(h) ? h->Cursor() : QCursor(Qt::BlankCursor); }

}  // namespace tesk::ui

void RegisterIconResource(UINT nID, const void* data, std::size_t size) {
  IconTables& t = Icons();
  t.resources[nID] = {static_cast<const unsigned char*>(data), size};
  auto it = t.shared.find(nID);
  if (it != t.shared.end()) {
    HICON icon = it->second;
    icon->data = static_cast<const unsigned char*>(data);
    icon->size = size;
    icon->decoded = false;
    icon->iconMade = false;
    icon->image = QImage();
    icon->iconCache = QIcon();
  }
}

HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  const int number = ResourceNumber(lpIconName);
  if (number < 0) return nullptr;
  IconTables& t = Icons();
  if (hInstance == nullptr && number >= 32512 && number <= 32517) {
    auto it = t.system.find(number);
    if (it != t.system.end()) return it->second;
    HICON icon = NewIcon();
    icon->systemId = number;
    icon->shared = true;
    t.system[number] = icon;
    return icon;
  }
  const UINT id = static_cast<UINT>(number);
  auto it = t.shared.find(id);
  if (it != t.shared.end()) return it->second;
  auto res = t.resources.find(id);
  if (res == t.resources.end()) return nullptr;
  HICON icon = NewIcon();
  icon->data = res->second.first;
  icon->size = res->second.second;
  icon->shared = true;
  t.shared[id] = icon;
  return icon;
}

HICON AfxLoadIcon(UINT nIDResource) { return LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCE(nIDResource)); }

HANDLE LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad) {
  if (type == IMAGE_CURSOR) return LoadCursorA(hInst, name);
  if (type != IMAGE_ICON) return nullptr;
  HICON shared = LoadIconA(hInst, name);
  if (shared == nullptr || (fuLoad & LR_SHARED)) return shared;
  HICON icon = NewIcon();
  icon->systemId = shared->systemId;
  if (shared->systemId == 0) {
    QImage img = shared->Image();
    if (cx > 0 && cy > 0 && !img.isNull()) img = img.scaled(cx, cy, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    icon->image = img;
    icon->decoded = true;
  }
  return icon;
}

HICON CreateIconFromImageData(const void* data, std::size_t size) {
  if (data == nullptr || size == 0) return nullptr;
  const auto* bytes = static_cast<const unsigned char*>(data);
  HICON icon = NewIcon();
  icon->ownData.assign(bytes, bytes + size);
  if (icon->Image().isNull()) {
    DestroyIcon(icon);
    return nullptr;
  }
  return icon;
}

BOOL DestroyIcon(HICON hIcon) {
  if (!IsLiveIcon(hIcon)) return FALSE;
  if (hIcon->shared) return TRUE;
  IconTables& t = Icons();
  if (t.current == hIcon) t.current = nullptr;
  t.live.erase(hIcon);
  delete hIcon;
  return TRUE;
}

HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
  const int number = ResourceNumber(lpCursorName);
  if (hInstance != nullptr || number < 32512 || number > 32651) return nullptr;
  IconTables& t = Icons();
  auto it = t.system.find(-number);
  if (it != t.system.end()) return it->second;
  HICON cursor = NewIcon();
  cursor->systemId = number;
  cursor->isCursor = true;
  cursor->shared = true;
  t.system[-number] = cursor;
  return cursor;
}

HCURSOR CreateCursor(HINSTANCE, int xHotSpot, int yHotSpot, int nWidth, int nHeight, const void* pvANDPlane,
                     const void* pvXORPlane) {
  if (nWidth <= 0 || nHeight <= 0 || nWidth > 256 || nHeight > 256 || !pvANDPlane || !pvXORPlane) return nullptr;
  const int stride = ((nWidth + 15) / 16) * 2;
  const auto* andBits = static_cast<const unsigned char*>(pvANDPlane);
  const auto* xorBits = static_cast<const unsigned char*>(pvXORPlane);
  HICON cursor = NewIcon();
  cursor->isCursor = true;
  cursor->hotSpot = QPoint(xHotSpot, yHotSpot);
  cursor->andMask = QImage(nWidth, nHeight, QImage::Format_Mono);
  cursor->xorMask = QImage(nWidth, nHeight, QImage::Format_Mono);
  const QList<QRgb> table{qRgb(0, 0, 0), qRgb(255, 255, 255)};
  cursor->andMask.setColorTable(table);
  cursor->xorMask.setColorTable(table);
  for (int y = 0; y < nHeight; ++y) {
    for (int x = 0; x < nWidth; ++x) {
      const int byte = y * stride + x / 8;
      const int bit = 7 - x % 8;
      cursor->andMask.setPixel(x, y, (andBits[byte] >> bit) & 1);
      cursor->xorMask.setPixel(x, y, (xorBits[byte] >> bit) & 1);
    }
  }
  return cursor;
}

HCURSOR CreateCursorFromImageData(const void* data, std::size_t size, int xHotSpot, int yHotSpot) {
  HICON cursor = CreateIconFromImageData(data, size);
  if (cursor == nullptr) return nullptr;
  cursor->isCursor = true;
  cursor->hotSpot = QPoint(xHotSpot, yHotSpot);
  return cursor;
}

BOOL DestroyCursor(HCURSOR hCursor) { return DestroyIcon(hCursor); }

HCURSOR SetCursor(HCURSOR hCursor) {
  IconTables& t = Icons();
  const HCURSOR old = t.current;
  t.current = IsLiveIcon(hCursor) ? hCursor : nullptr;
  if (!UiRunning()) return old;
  HWND target = CurrentCursorTarget();
  if (target == nullptr) target = GetCapture();
  QWidget* w = nullptr;
  if (target != nullptr) {
    w = AfxWidgetFromHandle(target);
  } else {
    w = QApplication::widgetAt(QCursor::pos());
  }
  if (w == nullptr) return old;
  if (WindowRecord* rec = Registry::Get().FindExact(w)) {
    if (!rec->cursorOverridden) {
      rec->hadOwnCursor = w->testAttribute(Qt::WA_SetCursor);
      rec->savedCursor = w->cursor();
      rec->cursorOverridden = true;
    }
  }
  w->setCursor(CursorOf(t.current));
  return old;
}

HCURSOR GetCursor() { return Icons().current; }

// --- the wait cursor ---------------------------------------------------------------

CWaitCursor::CWaitCursor() {
  if (UiRunning()) {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    m_bActive = true;
  }
}

CWaitCursor::~CWaitCursor() {
  if (m_bActive && UiRunning()) QApplication::restoreOverrideCursor();
}

void CWaitCursor::Restore() {
  if (!UiRunning()) return;
  if (m_bActive) {
    QApplication::changeOverrideCursor(QCursor(Qt::WaitCursor));
  } else {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    m_bActive = true;
  }
}
