// Whole runs of TeskRestore against temporary profiles: what a restore
// leaves in the target, which folders it keeps, what it refuses, what it
// logs and its exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mapi/admin.h>

#include <algorithm>
#include <filesystem>

#include "restore_test_util.h"

using namespace testing_support;
using namespace restore_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char kLoggedOn[] = "Successfully logged on to MAPI.";
const char kNoInbox[] =
    "(WARNING: )?Failed to obtain Inbox folder from destination message store\\. Special copying routines for "
    "standard Outlook folders will be disabled\\. Description: MAPI error 8004010f, MAPI_E_NOT_FOUND "
    "GetReceiveFolder failed\\.";

const std::vector<std::string> kMailboxFolders{"Calendar", "Contacts", "Deleted Items", "Drafts", "Inbox",
                                               "Journal",  "Notes",    "Outbox",        "Sent Items", "Tasks"};

// The same messages and the same subtree; class and associated contents
// aside.
void ExpectSameContents(const nlohmann::json& actual, const nlohmann::json& expected, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_TRUE(actual.is_object()) << "missing";
  EXPECT_EQ(actual["messages"], expected["messages"]);
  EXPECT_EQ(actual["digests"], expected["digests"]);
  EXPECT_EQ(actual["folders"], expected["folders"]);
}

// The digests of a that are not in b.
std::vector<std::string> Minus(const nlohmann::json& a, const nlohmann::json& b) {
  std::vector<std::string> out;
  for (const auto& d : a)
    if (std::find(b.begin(), b.end(), d) == b.end()) out.push_back(d);
  return out;
}

void ExpectEmptied(const nlohmann::json& folder, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_TRUE(folder.is_object()) << "missing";
  EXPECT_EQ(folder["messages"], 0);
  EXPECT_EQ(folder["associated"], 0);
  EXPECT_THAT(folder["folders"], IsEmpty());
}

class RestoreRun : public ::testing::Test {
 protected:
  RestoreRun() { f.AddStore("Backup", "archive"); }

  ProgramRun Restore(const std::string& args, const std::string& environment = "") {
    return RunProgram(TESKRESTORE_PATH, f.dir / "bin", args, environment);
  }
  ProgramRun Restore(const std::string& profile, const std::string& source, const std::string& target) {
    return Restore(Quote(profile) + " " + Quote(source) + " " + Quote(target));
  }

  // Every store of the profile, for "nothing changed" checks.
  nlohmann::json AllStores() {
    return {Tree("Personal Folders"), Tree("Archive"), Tree("Backup")};
  }

  // Entry identifiers of folders below a store's top, read afresh.
  std::map<std::string, std::string> FolderIds(const std::string& store, const std::vector<std::string>& names) {
    auto session = f.Logon();
    auto s = OpenStore(session, store);
    std::map<std::string, std::string> ids;
    for (const auto& name : names) ids[name] = EntryId(OpenFolder(s, name));
    return ids;
  }

  // A clean run logs on, finds both paths, says what the clearing removed
  // and ends with its closing line, nothing else.
  static void ExpectCleanRun(const ProgramRun& run, const std::string& source, const std::string& target) {
    EXPECT_EQ(run.rc, 0) << Describe(run);
    ASSERT_GE(run.lines.size(), 4u) << Describe(run);
    EXPECT_THAT(std::vector<std::string>(run.lines.begin(), run.lines.begin() + 3),
                ElementsAre(kLoggedOn, "Source path found " + source, "Target path found " + target))
        << Describe(run);
    for (std::size_t k = 3; k + 1 < run.lines.size(); ++k)
      EXPECT_THAT(run.lines[k], ::testing::ContainsRegex("^(Deleted [0-9]+ messages of '|Emptied standard folder '|"
                                                         "Deleted folder ')"))
          << Describe(run);
    EXPECT_THAT(run.lines.back(), ::testing::StartsWith("Restore of " + source + " into " + target + " ended: "))
        << Describe(run);
  }

  ProfileFixture f;
};

}  // namespace

