#include "providers/imap/wire.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace tesk::mapi::imap {

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCase(std::string s) {
  for (char& c : s) c = Upper(c);
  return s;
}

bool IsStatusWord(const std::string& w) {
  return w == "OK" || w == "NO" || w == "BAD" || w == "BYE" || w == "PREAUTH";
}

bool IsDigits(std::string_view s) {
  return !s.empty() && s.size() <= 19 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Characters that end an atom (besides the line end).
bool EndsAtom(int c) { return c == ' ' || c == '(' || c == ')' || c == '"' || c == '\r' || c == '\n' || c < 0; }

constexpr size_t kChunk = 64 * 1024;

}  // namespace

bool Value::IsAtom(std::string_view a) const {
  if (kind != Kind::Atom || text.size() != a.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (Upper(text[k]) != Upper(a[k])) return false;
  return true;
}

std::optional<std::uint64_t> Value::Number() const {
  if (kind != Kind::Atom || !IsDigits(text)) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) {
    const std::uint64_t next = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (next / 10 != n || next > (std::uint64_t{1} << 63) - 1) return std::nullopt;
    n = next;
  }
  return n;
}

std::string Response::Word() const {
  if (data.empty()) return {};
  if (data.size() > 1 && data[0].Number()) return UpperCase(data[1].text);
  return UpperCase(data[0].text);
}

std::uint64_t Response::Number() const {
  if (data.size() > 1) {
    if (auto n = data[0].Number()) return *n;
  }
  return 0;
}

// ---- reading -----------------------------------------------------------------------------

void Reader::Fail(const std::string& what) { throw ProtocolError("the server's response is malformed: " + what); }

void Reader::Fill() {
  if (pos_ < buf_.size()) return;
  buf_.resize(kChunk);
  const size_t n = source_.Read(buf_.data(), kChunk);
  buf_.resize(n);
  pos_ = 0;
  total_ += n;
}

int Reader::Peek() {
  Fill();
  if (pos_ >= buf_.size()) return -1;
  return static_cast<unsigned char>(buf_[pos_]);
}

void Reader::Count(size_t bytes) {
  lineBytes_ += bytes;
  if (lineBytes_ > limits_.maxLine) Fail("a line longer than " + std::to_string(limits_.maxLine) + " bytes");
}

int Reader::Get() {
  const int c = Peek();
  if (c < 0) throw ProtocolError("the server closed the connection in the middle of a response");
  ++pos_;
  Count(1);
  return c;
}

void Reader::Expect(char c) {
  const int got = Get();
  if (got != static_cast<unsigned char>(c)) Fail(std::string("expected '") + c + "'");
}

void Reader::ReadLineEnd() {
  int c = Get();
  if (c == '\r') c = Get();
  if (c != '\n') Fail("expected the end of the line");
}

std::string Reader::ReadWord() {
  std::string w;
  while (true) {
    const int c = Peek();
    if (c == ' ' || c == '\r' || c == '\n') break;
    if (c < 0) {
      if (w.empty() && lineBytes_ == 0) throw ProtocolError("the server closed the connection");
      Get();  // throws
    }
    w.push_back(static_cast<char>(Get()));
  }
  if (w.empty()) Fail("an empty word");
  return w;
}

std::string Reader::ReadRestOfLine() {
  std::string s;
  while (true) {
    const int c = Get();
    if (c == '\n') break;
    s.push_back(static_cast<char>(c));
  }
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

void Reader::ReadRespText(Response& r) {
  if (Peek() == ' ') Get();
  if (Peek() == '[') {
    Get();
    int depth = 0;
    while (true) {
      const int c = Get();
      if (c == '\r' || c == '\n') Fail("an unclosed response code");
      if (c == '[') ++depth;
      if (c == ']' && depth-- == 0) break;
      r.code.push_back(static_cast<char>(c));
    }
    if (Peek() == ' ') Get();
  }
  r.text = ReadRestOfLine();
}

void Reader::ReadQuoted(Value& v) {
  Expect('"');
  v.kind = Value::Kind::String;
  while (true) {
    int c = Get();
    if (c == '"') break;
    if (c == '\\') c = Get();
    if (c == '\r' || c == '\n') Fail("a line end inside a quoted string");
    v.text.push_back(static_cast<char>(c));
  }
}

void Reader::ReadLiteral(Value& v) {
  if (Peek() == '~') Get();  // literal8
  Expect('{');
  std::string digits;
  while (Peek() >= '0' && Peek() <= '9') digits.push_back(static_cast<char>(Get()));
  if (Peek() == '+') Get();
  Expect('}');
  ReadLineEnd();
  if (!IsDigits(digits)) Fail("a literal without its length");
  Value number;
  number.text = digits;
  const auto n = number.Number();
  if (!n || *n > limits_.maxLiteral) Fail("a literal of " + digits + " bytes");
  v.kind = Value::Kind::String;
  v.text.clear();
  // The length is the server's word: memory grows with what really arrives.
  v.text.reserve(static_cast<size_t>(std::min<std::uint64_t>(*n, 1u << 20)));
  std::uint64_t left = *n;
  while (left > 0) {
    if (pos_ < buf_.size()) {
      const size_t take = static_cast<size_t>(std::min<std::uint64_t>(left, buf_.size() - pos_));
      v.text.append(buf_, pos_, take);
      pos_ += take;
      left -= take;
      continue;
    }
    // Large parts go straight from the source into the value.
    const size_t old = v.text.size();
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, 4 * kChunk));
    v.text.resize(old + want);
    const size_t got = source_.Read(v.text.data() + old, want);
    v.text.resize(old + got);
    total_ += got;
    if (got == 0) throw ProtocolError("the server closed the connection in the middle of a literal");
    left -= got;
  }
}

