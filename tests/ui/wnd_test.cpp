// Windows and messages: handles and the objects attached to them,
// SendMessage and WindowProc (also re-entrant), reflection, default
// processing, modeless dialogs and their destruction, controls made at run
// time, edits, buttons, styles, focus moves and the default button.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <vector>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_WND = 500;
constexpr int IDC_TEXT = 5001;
constexpr int IDC_EDIT = 5002;
constexpr int IDC_MULTI = 5003;
constexpr int IDC_SECRET = 5004;
constexpr int IDC_CHECK = 5005;
constexpr int IDC_HIDDEN = 5006;
constexpr int IDC_OTHER = 5007;
constexpr int IDC_ICON = 5008;
constexpr int IDC_MADE = 5100;

void RegisterWndTemplate() {
  RegisterTestIcons();
  RegisterDialogTemplate(
      "en", {IDD_WND,
             "Windows",
             WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
             "MS Sans Serif",
             8,
             0,
             0,
             220,
             160,
             {{IDC_TEXT, DlgItem::LText, "Text", 7, 7, 100, 8},
              {IDC_EDIT, DlgItem::EditText, "", 7, 20, 100, 14, ES_AUTOHSCROLL},
              {IDC_MULTI, DlgItem::EditText, "", 7, 38, 100, 30, ES_MULTILINE | WS_VSCROLL},
              {IDC_SECRET, DlgItem::EditText, "", 7, 72, 100, 14, ES_PASSWORD | ES_NUMBER},
              {IDC_CHECK, DlgItem::AutoCheckBox, "Check", 7, 90, 100, 10, BS_AUTO3STATE},
              {IDC_HIDDEN, DlgItem::PushButton, "Hidden", 7, 104, 50, 14, WS_DISABLED, 0, WS_VISIBLE},
              {IDC_OTHER, DlgItem::PushButton, "Other", 60, 104, 50, 14},
              {IDC_ICON, DlgItem::Icon, MAKEINTRESOURCE(kIconRed), 120, 7, 20, 20},
              {IDOK, DlgItem::PushButton, "OK", 113, 140, 50, 14},
              {IDCANCEL, DlgItem::PushButton, "Cancel", 166, 140, 50, 14}}});
}

// Records what arrives and answers custom messages, also by sending
// further messages from inside its handler.
class Recorder : public CDialog {
 public:
  Recorder() : CDialog(IDD_WND) {}
  std::vector<UINT> messages;
  std::vector<std::pair<int, int>> commands;
  int cancels = 0;
  int depth = 0;
  int maxDepth = 0;
  int destroyed = 0;

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    messages.push_back(message);
    if (message == WM_APP + 1) {
      // Re-entrant: a message sent while handling one.
      ++depth;
      maxDepth = std::max(maxDepth, depth);
      LRESULT inner = wParam > 0 ? ::SendMessage(m_hWnd, WM_APP + 1, wParam - 1, lParam) : 0;
      --depth;
      return inner + static_cast<LRESULT>(wParam) + 1;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    return CDialog::OnCommand(wParam, lParam);
  }
  void OnOK() override { commands.emplace_back(-1, IDOK); }
  void OnCancel() override { ++cancels; }
  void OnDestroy() override {
    ++destroyed;
    CDialog::OnDestroy();
  }
};

// A button that handles its own clicks (MFC's ON_CONTROL_REFLECT).
class SelfButton : public CButton {
 public:
  int clicks = 0;
  int destroyed = 0;

 protected:
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
      ++clicks;
      return TRUE;
    }
    return CButton::OnChildNotify(message, wParam, lParam, pResult);
  }
  void OnDestroy() override {
    ++destroyed;
    CButton::OnDestroy();
  }
};

class UiWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterWndTemplate();
    ASSERT_TRUE(dlg.Create(IDD_WND));
    dialog = AfxWidgetFromHandle(dlg.m_hWnd);
    ASSERT_NE(dialog, nullptr);
  }
  void TearDown() override { dlg.DestroyWindow(); }
  QWidget* Item(int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, id)); }
  bool Commanded(int id, int code) const {
    for (const auto& c : dlg.commands) {
      if (c.first == id && c.second == code) return true;
    }
    return false;
  }

  Recorder dlg;
  QWidget* dialog = nullptr;
};

