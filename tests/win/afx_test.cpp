// Run-time classes, CStringList, exceptions, message boxes and string tables.
#include <afxwin.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "win_test_util.h"

// --- run-time classes ------------------------------------------------------------

namespace afx_test {

class CShape : public CObject {
  DECLARE_DYNAMIC(CShape)
};
class CCircle : public CShape {
  DECLARE_DYNCREATE(CCircle)
 public:
  int radius = 7;
};
class CLabel : public CObject {
  DECLARE_DYNAMIC(CLabel)
};

IMPLEMENT_DYNAMIC(CShape, CObject)
IMPLEMENT_DYNCREATE(CCircle, CShape)
IMPLEMENT_DYNAMIC(CLabel, CObject)

}  // namespace afx_test

namespace {

using afx_test::CCircle;
using afx_test::CLabel;
using afx_test::CShape;

TEST(WinRuntimeClass, IsKindOfFollowsTheBaseChain) {
  CCircle circle;
  const CObject& object = circle;
  EXPECT_TRUE(object.IsKindOf(RUNTIME_CLASS(CCircle)));
  EXPECT_TRUE(object.IsKindOf(RUNTIME_CLASS(CShape)));
  EXPECT_TRUE(object.IsKindOf(RUNTIME_CLASS(CObject)));
  EXPECT_FALSE(object.IsKindOf(RUNTIME_CLASS(CLabel)));
  EXPECT_FALSE(CShape().IsKindOf(RUNTIME_CLASS(CCircle)));
  EXPECT_STREQ(object.GetRuntimeClass()->m_lpszClassName, "CCircle");
  EXPECT_NE(dynamic_cast<const CShape*>(&object), nullptr);
  EXPECT_EQ(dynamic_cast<const CLabel*>(&object), nullptr);

  CMemoryException e;
  EXPECT_TRUE(e.IsKindOf(RUNTIME_CLASS(CException)));
  EXPECT_FALSE(e.IsKindOf(RUNTIME_CLASS(CShape)));
}

TEST(WinRuntimeClass, OnlyDynCreateClassesCanBeCreated) {
  CObject* created = RUNTIME_CLASS(CCircle)->CreateObject();
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(created->IsKindOf(RUNTIME_CLASS(CCircle)));
  EXPECT_EQ(static_cast<CCircle*>(created)->radius, 7);
  delete created;
  EXPECT_EQ(RUNTIME_CLASS(CShape)->CreateObject(), nullptr);
}

// --- CStringList -------------------------------------------------------------------

std::vector<std::string> Items(const CStringList& list) {
  std::vector<std::string> items;
  for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) items.emplace_back(list.GetNext(pos).GetString());
  return items;
}

TEST(WinCStringList, KeepsInsertionOrderAtBothEnds) {
  CStringList list;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetHeadPosition(), nullptr);
  list.AddTail("b");
  list.AddTail(CString("c"));
  list.AddHead("a");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.GetHead(), "a");
  EXPECT_EQ(list.GetTail(), "c");

  EXPECT_EQ(list.RemoveHead(), "a");
  EXPECT_EQ(list.RemoveTail(), "c");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"b"}));
  EXPECT_EQ(list.GetHead(), list.GetTail());
  list.RemoveAll();
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetTailPosition(), nullptr);
  list.AddTail("again");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"again"}));
}

TEST(WinCStringList, PositionsInsertFindAndRemove) {
  CStringList list;
  const POSITION b = list.AddTail("b");
  list.InsertBefore(b, "a");
  const POSITION c = list.InsertAfter(b, "c");
  list.InsertAfter(c, "d");
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(list.Find("c"), c);
  EXPECT_EQ(list.Find("c", c), nullptr);
  EXPECT_EQ(list.Find("x"), nullptr);
  EXPECT_EQ(list.FindIndex(1), b);
  EXPECT_EQ(list.FindIndex(4), nullptr);

  list.SetAt(b, "B");
  list.RemoveAt(c);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "B", "d"}));

  POSITION pos = list.GetTailPosition();
  std::string backwards;
  while (pos) backwards += list.GetPrev(pos).GetString();
  EXPECT_EQ(backwards, "dBa");

  // A list appended to itself doubles once.
  list.AddTail(&list);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "B", "d", "a", "B", "d"}));
  // An element added from its own list is copied before the list changes.
  list.AddHead(list.GetTail());
  EXPECT_EQ(list.GetHead(), "d");
}

// --- message boxes -------------------------------------------------------------------

