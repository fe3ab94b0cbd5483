// Dialogs: templates per language and their layout in dialog units, data
// exchange, closing (Escape, close box, Enter), and long operations inside a
// handler that send messages and pump the event loop.
#include <QCheckBox>
#include <QDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <chrono>
#include <thread>

#include "layout_check.h"
#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_LAYOUT = 100;
constexpr UINT IDD_ONLY_DE = 101;
constexpr UINT IDD_DATA = 102;
constexpr UINT IDD_NODEFAULT = 103;
constexpr UINT IDD_PUMP = 104;
constexpr int IDC_NAME = 1001;
constexpr int IDC_FLAG = 1002;
constexpr int IDC_COUNT = 1003;
constexpr int IDC_INFO = 1004;
constexpr int IDC_BAR = 1005;
constexpr int IDC_TREE = 1006;
constexpr int IDC_GO = 1007;
constexpr int IDC_LINK = 1013;

DialogResource LayoutTemplate(const char* caption, const char* label, short labelX) {
  return {IDD_LAYOUT,
          caption,
          DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
          "MS Sans Serif",
          8,
          0,
          0,
          200,
          120,
          {{IDC_STATIC, DlgItem::Icon, MAKEINTRESOURCE(kIconRed), 7, 7, 21, 20},
           {IDC_INFO, DlgItem::LText, label, labelX, 10, 80, 8},
           {IDC_NAME, DlgItem::EditText, "", 7, 30, 120, 14, ES_AUTOHSCROLL | ES_READONLY},
           {IDC_STATIC, DlgItem::Separator, "", 7, 50, 186, 1},
           {IDC_BAR, DlgItem::Progress, "", 7, 56, 186, 8, PBS_SMOOTH},
           {IDC_FLAG, DlgItem::AutoCheckBox, "&Mail", 7, 70, 80, 10},
           {IDC_LINK, DlgItem::CText, "www.example.org", 7, 84, 186, 8, SS_NOTIFY},
           {IDC_TREE, DlgItem::TreeView, "", 130, 7, 63, 40, TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT},
           {IDOK, DlgItem::DefPushButton, "OK", 43, 99, 50, 14},
           {IDCANCEL, DlgItem::PushButton, "Cancel", 107, 99, 50, 14}}};
}

void RegisterTemplates() {
  RegisterTestIcons();
  ClearDialogTemplates();
  RegisterDialogTemplate("en", LayoutTemplate("Layout", "Source:", 40));
  RegisterDialogTemplate("de", LayoutTemplate("Anordnung", "Quelle:", 44));
  RegisterDialogTemplate("de", {IDD_ONLY_DE, "Nur deutsch", WS_POPUP | WS_CAPTION, nullptr, 0, 0, 0, 100, 50, {}});
  RegisterDialogTemplate("en", {IDD_DATA,
                                "Data",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                160,
                                80,
                                {{IDC_NAME, DlgItem::EditText, "", 7, 7, 100, 14, ES_AUTOHSCROLL},
                                 {IDC_COUNT, DlgItem::EditText, "", 7, 25, 100, 14},
                                 {IDC_FLAG, DlgItem::AutoCheckBox, "Flag", 7, 43, 100, 10},
                                 {IDOK, DlgItem::DefPushButton, "OK", 7, 59, 50, 14},
                                 {IDCANCEL, DlgItem::PushButton, "Cancel", 60, 59, 50, 14}}});
  RegisterDialogTemplate("en", {IDD_NODEFAULT,
                                "No default",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                160,
                                60,
                                {{IDC_NAME, DlgItem::EditText, "", 7, 7, 100, 14},
                                 {IDC_GO, DlgItem::PushButton, "Go", 7, 30, 50, 14},
                                 {IDCANCEL, DlgItem::PushButton, "Cancel", 60, 30, 50, 14}}});
  RegisterDialogTemplate("en", {IDD_PUMP,
                                "Copy",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                200,
                                70,
                                {{IDC_INFO, DlgItem::LText, "", 7, 7, 186, 8},
                                 {IDC_BAR, DlgItem::Progress, "", 7, 20, 186, 8, PBS_SMOOTH},
                                 {IDC_GO, DlgItem::PushButton, "Start", 7, 49, 50, 14},
                                 {IDCANCEL, DlgItem::PushButton, "Cancel", 143, 49, 50, 14}}});
}

