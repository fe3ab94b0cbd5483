// The Debian packages, as a user gets them: built by CPack from this build,
// clean for lintian, with the Depends dpkg-shlibdeps found (no Qt for the
// batch programs), installed with apt-get into a clean Debian root where the
// installed programs save, restore and show their manual pages, and the
// dialogs load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>

#include "fixture.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

std::string Field(const std::string& deb, const std::string& field) {
  std::string out;
  RunCommand("dpkg-deb -f " + Quote(deb) + " " + field, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(Package, BuildsCleanAndInstallsIntoACleanRootWhereEverythingRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "a clean root needs root (chroot, mounts)";
  TempDir work;
  const std::string out = work / "debs";
  std::string log;
  ASSERT_EQ(RunCommand("cpack --config " + Quote(std::string(TESK_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                           Quote(work / "cpack") + " 2>&1",
                       &log),
            0)
      << log;
  fs::create_directories(out);
  std::string tesk, dialogs;
  for (const auto& e : fs::directory_iterator(work / "cpack")) {
    if (e.path().extension() != ".deb") continue;
    const fs::path to = fs::path(out) / e.path().filename();
    fs::rename(e.path(), to);
    (to.filename().string().rfind("tesk-dialogs_", 0) == 0 ? dialogs : tesk) = to.string();
  }
  ASSERT_THAT(fs::path(tesk).filename().string(), ::testing::MatchesRegex("tesk_[0-9.]+_[a-z0-9]+\\.deb"));
  ASSERT_THAT(fs::path(dialogs).filename().string(), ::testing::MatchesRegex("tesk-dialogs_[0-9.]+_[a-z0-9]+\\.deb"));

  // Depends as dpkg-shlibdeps computed them: the batch programs without
  // Qt, the dialogs with it and with the batch package of their version.
  const std::string batchDepends = Field(tesk, "Depends");
  for (const char* library : {"libc6", "libsqlite3-0", "libgmime-3.0-0", "libcurl3-gnutls", "libpff1", "libstdc++6"})
    EXPECT_THAT(batchDepends, HasSubstr(library));
  EXPECT_THAT(batchDepends, Not(::testing::ContainsRegex("[Qq]t")));
  const std::string dialogDepends = Field(dialogs, "Depends");
  EXPECT_THAT(dialogDepends, HasSubstr("libqt6widgets6"));
  EXPECT_THAT(dialogDepends, HasSubstr("tesk (= " + Field(tesk, "Version") + ")"));
  EXPECT_THAT(dialogDepends, HasSubstr("qt6-qpa-plugins"));

  // lintian: no errors (warnings and notes are printed for the reader).
  std::string lintian;
  EXPECT_EQ(RunCommand("lintian --fail-on error " + Quote(tesk) + " " + Quote(dialogs) + " 2>&1", &lintian), 0)
      << lintian;
  EXPECT_THAT(lintian, Not(::testing::ContainsRegex("(^|\n)E: "))) << lintian;
  std::cout << "lintian:\n" << lintian;

  // A clean root, the packages in it, the script that uses them.
  const std::string root = work / "root";
  const std::string tool = std::string(TESK_TEST_SOURCE_DIR) + "/clean_root.sh";
  ASSERT_EQ(RunCommand(Quote(tool) + " make " + Quote(root) + " 2>&1", &log), 0) << log;
  fs::create_directories(root + "/tmp/debs");
  fs::copy_file(tesk, root + "/tmp/debs/" + fs::path(tesk).filename().string());
  fs::copy_file(dialogs, root + "/tmp/debs/" + fs::path(dialogs).filename().string());
  fs::copy_file(std::string(TESK_TEST_SOURCE_DIR) + "/in_root.sh", root + "/tmp/in_root.sh");
  const int rc = RunCommand(Quote(tool) + " run " + Quote(root) + " 'sh /tmp/in_root.sh' 2>&1", &log);
  std::cout << log;
  EXPECT_EQ(rc, 0) << log;
  for (const char* step : {"ok: tesk installed", "ok: no Qt", "ok: help", "ok: save", "ok: log in the state folder",
                           "ok: restore", "ok: manual pages", "ok: tesk-dialogs installed", "ok: dialog plugin"})
    EXPECT_THAT("\n" + log, HasSubstr(std::string("\n") + step + "\n")) << step;
  EXPECT_THAT(log, HasSubstr("Usage: TeskSave [-t] [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET\n"));
  EXPECT_THAT(log, HasSubstr("/usr/share/man/man1/TeskSave.1.gz\n/usr/share/man/man1/TeskRestore.1.gz\n"
                             "/usr/share/man/man1/mapiadmin.1.gz\n"));
}

}  // namespace