// The main case: an archived mailbox top restored over the mailbox top.
TEST_F(RestoreRun, MergesArchivedFoldersIntoTheStandardFolders) {
  // The mailbox as it is now.
  Generate("Personal Folders", 2, 1);
  Generate("Personal Folders\\Inbox", 4, 2);
  Generate("Personal Folders\\Inbox\\Old", 2, 3);
  Generate("Personal Folders\\Calendar", 3, 4);
  Generate("Personal Folders\\Calendar\\Holidays", 1, 5);
  Generate("Personal Folders\\Sent Items", 2, 6);
  Generate("Personal Folders\\Outbox", 1, 7);
  Generate("Personal Folders\\Deleted Items\\Trash", 1, 8);
  Generate("Personal Folders\\Tasks", 1, 9);
  Generate("Personal Folders\\MyFolder", 3, 10);
  Generate("Personal Folders\\MyFolder\\Sub", 1, 11);
  const auto topNormal = Tree("Personal Folders")["digests"];
  {
    auto session = f.Logon();
    auto mailbox = OpenStore(session, "Personal Folders");
    AddMessages(OpenFolder(mailbox, ""), 2, /*associated=*/true);
    AddMessages(OpenFolder(mailbox, "Calendar"), 2, /*associated=*/true);
    AddMessages(OpenFolder(mailbox, "Inbox"), 1, /*associated=*/true);
  }
  // The archive.
  Generate("Backup", 3, 20);
  Generate("Backup\\Inbox", 5, 21, /*attachments=*/true);
  Generate("Backup\\Inbox\\2001", 3, 22);
  Generate("Backup\\Inbox\\2001\\Q1", 1, 23);
  Generate("Backup\\Calendar", 2, 24);
  Generate("Backup\\MyFolder", 4, 25);
  Generate("Backup\\MyFolder\\Nested", 2, 26);
  const auto sourceTopNormal = Tree("Backup")["digests"];
  {
    auto session = f.Logon();
    auto backup = OpenStore(session, "Backup");
    AddMessages(OpenFolder(backup, "MyFolder"), 2, /*associated=*/true);
    AddMessages(OpenFolder(backup, ""), 1, /*associated=*/true);
  }
  const auto topAssociated = Minus(Tree("Personal Folders")["digests"], topNormal);
  const auto standardIds = FolderIds("Personal Folders", kMailboxFolders);
  const auto source = Tree("Backup");
  const auto archiveBefore = Tree("Archive");

  const ProgramRun run = Restore("Test", "Backup", "Personal Folders");
  ExpectCleanRun(run, "Backup", "Personal Folders");

  const auto target = Tree("Personal Folders");
  std::vector<std::string> expectedNames = kMailboxFolders;
  expectedNames.push_back("MyFolder");
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(ChildNames(target), expectedNames);
  // The standard folders are the same folders as before.
  EXPECT_EQ(FolderIds("Personal Folders", kMailboxFolders), standardIds);

  // Merged: exactly the archived contents; the old subfolders and the
  // associated contents are gone.
  ExpectSameContents(Child(target, "Inbox"), Child(source, "Inbox"), "Inbox");
  EXPECT_EQ(Child(target, "Inbox")["associated"], 0);
  ExpectSameContents(Child(target, "Calendar"), Child(source, "Calendar"), "Calendar");
  EXPECT_EQ(Child(target, "Calendar")["associated"], 0);
  EXPECT_EQ(Child(target, "Calendar")["class"], "IPF.Appointment");
  ExpectEmptied(Child(target, "Deleted Items"), "Deleted Items");  // the archive's own is empty
  // Standard folders without an archived counterpart are emptied and kept.
  for (const char* name : {"Outbox", "Sent Items", "Drafts", "Contacts", "Journal", "Notes", "Tasks"})
    ExpectEmptied(Child(target, name), name);
  // Any other folder is replaced by the archived one as a whole.
  EXPECT_EQ(Child(target, "MyFolder"), Child(source, "MyFolder"));
  // The top itself: the archived normal messages, its own associated ones.
  EXPECT_EQ(target["messages"], 3);
  EXPECT_EQ(target["associated"], 2);
  std::vector<std::string> topExpected = sourceTopNormal;
  topExpected.insert(topExpected.end(), topAssociated.begin(), topAssociated.end());
  std::sort(topExpected.begin(), topExpected.end());
  EXPECT_EQ(target["digests"], topExpected);

  EXPECT_EQ(Tree("Backup"), source);
  EXPECT_EQ(Tree("Archive"), archiveBefore);
}

TEST_F(RestoreRun, TargetBelowTheTopGetsPlainCopiesOfStandardNames) {
  Generate("Personal Folders\\Inbox", 3, 1);
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  Generate("Personal Folders\\Calendar", 2, 3);
  Generate("Backup\\Snapshot", 2, 4);
  Generate("Backup\\Snapshot\\Calendar", 3, 5);
  Generate("Backup\\Snapshot\\Inbox\\2001", 1, 6);
  const auto calendarBefore = Tree("Personal Folders\\Calendar");
  const auto ids = FolderIds("Personal Folders", {"Inbox", "Calendar"});

  const ProgramRun run = Restore("Test", "Backup\\Snapshot", "Personal Folders\\Inbox");
  ExpectCleanRun(run, "Backup\\Snapshot", "Personal Folders\\Inbox");

  EXPECT_EQ(Tree("Personal Folders\\Inbox"), Tree("Backup\\Snapshot"));
  EXPECT_EQ(Tree("Personal Folders\\Calendar"), calendarBefore);
  EXPECT_EQ(FolderIds("Personal Folders", {"Inbox", "Calendar"}), ids);
}