// Dialog-unit conversion computed here from the dialog's font, as Windows
// does it: a quarter of the average character width, an eighth of the
// character cell, whose height is what a line of multi-line text takes (the
// smallest height n lines fit n times, for up to four lines).
struct Units {
  int bx;
  int by;
  int X(int v) const { return (v * bx + 2) / 4; }
  int Y(int v) const { return (v * by + 4) / 8; }
  QRect R(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }
};

Units UnitsOf(const QFont& font) {
  const QFontMetrics fm(font);
  const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  int cell = fm.height();
  for (int lines = 1; lines <= 4; ++lines) {
    const QString text = QStringList(lines, QStringLiteral("Xg")).join(QLatin1Char('\n'));
    const int height = fm.boundingRect(QRect(0, 0, 10000, 10000), Qt::AlignLeft | Qt::AlignTop, text).height();
    while (cell * lines < height) ++cell;
  }
  return Units{(width / 26 + 1) / 2, cell};
}

QWidget* Item(const CWnd& dlg, int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, id)); }

class UiDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterTemplates();
  }
};

TEST_F(UiDialogTest, BuildsTheTemplateOfTheUiLanguageAtTheConvertedPositions) {
  for (const auto& [locale, caption, label, labelX] :
       {std::tuple{"de_DE.UTF-8", "Anordnung", "Quelle:", 44}, std::tuple{"en_US.UTF-8", "Layout", "Source:", 40},
        std::tuple{"fr_FR.UTF-8", "Layout", "Source:", 40}}) {
    SCOPED_TRACE(locale);
    ScopedEnv lang("LC_ALL", locale);
    CDialog dlg(IDD_LAYOUT);
    ASSERT_TRUE(dlg.Create(IDD_LAYOUT));
    QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle().toStdString(), caption);
    CString text;
    dlg.GetWindowText(text);
    EXPECT_STREQ(text, caption);
    dlg.GetDlgItemText(IDC_INFO, text);
    EXPECT_STREQ(text, label);

    // The dialog font: MS Sans Serif 8 (11 pixels at 96 DPI) or its stand-in.
    EXPECT_EQ(w->font().pixelSize(), 11);
    const Units u = UnitsOf(w->font());
    ASSERT_GT(u.bx, 2);
    ASSERT_GT(u.by, 8);
    EXPECT_EQ(w->size(), QSize(u.X(200), u.Y(120)));
    EXPECT_EQ(Item(dlg, IDC_INFO)->geometry(), u.R(labelX, 10, 80, 8));
    EXPECT_EQ(Item(dlg, IDC_NAME)->geometry(), u.R(7, 30, 120, 14));
    EXPECT_EQ(Item(dlg, IDC_BAR)->geometry(), u.R(7, 56, 186, 8));
    EXPECT_EQ(Item(dlg, IDC_TREE)->geometry(), u.R(130, 7, 63, 40));
    EXPECT_EQ(Item(dlg, IDOK)->geometry(), u.R(43, 99, 50, 14));
    EXPECT_EQ(Item(dlg, IDCANCEL)->geometry(), u.R(107, 99, 50, 14));
    RECT r{43, 99, 93, 113};
    dlg.MapDialogRect(&r);
    EXPECT_EQ(QRect(r.left, r.top, r.right - r.left, r.bottom - r.top), Item(dlg, IDOK)->geometry());

    // The controls are the widgets of their kinds, with the template's styles.
    auto* edit = qobject_cast<QLineEdit*>(Item(dlg, IDC_NAME));
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_NE(qobject_cast<QProgressBar*>(Item(dlg, IDC_BAR)), nullptr);
    auto* tree = qobject_cast<QTreeWidget*>(Item(dlg, IDC_TREE));
    ASSERT_NE(tree, nullptr);
    EXPECT_TRUE(tree->rootIsDecorated());
    auto* ok = qobject_cast<QPushButton*>(Item(dlg, IDOK));
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_FALSE(qobject_cast<QPushButton*>(Item(dlg, IDCANCEL))->isDefault());
    auto* check = qobject_cast<QCheckBox*>(Item(dlg, IDC_FLAG));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->text(), QStringLiteral("&Mail"));
    auto* link = qobject_cast<QLabel*>(Item(dlg, IDC_LINK));
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(dlg.GetDlgItem(IDC_LINK)->GetStyle() & SS_NOTIFY);

    // Statics without ids: the icon (32 x 32 at its position) and the line.
    int icons = 0;
    int lines = 0;
    for (QLabel* l : w->findChildren<QLabel*>()) {
      if (!l->pixmap().isNull()) {
        ++icons;
        EXPECT_EQ(l->geometry(), QRect(u.X(7), u.Y(7), 32, 32));
        EXPECT_EQ(l->pixmap().toImage().pixelColor(16, 16), QColor(255, 0, 0));
      }
      if (l->frameShape() == QFrame::HLine) {
        ++lines;
        EXPECT_EQ(l->geometry(), u.R(7, 50, 186, 1));
      }
    }
    EXPECT_EQ(icons, 1);
    EXPECT_EQ(lines, 1);

    // GetDlgItem gives objects of the controls' classes.
    EXPECT_NE(dynamic_cast<CButton*>(dlg.GetDlgItem(IDOK)), nullptr);
    EXPECT_NE(dynamic_cast<CButton*>(dlg.GetDlgItem(IDC_FLAG)), nullptr);
    EXPECT_NE(dynamic_cast<CEdit*>(dlg.GetDlgItem(IDC_NAME)), nullptr);
    EXPECT_NE(dynamic_cast<CStatic*>(dlg.GetDlgItem(IDC_INFO)), nullptr);
    EXPECT_NE(dynamic_cast<CProgressCtrl*>(dlg.GetDlgItem(IDC_BAR)), nullptr);
    EXPECT_NE(dynamic_cast<CTreeCtrl*>(dlg.GetDlgItem(IDC_TREE)), nullptr);
    EXPECT_TRUE(dlg.GetDlgItem(IDC_TREE)->IsKindOf(RUNTIME_CLASS(CTreeCtrl)));
    EXPECT_EQ(dlg.GetDlgItem(4711), nullptr);
    EXPECT_EQ(dlg.GetDlgItem(IDOK)->GetParent(), &dlg);
    EXPECT_EQ(dlg.GetDlgItem(IDOK)->GetDlgCtrlID(), IDOK);

    const HWND h = dlg.m_hWnd;
    const HWND hOk = ::GetDlgItem(h, IDOK);
    EXPECT_TRUE(dlg.DestroyWindow());
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(IsWindow(hOk));
    EXPECT_EQ(SendMessage(hOk, BM_GETCHECK, 0, 0), 0);
  }
}

