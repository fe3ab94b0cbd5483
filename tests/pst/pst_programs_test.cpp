// The programs with an Outlook data file in the profile: TeskSave copies
// from it like from any store, and a TeskRestore into it fails with its
// ERROR line before anything changes.
#include <gtest/gtest.h>
#include <mapi/admin.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "fixture.h"
#include "provider.h"
#include "providers/sqlite/sqlite_provider.h"
#include "restore_test_util.h"

using namespace tesk::mapi;
namespace fs = std::filesystem;
using restore_test::Describe;
using restore_test::ProgramRun;
using restore_test::RunProgram;
using testing_support::ProfileFixture;

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(PstPrograms, SaveFromAPstAndRefuseARestoreIntoIt) {
  ProfileFixture profile;
  const std::string pst = profile.dir / "old.pst";
  fs::copy_file(std::string(PST_DATA_DIR) + "/java-libpst_dist-list.pst", pst);
  admin::AddPstStore("Test", pst, "Old Outlook", "archive", false);

  ProgramRun save = RunProgram(TESKSAVE_PATH, profile.dir / "bin", "\"\" \"Old Outlook\\Contacts\" Archive");
  ASSERT_EQ(save.rc, 0) << Describe(save);
  EXPECT_EQ(save.CountStartingWith("ERROR"), 0u) << Describe(save);
  std::string saved;
  {
    auto archive = OpenStoreFile(profile.archiveFile);
    const ObjId top = archive->Subfolders(archive->RootFolder()).at(0);
    for (ObjId f : archive->Subfolders(top))
      if (archive->Messages(f, false).size() == 2) saved = archive->GetFolder(f)->name;
  }
  ASSERT_FALSE(saved.empty()) << Describe(save);

  const std::string before = Read(pst) + Read(profile.archiveFile) + Read(profile.mailboxFile);
  ProgramRun restore =
      RunProgram(TESKRESTORE_PATH, profile.dir / "bin", "\"\" \"Archive\\" + saved + "\" \"Old Outlook\\Contacts\"");
  EXPECT_NE(restore.rc, 0) << Describe(restore);
  // The program goes on after a refused step (the deletion of the target's
  // messages, then the copy), each refused with its own ERROR line.
  EXPECT_GE(restore.CountStartingWith("ERROR"), 1u) << Describe(restore);
  EXPECT_TRUE(restore.HasMatch("ERROR: MAPI error 80070005, Access is denied.*")) << Describe(restore);
  EXPECT_TRUE(Read(pst) + Read(profile.archiveFile) + Read(profile.mailboxFile) == before);
}

// Outlook keeps views and rules of its folders as associated messages; a
// Maildir keeps none, so a restore of such folders into one is refused
// before anything changes, in a dry run as in the real one, unless the store
// leaves them out.
TEST(PstPrograms, RestoreAWholePstIntoAMaildir) {
  ProfileFixture profile;
  const std::string pst = profile.dir / "old.pst";
  fs::copy_file(std::string(PST_DATA_DIR) + "/java-libpst_passworded.pst", pst);
  const std::string maildir = profile.dir / "work.maildir";
  admin::AddMaildirStore("Test", maildir, "Work Mail", "mailbox", "maildir++", true, false);
  // What a clearing of the target would remove.
  testing_support::Mapiadmin("generate Test 'Work Mail\\Inbox' --messages 3 --seed 1");
  testing_support::Mapiadmin("generate Test 'Work Mail\\Inbox\\Old' --messages 2 --seed 2");
  auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(maildir))
      if (e.is_regular_file() && e.path().parent_path().filename() == "cur")
        names.push_back(fs::relative(e.path(), maildir).string() + " " + Read(e.path()));
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto before = files();
  ASSERT_EQ(before.size(), 5u);

  admin::AddPstStore("Test", pst, "Old Outlook", "archive", false);
  const char kRefusal[] =
      "ERROR: MAPI error 80040102, MAPI_E_NO_SUPPORT Folders to be restored hold associated \\(hidden\\) messages, "
      "which Work Mail\\\\INBOX cannot keep: 'Inbox' \\(4\\), 'Calendar' \\(4\\); nothing was changed\\., "
      "module: FoldersCopier, line: [0-9]+";
  for (const char* dry : {"-n ", ""}) {
    ProgramRun refused =
        RunProgram(TESKRESTORE_PATH, profile.dir / "bin", std::string(dry) + "\"\" \"Old Outlook\" \"Work Mail\\INBOX\"");
    EXPECT_EQ(refused.rc, 1) << Describe(refused);
    EXPECT_EQ(refused.CountStartingWith("ERROR"), 1u) << Describe(refused);
    EXPECT_TRUE(refused.HasMatch(kRefusal)) << Describe(refused);
    EXPECT_EQ(refused.CountStartingWith("Would "), 0u) << Describe(refused);
    EXPECT_EQ(refused.CountStartingWith("Deleted "), 0u) << Describe(refused);
    EXPECT_EQ(files(), before) << Describe(refused);
  }

  admin::RemoveStore("Test", "Old Outlook");
  admin::AddPstStore("Test", pst, "Old Outlook", "archive", false, false);
  ProgramRun dry = RunProgram(TESKRESTORE_PATH, profile.dir / "bin", "-n \"\" \"Old Outlook\" \"Work Mail\\INBOX\"");
  EXPECT_EQ(dry.rc, 0) << Describe(dry);
  EXPECT_EQ(files(), before);
  ProgramRun restore = RunProgram(TESKRESTORE_PATH, profile.dir / "bin", "\"\" \"Old Outlook\" \"Work Mail\\INBOX\"");
  EXPECT_EQ(restore.rc, 0) << Describe(restore);
  EXPECT_EQ(restore.CountStartingWith("ERROR"), 0u) << Describe(restore);
  EXPECT_EQ(files().size(), 2u);  // the two contacts, the only normal messages below the top folder
  EXPECT_TRUE(fs::is_directory(maildir + "/.INBOX.Contacts/cur")) << Describe(restore);
}