TEST_F(RestoreRun, SaveThenRestoreReproducesTheFolder) {
  Generate("Personal Folders\\Inbox", 30, 1, /*attachments=*/true);
  Generate("Personal Folders\\Inbox\\Projects", 10, 2);
  Generate("Personal Folders\\Inbox\\Projects\\2026", 5, 3, /*attachments=*/true);
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Empty") + " --class IPF.Note");
  Mapiadmin("folder create Test " + Quote("Backup\\Nothing"));
  const auto original = Tree("Personal Folders\\Inbox");
  const auto inboxId = FolderIds("Personal Folders", {"Inbox"});

  const ProgramRun save = RunProgram(TESKSAVE_PATH, f.dir / "save", "'' " + Quote("Personal Folders\\Inbox") + " Archive");
  ASSERT_EQ(save.rc, 0) << Describe(save);
  std::string saved;
  for (const auto& name : ChildNames(Tree("Archive")))
    if (name != "Deleted Items") saved = name;
  ASSERT_THAT(saved, HasSubstr("Personal Folders_Inbox"));
  const std::string savedPath = "Archive\\" + saved;

  // Restoring an empty folder empties the Inbox.
  const ProgramRun clear = Restore("Test", "Backup\\Nothing", "Personal Folders\\Inbox");
  ExpectCleanRun(clear, "Backup\\Nothing", "Personal Folders\\Inbox");
  const auto cleared = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(cleared["messages"], 0);
  EXPECT_THAT(cleared["folders"], IsEmpty());

  const ProgramRun restore = Restore("", savedPath, "Personal Folders\\Inbox");
  ExpectCleanRun(restore, savedPath, "Personal Folders\\Inbox");
  EXPECT_EQ(Tree("Personal Folders\\Inbox"), original);
  EXPECT_EQ(Tree(savedPath), original);
  EXPECT_EQ(FolderIds("Personal Folders", {"Inbox"}), inboxId);
}

TEST_F(RestoreRun, ClearsALargeTargetAndKeepsItsAssociatedMessages) {
  Mapiadmin("folder create Test " + Quote("Backup\\Nothing"));
  {
    auto session = f.Logon();
    auto mailbox = OpenStore(session, "Personal Folders");
    auto seed = CreateFolder(OpenFolder(OpenStore(session, "Archive"), ""), "Seed");
    AddMessages(seed, 50);
    auto inbox = OpenFolder(mailbox, "Inbox");
    FillWithCopies(seed, inbox, 2500);
    AddMessages(inbox, 3, /*associated=*/true);
    ASSERT_EQ(ContentsEntryIds(inbox).size(), 2500u);
  }
  const ProgramRun run = Restore("Test", "Backup\\Nothing", "Personal Folders\\Inbox");
  ExpectCleanRun(run, "Backup\\Nothing", "Personal Folders\\Inbox");
  auto session = f.Logon();
  auto inbox = OpenFolder(OpenStore(session, "Personal Folders"), "Inbox");
  EXPECT_TRUE(ContentsEntryIds(inbox).empty());
  EXPECT_EQ(ContentsEntryIds(inbox, true).size(), 3u);
}

// A Maildir keeps no associated messages. The restore refuses, before
// anything changes and in a dry run alike, exactly those it would copy: what
// lies in a folder copied whole, at any depth, and in the subfolders of one
// merged into a kept standard folder; not those of the source folder itself
// or of a merged folder, which go as normal contents only.
TEST_F(RestoreRun, AssociatedMessagesThatATargetCannotKeepAreRefusedBeforeItIsCleared) {
  const std::string maildir = f.dir / "work.maildir";
  tesk::mapi::admin::AddMaildirStore("Test", maildir, "Work Mail", "mailbox", "maildir++", true, false);
  Generate("Work Mail\\Inbox", 2, 1);
  Generate("Work Mail\\Old", 2, 2);
  auto messageFiles = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(maildir))
      if (e.is_regular_file() && e.path().parent_path().filename() == "cur")
        names.push_back(std::filesystem::relative(e.path(), maildir).string() + " " + ReadText(e.path()));
    std::sort(names.begin(), names.end());
    return names;
  };
  // (A Maildir's top holds no messages: the source's top holds none but
  // associated ones.)
  Generate("Backup\\Inbox", 2, 4);
  Generate("Backup\\Inbox\\2001", 1, 5);
  Generate("Backup\\Projects\\Sub", 1, 6);
  {
    auto session = f.Logon();
    auto backup = OpenStore(session, "Backup");
    AddMessages(OpenFolder(backup, ""), 1, /*associated=*/true);
    AddMessages(OpenFolder(backup, "Inbox"), 2, /*associated=*/true);
  }
  // Only the associated messages that stay behind: the run goes through.
  const ProgramRun clean = Restore("Test", "Backup", "Work Mail");
  ExpectCleanRun(clean, "Backup", "Work Mail");
  EXPECT_EQ(Tree("Work Mail\\Inbox")["messages"], 2);
  EXPECT_EQ(Tree("Work Mail\\Projects\\Sub")["messages"], 1);

  {
    auto session = f.Logon();
    auto backupStore = OpenStore(session, "Backup");
    AddMessages(OpenFolder(backupStore, "Inbox\\2001"), 1, /*associated=*/true);
    AddMessages(OpenFolder(backupStore, "Projects\\Sub"), 3, /*associated=*/true);
  }
  Generate("Work Mail\\Old", 2, 7);
  const auto before = messageFiles();
  const auto stores = AllStores();
  const ::testing::Matcher<const std::string&> refusal = ::testing::MatchesRegex(
      "ERROR: MAPI error 80040102, MAPI_E_NO_SUPPORT Folders to be restored hold associated \\(hidden\\) messages, "
      "which Work Mail cannot keep: 'Inbox\\\\2001' \\(1\\), 'Projects\\\\Sub' \\(3\\); nothing was changed\\., "
      "module: FoldersCopier, line: [0-9]+");
  const ProgramRun dry = Restore("-n Test Backup \"Work Mail\"");
  EXPECT_EQ(dry.rc, 1) << Describe(dry);
  EXPECT_THAT(dry.lines, ElementsAre(kLoggedOn, "Dry run: nothing will be changed.", "Source path found Backup",
                                     "Target path found Work Mail", refusal))
      << Describe(dry);
  EXPECT_EQ(messageFiles(), before);
  const ProgramRun refused = Restore("Test", "Backup", "Work Mail");
  EXPECT_EQ(refused.rc, 1) << Describe(refused);
  EXPECT_THAT(refused.lines,
              ElementsAre(kLoggedOn, "Source path found Backup", "Target path found Work Mail", refusal))
      << Describe(refused);
  EXPECT_EQ(messageFiles(), before);
  EXPECT_EQ(AllStores(), stores);
}

