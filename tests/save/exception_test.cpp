// The texts of the program's exceptions and the owned binary values.
#include <gtest/gtest.h>

#include <TeskMAPI.h>

#include <cstring>
#include <set>
#include <string>

namespace {

std::string Message(CException& e, UINT size = 1024) {
  std::string buf(size + 1, '#');
  EXPECT_TRUE(e.GetErrorMessage(buf.data(), size));
  return buf.c_str();
}

TEST(SaveExceptions, MapiTextNamesTheCode) {
  CMAPIException notFound(MAPI_E_NOT_FOUND, "Failed to open Root folder.", "TeskMsgStoreT.h", 37);
  EXPECT_EQ(Message(notFound), "MAPI error 8004010f, MAPI_E_NOT_FOUND Failed to open Root folder.");

  // A warning code is named like the errors.
  CMAPIException warning(MAPI_W_ERRORS_RETURNED, "Some properties failed.", "f", 1);
  EXPECT_EQ(Message(warning), "MAPI error 40380, MAPI_W_ERRORS_RETURNED Some properties failed.");

  CMAPIException collision(MAPI_E_COLLISION, "Copy operation failed!", "f", 1);
  EXPECT_EQ(Message(collision), "MAPI error 80040604, MAPI_E_COLLISION Copy operation failed!");

  // An empty description adds nothing, not even the blank.
  CMAPIException bare(MAPI_E_NOT_FOUND, "", "f", 1);
  EXPECT_EQ(Message(bare), "MAPI error 8004010f, MAPI_E_NOT_FOUND");
}

TEST(SaveExceptions, MapiTextFallsBackToTheSystemText) {
  // Codes without a MAPI name take the system's text with its line end.
  CMAPIException fail(E_FAIL, "Copy operation failed!", "f", 1);
  EXPECT_EQ(Message(fail), "MAPI error 80004005, Unspecified error\n Copy operation failed!");
  CMAPIException ok(S_OK, "Nothing went wrong.", "f", 1);
  EXPECT_EQ(Message(ok), "MAPI error 0, The operation completed successfully.\n Nothing went wrong.");
  CMAPIException okBare(S_OK, "", "f", 1);
  EXPECT_EQ(Message(okBare), "MAPI error 0, The operation completed successfully.\n");
}

TEST(SaveExceptions, OleAndPlainText) {
  COLEException ole(E_FAIL, "Could not start.", "f", 1);
  EXPECT_EQ(Message(ole), "Unspecified error\n\nCould not start.");
  COLEException oleBare(E_FAIL, "", "f", 1);
  EXPECT_EQ(Message(oleBare), "Unspecified error\n");
  COLEException denied(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "Registry.", "f", 1);
  EXPECT_EQ(Message(denied), "Access is denied.\n\nRegistry.");

  CTextException text("Message store Archive not found!", "f", 1);
  EXPECT_EQ(Message(text), "Message store Archive not found!");
  CTextException empty("", "f", 1);
  EXPECT_EQ(Message(empty), "");
}

// Every exception class copies at most nMaxError characters including the
// terminating zero and leaves the rest of the buffer alone.
TEST(SaveExceptions, TextIsTruncatedToTheBuffer) {
  CMAPIException mapi(MAPI_E_NOT_FOUND, "Failed.", "f", 1);
  COLEException ole(E_FAIL, "Failed.", "f", 1);
  CTextException text("Subfolder Inbox not found!", "f", 1);
  for (CException* e : std::initializer_list<CException*>{&mapi, &ole, &text}) {
    const std::string full = Message(*e);
    const UINT length = static_cast<UINT>(full.size());
    for (UINT n : {0u, 1u, 2u, 7u, length - 1, length, length + 1, length + 2, 200u}) {
      SCOPED_TRACE("nMaxError " + std::to_string(n) + " of " + full);
      char buf[256];
      std::memset(buf, '#', sizeof buf);
      e->GetErrorMessage(buf, n);
      if (n == 0) {
        EXPECT_EQ(buf[0], '#');  // nothing copied, not even the zero
        continue;
      }
      const UINT copied = std::min(n, length + 1);  // including the zero
      EXPECT_EQ(std::string(buf, copied - 1), full.substr(0, copied - 1));
      EXPECT_EQ(buf[copied - 1], '\0');
      EXPECT_EQ(buf[copied], '#');
    }
    EXPECT_TRUE(e->GetErrorMessage(nullptr, 10));  // no buffer: nothing to do
  }
}

TEST(SaveExceptions, FileNameAndLine) {
  struct Case {
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
      {"Modules\\TeskSave\\FoldersCopier", "FoldersCopier"},
      {"MODULES\\TeskSaveLib\\MAPIFolderFind", "MAPIFolderFind"},
      {"/work/TeskMAPI/include/TeskMsgStoreT.h", "TeskMsgStoreT.h"},
      {"a/b\\c.cpp", "c.cpp"},
      {"a\\b/c.cpp", "b/c.cpp"},  // the last backslash wins over a later slash
      {"TeskSave", "TeskSave"},
      {"dir\\", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    CTextException e("x", c.file, 42);
    EXPECT_EQ(std::string(e.m_strFile), c.expected) << c.file;
    EXPECT_EQ(e.m_nLine, 42);
  }
  CMAPIException mapi(MAPI_E_COLLISION, "x", "Modules\\TeskSave\\FoldersCopier", 145);
  EXPECT_EQ(std::string(mapi.m_strFile), "FoldersCopier");
  EXPECT_EQ(mapi.m_nLine, 145);
  EXPECT_EQ(mapi.m_hr, MAPI_E_COLLISION);
}

TEST(SaveExceptions, ErrorNameTable) {
  EXPECT_EQ(std::string(GetMAPIErrorName(0)), "");
  EXPECT_EQ(std::string(GetMAPIErrorName(E_FAIL)), "");
  EXPECT_EQ(std::string(GetMAPIErrorName(static_cast<HRESULT>(0x80040999))), "");
  EXPECT_EQ(std::string(GetMAPIErrorName(MAPI_E_FOLDER_CYCLE)), "MAPI_E_FOLDER_CYCLE");
  EXPECT_EQ(std::string(GetMAPIErrorName(MAPI_E_LOGON_FAILED)), "MAPI_E_LOGON_FAILED");

  int rows = 0;
  std::set<HRESULT> codes;
  std::set<std::string> names;
  for (const MAPIErrorName* row = MAPIErrorNames; row->name; ++row) {
    ++rows;
    codes.insert(row->hr);
    names.insert(row->name);
    const std::string name = row->name;
    EXPECT_TRUE(name.starts_with("MAPI_E_") || name.starts_with("MAPI_W_")) << name;
    EXPECT_EQ(std::string(GetMAPIErrorName(row->hr)), name);
  }
  EXPECT_EQ(rows, 69);
  EXPECT_EQ(MAPIErrorNames[69].hr, 0);
  EXPECT_EQ(codes.size(), 69u);
  EXPECT_EQ(names.size(), 69u);
}

TEST(SaveExceptions, WrapperFailuresBecomeMapiExceptions) {
  // The edge of a wrapper operation turns its internal failure into the
  // program's exception with the wrapper's file and line.
  auto guarded = [](HRESULT hr) {
    TESK_MAPI_TRY
    TESK_MAPI_FAIL(hr, "GetMsgStoresTable failed.");
    TESK_MAPI_CATCH(CMFCMAPIExceptionTraits)
  };
  try {
    guarded(MAPI_E_END_OF_SESSION);
    ADD_FAILURE() << "nothing thrown";
  } catch (CException* e) {
    auto* mapi = dynamic_cast<CMAPIException*>(e);
    ASSERT_NE(mapi, nullptr);
    EXPECT_EQ(mapi->m_hr, MAPI_E_END_OF_SESSION);
    EXPECT_EQ(std::string(mapi->m_strMAPIText), "GetMsgStoresTable failed.");
    EXPECT_EQ(std::string(mapi->m_strFile), "exception_test.cpp");
    e->Delete();
  }
  auto unknown = [] {
    TESK_MAPI_TRY
    throw 5;
    TESK_MAPI_CATCH(CMFCMAPIExceptionTraits)
  };
  try {
    unknown();
    ADD_FAILURE() << "nothing thrown";
  } catch (CException* e) {
    auto* text = dynamic_cast<CTextException*>(e);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Message(*text), "Uncought exception in TeskMAPI library");
    e->Delete();
  }
}

// --- owned binary values ------------------------------------------------------------

SBinary Bin(std::string& bytes) { return SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())}; }

