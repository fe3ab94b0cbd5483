// The restore program's whole-folder operations (CTeskRestoreFolder):
// deleting all messages in bounded batches, copying all messages, copying
// all subfolders.
#include <TeskRestoreFolder.h>
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <set>

#include "restore_inprocess.h"

using namespace testing_support;
using namespace restore_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class RestoreFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    session = f.Logon();
    mailbox = OpenStore(session, "Personal Folders");
    archive = OpenStore(session, "Archive");
    top = OpenFolder(mailbox, "");
  }

  // Fills folder with n small messages quickly: a few are created, the rest
  // are copies of those.
  void Fill(IMAPIFolder* folder, size_t n) { FillWithCopies(OpenSeed(50), folder, n); }

  // A folder of n created messages in the archive store, made once.
  CComPtr<IMAPIFolder> OpenSeed(size_t n) {
    if (!seed_) {
      seed_ = CreateFolder(OpenFolder(archive, ""), "Seed");
      AddMessages(seed_, static_cast<int>(n));
    }
    return seed_;
  }

  ProfileFixture f;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> mailbox, archive;
  CComPtr<IMAPIFolder> top;

 private:
  CComPtr<IMAPIFolder> seed_;
};

size_t TotalEntries(const RecordingFolder& folder) {
  size_t total = 0;
  for (const auto& call : folder.deleteCalls) total += call.size();
  return total;
}

std::vector<size_t> CallSizes(const RecordingFolder& folder) {
  std::vector<size_t> sizes;
  for (const auto& call : folder.deleteCalls) sizes.push_back(call.size());
  return sizes;
}

}  // namespace

TEST_F(RestoreFolder, DeletesManyMessagesInBatchesOfAtMostAThousand) {
  auto big = CreateFolder(top, "Big");
  Fill(big, 2500);
  AddMessages(big, 3, /*associated=*/true);
  const auto before = ContentsEntryIds(big);
  ASSERT_EQ(before.size(), 2500u);

  RecordingFolder recording(big);
  CountingProgress progress;
  CTeskRestoreFolder folder(&recording);
  folder.DeleteAllMessages(&progress, nullptr);

  EXPECT_THAT(CallSizes(recording), ElementsAre(1000u, 1000u, 500u));
  // Every message was listed exactly once, and the progress object went along.
  std::set<std::string> listed;
  for (const auto& call : recording.deleteCalls) listed.insert(call.begin(), call.end());
  EXPECT_EQ(listed, std::set<std::string>(before.begin(), before.end()));
  EXPECT_EQ(TotalEntries(recording), 2500u);
  for (IMAPIProgress* p : recording.deleteProgress) EXPECT_EQ(p, &progress);

  EXPECT_TRUE(ContentsEntryIds(big).empty());
  EXPECT_EQ(LongProp(big, PR_CONTENT_COUNT), 0);
  // Associated messages are not the restore's business.
  EXPECT_EQ(ContentsEntryIds(big, true).size(), 3u);
}

TEST_F(RestoreFolder, BatchBoundaries) {
  auto folder = CreateFolder(top, "Edge");
  struct Case {
    size_t messages;
    std::vector<size_t> calls;
  };
  for (const Case& c : {Case{0, {}}, Case{1, {1}}, Case{1000, {1000}}, Case{1001, {1000, 1}}}) {
    SCOPED_TRACE(c.messages);
    Fill(folder, c.messages);
    ASSERT_EQ(ContentsEntryIds(folder).size(), c.messages);
    RecordingFolder recording(folder);
    CTeskRestoreFolder(&recording).DeleteAllMessages(nullptr, nullptr);
    EXPECT_EQ(CallSizes(recording), c.calls);
    EXPECT_TRUE(ContentsEntryIds(folder).empty());
  }
}

TEST_F(RestoreFolder, FailedDeletionIsThrownWithTheFolderName) {
  auto folder = CreateFolder(top, "Locked");
  Fill(folder, 1200);
  RecordingFolder recording(folder);
  recording.deleteResult = MAPI_E_NO_ACCESS;
  CException* caught = nullptr;
  try {
    CTeskRestoreFolder(&recording).DeleteAllMessages(nullptr, nullptr);
  } catch (CException* e) {
    caught = e;
  }
  ASSERT_NE(caught, nullptr);
  auto* mapi = dynamic_cast<CMAPIException*>(caught);
  ASSERT_NE(mapi, nullptr);
  EXPECT_EQ(mapi->m_hr, MAPI_E_NO_ACCESS);
  char text[1024] = {};
  caught->GetErrorMessage(text, sizeof text, nullptr);
  EXPECT_THAT(std::string(text), HasSubstr("Failed to delete messages from folder 'Locked'"));
  caught->Delete();
  // The first failure ends the deletion.
  EXPECT_EQ(recording.deleteCalls.size(), 1u);
  EXPECT_EQ(ContentsEntryIds(folder).size(), 1200u);
}

