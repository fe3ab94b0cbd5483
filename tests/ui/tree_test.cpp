// The tree control: items, data, images, lazy children with the expanding
// notification (reflected to the tree first), navigation and selection;
// image lists and icons.
#include <QTest>
#include <QTreeWidget>

#include <vector>

#include "ui_test_util.h"

using namespace ui_test;

namespace {

constexpr UINT IDD_TREE = 300;
constexpr int IDC_TREE = 3001;

void RegisterTreeTemplate() {
  RegisterTestIcons();
  RegisterDialogTemplate("en", {IDD_TREE,
                                "Folders",
                                WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                "MS Sans Serif",
                                8,
                                0,
                                0,
                                200,
                                150,
                                {{IDC_TREE, DlgItem::TreeView, "", 7, 7, 186, 120,
                                  TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS},
                                 {IDOK, DlgItem::DefPushButton, "OK", 143, 131, 50, 14}}});
}

// A folder tree that lists an item's children each time it expands.
class FolderTree : public CTreeCtrl {
 public:
  struct Call {
    UINT action;
    HTREEITEM item;
    LPARAM data;
    UINT state;
    int childrenBefore;
  };
  std::vector<Call> calls;
  HTREEITEM refuse = nullptr;
  bool passOn = false;
  int listed = 0;

  HTREEITEM AddFolder(const char* name, HTREEITEM parent, DWORD_PTR data) {
    TVINSERTSTRUCT tvi{};
    tvi.hParent = parent;
    tvi.hInsertAfter = TVI_LAST;
    tvi.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tvi.item.pszText = const_cast<char*>(name);
    tvi.item.lParam = static_cast<LPARAM>(data);
    tvi.item.cChildren = 1;
    tvi.item.iImage = 0;
    tvi.item.iSelectedImage = 1;
    return InsertItem(&tvi);
  }

 protected:
  void OnItemExpanding(NMHDR* pNMHDR, LRESULT* pResult) override {
    auto* tv = reinterpret_cast<NMTREEVIEW*>(pNMHDR);
    int children = 0;
    for (HTREEITEM c = GetChildItem(tv->itemNew.hItem); c; c = GetNextSiblingItem(c)) ++children;
    calls.push_back({tv->action, tv->itemNew.hItem, tv->itemNew.lParam, tv->itemNew.state, children});
    if (passOn) {
      CTreeCtrl::OnItemExpanding(pNMHDR, pResult);
      return;
    }
    *pResult = 0;
    if (tv->itemNew.hItem == refuse) {
      *pResult = 1;
      return;
    }
    if (tv->action == TVE_EXPAND) {
      // Re-list: drop what is there, insert the current children.
      HTREEITEM child = GetChildItem(tv->itemNew.hItem);
      while (child) {
        HTREEITEM next = GetNextSiblingItem(child);
        DeleteItem(child);
        child = next;
      }
      ++listed;
      const DWORD_PTR base = GetItemData(tv->itemNew.hItem) * 10;
      AddFolder("Sub A", tv->itemNew.hItem, base + 1);
      AddFolder("Sub B", tv->itemNew.hItem, base + 2);
    }
  }
};

class TreeDialog : public CDialog {
 public:
  TreeDialog() : CDialog(IDD_TREE) {}
  FolderTree m_tree;
  std::vector<UINT> notifications;
  std::vector<UINT> selectionActions;
  HTREEITEM lastSelected = nullptr;

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_TREE, m_tree);
  }
  BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override {
    auto* nm = reinterpret_cast<NMHDR*>(lParam);
    EXPECT_EQ(wParam, static_cast<WPARAM>(IDC_TREE));
    EXPECT_EQ(nm->idFrom, static_cast<UINT_PTR>(IDC_TREE));
    EXPECT_EQ(nm->hwndFrom, m_tree.m_hWnd);
    notifications.push_back(nm->code);
    if (nm->code == TVN_SELCHANGED) {
      auto* tv = reinterpret_cast<NMTREEVIEW*>(lParam);
      selectionActions.push_back(tv->action);
      lastSelected = tv->itemNew.hItem;
    }
    return CDialog::OnNotify(wParam, lParam, pResult);
  }
};

class UiTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUi();
    RegisterTreeTemplate();
    ASSERT_TRUE(dlg.Create(IDD_TREE));
    ASSERT_NE(dlg.m_tree.m_hWnd, nullptr);
    widget = qobject_cast<QTreeWidget*>(AfxWidgetFromHandle(dlg.m_tree.m_hWnd));
    ASSERT_NE(widget, nullptr);
  }
  void TearDown() override { dlg.DestroyWindow(); }

  QTreeWidgetItem* Find(const char* text) {
    const auto found = widget->findItems(QString::fromUtf8(text), Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
  }
  int Count(UINT code) const {
    int n = 0;
    for (UINT c : dlg.notifications) n += c == code ? 1 : 0;
    return n;
  }

  TreeDialog dlg;
  QTreeWidget* widget = nullptr;
};

TEST_F(UiTreeTest, InsertsNavigatesAndKeepsItemData) {
  dlg.m_tree.passOn = true;  // no re-listing here
  CTreeCtrl& tree = dlg.m_tree;
  EXPECT_EQ(tree.GetBkColor(), CLR_NONE);
  const HTREEITEM r1 = tree.InsertItem("Root 1");
  const HTREEITEM r3 = tree.InsertItem("Root 3");
  const HTREEITEM r2 = tree.InsertItem("Root 2", TVI_ROOT, r1);  // after r1
  const HTREEITEM r0 = tree.InsertItem("Root 0", TVI_ROOT, TVI_FIRST);
  ASSERT_TRUE(r0 && r1 && r2 && r3);
  const HTREEITEM c1 = tree.InsertItem("beta", r1, TVI_SORT);
  const HTREEITEM c2 = tree.InsertItem("Alpha", r1, TVI_SORT);
  const HTREEITEM c3 = tree.InsertItem("gamma", r1, TVI_SORT);
  EXPECT_EQ(tree.GetCount(), 7u);

  EXPECT_EQ(tree.GetRootItem(), r0);
  EXPECT_EQ(tree.GetNextItem(nullptr, TVGN_ROOT), r0);
  EXPECT_EQ(tree.GetNextItem(TVI_ROOT, TVGN_CHILD), r0);
  EXPECT_EQ(tree.GetNextItem(r0, TVGN_NEXT), r1);
  EXPECT_EQ(tree.GetNextSiblingItem(r1), r2);
  EXPECT_EQ(tree.GetNextSiblingItem(r2), r3);
  EXPECT_EQ(tree.GetNextSiblingItem(r3), nullptr);
  EXPECT_EQ(tree.GetNextItem(r2, TVGN_PREVIOUS), r1);
  EXPECT_EQ(tree.GetPrevSiblingItem(r0), nullptr);
  // Sorted children, case ignored.
  EXPECT_EQ(tree.GetChildItem(r1), c2);
  EXPECT_EQ(tree.GetNextItem(c2, TVGN_NEXT), c1);
  EXPECT_EQ(tree.GetNextItem(c1, TVGN_NEXT), c3);
  EXPECT_EQ(tree.GetNextItem(c3, TVGN_PARENT), r1);
  EXPECT_EQ(tree.GetParentItem(r1), nullptr);
  EXPECT_EQ(tree.GetChildItem(r2), nullptr);
  EXPECT_STREQ(tree.GetItemText(c2), "Alpha");
  EXPECT_TRUE(tree.ItemHasChildren(r1));
  EXPECT_FALSE(tree.ItemHasChildren(r2));

  // Item data survives as a full pointer-sized value.
  const DWORD_PTR big = static_cast<DWORD_PTR>(0x7EDCBA9876543210ull);
  EXPECT_TRUE(tree.SetItemData(c3, big));
  EXPECT_EQ(tree.GetItemData(c3), big);
  EXPECT_EQ(tree.GetItemData(c1), 0u);
  TVITEM item{};
  item.mask = TVIF_PARAM | TVIF_TEXT;
  item.hItem = c3;
  char text[4];
  item.pszText = text;
  item.cchTextMax = sizeof text;
  ASSERT_TRUE(tree.GetItem(&item));
  EXPECT_EQ(static_cast<DWORD_PTR>(item.lParam), big);
  EXPECT_STREQ(text, "gam");

  // Selection (the collapsed parent opens first).
  EXPECT_EQ(tree.GetSelectedItem(), nullptr);
  EXPECT_TRUE(tree.SelectItem(c3));
  EXPECT_EQ(tree.GetSelectedItem(), c3);
  EXPECT_EQ(tree.GetNextItem(nullptr, TVGN_CARET), c3);
  EXPECT_TRUE(tree.GetItemState(r1, TVIS_EXPANDED) & TVIS_EXPANDED);
  EXPECT_TRUE(tree.GetItemState(c3, TVIS_SELECTED) & TVIS_SELECTED);
  EXPECT_EQ(dlg.lastSelected, c3);
  EXPECT_EQ(dlg.selectionActions.back(), TVC_UNKNOWN);
  EXPECT_EQ(tree.GetNextVisibleItem(r1), c2);
  EXPECT_TRUE(tree.SelectItem(nullptr));
  EXPECT_EQ(tree.GetSelectedItem(), nullptr);

  // Deleting: the handles die with the items (and never come back).
  EXPECT_TRUE(tree.DeleteItem(r1));
  EXPECT_EQ(tree.GetCount(), 3u);
  EXPECT_STREQ(tree.GetItemText(c3), "");
  EXPECT_EQ(tree.GetItemData(c3), 0u);
  EXPECT_EQ(tree.GetNextItem(c1, TVGN_NEXT), nullptr);
  EXPECT_FALSE(tree.DeleteItem(c2));
  EXPECT_EQ(tree.GetNextSiblingItem(r0), r2);
  const HTREEITEM again = tree.InsertItem("again");
  EXPECT_NE(again, r1);
  EXPECT_NE(again, c1);
  EXPECT_TRUE(tree.DeleteAllItems());
  EXPECT_EQ(tree.GetCount(), 0u);
  EXPECT_EQ(tree.GetRootItem(), nullptr);
  EXPECT_EQ(widget->topLevelItemCount(), 0);

  EXPECT_EQ(tree.SetBkColor(RGB(1, 2, 3)), CLR_NONE);
  EXPECT_EQ(tree.GetBkColor(), RGB(1, 2, 3));
  EXPECT_EQ(widget->palette().color(QPalette::Base), QColor(1, 2, 3));
}

