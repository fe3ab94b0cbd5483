// The save program's windows as laid out: every text fits its control in
// both languages, and the main window and the folder picker grow.
#include <QTreeWidget>

#include <TeskSave2Dlg.h>

#include "template_layout.h"

using namespace testing_support;
using namespace dialog_test;
using ui_test::ScopedEnv;

namespace {

class SaveLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskSaveResources();
  }
};

TEST_F(SaveLayoutTest, EveryTextFitsTheMainWindowInBothLanguages) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    const std::vector<std::string> problems = TemplateProblems(IDD_TESKSAVE2_DIALOG, locale);
    EXPECT_TRUE(problems.empty()) << locale << ": " << problems.size() << " problems\n" << Lines(problems);
  }
}

TEST_F(SaveLayoutTest, EveryTextFitsTheFolderPickerInBothLanguages) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    const std::vector<std::string> problems = TemplateProblems(IDD_FOLDER_PICKER, locale);
    EXPECT_TRUE(problems.empty()) << locale << ": " << problems.size() << " problems\n" << Lines(problems);
  }
}

// The windows as the program opens them, on a profile with a snapshot whose
// name is longer than the picker's tree is wide.
class SaveResizeTest : public SaveLayoutTest {
 protected:
  void SetUp() override {
    SaveLayoutTest::SetUp();
    session = profile.Logon();
    CreateFolder(CreateFolder(OpenFolder(OpenStore(session, "Archive"), ""), "Sicherungen"),
                 "2026.12.08 16:17 Personal Folders_Inbox_Projekte_2026");
  }
  ProfileFixture profile;
  CComPtr<IMAPISession> session;
};

TEST_F(SaveResizeTest, TheMainWindowGrowsItsFieldsAndKeepsItsButtonsAtTheRight) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    SCOPED_TRACE(locale);
    ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), language("LANG", locale);
    CTeskSave2Dlg dlg("", "Personal Folders\\Inbox", "Archive", nullptr);
    ui_test::Later([&] {
      const HWND h = dlg.m_hWnd;
      QWidget* window = AfxWidgetFromHandle(h);
      const QSize initial = window->size();
      // The window opens at its template's size, wider only where the
      // help page's path needs it; every text shows whole.
      // It opens as small as it ever gets (the link shows whole).
      EXPECT_EQ(window->minimumSize(), initial);
      EXPECT_EQ(Lines(layout_check::Problems(window)), "");
      std::map<int, QRect> before;
      for (int id : {IDC_CMDLINE, IDC_MAILTO, IDC_RUN, IDCANCEL, IDC_SELECT_SOURCE, IDC_SELECT_TARGET, IDC_NO_TIMESTAMP,
                     IDC_COPYRIGHT, IDC_LINK, IDC_PROGRESS})
        before[id] = Control(h, id)->geometry();
      const auto overlapsBefore = Overlaps(window);

      window->resize(initial + QSize(240, 60));
      QCoreApplication::processEvents();
      const QRect cmd = Control(h, IDC_CMDLINE)->geometry();
      EXPECT_EQ(cmd, before[IDC_CMDLINE].adjusted(0, 0, 240, 0));
      EXPECT_EQ(Control(h, IDC_MAILTO)->geometry(), before[IDC_MAILTO].adjusted(0, 0, 240, 0));
      EXPECT_EQ(Control(h, IDC_PROGRESS)->geometry(), before[IDC_PROGRESS].translated(0, 60).adjusted(0, 0, 240, 0));
      for (int id : {IDC_RUN, IDCANCEL}) {
        EXPECT_EQ(Control(h, id)->geometry(), before[id].translated(240, 0)) << id;
        EXPECT_EQ(window->width() - Control(h, id)->geometry().right(), initial.width() - before[id].right()) << id;
      }
      for (int id : {IDC_SELECT_SOURCE, IDC_SELECT_TARGET}) EXPECT_EQ(Control(h, id)->geometry(), before[id]) << id;
      EXPECT_EQ(Control(h, IDC_COPYRIGHT)->geometry(), before[IDC_COPYRIGHT].translated(0, 60));
      EXPECT_EQ(Control(h, IDC_LINK)->geometry().top(), before[IDC_LINK].top() + 60);
      // The command line still ends where the close button does; nothing
      // runs into anything, nothing leaves the window.
      EXPECT_EQ(cmd.right(), Control(h, IDCANCEL)->geometry().right());
      EXPECT_EQ(Overlaps(window), overlapsBefore);
      EXPECT_EQ(Lines(Outside(window)), "");
      EXPECT_EQ(Lines(layout_check::Problems(window)), "");

      // Smaller than its template it does not get.
      window->resize(1, 1);
      QCoreApplication::processEvents();
      EXPECT_EQ(window->size(), window->minimumSize());
      const int narrower = initial.width() - window->width();
      EXPECT_EQ(Control(h, IDC_CMDLINE)->geometry(), before[IDC_CMDLINE].adjusted(0, 0, -narrower, 0));
      EXPECT_EQ(Control(h, IDCANCEL)->geometry(), before[IDCANCEL].translated(-narrower, 0));
      Click(h, IDCANCEL);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  }
}

