// Resizable dialogs: the template size as the least, controls that follow
// the growth by their shares (dynamic layout), the children in order.
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <afxlayout.h>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_GROWING = 120;
constexpr UINT IDD_FIXED = 121;
constexpr int IDC_TREE = 1001;
constexpr int IDC_NAME = 1002;
constexpr int IDC_HALF = 1003;
constexpr int IDC_CORNER = 1004;

DialogResource Template(UINT id, DWORD extraStyle) {
  return {id,
          "Growing",
          DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | extraStyle,
          "MS Sans Serif",
          8,
          0,
          0,
          200,
          120,
          {{IDC_TREE, DlgItem::TreeView, "", 7, 7, 130, 90, TVS_HASBUTTONS},
           {IDOK, DlgItem::DefPushButton, "OK", 143, 7, 50, 14},
           {IDCANCEL, DlgItem::PushButton, "Cancel", 143, 24, 50, 14},
           {IDC_STATIC, DlgItem::LText, "Name:", 7, 103, 30, 8},
           {IDC_NAME, DlgItem::EditText, "", 40, 101, 60, 12, ES_AUTOHSCROLL},
           {IDC_HALF, DlgItem::EditText, "", 103, 101, 34, 12, ES_AUTOHSCROLL},
           {IDC_CORNER, DlgItem::PushButton, "Help", 143, 99, 50, 14}}};
}

class GrowingDialog : public CDialog {
 public:
  explicit GrowingDialog(UINT id = IDD_GROWING) : CDialog(id) {}
  CDynamicLayout layout;
  int sizes = 0;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    layout.Create(this);
    using L = CDynamicLayout;
    layout.AddItem(IDC_TREE, L::MoveNone(), L::SizeHorizontalAndVertical(100, 100));
    layout.AddItem(IDOK, L::MoveHorizontal(100), L::SizeNone());
    layout.AddItem(IDCANCEL, L::MoveHorizontal(100), L::SizeNone());
    // The two edits share the growth: the first takes half and the second
    // moves by that half and takes the other.
    layout.AddItem(IDC_NAME, L::MoveVertical(100), L::SizeHorizontal(50));
    layout.AddItem(IDC_HALF, L::MoveHorizontalAndVertical(50, 100), L::SizeHorizontal(50));
    layout.AddItem(IDC_CORNER, L::MoveHorizontalAndVertical(100, 100), L::SizeNone());
    return TRUE;
  }
  void OnSize(UINT nType, int cx, int cy) override {
    CDialog::OnSize(nType, cx, cy);
    ++sizes;
    layout.Adjust();
  }
};

QWidget* Item(const CWnd& dlg, int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, id)); }

class UiLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterDialogTemplate("en", Template(IDD_GROWING, WS_THICKFRAME));
    RegisterDialogTemplate("en", Template(IDD_FIXED, 0));
  }
  ScopedEnv lang_{"LC_ALL", std::string("en_US.UTF-8")};
};

TEST_F(UiLayoutTest, AResizableDialogGrowsItsControlsByTheirShares) {
  GrowingDialog dlg;
  ASSERT_TRUE(dlg.Create(IDD_GROWING));
  QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
  w->show();
  QCoreApplication::processEvents();
  const QSize initial = w->size();
  EXPECT_EQ(w->minimumSize(), initial);
  EXPECT_GT(w->maximumWidth(), initial.width());
  EXPECT_GT(w->maximumHeight(), initial.height());
  std::map<int, QRect> before;
  for (int id : {IDC_TREE, IDOK, IDCANCEL, IDC_NAME, IDC_HALF, IDC_CORNER}) before[id] = Item(dlg, id)->geometry();
  QWidget* label = nullptr;
  for (CWnd* child = dlg.GetWindow(GW_CHILD); child; child = child->GetWindow(GW_HWNDNEXT)) {
    if (child->GetDlgCtrlID() == IDC_STATIC) label = AfxWidgetFromHandle(child->m_hWnd);
  }
  ASSERT_NE(label, nullptr);
  const QRect labelBefore = label->geometry();

  w->resize(initial + QSize(120, 60));
  QCoreApplication::processEvents();
  EXPECT_GT(dlg.sizes, 0);
  EXPECT_EQ(Item(dlg, IDC_TREE)->geometry(), before[IDC_TREE].adjusted(0, 0, 120, 60));
  EXPECT_EQ(Item(dlg, IDOK)->geometry(), before[IDOK].translated(120, 0));
  EXPECT_EQ(Item(dlg, IDCANCEL)->geometry(), before[IDCANCEL].translated(120, 0));
  EXPECT_EQ(Item(dlg, IDC_NAME)->geometry(), before[IDC_NAME].translated(0, 60).adjusted(0, 0, 60, 0));
  EXPECT_EQ(Item(dlg, IDC_HALF)->geometry(), before[IDC_HALF].translated(60, 60).adjusted(0, 0, 60, 0));
  EXPECT_EQ(Item(dlg, IDC_CORNER)->geometry(), before[IDC_CORNER].translated(120, 60));
  EXPECT_EQ(label->geometry(), labelBefore);  // not in the layout: stays
  // The right column keeps its distance to the right edge; nothing overlaps.
  EXPECT_EQ(w->width() - Item(dlg, IDOK)->geometry().right(), initial.width() - before[IDOK].right());
  const std::vector<int> ids{IDC_TREE, IDOK, IDCANCEL, IDC_NAME, IDC_HALF, IDC_CORNER};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(w->rect().contains(Item(dlg, ids[i])->geometry())) << ids[i];
    for (std::size_t j = i + 1; j < ids.size(); ++j) {
      EXPECT_FALSE(Item(dlg, ids[i])->geometry().intersects(Item(dlg, ids[j])->geometry())) << ids[i] << " " << ids[j];
    }
  }

  // Smaller than the template it does not get; back at its size, all is
  // where the template put it.
  w->resize(initial - QSize(50, 50));
  QCoreApplication::processEvents();
  EXPECT_EQ(w->size(), initial);
  for (const auto& [id, rect] : before) EXPECT_EQ(Item(dlg, id)->geometry(), rect) << id;
  dlg.DestroyWindow();
}

