// The hyperlink on a real dialog (Qt's offscreen platform): colours from the
// registry file, drawing, cursor, clicks and keys, with a recording program
// standing in for the desktop's opener.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <windows.h>

#include <QApplication>
#include <QBitmap>
#include <QImage>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <HyperLink.h>

#include "fixture.h"
#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_LINK_TEST = 4120;
constexpr int IDC_LINK = 1012;
constexpr int IDC_EDIT = 1014;
constexpr char kAddress[] = "https://www.example.org/tesk";
constexpr char kSettings[] = "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\Settings]\n";

void RegisterLinkTemplate() {
  // The static has no SS_NOTIFY: the link adds it.
  RegisterDialogTemplate("en", {IDD_LINK_TEST,
                                "Link",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                240,
                                80,
                                {{IDC_LINK, DlgItem::LText, kAddress, 7, 7, 226, 10},
                                 {IDC_EDIT, DlgItem::EditText, "", 7, 30, 100, 14},
                                 {IDOK, DlgItem::DefPushButton, "OK", 7, 55, 50, 14},
                                 {IDCANCEL, DlgItem::PushButton, "Cancel", 60, 55, 50, 14}}});
}

class LinkDialog : public CDialog {
 public:
  LinkDialog() : CDialog(IDD_LINK_TEST) {}
  CHyperLink m_link;
  std::vector<int> commands;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    EXPECT_TRUE(m_link.SubclassWindow(GetDlgItem(IDC_LINK)->m_hWnd));
    return TRUE;
  }
  BOOL OnCommand(WPARAM wParam, LPARAM) override {
    commands.push_back(LOWORD(wParam));
    return TRUE;  // nothing closes the dialog
  }
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

using ColorTest = std::function<bool(QColor)>;

ColorTest Near(COLORREF c) {
  return [c](QColor q) {
    return std::abs(q.red() - GetRValue(c)) < 40 && std::abs(q.green() - GetGValue(c)) < 40 &&
           std::abs(q.blue() - GetBValue(c)) < 40;
  };
}

int CountPixels(const QImage& image, const ColorTest& match, int rowFrom = 0, int rowTo = -1) {
  if (rowTo < 0) rowTo = image.height() - 1;
  int n = 0;
  for (int y = rowFrom; y <= rowTo && y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) n += match(image.pixelColor(x, y)) ? 1 : 0;
  }
  return n;
}

// The most matching pixels in one row (an underline fills a row).
int WidestRow(const QImage& image, const ColorTest& match) {
  int best = 0;
  for (int y = 0; y < image.height(); ++y) best = std::max(best, CountPixels(image, match, y, y));
  return best;
}

constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kPurple = RGB(128, 0, 128);
constexpr COLORREF kGreen = RGB(0, 128, 0);

class HyperLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterLinkTemplate();
    WriteText(opener_, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (dir_ / "opened") + "'\n");
    ASSERT_EQ(::chmod(opener_.c_str(), 0755), 0);
  }
  void TearDown() override { Close(); }

  // Shows the dialog with `registry` as the registry file's content.
  void Open(const std::string& registry = "") {
    WriteText(dir_ / "registry.ini", registry);
    dlg_ = std::make_unique<LinkDialog>();
    ASSERT_TRUE(dlg_->Create(IDD_LINK_TEST));
    dialog_ = AfxWidgetFromHandle(dlg_->m_hWnd);
    link_ = AfxWidgetFromHandle(dlg_->m_link.m_hWnd);
    ASSERT_TRUE(dialog_ && link_);
    ASSERT_TRUE(WaitFor([&] { return dialog_->isVisible(); }));
    dialog_->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == dialog_; }));
  }
  void Close() {
    if (dlg_ && dlg_->m_hWnd) dlg_->DestroyWindow();
    dlg_.reset();
  }
  QImage Grab() const { return link_->grab().toImage(); }

  // What the opener was called with, one line per call.
  std::vector<std::string> Opened() const {
    std::ifstream in(dir_ / "opened");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool WaitOpened(std::size_t n) {
    const bool reached = WaitFor([&] { return Opened().size() >= n; });
    // A stray further call would show up by now.
    QTest::qWait(200);
    return reached && Opened().size() == n;
  }

  QPoint OnText() const { return QPoint(4, link_->height() / 2); }
  QPoint BesideText() const { return QPoint(link_->width() - 4, link_->height() / 2); }
  HWND LinkHandle() const { return dlg_->m_link.m_hWnd; }
  bool Commanded(int id) const {
    return std::find(dlg_->commands.begin(), dlg_->commands.end(), id) != dlg_->commands.end();
  }

  testing_support::TempDir dir_;
  std::string opener_ = dir_ / "opener";
  ScopedEnv registryEnv_{"WINREG_FILE", dir_ / "registry.ini"};
  ScopedEnv openerEnv_{"TESK_SHELL_OPEN", opener_};
  std::unique_ptr<LinkDialog> dlg_;
  QWidget* dialog_ = nullptr;
  QWidget* link_ = nullptr;
};

}  // namespace