void Reader::ReadAtom(Value& v) {
  v.kind = Value::Kind::Atom;
  while (!EndsAtom(Peek())) {
    const int c = Get();
    if (c < 0x20 || c == 0x7f) Fail("a control character in an atom");
    v.text.push_back(static_cast<char>(c));
    if (c == '[') {
      // A section: BODY[HEADER.FIELDS (MESSAGE-ID)] holds spaces and lists.
      int depth = 0;
      while (true) {
        const int d = Get();
        if (d == '\r' || d == '\n') Fail("an unclosed section");
        v.text.push_back(static_cast<char>(d));
        if (d == '[') ++depth;
        if (d == ']' && depth-- == 0) break;
      }
    }
  }
  if (v.text.empty()) Fail("an unexpected character");
  if (v.IsAtom("NIL")) {
    v.kind = Value::Kind::Nil;
    v.text.clear();
  }
}

Value Reader::ReadValue(size_t depth) {
  if (depth > limits_.maxDepth) Fail("lists nested too deep");
  if (++values_ > limits_.maxValues) Fail("too many values in one response");
  Value v;
  const int c = Peek();
  if (c == '(') {
    Get();
    v.kind = Value::Kind::List;
    while (true) {
      while (Peek() == ' ') Get();
      const int d = Peek();
      if (d == ')') {
        Get();
        break;
      }
      if (d == '\r' || d == '\n' || d < 0) Fail("an unclosed list");
      v.items.push_back(ReadValue(depth + 1));
    }
  } else if (c == '"') {
    ReadQuoted(v);
  } else if (c == '{' || c == '~') {
    ReadLiteral(v);
  } else {
    ReadAtom(v);
  }
  return v;
}

Response Reader::Next() {
  lineBytes_ = 0;
  values_ = 0;
  Response r;
  const std::string tag = ReadWord();
  if (tag == "+") {
    r.type = Response::Type::Continuation;
    if (Peek() == ' ') Get();
    r.text = ReadRestOfLine();
    return r;
  }
  Expect(' ');
  if (tag == "*") {
    r.type = Response::Type::Untagged;
    std::string word = ReadWord();
    const std::string upper = UpperCase(word);
    if (IsStatusWord(upper)) {
      r.status = upper;
      ReadRespText(r);
      return r;
    }
    Value first;
    first.text = std::move(word);
    const bool numbered = first.Number().has_value();
    r.data.push_back(std::move(first));
    if (numbered) {
      Expect(' ');
      Value second;
      second.text = ReadWord();
      r.data.push_back(std::move(second));
    }
    while (true) {
      while (Peek() == ' ') Get();
      const int c = Peek();
      if (c == '\r' || c == '\n' || c < 0) break;
      r.data.push_back(ReadValue(0));
    }
    ReadLineEnd();
    return r;
  }
  for (char c : tag)
    if (static_cast<unsigned char>(c) < 0x21 || c == '(' || c == ')' || c == '{' || c == '"' || c == '\\' ||
        static_cast<unsigned char>(c) > 0x7e)
      Fail("a tag with a character tags cannot hold");
  r.type = Response::Type::Tagged;
  r.tag = tag;
  const std::string status = UpperCase(ReadWord());
  if (status != "OK" && status != "NO" && status != "BAD") Fail("a tagged response that is none of OK, NO and BAD");
  r.status = status;
  ReadRespText(r);
  return r;
}

// ---- writing -----------------------------------------------------------------------------