TEST_F(SaveResizeTest, ThePickerGrowsItsTreeUntilLongNamesShowWhole) {
  CTeskSave2Dlg dlg("", "", "", nullptr);
  ui_test::Later([&] {
    OnPicker(dlg.m_hWnd, IDC_SELECT_TARGET, [&](HWND picker) {
      QWidget* window = AfxWidgetFromHandle(picker);
      auto* tree = qobject_cast<QTreeWidget*>(Control(picker, IDC_FOLDER_TREE));
      ASSERT_NE(tree, nullptr);
      EXPECT_EQ(window->minimumSize(), window->size());
      auto* ctrl = static_cast<CTreeCtrl*>(CWnd::FromHandle(::GetDlgItem(picker, IDC_FOLDER_TREE)));
      HTREEITEM archive = ctrl->GetRootItem();
      while (archive && ctrl->GetItemText(archive) != "Archive") archive = ctrl->GetNextSiblingItem(archive);
      ASSERT_NE(archive, nullptr);
      ctrl->Expand(archive, TVE_EXPAND);
      HTREEITEM folder = ctrl->GetChildItem(archive);
      while (folder && ctrl->GetItemText(folder) != "Sicherungen") folder = ctrl->GetNextSiblingItem(folder);
      ASSERT_NE(folder, nullptr);
      ctrl->Expand(folder, TVE_EXPAND);
      QTreeWidgetItem* snapshot = tree->findItems(QStringLiteral("2026.12.08 16:17 Personal Folders_Inbox_Projekte_2026"),
                                                  Qt::MatchExactly | Qt::MatchRecursive)
                                      .value(0);
      ASSERT_NE(snapshot, nullptr);
      QCoreApplication::processEvents();
      auto shownWhole = [&] {
        const QRect text = tree->visualItemRect(snapshot);
        return text.left() >= 0 && text.right() <= tree->viewport()->width();
      };
      EXPECT_FALSE(shownWhole()) << "the name fits the tree of the template already";

      const QRect treeBefore = tree->geometry();
      const QRect ok = Control(picker, IDOK)->geometry();
      const QRect cancel = Control(picker, IDCANCEL)->geometry();
      const auto overlapsBefore = Overlaps(window);
      window->resize(window->size() + QSize(220, 120));
      QCoreApplication::processEvents();
      EXPECT_EQ(tree->geometry(), treeBefore.adjusted(0, 0, 220, 120));
      EXPECT_EQ(Control(picker, IDOK)->geometry(), ok.translated(220, 0));
      EXPECT_EQ(Control(picker, IDCANCEL)->geometry(), cancel.translated(220, 0));
      EXPECT_EQ(Overlaps(window), overlapsBefore);
      EXPECT_EQ(Lines(Outside(window)), "");
      EXPECT_TRUE(shownWhole());
      Click(picker, IDCANCEL);
    });
    Click(dlg.m_hWnd, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

}  // namespace