// The top of a Maildir holds subfolders only: a source with messages of its
// own is refused there before anything is cleared, not after.
TEST_F(RestoreRun, MessagesOfTheSourceItselfThatTheTargetCannotHoldAreRefusedBeforeItIsCleared) {
  const std::string maildir = f.dir / "work.maildir";
  tesk::mapi::admin::AddMaildirStore("Test", maildir, "Work Mail", "mailbox", "maildir++", true, false);
  Generate("Work Mail\\Inbox", 3, 1);
  Generate("Work Mail\\Old", 2, 2);
  Generate("Backup", 4, 3);
  Generate("Backup\\Projects", 1, 4);
  const auto stores = AllStores();
  const ::testing::Matcher<const std::string&> refusal = ::testing::MatchesRegex(
      "ERROR: MAPI error 80040102, MAPI_E_NO_SUPPORT The source folder 'Backup' holds 4 messages of its own, which "
      "Work Mail cannot keep \\(it holds subfolders only\\); nothing was changed\\., module: FoldersCopier, "
      "line: [0-9]+");
  for (const char* args : {"-n Test Backup \"Work Mail\"", "Test Backup \"Work Mail\""}) {
    const ProgramRun run = Restore(args);
    EXPECT_EQ(run.rc, 1) << Describe(run);
    EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [&](const std::string& l) { return refusal.Matches(l); }))
        << Describe(run);
    EXPECT_EQ(AllStores(), stores) << args;
  }
  // Into its Inbox it goes.
  ExpectCleanRun(Restore("Test", "Backup", "Work Mail\\Inbox"), "Backup", "Work Mail\\Inbox");
  EXPECT_EQ(Tree("Work Mail\\Inbox")["messages"], 4);
}

TEST_F(RestoreRun, FoldersOfOneStoreThatDoNotOverlapAreRestored) {
  Generate("Personal Folders\\Inbox\\Old", 3, 1);
  Generate("Personal Folders\\Inbox\\Old\\Deeper", 1, 2);
  Generate("Personal Folders\\Inbox\\Older", 2, 3);
  const auto old = Tree("Personal Folders\\Inbox\\Old");
  const ProgramRun run = Restore("Test", "Personal Folders\\Inbox\\Old", "Personal Folders\\Inbox\\Older");
  ExpectCleanRun(run, "Personal Folders\\Inbox\\Old", "Personal Folders\\Inbox\\Older");
  EXPECT_EQ(Tree("Personal Folders\\Inbox\\Older"), old);
  EXPECT_EQ(Tree("Personal Folders\\Inbox\\Old"), old);
}

TEST_F(RestoreRun, ArchiveStoreTargetWarnsAndKeepsDeletedItems) {
  Generate("Archive\\Deleted Items", 2, 1);
  Generate("Archive\\Deleted Items\\Inside", 1, 2);
  Generate("Archive\\Old", 3, 3);
  Generate("Backup\\Deleted Items", 2, 4);
  Generate("Backup\\Inbox", 3, 5);
  const auto deletedId = FolderIds("Archive", {"Deleted Items"});
  const auto source = Tree("Backup");

  const ProgramRun run = Restore("Test", "Backup", "Archive");
  EXPECT_EQ(run.rc, 0) << Describe(run);  // a warning is no error
  ASSERT_GE(run.lines.size(), 5u) << Describe(run);
  EXPECT_THAT(run.lines[3], ::testing::MatchesRegex(kNoInbox));
  for (std::size_t k = 4; k < run.lines.size(); ++k)
    EXPECT_THAT(run.lines[k], Not(::testing::HasSubstr("ERROR"))) << Describe(run);

  const auto target = Tree("Archive");
  EXPECT_EQ(ChildNames(target), (std::vector<std::string>{"Deleted Items", "Inbox"}));
  EXPECT_EQ(FolderIds("Archive", {"Deleted Items"}), deletedId);
  ExpectSameContents(Child(target, "Deleted Items"), Child(source, "Deleted Items"), "Deleted Items");
  EXPECT_EQ(Child(target, "Inbox"), Child(source, "Inbox"));
}