struct BoxCall {
  std::string text;
  std::string caption;
  bool hasCaption = false;
  UINT type = 0;
};
std::vector<BoxCall> g_boxes;
int g_boxAnswer = IDOK;

int RecordingHandler(HWND, const char* text, const char* caption, UINT type) {
  g_boxes.push_back({text ? text : "(null)", caption ? caption : "", caption != nullptr, type});
  return g_boxAnswer;
}

class WinMessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_boxes.clear();
    g_boxAnswer = IDOK;
    previous_ = SetMessageBoxHandler(&RecordingHandler);
  }
  void TearDown() override {
    SetMessageBoxHandler(previous_);
    ClearStringTables();
  }
  MessageBoxHandler previous_ = nullptr;
};

TEST_F(WinMessageBoxTest, HandlerReceivesEveryBoxAndAnswers) {
  g_boxAnswer = IDNO;
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_YESNO | MB_ICONQUESTION), IDNO);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].text, "text");
  EXPECT_EQ(g_boxes[0].caption, "caption");
  EXPECT_EQ(g_boxes[0].type, MB_YESNO | MB_ICONQUESTION);

  // AfxMessageBox: caption is the application's name (none without an application).
  EXPECT_EQ(AfxMessageBox("no app"), IDNO);
  EXPECT_FALSE(g_boxes.back().hasCaption);
  {
    CWinApp app("Tesk Test");
    AfxMessageBox("with app", MB_OKCANCEL);
    EXPECT_EQ(g_boxes.back().caption, "Tesk Test");
    EXPECT_EQ(g_boxes.back().type, MB_OKCANCEL);
  }
  RegisterStringTable("en", {{300, "from a resource"}});
  AfxMessageBox(300U);
  EXPECT_EQ(g_boxes.back().text, "from a resource");

  EXPECT_EQ(SetMessageBoxHandler(nullptr), &RecordingHandler);
  EXPECT_EQ(SetMessageBoxHandler(&RecordingHandler), &DefaultMessageBoxHandler);
}

TEST(WinMessageBox, DefaultHandlerWritesOneLineAndPicksTheDefaultButton) {
  ASSERT_EQ(SetMessageBoxHandler(nullptr), &DefaultMessageBoxHandler);
  testing::internal::CaptureStderr();
  const int ok = MessageBoxA(nullptr, "two\r\nlines\nhere", nullptr, MB_OK | MB_ICONERROR);
  const int yes = MessageBoxA(nullptr, "Continue?", "Tesk", MB_YESNO);
  const int no = MessageBoxA(nullptr, "Continue?", "Tesk", MB_YESNO | MB_DEFBUTTON2);
  const int cancel = MessageBoxA(nullptr, "x", "Tesk", MB_OKCANCEL | MB_DEFBUTTON2);
  const int fallback = MessageBoxA(nullptr, "x", "Tesk", MB_OK | MB_DEFBUTTON3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ok, IDOK);
  EXPECT_EQ(yes, IDYES);
  EXPECT_EQ(no, IDNO);
  EXPECT_EQ(cancel, IDCANCEL);
  EXPECT_EQ(fallback, IDOK);
  EXPECT_EQ(err, "Error: two lines here\nTesk: Continue?\nTesk: Continue?\nTesk: x\nTesk: x\n");

  // Without a caption the application's name shows.
  CWinApp app("Probe App");
  testing::internal::CaptureStderr();
  EXPECT_EQ(AfxMessageBox("saved", MB_ICONINFORMATION), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "raw", nullptr, MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Probe App: saved\nProbe App: raw\n");
}

// --- exceptions -------------------------------------------------------------------

class CLongException : public CException {
 public:
  explicit CLongException(std::string text) : text_(std::move(text)) {}
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext) override {
    if (pnHelpContext) *pnHelpContext = 5;
    const std::size_t n = std::min<std::size_t>(text_.size(), nMaxError - 1);
    std::memcpy(lpszError, text_.data(), n);
    lpszError[n] = '\0';
    return TRUE;
  }

 private:
  std::string text_;
};

