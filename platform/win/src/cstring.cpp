// CString.
#include <afx.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "resources.h"
#include "text.h"

using tesk::win::CharLength;
using tesk::win::PrevCharStart;

namespace {

std::string_view ViewOf(const char* psz) { return psz ? std::string_view(psz) : std::string_view(); }

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// printf into a new string of whatever length the output needs.
__attribute__((format(printf, 1, 0))) std::string VFormat(const char* fmt, va_list args) {
  if (fmt == nullptr) return {};
  va_list measure;
  va_copy(measure, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

// The characters of a set argument (Trim, FindOneOf, Tokenize...).
class CharSet {
 public:
  explicit CharSet(std::string_view set) {
    for (std::size_t pos = 0; pos < set.size();) {
      const std::size_t len = CharLength(set, pos);
      chars_.push_back(set.substr(pos, len));
      pos += len;
    }
  }
  explicit CharSet(char ch) : single_(1, ch) { chars_.push_back(single_); }
  bool Contains(std::string_view ch) const {
    return std::find(chars_.begin(), chars_.end(), ch) != chars_.end();
  }
  bool Empty() const { return chars_.empty(); }

 private:
  std::string single_;
  std::vector<std::string_view> chars_;
};

const CharSet& Whitespace() {
  static const CharSet set(std::string_view(" \t\r\n\v\f"));
  return set;
}

bool IsAscii(char ch) { return static_cast<unsigned char>(ch) < 0x80; }

std::size_t ClampIndex(int i, std::size_t size) {
  if (i < 0) return 0;
  return std::min(static_cast<std::size_t>(i), size);
}

}  // namespace

CString::CString(const char* psz) {
  if (psz != nullptr && IS_INTRESOURCE(psz)) {
    LoadString(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(psz)));
  } else if (psz != nullptr) {
    m_str = psz;
  }
}

CString::CString(const unsigned char* psz) : CString(reinterpret_cast<const char*>(psz)) {}

CString::CString(const char* pch, int nLength) {
  if (pch != nullptr && nLength > 0) m_str.assign(pch, static_cast<std::size_t>(nLength));
}

CString::CString(char ch, int nRepeat) {
  if (nRepeat > 0) m_str.assign(static_cast<std::size_t>(nRepeat), ch);
}

CString& CString::operator=(const char* psz) {
  SetString(psz);
  return *this;
}
CString& CString::operator=(const unsigned char* psz) {
  SetString(reinterpret_cast<const char*>(psz));
  return *this;
}
CString& CString::operator=(char ch) {
  m_str.assign(1, ch);
  return *this;
}
CString& CString::operator=(const std::string& s) {
  m_str = s;
  return *this;
}

CString& CString::operator+=(const CString& s) {
  m_str += s.m_str;
  return *this;
}
CString& CString::operator+=(const char* psz) {
  m_str += ViewOf(psz);
  return *this;
}
CString& CString::operator+=(char ch) {
  m_str.push_back(ch);
  return *this;
}
CString& CString::operator+=(const std::string& s) {
  m_str += s;
  return *this;
}

char CString::GetAt(int nIndex) const noexcept {
  if (nIndex < 0 || static_cast<std::size_t>(nIndex) > m_str.size()) return '\0';
  return m_str.c_str()[nIndex];
}

void CString::SetAt(int nIndex, char ch) {
  assert(nIndex >= 0 && nIndex < GetLength());
  if (nIndex >= 0 && static_cast<std::size_t>(nIndex) < m_str.size()) m_str[static_cast<std::size_t>(nIndex)] = ch;
}

void CString::SetString(const char* psz) {
  // The source may lie inside this string.
  m_str = std::string(ViewOf(psz));
}

void CString::SetString(const char* pch, int nLength) {
  if (pch == nullptr || nLength <= 0) {
    m_str.clear();
  } else {
    m_str = std::string(pch, static_cast<std::size_t>(nLength));
  }
}

int CString::Compare(const char* psz) const noexcept { return Sign(std::string_view(m_str).compare(ViewOf(psz))); }

int CString::CompareNoCase(const char* psz) const noexcept { return tesk::win::CompareNoCase(m_str, ViewOf(psz)); }

CString operator+(const CString& a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const CString& a, const char* b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const char* a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const CString& a, char b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(char a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}

// --- formatting --------------------------------------------------------------

void CString::Format(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  m_str = VFormat(pszFormat, args);
  va_end(args);
}

void CString::Format(UINT nFormatID, ...) {
  std::string format;
  tesk::win::LookupString(nFormatID, format);
  va_list args;
  va_start(args, nFormatID);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  m_str = VFormat(format.c_str(), args);
#pragma GCC diagnostic pop
  va_end(args);
}

void CString::FormatV(const char* pszFormat, va_list args) { m_str = VFormat(pszFormat, args); }

void CString::AppendFormat(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  m_str += VFormat(pszFormat, args);
  va_end(args);
}

void CString::AppendFormatV(const char* pszFormat, va_list args) { m_str += VFormat(pszFormat, args); }

// --- extraction ------------------------------------------------------------

CString CString::Left(int nCount) const { return CString(m_str.substr(0, ClampIndex(nCount, m_str.size()))); }

CString CString::Right(int nCount) const {
  const std::size_t n = ClampIndex(nCount, m_str.size());
  return CString(m_str.substr(m_str.size() - n));
}

CString CString::Mid(int iFirst) const { return CString(m_str.substr(ClampIndex(iFirst, m_str.size()))); }

CString CString::Mid(int iFirst, int nCount) const {
  const std::size_t first = ClampIndex(iFirst, m_str.size());
  const std::size_t count = ClampIndex(nCount, m_str.size() - first);
  return CString(m_str.substr(first, count));
}

CString CString::SpanIncluding(const char* pszCharSet) const {
  const CharSet set(ViewOf(pszCharSet));
  std::size_t pos = 0;
  while (pos < m_str.size()) {
    const std::size_t len = CharLength(m_str, pos);
    if (!set.Contains(std::string_view(m_str).substr(pos, len))) break;
    pos += len;
  }
  return Left(static_cast<int>(pos));
}

CString CString::SpanExcluding(const char* pszCharSet) const {
  const CharSet set(ViewOf(pszCharSet));
  std::size_t pos = 0;
  while (pos < m_str.size()) {
    const std::size_t len = CharLength(m_str, pos);
    if (set.Contains(std::string_view(m_str).substr(pos, len))) break;
    pos += len;
  }
  return Left(static_cast<int>(pos));
}

CString CString::Tokenize(const char* pszTokens, int& iStart) const {
  if (iStart < 0 || static_cast<std::size_t>(iStart) >= m_str.size()) {
    iStart = -1;
    return CString();
  }
  const std::string_view s(m_str);
  if (pszTokens == nullptr || *pszTokens == '\0') {
    const CString rest = Mid(iStart);
    iStart = GetLength();
    return rest;
  }
  const CharSet set(pszTokens);
  std::size_t pos = static_cast<std::size_t>(iStart);
  while (pos < s.size() && set.Contains(s.substr(pos, CharLength(s, pos)))) pos += CharLength(s, pos);
  if (pos >= s.size()) {
    iStart = -1;
    return CString();
  }
  const std::size_t from = pos;
  while (pos < s.size() && !set.Contains(s.substr(pos, CharLength(s, pos)))) pos += CharLength(s, pos);
  const CString token(s.substr(from, pos - from));
  iStart = static_cast<int>(pos < s.size() ? pos + CharLength(s, pos) : pos + 1);
  return token;
}

// --- searching -------------------------------------------------------------

int CString::Find(char ch, int iStart) const noexcept {
  if (iStart < 0 || static_cast<std::size_t>(iStart) >= m_str.size()) return -1;
  if (IsAscii(ch)) {
    const std::size_t pos = m_str.find(ch, static_cast<std::size_t>(iStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
  }
  // A byte >= 0x80 is only a character of its own outside UTF-8 sequences.
  for (std::size_t pos = 0; pos < m_str.size(); pos += CharLength(m_str, pos)) {
    if (pos >= static_cast<std::size_t>(iStart) && m_str[pos] == ch && CharLength(m_str, pos) == 1) {
      return static_cast<int>(pos);
    }
  }
  return -1;
}

int CString::Find(const char* pszSub, int iStart) const noexcept {
  if (iStart < 0 || static_cast<std::size_t>(iStart) > m_str.size()) return -1;
  const std::size_t pos = m_str.find(ViewOf(pszSub), static_cast<std::size_t>(iStart));
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const noexcept {
  for (std::size_t end = m_str.size(); end > 0;) {
    const std::size_t start = PrevCharStart(m_str, end);
    if (end - start == 1 && m_str[start] == ch) return static_cast<int>(start);
    end = start;
  }
  return -1;
}

int CString::FindOneOf(const char* pszCharSet) const noexcept {
  const CharSet set(ViewOf(pszCharSet));
  for (std::size_t pos = 0; pos < m_str.size(); pos += CharLength(m_str, pos)) {
    if (set.Contains(std::string_view(m_str).substr(pos, CharLength(m_str, pos)))) return static_cast<int>(pos);
  }
  return -1;
}

// --- changes ---------------------------------------------------------------

int CString::Replace(char chOld, char chNew) {
  int count = 0;
  for (std::size_t pos = 0; pos < m_str.size();) {
    const std::size_t len = CharLength(m_str, pos);
    if (len == 1 && m_str[pos] == chOld) {
      m_str[pos] = chNew;
      ++count;
    }
    pos += len;
  }
  return count;
}

int CString::Replace(const char* pszOld, const char* pszNew) {
  const std::string_view from = ViewOf(pszOld);
  if (from.empty()) return 0;
  const std::string to(ViewOf(pszNew));  // may lie inside this string
  const std::string pattern(from);
  std::string out;
  int count = 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = m_str.find(pattern, pos);
    if (hit == std::string::npos) break;
    out.append(m_str, pos, hit - pos);
    out += to;
    pos = hit + pattern.size();
    ++count;
  }
  if (count > 0) {
    out.append(m_str, pos, std::string::npos);
    m_str = std::move(out);
  }
  return count;
}

int CString::Remove(char ch) {
  std::string out;
  out.reserve(m_str.size());
  int count = 0;
  for (std::size_t pos = 0; pos < m_str.size();) {
    const std::size_t len = CharLength(m_str, pos);
    if (len == 1 && m_str[pos] == ch) {
      ++count;
    } else {
      out.append(m_str, pos, len);
    }
    pos += len;
  }
  m_str = std::move(out);
  return count;
}

int CString::Insert(int iIndex, char ch) {
  m_str.insert(ClampIndex(iIndex, m_str.size()), 1, ch);
  return GetLength();
}

int CString::Insert(int iIndex, const char* psz) {
  const std::string text(ViewOf(psz));
  m_str.insert(ClampIndex(iIndex, m_str.size()), text);
  return GetLength();
}

int CString::Delete(int iIndex, int nCount) {
  const std::size_t index = ClampIndex(iIndex, m_str.size());
  if (nCount > 0 && index < m_str.size()) m_str.erase(index, static_cast<std::size_t>(nCount));
  return GetLength();
}

void CString::Truncate(int nNewLength) {
  if (nNewLength >= 0 && static_cast<std::size_t>(nNewLength) < m_str.size()) {
    m_str.resize(static_cast<std::size_t>(nNewLength));
  }
}

CString& CString::MakeUpper() {
  for (char& c : m_str) c = tesk::win::AsciiUpper(c);
  return *this;
}

CString& CString::MakeLower() {
  for (char& c : m_str) c = tesk::win::AsciiLower(c);
  return *this;
}

CString& CString::MakeReverse() {
  std::string out;
  out.reserve(m_str.size());
  for (std::size_t end = m_str.size(); end > 0;) {
    const std::size_t start = PrevCharStart(m_str, end);
    out.append(m_str, start, end - start);
    end = start;
  }
  m_str = std::move(out);
  return *this;
}

namespace {

void TrimLeftBy(std::string& s, const CharSet& set) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t len = CharLength(s, pos);
    if (!set.Contains(std::string_view(s).substr(pos, len))) break;
    pos += len;
  }
  s.erase(0, pos);
}

void TrimRightBy(std::string& s, const CharSet& set) {
  std::size_t end = s.size();
  while (end > 0) {
    const std::size_t start = PrevCharStart(s, end);
    if (!set.Contains(std::string_view(s).substr(start, end - start))) break;
    end = start;
  }
  s.resize(end);
}

}  // namespace

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(char chTarget) { return TrimRight(chTarget).TrimLeft(chTarget); }
CString& CString::Trim(const char* pszTargets) { return TrimRight(pszTargets).TrimLeft(pszTargets); }

CString& CString::TrimLeft() {
  TrimLeftBy(m_str, Whitespace());
  return *this;
}
CString& CString::TrimLeft(char chTarget) {
  TrimLeftBy(m_str, CharSet(chTarget));
  return *this;
}
CString& CString::TrimLeft(const char* pszTargets) {
  TrimLeftBy(m_str, CharSet(ViewOf(pszTargets)));
  return *this;
}

CString& CString::TrimRight() {
  TrimRightBy(m_str, Whitespace());
  return *this;
}
CString& CString::TrimRight(char chTarget) {
  TrimRightBy(m_str, CharSet(chTarget));
  return *this;
}
CString& CString::TrimRight(const char* pszTargets) {
  TrimRightBy(m_str, CharSet(ViewOf(pszTargets)));
  return *this;
}

// --- buffer access -----------------------------------------------------------

char* CString::GetBuffer() { return m_str.data(); }

char* CString::GetBuffer(int nMinBufLength) {
  if (nMinBufLength > 0 && static_cast<std::size_t>(nMinBufLength) > m_str.size()) {
    m_str.resize(static_cast<std::size_t>(nMinBufLength), '\0');
  }
  return m_str.data();
}

char* CString::GetBufferSetLength(int nNewLength) {
  m_str.resize(nNewLength > 0 ? static_cast<std::size_t>(nNewLength) : 0, '\0');
  return m_str.data();
}

void CString::ReleaseBuffer(int nNewLength) {
  // The buffer always has its terminator at size(), so strnlen stays inside.
  const std::size_t len = nNewLength < 0 ? ::strnlen(m_str.c_str(), m_str.size())
                                         : std::min(static_cast<std::size_t>(nNewLength), m_str.size());
  m_str.resize(len);
}

void CString::Preallocate(int nLength) {
  if (nLength > 0) m_str.reserve(static_cast<std::size_t>(nLength));
}

BOOL CString::LoadString(UINT nID) {
  std::string text;
  if (!tesk::win::LookupString(nID, text)) return FALSE;
  m_str = std::move(text);
  return TRUE;
}
