// Internet mail and MAPI messages, both ways: what comes in as MIME goes
// out as the same bytes, what was never MIME becomes valid MIME that maps
// back to the same properties.
#include <gmime/gmime.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "fixture.h"
#include "inetmail/inetmail.h"
#include "inetmail/rtf.h"

using namespace tesk::mapi;
namespace inet = tesk::mapi::inet;

namespace {

std::string Str(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  return p ? p->b : std::string("<none>");
}
std::int64_t Num(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  return p ? p->i : -1;
}

// The mapped content of a message as one comparable list of lines.
std::vector<std::string> Mapped(const MessageData& m) {
  std::vector<std::string> out;
  for (ULONG tag : {PR_SUBJECT_A, PR_BODY_A, PR_HTML, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A,
                    PR_SENT_REPRESENTING_NAME_A, inet::PR_SENT_REPRESENTING_EMAIL_ADDRESS, inet::PR_INTERNET_MESSAGE_ID})
    out.push_back(Str(m.props, tag));
  out.push_back(std::to_string(Num(m.props, inet::PR_CLIENT_SUBMIT_TIME) / 10000000));
  out.push_back(std::to_string(Num(m.props, PR_IMPORTANCE)));
  out.push_back(Str(m.props, inet::PR_IN_REPLY_TO_ID) + "|" + Str(m.props, inet::PR_INTERNET_REFERENCES));
  for (const auto& r : m.recipients)
    out.push_back(Str(r, PR_DISPLAY_NAME_A) + "|" + Str(r, PR_EMAIL_ADDRESS_A) + "|" +
                  std::to_string(Num(r, PR_RECIPIENT_TYPE)));
  // Inline pictures travel beside the HTML in multipart/related, ahead of
  // the other attachments: attachments compare in any order.
  const size_t first = out.size();
  for (const auto& a : m.attachments)
    out.push_back(std::to_string(Num(a, PR_ATTACH_METHOD)) + "|" + Str(a, PR_ATTACH_LONG_FILENAME_A) + "|" +
                  Str(a, PR_ATTACH_MIME_TAG_A) + "|" + Str(a, inet::PR_ATTACH_CONTENT_ID) + "|" +
                  std::to_string(Num(a, inet::PR_ATTACH_FLAGS)) + "|" + std::to_string(Str(a, PR_ATTACH_DATA_BIN).size()) +
                  "|" + std::to_string(std::hash<std::string>{}(Str(a, PR_ATTACH_DATA_BIN))) + "|" +
                  Str(a, PR_DISPLAY_NAME_A));
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  return out;
}

std::string Binary(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// A message as a MAPI client makes it, never MIME.
MessageData ClientMessage(bool text, bool html, int attachments) {
  MessageData m;
  m.props = {Prop::Bytes(PR_MESSAGE_CLASS_A, "IPM.Note"),
             Prop::Bytes(PR_SUBJECT_A, "Grüße aus Köln – Übersicht “Q3”"),
             Prop::Bytes(PR_SENDER_NAME_A, "Jörg Müller"),
             Prop::Bytes(PR_SENDER_EMAIL_ADDRESS_A, "joerg@example.org"),
             Prop::Bytes(PR_SENDER_ADDRTYPE_A, "SMTP"),
             Prop::Bytes(PR_SENT_REPRESENTING_NAME_A, "Jörg Müller"),
             Prop::Int(inet::PR_CLIENT_SUBMIT_TIME, (1767225600LL + 11644473600LL) * 10000000LL),
             Prop::Bytes(inet::PR_INTERNET_MESSAGE_ID, "<client.1@example.org>"),
             Prop::Int(PR_IMPORTANCE, IMPORTANCE_HIGH),
             Prop::Bytes(inet::PR_IN_REPLY_TO_ID, "<earlier@example.org>"),
             Prop::Bytes(inet::PR_INTERNET_REFERENCES, "<first@example.org> <earlier@example.org>"),
             Prop::Int(PR_MESSAGE_FLAGS, MSGFLAG_READ)};
  if (text) m.props.push_back(Prop::Bytes(PR_BODY_A, "Hallo,\r\n\r\nanbei die Übersicht.\r\nGrüße\r\nJörg\r\n"));
  if (html) m.props.push_back(Prop::Bytes(PR_HTML, "<html><body><p>Gr&uuml;&szlig;e <img src=\"cid:logo@x\"></p></body></html>"));
  m.recipients = {{Prop::Int(PR_ROWID, 0), Prop::Bytes(PR_DISPLAY_NAME_A, "Anna Berger"),
                   Prop::Bytes(PR_EMAIL_ADDRESS_A, "anna@example.com"), Prop::Int(PR_RECIPIENT_TYPE, MAPI_TO)},
                  {Prop::Int(PR_ROWID, 1), Prop::Bytes(PR_DISPLAY_NAME_A, "Björn Ölund"),
                   Prop::Bytes(PR_EMAIL_ADDRESS_A, "bjoern@example.net"), Prop::Int(PR_RECIPIENT_TYPE, MAPI_CC)},
                  {Prop::Int(PR_ROWID, 2), Prop::Bytes(PR_DISPLAY_NAME_A, "Chef"),
                   Prop::Bytes(PR_EMAIL_ADDRESS_A, "chef@example.net"), Prop::Int(PR_RECIPIENT_TYPE, MAPI_BCC)}};
  for (int k = 0; k < attachments; ++k) {
    PropList a{Prop::Int(PR_ATTACH_NUM, k), Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_BY_VALUE_METHOD),
               Prop::Bytes(PR_ATTACH_LONG_FILENAME_A, "Übersicht März " + std::to_string(k) + ".pdf"),
               Prop::Bytes(PR_ATTACH_MIME_TAG_A, "application/pdf"),
               Prop::Bytes(PR_ATTACH_DATA_BIN, Binary(k == 0 ? 5u << 20 : 3000, static_cast<unsigned>(k)))};
    if (k == 2) {
      a = {Prop::Int(PR_ATTACH_NUM, k), Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_EMBEDDED_MSG_METHOD),
           Prop::Bytes(PR_ATTACH_MIME_TAG_A, "message/rfc822"), Prop::Bytes(PR_DISPLAY_NAME_A, "Weitergeleitet: Plan"),
           Prop::Bytes(PR_ATTACH_DATA_BIN, "Subject: Weitergeleitet: Plan\r\nFrom: x@example.org\r\n"
                                           "Content-Type: text/plain; charset=utf-8\r\n"
                                           "Content-Transfer-Encoding: 8bit\r\n\r\nDer Plan für März\r\n")};
    }
    if (k == 1) {
      a = {Prop::Int(PR_ATTACH_NUM, k), Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_BY_VALUE_METHOD),
           Prop::Bytes(PR_ATTACH_LONG_FILENAME_A, "logo.png"), Prop::Bytes(PR_ATTACH_MIME_TAG_A, "image/png"),
           Prop::Bytes(inet::PR_ATTACH_CONTENT_ID, "logo@x"), Prop::Int(inet::PR_ATTACH_FLAGS, 4),
           Prop::Bytes(PR_ATTACH_DATA_BIN, Binary(2000, 7))};
    }
    m.attachments.push_back(std::move(a));
  }
  return m;
}

