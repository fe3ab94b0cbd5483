// The restore program's window on real store files: logon and command line,
// a restore with its status line and progress bar, failed runs, the report
// mail through a real SMTP server on loopback, a failed logon.
#include <mapi/admin.h>

#include <QLabel>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include <FolderPickerDialog.h>
#include <ReportFile.h>
#include <TeskRestoreDlg.h>

#include "dialog_test_util.h"
#include "smtp_server.h"

using namespace testing_support;
using namespace dialog_test;
using ui_test::ScopedEnv;
using Texts = std::vector<std::string>;

namespace {

// The question before the restore of PrepareBackup's archive over the mailbox.
const std::string kQuestion =
    "Der Zielordner \xE2\x80\x9EPersonal Folders\xE2\x80\x9C wird geleert, bevor \xE2\x80\x9E"
    "Archive\\Backup\xE2\x80\x9C hineinkopiert wird.\n\nGel\xC3\xB6scht werden 1 Ordner und 7 Nachrichten:\n"
    "\xE2\x80\xA2 1 Ordner und 2 Nachrichten au\xC3\x9F" "erhalb der Standardordner\n"
    "\xE2\x80\xA2 0 Ordner und 5 Nachrichten in den 10 Standardordnern, die selbst erhalten bleiben\n\n"
    "Hineinkopiert: 3 Ordner mit 19 Nachrichten.\n\nWiederherstellung jetzt starten?";

// The dialog as the program runs it, recording what its status line shows
// and counting the progress object's position messages.
class ObservedRestoreDlg : public CTeskRestoreDlg {
 public:
  using CTeskRestoreDlg::CTeskRestoreDlg;
  Texts shown;
  int positions = 0;
  std::function<void()> onFirstStatus;
  void ShowStatusMessage(const char* text) override {
    CTeskRestoreDlg::ShowStatusMessage(text);
    shown.push_back(Text(m_hWnd, IDC_STATUS).toStdString());
    if (shown.size() == 1 && onFirstStatus) onFirstStatus();
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_USER + 100) ++positions;
    return CTeskRestoreDlg::WindowProc(message, wParam, lParam);
  }
};

class RestoreDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskRestoreResources();
    session = profile.Logon();
  }

  // "Archive\\Backup" with an Inbox (12 messages, a subfolder "2001") and a
  // folder of the user's; the mailbox holds older mail and a folder "Old".
  void PrepareBackup() {
    CComPtr<IMAPIFolder> backup = CreateFolder(OpenFolder(OpenStore(session, "Archive"), ""), "Backup");
    CComPtr<IMAPIFolder> inbox = CreateFolder(backup, "Inbox");
    AddMessages(inbox, 12);
    AddMessages(CreateFolder(inbox, "2001"), 3);
    AddMessages(CreateFolder(backup, "Projects"), 4);
    CComPtr<IMsgStore> mailbox = OpenStore(session, "Personal Folders");
    AddMessages(OpenFolder(mailbox, "Inbox"), 5);
    AddMessages(CreateFolder(OpenFolder(mailbox, ""), "Old"), 2);
  }

  static void ExpectIdle(ObservedRestoreDlg& dlg) {
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_FALSE(Control(dlg.m_hWnd, IDC_PROGRESS)->isVisible());
    for (int id : {IDC_RUN, IDC_SELECT_SOURCE, IDC_SELECT_TARGET, IDCANCEL, IDC_MAILTO})
      EXPECT_TRUE(Control(dlg.m_hWnd, id)->isEnabled()) << id;
  }
  static std::string LastError() { return theReportFile.Errors().GetTail().GetString(); }

  ProfileFixture profile;
  CComPtr<IMAPISession> session;
};

TEST_F(RestoreDialogTest, GermanWindowAndCommandLineInEveryLanguage) {
  for (const char* lang : {"en_US.UTF-8", "de_DE.UTF-8"}) {
    SCOPED_TRACE(lang);
    ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), language("LANG", lang);
    ObservedRestoreDlg dlg("", "", "", nullptr);
    ui_test::Later([&] {
      HWND h = dlg.m_hWnd;
      EXPECT_EQ(AfxWidgetFromHandle(h)->windowTitle(), "TeskRestore 1.2");
      EXPECT_EQ(Text(h, IDC_SELECT_SOURCE), "Quelle ausw\xC3\xA4hlen...");
      EXPECT_EQ(Text(h, IDC_SELECT_TARGET), "Ziel ausw\xC3\xA4hlen...");
      EXPECT_EQ(Text(h, IDC_RUN), "Ausf\xC3\xBChren");
      EXPECT_EQ(Text(h, IDCANCEL), "Beenden");
      EXPECT_EQ(Text(h, IDC_STATUS), "");
      EXPECT_FALSE(Control(h, IDC_PROGRESS)->isVisible());
      // The session's profile name replaces the empty one of the start.
      const QString program = ProfileFolderPrefix(profile) + ProgramPath();
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"\"  \"\"");
      Pick(h, IDC_SELECT_SOURCE, "Archive", nullptr);
      OnPicker(h, IDC_SELECT_TARGET, [](HWND picker) {
        EXPECT_EQ(AfxWidgetFromHandle(picker)->windowTitle(), "Ziel ausw\xC3\xA4hlen...");
        Click(picker, IDCANCEL);
      });
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"Archive\"  \"\"");
      Type(h, IDC_MAILTO, "ops@example.org");
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " -mailto:ops@example.org \"Test\"  \"Archive\"  \"\"");
      Type(h, IDC_MAILTO, "");
      EXPECT_EQ(Text(h, IDC_CMDLINE), program + " \"Test\"  \"Archive\"  \"\"");
      Click(h, IDCANCEL);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  }
}

