// Folder trees thousands of levels deep, as a damaged or machine-made store
// can hold them: mapiadmin lists them, TeskSave saves them and TeskRestore
// restores them and clears them, all without running out of stack (the
// sanitizer build runs these too); what a format cannot hold is refused
// with a clear error and nothing changed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "restore_test_util.h"

using namespace testing_support;
using namespace restore_test;

namespace {

constexpr int kDepth = 5000;

// "base\d\d...\d" with depth folders "d" below base.
std::string DeepPath(const std::string& base, int depth) {
  std::string path = base;
  for (int k = 0; k < depth; ++k) path += "\\d";
  return path;
}

// What mapiadmin's JSON says of a chain of folders: how many levels below
// the top, and the name and message count of the deepest one. Walked
// without recursion, like the tree itself.
struct Chain {
  int depth = 0;
  std::string name;
  int messages = -1;
};
Chain ChainOf(const std::string& json) {
  const nlohmann::json tree = nlohmann::json::parse(json);
  const nlohmann::json* at = &tree;
  Chain chain;
  while (!(*at)["folders"].empty()) {
    EXPECT_EQ((*at)["folders"].size(), 1u);
    at = &(*at)["folders"][0];
    ++chain.depth;
  }
  chain.name = (*at)["name"];
  chain.messages = (*at)["messages"];
  return chain;
}

// A folder tree's JSON without the top folder's own name (the last member
// of the top object), so that a copy under another name compares equal.
std::string WithoutTopName(const std::string& json) {
  const size_t at = json.rfind("\n  \"name\": ");
  return at == std::string::npos ? json : json.substr(0, at);
}

class DeepTree : public ::testing::Test {
 protected:
  DeepTree() { f.AddStore("Backup", "archive"); }

  ProgramRun Run(const std::string& program, const std::string& args) {
    return RunProgram(program, f.dir / "bin", args);
  }
  static std::string Json(const std::string& path) { return Mapiadmin("tree Test " + Quote(path) + " --json"); }
  // Every store of the profile as text, for "nothing changed" checks.
  static std::string AllStores() { return Mapiadmin("tree Test --json"); }