TEST(HyperLinkParseColor, ReadsThreeDecimalNumbers) {
  EXPECT_EQ(CHyperLink::ParseColor("0,128,0"), RGB(0, 128, 0));
  EXPECT_EQ(CHyperLink::ParseColor("255,255,255"), RGB(255, 255, 255));
  EXPECT_EQ(CHyperLink::ParseColor("1,2,3"), 0x030201u);
  // Blanks and signs before a number; a number ends at its first non-digit.
  EXPECT_EQ(CHyperLink::ParseColor(" 12,\t+34,  56"), RGB(12, 34, 56));
  EXPECT_EQ(CHyperLink::ParseColor("12px,34 ,56;"), RGB(12, 34, 56));
  EXPECT_EQ(CHyperLink::ParseColor(",,7"), RGB(0, 0, 7));
  EXPECT_EQ(CHyperLink::ParseColor("0,128, "), RGB(0, 128, 0));
}

TEST(HyperLinkParseColor, RejectsIncompleteTextsAndMinusOne) {
  EXPECT_EQ(CHyperLink::ParseColor(""), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor(nullptr), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor("0,128"), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor("0 128 0"), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor("0,128,"), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor("-1,0,0"), CHyperLink::kNoColor);
  EXPECT_EQ(CHyperLink::ParseColor("0, -1,0"), CHyperLink::kNoColor);
  // Blue -1 is only cut to 8 bits.
  EXPECT_EQ(CHyperLink::ParseColor("0,0,-1"), RGB(0, 0, 255));
}

TEST(HyperLinkParseColor, CutsEachNumberToEightBits) {
  EXPECT_EQ(CHyperLink::ParseColor("256,300,511"), RGB(0, 44, 255));
  EXPECT_EQ(CHyperLink::ParseColor("-2,-256,-255"), RGB(254, 0, 1));
  EXPECT_EQ(CHyperLink::ParseColor("99999999999999999999,0,0"), RGB(255, 0, 0));
}

TEST(HyperLinkParseColor, WalksUtf8CharactersWithoutLosingAComma) {
  EXPECT_EQ(CHyperLink::ParseColor("2\xC3\xA4,\xE2\x82\xAC" "5,9"), RGB(2, 0, 9));
  // A broken sequence does not swallow the comma after its lead byte.
  EXPECT_EQ(CHyperLink::ParseColor("\xE2,1,2"), RGB(0, 1, 2));
  EXPECT_EQ(CHyperLink::ParseColor("7\xF0\x9F,1,2"), RGB(7, 1, 2));
}

TEST_F(HyperLinkTest, DrawsTheStaticsTextUnderlinedInBlueWithTheTargetAsTip) {
  Open();
  const QImage image = Grab();
  EXPECT_GT(CountPixels(image, Near(kBlue)), 20) << "the text is not drawn in blue";
  // The underline: a row of blue as wide as a good part of the text.
  EXPECT_GT(WidestRow(image, Near(kBlue)), 60);
  EXPECT_EQ(link_->toolTip().toStdString(), kAddress);
  EXPECT_TRUE(dlg_->m_link.GetStyle() & SS_NOTIFY);
  char className[32];
  EXPECT_EQ(::GetClassName(LinkHandle(), className, sizeof className), 6);
  EXPECT_STREQ(className, "Static");
}

