// Core classes of the application framework: CObject with run-time class
// information, CString, CStringList, the exception classes and message
// boxes.
#pragma once

#include <cassert>
#include <compare>
#include <concepts>
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "afxres.h"
#include "tchar.h"
#include "windows.h"

// ---------------------------------------------------------------------------
// Diagnostics. ASSERT and TRACE are active with _DEBUG only, as in release
// builds of the framework; VERIFY always evaluates its argument.
#ifdef _DEBUG
#define ASSERT(f) assert(f)
#define VERIFY(f) assert(f)
#define TRACE(...) std::fprintf(stderr, __VA_ARGS__)
#else
#define ASSERT(f) static_cast<void>(0)
#define VERIFY(f) static_cast<void>(f)
#define TRACE(...) static_cast<void>(0)
#endif
#define ASSERT_VALID(p) ASSERT((p) != nullptr)
#define TRACE0(s) TRACE("%s", s)
#define TRACE1(s, a) TRACE(s, a)
#define TRACE2(s, a, b) TRACE(s, a, b)
#define TRACE3(s, a, b, c) TRACE(s, a, b, c)
#define UNUSED_ALWAYS(x) static_cast<void>(x)
#define DEBUG_NEW new

class CArchive;
class CObject;

// ---------------------------------------------------------------------------
// Run-time class information. A class declares it with DECLARE_DYNAMIC (or
// DECLARE_DYNCREATE when CreateObject shall construct it) in its body and
// defines it with IMPLEMENT_DYNAMIC(Class, Base) in one source file;
// RUNTIME_CLASS(Class) names it and IsKindOf tests against it.
struct CRuntimeClass {
  LPCSTR m_lpszClassName;
  int m_nObjectSize;
  UINT m_wSchema;
  CObject* (*m_pfnCreateObject)();
  CRuntimeClass* m_pBaseClass;

  // A new object of the class, or nullptr when it is not DYNCREATE.
  CObject* CreateObject() const;
  BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)            \
 public:                                       \
  static CRuntimeClass class##class_name;      \
  CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
  DECLARE_DYNAMIC(class_name)         \
  static CObject* CreateObject();

#define AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, wSchema, pfnNew)                       \
  CRuntimeClass class_name::class##class_name = {#class_name, static_cast<int>(sizeof(class_name)), \
                                                 wSchema, pfnNew, RUNTIME_CLASS(base_class_name)};   \
  CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
  AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)             \
  CObject* class_name::CreateObject() { return new class_name; }     \
  AFX_IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, class_name::CreateObject)

// The root of the framework's classes. Objects are not copyable (a derived
// class may define copying itself).
class CObject {
 public:
  static CRuntimeClass classCObject;

  virtual ~CObject() = default;
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;

  virtual CRuntimeClass* GetRuntimeClass() const;
  BOOL IsKindOf(const CRuntimeClass* pClass) const;
  BOOL IsSerializable() const { return FALSE; }
  // There is no archive support; the hook does nothing.
  virtual void Serialize(CArchive& ar);
  virtual void AssertValid() const {}

 protected:
  CObject() = default;
};

// ---------------------------------------------------------------------------
// CString: a string of narrow (UTF-8) chars with the framework's interface.
// Indexes and lengths count bytes. Operations that walk characters (Trim,
// Find/Replace/Remove of a char, MakeReverse, the sets of FindOneOf and
// Tokenize) treat a UTF-8 sequence as one character and never split it;
// case operations fold ASCII A-Z only. Pass a CString to printf-style
// functions as GetString() (or LPCTSTR).
class CString {
 public:
  CString() noexcept = default;
  CString(const CString&) = default;
  CString(CString&&) noexcept = default;
  // nullptr gives an empty string; a small integer made a pointer with
  // MAKEINTRESOURCE loads that string resource.
  CString(const char* psz);
  CString(const unsigned char* psz);
  CString(const char* pch, int nLength);
  explicit CString(char ch, int nRepeat = 1);
  CString(std::string_view sv) : m_str(sv) {}
  CString(const std::string& s) : m_str(s) {}
  ~CString() = default;

  CString& operator=(const CString&) = default;
  CString& operator=(CString&&) noexcept = default;
  CString& operator=(const char* psz);
  CString& operator=(const unsigned char* psz);
  CString& operator=(char ch);
  CString& operator=(const std::string& s);

  CString& operator+=(const CString& s);
  CString& operator+=(const char* psz);
  CString& operator+=(char ch);
  CString& operator+=(const std::string& s);

