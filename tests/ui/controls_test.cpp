// Controls: a subclassed static drawing itself and handling mouse, cursor,
// focus and keys (a hyperlink, as dialogs have them), the parent's
// OnCtlColor, PreTranslateMessage, tool tips, the progress bar through its
// messages, timers and message boxes.
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_CONTROLS = 400;
constexpr int IDC_LINK = 1010;
constexpr int IDC_BLUE = 1013;
constexpr int IDC_PLAIN = 1014;
constexpr int IDC_BAR = 1015;
constexpr int IDC_EDIT = 1016;

void RegisterControlsTemplate() {
  RegisterDialogTemplate("en", {IDD_CONTROLS,
                                "Controls",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                200,
                                110,
                                {{IDC_LINK, DlgItem::CText, "Visit us", 7, 7, 100, 12, SS_NOTIFY | WS_TABSTOP},
                                 {IDC_BLUE, DlgItem::LText, "Blue text here", 7, 22, 100, 10},
                                 {IDC_PLAIN, DlgItem::LText, "Plain text here", 7, 35, 100, 10, SS_NOTIFY},
                                 {IDC_BAR, DlgItem::Progress, "", 7, 48, 150, 8},
                                 {IDC_EDIT, DlgItem::EditText, "", 7, 60, 100, 14},
                                 {IDOK, DlgItem::DefPushButton, "OK", 7, 90, 50, 14},
                                 {IDCANCEL, DlgItem::PushButton, "Cancel", 60, 90, 50, 14}}});
}

// A hand cursor, 32 x 32, hot spot at the finger tip (5, 0): AND plane all
// transparent but a black block, XOR plane zero.
HCURSOR MakeHandCursor() {
  static unsigned char andPlane[32 * 4];
  static unsigned char xorPlane[32 * 4];
  for (int y = 0; y < 32; ++y) {
    for (int b = 0; b < 4; ++b) andPlane[y * 4 + b] = (y < 16 && b == 0) ? 0x00 : 0xFF;
  }
  return CreateCursor(AfxGetInstanceHandle(), 5, 0, 32, 32, andPlane, xorPlane);
}

class Link : public CStatic {
 public:
  int paints = 0;
  int downs = 0;
  CPoint lastPoint;
  UINT lastFlags = 0;
  int cursorRounds = 0;
  bool setsCursor = true;
  bool wantsChars = true;
  std::vector<UINT> chars;
  int focusIns = 0;
  int focusOuts = 0;
  CRect textRect;
  HCURSOR hand = nullptr;

 protected:
  void OnPaint(CDC& dc) override {
    ++paints;
    if (m_underlined.GetSafeHandle() == nullptr) {
      LOGFONT lf;
      ASSERT_EQ(GetFont()->GetLogFont(&lf), static_cast<int>(sizeof lf));
      lf.lfUnderline = TRUE;
      m_underlined.CreateFontIndirect(&lf);
    }
    CFont* old = dc.SelectObject(&m_underlined);
    dc.SetTextColor(RGB(255, 0, 0));
    dc.SetBkMode(TRANSPARENT);
    CString text;
    GetWindowText(text);
    CRect client;
    GetClientRect(&client);
    textRect = client;
    dc.DrawText(text, textRect, DT_CALCRECT | DT_SINGLELINE);
    dc.DrawText(text, client, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (GetFocus() == this) dc.DrawFocusRect(client);
    dc.SelectObject(old);
  }
  void OnLButtonDown(UINT nFlags, CPoint point) override {
    ++downs;
    lastPoint = point;
    lastFlags = nFlags;
  }
  BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) override {
    ++cursorRounds;
    EXPECT_EQ(pWnd, this);
    EXPECT_EQ(nHitTest, HTCLIENT);
    if (setsCursor) {
      ::SetCursor(hand);
      return TRUE;
    }
    return CStatic::OnSetCursor(pWnd, nHitTest, message);
  }
  UINT OnGetDlgCode() override { return wantsChars ? DLGC_WANTCHARS : CStatic::OnGetDlgCode(); }
  void OnChar(UINT nChar, UINT, UINT) override { chars.push_back(nChar); }
  void OnSetFocus(CWnd* pOldWnd) override {
    ++focusIns;
    CStatic::OnSetFocus(pOldWnd);
    Invalidate();
  }
  void OnKillFocus(CWnd* pNewWnd) override {
    ++focusOuts;
    CStatic::OnKillFocus(pNewWnd);
    Invalidate();
  }