TEST_F(HyperLinkTest, ColoursComeFromTheBrowserSettings) {
  struct Case {
    std::string registry;
    COLORREF expected;
  };
  const Case cases[] = {
      {std::string(kSettings) + "\"Anchor Color\"=\"0,128,0\"\n", kGreen},
      // 11 characters and the terminator fill the buffer; 12 do not fit.
      {std::string(kSettings) + "\"Anchor Color\"=\"000,128,000\"\n", kGreen},
      {std::string(kSettings) + "\"Anchor Color\"=\"0000,128,000\"\n", kBlue},
      {std::string(kSettings) + "\"Anchor Color\"=\"0,128\"\n", kBlue},
      {std::string(kSettings) + "\"Anchor Color\"=\"\"\n", kBlue},
      {std::string(kSettings) + "\"Anchor Color Visited\"=\"0,128,0\"\n", kBlue},
      {"[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer]\n\"Anchor Color\"=\"0,128,0\"\n", kBlue},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registry);
    Open(c.registry);
    const QImage image = Grab();
    const COLORREF other = c.expected == kGreen ? kBlue : kGreen;
    EXPECT_GT(CountPixels(image, Near(c.expected)), 20);
    EXPECT_EQ(CountPixels(image, Near(other)), 0);
    Close();
  }
}

TEST_F(HyperLinkTest, AClickOnTheTextOpensTheTargetOnce) {
  Open();
  // A press beside the text neither captures nor opens, also when released
  // on the text.
  QTest::mousePress(link_, Qt::LeftButton, Qt::NoModifier, BesideText());
  EXPECT_EQ(::GetCapture(), nullptr);
  QTest::mouseRelease(link_, Qt::LeftButton, Qt::NoModifier, OnText());

  // A press on the text captures the mouse and takes the focus; released
  // beside the text it opens nothing.
  QTest::mousePress(link_, Qt::LeftButton, Qt::NoModifier, OnText());
  EXPECT_EQ(::GetCapture(), LinkHandle());
  EXPECT_TRUE(WaitFor([&] { return ::GetFocus() == LinkHandle(); }));
  QTest::mouseRelease(link_, Qt::LeftButton, Qt::NoModifier, BesideText());
  EXPECT_EQ(::GetCapture(), nullptr);

  QTest::mouseClick(link_, Qt::LeftButton, Qt::NoModifier, OnText());
  EXPECT_EQ(::GetCapture(), nullptr);
  ASSERT_TRUE(WaitOpened(1)) << Opened().size() << " calls";
  EXPECT_EQ(Opened()[0], kAddress);
}

TEST_F(HyperLinkTest, TheHandShowsOverTheTextOnly) {
  Open();
  // The mouse comes from elsewhere (an earlier dialog may have left it on
  // the same spot, where moving to it is no move).
  QTest::mouseMove(dialog_, QPoint(dialog_->width() - 2, dialog_->height() - 2));
  QTest::mouseMove(link_, OnText());
  ASSERT_TRUE(link_->testAttribute(Qt::WA_SetCursor));
  const QCursor hand = link_->cursor();
  EXPECT_EQ(hand.shape(), Qt::BitmapCursor);
  EXPECT_EQ(hand.hotSpot(), QPoint(5, 0));
  EXPECT_EQ(hand.bitmap().size(), QSize(32, 32));
  // The fingertip is drawn; the bottom right corner is transparent.
  const QImage mask = hand.mask().toImage();
  EXPECT_NE(mask.pixelIndex(5, 0), mask.pixelIndex(31, 31));

  // Moving on over the same text keeps the hand.
  QTest::mouseMove(link_, OnText() + QPoint(6, 0));
  EXPECT_EQ(link_->cursor().shape(), Qt::BitmapCursor);

  QTest::mouseMove(link_, BesideText());
  EXPECT_NE(link_->cursor().shape(), Qt::BitmapCursor);
  QTest::mouseMove(link_, OnText());
  EXPECT_EQ(link_->cursor().shape(), Qt::BitmapCursor);
}

