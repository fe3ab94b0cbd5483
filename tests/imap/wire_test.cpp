// The IMAP response reader on what real servers send and on what a hostile
// one might: literals split anywhere, sections with spaces, response codes,
// and malformed or oversized input, which must end in a ProtocolError.
#include <gtest/gtest.h>

#include <random>

#include "providers/imap/client.h"
#include "providers/imap/wire.h"

using namespace tesk::mapi::imap;

namespace {

// Bytes handed out in pieces of a given size, as a socket might.
class Chunked final : public ByteSource {
 public:
  Chunked(std::string data, size_t piece) : data_(std::move(data)), piece_(piece) {}
  size_t Read(char* buf, size_t n) override {
    const size_t take = std::min({n, piece_, data_.size() - at_});
    std::copy_n(data_.data() + at_, take, buf);
    at_ += take;
    return take;
  }

 private:
  std::string data_;
  size_t piece_;
  size_t at_ = 0;
};

std::vector<Response> ReadAll(const std::string& data, size_t piece, ReaderLimits limits = {}) {
  Chunked src(data, piece);
  Reader r(src, limits);
  std::vector<Response> out;
  while (true) {
    try {
      out.push_back(r.Next());
    } catch (const ProtocolError& e) {
      if (std::string(e.what()) == "the server closed the connection") break;
      throw;
    }
  }
  return out;
}

const std::string kBody = "Subject: hi\r\n\r\n(unbalanced ) \"quote {5}\r\nend\r\n";

std::string Transcript() {
  return "* OK [CAPABILITY IMAP4rev1 LITERAL+ SASL-IR] Dovecot ready.\r\n"
         "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n"
         "* LIST (\\Noselect) \"/\" {12}\r\nEntw&APw-rfe\r\n"
         "* LIST () NIL \"with \\\"quotes\\\"\"\r\n"
         "* STATUS INBOX (MESSAGES 3 UIDVALIDITY 1700000000)\r\n"
         "* 3 EXISTS\r\n"
         "* 1 FETCH (UID 7 FLAGS (\\Seen $Label1) INTERNALDATE \" 7-Jul-2024 02:44:25 -0700\" RFC822.SIZE " +
         std::to_string(kBody.size()) + " BODY[] {" + std::to_string(kBody.size()) + "}\r\n" + kBody +
         ")\r\n"
         "* 2 FETCH (UID 8 BODY[HEADER.FIELDS (MESSAGE-ID)] {21}\r\nMessage-ID: <a@b>\r\n\r\n)\r\n"
         "* NAMESPACE ((\"\" \"/\")) NIL ((\"Public/\" \"/\"))\r\n"
         "+ go ahead\r\n"
         "T12 OK [APPENDUID 38505 3955:3957] APPEND completed\r\n"
         "T13 NO [ALREADYEXISTS] Mailbox exists\r\n"
         "* BYE server shutting down\r\n";
}

}  // namespace

TEST(ImapWire, ReadsWhatServersSendWhereverTheBytesAreCut) {
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    const auto rs = ReadAll(Transcript(), piece);
    ASSERT_EQ(rs.size(), 13u);
    EXPECT_EQ(rs[0].status, "OK");
    EXPECT_EQ(rs[0].code, "CAPABILITY IMAP4rev1 LITERAL+ SASL-IR");
    EXPECT_EQ(rs[0].text, "Dovecot ready.");
    EXPECT_EQ(rs[1].Word(), "LIST");
    ASSERT_EQ(rs[1].data.size(), 4u);
    EXPECT_TRUE(rs[1].data[1].IsList());
    EXPECT_TRUE(rs[1].data[1].items[1].IsAtom("\\sent"));
    EXPECT_EQ(rs[2].data[3].Str(), "Entw&APw-rfe");
    EXPECT_EQ(rs[3].data[2].kind, Value::Kind::Nil);
    EXPECT_EQ(rs[3].data[3].Str(), "with \"quotes\"");
    EXPECT_EQ(rs[4].data[2].items[3].Number(), 1700000000u);
    EXPECT_EQ(rs[5].Word(), "EXISTS");
    EXPECT_EQ(rs[5].Number(), 3u);
    // A body keeps every byte, parentheses, quotes and braces included.
    const auto& fetch = rs[6].data[2].items;
    ASSERT_EQ(fetch.size(), 10u);
    EXPECT_EQ(fetch[3].items[1].Str(), "$Label1");
    EXPECT_EQ(ParseInternalDate(fetch[5].Str()), 1720345465);
    EXPECT_TRUE(fetch[8].IsAtom("BODY[]"));
    EXPECT_EQ(fetch[9].Str(), kBody);
    // A section with spaces and a list inside is one atom.
    EXPECT_EQ(rs[7].data[2].items[2].Str(), "BODY[HEADER.FIELDS (MESSAGE-ID)]");
    EXPECT_EQ(rs[8].data[3].items[0].items[0].Str(), "Public/");
    EXPECT_EQ(rs[9].type, Response::Type::Continuation);
    EXPECT_EQ(rs[10].tag, "T12");
    EXPECT_EQ(rs[10].code, "APPENDUID 38505 3955:3957");
    EXPECT_EQ(ErrorOfResponse(rs[11]), MAPI_E_COLLISION);
    EXPECT_EQ(rs[12].status, "BYE");
  }
}