TEST_F(UiWindowTest, SendMessageCallsWindowProcSynchronouslyAndReentrantly) {
  EXPECT_EQ(::SendMessage(dlg.m_hWnd, WM_APP + 1, 3, 0), 4 + 3 + 2 + 1);
  EXPECT_EQ(dlg.maxDepth, 4);
  EXPECT_EQ(dlg.depth, 0);
  // Unknown messages answer 0; so does a null or stale handle.
  EXPECT_EQ(dlg.SendMessage(WM_APP + 77, 1, 2), 0);
  EXPECT_EQ(dlg.messages.back(), WM_APP + 77);
  EXPECT_EQ(::SendMessage(nullptr, WM_APP + 1, 1, 0), 0);
  EXPECT_EQ(::SendMessage(reinterpret_cast<HWND>(0x12345), WM_APP + 1, 1, 0), 0);
  // WM_CLOSE to a dialog asks OnCancel.
  dlg.SendMessage(WM_CLOSE);
  EXPECT_EQ(dlg.cancels, 1);
  EXPECT_TRUE(IsWindow(dlg.m_hWnd));
}

TEST_F(UiWindowTest, TextMessagesAndFunctionsAgree) {
  const HWND text = ::GetDlgItem(dlg.m_hWnd, IDC_TEXT);
  EXPECT_TRUE(::SendMessage(text, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Größe")));
  EXPECT_EQ(::SendMessage(text, WM_GETTEXTLENGTH, 0, 0), 7);
  char buffer[16];
  EXPECT_EQ(::SendMessage(text, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer)), 7);
  EXPECT_STREQ(buffer, "Größe");
  // Truncation never splits a character: "Gr" + 2-byte "ö" does not fit in 4.
  char small[4];
  EXPECT_EQ(::GetWindowText(text, small, sizeof small), 2);
  EXPECT_STREQ(small, "Gr");
  EXPECT_EQ(::GetWindowTextLength(text), 7);
  EXPECT_EQ(qobject_cast<QLabel*>(Item(IDC_TEXT))->text(), QString::fromUtf8("Größe"));
  EXPECT_TRUE(::SetDlgItemText(dlg.m_hWnd, IDC_TEXT, "Neu"));
  EXPECT_EQ(::GetWindowText(text, buffer, sizeof buffer), 3);
  EXPECT_FALSE(::SetWindowText(nullptr, "x"));
  EXPECT_EQ(::GetWindowText(nullptr, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST_F(UiWindowTest, HandlesStayForTheirWindowsAndObjectsAttachOnce) {
  const HWND edit = ::GetDlgItem(dlg.m_hWnd, IDC_EDIT);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(::GetParent(edit), dlg.m_hWnd);
  EXPECT_EQ(::GetDlgCtrlID(edit), IDC_EDIT);
  EXPECT_EQ(AfxHandleFromWidget(Item(IDC_EDIT)), edit);
  EXPECT_EQ(::GetDlgItem(dlg.m_hWnd, 4711), nullptr);

  // A temporary object until the program attaches its own.
  CWnd* temp = CWnd::FromHandle(edit);
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(CWnd::FromHandlePermanent(edit), nullptr);
  EXPECT_EQ(CWnd::FromHandle(edit), temp);
  {
    CEdit mine;
    EXPECT_TRUE(mine.Attach(edit));
    EXPECT_EQ(CWnd::FromHandle(edit), &mine);
    CEdit second;
    EXPECT_FALSE(second.Attach(edit));
    EXPECT_FALSE(second.SubclassDlgItem(IDC_EDIT, &dlg));
    EXPECT_FALSE(mine.Attach(::GetDlgItem(dlg.m_hWnd, IDC_TEXT)));
    // The object ends: the window stays, unattached.
  }
  EXPECT_TRUE(IsWindow(edit));
  EXPECT_EQ(CWnd::FromHandlePermanent(edit), nullptr);
  CEdit again;
  EXPECT_TRUE(again.SubclassDlgItem(IDC_EDIT, &dlg));
  EXPECT_EQ(again.UnsubclassWindow(), edit);
  EXPECT_EQ(again.m_hWnd, nullptr);
}

TEST_F(UiWindowTest, CommandsReflectToTheControlFirst) {
  // The OK button handles its own click: the dialog's override sees the
  // command, but the default part (IDOK -> OnOK) never runs.
  SelfButton self;
  ASSERT_TRUE(self.SubclassDlgItem(IDOK, &dlg));
  qobject_cast<QPushButton*>(Item(IDOK))->click();
  EXPECT_EQ(self.clicks, 1);
  EXPECT_TRUE(Commanded(IDOK, BN_CLICKED));
  EXPECT_FALSE(Commanded(-1, IDOK));
  self.UnsubclassWindow();

  // Without it, OnOK runs; BM_CLICK and CButton::Click click like the user.
  CButton* ok = dynamic_cast<CButton*>(dlg.GetDlgItem(IDOK));
  ASSERT_NE(ok, nullptr);
  ok->Click();
  EXPECT_TRUE(Commanded(-1, IDOK));
  EXPECT_EQ(self.clicks, 1);
  qobject_cast<QPushButton*>(Item(IDCANCEL))->click();
  EXPECT_EQ(dlg.cancels, 1);
}

TEST_F(UiWindowTest, ButtonsEditsAndStyles) {
  // A three-state check box.
  dlg.CheckDlgButton(IDC_CHECK, BST_INDETERMINATE);
  EXPECT_EQ(dlg.IsDlgButtonChecked(IDC_CHECK), BST_INDETERMINATE);
  EXPECT_EQ(qobject_cast<QCheckBox*>(Item(IDC_CHECK))->checkState(), Qt::PartiallyChecked);
  dlg.CheckDlgButton(IDC_CHECK, BST_CHECKED);
  EXPECT_EQ(dynamic_cast<CButton*>(dlg.GetDlgItem(IDC_CHECK))->GetCheck(), BST_CHECKED);
  EXPECT_FALSE(Commanded(IDC_CHECK, BN_CLICKED));  // setting is no click
  qobject_cast<QCheckBox*>(Item(IDC_CHECK))->click();
  EXPECT_TRUE(Commanded(IDC_CHECK, BN_CLICKED));

  // The hidden, disabled button of the template.
  CWnd* hidden = dlg.GetDlgItem(IDC_HIDDEN);
  EXPECT_FALSE(hidden->IsWindowVisible());
  EXPECT_FALSE(hidden->IsWindowEnabled());
  EXPECT_EQ(hidden->GetStyle() & (WS_VISIBLE | WS_DISABLED), WS_DISABLED);
  EXPECT_TRUE(hidden->ModifyStyle(WS_DISABLED, WS_VISIBLE));
  EXPECT_TRUE(hidden->IsWindowVisible());
  EXPECT_TRUE(hidden->IsWindowEnabled());
  EXPECT_FALSE(hidden->ModifyStyle(0, WS_VISIBLE));

  // Static alignment follows its style.
  CWnd* text = dlg.GetDlgItem(IDC_TEXT);
  text->ModifyStyle(SS_LEFT, SS_RIGHT);
  EXPECT_TRUE(qobject_cast<QLabel*>(Item(IDC_TEXT))->alignment() & Qt::AlignRight);

  // Edits.
  auto* edit = dynamic_cast<CEdit*>(dlg.GetDlgItem(IDC_EDIT));
  ASSERT_NE(edit, nullptr);
  auto* line = qobject_cast<QLineEdit*>(Item(IDC_EDIT));
  edit->SetWindowText("hello world");
  edit->SetSel(0, 5);
  EXPECT_EQ(line->selectedText(), QStringLiteral("hello"));
  edit->ReplaceSel("goodbye");
  CString value;
  edit->GetWindowText(value);
  EXPECT_STREQ(value, "goodbye world");
  edit->SetSel(0, -1);
  EXPECT_EQ(line->selectedText(), QStringLiteral("goodbye world"));
  edit->SetReadOnly(TRUE);
  EXPECT_TRUE(line->isReadOnly());
  EXPECT_TRUE(edit->GetStyle() & ES_READONLY);
  edit->SetReadOnly(FALSE);
  edit->SetLimitText(4);
  EXPECT_EQ(edit->GetLimitText(), 4u);
  EXPECT_EQ(edit->GetLineCount(), 1);

  // Multi-line edits keep Windows line ends in their text.
  dlg.SetDlgItemText(IDC_MULTI, "one\r\ntwo\r\nthree");
  EXPECT_EQ(qobject_cast<QPlainTextEdit*>(Item(IDC_MULTI))->toPlainText(), QStringLiteral("one\ntwo\nthree"));
  dlg.GetDlgItemText(IDC_MULTI, value);
  EXPECT_STREQ(value, "one\r\ntwo\r\nthree");
  EXPECT_EQ(dynamic_cast<CEdit*>(dlg.GetDlgItem(IDC_MULTI))->GetLineCount(), 3);

  // Password and number-only edits.
  auto* secret = qobject_cast<QLineEdit*>(Item(IDC_SECRET));
  EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
  secret->setFocus();
  QTest::keyClicks(secret, QStringLiteral("4a2"));
  EXPECT_EQ(secret->text(), QStringLiteral("42"));

  // The static icon.
  auto* icon = dynamic_cast<CStatic*>(dlg.GetDlgItem(IDC_ICON));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->GetIcon(), AfxLoadIcon(kIconRed));
  EXPECT_EQ(icon->SetIcon(AfxLoadIcon(kIconGreen)), AfxLoadIcon(kIconRed));
  EXPECT_EQ(qobject_cast<QLabel*>(Item(IDC_ICON))->pixmap().toImage().pixelColor(16, 16), QColor(0, 255, 0));
}

TEST_F(UiWindowTest, WindowIconsPositionAndTopmost) {
  const HICON big = AfxLoadIcon(kIconRed);
  const HICON small = AfxLoadIcon(kIconGreen);
  EXPECT_EQ(dlg.SetIcon(big, TRUE), nullptr);
  EXPECT_EQ(dlg.SetIcon(small, FALSE), nullptr);
  EXPECT_EQ(dlg.GetIcon(TRUE), big);
  EXPECT_EQ(dlg.GetIcon(FALSE), small);
  EXPECT_FALSE(dialog->windowIcon().isNull());
  EXPECT_EQ(dialog->windowIcon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(255, 0, 0));

  EXPECT_TRUE(dlg.SetWindowPos(&CWnd::wndTopMost, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
  EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(dlg.SetWindowPos(&CWnd::wndNoTopMost, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
  EXPECT_FALSE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);

  // Children move in their parent's client pixels.
  CWnd* other = dlg.GetDlgItem(IDC_OTHER);
  other->MoveWindow(10, 20, 30, 40);
  EXPECT_EQ(Item(IDC_OTHER)->geometry(), QRect(10, 20, 30, 40));
  CRect rect;
  other->GetWindowRect(&rect);
  dlg.ScreenToClient(&rect);
  EXPECT_EQ(rect, CRect(10, 20, 40, 60));
  CPoint p(1, 2);
  other->ClientToScreen(&p);
  dlg.ScreenToClient(&p);
  EXPECT_EQ(p, CPoint(11, 22));
}

TEST_F(UiWindowTest, FocusMovesAndTheDefaultButton) {
  dialog->activateWindow();
  CDialog& d = dlg;
  d.GotoDlgCtrl(dlg.GetDlgItem(IDC_EDIT));
  dlg.SetDlgItemText(IDC_EDIT, "select me");
  d.GotoDlgCtrl(dlg.GetDlgItem(IDC_EDIT));
  EXPECT_EQ(qobject_cast<QLineEdit*>(Item(IDC_EDIT))->selectedText(), QStringLiteral("select me"));
  ASSERT_TRUE(WaitFor([&] { return ::GetFocus() == ::GetDlgItem(dlg.m_hWnd, IDC_EDIT); }));
  d.NextDlgCtrl();
  EXPECT_EQ(::GetFocus(), ::GetDlgItem(dlg.m_hWnd, IDC_MULTI));
  d.PrevDlgCtrl();
  EXPECT_EQ(::GetFocus(), ::GetDlgItem(dlg.m_hWnd, IDC_EDIT));

  // No DEFPUSHBUTTON: Enter in the edit sends IDOK; after SetDefID it
  // presses that button.
  EXPECT_EQ(LOWORD(dlg.GetDefID()), IDOK);
  QTest::keyClick(Item(IDC_EDIT), Qt::Key_Return);
  EXPECT_TRUE(Commanded(IDOK, BN_CLICKED));
  dlg.SetDefID(IDC_OTHER);
  EXPECT_EQ(LOWORD(dlg.GetDefID()), IDC_OTHER);
  QTest::keyClick(Item(IDC_EDIT), Qt::Key_Return);
  EXPECT_TRUE(Commanded(IDC_OTHER, BN_CLICKED));
}

TEST_F(UiWindowTest, PostedMessagesAndDispatchedOnes) {
  EXPECT_TRUE(dlg.PostMessage(WM_APP + 5, 1, 2));
  EXPECT_EQ(std::count(dlg.messages.begin(), dlg.messages.end(), WM_APP + 5), 0);
  ASSERT_TRUE(WaitFor([&] { return std::count(dlg.messages.begin(), dlg.messages.end(), WM_APP + 5) == 1; }));
  EXPECT_FALSE(PostMessage(reinterpret_cast<HWND>(0x12345), WM_APP + 5, 0, 0));

  MSG msg{dlg.m_hWnd, WM_APP + 6, 0, 0, 0, {0, 0}};
  DispatchMessage(&msg);
  EXPECT_EQ(dlg.messages.back(), WM_APP + 6u);
  // A message for one of the dialog's controls is the dialog's.
  MSG child{::GetDlgItem(dlg.m_hWnd, IDC_TEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("via dialog"), 0, {0, 0}};
  EXPECT_TRUE(IsDialogMessage(dlg.m_hWnd, &child));
  CString text;
  dlg.GetDlgItemText(IDC_TEXT, text);
  EXPECT_STREQ(text, "via dialog");
  Recorder other;
  ASSERT_TRUE(other.Create(IDD_WND));
  MSG foreign{other.m_hWnd, WM_APP + 7, 0, 0, 0, {0, 0}};
  EXPECT_FALSE(IsDialogMessage(dlg.m_hWnd, &foreign));
  other.DestroyWindow();
}

TEST_F(UiWindowTest, ControlsMadeAtRunTimeBelongToTheirObjects) {
  CRect where(10, 10, 110, 30);
  HWND made = nullptr;
  {
    CButton check;
    ASSERT_TRUE(check.Create("Made", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX | WS_TABSTOP, where, &dlg, IDC_MADE));
    made = check.m_hWnd;
    EXPECT_EQ(::GetDlgItem(dlg.m_hWnd, IDC_MADE), made);
    auto* box = qobject_cast<QCheckBox*>(AfxWidgetFromHandle(made));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->geometry(), QRect(10, 10, 100, 20));
    EXPECT_TRUE(box->isVisible());
    box->click();
    EXPECT_TRUE(Commanded(IDC_MADE, BN_CLICKED));
    EXPECT_EQ(check.GetCheck(), BST_CHECKED);
  }
  // Its object made it, so the window went with the object.
  EXPECT_FALSE(IsWindow(made));
  EXPECT_EQ(::GetDlgItem(dlg.m_hWnd, IDC_MADE), nullptr);

  CStatic label;
  ASSERT_TRUE(label.Create("Made label", WS_CHILD | SS_CENTER, where, &dlg, IDC_MADE + 1));
  EXPECT_FALSE(label.IsWindowVisible());
  label.ShowWindow(SW_SHOW);
  EXPECT_TRUE(label.IsWindowVisible());
  CEdit edit;
  ASSERT_TRUE(edit.Create(WS_CHILD | WS_VISIBLE | WS_BORDER | ES_READONLY, where, &dlg, IDC_MADE + 2));
  EXPECT_TRUE(qobject_cast<QLineEdit*>(AfxWidgetFromHandle(edit.m_hWnd))->isReadOnly());
  CProgressCtrl bar;
  ASSERT_TRUE(bar.Create(WS_CHILD | WS_VISIBLE | PBS_SMOOTH, where, &dlg, IDC_MADE + 3));
  bar.SetRange32(0, 10);
  bar.SetPos(4);
  EXPECT_EQ(qobject_cast<QProgressBar*>(AfxWidgetFromHandle(bar.m_hWnd))->value(), 4);
  CTreeCtrl tree;
  ASSERT_TRUE(tree.Create(WS_CHILD | WS_VISIBLE | TVS_HASBUTTONS, where, &dlg, IDC_MADE + 4));
  EXPECT_NE(tree.InsertItem("x"), nullptr);
  EXPECT_FALSE(tree.Create(WS_CHILD, where, &dlg, IDC_MADE + 5));  // has a window already
  CButton orphan;
  EXPECT_FALSE(orphan.Create("x", WS_CHILD, where, nullptr, 1));
}

TEST_F(UiWindowTest, DestroyingTheDialogTellsEveryAttachedObject) {
  Recorder modeless;
  SelfButton button;
  ASSERT_TRUE(modeless.Create(IDD_WND));
  ASSERT_TRUE(button.SubclassDlgItem(IDC_OTHER, &modeless));
  const HWND h = modeless.m_hWnd;
  const HWND hButton = button.m_hWnd;
  QPointer<QWidget> widget = AfxWidgetFromHandle(h);

  // EndDialog hides a modeless dialog; it lives on.
  modeless.EndDialog(IDOK);
  EXPECT_FALSE(modeless.IsWindowVisible());
  EXPECT_TRUE(IsWindow(h));

  EXPECT_TRUE(modeless.DestroyWindow());
  EXPECT_EQ(modeless.destroyed, 1);
  EXPECT_EQ(button.destroyed, 1);
  EXPECT_EQ(modeless.m_hWnd, nullptr);
  EXPECT_EQ(button.m_hWnd, nullptr);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(IsWindow(hButton));
  EXPECT_FALSE(modeless.DestroyWindow());
  // No event was being handled: the widget went at once.
  EXPECT_TRUE(widget.isNull());

  // From a handler of its own button's click, the widget stays until
  // control returns to the event loop (the button is still on the stack).
  class SelfDestroying : public Recorder {
   protected:
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
      if (LOWORD(wParam) == IDC_OTHER) {
        DestroyWindow();
        return TRUE;
      }
      return Recorder::OnCommand(wParam, lParam);
    }
  } self;
  ASSERT_TRUE(self.Create(IDD_WND));
  QPointer<QWidget> selfWidget = AfxWidgetFromHandle(self.m_hWnd);
  QPointer<QWidget> other = AfxWidgetFromHandle(::GetDlgItem(self.m_hWnd, IDC_OTHER));
  qobject_cast<QPushButton*>(other.data())->click();
  EXPECT_EQ(self.m_hWnd, nullptr);
  EXPECT_EQ(self.destroyed, 1);
  EXPECT_FALSE(selfWidget.isNull());
  EXPECT_FALSE(selfWidget->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(selfWidget.isNull());
  EXPECT_TRUE(other.isNull());
}

TEST_F(UiWindowTest, CaptureAndCursorsOutsideSetCursor) {
  CWnd* text = dlg.GetDlgItem(IDC_TEXT);
  EXPECT_EQ(CWnd::GetCapture(), nullptr);
  EXPECT_EQ(text->SetCapture(), nullptr);
  EXPECT_EQ(::GetCapture(), text->m_hWnd);
  EXPECT_EQ(CWnd::GetCapture(), text);
  // With the capture, SetCursor sets the capturing window's cursor.
  const HCURSOR hand = LoadCursor(nullptr, IDC_HAND);
  ASSERT_NE(hand, nullptr);
  EXPECT_EQ(LoadCursor(nullptr, IDC_HAND), hand);
  SetCursor(hand);
  EXPECT_EQ(Item(IDC_TEXT)->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(ReleaseCapture());
  EXPECT_EQ(::GetCapture(), nullptr);
  EXPECT_EQ(LoadCursor(AfxGetInstanceHandle(), IDC_HAND), nullptr);
  EXPECT_TRUE(DestroyCursor(hand));  // shared: stays
  EXPECT_EQ(LoadCursor(nullptr, IDC_HAND), hand);
}

}  // namespace
