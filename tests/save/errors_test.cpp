// Failed runs of the save program: the one ERROR line each failure writes,
// the exit code, and that a failed run changes no store.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "save_util.h"

namespace {

using namespace save_test;
using namespace testing_support;
using Names = std::vector<std::string>;

const char kInbox[] = "Personal Folders\\Inbox";

class SaveErrors : public SaveTest {
 protected:
  void SetUp() override {
    Mapiadmin("generate Test " + Quote("Personal Folders\\Inbox\\Sub") + " --messages 5 --seed 2");
    mailbox = Tree("Personal Folders");
    archive = Tree("Archive");
  }
  // A failure after the logon with exactly this ERROR line and nothing else.
  void ExpectLookupFailure(const std::string& source, const std::string& target, const std::string& error) {
    SCOPED_TRACE(source + " -> " + target);
    const RunResult r = Run({"Test", source, target});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lines, LogonThen("ERROR: " + error));
  }
  // A failure of the copy itself, after every INFO line up to the copy.
  void ExpectCopyFailure(const RunResult& r, const std::string& source, const std::string& target,
                         const std::string& name, const std::string& error) {
    EXPECT_EQ(r.exitCode, 1);
    const Names expected = {
        "Successfully logged on to MAPI.",
        "Source path found " + source,
        "Target path found " + target,
        "Preparing to copy structure into folder <" + name + ">",
        "ERROR: " + error,
    };
    EXPECT_EQ(r.lines, expected);
  }
  void ExpectStoresUnchanged() {
    EXPECT_EQ(Tree("Personal Folders"), mailbox);
    EXPECT_EQ(Tree("Archive"), archive);
  }
  nlohmann::json mailbox, archive;
};

TEST_F(SaveErrors, UnknownProfile) {
  const RunResult r = Run({"Nobody", kInbox, "Archive"});
  EXPECT_EQ(r.exitCode, 1);
  // The reason follows as a WARNING line.
  EXPECT_EQ(r.lines,
            (Names{"ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon to MAPI., module: TeskSave, line: 114",
                   "WARNING: there is no profile \"Nobody\" (no file " + (profile.dir / "config/Nobody.toml") + ")"}));
  ExpectStoresUnchanged();
}

TEST_F(SaveErrors, AProfileThatDoesNotLoadSaysWhy) {
  // A store entry added by hand without its guid: the logon fails as
  // before, and a WARNING line names the profile file, the entry and the key.
  const std::string file = profile.dir / "config/Test.toml";
  std::string text = ReadFile(file);
  const size_t second = text.find("[[store]]", text.find("[[store]]") + 1);
  const size_t guid = text.find("guid = ", second);
  text.erase(guid, text.find('\n', guid) + 1 - guid);
  std::ofstream(file, std::ios::trunc) << text;
  const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(second), '\n'));
  const std::string warning = "WARNING: profile " + file + ", line " + std::to_string(line) +
                              ": store \"Archive\": the key \"guid\" is missing (the store's identity, such as "
                              "\"{D331DA56-D726-48B7-82F5-AA654D84A30D}\"; mapiadmin store add writes it)";
  const RunResult r = Run({"", kInbox, "Archive"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.lines,
            (Names{"ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon to MAPI., module: TeskSave, line: 114",
                   warning}));
  EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
  // A profile file that is no TOML names the line of the fault.
  std::ofstream(file, std::ios::app) << "[[store]\n";
  const RunResult broken = Run({"Test", kInbox, "Archive"});
  ASSERT_EQ(broken.lines.size(), 2u);
  EXPECT_TRUE(broken.lines[1].starts_with("WARNING: profile " + file + ", line " +
                                          std::to_string(std::count(text.begin(), text.end(), '\n') + 1) +
                                          ": not a valid TOML file: "))
      << broken.lines[1];
}

