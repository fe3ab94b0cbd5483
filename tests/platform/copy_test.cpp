// Whole-folder operations: copy, move, empty, delete, progress, and what
// a killed copy or a second process leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "core/copy.h"
#include "fixture.h"
#include "test_progress.h"

using namespace testing_support;

namespace {

// The JSON tree of a folder path without the top folder's own name.
nlohmann::json Tree(const std::string& path) {
  auto j = nlohmann::json::parse(Mapiadmin("tree Test " + Quote(path) + " --json"));
  j.erase("name");
  return j;
}

HRESULT Copy(IMAPIFolder* parent, IMAPIFolder* source, IMAPIFolder* dest, const char* name, ULONG flags,
             IMAPIProgress* progress = nullptr) {
  std::string eid = EntryId(source);
  std::string n = name ? name : "";
  return parent->CopyFolder(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, dest,
                            name ? n.data() : nullptr, 0, progress, flags);
}

class CopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = f.Logon();
    mailbox = OpenStore(session, "Personal Folders");
    archive = OpenStore(session, "Archive");
    Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Projects") + " --messages 120 --attachments --seed 7");
    Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Projects\\2026") + " --messages 30 --seed 8");
    Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Projects\\Empty") + " --class IPF.Note");
    inbox = OpenFolder(mailbox, "Inbox");
    projects = OpenFolder(mailbox, "Inbox\\Projects");
    AddMessages(projects, 3, /*associated=*/true);
  }
  ProfileFixture f;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> mailbox, archive;
  CComPtr<IMAPIFolder> inbox, projects;
};

}  // namespace

TEST_F(CopyTest, CopyBetweenStoresIsFaithful) {
  const auto before = Tree("Personal Folders\\Inbox\\Projects");
  auto top = OpenFolder(archive, "");
  CountingProgress progress;
  ASSERT_EQ(Copy(inbox, projects, top, "Saved", COPY_SUBFOLDERS | FOLDER_DIALOG, &progress), S_OK);
  EXPECT_EQ(Tree("Archive\\Saved"), before);
  EXPECT_EQ(before["associated"], 3);
  EXPECT_EQ(before["folders"].size(), 2u);

  // Progress: limits once, values rising to the maximum.
  EXPECT_EQ(progress.limits, 1);
  ASSERT_FALSE(progress.values.empty());
  EXPECT_TRUE(std::is_sorted(progress.values.begin(), progress.values.end()));
  EXPECT_EQ(progress.values.back(), 1000u);

  // The generic path gives the same result as the provider's own.
  tesk::mapi::SetFastPathEnabled(false);
  ASSERT_EQ(Copy(inbox, projects, top, "Generic", COPY_SUBFOLDERS), S_OK);
  tesk::mapi::SetFastPathEnabled(true);
  EXPECT_EQ(Tree("Archive\\Generic"), before);

  // The copies have entry identifiers of their own.
  auto saved = OpenFolder(archive, "Saved");
  EXPECT_NE(EntryId(saved), EntryId(projects));
  EXPECT_EQ(EntryId(saved, PR_STORE_ENTRYID), EntryId(archive));
  // The source is untouched.
  EXPECT_EQ(Tree("Personal Folders\\Inbox\\Projects"), before);
}

TEST_F(CopyTest, CopyWithinOneStoreAndWithoutSubfolders) {
  const auto before = Tree("Personal Folders\\Inbox\\Projects");
  auto top = OpenFolder(mailbox, "");
  ASSERT_EQ(Copy(inbox, projects, top, "Twin", COPY_SUBFOLDERS), S_OK);
  EXPECT_EQ(Tree("Personal Folders\\Twin"), before);

  ASSERT_EQ(Copy(inbox, projects, top, "Flat", 0), S_OK);
  auto flat = Tree("Personal Folders\\Flat");
  EXPECT_EQ(flat["digests"], before["digests"]);
  EXPECT_TRUE(flat["folders"].empty());
}