TEST_F(RestoreFolder, CopiesAllNormalMessagesAndAddsThemToTheDestination) {
  Generate("Archive\\Saved", 25, 11, /*attachments=*/true);
  Generate("Personal Folders\\Inbox", 4, 12);
  const auto normal = Tree("Archive\\Saved")["digests"];
  auto saved = OpenFolder(archive, "Saved");
  AddMessages(saved, 2, /*associated=*/true);
  const auto source = Tree("Archive\\Saved");
  const auto destinationBefore = Tree("Personal Folders\\Inbox");

  CountingProgress progress;
  CTeskRestoreFolder folder(saved);
  folder.CopyAllMessagesTo(OpenFolder(mailbox, "Inbox"), &progress, nullptr);

  const auto after = Tree("Personal Folders\\Inbox");
  std::vector<std::string> expected = destinationBefore["digests"];
  for (const auto& d : normal) expected.push_back(d);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(after["digests"], expected);
  EXPECT_EQ(after["messages"], 29);
  EXPECT_EQ(after["associated"], 0);  // associated messages stay behind
  EXPECT_EQ(Tree("Archive\\Saved"), source);
  EXPECT_EQ(folder.m_strDestName, CString("Inbox"));

  // An empty folder copies nothing and fails nothing.
  auto empty = CreateFolder(OpenFolder(archive, ""), "Empty");
  EXPECT_NO_THROW(CTeskRestoreFolder(empty).CopyAllMessagesTo(OpenFolder(mailbox, "Inbox"), &progress, nullptr));
  EXPECT_EQ(Tree("Personal Folders\\Inbox"), after);
}

TEST_F(RestoreFolder, CopiesEverySubfolderWithItsSubtree) {
  Generate("Archive\\Inbox\\2001", 5, 1);
  Generate("Archive\\Inbox\\2001\\Q1", 3, 2, /*attachments=*/true);
  Mapiadmin("folder create Test " + Quote("Archive\\Inbox\\2002"));
  Generate("Archive\\Inbox", 2, 3);
  Generate("Personal Folders\\Inbox\\Keep", 1, 4);
  const auto source = Tree("Archive\\Inbox");
  const auto keep = Tree("Personal Folders\\Inbox\\Keep");

  StatusRecorder status;
  CTeskRestoreFolder(OpenFolder(archive, "Inbox")).CopySubfoldersTo(OpenFolder(mailbox, "Inbox"), nullptr, &status);

  const auto after = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(ChildNames(after), (std::vector<std::string>{"2001", "2002", "Keep"}));
  EXPECT_EQ(Child(after, "2001"), Child(source, "2001"));
  EXPECT_EQ(Child(after, "2002"), Child(source, "2002"));
  EXPECT_EQ(Child(after, "Keep"), keep);
  // Only the subfolders: the folder's own messages are not copied.
  EXPECT_EQ(after["messages"], 0);
  EXPECT_EQ(Tree("Archive\\Inbox"), source);
  EXPECT_THAT(status.texts, ElementsAre("Restoring: Inbox\\2001", "Restoring: Inbox\\2002"));
}

TEST_F(RestoreFolder, SubfolderCopyGoesOnAfterAFailedFolder) {
  Generate("Archive\\Inbox\\Alpha", 2, 1);
  Generate("Archive\\Inbox\\Beta", 2, 2);
  Generate("Archive\\Inbox\\Gamma", 2, 3);
  Generate("Personal Folders\\Inbox\\BETA", 1, 4);
  const auto source = Tree("Archive\\Inbox");
  const auto existing = Tree("Personal Folders\\Inbox\\BETA");

  TempDir logDir;
  LogCapture log(logDir / "restore.log");
  CTeskRestoreFolder(OpenFolder(archive, "Inbox")).CopySubfoldersTo(OpenFolder(mailbox, "Inbox"), nullptr, nullptr);

  const auto after = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(Child(after, "Alpha"), Child(source, "Alpha"));
  EXPECT_EQ(Child(after, "Gamma"), Child(source, "Gamma"));
  EXPECT_EQ(Child(after, "BETA"), existing);
  EXPECT_EQ(log.NewErrors(), 1);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex("ERROR: MAPI error 80040604, MAPI_E_COLLISION Failed to copy folder "
                                                "'Beta', module: TeskRestoreFolder, line: [0-9]+"));
}
