// CString: the edge cases the framework's callers rely on.
#include <afx.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "win_test_util.h"

namespace {

TEST(WinCString, ConstructionHandlesNullCountsAndResources) {
  EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
  EXPECT_EQ(CString("abcdef", 3), "abc");
  EXPECT_TRUE(CString("abc", -1).IsEmpty());
  EXPECT_EQ(CString('x', 3), "xxx");
  EXPECT_EQ(CString(std::string_view("a\0b", 3)).GetLength(), 3);

  RegisterStringTable("en", {{4711, "from the table"}});
  EXPECT_EQ(CString(MAKEINTRESOURCE(4711)), "from the table");
  CString s;
  EXPECT_FALSE(s.LoadString(4712));
  EXPECT_TRUE(s.IsEmpty());
  ClearStringTables();
}

TEST(WinCString, FormatHandlesOutputOfAnyLength) {
  const std::string big(100000, 'x');
  CString s;
  s.Format("<%s|%d>", big.c_str(), 42);
  ASSERT_EQ(s.GetLength(), 100000 + 5);
  EXPECT_EQ(s.Right(4), "|42>");

  // Its own text as an argument.
  s = "ab";
  s.Format("%s-%s", s.GetString(), s.GetString());
  EXPECT_EQ(s, "ab-ab");
  s.AppendFormat("%05.1f%c", 2.25, '!');
  EXPECT_EQ(s, "ab-ab002.2!");
  s.AppendFormat("%s", big.c_str());
  EXPECT_EQ(s.GetLength(), 11 + 100000);

  s.Format("%s", "");
  EXPECT_TRUE(s.IsEmpty());

  RegisterStringTable("en", {{100, "%d files in %s"}});
  s.Format(100U, 3, "Inbox");
  EXPECT_EQ(s, "3 files in Inbox");
  ClearStringTables();
}

TEST(WinCString, FindAtTheBoundaries) {
  const CString s("abcabc");
  EXPECT_EQ(s.Find('a'), 0);
  EXPECT_EQ(s.Find('a', 1), 3);
  EXPECT_EQ(s.Find('c', 5), 5);
  EXPECT_EQ(s.Find('a', 6), -1);
  EXPECT_EQ(s.Find('a', -1), -1);
  EXPECT_EQ(s.Find("bc", 2), 4);
  EXPECT_EQ(s.Find("abcabcd"), -1);
  EXPECT_EQ(s.Find("", 6), 6);
  EXPECT_EQ(s.Find("", 7), -1);
  EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(s.ReverseFind('b'), 4);
  EXPECT_EQ(s.ReverseFind('z'), -1);
  EXPECT_EQ(CString().ReverseFind('a'), -1);
  EXPECT_EQ(s.FindOneOf("xc"), 2);

  // A byte of a UTF-8 sequence is not a character of its own.
  const CString umlaut("x\xC3\xA4y\xA4");  // "xäy" and a stray byte
  EXPECT_EQ(umlaut.Find('\xA4'), 4);
  EXPECT_EQ(umlaut.ReverseFind('\xC3'), -1);
  EXPECT_EQ(umlaut.Find("\xC3\xA4"), 1);
  EXPECT_EQ(umlaut.FindOneOf("\xC3\xA4"), 1);
}

TEST(WinCString, ReplaceAndRemoveCountWhatTheyChange) {
  CString s("aaaa");
  EXPECT_EQ(s.Replace("aa", "b"), 2);
  EXPECT_EQ(s, "bb");
  EXPECT_EQ(s.Replace("b", "xyz"), 2);
  EXPECT_EQ(s, "xyzxyz");
  EXPECT_EQ(s.Replace("", "q"), 0);
  EXPECT_EQ(s.Replace("z", nullptr), 2);
  EXPECT_EQ(s, "xyxy");
  EXPECT_EQ(s.Replace("nothing", "x"), 0);

  // Arguments that point into the string itself.
  s = "abcabc";
  EXPECT_EQ(s.Replace(s.GetString() + 3, s.GetString()), 2);
  EXPECT_EQ(s, "abcabcabcabc");

  s = "a.b.c";
  EXPECT_EQ(s.Replace('.', '/'), 2);
  EXPECT_EQ(s, "a/b/c");
  EXPECT_EQ(s.Remove('/'), 2);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(s.Remove('z'), 0);

  CString utf("\xC3\xA4\xA4");  // 'ä' and a stray continuation byte
  EXPECT_EQ(utf.Replace('\xA4', '?'), 1);
  EXPECT_EQ(utf, "\xC3\xA4?");
  EXPECT_EQ(utf.Remove('\xC3'), 0);
}

TEST(WinCString, TrimRemovesWhitespaceCharsAndSets) {
  CString s(" \t\r\n\v\fword \v\f\t\r\n ");
  EXPECT_EQ(s.Trim(), "word");
  CString empty("   ");
  EXPECT_TRUE(empty.Trim().IsEmpty());

  s = "xxwordxx";
  EXPECT_EQ(s.TrimLeft('x'), "wordxx");
  EXPECT_EQ(s.TrimRight("xd"), "wor");
  s = "--==word=-";
  EXPECT_EQ(s.Trim("-="), "word");

  // Sets of UTF-8 characters trim whole characters only.
  s = "\xC3\xA4\xC3\xA4word\xC3\xA4";
  EXPECT_EQ(s.Trim("\xC3\xA4"), "word");
  s = "a\xC2\xA4";  // ends in '¤', which shares its last byte with 'ä'
  EXPECT_EQ(s.TrimRight("\xC3\xA4"), "a\xC2\xA4");
  s = "\xA4" "a";
  EXPECT_EQ(s.TrimLeft('\xA4'), "a");
}

TEST(WinCString, CompareNoCaseFoldsOnlyAscii) {
  const CString s("Hello");
  EXPECT_EQ(s.CompareNoCase("hELLO"), 0);
  EXPECT_LT(s.CompareNoCase("help"), 0);
  EXPECT_GT(s.CompareNoCase("HELL"), 0);
  EXPECT_NE(CString("\xC3\x84").CompareNoCase("\xC3\xA4"), 0);  // Ä and ä stay different
  EXPECT_NE(CString("[").CompareNoCase("{"), 0);
  EXPECT_EQ(s.CompareNoCase(nullptr), 1);

  // Bytes compare as unsigned values.
  EXPECT_GT(CString("\x80").Compare("a"), 0);
  EXPECT_GT(CString("\x80").CompareNoCase("A"), 0);

  CString upper("straße Ärger");
  upper.MakeUpper();
  EXPECT_EQ(upper, "STRAßE ÄRGER");
  upper.MakeLower();
  EXPECT_EQ(upper, "straße Ärger");
}

TEST(WinCString, ComparisonOperatorsWorkBothWays) {
  const CString s("abc");
  EXPECT_TRUE(s == "abc");
  EXPECT_TRUE("abc" == s);
  EXPECT_TRUE(s != "abd");
  EXPECT_TRUE(s < "abd");
  EXPECT_TRUE("abb" < s);
  EXPECT_TRUE(s == CString("abc"));
  EXPECT_FALSE(s == nullptr);
  EXPECT_TRUE(CString() == static_cast<const char*>(nullptr));

  std::set<CString> sorted{"b", "a", "c", "a"};
  EXPECT_EQ(sorted.size(), 3u);
  EXPECT_EQ(*sorted.begin(), "a");

  const CString joined = "<" + s + '>' + CString("!") + "?";
  EXPECT_EQ(joined, "<abc>!?");
  EXPECT_STREQ(static_cast<LPCTSTR>(joined), "<abc>!?");
  EXPECT_EQ(joined[1], 'a');
  EXPECT_EQ(joined[static_cast<std::size_t>(joined.GetLength())], '\0');
  EXPECT_EQ(joined.GetAt(100), '\0');
}

TEST(WinCString, ExtractionClampsCounts) {
  const CString s("abcdef");
  EXPECT_EQ(s.Left(2), "ab");
  EXPECT_EQ(s.Left(-1), "");
  EXPECT_EQ(s.Left(100), "abcdef");
  EXPECT_EQ(s.Right(2), "ef");
  EXPECT_EQ(s.Right(100), "abcdef");
  EXPECT_EQ(s.Right(-5), "");
  EXPECT_EQ(s.Mid(2), "cdef");
  EXPECT_EQ(s.Mid(-3), "abcdef");
  EXPECT_EQ(s.Mid(6), "");
  EXPECT_EQ(s.Mid(7, 2), "");
  EXPECT_EQ(s.Mid(2, 2), "cd");
  EXPECT_EQ(s.Mid(4, INT_MAX), "ef");
  EXPECT_EQ(s.Mid(2, -1), "");
  EXPECT_EQ(s.SpanIncluding("cba"), "abc");
  EXPECT_EQ(s.SpanExcluding("dx"), "abc");
}

TEST(WinCString, InsertAndDeleteStayInBounds) {
  CString s("ace");
  EXPECT_EQ(s.Insert(1, 'b'), 4);
  EXPECT_EQ(s.Insert(3, "d"), 5);
  EXPECT_EQ(s, "abcde");
  EXPECT_EQ(s.Insert(-4, "<"), 6);
  EXPECT_EQ(s.Insert(99, ">"), 7);
  EXPECT_EQ(s, "<abcde>");
  EXPECT_EQ(s.Delete(0), 6);
  EXPECT_EQ(s.Delete(3, 100), 3);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(s.Delete(5, 1), 3);
  EXPECT_EQ(s.Delete(1, 0), 3);
  EXPECT_EQ(s.Delete(-2, 1), 2);
  EXPECT_EQ(s, "bc");
  s.Truncate(1);
  EXPECT_EQ(s, "b");
}

TEST(WinCString, BufferAccessTakesTheWrittenLength) {
  CString s("old");
  char* buf = s.GetBuffer(100);
  std::strcpy(buf, "a new and longer text");
  s.ReleaseBuffer();
  EXPECT_EQ(s, "a new and longer text");

  // Exactly the requested room, without a terminator written.
  buf = s.GetBuffer(4);
  std::memcpy(buf, "wxyz", 4);
  s.ReleaseBuffer(4);
  EXPECT_EQ(s, "wxyz");

  buf = s.GetBufferSetLength(3);
  buf[0] = 'Q';
  s.ReleaseBuffer();
  EXPECT_EQ(s, "Qxy");

  buf = s.GetBuffer(10);
  buf[1] = '\0';
  s.ReleaseBuffer(-1);
  EXPECT_EQ(s.GetLength(), 1);
  s.GetBuffer(0);
  s.ReleaseBuffer(50);
  EXPECT_EQ(s, "Q");
}

TEST(WinCString, TokenizeAndReverse) {
  const CString s(",a,,bc;d;");
  int pos = 0;
  std::vector<std::string> tokens;
  for (CString t = s.Tokenize(",;", pos); pos != -1; t = s.Tokenize(",;", pos)) tokens.emplace_back(t.GetString());
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "bc", "d"}));
  pos = 0;
  EXPECT_EQ(CString("abc").Tokenize(nullptr, pos), "abc");
  EXPECT_TRUE(CString("abc").Tokenize(nullptr, pos).IsEmpty());
  EXPECT_EQ(pos, -1);

  // UTF-8 delimiters are whole characters.
  pos = 0;
  const CString u("x\xC3\xA4y\xC3\xA4z");
  EXPECT_EQ(u.Tokenize("\xC3\xA4", pos), "x");
  EXPECT_EQ(u.Tokenize("\xC3\xA4", pos), "y");
  EXPECT_EQ(u.Tokenize("\xC3\xA4", pos), "z");

  CString r("ab\xC3\xA4\xE2\x82\xAC");  // "abä€"
  EXPECT_EQ(r.MakeReverse(), "\xE2\x82\xAC\xC3\xA4" "ba");
}

TEST(WinCString, LoadStringFollowsTheUiLanguage) {
  RegisterStringTable("en", {{1, "File"}, {2, "Only English"}});
  RegisterStringTable("de", {{1, "Datei"}, {3, "Nur Deutsch"}});
  win_test::ScopedEnv all("LC_ALL", std::nullopt);
  win_test::ScopedEnv messages("LC_MESSAGES", std::nullopt);
  {
    win_test::ScopedEnv lang("LANG", "de_DE.UTF-8");
    CString s;
    EXPECT_TRUE(s.LoadString(1));
    EXPECT_EQ(s, "Datei");
    EXPECT_TRUE(s.LoadString(2));
    EXPECT_EQ(s, "Only English");
  }
  {
    win_test::ScopedEnv lang("LANG", "en_US.UTF-8");
    CString s;
    EXPECT_TRUE(s.LoadString(1));
    EXPECT_EQ(s, "File");
    EXPECT_TRUE(s.LoadString(3));
    EXPECT_EQ(s, "Nur Deutsch");
  }
  ClearStringTables();
}

}  // namespace