TEST(ImapWire, RefusesMalformedAndOversizedResponses) {
  const char* bad[] = {
      "* 1 FETCH (UID 1\r\n",                  // unclosed list
      "* 1 FETCH (BODY[] {5}\r\nab",           // literal cut off
      "* 1 FETCH (BODY[] {99999999999999999999}\r\n)\r\n",  // absurd literal
      "* 1 FETCH (BODY[] {-1}\r\n)\r\n",
      "* LIST (\\x) \"/\" \"open\r\n",         // line end in a quoted string
      "T1 MAYBE fine\r\n",                      // no such status
      "T(1 OK x\r\n",                           // a tag with a special
      "* 1 FETCH (BODY[HEADER\r\n",             // unclosed section
      "* OK [UNCLOSED code\r\n",
      "* 1 FETCH (a\x01b)\r\n",                 // control character
      ")\r\n",
  };
  for (const char* input : bad) {
    SCOPED_TRACE(input);
    EXPECT_THROW(ReadAll(input, 3), ProtocolError);
  }
  ReaderLimits small;
  small.maxLiteral = 10;
  EXPECT_THROW(ReadAll("* 1 FETCH (BODY[] {11}\r\n01234567890)\r\n", 4, small), ProtocolError);
  small = {};
  small.maxDepth = 5;
  EXPECT_THROW(ReadAll("* X ((((((((a))))))))\r\n", 4, small), ProtocolError);
  small = {};
  small.maxLine = 100;
  EXPECT_THROW(ReadAll("* X " + std::string(200, 'a') + "\r\n", 16, small), ProtocolError);
  // A literal's announced length costs memory only as its bytes arrive.
  EXPECT_THROW(ReadAll("* 1 FETCH (BODY[] {1000000000}\r\nshort", 4), ProtocolError);
}

// Random damage to a real transcript: the reader returns responses or a
// ProtocolError, and never reads outside its buffers (the sanitizer build
// runs this too).
TEST(ImapWire, SurvivesDamagedInput) {
  const std::string base = Transcript();
  std::mt19937 rng(20261209);
  const std::string specials = "(){}[]\"\\\r\n ~+*0123456789";
  for (int round = 0; round < 4000; ++round) {
    std::string s = base;
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % s.size();
      switch (rng() % 4) {
        case 0: s[at] = specials[rng() % specials.size()]; break;
        case 1: s[at] = static_cast<char>(rng() & 0xFF); break;
        case 2: s.erase(at, 1 + rng() % 16); break;
        default: s.insert(at, std::string(1 + rng() % 4, specials[rng() % specials.size()])); break;
      }
      if (s.empty()) s = "x";
    }
    if (round % 2) s.resize(rng() % s.size());
    ReaderLimits limits;
    limits.maxLiteral = 4096;
    try {
      ReadAll(s, 1 + rng() % 40, limits);
    } catch (const ProtocolError&) {
    }
  }
}