  ProfileFixture f;
};

TEST_F(DeepTree, FiveThousandLevelsAreListedSavedRestoredAndCleared) {
  const std::string top = "Personal Folders\\Inbox\\Deep";
  Mapiadmin("folder create Test " + Quote(DeepPath(top, kDepth)));
  Generate(DeepPath(top, kDepth), 3, 1);
  Generate(DeepPath(top, kDepth / 2), 2, 2);

  // mapiadmin: the listing and the JSON reach the deepest folder.
  const std::string listing = Mapiadmin("tree Test " + Quote(top));
  EXPECT_NE(listing.find("\n" + std::string(2 * kDepth, ' ') + "d  3 messages\n"), std::string::npos);
  const std::string source = Json(top);
  const Chain chain = ChainOf(source);
  EXPECT_EQ(chain.depth, kDepth);
  EXPECT_EQ(chain.name, "d");
  EXPECT_EQ(chain.messages, 3);
  EXPECT_EQ(ChainOf(Json("Personal Folders\\Inbox")).depth, kDepth + 1);

  // TeskSave copies the whole tree into the archive.
  const ProgramRun save = Run(TESKSAVE_PATH, "-t Test " + Quote(top) + " Archive");
  EXPECT_EQ(save.rc, 0) << Describe(save);
  EXPECT_TRUE(save.Has("Structure successfully copied.")) << Describe(save);
  const std::string saved = "Archive\\Personal Folders_Inbox_Deep";
  EXPECT_EQ(WithoutTopName(Json(saved)), WithoutTopName(source));

  // TeskRestore puts it back into a folder of its own.
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Restored"));
  const ProgramRun restore = Run(TESKRESTORE_PATH, "Test " + Quote(saved) + " " + Quote("Personal Folders\\Restored"));
  EXPECT_EQ(restore.rc, 0) << Describe(restore);
  EXPECT_TRUE(restore.Has("Restore of " + saved + " into Personal Folders\\Restored ended: " +
                          std::to_string(kDepth) + " folders and 5 messages restored."))
      << Describe(restore);
  EXPECT_EQ(WithoutTopName(Json("Personal Folders\\Restored")), WithoutTopName(source));

  // A restore over the deep tree clears it first: the whole tree goes.
  Generate("Backup\\Small", 1, 3);
  const ProgramRun clear = Run(TESKRESTORE_PATH, "Test " + Quote("Backup\\Small") + " " + Quote(top));
  EXPECT_EQ(clear.rc, 0) << Describe(clear);
  EXPECT_TRUE(clear.Has("Deleted folder 'd' with " + std::to_string(kDepth - 1) + " subfolders and 5 messages."))
      << Describe(clear);
  const Chain cleared = ChainOf(Json(top));
  EXPECT_EQ(cleared.depth, 0);
  EXPECT_EQ(cleared.messages, 1);
  // The archive's copy is untouched.
  EXPECT_EQ(WithoutTopName(Json(saved)), WithoutTopName(source));
}

// A source far below its target (deeper than any fixed limit of the walk
// up the tree) overlaps it all the same: the restore is refused before the
// clearing would delete the source.
TEST_F(DeepTree, ASourceThousandsOfLevelsBelowTheTargetIsRefused) {
  const std::string top = "Personal Folders\\Inbox\\Deep";
  Mapiadmin("folder create Test " + Quote(DeepPath(top, 2000)));
  Generate(DeepPath(top, 2000), 2, 1);
  const std::string before = AllStores();
  for (const auto& [source, target] : {std::pair{DeepPath(top, 1500), top}, std::pair{top, DeepPath(top, 1500)}}) {
    const ProgramRun run = Run(TESKRESTORE_PATH, "Test " + Quote(source) + " " + Quote(target));
    EXPECT_EQ(run.rc, 1) << Describe(run);
    EXPECT_TRUE(run.HasMatch("ERROR: Source and target folders overlap; nothing was changed\\., module: "
                             "FoldersCopier, line: [0-9]+"))
        << Describe(run);
    EXPECT_EQ(AllStores(), before);
  }
}

// A Maildir in Dovecot's LAYOUT=fs keeps a folder as a directory in its
// parent's: a deep tree goes there and back whole as far as the system's
// path length allows, and a deeper one is refused with the system's reason,
// nothing of it written.
TEST_F(DeepTree, MaildirLayoutFsTakesDeepTreesOrRefusesThemWhole) {
  const std::string maildir = f.dir / "Maildir";
  Mapiadmin("store add-maildir Test " + Quote(maildir) + " --name Mail --layout fs --create");
  constexpr int kFits = 300;
  const std::string top = "Personal Folders\\Inbox\\Deep";
  Mapiadmin("folder create Test " + Quote(DeepPath(top, kFits)));
  Generate(DeepPath(top, kFits), 2, 1);
  Generate(DeepPath(top, kFits / 3), 1, 2);
  const std::string listing = Mapiadmin("tree Test " + Quote(top));

  const ProgramRun save = Run(TESKSAVE_PATH, "-t Test " + Quote(top) + " Mail");
  EXPECT_EQ(save.rc, 0) << Describe(save);
  const std::string saved = "Mail\\Personal Folders_Inbox_Deep";
  const std::string inMaildir = Mapiadmin("tree Test " + Quote(saved));
  EXPECT_EQ(inMaildir.substr(inMaildir.find('\n')), listing.substr(listing.find('\n')));

  Mapiadmin("folder create Test " + Quote("Personal Folders\\Restored"));
  const ProgramRun restore = Run(TESKRESTORE_PATH, "Test " + Quote(saved) + " " + Quote("Personal Folders\\Restored"));
  EXPECT_EQ(restore.rc, 0) << Describe(restore);
  const std::string restored = Mapiadmin("tree Test " + Quote("Personal Folders\\Restored"));
  EXPECT_EQ(restored.substr(restored.find('\n')), listing.substr(listing.find('\n')));

  // Some two thousand levels make a path longer than the system takes.
  Mapiadmin("folder create Test " + Quote(DeepPath("Personal Folders\\Inbox\\Deeper", 2100)));
  const std::string before = AllStores();
  const ProgramRun deep = Run(TESKSAVE_PATH, "-t Test " + Quote("Personal Folders\\Inbox\\Deeper") + " Mail");
  EXPECT_EQ(deep.rc, 1) << Describe(deep);
  EXPECT_TRUE(deep.HasMatch("ERROR: MAPI error 80040116, MAPI_E_DISK_ERROR Copy operation failed!, module: "
                            "FoldersCopier, line: [0-9]+"))
      << Describe(deep);
  EXPECT_TRUE(deep.HasMatch("WARNING: cannot create .*: File name too long")) << Describe(deep);
  EXPECT_EQ(AllStores(), before);
}

}  // namespace
