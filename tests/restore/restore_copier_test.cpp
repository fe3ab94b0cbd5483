// The restore copier (CFoldersCopier) run in this process: the status texts
// it sends while it clears and restores, what it throws, and how it logs a
// failed folder and goes on.
#include <FoldersCopier.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mapi/admin.h>

#include "restore_inprocess.h"

using namespace testing_support;
using namespace restore_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class RestoreCopier : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddStore("Backup", "archive");
    session = f.Logon();
  }
  ProfileFixture f;
  CComPtr<IMAPISession> session;
  TempDir logDir;
};

}  // namespace

TEST_F(RestoreCopier, StatusTextsNameEveryClearedAndRestoredFolder) {
  Generate("Personal Folders\\MyFolder", 2, 1);
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  Generate("Backup\\Snapshot\\Inbox", 3, 3);
  Generate("Backup\\Snapshot\\Inbox\\2001", 2, 4);
  Generate("Backup\\Snapshot\\Calendar", 2, 5);
  Generate("Backup\\Snapshot\\MyFolder", 1, 6);

  LogCapture log(logDir / "restore.log");
  StatusRecorder status;
  {
    CFoldersCopier copier(session, "Backup\\Snapshot", "Personal Folders", nullptr, &status);
    copier.Run();
  }
  EXPECT_THAT(status.texts,
              ElementsAre("Clearing: Top of Personal Folders", "Clearing: Inbox", "Clearing: Outbox",
                          "Clearing: Sent Items", "Clearing: Deleted Items", "Clearing: Drafts", "Clearing: Calendar",
                          "Clearing: Contacts", "Clearing: Journal", "Clearing: Notes", "Clearing: Tasks",
                          "Clearing: MyFolder", "Restoring: Snapshot", "Restoring: Inbox", "Restoring: Inbox\\2001",
                          "Restoring: Calendar", "Restoring: MyFolder"));
  // What the clearing removed, then the closing line.
  EXPECT_THAT(log.Lines(),
              ElementsAre("Source path found Backup\\Snapshot", "Target path found Personal Folders",
                          "Deleted 0 messages of 'Top of Personal Folders'.",
                          "Emptied standard folder 'Inbox' and kept it: 2 messages and 1 subfolders deleted.",
                          "Emptied standard folder 'Outbox' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Sent Items' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Deleted Items' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Drafts' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Calendar' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Contacts' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Journal' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Notes' and kept it: 0 messages and 0 subfolders deleted.",
                          "Emptied standard folder 'Tasks' and kept it: 0 messages and 0 subfolders deleted.",
                          "Deleted folder 'MyFolder' with 0 subfolders and 2 messages.",
                          "Restore of Backup\\Snapshot into Personal Folders ended: 4 folders and 8 messages restored."));
  EXPECT_EQ(log.NewErrors(), 0);

  const auto source = Tree("Backup\\Snapshot");
  const auto target = Tree("Personal Folders");
  EXPECT_EQ(Child(target, "Inbox"), Child(source, "Inbox"));
  EXPECT_EQ(Child(target, "MyFolder"), Child(source, "MyFolder"));
}

TEST_F(RestoreCopier, RunsWithoutProgressOrStatusReceiver) {
  Generate("Backup\\Snapshot\\Inbox\\2001", 2, 4);
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  LogCapture log(logDir / "restore.log");
  CFoldersCopier(session, "Backup\\Snapshot", "Personal Folders", nullptr, nullptr).Run();
  EXPECT_EQ(log.NewErrors(), 0);
  EXPECT_EQ(Child(Tree("Personal Folders"), "Inbox"), Child(Tree("Backup\\Snapshot"), "Inbox"));
}

