// The tree of stores and folders and the folder picker, on real store files.
#include <QTest>

#include <FolderPickerDialog.h>
#include <MAPIFoldersTree.h>
#include <TeskSave2Dlg.h>

#include <map>

#include "dialog_test_util.h"

using namespace testing_support;
using namespace dialog_test;

namespace {

// Every slot answers the same shared icon, except those switched off; the
// tree then numbers the slots it got in its own order.
class TestImageSource : public CMAPIFoldersTreeImagesSrc {
 public:
  bool noDefaultStore = false;
  HICON Icon() { return LoadIcon(nullptr, IDI_APPLICATION); }
  HICON GetStoreIcon() override { return Icon(); }
  HICON GetDefaultStoreIcon() override { return noDefaultStore ? nullptr : Icon(); }
  HICON GetContactsIcon() override { return Icon(); }
  HICON GetCalendarIcon() override { return Icon(); }
  HICON GetJournalIcon() override { return Icon(); }
  HICON GetTasksIcon() override { return Icon(); }
  HICON GetMailFolderIcon() override { return Icon(); }
  HICON GetNotesIcon() override { return Icon(); }
  HICON GetInboxIcon() override { return Icon(); }
  HICON GetOutboxIcon() override { return Icon(); }
  HICON GetSentItemsIcon() override { return Icon(); }
  HICON GetDeletedItemsIcon() override { return Icon(); }
};

// A window around the picker's tree control, for the tree alone.
class TreeHost : public CDialog {
 public:
  TreeHost() : CDialog(IDD_FOLDER_PICKER) {}
  CMAPIFoldersTree tree;
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    tree.SubclassDlgItem(IDC_FOLDER_TREE, this);
    return TRUE;
  }
};

class FolderTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskSaveResources();
    session = profile.Logon();
    mailbox = OpenStore(session, "Personal Folders");
    archive = OpenStore(session, "Archive");
  }

  HTREEITEM Child(CTreeCtrl& tree, HTREEITEM parent, const char* name) {
    for (HTREEITEM h = tree.GetChildItem(parent); h; h = tree.GetNextSiblingItem(h))
      if (tree.GetItemText(h) == name) return h;
    return nullptr;
  }
  HTREEITEM Store(CTreeCtrl& tree, const char* name) {
    for (HTREEITEM h = tree.GetRootItem(); h; h = tree.GetNextSiblingItem(h))
      if (tree.GetItemText(h) == name) return h;
    return nullptr;
  }
  std::vector<std::string> Children(CTreeCtrl& tree, HTREEITEM parent) {
    std::vector<std::string> names;
    for (HTREEITEM h = tree.GetChildItem(parent); h; h = tree.GetNextSiblingItem(h))
      names.push_back(tree.GetItemText(h).GetString());
    return names;
  }
  int Image(CTreeCtrl& tree, HTREEITEM item) {
    int image = -2, selected = -2;
    tree.GetItemImage(item, image, selected);
    EXPECT_EQ(image, selected);
    return image;
  }

  ProfileFixture profile;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> mailbox, archive;
};