TEST(Mime, ClientMessagesBecomeMimeThatMapsBackToTheSameProperties) {
  struct Case {
    bool text, html;
    int attachments;
  };
  for (const Case c : {Case{true, false, 0}, Case{false, true, 0}, Case{true, true, 0}, Case{true, true, 2},
                       Case{true, false, 3}}) {
    SCOPED_TRACE(std::to_string(c.text) + std::to_string(c.html) + std::to_string(c.attachments));
    const MessageData m = ClientMessage(c.text, c.html, c.attachments);
    const std::string mime = inet::ToMime(m);
    EXPECT_EQ(mime.find("\n"), mime.find("\r\n") + 1) << "CR LF line ends";
    EXPECT_EQ(inet::ToMime(m), mime) << "the same message composes the same way";
    const MessageData back = inet::FromMime(mime, inet::FlagsOf(m.props), 0);
    // Everything the message had is there again (the conversion may add
    // what the Internet form says besides, as the From address).
    auto got = Mapped(back), want = Mapped(m);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k)
      if (want[k] != "<none>") {
        EXPECT_EQ(got[k], want[k]) << k;
      }
    // And those bytes are what goes out again.
    EXPECT_EQ(inet::ToMime(back), mime);
  }
}

// The same content stored with strings of the other width is the same
// content: the same digest, the same composed bytes.
TEST(Mime, StringsOfEitherWidthGiveTheSameDigestAndMime) {
  const MessageData narrow = ClientMessage(true, true, 3);
  MessageData wide = narrow;
  auto widen = [](PropList& props) {
    for (auto& p : props)
      if (p.type() == PT_STRING8) p = *ConvertTo(p, PT_UNICODE);
  };
  widen(wide.props);
  for (auto& r : wide.recipients) widen(r);
  for (auto& a : wide.attachments) widen(a);
  EXPECT_EQ(inet::MappedDigest(wide), inet::MappedDigest(narrow));
  EXPECT_EQ(inet::ToMime(wide), inet::ToMime(narrow));
  MessageData changed = narrow;
  changed.recipients[1].back().i = MAPI_TO;
  EXPECT_NE(inet::MappedDigest(changed), inet::MappedDigest(narrow));
}