// Texts of one to four lines, each label as high as its lines in character
// heights (8 units a line) and the next one right below it, as templates
// stack their statics.
TEST_F(UiDialogTest, LabelsHoldTheirLinesInEightUnitsALine) {
  constexpr UINT IDD_LINES = 105;
  const char* texts[] = {"Source and target:", "Saves complete folder\nstructures into a target",
                         "First line\nsecond line\nthird line, with descenders: gjpqy",
                         "One\nTwo\nThree\nFour (jumping)"};
  DialogResource t{IDD_LINES, "Lines", DS_MODALFRAME | WS_POPUP | WS_CAPTION, "MS Sans Serif", 8, 0, 0, 200, 120, {}};
  short y = 7;
  for (short lines = 1; lines <= 4; ++lines) {
    t.controls.push_back({IDC_STATIC, DlgItem::LText, texts[lines - 1], 7, y, 186, static_cast<short>(8 * lines)});
    y = static_cast<short>(y + 8 * lines);
  }
  t.controls.push_back({IDOK, DlgItem::DefPushButton, "OK", 7, y, 50, 14});
  RegisterDialogTemplate("en", t);
  for (const char* face : {"MS Sans Serif", "Courier New"}) {
    SCOPED_TRACE(face);
    t.fontName = face;
    for (WORD points : {8, 10, 13}) {
      SCOPED_TRACE(points);
      t.pointSize = points;
      RegisterDialogTemplate("en", t);
      ScopedEnv lang("LC_ALL", "en_US.UTF-8");
      CDialog dlg(IDD_LINES);
      ASSERT_TRUE(dlg.Create(IDD_LINES));
      QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
      w->show();
      std::string problems;
      for (const std::string& p : layout_check::Problems(w)) problems += p + "\n";
      EXPECT_EQ(problems, "");
      // The cell stays a line: no more than a pixel over what one line takes.
      const int line = w->fontMetrics().boundingRect(QStringLiteral("Xg")).height();
      RECT cell{0, 0, 4, 8};
      dlg.MapDialogRect(&cell);
      EXPECT_GE(cell.bottom, w->fontMetrics().height());
      EXPECT_LE(cell.bottom, line + 2);
      dlg.DestroyWindow();
    }
  }
}

