// The save program's window on real store files: logon and command line in
// both languages, runs that succeed and fail, closing refused while running.
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <FolderPickerDialog.h>
#include <ReportFile.h>
#include <TeskSave2Dlg.h>

#include "dialog_test_util.h"

using namespace testing_support;
using namespace dialog_test;
using ui_test::ScopedEnv;

namespace {

// The dialog as the program runs it, counting what the progress object sends.
class ObservedSaveDlg : public CTeskSave2Dlg {
 public:
  using CTeskSave2Dlg::CTeskSave2Dlg;
  int positions = 0;
  int ranges = 0;
  std::function<void()> onFirstPosition;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_USER + 101) ++ranges;
    if (message == WM_USER + 100 && positions++ == 0 && onFirstPosition) onFirstPosition();
    return CTeskSave2Dlg::WindowProc(message, wParam, lParam);
  }
};

class SaveDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskSaveResources();
    session = profile.Logon();
    AddMessages(OpenFolder(OpenStore(session, "Personal Folders"), "Inbox"), 30);
  }

  ProfileFixture profile;
  CComPtr<IMAPISession> session;
};

TEST_F(SaveDialogTest, CommandLineAfterLogonInBothLanguages) {
  for (const char* lang : {"en_US.UTF-8", "de_DE.UTF-8"}) {
    ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), language("LANG", lang);
    const bool german = lang[0] == 'd';
    // The command line gave another profile name: the session's one shows.
    ObservedSaveDlg dlg("", "Personal Folders\\Inbox", "", nullptr);
    ui_test::Later([&] {
      HWND h = dlg.m_hWnd;
      QWidget* window = AfxWidgetFromHandle(h);
      EXPECT_EQ(window->windowTitle(), "TeskSave 1.2");
      EXPECT_EQ(Text(h, IDC_RUN), german ? "Ausf\xC3\xBChren" : "Start now!");
      EXPECT_EQ(Text(h, IDC_NO_TIMESTAMP),
                german ? "Keinen Zeitstempel an obersten Hierarchieordner des Archivs anf\xC3\xBCgen"
                       : "Do not add time stamp to archived root folder");
      EXPECT_FALSE(Control(h, IDC_PROGRESS)->isVisible());
      // The link leads to a help page that is there.
      const QString link = Text(h, IDC_LINK);
      EXPECT_TRUE(link.startsWith(QStringLiteral("file:///"))) << link.toStdString();
      EXPECT_TRUE(link.endsWith(QStringLiteral("/tesk-dialogs.html"))) << link.toStdString();
      EXPECT_TRUE(std::filesystem::exists(link.mid(7).toStdString())) << link.toStdString();
      const QString program = ProgramPath();
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"Personal Folders\\Inbox\"  \"\"");
      Click(h, IDC_NO_TIMESTAMP);
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " -t  \"Test\"  \"Personal Folders\\Inbox\"  \"\"");
      Type(h, IDC_MAILTO, "ops@example.org");
      EXPECT_EQ(Text(h, IDC_CMDLINE),
                program + " -t  -mailto:ops@example.org  \"Test\"  \"Personal Folders\\Inbox\"  \"\"");
      Click(h, IDC_NO_TIMESTAMP);
      Type(h, IDC_MAILTO, "");
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"Personal Folders\\Inbox\"  \"\"");
      // The picker's title comes from the program's strings.
      ui_test::Later([&] {
        QWidget* picker = nullptr;
        ASSERT_TRUE(ui_test::WaitFor([&] {
          picker = QApplication::activeModalWidget();
          return picker && picker != window;
        }));
        EXPECT_EQ(picker->windowTitle(), german ? "Ziel ausw\xC3\xA4hlen..." : "Select target folder");
        Click(AfxHandleFromWidget(picker), IDCANCEL);
      });
      Click(h, IDC_SELECT_TARGET);
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"Personal Folders\\Inbox\"  \"\"");
      Click(h, IDCANCEL);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  }
}