TEST_F(RestoreDialogTest, ARestoreShowsItsStatusRefusesClosingAndEndsWithOk) {
  PrepareBackup();
  const auto errorsBefore = theReportFile.Errors().GetCount();
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedRestoreDlg dlg("Test", "", "", nullptr);
  bool stillOpen = false;
  dlg.onFirstStatus = [&] {
    QWidget* window = AfxWidgetFromHandle(dlg.m_hWnd);
    EXPECT_TRUE(Control(dlg.m_hWnd, IDC_PROGRESS)->isVisible());
    for (int id : {IDC_RUN, IDC_SELECT_SOURCE, IDC_SELECT_TARGET, IDCANCEL, IDC_MAILTO})
      EXPECT_FALSE(Control(dlg.m_hWnd, id)->isEnabled()) << id;
    QTest::keyClick(window, Qt::Key_Escape);
    dlg.SendMessage(WM_CLOSE);
    stillOpen = dlg.IsRunning() && window->isVisible();
  };
  ui_test::Later([&] {
    Pick(dlg.m_hWnd, IDC_SELECT_SOURCE, "Archive", "Backup");
    Pick(dlg.m_hWnd, IDC_SELECT_TARGET, "Personal Folders", nullptr);
    EXPECT_EQ(Text(dlg.m_hWnd, IDC_CMDLINE), ProfileFolderPrefix(profile) + ProgramPath() + " \"Test\"  \"Archive\\Backup\"  \"Personal Folders\"");
    Click(dlg.m_hWnd, IDC_RUN);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(stillOpen);
  EXPECT_GT(dlg.positions, 0);
  EXPECT_EQ(theReportFile.Errors().GetCount(), errorsBefore);
  EXPECT_EQ(dlg.shown, (Texts{"Clearing: Top of Personal Folders", "Clearing: Inbox", "Clearing: Outbox",
                              "Clearing: Sent Items", "Clearing: Deleted Items", "Clearing: Drafts",
                              "Clearing: Calendar", "Clearing: Contacts", "Clearing: Journal", "Clearing: Notes",
                              "Clearing: Tasks", "Clearing: Old", "Restoring: Backup", "Restoring: Inbox",
                              "Restoring: Inbox\\2001", "Restoring: Projects"}));
  // The archived mail is in the mailbox's own Inbox, the older mail is gone.
  CComPtr<IMsgStore> mailbox = OpenStore(session, "Personal Folders");
  EXPECT_EQ(ContentsEntryIds(OpenFolder(mailbox, "Inbox")).size(), 12u);
  EXPECT_EQ(SubfolderNames(OpenFolder(mailbox, "Inbox")), Texts{"2001"});
  EXPECT_EQ(ContentsEntryIds(OpenFolder(mailbox, "Projects")).size(), 4u);
  const Texts top = SubfolderNames(OpenFolder(mailbox, ""));
  EXPECT_EQ(std::count(top.begin(), top.end(), "Inbox"), 1);
  EXPECT_EQ(std::count(top.begin(), top.end(), "Old"), 0);
  // Asked first, then told what was done.
  ASSERT_EQ(boxes.count(), 2);
  EXPECT_EQ(boxes.texts()[0], kQuestion);
  EXPECT_EQ(boxes.texts()[1].rfind("\xE2\x80\x9E" "Archive\\Backup\xE2\x80\x9C wurde nach \xE2\x80\x9E"
                                   "Personal Folders\xE2\x80\x9C wiederhergestellt: 19 Nachrichten in 3 Ordnern.",
                                   0),
            0u)
      << boxes.texts()[1];
}

// A restore wipes its target: the dialog asks first, naming the target and
// what goes, with No as the default; No leaves every store as it was.
TEST_F(RestoreDialogTest, TheQuestionNamesWhatGoesAndNoChangesNothing) {
  PrepareBackup();
  ui_test::ScopedMessageBoxes boxes(IDOK, IDNO);
  CComPtr<IMsgStore> mailbox = OpenStore(session, "Personal Folders");
  const auto inboxBefore = ContentsEntryIds(OpenFolder(mailbox, "Inbox"));
  const Texts topBefore = SubfolderNames(OpenFolder(mailbox, ""));
  ObservedRestoreDlg dlg("Test", "Archive\\Backup", "Personal Folders", nullptr);
  ui_test::Later([&] {
    Click(dlg.m_hWnd, IDC_RUN);
    ASSERT_EQ(boxes.count(), 1);
    EXPECT_EQ(boxes.last(), kQuestion);
    const UINT type = boxes.types().back();
    EXPECT_EQ(type & 0xF, static_cast<UINT>(MB_YESNO));
    EXPECT_EQ(type & MB_DEFMASK, static_cast<UINT>(MB_DEFBUTTON2));
    ExpectIdle(dlg);
    EXPECT_TRUE(dlg.shown.empty());
    Click(dlg.m_hWnd, IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(ContentsEntryIds(OpenFolder(mailbox, "Inbox")), inboxBefore);
  EXPECT_EQ(SubfolderNames(OpenFolder(mailbox, "")), topBefore);
}

// Failed runs leave the dialog open and usable; the errors they collected
// are mailed by the next, successful run once an address is typed in.
TEST_F(RestoreDialogTest, FailedRunsLeaveTheDialogOpenAndTheNextRunMailsTheirErrors) {
  PrepareBackup();
  SmtpServer server(profile.dir / "maildir");
  tesk::mapi::admin::SetTransport("Test", server.Url(), "tesk@example.org", "", "", false);
  server.Start();
  const auto errorsBefore = theReportFile.Errors().GetCount();
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedRestoreDlg dlg("Test", "Nowhere\\x", "Personal Folders\\Old", nullptr);
  ui_test::Later([&] {
    HWND h = dlg.m_hWnd;
    // The source's store does not exist: nothing has been shown yet.
    Click(h, IDC_RUN);
    ASSERT_EQ(boxes.count(), 1);
    EXPECT_NE(boxes.last().find("Message store Nowhere not found!"), std::string::npos) << boxes.last();
    ASSERT_EQ(theReportFile.Errors().GetCount(), errorsBefore + 1);
    EXPECT_NE(LastError().find(":ERROR: Message store Nowhere not found!"), std::string::npos) << LastError();
    ExpectIdle(dlg);
    EXPECT_EQ(Text(h, IDC_STATUS), "");
    // The target vanishes while it is being cleared: the run ends after its
    // first status text, which stays in the status line.
    dlg.onFirstStatus = [&] {
      CComPtr<IMAPIFolder> top = OpenFolder(OpenStore(session, "Personal Folders"), "");
      std::string id = EntryId(OpenFolder(OpenStore(session, "Personal Folders"), "Old"));
      EXPECT_EQ(top->DeleteFolder(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), 0, nullptr,
                                  DEL_FOLDERS | DEL_MESSAGES),
                S_OK);
    };
    Pick(h, IDC_SELECT_SOURCE, "Archive", "Backup");
    Click(h, IDC_RUN);
    EXPECT_EQ(dlg.shown, Texts{"Clearing: Old"});
    EXPECT_EQ(Text(h, IDC_STATUS), "Clearing: Old");
    ASSERT_EQ(boxes.count(), 3);  // the question, then the error
    const char* const lost = "Failed to obtain hierarchy table from target folder 'Old'";
    EXPECT_NE(boxes.last().find(lost), std::string::npos) << boxes.last();
    EXPECT_NE(LastError().find(lost), std::string::npos) << LastError();
    ExpectIdle(dlg);
    // Without an address nothing was mailed.
    EXPECT_TRUE(server.Mails().empty());
    dlg.onFirstStatus = nullptr;
    Pick(h, IDC_SELECT_TARGET, "Personal Folders", nullptr);
    Type(h, IDC_MAILTO, "ops@example.org");
    Click(h, IDC_RUN);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(boxes.count(), 5);  // and the last run's question and message
  EXPECT_EQ(ContentsEntryIds(OpenFolder(OpenStore(session, "Personal Folders"), "Inbox")).size(), 12u);
  const Texts mails = server.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].find("Subject: TeskRestore error report"), std::string::npos);
  EXPECT_NE(mails[0].find("X-RcptTo: ops@example.org"), std::string::npos);
  EXPECT_NE(mails[0].find(":ERROR: Message store Nowhere not found!"), std::string::npos) << mails[0];
}

TEST_F(RestoreDialogTest, AFailedLogonSaysSoAndCloses) {
  TempDir empty;
  ScopedEnv config("MAPI_CONFIG_DIR", empty.path());
  ui_test::ScopedMessageBoxes boxes(IDOK);
  ObservedRestoreDlg dlg("", "", "", nullptr);
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(boxes.count(), 1);
  EXPECT_EQ(boxes.last(), "Failed to logon to MAPI!\nError code 80040111");
}

}  // namespace

namespace {

unsigned long Number(const std::smatch& m, size_t i) { return std::stoul(m[i].str()); }

// With the mailbox as target, the question names everything the clearing
// removes, the subfolders of the kept Inbox included, with the very numbers
// the run's log then reports; counts of one read in the singular.
TEST_F(RestoreDialogTest, TheQuestionCountsWhatTheLogThenReports) {
  PrepareBackup();
  CComPtr<IMsgStore> mailbox = OpenStore(session, "Personal Folders");
  CComPtr<IMAPIFolder> inbox = OpenFolder(mailbox, "Inbox");
  for (int i = 0; i < 3; ++i) AddMessages(CreateFolder(inbox, "Year " + std::to_string(2020 + i)), 2);
  AddMessages(CreateFolder(CreateFolder(inbox, "Clients"), "Big Client"), 1);
  AddMessages(OpenFolder(mailbox, "Sent Items"), 1);
  ScopedLog log;
  ASSERT_FALSE(log.path().empty());
  ui_test::ScopedMessageBoxes boxes(IDOK, IDYES);
  ObservedRestoreDlg dlg("Test", "Archive\\Backup\\Inbox", "Personal Folders", nullptr);
  ui_test::Later([&] { Click(dlg.m_hWnd, IDC_RUN); });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  ASSERT_EQ(boxes.count(), 2);
  const std::string& question = boxes.texts()[0];

  // What the log says went, per kind.
  unsigned long keptFolders = 0, keptMessages = 0, kept = 0, otherFolders = 0, otherMessages = 0;
  const std::regex emptied("Emptied standard folder '.*' and kept it: (\\d+) messages and (\\d+) subfolders deleted\\.");
  const std::regex deleted("Deleted folder '.*' with (\\d+) subfolders and (\\d+) messages\\.");
  const std::regex own("Deleted (\\d+) messages of '.*'\\.");
  std::smatch m;
  for (const std::string& line : log.Lines()) {
    if (std::regex_search(line, m, emptied)) {
      keptMessages += Number(m, 1);
      keptFolders += Number(m, 2);
      ++kept;
    } else if (std::regex_search(line, m, deleted)) {
      otherFolders += 1 + Number(m, 1);
      otherMessages += Number(m, 2);
    } else if (std::regex_search(line, m, own)) {
      otherMessages += Number(m, 1);
    }
  }
  EXPECT_EQ(kept, 10u);
  EXPECT_EQ(keptFolders, 5u);  // the Inbox's four and the one below "Clients"
  EXPECT_EQ(keptMessages, 5u + 6u + 1u + 1u);
  EXPECT_EQ(otherFolders, 1u);
  EXPECT_EQ(otherMessages, 2u);

  // The same numbers in the question.
  ASSERT_TRUE(std::regex_search(question, m, std::regex("Gel\xC3\xB6scht werden (\\d+) Ordner und (\\d+) Nachrichten?:")))
      << question;
  EXPECT_EQ(Number(m, 1), keptFolders + otherFolders) << question;
  EXPECT_EQ(Number(m, 2), keptMessages + otherMessages) << question;
  ASSERT_TRUE(std::regex_search(question, m,
                                std::regex("\xE2\x80\xA2 (\\d+) Ordner und (\\d+) Nachrichten? au\xC3\x9F" "erhalb")))
      << question;
  EXPECT_EQ(Number(m, 1), otherFolders);
  EXPECT_EQ(Number(m, 2), otherMessages);
  ASSERT_TRUE(std::regex_search(question, m,
                                std::regex("\xE2\x80\xA2 (\\d+) Ordner und (\\d+) Nachrichten? in den (\\d+) Standardordnern")))
      << question;
  EXPECT_EQ(Number(m, 1), keptFolders);
  EXPECT_EQ(Number(m, 2), keptMessages);
  EXPECT_EQ(Number(m, 3), kept);
  EXPECT_NE(question.find("Hineinkopiert: 1 Ordner mit 15 Nachrichten."), std::string::npos) << question;
  // One folder restored: the singular.
  EXPECT_EQ(boxes.texts()[1].rfind("\xE2\x80\x9E" "Archive\\Backup\\Inbox\xE2\x80\x9C wurde nach \xE2\x80\x9E"
                                   "Personal Folders\xE2\x80\x9C wiederhergestellt: 15 Nachrichten in 1 Ordner.",
                                   0),
            0u)
      << boxes.texts()[1];
}

}  // namespace