TEST_F(WinMessageBoxTest, ReportErrorFallsBackToResourceThenPrompt) {
  CException plain(FALSE);
  char buf[8] = "junk";
  UINT help = 99;
  EXPECT_FALSE(plain.GetErrorMessage(buf, sizeof buf, &help));
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(help, 0u);

  g_boxAnswer = IDCANCEL;
  EXPECT_EQ(plain.ReportError(), IDCANCEL);
  EXPECT_EQ(g_boxes.back().text, "No error message is available.");
  EXPECT_EQ(g_boxes.back().type, MB_OK);

  RegisterStringTable("en", {{200, "Saving failed."}});
  plain.ReportError(MB_ICONSTOP, 200);
  EXPECT_EQ(g_boxes.back().text, "Saving failed.");
  EXPECT_EQ(g_boxes.back().type, MB_ICONSTOP);

  // A translation of the framework's prompt wins over the built-in text.
  RegisterStringTable("en", {{AFX_IDP_NO_ERROR_AVAILABLE, "Nothing to say."}});
  plain.ReportError();
  EXPECT_EQ(g_boxes.back().text, "Nothing to say.");

  CMemoryException memory(FALSE);
  memory.ReportError(MB_OK, 200);
  EXPECT_EQ(g_boxes.back().text, "Out of memory.");
  char small[4];
  EXPECT_TRUE(memory.GetErrorMessage(small, sizeof small));
  EXPECT_STREQ(small, "Out");

  // The text of the exception is read into 4096 bytes at most.
  CLongException big(std::string(5000, 'e'));
  big.m_bAutoDelete = FALSE;
  big.ReportError();
  EXPECT_EQ(g_boxes.back().text, std::string(4095, 'e'));
}

TEST(WinException, DeleteRespectsAutoDeleteAndThrowsCatchAsBase) {
  CException onStack(FALSE);
  onStack.Delete();  // must not free a stack object (the sanitizer build checks)
  EXPECT_FALSE(onStack.m_bAutoDelete);

  bool caught = false;
  try {
    AfxThrowMemoryException();
  } catch (CException* e) {
    caught = e->IsKindOf(RUNTIME_CLASS(CMemoryException));
    EXPECT_TRUE(e->m_bAutoDelete);
    e->Delete();  // frees it (the leak checker would notice otherwise)
  }
  EXPECT_TRUE(caught);
}

// --- string tables -------------------------------------------------------------------

TEST(WinStringTable, LanguageComesFromTheFirstSetLocaleVariable) {
  win_test::ScopedEnv all("LC_ALL", "");
  win_test::ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8");
  win_test::ScopedEnv lang("LANG", "en_US.UTF-8");
  EXPECT_STREQ(CurrentUiLanguage(), "de");
  {
    win_test::ScopedEnv all2("LC_ALL", "C");
    EXPECT_STREQ(CurrentUiLanguage(), "en");
  }
  {
    win_test::ScopedEnv messages2("LC_MESSAGES", std::nullopt);
    EXPECT_STREQ(CurrentUiLanguage(), "en");
    win_test::ScopedEnv lang2("LANG", "de");
    EXPECT_STREQ(CurrentUiLanguage(), "de");
  }
  {
    win_test::ScopedEnv messages2("LC_MESSAGES", "deutsch-is-not-a-locale-but-begins-with-de");
    EXPECT_STREQ(CurrentUiLanguage(), "de");
    win_test::ScopedEnv lang2("LC_MESSAGES", "en_DE");
    EXPECT_STREQ(CurrentUiLanguage(), "en");
  }
}

TEST(WinStringTable, LoadStringTruncatesWithoutSplittingCharacters) {
  win_test::ScopedEnv all("LC_ALL", "en_US.UTF-8");
  RegisterStringTable("de", {{10, "Gr\xC3\xBC\xC3\x9F" "e"}});  // "Grüße", only in German
  char buf[16];
  EXPECT_EQ(LoadStringA(nullptr, 10, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(LoadStringA(nullptr, 10, buf, 4), 2);  // "Gr" + half an ü would not fit
  EXPECT_STREQ(buf, "Gr");
  EXPECT_EQ(LoadStringA(nullptr, 10, buf, 5), 4);
  EXPECT_STREQ(buf, "Gr\xC3\xBC");
  EXPECT_EQ(LoadStringA(nullptr, 11, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(LoadStringA(nullptr, AFX_IDP_NO_ERROR_AVAILABLE, buf, sizeof buf), 15);

  // Registering again replaces; clearing keeps the framework's prompts.
  RegisterStringTable("de", {{10, "Hallo"}});
  EXPECT_EQ(LoadStringA(nullptr, 10, buf, sizeof buf), 5);
  ClearStringTables();
  EXPECT_EQ(LoadStringA(nullptr, 10, buf, sizeof buf), 0);
  CString prompt;
  EXPECT_TRUE(prompt.LoadString(AFX_IDP_NO_ERROR_AVAILABLE));
  EXPECT_EQ(prompt, "No error message is available.");
}

}  // namespace