TEST_F(SaveDialogTest, ASuccessfulRunMovesTheBarRefusesClosingAndEndsWithOk) {
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedSaveDlg dlg("Test", "", "", nullptr);
  bool stillOpen = false;
  dlg.onFirstPosition = [&] {
    QWidget* window = AfxWidgetFromHandle(dlg.m_hWnd);
    EXPECT_TRUE(Control(dlg.m_hWnd, IDC_PROGRESS)->isVisible());
    EXPECT_FALSE(Control(dlg.m_hWnd, IDC_RUN)->isEnabled());
    EXPECT_FALSE(Control(dlg.m_hWnd, IDCANCEL)->isEnabled());
    EXPECT_FALSE(Control(dlg.m_hWnd, IDC_MAILTO)->isEnabled());
    EXPECT_TRUE(Control(dlg.m_hWnd, IDC_NO_TIMESTAMP)->isEnabled());
    QTest::keyClick(window, Qt::Key_Escape);
    dlg.SendMessage(WM_CLOSE);
    stillOpen = dlg.IsRunning() && window->isVisible();
  };
  ui_test::Later([&] {
    Pick(dlg.m_hWnd, IDC_SELECT_SOURCE, "Personal Folders", "Inbox");
    Pick(dlg.m_hWnd, IDC_SELECT_TARGET, "Archive", nullptr);
    Click(dlg.m_hWnd, IDC_NO_TIMESTAMP);
    Click(dlg.m_hWnd, IDC_RUN);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(stillOpen);
  EXPECT_GT(dlg.positions, 0);
  // Without time stamp the new folder is named like the source path, with
  // underscores for its separators.
  EXPECT_EQ(SubfolderNames(OpenFolder(OpenStore(session, "Archive"), "")),
            (std::vector<std::string>{"Deleted Items", "Personal Folders_Inbox"}));
  // Before the window closed, a message said what was saved where.
  ASSERT_EQ(boxes.count(), 1);
  const size_t messages = ContentsEntryIds(OpenFolder(OpenStore(session, "Personal Folders"), "Inbox")).size();
  const std::string english = "Saved \"Personal Folders\\Inbox\" to \"Archive\\Personal Folders_Inbox\": " +
                              std::to_string(messages) + " messages in 1 folders.";
  const std::string german = "\xE2\x80\x9EPersonal Folders\\Inbox\xE2\x80\x9C wurde nach \xE2\x80\x9E"
                             "Archive\\Personal Folders_Inbox\xE2\x80\x9C gesichert: " +
                             std::to_string(messages) + " Nachrichten in 1 Ordnern.";
  EXPECT_TRUE(boxes.last().rfind(english, 0) == 0 || boxes.last().rfind(german, 0) == 0) << boxes.last();
  EXPECT_EQ(boxes.types().back() & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
}

TEST_F(SaveDialogTest, AFailedRunShowsTheErrorAndASecondRunCanFollow) {
  const auto errorsBefore = theReportFile.Errors().GetCount();
  ObservedSaveDlg dlg("Test", "", "", nullptr);
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    // No source chosen: the path lookup fails.
    Click(h, IDC_RUN);
    EXPECT_EQ(boxes.count(), 1);
    EXPECT_NE(boxes.last().find("Message store  not found!"), std::string::npos) << boxes.last();
    EXPECT_EQ(theReportFile.Errors().GetCount(), errorsBefore + 1);
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_FALSE(Control(h, IDC_PROGRESS)->isVisible());
    for (int id : {IDC_RUN, IDC_SELECT_SOURCE, IDC_SELECT_TARGET, IDCANCEL, IDC_MAILTO})
      EXPECT_TRUE(Control(h, id)->isEnabled()) << id;
    Pick(h, IDC_SELECT_SOURCE, "Personal Folders", "Inbox");
    Pick(h, IDC_SELECT_TARGET, "Archive", nullptr);
    Click(h, IDC_RUN);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(boxes.count(), 2);  // the error, then the second run's message
}

TEST_F(SaveDialogTest, AFailedLogonSaysSoAndCloses) {
  TempDir empty;
  ScopedEnv config("MAPI_CONFIG_DIR", empty.path());
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedSaveDlg dlg("", "", "", nullptr);
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(boxes.count(), 1);
  EXPECT_EQ(boxes.last(), "Failed to logon to MAPI!\nError code 80040111");
}

}  // namespace

namespace {

// Under cron there is no display: the dialog road says so and fails, the
// batch road does not need one.
TEST(SaveProgramWithoutDisplay, DialogRunFailsClearlyBatchRunWorks) {
  ProfileFixture profile;
  TempDir bin;
  const std::string program = bin / "TeskSave";
  ASSERT_EQ(RunCommand("cp " + Quote(TESKSAVE_PATH) + " " + Quote(program)), 0);
  const std::string env = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM MAPI_CONFIG_DIR=" +
                          Quote(profile.dir / "config") + " ";
  std::string out;
  const int dialog = RunCommand(env + Quote(program) + " 2>&1", &out);
  EXPECT_NE(dialog, 0);
  EXPECT_EQ(out, "TeskSave: no display available: neither DISPLAY nor WAYLAND_DISPLAY is set\n");
  const int batch = RunCommand(env + Quote(program) + " \"\" \"Personal Folders\\Inbox\" \"Archive\" 2>&1", &out);
  EXPECT_EQ(batch, 0) << out;
  EXPECT_EQ(out, "");
}

}  // namespace