TEST_F(RestoreRun, MailboxWithoutReceiveFolderKeepsOnlyTheStoreLevelStandardFolders) {
  for (const char* name : {"Inbox", "Calendar", "Outbox", "Sent Items", "Deleted Items", "Drafts"})
    Generate(std::string("Personal Folders\\") + name, 2, 1);
  for (const char* name : {"Inbox", "Calendar", "Outbox", "Sent Items"})
    Generate(std::string("Backup\\") + name, 3, 2);
  {
    auto session = f.Logon();
    auto mailbox = OpenStore(session, "Personal Folders");
    char any[] = "", ipm[] = "IPM";
    ASSERT_EQ(mailbox->SetReceiveFolder(any, 0, 0, nullptr), S_OK);
    ASSERT_EQ(mailbox->SetReceiveFolder(ipm, 0, 0, nullptr), S_OK);
  }
  const std::vector<std::string> names{"Inbox", "Calendar", "Outbox", "Sent Items", "Deleted Items"};
  const auto before = FolderIds("Personal Folders", names);
  const auto source = Tree("Backup");

  const ProgramRun run = Restore("Test", "Backup", "Personal Folders");
  EXPECT_EQ(run.rc, 0) << Describe(run);
  ASSERT_GE(run.lines.size(), 5u) << Describe(run);
  EXPECT_THAT(run.lines[3], ::testing::MatchesRegex(kNoInbox));
  for (std::size_t k = 4; k < run.lines.size(); ++k)
    EXPECT_THAT(run.lines[k], Not(::testing::HasSubstr("ERROR"))) << Describe(run);

  const auto target = Tree("Personal Folders");
  EXPECT_EQ(ChildNames(target),
            (std::vector<std::string>{"Calendar", "Deleted Items", "Inbox", "Outbox", "Sent Items"}));
  const auto after = FolderIds("Personal Folders", names);
  // Kept: found through the store's own properties.
  for (const char* name : {"Outbox", "Sent Items", "Deleted Items"}) EXPECT_EQ(after.at(name), before.at(name)) << name;
  // Found through the Inbox only: deleted and restored as new folders.
  for (const char* name : {"Inbox", "Calendar"}) EXPECT_NE(after.at(name), before.at(name)) << name;
  for (const char* name : {"Inbox", "Calendar", "Outbox", "Sent Items", "Deleted Items"})
    ExpectSameContents(Child(target, name), Child(source, name), name);
}

TEST_F(RestoreRun, PublicStoreTargetLosesEveryFolderWithoutWarning) {
  f.AddStore("Public", "public");
  Generate("Public\\Deleted Items", 2, 1);
  Generate("Public\\Projects\\2026", 2, 2);
  Generate("Public\\Inbox", 1, 3);
  Generate("Backup\\Deleted Items", 1, 4);
  Generate("Backup\\Inbox", 2, 5);
  Generate("Backup\\Shared", 2, 6);
  const auto source = Tree("Backup");
  const std::vector<std::string> names{"Deleted Items", "Inbox"};
  const auto before = FolderIds("Public", names);

  const ProgramRun run = Restore("Test", "Backup", "Public");
  ExpectCleanRun(run, "Backup", "Public");
  const auto target = Tree("Public");
  EXPECT_EQ(target, source);
  const auto after = FolderIds("Public", names);
  for (const auto& name : names) EXPECT_NE(after.at(name), before.at(name)) << name;
}

TEST_F(RestoreRun, NameDifferingOnlyInCaseIsNotMergedAndTheRunGoesOn) {
  Generate("Personal Folders\\Inbox", 3, 1);
  Generate("Personal Folders\\Inbox\\Old", 1, 2);
  Generate("Backup\\Snapshot\\inbox", 2, 3);
  Generate("Backup\\Snapshot\\MyFolder", 2, 4);
  const auto inboxId = FolderIds("Personal Folders", {"Inbox"});
  const auto source = Tree("Backup\\Snapshot");

  const ProgramRun run = Restore("Test", "Backup\\Snapshot", "Personal Folders");
  EXPECT_EQ(run.rc, 1) << Describe(run);
  EXPECT_EQ(run.CountStartingWith("ERROR"), 1u) << Describe(run);
  EXPECT_TRUE(run.HasMatch("ERROR: MAPI error 80040604, MAPI_E_COLLISION Failed to copy folder 'inbox', "
                           "module: FoldersCopier, line: [0-9]+"))
      << Describe(run);

  const auto target = Tree("Personal Folders");
  ExpectEmptied(Child(target, "Inbox"), "Inbox");
  EXPECT_EQ(FolderIds("Personal Folders", {"Inbox"}), inboxId);
  EXPECT_EQ(Child(target, "MyFolder"), Child(source, "MyFolder"));
}

// ---------------------------------------------------------------------------
// Paths that cannot be found, and source and target that overlap: an ERROR
// line, exit code 1 and no change anywhere.

struct Refusal {
  const char* name;
  const char* source;
  const char* target;
  const char* error;       // pattern of the ERROR line
  bool pathsFound;         // whether both "path found" lines come first
};

void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.name; }

class RestoreRefusal : public RestoreRun, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RestoreRefusal, ChangesNothing) {
  const Refusal& c = GetParam();
  Generate("Personal Folders\\Inbox", 3, 1);
  Generate("Personal Folders\\Inbox\\Old", 2, 2);
  Generate("Personal Folders\\Inbox\\Old\\Older", 2, 3);
  Generate("Personal Folders\\Drafts", 1, 4);
  Generate("Backup\\Inbox", 2, 5);
  const auto before = AllStores();