 private:
  CFont m_underlined;
};

class ControlsDialog : public CDialog {
 public:
  ControlsDialog() : CDialog(IDD_CONTROLS) {}
  Link m_link;
  CToolTipCtrl m_tips;
  std::vector<std::pair<int, int>> commands;
  int ctlColors = 0;
  bool swallowEscape = false;
  std::vector<UINT> preTranslated;
  std::vector<UINT_PTR> timers;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    m_link.hand = MakeHandCursor();
    EXPECT_TRUE(m_link.SubclassDlgItem(IDC_LINK, this));
    EXPECT_TRUE(m_tips.Create(this));
    m_tips.SetMaxTipWidth(120);
    m_tips.AddTool(&m_link, "Opens the home page of the program in your web browser");
    m_tips.AddTool(GetDlgItem(IDOK), "Starts");
    m_tips.Activate(TRUE);
    return TRUE;
  }
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    EXPECT_EQ(reinterpret_cast<HWND>(lParam), ::GetDlgItem(m_hWnd, LOWORD(wParam)));
    return TRUE;  // nothing closes this dialog
  }
  HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) override {
    ++ctlColors;
    if (pWnd->GetDlgCtrlID() == IDC_BLUE && nCtlColor == CTLCOLOR_STATIC) pDC->SetTextColor(RGB(0, 0, 255));
    return CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
  }
  BOOL PreTranslateMessage(MSG* pMsg) override {
    preTranslated.push_back(pMsg->message);
    m_tips.RelayEvent(pMsg);
    if (swallowEscape && pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_ESCAPE) return TRUE;
    return CDialog::PreTranslateMessage(pMsg);
  }
  void OnTimer(UINT_PTR nIDEvent) override { timers.push_back(nIDEvent); }
  void OnDestroy() override {
    DestroyCursor(m_link.hand);
    CDialog::OnDestroy();
  }
};

int CountPixels(const QImage& image, bool (*match)(QColor)) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) n += match(image.pixelColor(x, y)) ? 1 : 0;
  }
  return n;
}

bool IsRed(QColor c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; }
bool IsBlue(QColor c) { return c.blue() > 180 && c.red() < 90 && c.green() < 90; }

class UiControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterControlsTemplate();
    ASSERT_TRUE(dlg.Create(IDD_CONTROLS));
    dialog = AfxWidgetFromHandle(dlg.m_hWnd);
    link = AfxWidgetFromHandle(dlg.m_link.m_hWnd);
    ASSERT_TRUE(dialog && link);
    ASSERT_TRUE(WaitFor([&] { return dialog->isVisible(); }));
  }
  void TearDown() override { dlg.DestroyWindow(); }

  QWidget* Item(int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, id)); }
  bool Commanded(int id, int code) const {
    for (const auto& c : dlg.commands) {
      if (c.first == id && c.second == code) return true;
    }
    return false;
  }

  ControlsDialog dlg;
  QWidget* dialog = nullptr;
  QWidget* link = nullptr;
};

