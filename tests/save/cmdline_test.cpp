// The command line of the save program, the repair of German letters in
// paths, and the name of the new folder.
#include <gtest/gtest.h>

#include <FoldersCopier.h>
#include <RepairUmlauts.h>
#include <TeskSaveCmdLineInfo.h>

#include <ctime>
#include <string>
#include <vector>

#include "save_util.h"

namespace {

// Parses the arguments (without the program path) as the program does.
void Parse(std::vector<const char*> args, CTeskSaveCmdLineInfo& info) {
  args.insert(args.begin(), "/opt/tesk/TeskSave");
  AfxSetCommandLine(static_cast<int>(args.size()), args.data());
  CWinApp app;
  app.ParseCommandLine(info);
}

std::string S(const CString& s) { return std::string(s); }

TEST(SaveCmdLine, PlainArgumentsAreProfileSourceTarget) {
  CTeskSaveCmdLineInfo full;
  Parse({"Test", "Personal Folders\\Inbox", "Archive"}, full);
  EXPECT_EQ(S(full.m_strProfile), "Test");
  EXPECT_EQ(S(full.m_strSource), "Personal Folders\\Inbox");
  EXPECT_EQ(S(full.m_strTarget), "Archive");
  EXPECT_TRUE(full.IsBatchRun());
  EXPECT_FALSE(full.m_bNoTimeStamp);
  EXPECT_EQ(S(full.m_strMailTo), "");

  // An empty first argument is the default profile, and still counts.
  CTeskSaveCmdLineInfo defaultProfile;
  Parse({"", "Personal Folders\\Inbox", "Archive"}, defaultProfile);
  EXPECT_EQ(S(defaultProfile.m_strProfile), "");
  EXPECT_EQ(S(defaultProfile.m_strSource), "Personal Folders\\Inbox");
  EXPECT_EQ(S(defaultProfile.m_strTarget), "Archive");
  EXPECT_TRUE(defaultProfile.IsBatchRun());

  // A fourth plain argument is dropped.
  CTeskSaveCmdLineInfo four;
  Parse({"Test", "A\\B", "C", "D\\E"}, four);
  EXPECT_EQ(S(four.m_strSource), "A\\B");
  EXPECT_EQ(S(four.m_strTarget), "C");
  EXPECT_TRUE(four.IsBatchRun());
}

TEST(SaveCmdLine, BatchRunNeedsSourceAndTarget) {
  const std::vector<std::vector<const char*>> incomplete = {
      {}, {"Test"}, {"Test", "Personal Folders\\Inbox"}, {"Test", "", "Archive"}, {"Test", "Personal Folders", ""},
      {"-t", "/mailto:a@b"},
  };
  for (const auto& args : incomplete) {
    CTeskSaveCmdLineInfo info;
    Parse(args, info);
    EXPECT_FALSE(info.IsBatchRun()) << args.size() << " arguments";
  }
}

TEST(SaveCmdLine, MailtoSwitch) {
  struct Case {
    std::vector<const char*> args;
    const char* expected;
  };
  const Case cases[] = {
      {{"-mailto:admin@example.org"}, "admin@example.org"},
      {{"/mailto:admin@example.org"}, "admin@example.org"},
      {{"-xmailto:a@b"}, "a@b"},                           // anything in front is ignored
      {{"-MAILTO:a@b"}, ""},                               // the keyword is case-sensitive
      {{"-mailto:a@b", "-MAILTO:c@d"}, "a@b"},
      {{"-mailto:a@b", "-mailto:c@d"}, "c@d"},             // the last one wins
      {{"-mailto:a@b", "-mailto:"}, ""},                   // also when it is empty
      {{"mailto:a@b"}, ""},                                // a plain argument is the profile
      {{"-mailto:a@b mailto:c@d"}, "a@b mailto:c@d"},      // only the first keyword counts
  };
  for (const auto& c : cases) {
    CTeskSaveCmdLineInfo info;
    Parse(c.args, info);
    EXPECT_EQ(S(info.m_strMailTo), c.expected) << c.args[0];
  }
  CTeskSaveCmdLineInfo plain;
  Parse({"mailto:a@b"}, plain);
  EXPECT_EQ(S(plain.m_strProfile), "mailto:a@b");
}

TEST(SaveCmdLine, NoTimeStampSwitch) {
  struct Case {
    std::vector<const char*> args;
    bool expected;
  };
  const Case cases[] = {
      {{"-t"}, true}, {{"/t"}, true},    {{"-T"}, true},  {{"/T"}, true},     {{"-tt"}, false},
      {{"-test"}, false}, {{"-"}, false}, {{"t"}, false}, {{"-mailto:t"}, false},
  };
  for (const auto& c : cases) {
    CTeskSaveCmdLineInfo info;
    Parse(c.args, info);
    EXPECT_EQ(info.m_bNoTimeStamp != FALSE, c.expected) << c.args[0];
  }

  // Switches mix freely with the plain arguments and do not count as them.
  CTeskSaveCmdLineInfo mixed;
  Parse({"Test", "-t", "Personal Folders\\Inbox", "/mailto:x@y", "Archive"}, mixed);
  EXPECT_TRUE(mixed.m_bNoTimeStamp);
  EXPECT_EQ(S(mixed.m_strMailTo), "x@y");
  EXPECT_EQ(S(mixed.m_strProfile), "Test");
  EXPECT_EQ(S(mixed.m_strSource), "Personal Folders\\Inbox");
  EXPECT_EQ(S(mixed.m_strTarget), "Archive");
  EXPECT_EQ(mixed.m_nParams, 3);
}

TEST(SaveUmlauts, LoneBytesBecomeLetters) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Gr\xB3\xAF" "e", "Gr\xC3\xBC\xC3\x9F" "e"},                 // ü ß
      {"\xCD" "sterreich", "\xC3\x96" "sterreich"},                  // Ö
      {"K\xF7ln", "K\xC3\xB6ln"},                                    // ö
      {"M\xF5rz", "M\xC3\xA4rz"},                                    // ä
      {"\xB3\xB3", "\xC3\xBC\xC3\xBC"},
      {"Ende\xCD", "Ende\xC3\x96"},
      {"\xF5\xB3", "\xC3\xA4\xC3\xBC"},                              // F5 never starts UTF-8
      {"\xC0\xAF", "\xC0\xC3\x9F"},                                  // overlong: C0 stays, AF is lone
      {"\xE2\xB3", "\xE2\xC3\xBC"},                                  // cut-off sequence
      {"\xED\xB3\x80", "\xED\xC3\xBC\x80"},                          // surrogate: not valid UTF-8
      {"Personal Folders\\Inbox\\\xCD" "ffentlich",
       "Personal Folders\\Inbox\\\xC3\x96" "ffentlich"},
  };
  for (const auto& c : cases) {
    CString text(c.in.c_str());
    RepairUmlauts(text);
    EXPECT_EQ(S(text), c.out) << c.in;
  }
}