  const ProgramRun run = Restore("Test", c.source, c.target);
  EXPECT_EQ(run.rc, 1) << Describe(run);
  std::vector<::testing::Matcher<const std::string&>> expected{::testing::Eq(std::string(kLoggedOn))};
  if (c.pathsFound) {
    expected.push_back(::testing::StartsWith("Source path found "));
    expected.push_back(::testing::StartsWith("Target path found "));
  }
  expected.push_back(::testing::MatchesRegex(c.error));
  EXPECT_THAT(run.lines, ::testing::ElementsAreArray(expected)) << Describe(run);
  EXPECT_EQ(AllStores(), before);
}

std::string RefusalName(const ::testing::TestParamInfo<Refusal>& param) { return param.param.name; }

const char kOverlap[] = "ERROR: Source and target folders overlap; nothing was changed\\., module: FoldersCopier, "
                        "line: [0-9]+";

INSTANTIATE_TEST_SUITE_P(
    RestoreOverlap, RestoreRefusal,
    ::testing::Values(
        Refusal{"SameFolder", "Personal Folders\\Inbox", "Personal Folders\\Inbox", kOverlap, true},
        Refusal{"SameFolderOtherCase", "personal folders\\INBOX", "Personal Folders\\Inbox", kOverlap, true},
        Refusal{"SameTop", "Personal Folders", "Personal Folders", kOverlap, true},
        Refusal{"SourceBelowTarget", "Personal Folders\\Inbox\\Old", "Personal Folders\\Inbox", kOverlap, true},
        Refusal{"SourceFarBelowTarget", "Personal Folders\\Inbox\\Old\\Older", "Personal Folders", kOverlap, true},
        Refusal{"TargetBelowSource", "Personal Folders\\Inbox", "Personal Folders\\Inbox\\Old", kOverlap, true},
        Refusal{"TargetFarBelowSource", "Personal Folders", "Personal Folders\\Inbox\\Old\\Older", kOverlap, true}),
    RefusalName);

INSTANTIATE_TEST_SUITE_P(
    RestoreNotFound, RestoreRefusal,
    ::testing::Values(
        Refusal{"SourceStore", "Nowhere\\Inbox", "Personal Folders\\Inbox",
                "ERROR: Message store Nowhere not found!, module: MAPIFolderFind, line: 98", false},
        Refusal{"SourceFolder", "Backup\\Missing", "Personal Folders\\Inbox",
                "ERROR: Subfolder Missing not found!, module: MAPIFolderFind, line: 173", false},
        Refusal{"SourceFolderDeep", "Personal Folders\\Inbox\\Gone\\Old", "Backup",
                "ERROR: Subfolder Gone not found!, module: MAPIFolderFind, line: 173", false},
        Refusal{"TargetStore", "Backup\\Inbox", "Nowhere",
                "ERROR: Message store Nowhere not found!, module: MAPIFolderFind, line: 98", false},
        Refusal{"TargetFolder", "Backup\\Inbox", "Personal Folders\\Inbox\\Missing",
                "ERROR: Subfolder Missing not found!, module: MAPIFolderFind, line: 173", false},
        // The source is looked up first.
        Refusal{"BothMissing", "Backup\\Gone", "Nowhere\\Inbox",
                "ERROR: Subfolder Gone not found!, module: MAPIFolderFind, line: 173", false}),
    RefusalName);

// ---------------------------------------------------------------------------
// The command line, the log file, the exit code.

TEST_F(RestoreRun, LogFileSitsNextToTheProgram) {
  Generate("Backup\\Inbox", 1, 1);
  const ProgramRun run = Restore("Test", "Backup\\Inbox", "Personal Folders\\Drafts");
  ExpectCleanRun(run, "Backup\\Inbox", "Personal Folders\\Drafts");
  EXPECT_THAT(run.logName, ::testing::MatchesRegex("TeskRestore [0-9]{8}_[0-9]{6}\\.log"));
  EXPECT_THAT(run.log, ::testing::StartsWith(
                           "-----------------------------------------------------------------------------\n"
                           "This is TeskRestore log file.\n"));
}

TEST_F(RestoreRun, LogonFailureIsAnError) {
  const auto before = AllStores();
  const ProgramRun run = Restore("Nobody", "Backup", "Personal Folders\\Inbox");
  EXPECT_EQ(run.rc, 1) << Describe(run);
  ASSERT_EQ(run.lines.size(), 2u) << Describe(run);
  EXPECT_THAT(run.lines[0], ::testing::MatchesRegex("ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon "
                                                    "to MAPI\\., module: TeskRestore, line: [0-9]+"));
  // Why, as a WARNING line.
  EXPECT_THAT(run.lines[1], ::testing::MatchesRegex("WARNING: there is no profile \"Nobody\" \\(no file .*/Nobody\\.toml\\)"));
  EXPECT_EQ(AllStores(), before);
}