TEST_F(UiControlsTest, ASubclassedStaticPaintsItselfAndTheParentRecolours) {
  const QImage linkImage = link->grab().toImage();
  EXPECT_GE(dlg.m_link.paints, 1);
  EXPECT_GT(CountPixels(linkImage, IsRed), 5) << "OnPaint's red text is missing";
  // DT_CALCRECT measured the text in the underlined font.
  EXPECT_GT(dlg.m_link.textRect.Width(), 10);
  EXPECT_LT(dlg.m_link.textRect.Width(), link->width());
  EXPECT_EQ(dlg.m_link.textRect.Height(), QFontMetrics(link->font()).height());

  const QImage blue = Item(IDC_BLUE)->grab().toImage();
  EXPECT_GT(dlg.ctlColors, 0);
  EXPECT_GT(CountPixels(blue, IsBlue), 5) << "OnCtlColor's blue is missing";
  EXPECT_EQ(Item(IDC_BLUE)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  const QImage plain = Item(IDC_PLAIN)->grab().toImage();
  EXPECT_EQ(CountPixels(plain, IsBlue), 0);
  EXPECT_GT(CountPixels(plain, [](QColor c) { return c.lightness() < 100; }), 5);
}

TEST_F(UiControlsTest, MouseClicksAndTheCursor) {
  QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, QPoint(4, 3));
  EXPECT_EQ(dlg.m_link.downs, 1);
  EXPECT_EQ(dlg.m_link.lastPoint, CPoint(4, 3));
  EXPECT_TRUE(dlg.m_link.lastFlags & MK_LBUTTON);
  // The link handles the click itself: no STN_CLICKED. A plain SS_NOTIFY
  // static reports its click.
  EXPECT_FALSE(Commanded(IDC_LINK, STN_CLICKED));
  QTest::mouseClick(Item(IDC_PLAIN), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
  EXPECT_TRUE(Commanded(IDC_PLAIN, STN_CLICKED));
  EXPECT_TRUE(std::find(dlg.preTranslated.begin(), dlg.preTranslated.end(), WM_LBUTTONDOWN) != dlg.preTranslated.end());

  QMouseEvent move(QEvent::MouseMove, QPointF(6, 6), link->mapToGlobal(QPointF(6, 6)), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QCoreApplication::sendEvent(link, &move);
  EXPECT_GE(dlg.m_link.cursorRounds, 1);
  ASSERT_TRUE(link->testAttribute(Qt::WA_SetCursor));
  EXPECT_EQ(link->cursor().shape(), Qt::BitmapCursor);
  EXPECT_EQ(link->cursor().hotSpot(), QPoint(5, 0));
  EXPECT_EQ(GetCursor(), dlg.m_link.hand);

  // Declining (the base handler) gives the control its own cursor back.
  dlg.m_link.setsCursor = false;
  QCoreApplication::sendEvent(link, &move);
  EXPECT_FALSE(link->testAttribute(Qt::WA_SetCursor));
}

TEST_F(UiControlsTest, KeysReachOnCharWhenTheControlWantsThem) {
  QTest::keyClick(link, Qt::Key_Return);
  QTest::keyClick(link, Qt::Key_Space);
  QTest::keyClick(link, Qt::Key_A);
  EXPECT_EQ(dlg.m_link.chars, (std::vector<UINT>{'\r', ' ', 'a'}));
  EXPECT_FALSE(Commanded(IDOK, BN_CLICKED));

  // Without DLGC_WANTCHARS Enter belongs to the dialog: the default button.
  dlg.m_link.wantsChars = false;
  QTest::keyClick(link, Qt::Key_Return);
  EXPECT_EQ(dlg.m_link.chars.size(), 3u);
  EXPECT_TRUE(Commanded(IDOK, BN_CLICKED));

  // PreTranslateMessage sees keys first and may drop them.
  dlg.swallowEscape = true;
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_FALSE(Commanded(IDCANCEL, BN_CLICKED));
  dlg.swallowEscape = false;
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_TRUE(Commanded(IDCANCEL, BN_CLICKED));
}

TEST_F(UiControlsTest, FocusTextStateAndFonts) {
  dialog->activateWindow();
  dlg.m_link.SetFocus();
  ASSERT_TRUE(WaitFor([&] { return dlg.m_link.focusIns > 0; }));
  EXPECT_EQ(CWnd::GetFocus(), &dlg.m_link);
  dlg.GetDlgItem(IDC_EDIT)->SetFocus();
  ASSERT_TRUE(WaitFor([&] { return dlg.m_link.focusOuts > 0; }));
  EXPECT_EQ(CWnd::GetFocus()->GetDlgCtrlID(), IDC_EDIT);

  // Edits report changes, also of program-set text.
  dlg.SetDlgItemText(IDC_EDIT, "abc");
  EXPECT_TRUE(Commanded(IDC_EDIT, EN_CHANGE));
  EXPECT_EQ(qobject_cast<QLineEdit*>(Item(IDC_EDIT))->text(), QStringLiteral("abc"));
  dlg.SetDlgItemInt(IDC_EDIT, static_cast<UINT>(-12), TRUE);
  BOOL ok = FALSE;
  EXPECT_EQ(static_cast<int>(dlg.GetDlgItemInt(IDC_EDIT, &ok, TRUE)), -12);
  EXPECT_TRUE(ok);
  dlg.GetDlgItemInt(IDC_EDIT, &ok, FALSE);
  EXPECT_FALSE(ok);

  // Enabling and showing answer the previous state.
  CWnd* edit = dlg.GetDlgItem(IDC_EDIT);
  EXPECT_FALSE(edit->EnableWindow(FALSE));
  EXPECT_FALSE(edit->IsWindowEnabled());
  EXPECT_TRUE(edit->EnableWindow(TRUE));
  EXPECT_TRUE(edit->IsWindowEnabled());
  EXPECT_TRUE(edit->ShowWindow(SW_HIDE));
  EXPECT_FALSE(edit->IsWindowVisible());
  EXPECT_FALSE(edit->GetStyle() & WS_VISIBLE);
  EXPECT_FALSE(edit->ShowWindow(SW_SHOW));
  EXPECT_TRUE(edit->IsWindowVisible());

  // Statics show '&' as a mnemonic marker but keep it in their text.
  dlg.SetDlgItemText(IDC_PLAIN, "Save && &restore");
  CString text;
  dlg.GetDlgItemText(IDC_PLAIN, text);
  EXPECT_STREQ(text, "Save && &restore");
  EXPECT_EQ(qobject_cast<QLabel*>(Item(IDC_PLAIN))->text(), QStringLiteral("Save & restore"));

  // The dialog font and a font of the program's.
  LOGFONT lf;
  ASSERT_NE(dlg.GetFont(), nullptr);
  dlg.GetFont()->GetLogFont(&lf);
  EXPECT_EQ(lf.lfHeight, -11);
  lf.lfWeight = FW_BOLD;
  CFont bold;
  ASSERT_TRUE(bold.CreateFontIndirect(&lf));
  dlg.GetDlgItem(IDC_PLAIN)->SetFont(&bold);
  EXPECT_TRUE(Item(IDC_PLAIN)->font().bold());
  EXPECT_EQ(dlg.GetDlgItem(IDC_PLAIN)->GetFont(), &bold);

  CRect client;
  dlg.GetDlgItem(IDC_BAR)->GetClientRect(&client);
  EXPECT_EQ(client.Width(), Item(IDC_BAR)->width());
  EXPECT_EQ(client.Height(), Item(IDC_BAR)->height());
}

TEST_F(UiControlsTest, ToolTipsShowTheirTexts) {
  EXPECT_EQ(dlg.m_tips.GetToolCount(), 2);
  const QString tip = link->toolTip();
  EXPECT_TRUE(tip.contains(QLatin1Char('\n'))) << "not wrapped at the maximum width";
  EXPECT_EQ(QString(tip).replace(QLatin1Char('\n'), QLatin1Char(' ')),
            QStringLiteral("Opens the home page of the program in your web browser"));
  EXPECT_EQ(Item(IDOK)->toolTip(), QStringLiteral("Starts"));
  dlg.m_tips.Activate(FALSE);
  EXPECT_TRUE(link->toolTip().isEmpty());
  dlg.m_tips.Activate(TRUE);
  dlg.m_tips.UpdateTipText("Other", dlg.GetDlgItem(IDOK));
  EXPECT_EQ(Item(IDOK)->toolTip(), QStringLiteral("Other"));
  CString text;
  dlg.m_tips.GetText(text, dlg.GetDlgItem(IDOK));
  EXPECT_STREQ(text, "Other");
  dlg.m_tips.DestroyWindow();
  EXPECT_TRUE(Item(IDOK)->toolTip().isEmpty());
}

class CountingBar : public CProgressCtrl {
 public:
  int setPos = 0;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == PBM_SETPOS) ++setPos;
    return CProgressCtrl::WindowProc(message, wParam, lParam);
  }
};