TEST(SaveUmlauts, ValidUtf8AndOtherBytesStay) {
  const std::string same[] = {
      "",
      "Personal Folders\\Inbox",
      "Gr\xC3\xBC\xC3\x9F" "e \xC3\x96l \xC3\xA4 \xC3\xB6",  // already UTF-8
      "\xC3\xB3",                                            // B3 inside a valid sequence
      "\xCD\xB3",                                            // valid as UTF-8 (U+0373), so left alone
      "\xE2\x82\xAC \xF0\x9F\x98\x80",                       // three and four bytes
      "\x81\xE4\xFC",                                        // other lone bytes are not touched
      "\xE2\x82",                                            // cut off, but no byte to repair
  };
  for (const auto& s : same) {
    CString text(s.c_str());
    RepairUmlauts(text);
    EXPECT_EQ(S(text), s);
  }
}

TEST(SaveFolderName, StampedOrPlain) {
  EXPECT_EQ(S(CFoldersCopier::TargetFolderName("Personal Folders\\Inbox", TRUE)), "Personal Folders_Inbox");
  const std::time_t before = std::time(nullptr);
  const std::string name = S(CFoldersCopier::TargetFolderName("Personal Folders\\Inbox\\\\Sub\\", FALSE));
  const std::time_t after = std::time(nullptr);
  ASSERT_GT(name.size(), 16u);
  EXPECT_TRUE(save_test::MinuteStamps(before, after).count(name.substr(0, 16))) << name;
  EXPECT_EQ(name.substr(16), " Personal Folders_Inbox__Sub_");
}

}  // namespace