TEST_F(SaveErrors, StoreNotFound) {
  const std::string tail = " not found!, module: MAPIFolderFind, line: 98";
  ExpectLookupFailure("Nowhere\\Inbox", "Archive", "Message store Nowhere" + tail);
  ExpectLookupFailure("\\Personal Folders\\Inbox", "Archive", "Message store " + tail);
  ExpectLookupFailure("Personal Folders \\Inbox", "Archive", "Message store Personal Folders " + tail);
  ExpectLookupFailure("Nowhere", "Nothing\\Else", "Message store Nowhere" + tail);  // the source is reported
  const RunResult target = Run({"Test", kInbox, "Archiv\\Old"});
  EXPECT_EQ(target.exitCode, 1);
  ASSERT_FALSE(target.lines.empty());
  EXPECT_EQ(target.lines.back(), "ERROR: Message store Archiv" + tail);
  EXPECT_EQ(std::count_if(target.lines.begin(), target.lines.end(),
                          [](const std::string& l) { return l.starts_with("ERROR"); }),
            1);
  ExpectStoresUnchanged();
}

TEST_F(SaveErrors, FolderNotFound) {
  const std::string tail = " not found!, module: MAPIFolderFind, line: 173";
  ExpectLookupFailure("Personal Folders\\Inbox\\Missing\\Deeper", "Archive", "Subfolder Missing" + tail);
  ExpectLookupFailure("Personal Folders\\Inbox\\Sub\\Deeper", "Archive", "Subfolder Deeper" + tail);
  ExpectLookupFailure("Personal Folders\\\\Inbox", "Archive", "Subfolder " + tail);
  ExpectLookupFailure("Personal Folders\\Inbox\\\\", "Archive", "Subfolder " + tail);
  ExpectLookupFailure("Personal Folders\\ Inbox", "Archive", "Subfolder  Inbox" + tail);
  ExpectLookupFailure("Personal Folders\\Nope", "Archive\\Nada", "Subfolder Nope" + tail);  // the source is reported

  const RunResult target = Run({"Test", kInbox, "Archive\\Nada"});
  EXPECT_EQ(target.exitCode, 1);
  ASSERT_FALSE(target.lines.empty());
  EXPECT_EQ(target.lines.front(), "Successfully logged on to MAPI.");
  EXPECT_EQ(target.lines.back(), "ERROR: Subfolder Nada" + tail);
  for (const auto& l : target.lines) {
    EXPECT_FALSE(l.starts_with("Target path found")) << l;
    EXPECT_FALSE(l.starts_with("Preparing")) << l;
  }
  ExpectStoresUnchanged();
}

TEST_F(SaveErrors, OtherSpellingsOfThePathsWork) {
  // Outer blanks and tabs, ASCII case and one trailing backslash do not matter.
  const std::string source = " \tpersonal folders\\INBOX\\sub\\ ";
  const std::string target = "\tARCHIVE\\ ";
  const auto sub = Tree("Personal Folders\\Inbox\\Sub");
  const RunResult r = Run({"Test", source, target});
  const std::string name = ExpectSuccess(r, source, target);
  ExpectStampedName(name, source, r);
  EXPECT_EQ(Child(Tree("Archive"), name), sub);
}

TEST_F(SaveErrors, StoreWithoutRootFolder) {
  profile.AddStore("Broken", "archive");
  {
    auto session = profile.Logon();
    auto store = OpenStore(session, "Broken");
    SizedSPropTagArray(1, tags) = {1, {PR_IPM_SUBTREE_ENTRYID}};
    ASSERT_EQ(store->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr), S_OK);
    ASSERT_EQ(EntryId(store, PR_IPM_SUBTREE_ENTRYID), "");
  }
  const std::string error =
      "MAPI error 8004010f, MAPI_E_NOT_FOUND Failed to find root folder in message store Broken., module: "
      "MAPIFolderFind, line: 103";
  ExpectLookupFailure("Broken\\Deleted Items", "Archive", error);
  const RunResult target = Run({"Test", kInbox, "Broken"});
  EXPECT_EQ(target.exitCode, 1);
  ASSERT_FALSE(target.lines.empty());
  EXPECT_EQ(target.lines.back(), "ERROR: " + error);
  ExpectStoresUnchanged();
}