TEST_F(UiControlsTest, TheProgressBarAnswersItsMessages) {
  const HWND bar = ::GetDlgItem(dlg.m_hWnd, IDC_BAR);
  auto* widget = qobject_cast<QProgressBar*>(Item(IDC_BAR));
  ASSERT_NE(widget, nullptr);
  EXPECT_EQ(SendMessage(bar, PBM_SETRANGE32, 0, 1000), MAKELRESULT(0, 100));
  EXPECT_EQ(SendMessage(bar, PBM_SETPOS, 250, 0), 0);
  EXPECT_EQ(SendMessage(bar, PBM_GETPOS, 0, 0), 250);
  EXPECT_EQ(widget->value(), 250);
  EXPECT_EQ(widget->maximum(), 1000);
  EXPECT_EQ(SendMessage(bar, PBM_SETPOS, 5000, 0), 250);
  EXPECT_EQ(widget->value(), 1000);
  PBRANGE range{};
  EXPECT_EQ(SendMessage(bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range)), 0);
  EXPECT_EQ(range.iHigh, 1000);
  EXPECT_EQ(SendMessage(bar, PBM_GETRANGE, FALSE, 0), 1000);

  auto* ctrl = dynamic_cast<CProgressCtrl*>(dlg.GetDlgItem(IDC_BAR));
  ASSERT_NE(ctrl, nullptr);
  ctrl->SetRange32(10, 20);
  int low = 0;
  int high = 0;
  ctrl->GetRange(low, high);
  EXPECT_EQ(low, 10);
  EXPECT_EQ(high, 20);
  EXPECT_EQ(ctrl->SetPos(15), 20);
  EXPECT_EQ(ctrl->OffsetPos(2), 15);
  EXPECT_EQ(ctrl->GetPos(), 17);
  ctrl->SetStep(5);
  EXPECT_EQ(ctrl->StepIt(), 17);
  EXPECT_EQ(ctrl->GetPos(), 12);  // wrapped around the end, as Windows does

  // A subclass sees the messages of the members and of SendMessage.
  CountingBar counting;
  ASSERT_TRUE(counting.SubclassDlgItem(IDC_BAR, &dlg));
  counting.SetPos(11);
  SendMessage(bar, PBM_SETPOS, 13, 0);
  EXPECT_EQ(counting.setPos, 2);
  EXPECT_EQ(counting.GetPos(), 13);
  counting.UnsubclassWindow();
}

