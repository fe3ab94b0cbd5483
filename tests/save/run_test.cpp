// Successful runs of the save program: what it copies, where, under which
// name, and what it writes into its log.
#include <gtest/gtest.h>

#include <mapi/admin.h>

#include <algorithm>
#include <string>
#include <vector>

#include "save_util.h"

namespace {

using namespace save_test;
using testing_support::Mapiadmin;
using testing_support::Quote;
using Names = std::vector<std::string>;

// A start without both paths wants its window; there is no display here.
const char kNoDisplay[] = "TeskSave: no display available: neither DISPLAY nor WAYLAND_DISPLAY is set\n";
const char kInbox[] = "Personal Folders\\Inbox";
const char kProjects[] = "Personal Folders\\Inbox\\Projects";

class SaveRun : public SaveTest {
 protected:
  void SetUp() override {
    Mapiadmin("generate Test " + Quote(kProjects) + " --messages 30 --attachments --seed 7");
    Mapiadmin("generate Test " + Quote(std::string(kProjects) + "\\2026") + " --messages 8 --seed 8");
    Mapiadmin("folder create Test " + Quote(std::string(kProjects) + "\\Empty") + " --class IPF.Note");
    auto session = profile.Logon();
    auto store = testing_support::OpenStore(session, "Personal Folders");
    testing_support::AddMessages(testing_support::OpenFolder(store, "Inbox\\Projects"), 3, /*associated=*/true);
    testing_support::AddMessages(testing_support::OpenFolder(store, "Inbox"), 2);
  }
  void MakeFolder(const std::string& path) { Mapiadmin("folder create Test " + Quote(path)); }
};

TEST_F(SaveRun, CopiesTheSourceTreeIntoAStampedFolder) {
  const auto source = Tree(kInbox);
  ASSERT_EQ(source["messages"], 2);
  ASSERT_EQ(source["folders"].size(), 1u);
  ASSERT_EQ(source["folders"][0]["associated"], 3);
  const auto mailboxBefore = Tree("Personal Folders");

  const RunResult r = Run({"Test", kInbox, "Archive"});
  const std::string name = ExpectSuccess(r, kInbox, "Archive");
  ExpectStampedName(name, kInbox, r);
  EXPECT_EQ(ChildNames("Archive"), (Names{name, "Deleted Items"}));
  EXPECT_EQ(Tree("Archive\\" + name), source);
  EXPECT_EQ(Tree("Personal Folders"), mailboxBefore);  // the source side is untouched
}

TEST_F(SaveRun, SavesIntoAnyFolderNextToEarlierSaves) {
  // Into a folder of the source's own store, twice with different sources.
  const auto projects = Tree(kProjects);
  const RunResult first = Run({"Test", kProjects, "Personal Folders\\Deleted Items"});
  const std::string firstName = ExpectSuccess(first, kProjects, "Personal Folders\\Deleted Items");
  ExpectStampedName(firstName, kProjects, first);

  const std::string year = std::string(kProjects) + "\\2026";
  const auto yearTree = Tree(year);
  const RunResult second = Run({"Test", year, "Personal Folders\\Deleted Items"});
  const std::string secondName = ExpectSuccess(second, year, "Personal Folders\\Deleted Items");
  ExpectStampedName(secondName, year, second);

  EXPECT_EQ(ChildNames("Personal Folders\\Deleted Items"),
            (Names{std::min(firstName, secondName), std::max(firstName, secondName)}));
  EXPECT_EQ(Tree("Personal Folders\\Deleted Items\\" + firstName), projects);
  EXPECT_EQ(Tree("Personal Folders\\Deleted Items\\" + secondName), yearTree);
  EXPECT_EQ(Tree(kProjects), projects);

  // The whole visible tree of a store is a source too.
  const auto archive = Tree("Archive");
  MakeFolder("Personal Folders\\Drafts\\Whole");
  const RunResult whole = Run({"Test", "Archive", "Personal Folders\\Drafts\\Whole"});
  const std::string wholeName = ExpectSuccess(whole, "Archive", "Personal Folders\\Drafts\\Whole");
  ExpectStampedName(wholeName, "Archive", whole);
  EXPECT_EQ(Tree("Personal Folders\\Drafts\\Whole\\" + wholeName), archive);
}

TEST_F(SaveRun, NoTimeStampSwitch) {
  const auto source = Tree(kProjects);
  for (const char* folder : {"A", "B", "C", "D"}) MakeFolder(std::string("Archive\\") + folder);

  // "-t" or "/T" anywhere: the new folder is called like the source path.
  // "-t" or "/T" anywhere: the new folder is called like the source path,
  // its separators turned into underscores as in a time-stamped name.
  const RunResult lower = Run({"-t", "Test", kProjects, "Archive\\A"});
  EXPECT_EQ(ExpectSuccess(lower, kProjects, "Archive\\A"), Underscored(kProjects));
  EXPECT_EQ(ChildNames("Archive\\A"), Names{Underscored(kProjects)});
  EXPECT_EQ(Child(Tree("Archive\\A"), Underscored(kProjects)), source);

  const RunResult upper = Run({"Test", kProjects, "Archive\\B", "/T"});
  EXPECT_EQ(ExpectSuccess(upper, kProjects, "Archive\\B"), Underscored(kProjects));
  EXPECT_EQ(Child(Tree("Archive\\B"), Underscored(kProjects)), source);
  // And the copy can be addressed by a path, as a restore needs it.
  EXPECT_EQ(Tree("Archive\\A\\" + Underscored(kProjects)), source);

  // Other words starting with t are not the switch.
  const RunResult tt = Run({"-tt", "Test", kProjects, "Archive\\C"});
  ExpectStampedName(ExpectSuccess(tt, kProjects, "Archive\\C"), kProjects, tt);
  const RunResult test = Run({"/test", "Test", kProjects, "Archive\\D"});
  ExpectStampedName(ExpectSuccess(test, kProjects, "Archive\\D"), kProjects, test);
}

TEST_F(SaveRun, SwitchesAnywhereAndExtraArgumentsIgnored) {
  const auto source = Tree(kProjects);
  const auto drafts = Tree("Personal Folders\\Drafts");
  const RunResult r = Run({"-mailto:admin@example.org", "Test", "-t", kProjects, "/mailto:x@y", "Archive",
                           "Personal Folders\\Drafts", "more"});
  EXPECT_EQ(ExpectSuccess(r, kProjects, "Archive"), Underscored(kProjects));
  EXPECT_EQ(Child(Tree("Archive"), Underscored(kProjects)), source);
  EXPECT_EQ(Tree("Personal Folders\\Drafts"), drafts);
}

TEST_F(SaveRun, ProfileArgument) {
  namespace admin = tesk::mapi::admin;
  admin::CreateProfile("Other", false);
  const std::string otherFile = profile.dir / "other.store";
  admin::CreateStore(otherFile, "Other Store", "mailbox");
  admin::AddStore("Other", otherFile, true);
  Mapiadmin("generate Other " + Quote("Other Store\\Inbox") + " --messages 4 --seed 3");

  // An empty profile argument is the default profile.
  const auto source = Tree(kProjects);
  const RunResult byDefault = Run({"", kProjects, "Archive"});
  const std::string name = ExpectSuccess(byDefault, kProjects, "Archive");
  EXPECT_EQ(Tree("Archive\\" + name), source);

  // A named profile sees its own stores only.
  const auto otherInbox = Tree("Other Store\\Inbox", "Other");
  const RunResult other = Run({"Other", "Other Store\\Inbox", "Other Store\\Drafts"});
  const std::string otherName = ExpectSuccess(other, "Other Store\\Inbox", "Other Store\\Drafts");
  EXPECT_EQ(Tree("Other Store\\Drafts\\" + otherName, "Other"), otherInbox);

  const RunResult foreign = Run({"Other", kProjects, "Other Store"});
  EXPECT_EQ(foreign.exitCode, 1);
  EXPECT_EQ(foreign.lines,
            LogonThen("ERROR: Message store Personal Folders not found!, module: MAPIFolderFind, line: 98"));
  const RunResult defaultOnly = Run({"", "Other Store\\Inbox", "Archive"});
  EXPECT_EQ(defaultOnly.exitCode, 1);
  EXPECT_EQ(defaultOnly.lines,
            LogonThen("ERROR: Message store Other Store not found!, module: MAPIFolderFind, line: 98"));
}

TEST_F(SaveRun, RepairsUmlautsInSourceAndTarget) {
  // "Öfen Wände Füße Möbel" as a batch file in the Windows code page reaches
  // the program through code page 850.
  const std::string utf8 = "\xC3\x96" "fen W\xC3\xA4nde F\xC3\xBC\xC3\x9F" "e M\xC3\xB6" "bel";
  const std::string cp850 = "\xCD" "fen W\xF5nde F\xB3\xAF" "e M\xF7" "bel";
  const std::string austria = "\xC3\x96" "sterreich";
  Mapiadmin("generate Test " + Quote(std::string(kInbox) + "\\" + utf8) + " --messages 3 --seed 5");
  MakeFolder("Archive\\" + austria);
  const std::string source = std::string(kInbox) + "\\" + utf8;
  const auto tree = Tree(source);

  const RunResult repaired = Run({"Test", std::string(kInbox) + "\\" + cp850, "Archive\\\xCD" "sterreich"});
  const std::string name = ExpectSuccess(repaired, source, "Archive\\" + austria);
  ExpectStampedName(name, source, repaired);
  EXPECT_EQ(Tree("Archive\\" + austria + "\\" + name), tree);

  // Paths already in UTF-8 are taken as they are.
  const RunResult plain = Run({"-t", "Test", source, "Archive\\" + austria});
  EXPECT_EQ(ExpectSuccess(plain, source, "Archive\\" + austria), Underscored(source));
  EXPECT_EQ(Child(Tree("Archive\\" + austria), Underscored(source)), tree);

  // The profile name is not repaired.
  namespace admin = tesk::mapi::admin;
  admin::CreateProfile("Pr\xC3\xBC" "fung", false);
  admin::AddStore("Pr\xC3\xBC" "fung", profile.mailboxFile, true);
  admin::AddStore("Pr\xC3\xBC" "fung", profile.archiveFile, false);
  const RunResult cp850Profile = Run({"Pr\xB3" "fung", kProjects, "Archive"});
  EXPECT_EQ(cp850Profile.exitCode, 1);
  EXPECT_EQ(cp850Profile.lines,
            (Names{"ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon to MAPI., module: TeskSave, line: 114",
                   "WARNING: there is no profile \"Pr\xB3" "fung\" (no file " + (profile.dir / "config/Pr\xB3" "fung.toml") +
                       ")"}));
  const RunResult utf8Profile = Run({"Pr\xC3\xBC" "fung", kProjects, "Archive"});
  ExpectSuccess(utf8Profile, kProjects, "Archive");
}

TEST_F(SaveRun, WithoutSourceAndTargetOnlyWarns) {
  const auto archive = Tree("Archive");
  const auto mailbox = Tree("Personal Folders");
  // With a folder given, the line says which one is missing.
  const std::string target =
      "TeskSave: TARGET is missing, and the dialog cannot open (no display available: neither DISPLAY nor "
      "WAYLAND_DISPLAY is set).\nUsage: TeskSave [-t] [-n] [-q] [-mailto:ADDRESS] PROFILE SOURCE TARGET\n";
  std::string source = target;
  source.replace(10, 6, "SOURCE");
  const std::vector<std::pair<std::vector<std::string>, std::string>> commandLines = {
      {{}, kNoDisplay},
      {{"Test"}, kNoDisplay},
      {{"Test", kInbox}, target},
      {{"Test", "", "Archive"}, source},
      {{"Test", kInbox, ""}, target},
      {{"-t", "/mailto:a@b"}, kNoDisplay},
      {{"NoSuchProfile", kInbox}, target},  // no logon is tried
  };
  for (const auto& [args, output] : commandLines) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, output);
    ASSERT_EQ(r.logFiles.size(), 1u);
    EXPECT_EQ(r.lines, Names{});
  }
  EXPECT_EQ(Tree("Archive"), archive);
  EXPECT_EQ(Tree("Personal Folders"), mailbox);
}

}  // namespace
