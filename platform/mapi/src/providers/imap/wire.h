// IMAP4rev1 responses as they come off the wire (RFC 3501 section 7, with
// the additions of LITERAL+, BINARY and the response codes of UIDPLUS).
//
// The reader pulls bytes from a source as it needs them and reads literals
// straight into their value, so a message body is copied once. It trusts
// nothing the server sends: lines, literals, nesting and the number of
// values are bounded, and anything malformed ends in a ProtocolError rather
// than in a guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tesk::mapi::imap {

// The server broke the protocol (or the connection ended in the middle of a
// response).
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the reader's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes; 0 at the end of the stream. Throws on failure.
  virtual size_t Read(char* buf, size_t n) = 0;
};

// One value of a response: an atom (numbers, flags and section specifiers
// like BODY[HEADER] included), a string (quoted or literal), NIL or a
// parenthesized list.
struct Value {
  enum class Kind { Atom, String, Nil, List };
  Kind kind = Kind::Atom;
  std::string text;          // an atom's or a string's bytes
  std::vector<Value> items;  // a list's values

  bool IsAtom(std::string_view a) const;  // an atom equal to a, letters A to Z in either case
  bool IsList() const { return kind == Kind::List; }
  bool IsString() const { return kind == Kind::String; }
  // An atom or a string as text; NIL as empty.
  const std::string& Str() const { return text; }
  // An atom holding a number (0 to 2^63-1); nullopt otherwise.
  std::optional<std::uint64_t> Number() const;
};

struct Response {
  enum class Type { Untagged, Tagged, Continuation };
  Type type = Type::Untagged;
  std::string tag;     // of a tagged response
  std::string status;  // OK, NO, BAD, BYE or PREAUTH, upper case; empty for data
  std::string code;    // a status response's code, without its brackets: "UIDNEXT 4392"
  std::string text;    // a status response's or a continuation's text
  // Data of an untagged response, from its first word on:
  // "* 12 FETCH (...)" gives 12, FETCH and the list; "* CAPABILITY IMAP4rev1 ..."
  // gives CAPABILITY and the capabilities.
  std::vector<Value> data;

  bool IsStatus() const { return !status.empty(); }
  bool Ok() const { return status == "OK"; }
  // The first word of the data (upper case), or of the number's
  // successor for "* n WORD": EXISTS, FETCH, EXPUNGE, LIST, ...
  std::string Word() const;
  // The number of "* n WORD"; 0 when there is none.
  std::uint64_t Number() const;
};

struct ReaderLimits {
  size_t maxLine = 16u << 20;          // bytes of a response outside its literals
  std::uint64_t maxLiteral = 1u << 30;  // bytes of one literal
  size_t maxDepth = 64;                // nesting of lists
  size_t maxValues = 1u << 22;         // values of one response
};

class Reader {
 public:
  explicit Reader(ByteSource& source, ReaderLimits limits = {}) : source_(source), limits_(limits) {}

  // The next response; throws ProtocolError on malformed input or when the
  // stream ends (also in the middle of one).
  Response Next();
  // Bytes read from the source so far.
  std::uint64_t BytesRead() const { return total_; }

 private:
  int Peek();
  int Get();
  void Expect(char c);
  void Fill();
  std::string ReadWord();  // up to the next space or line end
  void ReadLineEnd();
  std::string ReadRestOfLine();
  void ReadRespText(Response& r);
  Value ReadValue(size_t depth);
  void ReadLiteral(Value& v);
  void ReadQuoted(Value& v);
  void ReadAtom(Value& v);
  void Count(size_t bytes);
  [[noreturn]] void Fail(const std::string& what);

  ByteSource& source_;
  ReaderLimits limits_;
  std::string buf_;
  size_t pos_ = 0;
  std::uint64_t total_ = 0;
  size_t lineBytes_ = 0;
  size_t values_ = 0;
};

// ---- writing ---------------------------------------------------------------------------

// A string argument as the protocol wants it: an atom where it can be one,
// else a quoted string; nullopt when it must go as a literal (CR, LF, NUL,
// 8-bit bytes, or long).
std::optional<std::string> QuoteArgument(std::string_view s);

// Folds a flag or keyword list into "(\Seen $Label1)".
std::string FlagList(const std::vector<std::string>& flags);

// Dates: INTERNALDATE "17-Jul-1996 02:44:25 -0700" <-> seconds since 1970 UTC.
std::optional<std::int64_t> ParseInternalDate(std::string_view s);
std::string FormatInternalDate(std::int64_t unixSeconds);

// A UID set "1:5,7,9:12" of sorted, distinct numbers; and its parse (for
// APPENDUID and COPYUID), nullopt when malformed or larger than maxCount.
std::string UidSet(const std::vector<std::uint32_t>& sortedUids);
std::optional<std::vector<std::uint32_t>> ParseUidSet(std::string_view s, size_t maxCount = 1u << 20);

}  // namespace tesk::mapi::imap