TEST_F(UiControlsTest, TheWaitCursorShowsWhileItLives) {
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  {
    CWaitCursor wait;
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    wait.Restore();
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(UiControlsTest, TimersCallOnTimerUntilKilled) {
  EXPECT_EQ(dlg.SetTimer(7, 5), 7u);
  ASSERT_TRUE(WaitFor([&] { return dlg.timers.size() >= 2; }));
  EXPECT_EQ(dlg.timers.front(), 7u);
  EXPECT_TRUE(dlg.KillTimer(7));
  EXPECT_FALSE(dlg.KillTimer(7));
  const std::size_t seen = dlg.timers.size();
  QTest::qWait(30);
  EXPECT_EQ(dlg.timers.size(), seen);
}

// --- message boxes ----------------------------------------------------------------------

// Finds the message box once it shows, checks it and presses a button (by
// the id in its object name) or a key.
void AnswerMessageBox(std::function<void(QMessageBox*)> check, const char* button, int key = 0) {
  auto* poll = new QTimer(QCoreApplication::instance());
  QObject::connect(poll, &QTimer::timeout, poll, [poll, check = std::move(check), button, key] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box == nullptr || !box->isVisible()) continue;
      poll->stop();
      poll->deleteLater();
      check(box);
      if (key != 0) {
        QTest::keyClick(box, static_cast<Qt::Key>(key));
      } else if (auto* b = box->findChild<QAbstractButton*>(QString::fromLatin1(button))) {
        b->click();
      } else {
        ADD_FAILURE() << "no button " << button;
        box->done(0);
      }
      return;
    }
  });
  poll->start(10);
}

std::vector<QString> ButtonTexts(QMessageBox* box) {
  std::vector<QString> texts;
  for (QAbstractButton* b : box->buttons()) texts.push_back(b->text());
  std::sort(texts.begin(), texts.end());
  return texts;
}