TEST_F(FolderTreeTest, ListsStoresAndExpandsEachLevelAnewWithTheRightIcons) {
  CComPtr<IMAPIFolder> mailTop = OpenFolder(mailbox, "");
  CComPtr<IMAPIFolder> inbox = OpenFolder(mailbox, "Inbox");
  CreateClassFolder(mailTop, "Lower tasks", "ipf.task");
  CreateClassFolder(mailTop, "Custom tasks", "IPF.TaskList");
  CreateClassFolder(inbox, "Projects", "IPF.Note");
  CComPtr<IMAPIFolder> archTop = OpenFolder(archive, "");
  CreateClassFolder(archTop, "Inbox", nullptr);
  CreateClassFolder(archTop, "Outbox", nullptr);

  TreeHost host;
  ASSERT_TRUE(host.Create(IDD_FOLDER_PICKER));
  CMAPIFoldersTree& tree = host.tree;
  TestImageSource images;
  tree.SetImageSource(&images);
  for (int slot = 1; slot <= 12; ++slot) EXPECT_NE(tree.GetIconIndex(slot), -1) << slot;
  EXPECT_EQ(tree.GetIconIndex(13), -1);
  // The list order: store, default store, contacts, tasks, calendar, ...
  EXPECT_EQ(tree.GetIconIndex(CMAPIFoldersTree::kTasks), 3);
  EXPECT_EQ(tree.GetIconIndex(CMAPIFoldersTree::kCalendar), 4);
  tree.FillStores(CTeskMAPISession(session.p));

  ASSERT_EQ(Children(tree, TVI_ROOT), (std::vector<std::string>{"Personal Folders", "Archive"}));
  HTREEITEM personal = Store(tree, "Personal Folders");
  HTREEITEM arch = Store(tree, "Archive");
  EXPECT_EQ(Image(tree, personal), tree.GetIconIndex(CMAPIFoldersTree::kDefaultStore));
  EXPECT_EQ(Image(tree, arch), tree.GetIconIndex(CMAPIFoldersTree::kStore));
  // Nothing is read before an expansion, but both show an expander.
  EXPECT_EQ(tree.GetChildItem(personal), nullptr);
  EXPECT_TRUE(tree.ItemHasChildren(personal));

  tree.Expand(personal, TVE_EXPAND);
  std::map<std::string, int> expected = {
      {"Inbox", CMAPIFoldersTree::kInbox},          {"Outbox", CMAPIFoldersTree::kOutbox},
      {"Sent Items", CMAPIFoldersTree::kSentItems}, {"Deleted Items", CMAPIFoldersTree::kDeletedItems},
      {"Drafts", CMAPIFoldersTree::kMailFolder},    {"Calendar", CMAPIFoldersTree::kCalendar},
      {"Contacts", CMAPIFoldersTree::kContacts},    {"Journal", CMAPIFoldersTree::kJournal},
      {"Notes", CMAPIFoldersTree::kNotes},          {"Tasks", CMAPIFoldersTree::kTasks},
      {"Lower tasks", CMAPIFoldersTree::kTasks},    {"Custom tasks", CMAPIFoldersTree::kMailFolder},
  };
  EXPECT_EQ(Children(tree, personal).size(), expected.size());
  for (const auto& [name, slot] : expected) {
    HTREEITEM item = Child(tree, personal, name.c_str());
    ASSERT_NE(item, nullptr) << name;
    EXPECT_EQ(Image(tree, item), tree.GetIconIndex(slot)) << name;
  }
  // Only the Inbox has subfolders.
  EXPECT_TRUE(tree.ItemHasChildren(Child(tree, personal, "Inbox")));
  EXPECT_FALSE(tree.ItemHasChildren(Child(tree, personal, "Outbox")));

  // The special folders are the default store's only.
  tree.Expand(arch, TVE_EXPAND);
  for (const char* name : {"Inbox", "Outbox", "Deleted Items"})
    EXPECT_EQ(Image(tree, Child(tree, arch, name)), tree.GetIconIndex(CMAPIFoldersTree::kMailFolder)) << name;

  // Expanding again (also after a collapse) lists the level anew, once, and
  // shows what changed meanwhile.
  HTREEITEM inboxItem = Child(tree, personal, "Inbox");
  tree.Expand(inboxItem, TVE_EXPAND);
  EXPECT_EQ(Children(tree, inboxItem), (std::vector<std::string>{"Projects"}));
  EXPECT_EQ(Image(tree, Child(tree, inboxItem, "Projects")), tree.GetIconIndex(CMAPIFoldersTree::kMailFolder));
  CreateFolder(inbox, "Later");
  tree.Expand(inboxItem, TVE_COLLAPSE);
  tree.Expand(inboxItem, TVE_EXPAND);
  tree.Expand(inboxItem, TVE_EXPAND);
  EXPECT_EQ(Children(tree, inboxItem), (std::vector<std::string>{"Projects", "Later"}));
  host.DestroyWindow();
}

