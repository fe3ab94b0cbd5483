// The programs with an Outlook data file in the profile: TeskSave copies
// from it like from any store, and a TeskRestore into it fails with its
// ERROR line before anything changes.
#include <gtest/gtest.h>
#include <mapi/admin.h>

#include <filesystem>
#include <fstream>

#include "fixture.h"
#include "provider.h"
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