TEST_F(SaveErrors, RootFolderThatDoesNotExist) {
  profile.AddStore("Dangling", "archive");
  {
    auto session = profile.Logon();
    auto store = OpenStore(session, "Dangling");
    auto top = OpenFolder(store, "");
    auto gone = CreateFolder(top, "Gone");
    std::string id = EntryId(gone);
    gone.Release();
    SPropValue v{};
    v.ulPropTag = PR_IPM_SUBTREE_ENTRYID;
    v.Value.bin.cb = static_cast<ULONG>(id.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(id.data());
    ASSERT_EQ(HrSetOneProp(store, &v), S_OK);
    ASSERT_EQ(top->DeleteFolder(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), 0, nullptr, 0),
              S_OK);
  }
  ExpectLookupFailure("Dangling\\Deleted Items", "Archive",
                      "MAPI error 8004010f, MAPI_E_NOT_FOUND Failed to open root folder in message store Dangling., "
                      "module: MAPIFolderFind, line: 115");
  ExpectStoresUnchanged();
}

TEST_F(SaveErrors, SecondSaveCollides) {
  const std::string collision =
      "MAPI error 80040604, MAPI_E_COLLISION Copy operation failed!, module: FoldersCopier, line: 145";
  const auto inbox = Tree(kInbox);

  // Without time stamps the name is always the same.
  const RunResult first = Run({"-t", "Test", kInbox, "Archive"});
  EXPECT_EQ(ExpectSuccess(first, kInbox, "Archive"), Underscored(kInbox));
  const auto saved = Tree("Archive");
  const RunResult second = Run({"-t", "Test", kInbox, "Archive"});
  ExpectCopyFailure(second, kInbox, "Archive", Underscored(kInbox), collision);
  // Folder names compare without regard to ASCII case.
  const RunResult capitals = Run({"-t", "Test", "PERSONAL FOLDERS\\INBOX", "Archive"});
  ExpectCopyFailure(capitals, "PERSONAL FOLDERS\\INBOX", "Archive", "PERSONAL FOLDERS_INBOX", collision);
  EXPECT_EQ(Tree("Archive"), saved);
  EXPECT_EQ(Child(saved, Underscored(kInbox)), inbox);

  // Time-stamped names collide within one minute. Two runs can straddle a
  // minute; then the pair is repeated in a fresh target.
  bool sameMinute = false;
  for (int attempt = 0; attempt < 3 && !sameMinute; ++attempt) {
    const std::string target = "Archive\\Try " + std::to_string(attempt);
    Mapiadmin("folder create Test " + Quote(target));
    const RunResult a = Run({"Test", kInbox, target});
    const std::string name = ExpectSuccess(a, kInbox, target);
    const auto before = Tree(target);
    const RunResult b = Run({"Test", kInbox, target});
    if (PreparedName(b) != name) continue;
    sameMinute = true;
    ExpectCopyFailure(b, kInbox, target, name, collision);
    EXPECT_EQ(Tree(target), before);
    EXPECT_EQ(Child(before, name), inbox);
  }
  EXPECT_TRUE(sameMinute);
}

TEST_F(SaveErrors, TargetInsideTheSource) {
  const std::string cycle =
      "MAPI error 8004060b, MAPI_E_FOLDER_CYCLE Copy operation failed!, module: FoldersCopier, line: 145";
  const std::string sub = "Personal Folders\\Inbox\\Sub";
  const RunResult below = Run({"Test", kInbox, sub});
  ExpectCopyFailure(below, kInbox, sub, PreparedName(below), cycle);
  ExpectStampedName(PreparedName(below), kInbox, below);
  const RunResult itself = Run({"-t", "Test", kInbox, kInbox});
  ExpectCopyFailure(itself, kInbox, kInbox, Underscored(kInbox), cycle);
  const RunResult wholeStore = Run({"-t", "Test", "Personal Folders", "Personal Folders\\Drafts"});
  ExpectCopyFailure(wholeStore, "Personal Folders", "Personal Folders\\Drafts", "Personal Folders", cycle);
  ExpectStoresUnchanged();
}

}  // namespace