TEST(Mime, ComposedMessagesAreValidToGMimeAndPythonsEmailPackage) {
  const std::string mime = inet::ToMime(ClientMessage(true, true, 3));
  // GMime reads it without a single complaint.
  std::vector<std::string> warnings;
  GMimeParserOptions* options = g_mime_parser_options_new();
  g_mime_parser_options_set_warning_callback(
      options,
      [](gint64 offset, GMimeParserWarning code, const gchar* item, gpointer user) {
        static_cast<std::vector<std::string>*>(user)->push_back(std::to_string(offset) + ": " +
                                                                std::to_string(static_cast<int>(code)) + " " +
                                                                (item ? item : ""));
      },
      &warnings);
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(mime.data(), mime.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* msg = g_mime_parser_construct_message(parser, options);
  ASSERT_NE(msg, nullptr);
  EXPECT_TRUE(GMIME_IS_MULTIPART(g_mime_message_get_mime_part(msg)));
  g_object_unref(msg);
  g_object_unref(parser);
  g_object_unref(stream);
  g_mime_parser_options_free(options);
  EXPECT_TRUE(warnings.empty()) << testing::PrintToString(warnings);

  testing_support::TempDir dir;
  const std::string file = dir / "m.eml";
  std::ofstream(file, std::ios::binary) << mime;
  std::string out;
  const int rc = testing_support::RunCommand(
      "python3 -c 'import email, email.policy, sys\n"
      "m = email.message_from_binary_file(open(sys.argv[1], \"rb\"), policy=email.policy.default)\n"
      "d = [x for p in m.walk() for x in p.defects]\n"
      "kinds = sorted(p.get_content_type() for p in m.walk())\n"
      "print(m[\"subject\"], kinds, [p.get_filename() for p in m.iter_attachments()])\n"
      "sys.exit(1 if d else 0)' " + testing_support::Quote(file) + " 2>&1",
      &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("Grüße aus Köln"), std::string::npos) << out;
  EXPECT_NE(out.find("text/html"), std::string::npos) << out;
  EXPECT_NE(out.find("Übersicht März 0.pdf"), std::string::npos) << out;
  EXPECT_NE(out.find("multipart/related"), std::string::npos) << out;
  EXPECT_NE(out.find("message/rfc822"), std::string::npos) << out;
}

// What Python's email package (policy=default) reads in a message: the
// defects it finds in every part and header, and the decoded headers.
nlohmann::json PythonView(const std::string& mime) {
  testing_support::TempDir dir;
  const std::string file = dir / "m.eml";
  std::ofstream(file, std::ios::binary) << mime;
  const std::string script = dir / "view.py";
  std::ofstream(script) << R"(import email, email.policy, json, sys
m = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.default)
defects = []
for part in m.walk():
    defects += [type(d).__name__ for d in part.defects]
    for k, v in part.items():
        defects += [k + ": " + type(d).__name__ for d in getattr(v, "defects", ())]
def text(s):  # raw UTF-8 in a header comes as surrogates
    return s.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
view = {"defects": defects}
for k in ("From", "Sender", "To", "Cc", "Bcc"):
    if m[k] is not None:
        view[k] = [[text(a.display_name), text(a.addr_spec)] for a in m[k].addresses]
for k in ("Subject", "Message-ID", "In-Reply-To", "References"):
    view[k] = text(str(m[k]))
view["files"] = [p.get_filename() for p in m.iter_attachments()]
print(json.dumps(view))
)";
  std::string out;
  EXPECT_EQ(testing_support::RunCommand("python3 " + testing_support::Quote(script) + " " +
                                            testing_support::Quote(file) + " 2>&1",
                                        &out),
            0)
      << out;
  return nlohmann::json::parse(out, nullptr, false);
}

