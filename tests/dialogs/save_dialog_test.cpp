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
#include <mapi/admin.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <iterator>

#include "dialog_test_util.h"
#include "smtp_server.h"

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
      const QString program = ProfileFolderPrefix(profile) + ProgramPath();
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
                              std::to_string(messages) + " messages in 1 folder.";
  const std::string german = "\xE2\x80\x9EPersonal Folders\\Inbox\xE2\x80\x9C wurde nach \xE2\x80\x9E"
                             "Archive\\Personal Folders_Inbox\xE2\x80\x9C gesichert: " +
                             std::to_string(messages) + " Nachrichten in 1 Ordner.";
  EXPECT_TRUE(boxes.last().rfind(english, 0) == 0 || boxes.last().rfind(german, 0) == 0) << boxes.last();
  EXPECT_EQ(boxes.types().back() & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
}

TEST_F(SaveDialogTest, AFailedRunShowsTheErrorAndASecondRunCanFollow) {
  ScopedLog log;
  ASSERT_FALSE(log.path().empty());
  const auto errorsBefore = theReportFile.Errors().GetCount();
  ObservedSaveDlg dlg("Test", "", "", nullptr);
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    // No source chosen: the path lookup fails.
    Click(h, IDC_RUN);
    EXPECT_EQ(boxes.count(), 1);
    EXPECT_NE(boxes.last().find("Message store  not found!"), std::string::npos) << boxes.last();
    // The message says where the log is, as a successful run's does.
    const std::string where = boxes.last().substr(boxes.last().rfind("\n\n") + 2);
    EXPECT_TRUE(where == "Log: " + log.path() || where == "Protokoll: " + log.path()) << boxes.last();
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

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An address the mail server takes whose characters the shell would read.
constexpr char kAddress[] = "ops+$HOME&o'neil`id`@example.org";

// The line the window shows is pasted into a crontab: run through /bin/sh
// with cron's bare environment (no MAPI_CONFIG_DIR, no display) and the dry
// run switch added, it finds the same profile, folders and report address,
// whatever characters of the shell's the address holds.
TEST_F(SaveDialogTest, TheCommandLineRunsFromAShellAsItIsShown) {
  SmtpServer server(profile.dir / "maildir");
  tesk::mapi::admin::SetTransport("Test", server.Url(), "tesk@example.org", "", "", false);
  server.Start();
  // The name a save without time stamp takes is in use: such a dry run
  // logs an ERROR line, which goes to the report address.
  CreateFolder(OpenFolder(OpenStore(session, "Archive"), ""), "Personal Folders_Inbox");
  TempDir bin, home;
  const std::string program = bin / "TeskSave";
  ASSERT_EQ(RunCommand("cp " + Quote(TESKSAVE_PATH) + " " + Quote(program)), 0);
  std::vector<std::string> lines;
  ObservedSaveDlg dlg("", "", "", nullptr);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    Pick(h, IDC_SELECT_SOURCE, "Personal Folders", "Inbox");
    Pick(h, IDC_SELECT_TARGET, "Archive", nullptr);
    Type(h, IDC_MAILTO, "John Doe <john@example.org>");
    lines.push_back(Text(h, IDC_CMDLINE).toStdString());
    Click(h, IDC_NO_TIMESTAMP);
    Type(h, IDC_MAILTO, kAddress);
    lines.push_back(Text(h, IDC_CMDLINE).toStdString());
    Click(h, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  ASSERT_EQ(lines.size(), 2u);
  const std::string shown = ProgramPath().toStdString();
  const auto run = [&](std::string line, std::string* out) {
    const size_t at = line.find(shown);
    EXPECT_NE(at, std::string::npos) << line;
    if (at == std::string::npos) return -1;
    line.replace(at, shown.size(), program + " -n");
    return RunCommand("env -i HOME=" + Quote(home.path()) + " PATH=/usr/bin:/bin /bin/sh -c " + Quote(line) + " 2>&1",
                      out);
  };
  // The log files by name; what a run wrote is what they gained (a new
  // file, or more lines in one of the same name), in whatever order the
  // directory lists them.
  const auto logs = [&] {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(bin.path()))
      if (entry.path().extension() == ".log") all[entry.path().filename()] = ReadAll(entry.path());
    return all;
  };
  const auto gained = [](const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after) {
    std::string out;
    for (const auto& [name, text] : after) {
      auto it = before.find(name);
      out += it == before.end() ? text : text.substr(std::min(text.size(), it->second.size()));
    }
    return out;
  };
  std::string out;
  EXPECT_EQ(run(lines[0], &out), 0) << lines[0] << "\n" << out;
  const auto afterFirst = logs();
  const std::string first = gained({}, afterFirst);
  EXPECT_EQ(first.find(":ERROR:"), std::string::npos) << first;
  EXPECT_NE(first.find("Personal Folders\\Inbox"), std::string::npos) << first;
  EXPECT_TRUE(server.Mails().empty());

  EXPECT_EQ(run(lines[1], &out), 1) << lines[1] << "\n" << out;
  const std::string second = gained(afterFirst, logs());
  EXPECT_NE(second.find(":ERROR:"), std::string::npos) << second;
  EXPECT_NE(second.find("Personal Folders_Inbox"), std::string::npos) << second;
  ASSERT_TRUE(ui_test::WaitFor([&] { return !server.Mails().empty(); }, 10000)) << second << out;
  const std::string mail = server.Mails()[0];
  EXPECT_NE(mail.find(std::string("X-RcptTo: ") + kAddress + "\n"), std::string::npos) << mail;
  EXPECT_NE(mail.find("MAPI_E_COLLISION"), std::string::npos) << mail;
}

// An address the mail transport would refuse stops the run before it starts,
// with a message; Enter in the address field starts no run at all.
TEST_F(SaveDialogTest, TheReportAddressIsCheckedAndEnterInItStartsNothing) {
  for (const char* lang : {"en_US.UTF-8", "de_DE.UTF-8"}) {
    SCOPED_TRACE(lang);
    ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), language("LANG", lang);
    ui_test::ScopedMessageBoxes boxes(IDOK);
    // Each language saves into a folder of its own (two saves in one
    // minute would want the same name).
    const std::string target = std::string("Archive\\") + lang;
    CreateFolder(OpenFolder(OpenStore(session, "Archive"), ""), lang);
    const std::vector<std::string> archive = SubfolderNames(OpenFolder(OpenStore(session, "Archive"), lang));
    ObservedSaveDlg dlg("", "Personal Folders\\Inbox", target.c_str(), nullptr);
    ui_test::Later([&] {
      HWND h = dlg.m_hWnd;
      auto* edit = qobject_cast<QLineEdit*>(Control(h, IDC_MAILTO));
      ASSERT_NE(edit, nullptr);
      Type(h, IDC_MAILTO, "backup-admin");
      Click(h, IDC_RUN);
      ASSERT_EQ(boxes.count(), 1);
      EXPECT_NE(boxes.last().find("backup-admin"), std::string::npos) << boxes.last();
      EXPECT_EQ(boxes.types().back() & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
      EXPECT_EQ(dlg.positions, 0);
      EXPECT_EQ(SubfolderNames(OpenFolder(OpenStore(session, "Archive"), lang)), archive);
      // The field has the focus again, to be corrected.
      EXPECT_TRUE(ui_test::WaitFor([&] { return edit->hasFocus(); }));
      // A name with the address: the server would refuse it in RCPT TO.
      Type(h, IDC_MAILTO, "John Doe <john@example.org>");
      Click(h, IDC_RUN);
      ASSERT_EQ(boxes.count(), 2);
      EXPECT_NE(boxes.last().find("John Doe <john@example.org>"), std::string::npos) << boxes.last();
      EXPECT_EQ(dlg.positions, 0);
      Type(h, IDC_MAILTO, "ops@example.org");
      edit->setFocus();
      QTest::keyClick(edit, Qt::Key_Return);
      QTest::keyClick(edit, Qt::Key_Enter);
      QTest::qWait(100);
      EXPECT_EQ(boxes.count(), 2);
      EXPECT_EQ(dlg.positions, 0);
      EXPECT_FALSE(dlg.IsRunning());
      EXPECT_TRUE(AfxWidgetFromHandle(h)->isVisible());
      // A click on the button runs it.
      Click(h, IDC_RUN);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_GT(dlg.positions, 0);
    ASSERT_EQ(boxes.count(), 3);
    EXPECT_EQ(boxes.types().back() & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
  }
}

// Where nothing can open the help page (no xdg-open), a message says where
// it is.
TEST_F(SaveDialogTest, TheHelpLinkSaysWhereThePageIsWhenNothingOpensIt) {
  TempDir emptyBin;
  ScopedEnv opener("TESK_SHELL_OPEN", std::nullopt), path("PATH", emptyBin.path());
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedSaveDlg dlg("", "", "", nullptr);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    QWidget* link = Control(h, IDC_LINK);
    const std::string page = Text(h, IDC_LINK).mid(7).toStdString();
    ASSERT_TRUE(std::filesystem::exists(page)) << page;
    QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, QPoint(4, link->height() / 2));
    EXPECT_TRUE(ui_test::WaitFor([&] { return boxes.count() == 1; }));
    EXPECT_NE(boxes.last().find("\n" + page), std::string::npos) << boxes.last();
    Click(h, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(boxes.count(), 1);
}

// The picker opens on the folder chosen before, selected and scrolled into
// view; without one, the first arrow key selects a folder (and OK goes on).
TEST_F(SaveDialogTest, ThePickerShowsTheChoiceAndTheFirstArrowKeySelects) {
  CComPtr<IMAPIFolder> top = OpenFolder(OpenStore(session, "Archive"), "");
  for (int i = 0; i < 40; ++i) CreateFolder(top, "Folder " + std::to_string(100 + i));
  ObservedSaveDlg dlg("", "", "", nullptr);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    Pick(h, IDC_SELECT_TARGET, "Archive", "Folder 139");
    OnPicker(h, IDC_SELECT_TARGET, [](HWND picker) {
      auto* tree = qobject_cast<QTreeWidget*>(Control(picker, IDC_FOLDER_TREE));
      ASSERT_NE(tree, nullptr);
      QCoreApplication::processEvents();
      QTreeWidgetItem* current = tree->currentItem();
      ASSERT_NE(current, nullptr);
      EXPECT_TRUE(current->isSelected());
      EXPECT_EQ(current->text(0), "Folder 139");
      EXPECT_EQ(current->parent() ? current->parent()->text(0) : QString(), "Archive");
      EXPECT_TRUE(tree->viewport()->rect().contains(tree->visualItemRect(current))) << "not scrolled into view";
      EXPECT_TRUE(Control(picker, IDOK)->isEnabled());
      Click(picker, IDCANCEL);
    });
    OnPicker(h, IDC_SELECT_SOURCE, [](HWND picker) {
      auto* tree = qobject_cast<QTreeWidget*>(Control(picker, IDC_FOLDER_TREE));
      ASSERT_NE(tree, nullptr);
      EXPECT_TRUE(ui_test::WaitFor([&] { return tree->hasFocus(); }));
      EXPECT_TRUE(tree->selectedItems().isEmpty());
      EXPECT_FALSE(Control(picker, IDOK)->isEnabled());
      QTest::keyClick(tree, Qt::Key_Down);
      ASSERT_EQ(tree->selectedItems().size(), 1);
      EXPECT_EQ(tree->selectedItems()[0], tree->topLevelItem(0));
      EXPECT_TRUE(Control(picker, IDOK)->isEnabled());
      QTest::keyClick(tree, Qt::Key_Down);
      ASSERT_EQ(tree->selectedItems().size(), 1);
      EXPECT_EQ(tree->selectedItems()[0], tree->topLevelItem(1));
      Click(picker, IDOK);
    });
    EXPECT_NE(Text(h, IDC_CMDLINE).indexOf("  \"Archive\\Folder 139\""), -1) << Text(h, IDC_CMDLINE).toStdString();
    Click(h, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

}  // namespace