TEST_F(UiDialogTest, FallsBackToAnotherLanguageAndFailsWithoutTemplate) {
  ScopedEnv lang("LC_ALL", "en_GB.UTF-8");
  CDialog dlg(IDD_ONLY_DE);
  ASSERT_TRUE(dlg.Create(IDD_ONLY_DE));
  EXPECT_EQ(AfxWidgetFromHandle(dlg.m_hWnd)->windowTitle(), QStringLiteral("Nur deutsch"));
  dlg.DestroyWindow();

  CDialog missing(999);
  EXPECT_EQ(missing.DoModal(), -1);
  EXPECT_EQ(missing.m_hWnd, nullptr);
}

// --- closing -----------------------------------------------------------------------

class BusyDialog : public CDialog {
 public:
  BusyDialog() : CDialog(IDD_LAYOUT) {}
  bool busy = true;
  int cancels = 0;
  int oks = 0;
  bool mainWindowWasMe = false;

 protected:
  BOOL OnInitDialog() override {
    mainWindowWasMe = AfxGetMainWnd() == this;
    return CDialog::OnInitDialog();
  }
  void OnCancel() override {
    ++cancels;
    if (!busy) CDialog::OnCancel();
  }
  void OnOK() override {
    ++oks;
    CDialog::OnOK();
  }
};

TEST_F(UiDialogTest, EscapeAndTheCloseBoxGoThroughOnCancelWhichMayRefuse) {
  BusyDialog dlg;
  bool checked = false;
  Later([&] {
    QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    QTest::keyClick(w, Qt::Key_Escape);
    EXPECT_EQ(dlg.cancels, 1);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->close());  // the close box
    EXPECT_EQ(dlg.cancels, 2);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(IsWindow(dlg.m_hWnd));
    dlg.busy = false;
    checked = true;
    w->close();
  });
  Later([&] { dlg.EndDialog(-2); }, 10000);  // a safety net only
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(checked);
  EXPECT_EQ(dlg.cancels, 3);
  EXPECT_EQ(dlg.m_hWnd, nullptr);

  BusyDialog second;
  second.busy = false;
  Later([&] { QTest::keyClick(AfxWidgetFromHandle(second.m_hWnd), Qt::Key_Escape); });
  EXPECT_EQ(second.DoModal(), IDCANCEL);
  EXPECT_EQ(second.cancels, 1);
}

TEST_F(UiDialogTest, EnterPressesTheDefaultButtonOrSendsIdok) {
  BusyDialog dlg;
  Later([&] {
    QWidget* check = Item(dlg, IDC_FLAG);
    check->setFocus();
    QTest::keyClick(check, Qt::Key_Return);
  });
  Later([&] { dlg.EndDialog(-2); }, 10000);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.oks, 1);

  // No default button (focus in an edit): Enter sends IDOK all the same.
  CDialog plain(IDD_NODEFAULT);
  Later([&] {
    QWidget* edit = Item(plain, IDC_NAME);
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_Enter);
  });
  Later([&] { plain.EndDialog(-2); }, 10000);
  EXPECT_EQ(plain.DoModal(), IDOK);
}

TEST_F(UiDialogTest, RunsAsTheApplicationsMainWindow) {
  CWinApp app("UiTests");
  ASSERT_EQ(AfxGetApp(), &app);
  BusyDialog dlg;
  dlg.busy = false;
  Later([&] { dlg.EndDialog(IDOK); });
  EXPECT_EQ(AfxRunModalMainDialog(dlg), IDOK);
  EXPECT_TRUE(dlg.mainWindowWasMe);
  EXPECT_EQ(app.m_pMainWnd, nullptr);
}

TEST_F(UiDialogTest, EndDialogInOnInitDialogEndsBeforeShowing) {
  class Quick : public CDialog {
   public:
    Quick() : CDialog(IDD_LAYOUT) {}
    BOOL OnInitDialog() override {
      CDialog::OnInitDialog();
      EndDialog(IDRETRY);
      return TRUE;
    }
  } dlg;
  EXPECT_EQ(dlg.DoModal(), IDRETRY);
}

// --- data exchange ---------------------------------------------------------------------

