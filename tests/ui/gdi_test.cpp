// Drawing: DrawText's formats and measuring, fills, icons, focus
// rectangles, fonts from LOGFONTs, measuring DCs; geometry helpers and
// colours; monochrome cursors from AND/XOR planes.
#include <QBitmap>
#include <QFontMetrics>
#include <QLabel>

#include <functional>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_GDI = 600;
constexpr int IDC_CANVAS = 6001;

void RegisterGdiTemplate() {
  RegisterTestIcons();
  RegisterDialogTemplate("en", {IDD_GDI,
                                "Drawing",
                                WS_POPUP | WS_CAPTION | WS_VISIBLE,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                200,
                                90,
                                {{IDC_CANVAS, DlgItem::LText, "", 7, 7, 180, 70}}});
}

// A control whose OnPaint runs the test's drawing.
class Canvas : public CStatic {
 public:
  std::function<void(CDC&)> draw;
  int paints = 0;

 protected:
  void OnPaint(CDC& dc) override {
    ++paints;
    CRect client;
    GetClientRect(&client);
    dc.FillSolidRect(&client, RGB(255, 255, 255));
    if (draw) draw(dc);
  }
};

// The box around the pixels of a colour (null when there are none).
QRect BoxOf(const QImage& image, const std::function<bool(QColor)>& match) {
  QRect box;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (match(image.pixelColor(x, y))) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

bool Dark(QColor c) { return c.lightness() < 110; }

class UiDrawingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterGdiTemplate();
    ASSERT_TRUE(dlg.Create(IDD_GDI));
    ASSERT_TRUE(canvas.SubclassDlgItem(IDC_CANVAS, &dlg));
    widget = AfxWidgetFromHandle(canvas.m_hWnd);
    ASSERT_NE(widget, nullptr);
  }
  void TearDown() override { dlg.DestroyWindow(); }

  QImage Paint(std::function<void(CDC&)> draw) {
    canvas.draw = std::move(draw);
    const QImage image = widget->grab().toImage();
    canvas.draw = nullptr;
    return image;
  }
  CRect Client() {
    CRect r;
    canvas.GetClientRect(&r);
    return r;
  }

  CDialog dlg{IDD_GDI};
  Canvas canvas;
  QWidget* widget = nullptr;
};