TEST_F(HyperLinkTest, ASuccessfulOpenTurnsTheLinkPurpleForGood) {
  Open();
  QTest::mouseClick(link_, Qt::LeftButton, Qt::NoModifier, OnText());
  ASSERT_TRUE(WaitOpened(1));
  // The focus leaves: the link stays visited.
  dlg_->GetDlgItem(IDC_EDIT)->SetFocus();
  ASSERT_TRUE(WaitFor([&] { return ::GetFocus() != LinkHandle(); }));
  const QImage image = Grab();
  EXPECT_GT(CountPixels(image, Near(kPurple)), 20);
  EXPECT_EQ(CountPixels(image, Near(kBlue)), 0);
}

TEST_F(HyperLinkTest, TheVisitedColourComesFromTheBrowserSettings) {
  Open(std::string(kSettings) + "\"Anchor Color\"=\"0,128,0\"\n\"Anchor Color Visited\"=\"200,100,0\"\n");
  EXPECT_GT(CountPixels(Grab(), Near(kGreen)), 20);
  QTest::mouseClick(link_, Qt::LeftButton, Qt::NoModifier, OnText());
  ASSERT_TRUE(WaitOpened(1));
  const QImage image = Grab();
  EXPECT_GT(CountPixels(image, Near(RGB(200, 100, 0))), 20);
  EXPECT_EQ(CountPixels(image, Near(kGreen)), 0);
}

// Nothing opens the target: the link stays unvisited, and a message names
// the target so that the user can open it by hand.
TEST_F(HyperLinkTest, AFailedOpenLeavesTheLinkUnvisitedAndNamesTheTarget) {
  ScopedEnv missing("TESK_SHELL_OPEN", dir_ / "no-such-opener");
  ui_test::ScopedMessageBoxes boxes(IDOK);
  Open();
  QTest::mouseClick(link_, Qt::LeftButton, Qt::NoModifier, OnText());
  QTest::keyClick(link_, Qt::Key_Space);
  QTest::qWait(100);
  const QImage image = Grab();
  EXPECT_GT(CountPixels(image, Near(kBlue)), 20);
  EXPECT_EQ(CountPixels(image, Near(kPurple)), 0);
  EXPECT_TRUE(Opened().empty());
  ASSERT_EQ(boxes.count(), 2);
  for (const std::string& text : boxes.texts()) {
    EXPECT_EQ(text.substr(text.size() - std::strlen(kAddress) - 1), "\n" + std::string(kAddress)) << text;
  }
}

TEST_F(HyperLinkTest, EnterAndSpaceOpenTheFocusedLink) {
  Open();
  dlg_->m_link.SetFocus();
  ASSERT_TRUE(WaitFor([&] { return ::GetFocus() == LinkHandle(); }));
  // The focus rectangle runs along the top of the text (no glyph reaches up
  // there); it goes with the focus.
  EXPECT_TRUE(WaitFor([&] { return CountPixels(Grab(), Near(kBlue), 0, 0) > 10; }));

  QTest::keyClick(link_, Qt::Key_A);
  QTest::keyClick(link_, Qt::Key_Space);
  ASSERT_TRUE(WaitOpened(1));
  QTest::keyClick(link_, Qt::Key_Return);
  ASSERT_TRUE(WaitOpened(2));
  EXPECT_EQ(Opened()[1], kAddress);
  // Enter went to the link, not to the dialog's default button.
  EXPECT_FALSE(Commanded(IDOK));

  dlg_->GetDlgItem(IDC_EDIT)->SetFocus();
  ASSERT_TRUE(WaitFor([&] { return ::GetFocus() != LinkHandle(); }));
  EXPECT_TRUE(WaitFor([&] { return CountPixels(Grab(), Near(kPurple), 0, 0) == 0; }));
}