  // Length and access.
  int GetLength() const noexcept { return static_cast<int>(m_str.size()); }
  BOOL IsEmpty() const noexcept { return m_str.empty(); }
  void Empty() noexcept { m_str.clear(); }
  operator LPCTSTR() const noexcept { return m_str.c_str(); }
  LPCTSTR GetString() const noexcept { return m_str.c_str(); }
  // The char at `nIndex`; the terminator at GetLength(); '\0' outside.
  char GetAt(int nIndex) const noexcept;
  template <std::integral I>
  char operator[](I nIndex) const noexcept {
    if constexpr (std::is_signed_v<I>) {
      if (nIndex < 0) return '\0';
    }
    if (static_cast<unsigned long long>(nIndex) > m_str.size()) return '\0';
    return GetAt(static_cast<int>(nIndex));
  }
  void SetAt(int nIndex, char ch);
  void SetString(const char* psz);
  void SetString(const char* pch, int nLength);
  void Append(const char* psz) { *this += psz; }
  void Append(const CString& s) { *this += s; }
  void AppendChar(char ch) { m_str.push_back(ch); }
  // Bridges to the standard library.
  const std::string& str() const noexcept { return m_str; }
  std::string_view view() const noexcept { return m_str; }

  // Comparison: bytes as unsigned values; CompareNoCase folds ASCII only.
  int Compare(const char* psz) const noexcept;
  int CompareNoCase(const char* psz) const noexcept;
  int Collate(const char* psz) const noexcept { return Compare(psz); }
  int CollateNoCase(const char* psz) const noexcept { return CompareNoCase(psz); }
  friend bool operator==(const CString& a, const CString& b) noexcept { return a.m_str == b.m_str; }
  friend bool operator==(const CString& a, const char* b) noexcept { return a.Compare(b) == 0; }
  friend std::strong_ordering operator<=>(const CString& a, const CString& b) noexcept {
    return a.Compare(b.m_str.c_str()) <=> 0;
  }
  friend std::strong_ordering operator<=>(const CString& a, const char* b) noexcept { return a.Compare(b) <=> 0; }

  friend CString operator+(const CString& a, const CString& b);
  friend CString operator+(const CString& a, const char* b);
  friend CString operator+(const char* a, const CString& b);
  friend CString operator+(const CString& a, char b);
  friend CString operator+(char a, const CString& b);