TEST(UiMessageBox, MapsStylesToButtonsIconsAndResults) {
  StartUi();
  ScopedEnv lang("LC_ALL", "en_US.UTF-8");
  AnswerMessageBox(
      [](QMessageBox* box) {
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        EXPECT_EQ(box->text(), QStringLiteral("Delete the <old> backup?"));
        EXPECT_EQ(box->buttons().size(), 2);
        ASSERT_NE(box->defaultButton(), nullptr);
        EXPECT_EQ(box->defaultButton()->objectName(), QStringLiteral("id7"));  // MB_DEFBUTTON2: No
        EXPECT_FALSE(box->windowFlags() & Qt::WindowStaysOnTopHint);
      },
      "id6");
  EXPECT_EQ(AfxMessageBox("Delete the <old> backup?", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDYES);

  AnswerMessageBox(
      [](QMessageBox* box) {
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Caption"));
        EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(box->defaultButton()->objectName(), QStringLiteral("id1"));
      },
      nullptr, Qt::Key_Escape);
  EXPECT_EQ(MessageBox(nullptr, "Text", "Caption", MB_OKCANCEL | MB_ICONEXCLAMATION | MB_TOPMOST), IDCANCEL);

  AnswerMessageBox([](QMessageBox* box) { EXPECT_EQ(box->icon(), QMessageBox::Critical); }, "id5");
  EXPECT_EQ(MessageBox(nullptr, "Failed", nullptr, MB_ABORTRETRYIGNORE | MB_ICONHAND), IDIGNORE);

  AnswerMessageBox([](QMessageBox* box) { EXPECT_EQ(box->buttons().size(), 3); }, "id11");
  EXPECT_EQ(MessageBox(nullptr, "Again?", "T", MB_CANCELTRYCONTINUE), IDCONTINUE);

  AnswerMessageBox([](QMessageBox* box) { EXPECT_EQ(box->icon(), QMessageBox::Information); }, nullptr,
                   Qt::Key_Escape);
  EXPECT_EQ(MessageBox(nullptr, "Done", "T", MB_OK | MB_ICONINFORMATION), IDOK);

  ScopedEnv german("LC_ALL", "de_DE.UTF-8");
  AnswerMessageBox(
      [](QMessageBox* box) {
        EXPECT_EQ(ButtonTexts(box), (std::vector<QString>{QStringLiteral("&Ja"), QStringLiteral("&Nein"),
                                                          QStringLiteral("Abbrechen")}));
      },
      "id2");
  EXPECT_EQ(MessageBox(nullptr, "Sichern?", "T", MB_YESNOCANCEL), IDCANCEL);
}

// Message boxes, tool tips and windows the layer did not build from a
// template draw in the font of the dialogs, not in Qt's default.
TEST(UiMessageBox, BoxesTipsAndOtherWindowsUseTheDialogFont) {
  StartUi();
  ScopedEnv lang("LC_ALL", "en_US.UTF-8");
  constexpr UINT IDD_FONT = 190;
  RegisterDialogTemplate("en", {IDD_FONT,
                                "Font",
                                DS_MODALFRAME | WS_POPUP | WS_CAPTION,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                100,
                                40,
                                {{IDC_STATIC, DlgItem::LText, "Label", 7, 7, 80, 8},
                                 {IDOK, DlgItem::DefPushButton, "OK", 7, 20, 50, 14}}});
  CDialog dlg(IDD_FONT);
  ASSERT_TRUE(dlg.Create(IDD_FONT));
  QWidget* label = AfxWidgetFromHandle(dlg.m_hWnd)->findChild<QLabel*>();
  ASSERT_NE(label, nullptr);
  const QFontInfo dialogFont(label->font());
  auto same = [&](const QFont& font) {
    const QFontInfo info(font);
    return info.family() == dialogFont.family() && info.pixelSize() == dialogFont.pixelSize() &&
           info.weight() == dialogFont.weight();
  };
  EXPECT_TRUE(same(QToolTip::font())) << QToolTip::font().toString().toStdString();
  QWidget plain;
  EXPECT_TRUE(same(plain.font())) << plain.font().toString().toStdString();
  AnswerMessageBox(
      [&](QMessageBox* box) {
        int labels = 0;
        for (QLabel* text : box->findChildren<QLabel*>()) {
          if (text->text().isEmpty()) continue;
          ++labels;
          EXPECT_TRUE(same(text->font())) << text->font().toString().toStdString();
        }
        EXPECT_EQ(labels, 1);
        for (QAbstractButton* button : box->buttons()) EXPECT_TRUE(same(button->font()));
      },
      "id1");
  EXPECT_EQ(MessageBox(dlg.m_hWnd, "The save is done.", "TeskSave", MB_OK | MB_ICONINFORMATION), IDOK);
  dlg.DestroyWindow();
}

}  // namespace