class DataDialog : public CDialog {
 public:
  DataDialog() : CDialog(IDD_DATA) {}
  CString m_name = "Hello";
  BOOL m_flag = TRUE;
  int m_count = 42;
  CEdit m_nameEdit;
  int changes = 0;

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_NAME, m_nameEdit);
    DDX_Text(pDX, IDC_NAME, m_name);
    DDV_MaxChars(pDX, m_name, 10);
    DDX_Check(pDX, IDC_FLAG, m_flag);
    DDX_Text(pDX, IDC_COUNT, m_count);
    DDV_MinMaxInt(pDX, m_count, 0, 100);
  }
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    if (LOWORD(wParam) == IDC_NAME && HIWORD(wParam) == EN_CHANGE) ++changes;
    return CDialog::OnCommand(wParam, lParam);
  }
};

TEST_F(UiDialogTest, ExchangesDataBothWaysAndValidates) {
  ScopedMessageBoxes boxes(IDOK);
  DataDialog dlg;
  bool ran = false;
  Later([&] {
    auto* name = qobject_cast<QLineEdit*>(Item(dlg, IDC_NAME));
    auto* count = qobject_cast<QLineEdit*>(Item(dlg, IDC_COUNT));
    auto* flag = qobject_cast<QCheckBox*>(Item(dlg, IDC_FLAG));
    ASSERT_TRUE(name && count && flag);
    // Members into controls (OnInitDialog's UpdateData(FALSE)).
    EXPECT_EQ(name->text(), QStringLiteral("Hello"));
    EXPECT_EQ(count->text(), QStringLiteral("42"));
    EXPECT_TRUE(flag->isChecked());
    EXPECT_EQ(name->maxLength(), 10);
    EXPECT_EQ(dlg.m_nameEdit.m_hWnd, ::GetDlgItem(dlg.m_hWnd, IDC_NAME));
    EXPECT_EQ(CWnd::FromHandlePermanent(dlg.m_nameEdit.m_hWnd), &dlg.m_nameEdit);
    EXPECT_EQ(dlg.GetDlgItem(IDC_NAME), &dlg.m_nameEdit);
    const int changesBefore = dlg.changes;

    name->setText(QString::fromUtf8("Wörld"));
    EXPECT_EQ(dlg.changes, changesBefore + 1);
    flag->click();
    count->setText(QStringLiteral("abc"));
    // Not a number: a message box, and the dialog stays.
    qobject_cast<QPushButton*>(Item(dlg, IDOK))->click();
    EXPECT_EQ(boxes.count(), 1);
    EXPECT_EQ(boxes.last(), "Please enter an integer.");
    EXPECT_TRUE(IsWindow(dlg.m_hWnd));
    EXPECT_EQ(count->selectedText(), QStringLiteral("abc"));
    // Out of range.
    count->setText(QStringLiteral("500"));
    qobject_cast<QPushButton*>(Item(dlg, IDOK))->click();
    EXPECT_EQ(boxes.count(), 2);
    EXPECT_EQ(boxes.last(), "Please enter an integer between 0 and 100.");
    EXPECT_TRUE(IsWindow(dlg.m_hWnd));
    count->setText(QStringLiteral(" 77 "));
    ran = true;
    qobject_cast<QPushButton*>(Item(dlg, IDOK))->click();
  });
  Later([&] { dlg.EndDialog(-2); }, 10000);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(ran);
  EXPECT_STREQ(dlg.m_name, "Wörld");
  EXPECT_EQ(dlg.m_flag, FALSE);
  EXPECT_EQ(dlg.m_count, 77);
  EXPECT_EQ(boxes.count(), 2);
  // The window is gone, and with it the control's handle.
  EXPECT_EQ(dlg.m_hWnd, nullptr);
  EXPECT_EQ(dlg.m_nameEdit.m_hWnd, nullptr);
}