TEST(SaveBinary, EqualityComparesTheBytes) {
  CTeskBinary empty, otherEmpty;
  EXPECT_TRUE(empty.IsEqual(otherEmpty));
  EXPECT_TRUE(empty.IsEqual(SBinary{0, nullptr}));
  EXPECT_FALSE(empty.HasData());

  std::string bytes("\x00\x01\x02\xFF", 4), same("\x00\x01\x02\xFF", 4), other("\x00\x01\x02\xFE", 4);
  CTeskBinary value(Bin(bytes));
  EXPECT_TRUE(value.HasData());
  EXPECT_NE(value.lpb, reinterpret_cast<LPBYTE>(bytes.data()));  // a copy
  EXPECT_TRUE(value.IsEqual(Bin(same)));
  EXPECT_FALSE(value.IsEqual(Bin(other)));
  EXPECT_FALSE(value.IsEqual(empty));
  EXPECT_FALSE(empty.IsEqual(value));

  // A shorter or longer value is another value, whatever it starts with.
  std::string prefix = bytes.substr(0, 3), longer = bytes + "x";
  EXPECT_FALSE(value.IsEqual(Bin(prefix)));
  EXPECT_FALSE(value.IsEqual(Bin(longer)));
  // The very same bytes are equal whatever the lengths say; a missing
  // pointer never equals a present one.
  EXPECT_TRUE(value.IsEqual(SBinary{2, value.lpb}));
  EXPECT_FALSE(empty.IsEqual(SBinary{0, reinterpret_cast<LPBYTE>(bytes.data())}));

  CTeskBinary copy(value);
  EXPECT_NE(copy.lpb, value.lpb);
  EXPECT_TRUE(copy.IsEqual(value));
}