TEST_F(UiLayoutTest, ADialogWithoutThickFrameKeepsItsSize) {
  GrowingDialog dlg(IDD_FIXED);
  ASSERT_TRUE(dlg.Create(IDD_FIXED));
  QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
  EXPECT_EQ(w->minimumSize(), w->maximumSize());
  const QSize size = w->size();
  w->resize(size + QSize(40, 40));
  EXPECT_EQ(w->size(), size);
  dlg.DestroyWindow();
}

TEST_F(UiLayoutTest, TheLayoutTakesOnlyChildrenOfItsHost) {
  GrowingDialog dlg;
  ASSERT_TRUE(dlg.Create(IDD_GROWING));
  GrowingDialog other;
  ASSERT_TRUE(other.Create(IDD_GROWING));
  CDynamicLayout layout;
  layout.Adjust();  // before Create: nothing to do
  EXPECT_FALSE(layout.AddItem(IDOK, CDynamicLayout::MoveNone(), CDynamicLayout::SizeNone()));
  EXPECT_FALSE(layout.Create(nullptr));
  ASSERT_TRUE(layout.Create(&dlg));
  EXPECT_TRUE(layout.IsEmpty());
  EXPECT_FALSE(layout.AddItem(4711, CDynamicLayout::MoveNone(), CDynamicLayout::SizeNone()));
  EXPECT_FALSE(layout.AddItem(::GetDlgItem(other.m_hWnd, IDOK), CDynamicLayout::MoveNone(), CDynamicLayout::SizeNone()));
  EXPECT_FALSE(layout.AddItem(dlg.m_hWnd, CDynamicLayout::MoveNone(), CDynamicLayout::SizeNone()));
  EXPECT_TRUE(layout.IsEmpty());
  // A control added again keeps its last settings only.
  EXPECT_TRUE(layout.AddItem(IDOK, CDynamicLayout::MoveHorizontal(100), CDynamicLayout::SizeNone()));
  EXPECT_TRUE(layout.AddItem(IDOK, CDynamicLayout::MoveNone(), CDynamicLayout::SizeHorizontal(100)));
  const QRect ok = Item(dlg, IDOK)->geometry();
  QWidget* w = AfxWidgetFromHandle(dlg.m_hWnd);
  dlg.layout = CDynamicLayout();  // the dialog's own layout out of the way
  w->resize(w->size() + QSize(30, 0));
  layout.Adjust();
  EXPECT_EQ(Item(dlg, IDOK)->geometry(), ok.adjusted(0, 0, 30, 0));
  other.DestroyWindow();
  dlg.DestroyWindow();
  layout.Adjust();  // the host is gone: nothing to do
}

TEST_F(UiLayoutTest, GetWindowWalksTheChildrenInTemplateOrder) {
  GrowingDialog dlg;
  ASSERT_TRUE(dlg.Create(IDD_GROWING));
  CToolTipCtrl tips;  // a window of its own, but no control
  ASSERT_TRUE(tips.Create(&dlg));
  std::vector<int> ids;
  for (HWND h = ::GetWindow(dlg.m_hWnd, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) ids.push_back(GetDlgCtrlID(h));
  EXPECT_EQ(ids, (std::vector<int>{IDC_TREE, IDOK, IDCANCEL, IDC_STATIC, IDC_NAME, IDC_HALF, IDC_CORNER}));
  const HWND ok = ::GetDlgItem(dlg.m_hWnd, IDOK);
  EXPECT_EQ(::GetWindow(ok, GW_HWNDPREV), ::GetDlgItem(dlg.m_hWnd, IDC_TREE));
  EXPECT_EQ(::GetWindow(ok, GW_HWNDFIRST), ::GetDlgItem(dlg.m_hWnd, IDC_TREE));
  EXPECT_EQ(::GetWindow(ok, GW_HWNDLAST), ::GetDlgItem(dlg.m_hWnd, IDC_CORNER));
  EXPECT_EQ(::GetWindow(::GetDlgItem(dlg.m_hWnd, IDC_TREE), GW_HWNDPREV), nullptr);
  EXPECT_EQ(::GetWindow(ok, GW_CHILD), nullptr);
  EXPECT_EQ(::GetWindow(dlg.m_hWnd, GW_HWNDNEXT), nullptr);  // a top-level window has no siblings here
  EXPECT_EQ(::GetWindow(nullptr, GW_CHILD), nullptr);
  EXPECT_EQ(dlg.GetWindow(GW_CHILD)->GetDlgCtrlID(), IDC_TREE);
  tips.DestroyWindow();
  dlg.DestroyWindow();
}

}  // namespace