TEST_F(UiTreeTest, EveryExpansionFirstReachesTheTreeThatListsTheChildren) {
  FolderTree& tree = dlg.m_tree;
  const HTREEITEM mail = tree.AddFolder("Mailbox", TVI_ROOT, 7);
  QTreeWidgetItem* mailItem = Find("Mailbox");
  ASSERT_NE(mailItem, nullptr);
  // An expander before there are children.
  EXPECT_EQ(mailItem->childCount(), 0);
  EXPECT_EQ(mailItem->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_TRUE(tree.ItemHasChildren(mail));

  ASSERT_TRUE(tree.Expand(mail, TVE_EXPAND));
  ASSERT_EQ(tree.calls.size(), 1u);
  EXPECT_EQ(tree.calls[0].action, TVE_EXPAND);
  EXPECT_EQ(tree.calls[0].item, mail);
  EXPECT_EQ(tree.calls[0].data, 7);
  EXPECT_EQ(tree.calls[0].state & TVIS_EXPANDED, 0u);  // as before the change
  EXPECT_EQ(tree.calls[0].childrenBefore, 0);
  EXPECT_TRUE(mailItem->isExpanded());
  ASSERT_EQ(mailItem->childCount(), 2);
  EXPECT_EQ(tree.GetItemData(tree.GetChildItem(mail)), 71u);
  const HTREEITEM firstA = tree.GetChildItem(mail);
  // The tree handled it; the dialog saw only the after-notification.
  EXPECT_EQ(Count(TVN_ITEMEXPANDING), 0);
  EXPECT_EQ(Count(TVN_ITEMEXPANDED), 1);

  ASSERT_TRUE(tree.Expand(mail, TVE_COLLAPSE));
  ASSERT_EQ(tree.calls.size(), 2u);
  EXPECT_EQ(tree.calls[1].action, TVE_COLLAPSE);
  EXPECT_EQ(tree.calls[1].state & TVIS_EXPANDED, TVIS_EXPANDED);
  EXPECT_FALSE(mailItem->isExpanded());

  // Expanding again asks again, and the children are listed anew.
  ASSERT_TRUE(tree.Expand(mail, TVE_EXPAND));
  ASSERT_EQ(tree.calls.size(), 3u);
  EXPECT_EQ(tree.calls[2].action, TVE_EXPAND);
  EXPECT_EQ(tree.calls[2].childrenBefore, 2);
  EXPECT_EQ(tree.listed, 2);
  EXPECT_EQ(mailItem->childCount(), 2);
  EXPECT_NE(tree.GetChildItem(mail), firstA);
  EXPECT_STREQ(tree.GetItemText(firstA), "");
  int expands = 0;
  for (const auto& call : tree.calls) expands += call.action == TVE_EXPAND ? 1 : 0;
  EXPECT_EQ(expands, 2);

  // Expanding an expanded item changes nothing and asks nothing.
  EXPECT_TRUE(tree.Expand(mail, TVE_EXPAND));
  EXPECT_EQ(tree.calls.size(), 3u);
}

TEST_F(UiTreeTest, UserExpansionsByMouseAndKeyboardAskToo) {
  FolderTree& tree = dlg.m_tree;
  const HTREEITEM mail = tree.AddFolder("Mailbox", TVI_ROOT, 1);
  QTreeWidgetItem* item = Find("Mailbox");
  ASSERT_TRUE(WaitFor([&] { return widget->isVisible(); }));

  // Keyboard: Right opens the current item, Left closes it.
  widget->setCurrentItem(item);
  QTest::keyClick(widget, Qt::Key_Right);
  ASSERT_EQ(tree.calls.size(), 1u);
  EXPECT_EQ(tree.calls[0].item, mail);
  EXPECT_TRUE(item->isExpanded());
  EXPECT_EQ(item->childCount(), 2);
  QTest::keyClick(widget, Qt::Key_Left);
  ASSERT_EQ(tree.calls.size(), 2u);
  EXPECT_EQ(tree.calls[1].action, TVE_COLLAPSE);

  // Mouse: a double click on the item toggles it.
  tree.SelectItem(nullptr);
  dlg.selectionActions.clear();
  const QRect r = widget->visualItemRect(item);
  ASSERT_FALSE(r.isEmpty());
  // As a real double click arrives: click, then press, double click, release.
  QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  QTest::mousePress(widget->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  QTest::mouseDClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  QTest::mouseRelease(widget->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  ASSERT_GE(tree.calls.size(), 3u);
  EXPECT_EQ(tree.calls.back().action, TVE_EXPAND);
  // The press selected the item, and said so once, as made by the mouse.
  EXPECT_EQ(tree.GetSelectedItem(), mail);
  EXPECT_EQ(dlg.lastSelected, mail);
  EXPECT_EQ(dlg.selectionActions.size(), 1u);
  EXPECT_EQ(dlg.selectionActions.back(), TVC_BYMOUSE);
  EXPECT_TRUE(item->isExpanded());
  EXPECT_GE(Count(NM_DBLCLK), 1);
}

TEST_F(UiTreeTest, AHandlerCanRefuseAndCanPassTheNotificationOn) {
  FolderTree& tree = dlg.m_tree;
  const HTREEITEM locked = tree.AddFolder("Locked", TVI_ROOT, 2);
  tree.refuse = locked;
  EXPECT_TRUE(tree.Expand(locked, TVE_EXPAND));
  EXPECT_EQ(tree.calls.size(), 1u);
  EXPECT_FALSE(Find("Locked")->isExpanded());
  EXPECT_EQ(tree.GetItemState(locked, TVIS_EXPANDED), 0u);
  EXPECT_EQ(Count(TVN_ITEMEXPANDED), 0);

  // Calling the base handler hands it to the parent dialog.
  tree.refuse = nullptr;
  tree.passOn = true;
  EXPECT_TRUE(tree.Expand(locked, TVE_EXPAND));
  EXPECT_EQ(tree.calls.size(), 2u);
  EXPECT_EQ(Count(TVN_ITEMEXPANDING), 1);
  EXPECT_EQ(Count(TVN_ITEMEXPANDED), 1);

  // An item without children and without cChildren does not expand.
  const HTREEITEM leaf = tree.InsertItem("Leaf");
  EXPECT_FALSE(tree.Expand(leaf, TVE_EXPAND));
  EXPECT_EQ(tree.calls.size(), 2u);
  // TVIF_CHILDREN 0 takes the expander away again.
  TVITEM tv{};
  tv.mask = TVIF_CHILDREN;
  tv.hItem = locked;
  tv.cChildren = 0;
  tree.Expand(locked, TVE_COLLAPSE);
  EXPECT_TRUE(tree.SetItem(&tv));
  EXPECT_EQ(Find("Locked")->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

TEST_F(UiTreeTest, ShowsImagesOfItsImageList) {
  CImageList images;
  ASSERT_TRUE(images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 2, 2));
  EXPECT_EQ(images.SetBkColor(dlg.m_tree.GetBkColor()), CLR_NONE);
  const HICON red = LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(kIconRed));
  const HICON green = LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(kIconGreen));
  ASSERT_TRUE(red && green);
  EXPECT_EQ(images.Add(red), 0);
  EXPECT_EQ(ImageList_ReplaceIcon(images, -1, green), 1);
  EXPECT_EQ(images.ReplaceIcon(0, red), 0);
  EXPECT_EQ(images.GetImageCount(), 2);
  EXPECT_EQ(images.Replace(5, red), -1);
  EXPECT_EQ(images.Add(nullptr), -1);
  EXPECT_EQ(dlg.m_tree.SetImageList(&images, TVSIL_NORMAL), nullptr);
  EXPECT_EQ(dlg.m_tree.GetImageList(TVSIL_NORMAL), &images);

  const HTREEITEM folder = dlg.m_tree.InsertItem("Folder", 0, 1);
  const HTREEITEM other = dlg.m_tree.InsertItem("Other");
  int image = -1;
  int selected = -1;
  ASSERT_TRUE(dlg.m_tree.GetItemImage(folder, image, selected));
  EXPECT_EQ(image, 0);
  EXPECT_EQ(selected, 1);
  auto colour = [&](const char* text) {
    const QIcon icon = Find(text)->data(0, Qt::DecorationRole).value<QIcon>();
    return icon.isNull() ? QColor() : icon.pixmap(16, 16).toImage().pixelColor(8, 8);
  };
  EXPECT_EQ(colour("Folder"), QColor(255, 0, 0));
  dlg.m_tree.SelectItem(folder);
  EXPECT_EQ(colour("Folder"), QColor(0, 255, 0));  // the selected image
  EXPECT_TRUE(dlg.m_tree.SetItemImage(other, 1, 1));
  EXPECT_EQ(colour("Other"), QColor(0, 255, 0));
  EXPECT_EQ(widget->iconSize(), QSize(16, 16));

  // A list deleted while the tree shows it stays usable by the tree.
  images.DeleteImageList();
  EXPECT_EQ(images.GetImageCount(), 0);
  EXPECT_EQ(colour("Other"), QColor(0, 255, 0));
  EXPECT_EQ(dlg.m_tree.GetImageList(TVSIL_NORMAL), nullptr);
}

TEST(UiIcons, LoadSharedAndOwnIconsFromEmbeddedData) {
  StartUi();
  RegisterTestIcons();
  const HICON red = LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(kIconRed));
  ASSERT_NE(red, nullptr);
  EXPECT_EQ(LoadIcon(nullptr, MAKEINTRESOURCE(kIconRed)), red);
  EXPECT_EQ(AfxLoadIcon(kIconRed), red);
  EXPECT_EQ(LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(4242)), nullptr);
  EXPECT_TRUE(DestroyIcon(red));  // shared: stays
  EXPECT_EQ(AfxLoadIcon(kIconRed), red);
  EXPECT_NE(LoadIcon(nullptr, IDI_WARNING), nullptr);

  auto own = static_cast<HICON>(LoadImage(AfxGetInstanceHandle(), MAKEINTRESOURCE(kIconGreen), IMAGE_ICON, 8, 8, 0));
  ASSERT_NE(own, nullptr);
  EXPECT_NE(own, AfxLoadIcon(kIconGreen));
  CImageList list;
  list.Create(8, 8, ILC_COLOR32, 1, 1);
  EXPECT_EQ(list.Add(own), 0);
  EXPECT_TRUE(DestroyIcon(own));
  EXPECT_FALSE(DestroyIcon(own));
  EXPECT_EQ(list.GetImageCount(), 1);
  const HICON extracted = list.ExtractIcon(0);
  ASSERT_NE(extracted, nullptr);
  EXPECT_TRUE(DestroyIcon(extracted));

  static const char kNotAnImage[] = "no image here";
  EXPECT_EQ(CreateIconFromImageData(kNotAnImage, sizeof kNotAnImage), nullptr);
}

}  // namespace