TEST_F(UiDrawingTest, DrawTextAlignsAndColours) {
  const CRect client = Client();
  ASSERT_GT(client.Width(), 100);
  const QImage left = Paint([&](CDC& dc) {
    CRect r = client;
    dc.SetTextColor(RGB(0, 0, 0));
    dc.DrawText("Left", r, DT_LEFT | DT_TOP | DT_SINGLELINE);
  });
  const QImage right = Paint([&](CDC& dc) {
    CRect r = client;
    dc.DrawText("Right", -1, r, DT_RIGHT | DT_BOTTOM | DT_SINGLELINE);
  });
  const QImage centred = Paint([&](CDC& dc) {
    CRect r = client;
    dc.DrawText(CString("Mid"), r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  });
  const QRect l = BoxOf(left, Dark);
  const QRect r = BoxOf(right, Dark);
  const QRect c = BoxOf(centred, Dark);
  ASSERT_FALSE(l.isNull());
  ASSERT_FALSE(r.isNull());
  ASSERT_FALSE(c.isNull());
  EXPECT_LT(l.left(), 4);
  EXPECT_LT(l.top(), client.Height() / 3);
  EXPECT_GT(r.right(), client.Width() - 5);
  EXPECT_GT(r.bottom(), client.Height() * 2 / 3);
  EXPECT_NEAR(c.center().x(), client.Width() / 2, 4);
  EXPECT_NEAR(c.center().y(), client.Height() / 2, 4);

  // Opaque text fills its box with the background colour; transparent
  // text does not.
  auto green = [](QColor q) { return q.green() > 200 && q.red() < 60 && q.blue() < 60; };
  const QImage opaque = Paint([&](CDC& dc) {
    CRect rect = client;
    dc.SetBkMode(OPAQUE);
    dc.SetBkColor(RGB(0, 255, 0));
    dc.SetTextColor(RGB(0, 0, 255));
    dc.DrawText("Opaque", rect, DT_SINGLELINE);
  });
  const QRect g = BoxOf(opaque, green);
  ASSERT_FALSE(g.isNull());
  EXPECT_EQ(g.topLeft(), QPoint(0, 0));
  EXPECT_NEAR(g.width(), QFontMetrics(widget->font()).horizontalAdvance(QStringLiteral("Opaque")), 2);
  EXPECT_FALSE(BoxOf(opaque, [](QColor q) { return q.blue() > 200 && q.red() < 60; }).isNull());
  const QImage transparent = Paint([&](CDC& dc) {
    CRect rect = client;
    dc.SetBkColor(RGB(0, 255, 0));
    EXPECT_EQ(dc.SetBkMode(TRANSPARENT), OPAQUE);
    dc.DrawText("Clear", rect, DT_SINGLELINE);
  });
  EXPECT_TRUE(BoxOf(transparent, green).isNull());
}

TEST_F(UiDrawingTest, MeasuresTextLikeWindows) {
  const QFontMetrics fm(widget->font());
  CClientDC dc(&canvas);
  EXPECT_FALSE(dc.CanDraw());
  CRect r(10, 20, 10, 20);
  EXPECT_EQ(dc.DrawText("Backup", r, DT_CALCRECT | DT_SINGLELINE), fm.height());
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 20);
  EXPECT_EQ(r.Width(), fm.horizontalAdvance(QStringLiteral("Backup")));
  EXPECT_EQ(r.Height(), fm.height());
  EXPECT_EQ(dc.GetTextExtent("Backup"), CSize(r.Width(), r.Height()));

  // '&' marks a mnemonic unless DT_NOPREFIX.
  CRect prefixed(0, 0, 0, 0);
  dc.DrawText("&File", prefixed, DT_CALCRECT | DT_SINGLELINE);
  EXPECT_EQ(prefixed.Width(), fm.horizontalAdvance(QStringLiteral("File")));
  CRect literal(0, 0, 0, 0);
  dc.DrawText("&File", literal, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  EXPECT_EQ(literal.Width(), fm.horizontalAdvance(QStringLiteral("&File")));

  // Word breaks keep the width and grow downwards.
  const int narrow = fm.horizontalAdvance(QStringLiteral("several")) + 2;
  CRect wrapped(0, 0, narrow, 0);
  const int height = dc.DrawText("several words in a narrow box", wrapped, DT_CALCRECT | DT_WORDBREAK);
  EXPECT_EQ(wrapped.Width(), narrow);
  EXPECT_GE(height, 4 * fm.lineSpacing() - 1);
  EXPECT_EQ(wrapped.Height(), height);

  TEXTMETRIC tm;
  ASSERT_TRUE(dc.GetTextMetrics(&tm));
  EXPECT_EQ(tm.tmHeight, fm.height());
  EXPECT_EQ(tm.tmAscent + tm.tmDescent, fm.ascent() + fm.descent());
  EXPECT_GT(tm.tmAveCharWidth, 0);

  // Drawing outside painting is dropped, quietly.
  CRect box(0, 0, 50, 20);
  EXPECT_GT(dc.DrawText("x", box, DT_SINGLELINE), 0);
  dc.FillSolidRect(&box, RGB(1, 2, 3));
  EXPECT_EQ(dc.GetBkColor(), RGB(1, 2, 3));  // as in MFC, it sets the background colour
}

TEST_F(UiDrawingTest, SelectedFontsChangeTheText) {
  LOGFONT lf;
  ASSERT_TRUE(canvas.GetFont()->GetLogFont(&lf));
  EXPECT_EQ(lf.lfHeight, -11);
  EXPECT_EQ(lf.lfWeight, FW_NORMAL);
  lf.lfHeight = -30;
  lf.lfWeight = FW_BOLD;
  lf.lfUnderline = TRUE;
  CFont big;
  ASSERT_TRUE(big.CreateFontIndirect(&lf));
  EXPECT_EQ(CFont::FromHandle(big.GetSafeHandle()), &big);
  LOGFONT back;
  EXPECT_EQ(big.GetLogFont(&back), static_cast<int>(sizeof back));
  EXPECT_EQ(back.lfHeight, -30);
  EXPECT_EQ(back.lfUnderline, 1);

  int smallHeight = 0;
  int bigHeight = 0;
  const QImage image = Paint([&](CDC& dc) {
    CRect r = Client();
    smallHeight = dc.DrawText("Ag", r, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(dc.SelectObject(&big), nullptr);
    EXPECT_EQ(dc.GetCurrentFont(), &big);
    CRect m = Client();
    bigHeight = dc.DrawText("Ag", m, DT_CALCRECT | DT_SINGLELINE);
    CRect d = Client();
    dc.DrawText("Ag", d, DT_SINGLELINE);
    EXPECT_EQ(dc.SelectObject(static_cast<CFont*>(nullptr)), &big);
  });
  EXPECT_GT(bigHeight, smallHeight * 2);
  EXPECT_GT(BoxOf(image, Dark).height(), 15);

  CFont point;
  ASSERT_TRUE(point.CreatePointFont(120, "Arial"));
  point.GetLogFont(&back);
  EXPECT_EQ(back.lfHeight, -16);
  EXPECT_STREQ(back.lfFaceName, "Arial");
  EXPECT_TRUE(point.DeleteObject());
  EXPECT_EQ(point.GetSafeHandle(), nullptr);
  EXPECT_EQ(point.GetLogFont(&back), 0);
}

TEST_F(UiDrawingTest, FillsIconsFocusRectanglesAndPaintDcs) {
  const HICON red = AfxLoadIcon(kIconRed);
  bool sharedPainter = false;
  const QImage image = Paint([&](CDC& dc) {
    dc.FillSolidRect(0, 0, 10, 10, RGB(0, 0, 255));
    EXPECT_TRUE(dc.DrawIcon(CPoint(20, 2), red));
    EXPECT_FALSE(dc.DrawIcon(60, 2, nullptr));
    CRect focus(60, 2, 80, 20);
    dc.SetTextColor(RGB(0, 0, 0));
    dc.DrawFocusRect(&focus);
    dc.Draw3dRect(CRect(90, 2, 110, 20), RGB(255, 0, 255), RGB(255, 0, 255));
    // CPaintDC(this) inside OnPaint draws on the same painter.
    CPaintDC paint(&canvas);
    sharedPainter = paint.CanDraw();
    paint.FillSolidRect(120, 2, 8, 8, RGB(255, 255, 0));
    paint.MoveTo(130, 30);
    paint.LineTo(150, 30);
  });
  EXPECT_EQ(image.pixelColor(5, 5), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(11, 5), QColor(255, 255, 255));
  // The 16 x 16 icon stretched to 32 x 32.
  EXPECT_EQ(BoxOf(image, [](QColor c) { return c.red() > 200 && c.green() < 50 && c.blue() < 50; }),
            QRect(20, 2, 32, 32));
  // The focus rectangle: dots on its border, nothing inside.
  int dots = 0;
  for (int x = 60; x < 80; ++x) dots += Dark(image.pixelColor(x, 2)) ? 1 : 0;
  EXPECT_GE(dots, 5);
  EXPECT_LE(dots, 15);
  EXPECT_FALSE(Dark(image.pixelColor(70, 10)));
  EXPECT_EQ(image.pixelColor(90, 10), QColor(255, 0, 255));
  EXPECT_EQ(image.pixelColor(109, 10), QColor(255, 0, 255));
  EXPECT_EQ(image.pixelColor(100, 10), QColor(255, 255, 255));
  EXPECT_TRUE(sharedPainter);
  EXPECT_EQ(image.pixelColor(124, 6), QColor(255, 255, 0));
  EXPECT_TRUE(Dark(image.pixelColor(140, 30)));

  // Outside OnPaint a CPaintDC only measures.
  CPaintDC outside(&canvas);
  EXPECT_FALSE(outside.CanDraw());
}

TEST(UiGeometry, RectanglesPointsNumbersAndColours) {
  CRect r(10, 20, 110, 70);
  EXPECT_EQ(r.Width(), 100);
  EXPECT_EQ(r.Height(), 50);
  EXPECT_EQ(r.CenterPoint(), CPoint(60, 45));
  EXPECT_TRUE(r.PtInRect(CPoint(10, 20)));
  EXPECT_FALSE(r.PtInRect(CPoint(110, 20)));  // right and bottom are outside
  r.OffsetRect(5, -5);
  EXPECT_EQ(r, CRect(15, 15, 115, 65));
  r.InflateRect(2, 3);
  EXPECT_EQ(r, CRect(13, 12, 117, 68));
  r.DeflateRect(2, 3);
  CRect flipped(5, 6, 1, 2);
  flipped.NormalizeRect();
  EXPECT_EQ(flipped, CRect(1, 2, 5, 6));
  EXPECT_TRUE(CRect().IsRectEmpty());
  RECT a{0, 0, 10, 10};
  RECT b{5, 5, 20, 20};
  RECT out;
  EXPECT_TRUE(IntersectRect(&out, &a, &b));
  EXPECT_EQ(CRect(out), CRect(5, 5, 10, 10));
  EXPECT_TRUE(UnionRect(&out, &a, &b));
  EXPECT_EQ(CRect(out), CRect(0, 0, 20, 20));
  RECT far{30, 30, 40, 40};
  EXPECT_FALSE(IntersectRect(&out, &a, &far));
  EXPECT_TRUE(IsRectEmpty(&out));
  EXPECT_TRUE(PtInRect(&a, POINT{9, 9}));
  EXPECT_FALSE(PtInRect(&a, POINT{10, 9}));

  // Mouse coordinates travel as signed 16-bit halves.
  const LPARAM lp = MAKELPARAM(static_cast<WORD>(-5), 300);
  EXPECT_EQ(CPoint(lp), CPoint(-5, 300));
  EXPECT_EQ(GET_X_LPARAM(lp), -5);
  EXPECT_EQ(LOWORD(MAKEWPARAM(1013, EN_CHANGE)), 1013);
  EXPECT_EQ(HIWORD(MAKEWPARAM(1013, EN_CHANGE)), EN_CHANGE);

  // MulDiv rounds half away from zero.
  EXPECT_EQ(MulDiv(7, 6, 4), 11);    // 10.5
  EXPECT_EQ(MulDiv(-7, 6, 4), -11);  // -10.5
  EXPECT_EQ(MulDiv(5, 6, 4), 8);     // 7.5
  EXPECT_EQ(MulDiv(1, 1, 3), 0);
  EXPECT_EQ(MulDiv(8, 96, 72), 11);
  EXPECT_EQ(MulDiv(1, 2, 0), -1);
  EXPECT_EQ(MulDiv(0x40000000, 8, 2), -1);  // overflow

  const COLORREF c = RGB(0x12, 0x34, 0x56);
  EXPECT_EQ(c, 0x563412u);
  EXPECT_EQ(GetRValue(c), 0x12);
  EXPECT_EQ(GetGValue(c), 0x34);
  EXPECT_EQ(GetBValue(c), 0x56);

  // The published values of the constants programs rely on.
  EXPECT_EQ(WM_PAINT, 0x000Fu);
  EXPECT_EQ(WM_USER, 0x0400u);
  EXPECT_EQ(WM_COMMAND, 0x0111u);
  EXPECT_EQ(WM_NOTIFY, 0x004Eu);
  EXPECT_EQ(BN_CLICKED, 0);
  EXPECT_EQ(EN_CHANGE, 0x0300);
  EXPECT_EQ(TVN_ITEMEXPANDING, static_cast<UINT>(-405));
  EXPECT_EQ(TVN_SELCHANGED, static_cast<UINT>(-402));
  EXPECT_EQ(TVE_EXPAND, 2u);
  EXPECT_EQ(TVE_COLLAPSE, 1u);
  EXPECT_EQ(TVGN_CARET, 9u);
  EXPECT_EQ(TVGN_CHILD, 4u);
  EXPECT_EQ(TVIF_CHILDREN, 0x40u);
  EXPECT_EQ(PBM_SETPOS, 0x0402u);
  EXPECT_EQ(PBM_SETRANGE32, 0x0406u);
  EXPECT_EQ(SW_HIDE, 0);
  EXPECT_EQ(SW_SHOW, 5);
  EXPECT_EQ(SW_SHOWNORMAL, 1);
  EXPECT_EQ(DLGC_WANTCHARS, 0x80u);
  EXPECT_EQ(DT_CALCRECT, 0x400u);
  EXPECT_EQ(DT_SINGLELINE, 0x20u);
  EXPECT_EQ(SS_CENTER, 0x1u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(TVI_ROOT), static_cast<ULONG_PTR>(-0x10000));
}

TEST(UiCursor, MonochromePlanesBecomeTheCursorsPixels) {
  StartUi();
  // 16 x 2: row 0 black | white | transparent | inverted in blocks of 4,
  // row 1 all transparent. Rows are 16 bits wide.
  const unsigned char andPlane[] = {0x00, 0xFF, 0xFF, 0xFF};
  const unsigned char xorPlane[] = {0x0F, 0x0F, 0x00, 0x00};
  const HCURSOR cursor = CreateCursor(AfxGetInstanceHandle(), 3, 1, 16, 2, andPlane, xorPlane);
  ASSERT_NE(cursor, nullptr);

  SetCursor(cursor);
  EXPECT_EQ(GetCursor(), cursor);

  // The cursor as Qt gets it: bitmap and mask, black on the bits.
  CStatic holder;
  RegisterGdiTemplate();
  CDialog dlg(IDD_GDI);
  ASSERT_TRUE(dlg.Create(IDD_GDI));
  ASSERT_TRUE(holder.SubclassDlgItem(IDC_CANVAS, &dlg));
  holder.SetCapture();
  SetCursor(cursor);
  ReleaseCapture();
  const QCursor q = AfxWidgetFromHandle(holder.m_hWnd)->cursor();
  EXPECT_EQ(q.shape(), Qt::BitmapCursor);
  EXPECT_EQ(q.hotSpot(), QPoint(3, 1));
  const QImage bits = q.bitmap().toImage();
  const QImage mask = q.mask().toImage();
  ASSERT_EQ(bits.size(), QSize(16, 2));
  auto set = [](const QImage& img, int x, int y) { return img.pixelColor(x, y) == QColor(Qt::black); };
  // black: bit and mask
  EXPECT_TRUE(set(bits, 1, 0));
  EXPECT_TRUE(set(mask, 1, 0));
  // white: mask only
  EXPECT_FALSE(set(bits, 5, 0));
  EXPECT_TRUE(set(mask, 5, 0));
  // transparent: neither
  EXPECT_FALSE(set(bits, 9, 0));
  EXPECT_FALSE(set(mask, 9, 0));
  // inverted: bit without mask
  EXPECT_TRUE(set(bits, 13, 0));
  EXPECT_FALSE(set(mask, 13, 0));
  EXPECT_FALSE(set(mask, 1, 1));

  EXPECT_TRUE(DestroyCursor(cursor));
  EXPECT_EQ(GetCursor(), nullptr);
  EXPECT_FALSE(DestroyCursor(cursor));
  EXPECT_EQ(CreateCursor(nullptr, 0, 0, 0, 0, andPlane, xorPlane), nullptr);

  const HCURSOR fromPng = CreateCursorFromImageData(kRedPng, sizeof kRedPng, 4, 5);
  ASSERT_NE(fromPng, nullptr);
  EXPECT_TRUE(DestroyCursor(fromPng));
  dlg.DestroyWindow();
}

TEST(UiSystem, ColoursAndDialogUnitsOnceTheUiRuns) {
  StartUi();
  const QColor window = QApplication::palette().color(QPalette::Base);
  EXPECT_EQ(GetSysColor(COLOR_WINDOW), RGB(window.red(), window.green(), window.blue()));
  const QColor text = QApplication::palette().color(QPalette::ButtonText);
  EXPECT_EQ(GetSysColor(COLOR_BTNTEXT), RGB(text.red(), text.green(), text.blue()));
  const SIZE units = GetDialogBaseUnitsOf("MS Sans Serif", 8);
  EXPECT_GT(units.cx, 3);
  EXPECT_GT(units.cy, 10);
  const SIZE bigger = GetDialogBaseUnitsOf(nullptr, 16);
  EXPECT_GT(bigger.cx, units.cx);
  EXPECT_GT(bigger.cy, units.cy);
}

}  // namespace
