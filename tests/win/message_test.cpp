// FormatMessage and the system message table.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The system text of `code` through the allocating form ("<none>" when the
// call fails).
std::string SystemText(DWORD code, DWORD language = kNeutral) {
  LPSTR text = nullptr;
  const DWORD n = FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, language,
                                 reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (n == 0) {
    EXPECT_EQ(text, nullptr);
    return "<none>";
  }
  EXPECT_EQ(n, std::strlen(text));
  std::string result(text);
  EXPECT_EQ(LocalFree(text), nullptr);
  return result;
}

TEST(WinFormatMessage, KnowsTheCommonHresultsAndWin32Codes) {
  EXPECT_EQ(kNeutral, 0x0400);
  EXPECT_EQ(SystemText(static_cast<DWORD>(S_OK)), "The operation completed successfully.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(S_FALSE)), "Incorrect function.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_UNEXPECTED)), "Catastrophic failure\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_NOTIMPL)), "Not implemented\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_NOINTERFACE)), "No such interface supported\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_POINTER)), "Invalid pointer\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_ABORT)), "Operation aborted\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_FAIL)), "Unspecified error\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_ACCESSDENIED)), "Access is denied.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_HANDLE)), "The handle is invalid.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_OUTOFMEMORY)),
            "Not enough storage is available to complete this operation.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(E_INVALIDARG)), "The parameter is incorrect.\n");
  EXPECT_EQ(SystemText(2, 0), "The system cannot find the file specified.\n");
  EXPECT_EQ(SystemText(3), "The system cannot find the path specified.\n");
}

TEST(WinFormatMessage, Win32HresultsFallBackToTheirCode) {
  EXPECT_EQ(SystemText(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))),
            "The system cannot find the file specified.\n");
  EXPECT_EQ(SystemText(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))), SystemText(3));
  EXPECT_EQ(SystemText(5), SystemText(static_cast<DWORD>(E_ACCESSDENIED)));
  EXPECT_EQ(SystemText(87), SystemText(static_cast<DWORD>(E_INVALIDARG)));
  EXPECT_EQ(SystemText(14), SystemText(static_cast<DWORD>(E_OUTOFMEMORY)));
  // Only facility WIN32 with the error bit maps down.
  EXPECT_EQ(SystemText(0x00070002), "<none>");
  EXPECT_EQ(SystemText(0x80060002), "<none>");
}

TEST(WinFormatMessage, UnknownCodesGiveNoText) {
  for (DWORD code : {0x8004010Fu /* MAPI not found */, 0x80040102u, 0x80040154u, 0x8007FFFFu, 12345u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    char buf[64] = "untouched";
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kSystem, nullptr, code, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(SystemText(code), "<none>");
  }
  // A language without texts.
  EXPECT_EQ(SystemText(5, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)), "<none>");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_EQ(SystemText(5, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), "Access is denied.\n");
}

TEST(WinFormatMessage, CallerBufferMustHoldTextAndTerminator) {
  const std::string text = "Access is denied.\n";
  char buf[64];
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, 5, 0, buf, static_cast<DWORD>(text.size() + 1), nullptr), text.size());
  EXPECT_EQ(buf, text);
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(kSystem, nullptr, 5, 0, buf, static_cast<DWORD>(text.size()), nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  // The allocating form gives at least nSize bytes.
  LPSTR big = nullptr;
  ASSERT_EQ(FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0, reinterpret_cast<LPSTR>(&big),
                           1000, nullptr),
            text.size());
  std::memset(big + text.size() + 1, 'x', 1000 - text.size() - 1);  // the sanitizer build checks the size
  LocalFree(big);

  // Without a line end when the width mask says so.
  EXPECT_EQ(FormatMessageA(kSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 5, 0, buf, sizeof buf, nullptr), 17u);
  EXPECT_STREQ(buf, "Access is denied.");
}

TEST(WinFormatMessage, StringsExpandInsertsAndEscapes) {
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("disk"), 42, 255};
  char buf[128];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 "%1 has %2!d! files (%3!04X!), 100%% full%n%0ignored", 0, 0, buf, sizeof buf,
                                 reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  EXPECT_STREQ(buf, "disk has 42 files (00FF), 100% full\n");
  EXPECT_EQ(n, std::strlen(buf));

  // Inserts stay as they are when ignored or without arguments.
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%1 and %2!d!", 0, 0, buf, sizeof buf,
                 nullptr);
  EXPECT_STREQ(buf, "%1 and %2!d!");
  FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "%1 and %2!d!", 0, 0, buf, sizeof buf, nullptr);
  EXPECT_STREQ(buf, "%1 and %2!d!");
}

DWORD FormatV(char* buf, DWORD size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, format, 0, 0, buf, size, &args);
  va_end(args);
  return n;
}

TEST(WinFormatMessage, InsertsFromAVariableArgumentListInAnyOrder) {
  char buf[64];
  EXPECT_EQ(FormatV(buf, sizeof buf, "%2 before %1, %1 again", "one", "two"), 25u);
  EXPECT_STREQ(buf, "two before one, one again");
}

}  // namespace