TEST_F(FolderTreeTest, InboxWithAClassAndMissingDefaultStoreIcon) {
  CComPtr<IMAPIFolder> inbox = OpenFolder(mailbox, "Inbox");
  SPropValue v{};
  v.ulPropTag = PR_CONTAINER_CLASS_A;
  v.Value.lpszA = const_cast<char*>("IPF.Note");
  ASSERT_EQ(inbox->SetProps(1, &v, nullptr), S_OK);

  TreeHost host;
  ASSERT_TRUE(host.Create(IDD_FOLDER_PICKER));
  TestImageSource images;
  images.noDefaultStore = true;
  host.tree.SetImageSource(&images);
  EXPECT_EQ(host.tree.GetIconIndex(CMAPIFoldersTree::kDefaultStore), -1);
  host.tree.FillStores(CTeskMAPISession(session.p));
  HTREEITEM personal = Store(host.tree, "Personal Folders");
  EXPECT_EQ(Image(host.tree, personal), host.tree.GetIconIndex(CMAPIFoldersTree::kStore));
  host.tree.Expand(personal, TVE_EXPAND);
  EXPECT_EQ(Image(host.tree, Child(host.tree, personal, "Inbox")),
            host.tree.GetIconIndex(CMAPIFoldersTree::kMailFolder));
  host.DestroyWindow();
}

TEST_F(FolderTreeTest, SelectedPathOfAStoreAndOfAFolderThreeLevelsDown) {
  CComPtr<IMAPIFolder> a = CreateFolder(OpenFolder(mailbox, "Inbox"), "Level A");
  CreateFolder(a, "Level B");
  TreeHost host;
  ASSERT_TRUE(host.Create(IDD_FOLDER_PICKER));
  CMAPIFoldersTree& tree = host.tree;
  EXPECT_EQ(tree.GetSelectedPath(), "");
  tree.FillStores(CTeskMAPISession(session.p));
  HTREEITEM personal = Store(tree, "Personal Folders");
  tree.SelectItem(personal);
  EXPECT_EQ(tree.GetSelectedPath(), "Personal Folders");
  tree.Expand(personal, TVE_EXPAND);
  HTREEITEM inbox = Child(tree, personal, "Inbox");
  tree.Expand(inbox, TVE_EXPAND);
  HTREEITEM levelA = Child(tree, inbox, "Level A");
  tree.Expand(levelA, TVE_EXPAND);
  tree.SelectItem(Child(tree, levelA, "Level B"));
  EXPECT_EQ(tree.GetSelectedPath(), "Personal Folders\\Inbox\\Level A\\Level B");
  host.DestroyWindow();
}

// The picker, driven from its own modal loop.
class FolderPickerTest : public FolderTreeTest {
 protected:
  // Runs the picker with `title`; `act` gets its window and tree.
  INT_PTR RunPicker(CFolderPickerDialog& picker, const char* title,
                    const std::function<void(QWidget*, CTreeCtrl&)>& act) {
    picker.SetTitle(title);
    ui_test::Later([&, title] {
      QWidget* w = nullptr;
      ASSERT_TRUE(ui_test::WaitFor([&] { return (w = FindWindow(QString::fromUtf8(title))) != nullptr; }));
      auto* tree = static_cast<CTreeCtrl*>(CWnd::FromHandle(::GetDlgItem(picker.m_hWnd, IDC_FOLDER_TREE)));
      act(w, *tree);
    });
    return picker.DoModal();
  }
  static void Press(HWND dlg, int id) {
    auto* button = qobject_cast<QAbstractButton*>(Control(dlg, id));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
  }
};