TEST_F(CopyTest, CollisionAndCycleLeaveNothingBehind) {
  auto top = OpenFolder(archive, "");
  ASSERT_EQ(Copy(inbox, projects, top, "Saved", COPY_SUBFOLDERS), S_OK);
  const auto archiveBefore = Tree("Archive");
  // Names compare without regard to ASCII letter case.
  EXPECT_EQ(Copy(inbox, projects, top, "SAVED", COPY_SUBFOLDERS), MAPI_E_COLLISION);
  EXPECT_EQ(Tree("Archive"), archiveBefore);
  // A name differing in a non-ASCII letter is another name.
  ASSERT_EQ(Copy(inbox, projects, OpenFolder(archive, "Saved"), "Über", 0), S_OK);
  EXPECT_EQ(Copy(inbox, projects, OpenFolder(archive, "Saved"), "über", 0), S_OK);

  // Into itself or below itself.
  const auto mailboxBefore = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(Copy(inbox, projects, projects, "Loop", COPY_SUBFOLDERS), MAPI_E_FOLDER_CYCLE);
  EXPECT_EQ(Copy(inbox, projects, OpenFolder(mailbox, "Inbox\\Projects\\2026"), "Loop", COPY_SUBFOLDERS),
            MAPI_E_FOLDER_CYCLE);
  EXPECT_EQ(Tree("Personal Folders\\Inbox"), mailboxBefore);
}

TEST_F(CopyTest, MoveWithinAndBetweenStores) {
  const auto before = Tree("Personal Folders\\Inbox\\Projects");
  const std::string id = EntryId(projects);
  ASSERT_EQ(Copy(inbox, projects, OpenFolder(mailbox, "Drafts"), "Moved", FOLDER_MOVE), S_OK);
  auto moved = OpenFolder(mailbox, "Drafts\\Moved");
  EXPECT_EQ(EntryId(moved), id);  // a move within a store keeps the identity
  EXPECT_EQ(Tree("Personal Folders\\Drafts\\Moved"), before);

  auto drafts = OpenFolder(mailbox, "Drafts");
  ASSERT_EQ(Copy(drafts, moved, OpenFolder(archive, ""), nullptr, FOLDER_MOVE), S_OK);
  EXPECT_EQ(Tree("Archive\\Moved"), before);
  EXPECT_TRUE(SubfolderNames(drafts).empty());
}

TEST_F(CopyTest, EmptyFolderKeepsAssociatedContentsUnlessAsked) {
  CountingProgress progress;
  ASSERT_EQ(projects->EmptyFolder(0, &progress, FOLDER_DIALOG), S_OK);
  EXPECT_TRUE(ContentsEntryIds(projects).empty());
  EXPECT_EQ(ContentsEntryIds(projects, true).size(), 3u);
  EXPECT_TRUE(SubfolderNames(projects).empty());
  EXPECT_FALSE(progress.values.empty());
  ASSERT_EQ(projects->EmptyFolder(0, nullptr, DEL_ASSOCIATED), S_OK);
  EXPECT_TRUE(ContentsEntryIds(projects, true).empty());
  EXPECT_EQ(LongProp(projects, PR_ASSOC_CONTENT_COUNT), 0);
}

TEST_F(CopyTest, DeleteFolderNeedsItsFlags) {
  const std::string eid = EntryId(projects);
  std::string e = eid;
  auto del = [&](ULONG flags) {
    return inbox->DeleteFolder(static_cast<ULONG>(e.size()), reinterpret_cast<LPENTRYID>(e.data()), 0, nullptr, flags);
  };
  EXPECT_EQ(del(0), MAPI_E_HAS_FOLDERS);
  EXPECT_EQ(del(DEL_FOLDERS), MAPI_E_HAS_MESSAGES);
  EXPECT_EQ(SubfolderNames(inbox), std::vector<std::string>{"Projects"});
  EXPECT_EQ(del(DEL_FOLDERS | DEL_MESSAGES), S_OK);
  EXPECT_TRUE(SubfolderNames(inbox).empty());
  // The folder's objects report themselves deleted.
  CComPtr<IMAPITable> table;
  EXPECT_EQ(projects->GetContentsTable(0, &table), MAPI_E_OBJECT_DELETED);
}