  // printf-style formatting of any length.
  void Format(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
  void Format(UINT nFormatID, ...);
  void FormatV(const char* pszFormat, va_list args) __attribute__((format(printf, 2, 0)));
  void AppendFormat(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
  void AppendFormatV(const char* pszFormat, va_list args) __attribute__((format(printf, 2, 0)));

  // Extraction; out-of-range counts are clamped.
  CString Left(int nCount) const;
  CString Right(int nCount) const;
  CString Mid(int iFirst) const;
  CString Mid(int iFirst, int nCount) const;
  CString SpanIncluding(const char* pszCharSet) const;
  CString SpanExcluding(const char* pszCharSet) const;
  // The next token after iStart delimited by any character of pszTokens;
  // iStart becomes -1 (and the result empty) when there is none.
  CString Tokenize(const char* pszTokens, int& iStart) const;

  // Searching; -1 when not found or iStart is out of range.
  int Find(char ch, int iStart = 0) const noexcept;
  int Find(const char* pszSub, int iStart = 0) const noexcept;
  int ReverseFind(char ch) const noexcept;
  int FindOneOf(const char* pszCharSet) const noexcept;

  // Changes; the counting ones return the number of replacements/removals
  // or the new length.
  int Replace(char chOld, char chNew);
  int Replace(const char* pszOld, const char* pszNew);
  int Remove(char ch);
  int Insert(int iIndex, char ch);
  int Insert(int iIndex, const char* psz);
  int Delete(int iIndex, int nCount = 1);
  void Truncate(int nNewLength);
  CString& MakeUpper();
  CString& MakeLower();
  CString& MakeReverse();
  // Without an argument: blanks, tabs, CR, LF, VT and FF.
  CString& Trim();
  CString& Trim(char chTarget);
  CString& Trim(const char* pszTargets);
  CString& TrimLeft();
  CString& TrimLeft(char chTarget);
  CString& TrimLeft(const char* pszTargets);
  CString& TrimRight();
  CString& TrimRight(char chTarget);
  CString& TrimRight(const char* pszTargets);

  // Direct buffer access. GetBuffer returns room for at least nMinBufLength
  // chars plus a terminator; ReleaseBuffer(-1) takes the length up to the
  // first NUL. No other member may be used in between.
  char* GetBuffer();
  char* GetBuffer(int nMinBufLength);
  char* GetBufferSetLength(int nNewLength);
  void ReleaseBuffer(int nNewLength = -1);
  void ReleaseBufferSetLength(int nNewLength) { ReleaseBuffer(nNewLength); }
  void Preallocate(int nLength);
  void FreeExtra() { m_str.shrink_to_fit(); }
  int GetAllocLength() const noexcept { return static_cast<int>(m_str.capacity()); }

  // Loads string resource nID; FALSE (string unchanged) when unknown.
  BOOL LoadString(UINT nID);

 private:
  std::string m_str;
};
using CStringA = CString;

template <>
struct std::hash<CString> {
  std::size_t operator()(const CString& s) const noexcept { return std::hash<std::string_view>()(s.view()); }
};

// ---------------------------------------------------------------------------
// CStringList: a doubly linked list of strings walked with POSITIONs.
struct POSITION_tag;
using POSITION = POSITION_tag*;

class CStringList : public CObject {
 public:
  explicit CStringList(int nBlockSize = 10);
  ~CStringList() override;

  int GetCount() const noexcept { return m_nCount; }
  int GetSize() const noexcept { return m_nCount; }
  BOOL IsEmpty() const noexcept { return m_nCount == 0; }

  CString& GetHead();
  const CString& GetHead() const;
  CString& GetTail();
  const CString& GetTail() const;
  CString RemoveHead();
  CString RemoveTail();

  POSITION AddHead(const char* newElement);
  POSITION AddHead(const CString& newElement);
  POSITION AddTail(const char* newElement);
  POSITION AddTail(const CString& newElement);
  void AddHead(const CStringList* pNewList);
  void AddTail(const CStringList* pNewList);
  void RemoveAll();

  POSITION GetHeadPosition() const noexcept;
  POSITION GetTailPosition() const noexcept;
  // The element at rPosition; rPosition moves to the next (previous)
  // element, nullptr after the last.
  CString& GetNext(POSITION& rPosition);
  const CString& GetNext(POSITION& rPosition) const;
  CString& GetPrev(POSITION& rPosition);
  const CString& GetPrev(POSITION& rPosition) const;
  CString& GetAt(POSITION position);
  const CString& GetAt(POSITION position) const;
  void SetAt(POSITION pos, const char* newElement);
  void RemoveAt(POSITION position);
  POSITION InsertBefore(POSITION position, const char* newElement);
  POSITION InsertAfter(POSITION position, const char* newElement);
  // Exact (case-sensitive) search after startAfter, or from the head.
  POSITION Find(const char* searchValue, POSITION startAfter = nullptr) const;
  POSITION FindIndex(int nIndex) const;

 private:
  struct Node;
  static Node* ToNode(POSITION pos) noexcept;
  static POSITION ToPos(Node* node) noexcept;
  Node* NewNode(const char* value, Node* prev, Node* next);
  void Unlink(Node* node);

  Node* m_pNodeHead = nullptr;
  Node* m_pNodeTail = nullptr;
  int m_nCount = 0;
};

// ---------------------------------------------------------------------------
// Exceptions are thrown as pointers (throw new CMemoryException) and the
// catcher calls Delete(), which deletes auto-delete exceptions only.
class CException : public CObject {
  DECLARE_DYNAMIC(CException)
 public:
  CException() = default;
  explicit CException(BOOL bAutoDelete) : m_bAutoDelete(bAutoDelete) {}

  void Delete();
  // The text of the exception into lpszError (at most nMaxError bytes with
  // the terminator). Here: none, an empty string and FALSE.
  virtual BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr);
  // Shows the error text in a message box: GetErrorMessage's text, else
  // string resource nMessageID, else "No error message is available."
  // Returns the box's answer.
  virtual int ReportError(UINT nType = MB_OK, UINT nMessageID = 0);

  BOOL m_bAutoDelete = TRUE;
};

class CMemoryException : public CException {
  DECLARE_DYNAMIC(CMemoryException)
 public:
  CMemoryException() = default;
  explicit CMemoryException(BOOL bAutoDelete) : CException(bAutoDelete) {}
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr) override;
};

[[noreturn]] void AfxThrowMemoryException();

// ---------------------------------------------------------------------------
// Message boxes with the application's name as caption (see SetMessageBoxHandler).
int AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));
