// The restore program's windows as laid out: every text fits its control,
// and the main window grows.
#include <TeskRestoreDlg.h>

#include "template_layout.h"

using namespace dialog_test;

namespace {

class RestoreLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskRestoreResources();
  }
};

TEST_F(RestoreLayoutTest, EveryTextFitsTheMainWindow) {
  const std::vector<std::string> problems = TemplateProblems(IDD_TESKRESTORE_DIALOG, "de_DE.UTF-8");
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems\n" << Lines(problems);
}

TEST_F(RestoreLayoutTest, EveryTextFitsTheFolderPicker) {
  const std::vector<std::string> problems = TemplateProblems(IDD_FOLDER_PICKER, "de_DE.UTF-8");
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems\n" << Lines(problems);
}

TEST_F(RestoreLayoutTest, TheMainWindowGrowsItsFieldsAndKeepsItsButtonsAtTheRight) {
  testing_support::ProfileFixture profile;
  CComPtr<IMAPISession> session = profile.Logon();
  ui_test::ScopedEnv all("LC_ALL", std::nullopt), language("LANG", std::string("de_DE.UTF-8"));
  CTeskRestoreDlg dlg("", "", "", nullptr);
  ui_test::Later([&] {
    const HWND h = dlg.m_hWnd;
    QWidget* window = AfxWidgetFromHandle(h);
    const QSize initial = window->size();
    // It opens as small as it ever gets (the link shows whole).
    EXPECT_EQ(window->minimumSize(), initial);
    EXPECT_EQ(Lines(layout_check::Problems(window)), "");
    std::map<int, QRect> before;
    for (int id : {IDC_CMDLINE, IDC_MAILTO, IDC_STATUS, IDC_RUN, IDCANCEL, IDC_SELECT_SOURCE, IDC_SELECT_TARGET,
                   IDC_COPYRIGHT})
      before[id] = Control(h, id)->geometry();
    const auto overlapsBefore = Overlaps(window);

    window->resize(initial + QSize(180, 50));
    QCoreApplication::processEvents();
    EXPECT_EQ(Control(h, IDC_CMDLINE)->geometry(), before[IDC_CMDLINE].adjusted(0, 0, 180, 0));
    EXPECT_EQ(Control(h, IDC_MAILTO)->geometry(), before[IDC_MAILTO].adjusted(0, 0, 180, 0));
    EXPECT_EQ(Control(h, IDC_STATUS)->geometry(), before[IDC_STATUS].translated(0, 50).adjusted(0, 0, 180, 0));
    EXPECT_EQ(Control(h, IDC_RUN)->geometry(), before[IDC_RUN].translated(180, 0));
    EXPECT_EQ(Control(h, IDCANCEL)->geometry(), before[IDCANCEL].translated(180, 0));
    EXPECT_EQ(Control(h, IDC_SELECT_SOURCE)->geometry(), before[IDC_SELECT_SOURCE]);
    EXPECT_EQ(Control(h, IDC_SELECT_TARGET)->geometry(), before[IDC_SELECT_TARGET]);
    EXPECT_EQ(Control(h, IDC_COPYRIGHT)->geometry(), before[IDC_COPYRIGHT].translated(0, 50));
    EXPECT_EQ(Overlaps(window), overlapsBefore);
    EXPECT_EQ(Lines(Outside(window)), "");
    EXPECT_EQ(Lines(layout_check::Problems(window)), "");
    Click(h, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

}  // namespace