std::optional<std::string> QuoteArgument(std::string_view s) {
  static constexpr std::string_view kAtomSafe = "-._/&+!#$',:;<=>?@^`|~";
  const bool atom = !s.empty() && s.size() <= 200 && std::all_of(s.begin(), s.end(), [](char c) {
                      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             kAtomSafe.find(c) != std::string_view::npos;
                    });
  if (atom && !(s.size() == 3 && Upper(s[0]) == 'N' && Upper(s[1]) == 'I' && Upper(s[2]) == 'L'))
    return std::string(s);
  if (s.size() > 1000) return std::nullopt;
  std::string q = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7e) return std::nullopt;
    if (c == '"' || c == '\\') q.push_back('\\');
    q.push_back(c);
  }
  q.push_back('"');
  return q;
}

std::string FlagList(const std::vector<std::string>& flags) {
  std::string s = "(";
  for (size_t k = 0; k < flags.size(); ++k) {
    if (k) s += ' ';
    s += flags[k];
  }
  return s + ")";
}

namespace {
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool TakeNumber(std::string_view& s, size_t digits, int& out) {
  if (s.size() < digits) return false;
  out = 0;
  for (size_t k = 0; k < digits; ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
    out = out * 10 + (s[k] - '0');
  }
  s.remove_prefix(digits);
  return true;
}
bool Take(std::string_view& s, char c) {
  if (s.empty() || s[0] != c) return false;
  s.remove_prefix(1);
  return true;
}
}  // namespace

std::optional<std::int64_t> ParseInternalDate(std::string_view s) {
  while (!s.empty() && s[0] == ' ') s.remove_prefix(1);
  int day = 0, year = 0, hh = 0, mm = 0, ss = 0, zh = 0, zm = 0;
  if (s.size() >= 2 && s[1] == '-') {
    if (!TakeNumber(s, 1, day)) return std::nullopt;
  } else if (!TakeNumber(s, 2, day)) {
    return std::nullopt;
  }
  if (!Take(s, '-') || s.size() < 4) return std::nullopt;
  int month = -1;
  for (int k = 0; k < 12; ++k)
    if (Upper(s[0]) == Upper(kMonths[k][0]) && Upper(s[1]) == Upper(kMonths[k][1]) && Upper(s[2]) == Upper(kMonths[k][2]))
      month = k;
  if (month < 0) return std::nullopt;
  s.remove_prefix(3);
  if (!Take(s, '-') || !TakeNumber(s, 4, year) || !Take(s, ' ') || !TakeNumber(s, 2, hh) || !Take(s, ':') ||
      !TakeNumber(s, 2, mm) || !Take(s, ':') || !TakeNumber(s, 2, ss) || !Take(s, ' ') || s.empty())
    return std::nullopt;
  const char sign = s[0];
  s.remove_prefix(1);
  if ((sign != '+' && sign != '-') || !TakeNumber(s, 2, zh) || !TakeNumber(s, 2, zm) || !s.empty()) return std::nullopt;
  if (day < 1 || day > 31 || hh > 23 || mm > 59 || ss > 60 || zm > 59 || year < 1601) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month;
  tm.tm_mday = day;
  tm.tm_hour = hh;
  tm.tm_min = mm;
  tm.tm_sec = ss;
  const std::int64_t utc = static_cast<std::int64_t>(::timegm(&tm));
  const std::int64_t offset = (zh * 60 + zm) * 60;
  return sign == '+' ? utc - offset : utc + offset;
}

std::string FormatInternalDate(std::int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char out[40];
  std::snprintf(out, sizeof out, "%02d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, kMonths[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

std::string UidSet(const std::vector<std::uint32_t>& uids) {
  std::string s;
  for (size_t k = 0; k < uids.size();) {
    size_t j = k;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!s.empty()) s += ',';
    s += std::to_string(uids[k]);
    if (j > k) s += ':' + std::to_string(uids[j]);
    k = j + 1;
  }
  return s;
}

std::optional<std::vector<std::uint32_t>> ParseUidSet(std::string_view s, size_t maxCount) {
  std::vector<std::uint32_t> out;
  auto number = [](std::string_view t) -> std::optional<std::uint32_t> {
    if (t.empty() || t.size() > 10) return std::nullopt;
    std::uint64_t n = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n == 0 || n > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(n);
  };
  while (!s.empty()) {
    const size_t comma = s.find(',');
    const std::string_view part = s.substr(0, comma);
    const size_t colon = part.find(':');
    auto a = number(part.substr(0, colon));
    auto b = colon == std::string_view::npos ? a : number(part.substr(colon + 1));
    if (!a || !b) return std::nullopt;
    // "5:1" is the range 1:5; the messages of a range got their numbers
    // in ascending order.
    const std::uint32_t lo = std::min(*a, *b), hi = std::max(*a, *b);
    const std::uint64_t count = std::uint64_t{hi} - lo + 1;
    if (out.size() + count > maxCount) return std::nullopt;
    for (std::uint64_t k = 0; k < count; ++k) out.push_back(static_cast<std::uint32_t>(lo + k));
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
    if (s.empty()) return std::nullopt;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace tesk::mapi::imap