TEST(SaveBinary, AssignmentCopiesOrEmpties) {
  std::string bytes = "entry-id";
  CTeskBinary value(Bin(bytes));
  value = value;  // self-assignment keeps the bytes
  ASSERT_TRUE(value.HasData());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(value.lpb), value.cb), "entry-id");
  value = static_cast<const SBinary&>(value);  // assigning its own bytes as a plain value
  ASSERT_TRUE(value.HasData());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(value.lpb), value.cb), "entry-id");

  CTeskBinary target;
  target = value;
  EXPECT_TRUE(target.IsEqual(value));
  bytes[0] = 'E';
  EXPECT_EQ(std::string(reinterpret_cast<char*>(target.lpb), target.cb), "entry-id");

  target = SBinary{0, reinterpret_cast<LPBYTE>(bytes.data())};  // zero length
  EXPECT_FALSE(target.HasData());
  EXPECT_EQ(target.cb, 0u);
  EXPECT_EQ(target.lpb, nullptr);
  value = SBinary{5, nullptr};  // no bytes
  EXPECT_FALSE(value.HasData());
  EXPECT_EQ(value.cb, 0u);

  CTeskBinary freed(Bin(bytes));
  freed.Free();
  EXPECT_FALSE(freed.HasData());
  EXPECT_EQ(freed.cb, 0u);
}

}  // namespace