TEST_F(RestoreRun, DefaultProfileAndSwitchesAnywhere) {
  Generate("Backup\\Inbox", 2, 1);
  Generate("Personal Folders\\Drafts", 1, 2);
  const ProgramRun run = Restore("-x '' " + Quote("Backup\\Inbox") + " -mailto:someone@example.org " +
                          Quote("Personal Folders\\Drafts") + " extra");
  ExpectCleanRun(run, "Backup\\Inbox", "Personal Folders\\Drafts");
  ExpectSameContents(Tree("Personal Folders\\Drafts"), Tree("Backup\\Inbox"), "Drafts");
}

TEST_F(RestoreRun, WithoutTargetNothingIsRestored) {
  Generate("Backup\\Inbox", 2, 1);
  Generate("Personal Folders\\Inbox", 2, 2);
  const auto before = AllStores();
  // Two arguments ask for the dialog; without a display it says what is
  // missing and stops.
  const ProgramRun run = Restore(Quote("Test") + " " + Quote("Personal Folders\\Inbox"));
  EXPECT_EQ(run.rc, 2) << Describe(run);
  EXPECT_THAT(run.output, ::testing::HasSubstr("TeskRestore: TARGET is missing, and the dialog cannot open (no display "
                                               "available"))
      << Describe(run);
  EXPECT_THAT(run.output, ::testing::HasSubstr("Usage: TeskRestore [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET"));
  EXPECT_THAT(run.lines, Not(::testing::Contains(kLoggedOn)));
  EXPECT_EQ(AllStores(), before);
}

TEST_F(RestoreRun, PathsFromAnOemBatchFileAreRepaired) {
  // "ü", "ö" and "ß" as a batch file in the Windows code page shows them to
  // a command processor reading code page 850.
  Generate("Backup\\Gr\xC3\xB6\xC3\x9F" "e", 2, 1);
  Mapiadmin("folder create Test " + Quote("Personal Folders\\B\xC3\xBC" "cher"));
  const ProgramRun run = Restore(Quote("Test") + " " + Quote("Backup\\Gr\xF7\xAF" "e") + " " +
                          Quote("Personal Folders\\B\xB3" "cher"));
  ExpectCleanRun(run, "Backup\\Gr\xC3\xB6\xC3\x9F" "e", "Personal Folders\\B\xC3\xBC" "cher");
  ExpectSameContents(Tree("Personal Folders\\B\xC3\xBC" "cher"), Tree("Backup\\Gr\xC3\xB6\xC3\x9F" "e"), "B\xC3\xBC" "cher");
}

// ---------------------------------------------------------------------------
// Registration of the program's AppID.

TEST(RestoreRegistry, RegServerAndUnregServer) {
  TempDir dir;
  const std::string file = dir / "registry.ini";
  {
    std::ofstream out(file);
    out << "[HKEY_CLASSES_ROOT\\AppID\\Other]\n@=\"other\"\n";
  }
  const std::string env = "WINREG_FILE=" + Quote(file);

  const ProgramRun reg = RunProgram(TESKRESTORE_PATH, dir / "bin", "-RegServer", env);
  EXPECT_EQ(reg.rc, 0);
  EXPECT_TRUE(reg.logName.empty()) << "a registry run writes no log";
  const std::string registered = ReadText(file);
  EXPECT_THAT(registered, HasSubstr("[HKEY_CLASSES_ROOT\\AppID\\{AF18B428-EBA9-49B3-873A-4D510FB8B0CF}]\n"
                                    "@=\"TeskRestore\"\n"));
  EXPECT_THAT(registered, HasSubstr("[HKEY_CLASSES_ROOT\\AppID\\TeskRestore.EXE]\n"
                                    "\"AppID\"=\"{AF18B428-EBA9-49B3-873A-4D510FB8B0CF}\"\n"));
  EXPECT_THAT(registered, HasSubstr("[HKEY_CLASSES_ROOT\\AppID\\Other]"));

  const ProgramRun unreg = RunProgram(TESKRESTORE_PATH, dir / "bin", "-UnregServer", env);
  EXPECT_EQ(unreg.rc, 0);
  EXPECT_TRUE(unreg.logName.empty());
  const std::string unregistered = ReadText(file);
  EXPECT_THAT(unregistered, Not(HasSubstr("TeskRestore")));
  EXPECT_THAT(unregistered, Not(HasSubstr("AF18B428")));
  EXPECT_THAT(unregistered, HasSubstr("[HKEY_CLASSES_ROOT\\AppID]"));
  EXPECT_THAT(unregistered, HasSubstr("[HKEY_CLASSES_ROOT\\AppID\\Other]\n@=\"other\""));

  // Without the other key the AppID key itself stays.
  std::filesystem::remove(file);
  RunProgram(TESKRESTORE_PATH, dir / "bin", "-RegServer", env);
  RunProgram(TESKRESTORE_PATH, dir / "bin", "/UnregServer", env);
  EXPECT_THAT(ReadText(file), HasSubstr("[HKEY_CLASSES_ROOT\\AppID]"));
  EXPECT_THAT(ReadText(file), Not(HasSubstr("AF18B428")));
}