TEST_F(RestoreCopier, FailuresThatEndTheRunAreThrown) {
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  const auto before = Tree("Personal Folders");
  StatusRecorder status;
  struct Case {
    const char* source;
    const char* target;
    const char* text;
  };
  for (const Case& c : {Case{"Backup\\Missing", "Personal Folders", "Subfolder Missing not found!"},
                        Case{"Nowhere", "Personal Folders", "Message store Nowhere not found!"},
                        Case{"Backup", "Personal Folders\\Missing", "Subfolder Missing not found!"},
                        Case{"Personal Folders\\Inbox", "Personal Folders\\Inbox\\Old",
                             "Source and target folders overlap; nothing was changed."}}) {
    SCOPED_TRACE(std::string(c.source) + " -> " + c.target);
    std::string text;
    try {
      CFoldersCopier(session, c.source, c.target, nullptr, &status).Run();
    } catch (CException* e) {
      char buffer[1024] = {};
      e->GetErrorMessage(buffer, sizeof buffer, nullptr);
      text = buffer;
      e->Delete();
    }
    EXPECT_THAT(text, ::testing::EndsWith(c.text));
  }
  EXPECT_THAT(status.texts, IsEmpty());
  EXPECT_EQ(Tree("Personal Folders"), before);
}

TEST_F(RestoreCopier, FolderFailuresAreLoggedAndTheRunGoesOn) {
  // A progress object that cancels every operation reporting to it makes
  // every emptying and copying fail; deleting a folder does not report.
  Generate("Personal Folders", 2, 1);
  Generate("Personal Folders\\Inbox", 2, 2);
  Generate("Personal Folders\\MyFolder", 2, 3);
  Generate("Backup\\Snapshot\\Inbox", 2, 4);
  Generate("Backup\\Snapshot\\Extra", 2, 5);

  LogCapture log(logDir / "restore.log");
  CountingProgress progress;
  progress.cancel = true;
  StatusRecorder status;
  CFoldersCopier(session, "Backup\\Snapshot", "Personal Folders", &progress, &status).Run();

  const auto lines = log.Lines();
  auto logged = [&](const std::string& text, const std::string& error = "80040113, MAPI_E_USER_CANCEL") {
    const std::regex re("ERROR: MAPI error " + error + " " + text +
                        ", module: (FoldersCopier|TeskRestoreFolder), line: [0-9]+");
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, re); });
  };
  EXPECT_TRUE(logged("Failed to delete messages from folder 'Top of Personal Folders'"));
  for (const char* name : {"Inbox", "Outbox", "Calendar", "Tasks"})
    EXPECT_TRUE(logged(std::string("Failed to empty standard Outlook folder '") + name + "'")) << name;
  // A standard folder that could not be emptied is not merged into: the
  // archived one collides with it.
  EXPECT_TRUE(logged("Failed to copy folder 'Inbox'", "80040604, MAPI_E_COLLISION"));
  EXPECT_TRUE(logged("Failed to copy folder 'Extra'"));
  EXPECT_EQ(log.NewErrors(), static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
              return l.rfind("ERROR: ", 0) == 0;
            })));
  // Everything was attempted.
  EXPECT_THAT(status.texts, ::testing::Contains("Clearing: MyFolder"));
  EXPECT_THAT(status.texts, ::testing::Contains("Restoring: Extra"));
  EXPECT_EQ(Child(Tree("Personal Folders"), "MyFolder"), nullptr);
}

// The dialog's question comes from Preview: associated messages that the
// target cannot keep end the run there, before the user is asked to clear.
TEST_F(RestoreCopier, PreviewRefusesAssociatedMessagesTheTargetCannotKeep) {
  tesk::mapi::admin::AddMaildirStore("Test", f.dir / "work.maildir", "Work Mail", "mailbox", "maildir++", true, false);
  Generate("Backup\\Snapshot\\Projects", 2, 1);
  AddMessages(OpenFolder(OpenStore(session, "Backup"), "Snapshot\\Projects"), 1, /*associated=*/true);
  CComPtr<IMAPISession> again = f.Logon();
  std::string text;
  try {
    CFoldersCopier(again, "Backup\\Snapshot", "Work Mail", nullptr, nullptr).Preview();
  } catch (CException* e) {
    char buffer[1024] = {};
    e->GetErrorMessage(buffer, sizeof buffer, nullptr);
    text = buffer;
    e->Delete();
  }
  EXPECT_THAT(text, ::testing::EndsWith("Folders to be restored hold associated (hidden) messages, which Work Mail "
                                        "cannot keep: 'Projects' (1); nothing was changed."));
}