TEST_F(FolderPickerTest, OkTakesTheStoreOrTheFolderCancelNothing) {
  {
    CFolderPickerDialog picker(session, nullptr);
    const INT_PTR rc = RunPicker(picker, "Quelle ausw\xC3\xA4hlen...", [&](QWidget*, CTreeCtrl& tree) {
      // OK waits for a selection.
      EXPECT_FALSE(Control(picker.m_hWnd, IDOK)->isEnabled());
      tree.SelectItem(Store(tree, "Archive"));
      Press(picker.m_hWnd, IDOK);
    });
    EXPECT_EQ(rc, IDOK);
    EXPECT_EQ(picker.GetPath(), "Archive");
  }
  {
    CFolderPickerDialog picker(session, nullptr);
    const INT_PTR rc = RunPicker(picker, "Select target folder", [&](QWidget*, CTreeCtrl& tree) {
      HTREEITEM personal = Store(tree, "Personal Folders");
      tree.Expand(personal, TVE_EXPAND);
      tree.SelectItem(Child(tree, personal, "Sent Items"));
      Press(picker.m_hWnd, IDOK);
    });
    EXPECT_EQ(rc, IDOK);
    EXPECT_EQ(picker.GetPath(), "Personal Folders\\Sent Items");
  }
  {
    CFolderPickerDialog picker(session, nullptr);
    const INT_PTR rc = RunPicker(picker, "Pick", [&](QWidget*, CTreeCtrl& tree) {
      tree.SelectItem(Store(tree, "Archive"));
      Press(picker.m_hWnd, IDCANCEL);
    });
    EXPECT_EQ(rc, IDCANCEL);
    EXPECT_EQ(picker.GetPath(), "");
  }
}

// The mouse as a user moves it: the expander opens a store, a click on a
// folder selects it and enables OK, a double click takes it at once.
TEST_F(FolderPickerTest, AMouseClickEnablesOkAndADoubleClickConfirms) {
  auto itemAt = [](QTreeWidget* w, const char* text) {
    const auto found = w->findItems(QString::fromUtf8(text), Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
  };
  auto openByExpander = [&](QTreeWidget* w, const char* store) {
    QTreeWidgetItem* item = itemAt(w, store);
    ASSERT_NE(item, nullptr);
    const QRect r = w->visualItemRect(item);
    QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(r.left() - w->indentation() / 2, r.center().y()));
    ASSERT_TRUE(item->isExpanded());
  };
  for (const bool twice : {false, true}) {
    CFolderPickerDialog picker(session, nullptr);
    const INT_PTR rc = RunPicker(picker, "Select source folder", [&](QWidget*, CTreeCtrl& tree) {
      auto* w = qobject_cast<QTreeWidget*>(AfxWidgetFromHandle(tree.m_hWnd));
      ASSERT_NE(w, nullptr);
      ASSERT_TRUE(ui_test::WaitFor([&] { return w->isVisible(); }));
      openByExpander(w, "Personal Folders");
      // Opening a store selects nothing yet.
      EXPECT_FALSE(Control(picker.m_hWnd, IDOK)->isEnabled());
      QTreeWidgetItem* inbox = itemAt(w, "Inbox");
      ASSERT_NE(inbox, nullptr);
      const QPoint at = w->visualItemRect(inbox).center();
      if (!twice) {
        QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        EXPECT_TRUE(Control(picker.m_hWnd, IDOK)->isEnabled());
        EXPECT_EQ(tree.GetItemText(tree.GetSelectedItem()), "Inbox");
        Press(picker.m_hWnd, IDOK);
      } else {
        // As a real double click arrives: click, then press, double click, release.
        QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mousePress(w->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(w->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(w->viewport(), Qt::LeftButton, Qt::NoModifier, at);
      }
    });
    EXPECT_EQ(rc, IDOK) << twice;
    EXPECT_EQ(picker.GetPath(), "Personal Folders\\Inbox") << twice;
  }
}

TEST_F(FolderPickerTest, ShowsTheCallersCaptionAndTheProgramsIcons) {
  CFolderPickerDialog picker(session, nullptr);
  RunPicker(picker, "Select source folder", [&](QWidget* w, CTreeCtrl& tree) {
    EXPECT_EQ(w->windowTitle(), "Select source folder");
    // The program's own icons: every role has one.
    auto* tree2 = static_cast<CMAPIFoldersTree*>(&tree);
    for (int slot = 1; slot <= 12; ++slot) EXPECT_NE(tree2->GetIconIndex(slot), -1) << slot;
    Press(picker.m_hWnd, IDCANCEL);
  });
}

}  // namespace