// GMime's complaints about a message, and its addresses as GMime reads them.
std::vector<std::string> GMimeWarnings(const std::string& mime) {
  std::vector<std::string> warnings;
  GMimeParserOptions* options = g_mime_parser_options_new();
  g_mime_parser_options_set_warning_callback(
      options,
      [](gint64 offset, GMimeParserWarning code, const gchar* item, gpointer user) {
        static_cast<std::vector<std::string>*>(user)->push_back(std::to_string(offset) + ": " +
                                                                std::to_string(static_cast<int>(code)) + " " +
                                                                (item ? item : ""));
      },
      &warnings);
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(mime.data(), mime.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* msg = g_mime_parser_construct_message(parser, options);
  if (!msg) warnings.push_back("no message");
  for (auto type : {GMIME_ADDRESS_TYPE_FROM, GMIME_ADDRESS_TYPE_SENDER, GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC,
                    GMIME_ADDRESS_TYPE_BCC}) {
    // Every address header reads as a list of mailboxes again.
    const char* raw = msg ? g_mime_object_get_header(GMIME_OBJECT(msg),
                                                     type == GMIME_ADDRESS_TYPE_FROM     ? "From"
                                                     : type == GMIME_ADDRESS_TYPE_SENDER ? "Sender"
                                                     : type == GMIME_ADDRESS_TYPE_TO     ? "To"
                                                     : type == GMIME_ADDRESS_TYPE_CC     ? "Cc"
                                                                                         : "Bcc")
                          : nullptr;
    if (!raw) continue;
    InternetAddressList* list = internet_address_list_parse(options, raw);
    if (!list || internet_address_list_length(list) == 0) warnings.push_back(std::string("unreadable: ") + raw);
    if (list) g_object_unref(list);
  }
  if (msg) g_object_unref(msg);
  g_object_unref(parser);
  g_object_unref(stream);
  g_mime_parser_options_free(options);
  return warnings;
}

// The header block of a message (up to its empty line).
std::string HeaderBlock(const std::string& mime) { return mime.substr(0, mime.find("\r\n\r\n")); }

// Headers made from properties are what their content type allows: ASCII,
// RFC 2047 for names and the subject, IDNA A-labels for domains, RFC 2231
// for file names, valid msg-ids; Python and GMime read them without a
// defect and give back every name and address.
TEST(Mime, HeadersFromPropertiesAreValidAsciiThatReadsBack) {
  MessageData m = ClientMessage(true, false, 1);
  auto set = [](PropList& props, Prop p) {
    std::erase_if(props, [&](const Prop& q) { return q.id() == p.id(); });
    props.push_back(std::move(p));
  };
  set(m.props, Prop::Bytes(PR_SENT_REPRESENTING_NAME_A, "Müller, Jörg \"JM\""));
  set(m.props, Prop::Bytes(inet::PR_SENT_REPRESENTING_EMAIL_ADDRESS, "joerg@Exämple.de"));
  set(m.props, Prop::Bytes(PR_SENDER_NAME_A, "Sekretariat Zoë"));
  set(m.props, Prop::Bytes(PR_SENDER_EMAIL_ADDRESS_A, "/O=EXAMPLE/OU=EXCHANGE/CN=RECIPIENTS/CN=SEKRETARIAT"));
  set(m.props, Prop::Bytes(PR_SENDER_ADDRTYPE_A, "EX"));
  set(m.props, Prop::Bytes(inet::PR_SENDER_SMTP_ADDRESS, "sekretariat@example.de"));
  set(m.props, Prop::Bytes(inet::PR_INTERNET_MESSAGE_ID, "<jörg 1@exämple.de>"));
  set(m.props, Prop::Bytes(inet::PR_IN_REPLY_TO_ID, "<ä@example.de>"));
  set(m.props, Prop::Bytes(inet::PR_INTERNET_REFERENCES, "<first@example.org> <ä@example.de> <no-right-side>"));
  m.recipients[0] = {Prop::Int(PR_ROWID, 0), Prop::Bytes(PR_DISPLAY_NAME_A, "Zoë Ölund"),
                     Prop::Bytes(PR_EMAIL_ADDRESS_A, "zoe@münchen.example"), Prop::Int(PR_RECIPIENT_TYPE, MAPI_TO)};
  // An Exchange recipient that also has its SMTP address.
  m.recipients[1] = {Prop::Int(PR_ROWID, 1), Prop::Bytes(PR_DISPLAY_NAME_A, "Björn"),
                     Prop::Bytes(PR_EMAIL_ADDRESS_A, "/O=EXAMPLE/OU=EXCHANGE/CN=RECIPIENTS/CN=BJOERN"),
                     Prop::Bytes(PR_ADDRTYPE_A, "EX"), Prop::Bytes(inet::PR_SMTP_ADDRESS_A, "bjoern@example.net"),
                     Prop::Int(PR_RECIPIENT_TYPE, MAPI_CC)};
  const std::string mime = inet::ToMime(m);
  const std::string headers = HeaderBlock(mime);
  EXPECT_TRUE(std::all_of(headers.begin(), headers.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
      << headers;
  EXPECT_TRUE(GMimeWarnings(mime).empty()) << testing::PrintToString(GMimeWarnings(mime));

  const nlohmann::json view = PythonView(mime);
  EXPECT_EQ(view["defects"], nlohmann::json::array()) << view.dump(1) << "\n" << headers;
  EXPECT_EQ(view["From"], nlohmann::json::parse(R"([["Müller, Jörg \"JM\"", "joerg@xn--exmple-cua.de"]])"));
  EXPECT_EQ(view["Sender"], nlohmann::json::parse(R"([["Sekretariat Zoë", "sekretariat@example.de"]])"));
  EXPECT_EQ(view["To"], nlohmann::json::parse(R"([["Zoë Ölund", "zoe@xn--mnchen-3ya.example"]])"));
  EXPECT_EQ(view["Cc"], nlohmann::json::parse(R"([["Björn", "bjoern@example.net"]])"));
  EXPECT_EQ(view["Bcc"], nlohmann::json::parse(R"([["Chef", "chef@example.net"]])"));
  EXPECT_EQ(view["Subject"], "Grüße aus Köln – Übersicht “Q3”");
  EXPECT_EQ(view["files"], nlohmann::json::parse(R"(["Übersicht März 0.pdf"])"));
  // Identifiers beyond a msg-id's letters keep them as %XX, each one its own.
  EXPECT_EQ(view["Message-ID"], "<j%C3%B6rg%201@ex%C3%A4mple.de>");
  EXPECT_EQ(view["In-Reply-To"], "<%C3%A4@example.de>");
  std::string references = view["References"];
  std::replace(references.begin(), references.end(), '\t', ' ');  // folded
  EXPECT_EQ(references, "<first@example.org> <%C3%A4@example.de> <no-right-side@tesk.invalid>");

  // Read back, the names are the same and the addresses the same mailboxes.
  const MessageData back = inet::FromMime(mime, {}, 0);
  EXPECT_EQ(Str(back.props, PR_SENT_REPRESENTING_NAME_A), "Müller, Jörg \"JM\"");
  EXPECT_EQ(Str(back.props, inet::PR_SENT_REPRESENTING_EMAIL_ADDRESS), "joerg@exämple.de");
  EXPECT_EQ(Str(back.props, PR_SENDER_EMAIL_ADDRESS_A), "sekretariat@example.de");
  ASSERT_EQ(back.recipients.size(), 3u);
  EXPECT_EQ(Str(back.recipients[0], PR_DISPLAY_NAME_A), "Zoë Ölund");
  EXPECT_EQ(Str(back.recipients[1], PR_EMAIL_ADDRESS_A), "bjoern@example.net");
  // Valid identifiers and ASCII addresses stay exactly as they were.
  const std::string plain = inet::ToMime(ClientMessage(true, false, 0));
  EXPECT_NE(plain.find("\r\nMessage-Id: <client.1@example.org>\r\n"), std::string::npos) << HeaderBlock(plain);
  EXPECT_NE(plain.find("\r\nReferences: <first@example.org> <earlier@example.org>\r\n"), std::string::npos)
      << HeaderBlock(plain);
}

// An address with letters beyond ASCII before its @ has no ASCII form: it
// stays exactly as it is, in UTF-8 (an internationalized message, RFC 6532),
// its name still in RFC 2047 and its domain as A-labels, every other header
// ASCII; embedded in another message it goes as message/global. Nothing of
// the address is lost: it reads back the same.
TEST(Mime, AnAddressBeyondAsciiBeforeTheAtStaysInUtf8) {
  MessageData m = ClientMessage(true, false, 0);
  m.props.push_back(Prop::Bytes(inet::PR_SENT_REPRESENTING_EMAIL_ADDRESS, "J\xC3\xB6rg.1@example.com"));
  m.recipients.push_back({Prop::Int(PR_ROWID, 3), Prop::Bytes(PR_DISPLAY_NAME_A, "Zoë"),
                          Prop::Bytes(PR_EMAIL_ADDRESS_A, "zo\xC3\xAB@m\xC3\xBCnchen.example"),
                          Prop::Int(PR_RECIPIENT_TYPE, MAPI_TO)});
  const std::string mime = inet::ToMime(m);
  const std::string headers = HeaderBlock(mime);
  std::istringstream lines(headers);
  for (std::string line; std::getline(lines, line);) {
    const bool ascii = std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const bool address = line.find("J\xC3\xB6rg.1@example.com") != std::string::npos ||
                         line.find("zo\xC3\xAB@xn--mnchen-3ya.example") != std::string::npos;
    EXPECT_TRUE(ascii || address) << line;
  }
  EXPECT_NE(headers.find("From: =?"), std::string::npos) << headers;  // the name still encoded
  EXPECT_TRUE(GMimeWarnings(mime).empty()) << testing::PrintToString(GMimeWarnings(mime));
  const MessageData back = inet::FromMime(mime, {}, 0);
  EXPECT_EQ(Str(back.props, inet::PR_SENT_REPRESENTING_EMAIL_ADDRESS), "J\xC3\xB6rg.1@example.com");
  EXPECT_EQ(Str(back.props, PR_SENT_REPRESENTING_NAME_A), "Jörg Müller");
  ASSERT_EQ(back.recipients.size(), 4u);
  EXPECT_EQ(Str(back.recipients[1], PR_EMAIL_ADDRESS_A), "zo\xC3\xAB@m\xC3\xBCnchen.example");
  // Python reads the addresses; its only complaints are those it has of
  // every internationalized address.
  const nlohmann::json view = PythonView(mime);
  EXPECT_EQ(view["From"], nlohmann::json::parse(R"([["Jörg Müller", "Jörg.1@example.com"]])"));
  for (const auto& d : view["defects"])
    EXPECT_THAT(d.get<std::string>(),
                testing::AnyOf(testing::MatchesRegex("(From|To): NonASCIILocalPartDefect"),
                               testing::MatchesRegex("(From|To): UndecodableBytesDefect")));

  // Embedded in another message: message/global, its bytes as they are.
  MessageData outer = ClientMessage(true, false, 0);
  outer.attachments.push_back({Prop::Int(PR_ATTACH_NUM, 0), Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_EMBEDDED_MSG_METHOD),
                               Prop::Bytes(PR_ATTACH_MIME_TAG_A, "message/rfc822"), Prop::Bytes(PR_ATTACH_DATA_BIN, mime)});
  const std::string wrapped = inet::ToMime(outer);
  EXPECT_NE(wrapped.find("Content-Type: message/global\r\n"), std::string::npos);
  EXPECT_TRUE(GMimeWarnings(wrapped).empty()) << testing::PrintToString(GMimeWarnings(wrapped));
  const MessageData unwrapped = inet::FromMime(wrapped, {}, 0);
  ASSERT_EQ(unwrapped.attachments.size(), 1u);
  EXPECT_EQ(Str(unwrapped.attachments[0], PR_ATTACH_MIME_TAG_A), "message/global");
  const std::string inner = Str(unwrapped.attachments[0], PR_ATTACH_DATA_BIN);
  EXPECT_TRUE(inner == mime || inner + "\r\n" == mime) << inner;
  // A message that came as such bytes keeps them.
  const std::string eai = "From: J\xC3\xB6rg <J\xC3\xB6rg.1@example.com>\r\nSubject: EAI\r\n\r\nHallo\r\n";
  EXPECT_EQ(inet::ToMime(inet::FromMime(eai, {}, 0)), eai);
}

const char* const kMessages[] = {
    "From: a@example.org\r\nTo: b@example.org\r\nSubject: plain\r\nDate: Mon, 02 Feb 2026 09:13:58 +0100\r\n"
    "Message-ID: <p@x>\r\n\r\nHello\r\n",
    "From: a@example.org\nSubject: LF only, no newline at the end\n\nbody",
    "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\r\nFrom: =?utf-8?b?SsO2cmc=?= <j@x>\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nGr=FC=DFe=\r\n\r\n",
    "From: broken\r\nTo: ,,, <>\r\nSubject: broken headers\r\nDate: yesterday\r\nContent-Type: multipart/mixed\r\n\r\n"
    "no boundary at all\r\n",
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nx\r\n"
    "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\nFrom: i@x\r\n\r\ninner body\r\n--b--\r\n",
    // A client's usual form: text and HTML, an attachment in base64, an
    // 8-bit Latin-1 body, folded headers, Received lines of two relays.
    "Received: from relay2.example.org by mx.example.com; Tue, 03 Feb 2026 10:00:05 +0000\r\n"
    "Received: from client by relay2.example.org; Tue, 03 Feb 2026 09:59:58 +0000\r\n"
    "From: \"Berger, Anna\" <anna@example.com>\r\nTo: Team <team@example.org>,\r\n\tBob <bob@example.org>\r\n"
    "Cc: carol@example.org\r\nSubject: =?UTF-8?Q?Bericht_f=C3=BCr_M=C3=A4rz?=\r\n"
    "Date: Tue, 3 Feb 2026 10:59:50 +0100\r\nMessage-ID: <r1@example.com>\r\nX-Priority: 1\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\nThis is a MIME message.\r\n"
    "--outer\r\nContent-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
    "--inner\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
    "Gr\xfc\xdf" "e aus K\xf6ln\r\n--inner\r\nContent-Type: text/html; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>Gr=C3=BC=C3=9Fe</p>\r\n--inner--\r\n"
    "--outer\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\n"
    "Content-Disposition: attachment; filename*=UTF-8''Bericht%20M%C3%A4rz.pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKJcOkw7zDtsOf\r\n--outer--\r\nepilogue\r\n",
    // Truncated in the middle of a part.
    "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\nContent-Type: text/plain\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nSGVsbG8gd29y",
    // An embedded message in base64, against the rules but seen.
    "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n"
    "Content-Type: message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\nU3ViamVjdDogY29kZWQNCkZyb206IGNAeA0KDQpib2R5DQo=\r\n--q--\r\n",
};

TEST(Mime, InternetMessagesGoOutAsTheSameBytesUntilAClientChangesThem) {
  for (const char* text : kMessages) {
    SCOPED_TRACE(text);
    MessageData m = inet::FromMime(text, {}, 0);
    EXPECT_EQ(inet::ToMime(m), text);
    // Flags are no content: changing them keeps the bytes.
    inet::ApplyFlags(m.props, inet::MailFlags{true, true, true, false, false, false, {"Work"}});
    EXPECT_EQ(inet::ToMime(m), text);
    // A new subject: the message is composed anew, with it.
    std::erase_if(m.props, [](const Prop& p) { return p.id() == PROP_ID(PR_SUBJECT_A); });
    m.props.push_back(Prop::Bytes(PR_SUBJECT_A, "changed"));
    const std::string changed = inet::ToMime(m);
    EXPECT_NE(changed, text);
    EXPECT_EQ(Str(inet::FromMime(changed, {}, 0).props, PR_SUBJECT_A), "changed");
  }
  const MessageData embedded = inet::FromMime(kMessages[4], {}, 0);
  ASSERT_EQ(embedded.attachments.size(), 1u);
  EXPECT_EQ(Num(embedded.attachments[0], PR_ATTACH_METHOD), inet::ATTACH_EMBEDDED_MSG_METHOD);
  EXPECT_EQ(Str(embedded.attachments[0], PR_DISPLAY_NAME_A), "inner");
  EXPECT_EQ(Str(embedded.attachments[0], PR_ATTACH_DATA_BIN), "Subject: inner\r\nFrom: i@x\r\n\r\ninner body");
  const MessageData coded = inet::FromMime(kMessages[7], {}, 0);
  ASSERT_EQ(coded.attachments.size(), 1u);
  EXPECT_EQ(Num(coded.attachments[0], PR_ATTACH_METHOD), inet::ATTACH_EMBEDDED_MSG_METHOD);
  EXPECT_EQ(Str(coded.attachments[0], PR_DISPLAY_NAME_A), "coded");
  EXPECT_EQ(Str(coded.attachments[0], PR_ATTACH_DATA_BIN), "Subject: coded\r\nFrom: c@x\r\n\r\nbody\r\n");
  const MessageData full = inet::FromMime(kMessages[5], {}, 0);
  EXPECT_EQ(Str(full.props, PR_SUBJECT_A), "Bericht für März");
  EXPECT_EQ(Str(full.props, PR_BODY_A), "Grüße aus Köln");
  EXPECT_EQ(Str(full.props, PR_HTML), "<p>Grüße</p>");
  EXPECT_EQ(Str(full.props, PR_SENT_REPRESENTING_NAME_A), "Berger, Anna");
  EXPECT_EQ(Str(full.props, PR_DISPLAY_TO_A), "Team; Bob");
  EXPECT_EQ(Num(full.props, PR_IMPORTANCE), IMPORTANCE_HIGH);
  const std::string headers = Str(full.props, PR_TRANSPORT_MESSAGE_HEADERS_A);
  EXPECT_TRUE(headers.starts_with("Received: from relay2.example.org")) << headers;
  EXPECT_NE(headers.find("<team@example.org>,\r\n\tBob"), std::string::npos) << headers;
  EXPECT_TRUE(headers.ends_with("boundary=\"outer\"\r\n")) << headers;
  ASSERT_EQ(full.recipients.size(), 3u);
  EXPECT_EQ(Num(full.recipients[2], PR_RECIPIENT_TYPE), MAPI_CC);
  ASSERT_EQ(full.attachments.size(), 1u);
  EXPECT_EQ(Str(full.attachments[0], PR_ATTACH_LONG_FILENAME_A), "Bericht März.pdf");
  EXPECT_EQ(Str(full.attachments[0], PR_ATTACH_DATA_BIN), "%PDF-1.4\n%\xc3\xa4\xc3\xbc\xc3\xb6\xc3\x9f");
  // Delivered when the last relay took it; sent when the Date says.
  const std::int64_t unix = 1770112805;  // 2026-02-03 10:00:05 UTC
  EXPECT_EQ(Num(full.props, inet::PR_MESSAGE_DELIVERY_TIME), (unix + 11644473600LL) * 10000000LL);
  EXPECT_EQ(Num(full.props, inet::PR_CLIENT_SUBMIT_TIME), (unix - 15 + 11644473600LL) * 10000000LL);
  EXPECT_EQ(inet::DeliveryTimeOf(inet::FromMime(kMessages[5], {}, 42).props), 42);
  const MessageData latin = inet::FromMime(kMessages[2], {}, 0);
  EXPECT_EQ(Str(latin.props, PR_SUBJECT_A), "Grüße");
  EXPECT_EQ(Str(latin.props, PR_SENDER_NAME_A), "Jörg");
}

TEST(Mime, FlagsBothWays) {
  const inet::MailFlags all{true, true, true, true, true, false, {"$Label1", "Work"}};
  PropList props;
  inet::ApplyFlags(props, all);
  EXPECT_EQ(inet::FlagsOf(props), all);
  EXPECT_EQ(Num(props, PR_MESSAGE_FLAGS), MSGFLAG_READ | MSGFLAG_UNSENT);
  const inet::MailFlags forwarded{false, false, false, false, false, true, {}};
  inet::ApplyFlags(props, forwarded);
  EXPECT_EQ(inet::FlagsOf(props), forwarded);
  EXPECT_EQ(Num(props, inet::PR_LAST_VERB_EXECUTED), inet::EXCHIVERB_FORWARD);
  const inet::MailFlags both{false, true, false, false, false, true, {}};
  inet::ApplyFlags(props, both);
  EXPECT_EQ(inet::FlagsOf(props), both);
  inet::ApplyFlags(props, {});
  EXPECT_EQ(inet::FlagsOf(props), inet::MailFlags{});
  // Flags that came with a message stay beside it, never in its digest.
  const MessageData m = inet::FromMime(kMessages[0], all, 0);
  EXPECT_EQ(inet::FlagsOf(m.props), all);
  EXPECT_EQ(Str(m.props, inet::PR_TESK_MAPPED_DIGEST), inet::MappedDigest(inet::FromMime(kMessages[0], {}, 0)));
}

TEST(Mime, HostileInputKeepsItsBytesAndNeverCrashes) {
  std::vector<std::string> inputs{"", "\r\n", std::string(100000, 'A'), Binary(20000, 3),
                                  "Subject: " + std::string(200000, 'x') + "\r\n\r\nbody"};
  std::string nested = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  for (int k = 0; k < 10000; ++k)
    nested += "--b" + std::to_string(k) + "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(k + 1) +
              "\r\n\r\n";
  inputs.push_back(nested);
  // Thousands of messages each embedded in the one around it.
  std::string embedded;
  for (int k = 0; k < 5000; ++k) embedded += "Subject: level " + std::to_string(k) + "\r\nContent-Type: message/rfc822\r\n\r\n";
  embedded += "Subject: innermost\r\n\r\nbody\r\n";
  inputs.push_back(embedded);
  for (const auto& in : inputs) {
    const MessageData m = inet::FromMime(in, {}, 0);
    EXPECT_EQ(inet::ToMime(m), in);
  }
}

// An RTF body nested deeper than any real one is read to its end: the
// text inside and after the deep groups is kept.
TEST(Mime, DeeplyNestedRtfKeepsAllItsText) {
  std::string rtf = "{\\rtf1\\ansi before ";
  rtf += std::string(5000, '{') + "deep" + std::string(5000, '}') + " after\\par}";
  const std::string text = rtf::TextFromRtf(rtf);
  EXPECT_NE(text.find("before"), std::string::npos) << text;
  EXPECT_NE(text.find("deep"), std::string::npos) << text;
  EXPECT_NE(text.find("after"), std::string::npos) << text;
}

}  // namespace