TEST(RestoreRegistry, ASwitchInsideAnArgumentIsPartOfThatArgument) {
  ProfileFixture profile;
  const std::string file = profile.dir / "registry.ini";
  const std::string env = "WINREG_FILE=" + Quote(file);
  const ProgramRun run =
      RunProgram(TESKRESTORE_PATH, profile.dir / "bin", "\"\" Archive \"Personal Folders\\Old -RegServer\"", env);
  EXPECT_EQ(run.rc, 1) << Describe(run);
  EXPECT_FALSE(run.logName.empty()) << "a restore run writes its log";
  EXPECT_TRUE(run.Has("ERROR: Subfolder Old -RegServer not found!, module: MAPIFolderFind, line: 173")) << run.log;
  EXPECT_FALSE(std::filesystem::exists(file)) << "nothing registered";
}

TEST(RestoreWithoutQt, TheBatchRoadNeedsNoQtLibrary) {
  std::string needed;
  ASSERT_EQ(RunCommand("readelf -d " + Quote(TESKRESTORE_PATH) + " && ldd " + Quote(TESKRESTORE_PATH), &needed), 0);
  EXPECT_EQ(needed.find("Qt"), std::string::npos) << needed;
  std::string out;
  if (RunCommand("unshare -m true 2>&1", &out) != 0) GTEST_SKIP() << "no private mount namespace here: " << out;
  ProfileFixture profile;
  Generate("Archive\\Snap\\Inbox", 3, 5);
  // The program runs with every Qt library of the machine covered.
  const std::string hide =
      "unshare -m sh -c 'for f in /usr/lib/*/libQt6*.so*; do [ -f \"$f\" ] && mount --bind /dev/null \"$f\"; "
      "done; exec \"$@\"' sh";
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(profile.dir.path()) / "bin";
  fs::create_directories(dir);
  fs::copy_file(TESKRESTORE_PATH, dir / "TeskRestore");
  EXPECT_EQ(RunCommand("cd " + Quote(dir.string()) + " && " + hide + " ./TeskRestore '' 'Archive\\Snap' " +
                           "'Personal Folders' 2>&1",
                       &out),
            0)
      << out;
  const auto inbox = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(inbox["folders"].size(), 0u);
  EXPECT_EQ(inbox["messages"], 3) << inbox.dump();
}

TEST(RestoreTogether, TwoRestoresIntoOneTargetTakeTurns) {
  ProfileFixture f;
  for (int k = 0; k < 12; ++k) Generate("Archive\\Snap\\Box " + std::to_string(k), 40, k + 1, k % 3 == 0);
  Generate("Archive\\Snap", 25, 99);
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Old"));
  const auto expectedSource = Tree("Archive\\Snap");

  // Both started at the same moment, each from a folder of its own.
  namespace fs = std::filesystem;
  std::string commands;
  for (const char* run : {"one", "two"}) {
    const fs::path dir = fs::path(f.dir.path()) / run;
    fs::create_directories(dir);
    fs::copy_file(TESKRESTORE_PATH, dir / "TeskRestore");
    commands += "(cd " + Quote(dir.string()) + " && ./TeskRestore '' 'Archive\\Snap' 'Personal Folders\\Inbox'" +
                " > out.txt 2>&1; echo $? > rc.txt) & ";
  }
  ASSERT_EQ(RunCommand(commands + "wait"), 0);
  for (const char* run : {"one", "two"}) {
    const std::string dir = f.dir / run;
    EXPECT_EQ(ReadText(dir + "/rc.txt"), "0\n") << run;
  }
  // The target holds one clean restore, as a single run leaves it.
  const auto inbox = Tree("Personal Folders\\Inbox");
  EXPECT_EQ(inbox["messages"], 25);
  EXPECT_EQ(inbox["folders"].size(), 12u);
  for (const auto& sub : inbox["folders"]) EXPECT_EQ(sub["messages"], 40) << sub["name"];
  EXPECT_EQ(Tree("Archive\\Snap"), expectedSource);
}

TEST(RestoreDamaged, ASourceThatCannotBeReadChangesNothing) {
  ProfileFixture f;
  Generate("Personal Folders\\Inbox", 20, 3);
  Generate("Personal Folders\\Inbox\\Keep", 5, 4);
  const auto before = Tree("Personal Folders\\Inbox");
  Generate("Archive\\Snap\\Sub", 300, 5, true);
  // Garbage over pages in the middle of the archive file.
  {
    const auto size = std::filesystem::file_size(f.archiveFile);
    std::fstream file(f.archiveFile, std::ios::in | std::ios::out | std::ios::binary);
    const std::string junk(size / 5, '\xA5');
    file.seekp(static_cast<std::streamoff>(size * 2 / 5));
    file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  const ProgramRun run = RunProgram(TESKRESTORE_PATH, f.dir / "bin", "'' 'Archive\\Snap' 'Personal Folders\\Inbox'");
  EXPECT_EQ(run.rc, 1) << Describe(run);
  EXPECT_TRUE(run.HasMatch("ERROR: MAPI error [0-9a-f]+, MAPI_E_\\w+ Source folder '\\w+' cannot be read, nothing was "
                           "changed, module: FoldersCopier, line: \\d+"))
      << run.log;
  EXPECT_EQ(Tree("Personal Folders\\Inbox"), before);
}