TEST(ImapWire, UidSetsDatesAndArguments) {
  EXPECT_EQ(UidSet({1, 2, 3, 5, 7, 8}), "1:3,5,7:8");
  EXPECT_EQ(ParseUidSet("3955:3957"), (std::vector<std::uint32_t>{3955, 3956, 3957}));
  EXPECT_EQ(ParseUidSet("9:7,12"), (std::vector<std::uint32_t>{7, 8, 9, 12}));
  for (const char* bad : {"", "0", "1:", ",1", "1,,2", "*", "4294967296", "1:x"}) EXPECT_FALSE(ParseUidSet(bad)) << bad;
  EXPECT_FALSE(ParseUidSet("1:4000000000", 1000));  // a hostile range costs nothing

  EXPECT_EQ(FormatInternalDate(1720345465), "07-Jul-2024 09:44:25 +0000");
  EXPECT_EQ(ParseInternalDate("07-Jul-2024 09:44:25 +0000"), 1720345465);
  EXPECT_EQ(ParseInternalDate("7-Jul-2024 11:44:25 +0200"), 1720345465);
  for (const char* bad : {"", "32-Jul-2024 00:00:00 +0000", "07-Foo-2024 00:00:00 +0000", "07-Jul-2024 00:00 +0000",
                          "07-Jul-2024 00:00:00 0000", "07-Jul-2024 00:00:00 +0000 trailing"})
    EXPECT_FALSE(ParseInternalDate(bad)) << bad;

  EXPECT_EQ(QuoteArgument("INBOX"), "INBOX");
  EXPECT_EQ(QuoteArgument("Entw&APw-rfe/2024"), "Entw&APw-rfe/2024");
  EXPECT_EQ(QuoteArgument("with space"), "\"with space\"");
  EXPECT_EQ(QuoteArgument("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(QuoteArgument("NIL"), "\"NIL\"");
  EXPECT_EQ(QuoteArgument("100%*"), "\"100%*\"");  // wildcards never go bare
  EXPECT_FALSE(QuoteArgument("line\r\nbreak"));
  EXPECT_FALSE(QuoteArgument("pässword"));

  for (const std::string& s : std::vector<std::string>{"", "a", "ab", "abc", std::string("\0user\0pass", 10)}) EXPECT_EQ(Unbase64(Base64(s)), s);
  EXPECT_EQ(Base64(std::string("\0alice\0secret", 13)), "AGFsaWNlAHNlY3JldA==");
}

// Which refusals are a server's "try again later", and the wait they ask
// for, as servers word them.
TEST(ImapBusy, ThrottlingAndTemporaryCodesAreToldApartFromRealRefusals) {
  auto busy = [](const std::string& line) {
    const auto rs = ReadAll(line + "\r\n", 7);
    EXPECT_EQ(rs.size(), 1u) << line;
    return rs.empty() ? std::nullopt : Busy(rs[0]);
  };
  EXPECT_EQ(busy("A1 NO Request is throttled. Suggested Backoff Time: 1500 milliseconds"), 1.5);
  EXPECT_EQ(busy("A1 NO request is throttled. suggested backoff time: 50 milliseconds"), 0.05);
  EXPECT_EQ(busy("A1 NO Request is throttled."), -1.0);
  for (const char* code : {"UNAVAILABLE", "LIMIT", "INUSE", "SERVERBUG", "unavailable"})
    EXPECT_EQ(busy(std::string("A1 NO [") + code + "] Try again later"), -1.0) << code;
  // Refusals that waiting does not cure, and a BAD.
  for (const char* line : {"A1 NO [OVERQUOTA] Quota exceeded", "A1 NO [TRYCREATE] No such mailbox", "A1 NO Mailbox is full",
                           "A1 BAD [SERVERBUG] Internal error", "A1 OK [UNAVAILABLE] done"})
    EXPECT_EQ(busy(line), std::nullopt) << line;
  // Throttling fails as MAPI_E_BUSY once the budget is spent.
  EXPECT_EQ(ErrorOfResponse(ReadAll("A1 NO Request is throttled. Suggested Backoff Time: 1 milliseconds\r\n", 64).at(0)), MAPI_E_BUSY);
}