TEST_F(CopyTest, DeleteAndCopyMessageLists) {
  auto ids = ContentsEntryIds(projects);
  ASSERT_EQ(ids.size(), 120u);
  std::vector<SBinary> bins;
  for (auto& id : ids) bins.push_back({static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(id.data())});
  ENTRYLIST list{static_cast<ULONG>(bins.size()), bins.data()};
  auto target = OpenFolder(archive, "Deleted Items");
  ASSERT_EQ(projects->CopyMessages(&list, nullptr, target, 0, nullptr, 0), S_OK);
  EXPECT_EQ(ContentsEntryIds(target).size(), 120u);
  // Only the normal messages were listed; every copy is one of them.
  const auto copied = Tree("Archive\\Deleted Items")["digests"].get<std::vector<std::string>>();
  const auto source = Tree("Personal Folders\\Inbox\\Projects")["digests"].get<std::vector<std::string>>();
  EXPECT_EQ(copied.size(), 120u);
  EXPECT_TRUE(std::includes(source.begin(), source.end(), copied.begin(), copied.end()));

  list.cValues = 100;
  ASSERT_EQ(projects->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  EXPECT_EQ(ContentsEntryIds(projects).size(), 20u);
  // Messages that are not (or no longer) in the folder are reported.
  EXPECT_EQ(projects->DeleteMessages(&list, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
}

TEST_F(CopyTest, ProgressCallsStayFewOnLargeCopies) {
  Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Big") + " --messages 3000 --seed 3");
  auto big = OpenFolder(mailbox, "Inbox\\Big");
  CountingProgress progress;
  ASSERT_EQ(Copy(inbox, big, OpenFolder(archive, ""), "Big", COPY_SUBFOLDERS | FOLDER_DIALOG, &progress), S_OK);
  EXPECT_LE(progress.values.size(), 1001u);
  EXPECT_GE(progress.values.size(), 2u);
  EXPECT_EQ(progress.values.back(), 1000u);
  // Without FOLDER_DIALOG the progress object is not called.
  CountingProgress quiet;
  ASSERT_EQ(Copy(inbox, big, OpenFolder(archive, ""), "Quiet", COPY_SUBFOLDERS, &quiet), S_OK);
  EXPECT_TRUE(quiet.values.empty());
}

TEST_F(CopyTest, KilledCopyLeavesTheTargetWholeOrUntouched) {
  Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Big") + " --messages 4000 --seed 5");
  const auto before = Tree("Archive");
  for (bool generic : {false, true}) {
    // Run the copy in a second process and kill it after its first report.
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipefd[1], 1);
      ::close(pipefd[0]);
      if (generic) ::setenv("TESK_STORE_TOOL_GENERIC", "1", 1);
      ::execl(STORE_TOOL_PATH, "store_tool", "copy", "Personal Folders", "Inbox\\Big", "Archive", "", "Killed",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipefd[1]);
    char buf[64];
    ASSERT_GT(::read(pipefd[0], buf, sizeof buf), 0) << "the copy never reported progress";
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(pipefd[0]);
    EXPECT_TRUE(WIFSIGNALED(status));

    std::string out;
    ASSERT_EQ(RunCommand("sqlite3 " + Quote(f.archiveFile) + " 'PRAGMA integrity_check;'", &out), 0);
    EXPECT_EQ(out, "ok\n");
    auto after = Tree("Archive");
    if (after == before) continue;  // nothing of the copy arrived
    // Otherwise the whole folder arrived.
    ADD_FAILURE() << "the killed copy " << (generic ? "(generic) " : "") << "left a part of itself";
  }
  // A complete copy still works afterwards.
  ASSERT_EQ(RunCommand(std::string(STORE_TOOL_PATH) + " copy 'Personal Folders' 'Inbox\\Big' Archive '' Done >/dev/null"), 0);
  EXPECT_EQ(Tree("Archive\\Done")["digests"], Tree("Personal Folders\\Inbox\\Big")["digests"]);
}

TEST_F(CopyTest, TwoProcessesShareOneStore) {
  // Two writers at once: one waits for the other, both complete.
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Shared"));
  const std::string gen = std::string(MAPIADMIN_PATH) + " generate Test " + Quote("Personal Folders\\Inbox\\Shared");
  ASSERT_EQ(RunCommand("(" + gen + " --messages 400 --seed 1 & " + gen + " --messages 400 --seed 2 & wait) 2>/dev/null"), 0);
  EXPECT_EQ(ContentsEntryIds(OpenFolder(mailbox, "Inbox\\Shared")).size(), 800u);
  std::string out;
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(f.mailboxFile) + " 'PRAGMA integrity_check;'", &out), 0);
  EXPECT_EQ(out, "ok\n");
}