TEST_F(UiDialogTest, GermanValidationTexts) {
  ScopedEnv lang("LC_ALL", "de_DE.UTF-8");
  ScopedMessageBoxes boxes(IDOK);
  DataDialog dlg;
  Later([&] {
    auto* count = qobject_cast<QLineEdit*>(Item(dlg, IDC_COUNT));
    count->setText(QStringLiteral("-5"));
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    EXPECT_EQ(boxes.last(), "Geben Sie eine ganze Zahl zwischen 0 und 100 ein.");
    count->setText(QStringLiteral("x"));
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    EXPECT_EQ(boxes.last(), "Geben Sie eine ganze Zahl ein.");
    qobject_cast<QLineEdit*>(Item(dlg, IDC_NAME))->setText(QStringLiteral("changed"));
    dlg.EndDialog(IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  // The exchange stopped at the failing control: the name before it was
  // taken, the changed name after it never was; a number that failed only
  // its range check stays in the member, as in MFC.
  EXPECT_STREQ(dlg.m_name, "Hello");
  EXPECT_EQ(dlg.m_count, -5);
}

// --- long operations inside a handler ------------------------------------------------------

class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && counting) ++paints;
    return false;
  }
  bool counting = false;
  int paints = 0;
};

class CopyDialog : public CDialog {
 public:
  CopyDialog() : CDialog(IDD_PUMP) {}
  int steps = 200;
  int received = 0;
  int posted = 0;
  int finished = 0;
  bool working = false;
  bool cancelled = false;
  int cancelRequests = 0;
  PaintCounter* counter = nullptr;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_USER + 100) {
      EXPECT_EQ(static_cast<int>(wParam), received);
      ++received;
      CString text;
      text.Format("Copied %d of %d", received, steps);
      SetDlgItemText(IDC_INFO, text);
      SendDlgItemMessage(IDC_BAR, PBM_SETPOS, wParam, 0);
      return received;
    }
    if (message == WM_USER + 101) {
      ++finished;
      return 0;
    }
    if (message == WM_USER + 102) {
      ++posted;
      return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    if (LOWORD(wParam) == IDC_GO && HIWORD(wParam) == BN_CLICKED) {
      Copy();
      return TRUE;
    }
    return CDialog::OnCommand(wParam, lParam);
  }
  void OnCancel() override {
    if (working) {
      ++cancelRequests;
      cancelled = true;
      return;
    }
    CDialog::OnCancel();
  }

 private:
  void Copy() {
    working = true;
    GetDlgItem(IDC_GO)->EnableWindow(FALSE);
    SendDlgItemMessage(IDC_BAR, PBM_SETRANGE32, 0, steps);
    PostMessage(WM_USER + 102, 0, 0);
    if (counter) counter->counting = true;
    for (int i = 0; i < steps && !cancelled; ++i) {
      EXPECT_EQ(::SendMessage(m_hWnd, WM_USER + 100, static_cast<WPARAM>(i), 0), i + 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      MSG msg;
      int rounds = 0;
      while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ++rounds;
        if (!IsDialogMessage(m_hWnd, &msg)) {
          TranslateMessage(&msg);
          DispatchMessage(&msg);
        }
      }
      EXPECT_EQ(rounds, 1);
    }
    if (counter) counter->counting = false;
    ::SendMessage(m_hWnd, WM_USER + 101, 0, 0);
    working = false;
    EndDialog(cancelled ? IDCANCEL : IDOK);
  }
};

TEST_F(UiDialogTest, ALongOperationSendsMessagesAndKeepsPainting) {
  CopyDialog dlg;
  PaintCounter counter;
  dlg.counter = &counter;
  Later([&] {
    QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
    w->installEventFilter(&counter);
    for (QWidget* child : w->findChildren<QWidget*>()) child->installEventFilter(&counter);
    qobject_cast<QPushButton*>(Item(dlg, IDC_GO))->click();
  });
  Later([&] { dlg.EndDialog(-2); }, 20000);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.received, dlg.steps);
  EXPECT_EQ(dlg.finished, 1);
  EXPECT_EQ(dlg.posted, 1);  // PostMessage arrived through the pump
  EXPECT_GT(counter.paints, 5) << "the dialog did not repaint during the operation";
}

TEST_F(UiDialogTest, EscapeDuringTheOperationReachesOnCancelReentrantly) {
  CopyDialog dlg;
  dlg.steps = 5000;
  Later([&] { qobject_cast<QPushButton*>(Item(dlg, IDC_GO))->click(); });
  // Fires inside the operation's own pump.
  Later([&] { QTest::keyClick(AfxWidgetFromHandle(dlg.m_hWnd), Qt::Key_Escape); }, 100);
  Later([&] { dlg.EndDialog(-2); }, 20000);
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(dlg.cancelRequests, 1);
  EXPECT_GT(dlg.received, 0);
  EXPECT_LT(dlg.received, dlg.steps);
  EXPECT_EQ(dlg.finished, 1);
}

}  // namespace
