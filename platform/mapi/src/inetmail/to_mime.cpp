// MAPI messages -> Internet mail, with GMime: the kept original bytes, or a
// message composed from the properties.
#include <algorithm>
#include <cstring>
#include <vector>

#include "inetmail/inetmail.h"
#include "inetmail/mime_support.h"
#include "inetmail/rtf.h"

namespace tesk::mapi::inet {

using namespace detail;

namespace {

GMimeObject* TextPart(const char* subtype, const std::string& text, bool alwaysQuotedPrintable) {
  GMimeTextPart* part = g_mime_text_part_new_with_subtype(subtype);
  // GMime chooses the charset that holds the text. Quoted-printable keeps
  // the line ends; a text without a last line end goes as base64, which
  // keeps it exactly.
  g_mime_text_part_set_text(part, text.c_str());
  const bool endsInNewline = alwaysQuotedPrintable || text.empty() || text.back() == '\n';
  g_mime_part_set_content_encoding(GMIME_PART(part), endsInNewline ? GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE
                                                                   : GMIME_CONTENT_ENCODING_BASE64);
  return GMIME_OBJECT(part);
}

GMimeObject* AttachmentPart(const PropList& a) {
  const std::string data = Text(a, PR_ATTACH_DATA_BIN);
  const auto method = Int(a, PR_ATTACH_METHOD).value_or(ATTACH_BY_VALUE_METHOD);
  if (method == ATTACH_EMBEDDED_MSG_METHOD) {
    // The embedded message's own bytes, as they are: message/rfc822 allows
    // no transfer encoding but 7bit, 8bit and binary. A message whose
    // headers hold UTF-8 (an internationalized one, RFC 6532) is
    // message/global.
    const size_t headerEnd = std::min(data.find("\r\n\r\n"), data.find("\n\n"));
    const bool global = !IsAscii(std::string_view(data).substr(0, std::min(headerEnd, data.size())));
    GMimePart* part = g_mime_part_new_with_type("message", global ? "global" : "rfc822");
    const bool eightBit = std::any_of(data.begin(), data.end(), [](char c) { return c & 0x80; });
    const auto encoding = eightBit ? GMIME_CONTENT_ENCODING_8BIT : GMIME_CONTENT_ENCODING_7BIT;
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
    GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), encoding));
    g_mime_part_set_content(part, wrapper.get());
    g_mime_part_set_content_encoding(part, encoding);
    std::string name = Text(a, PR_ATTACH_LONG_FILENAME_A);
    if (!name.empty()) g_mime_part_set_filename(part, HeaderSafe(name).c_str());
    return GMIME_OBJECT(part);
  }
  std::string mime = Text(a, PR_ATTACH_MIME_TAG_A);
  if (mime.empty() || mime.find('/') == std::string::npos) mime = "application/octet-stream";
  const auto slash = mime.find('/');
  GMimePart* part = g_mime_part_new_with_type(mime.substr(0, slash).c_str(), mime.substr(slash + 1).c_str());
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
  GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
  const bool isInline = Int(a, PR_ATTACH_FLAGS).value_or(0) & 4;
  g_mime_object_set_disposition(GMIME_OBJECT(part), isInline ? "inline" : "attachment");
  std::string name = Text(a, PR_ATTACH_LONG_FILENAME_A);
  if (name.empty()) name = Text(a, PR_ATTACH_FILENAME_A);
  if (!name.empty()) g_mime_part_set_filename(part, HeaderSafe(name).c_str());
  const std::string cid = Text(a, PR_ATTACH_CONTENT_ID);
  if (!cid.empty()) g_mime_object_set_content_id(GMIME_OBJECT(part), HeaderSafe(cid).c_str());
  return GMIME_OBJECT(part);
}

// The plain text and HTML a message shows. PR_HTML is bytes in the
// message's Internet code page; a message that has only its compressed RTF
// (as Outlook keeps many) shows the HTML that RTF encapsulates, or its text.
struct BodyParts {
  std::string body, html;
  bool withText;  // the text goes beside the HTML
};
BodyParts Bodies(const PropList& p) {
  std::string body = Text(p, PR_BODY_A);
  bool withText = FindProp(p, PROP_ID(PR_BODY_A)) != nullptr;
  std::string html = Text(p, PR_HTML);
  if (const Prop* h = FindProp(p, PROP_ID(PR_HTML)); h && h->type() == PT_BINARY) {
    const auto cpid = Int(p, PR_INTERNET_CPID).value_or(65001);
    if (cpid != 65001 && cpid != 20127) html = rtf::CodepageToUtf8(html, static_cast<int>(cpid));
    html = ValidUtf8(std::move(html));
  }
  if (html.empty()) html = Text(p, PR_BODY_HTML_A);
  const Prop* compressed = FindProp(p, PROP_ID(PR_RTF_COMPRESSED));
  const bool blankBody = std::all_of(body.begin(), body.end(), [](char c) { return c == ' ' || c == '\r' || c == '\n'; });
  if (html.empty() && compressed && compressed->type() == PT_BINARY) {
    if (auto rtfText = rtf::Decompress(compressed->b)) {
      if (auto fromRtf = rtf::HtmlFromRtf(*rtfText)) {
        html = ValidUtf8(std::move(*fromRtf));
        // A text body of blank lines is no text of its own.
        if (blankBody) withText = false;
      } else if (blankBody) {
        body = ValidUtf8(rtf::TextFromRtf(*rtfText));
      }
    }
  }
  return {body, html, withText};
}

std::string Format(GMimeMessage* msg) {
  std::unique_ptr<GMimeFormatOptions, void (*)(GMimeFormatOptions*)> options(g_mime_format_options_new(),
                                                                             g_mime_format_options_free);
  g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
  g_mime_format_options_set_param_encoding_method(options.get(), GMIME_PARAM_ENCODING_METHOD_RFC2231);
  GPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(GMIME_OBJECT(msg), options.get(), out.get());
  return StreamBytes(out.get());
}

// The address a header names: an Exchange address (type "EX", an X.500
// name) where the message also has the SMTP one goes by the SMTP one.
std::string SmtpAddress(const PropList& props, ULONG addressTag, ULONG typeTag, ULONG smtpTag) {
  std::string address = Text(props, addressTag);
  const std::string type = Text(props, typeTag);
  const std::string smtp = Text(props, smtpTag);
  if (address.empty() || (!type.empty() && !EqualsNoCase(type, "SMTP") && !smtp.empty())) address = smtp;
  return address;
}

// Adds a mailbox to an address header. The display name goes in RFC 2047
// encoded words where it is no ASCII, a domain beyond ASCII as IDNA
// A-labels (GMime writes them so). A local part beyond ASCII has no ASCII
// form at all (encoded words are not allowed in an address, IDNA is for
// domains only): it stays as it is, in UTF-8, and makes the message an
// internationalized one (RFC 6532), as it came into the store; dropping or
// rewriting it would lose the address. Every other header stays ASCII.
void AddMailbox(GMimeMessage* msg, GMimeAddressType type, const std::string& name, const std::string& address) {
  if (address.empty()) return;
  std::string addr = HeaderSafe(address);
  const size_t at = addr.rfind('@');
  // Domains know no case; IDNA wants the letters A to Z small.
  if (at != std::string::npos && !IsAscii(std::string_view(addr).substr(at + 1)))
    for (size_t k = at + 1; k < addr.size(); ++k)
      if (addr[k] >= 'A' && addr[k] <= 'Z') addr[k] = static_cast<char>(addr[k] - 'A' + 'a');
  GPtr<InternetAddress> mailbox(
      internet_address_mailbox_new(name.empty() || name == address ? nullptr : HeaderSafe(name).c_str(), addr.c_str()));
  internet_address_list_add(g_mime_message_get_addresses(msg, type), mailbox.get());
}

// A message identifier (without its angle brackets) as a valid msg-id:
// one that is one already stays as it is; in any other the bytes that a
// dot-atom cannot hold (and the percent sign) become %XX, so that it stays
// unique and can be read back, and one without a right side gets
// "@tesk.invalid".
std::string MessageIdText(const std::string& id) {
  auto atext = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
  };
  auto dotAtom = [&](std::string_view s) {
    if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string_view::npos) return false;
    return std::all_of(s.begin(), s.end(), [&](char c) { return c == '.' || (c != '\0' && atext(static_cast<unsigned char>(c))); });
  };
  auto literal = [](std::string_view s) {
    return s.size() >= 2 && s.front() == '[' && s.back() == ']' &&
           std::all_of(s.begin() + 1, s.end() - 1, [](char c) { return c > 32 && c < 127 && c != '[' && c != ']' && c != '\\'; });
  };
  const size_t at = id.rfind('@');
  if (at != std::string::npos) {
    const std::string_view left(id.data(), at), right(id.data() + at + 1, id.size() - at - 1);
    if (dotAtom(left) && (dotAtom(right) || literal(right))) return id;
  }
  auto encode = [&](std::string_view s) {
    std::string out;
    // Dots stay where they make a dot-atom (no dot first, last or twice).
    const bool dots = s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string_view::npos;
    for (char ch : s) {
      const auto c = static_cast<unsigned char>(ch);
      if (c != '%' && (atext(c) || (c == '.' && !dots))) {
        out += ch;
      } else {
        static const char* hex = "0123456789ABCDEF";
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    return out;
  };
  if (at == std::string::npos) return encode(id) + "@tesk.invalid";
  const std::string_view right(id.data() + at + 1, id.size() - at - 1);
  return encode(std::string_view(id.data(), at)) + "@" + (literal(right) ? std::string(right) : encode(right));
}

// A list of message identifiers (In-Reply-To, References): each "<...>"
// as a valid msg-id, anything else between them kept where it is ASCII.
std::string MessageIdList(const std::string& value) {
  std::string out;
  size_t k = 0;
  while (k < value.size()) {
    const size_t open = value.find('<', k);
    const size_t close = open == std::string::npos ? std::string::npos : value.find('>', open);
    const size_t stop = close == std::string::npos ? value.size() : open;
    for (; k < stop; ++k) {
      const auto c = static_cast<unsigned char>(value[k]);
      if (c >= 0x80) {
        static const char* hex = "0123456789ABCDEF";
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += value[k];
      }
    }
    if (close == std::string::npos) break;
    out += "<" + MessageIdText(value.substr(open + 1, close - open - 1)) + ">";
    k = close + 1;
  }
  return out;
}

struct ComposeOptions {
  bool bcc = true;
  std::string from;       // when the message names no sender
  std::string idDomain;   // a fresh Message-ID in this domain
  bool now = false;       // Date: the moment of composing
  bool quotedPrintable = false;  // text parts always quoted-printable
};

std::string Compose(const MessageData& m, const ComposeOptions& o) {
  GMimeOnce();
  GPtr<GMimeMessage> msg(g_mime_message_new(TRUE));
  const PropList& p = m.props;
  std::string fromName = Text(p, PR_SENT_REPRESENTING_NAME_A),
              fromAddr = SmtpAddress(p, PR_SENT_REPRESENTING_EMAIL_ADDRESS, PR_SENT_REPRESENTING_ADDRTYPE,
                                     PR_SENT_REPRESENTING_SMTP_ADDRESS);
  const std::string senderName = Text(p, PR_SENDER_NAME_A),
                    senderAddr = SmtpAddress(p, PR_SENDER_EMAIL_ADDRESS_A, PR_SENDER_ADDRTYPE_A, PR_SENDER_SMTP_ADDRESS);
  if (fromAddr.empty()) {
    fromAddr = senderAddr;
    if (fromName.empty()) fromName = senderName;
  }
  if (fromAddr.empty()) fromAddr = o.from;
  AddMailbox(msg.get(), GMIME_ADDRESS_TYPE_FROM, fromName, fromAddr);
  if (!senderAddr.empty() && !EqualsNoCase(senderAddr, fromAddr))
    AddMailbox(msg.get(), GMIME_ADDRESS_TYPE_SENDER, senderName, senderAddr);
  for (const auto& r : m.recipients) {
    const std::string address = SmtpAddress(r, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A, PR_SMTP_ADDRESS_A);
    const auto type = Int(r, PR_RECIPIENT_TYPE).value_or(MAPI_TO);
    if (type == MAPI_BCC && !o.bcc) continue;
    AddMailbox(msg.get(),
               type == MAPI_CC ? GMIME_ADDRESS_TYPE_CC : type == MAPI_BCC ? GMIME_ADDRESS_TYPE_BCC : GMIME_ADDRESS_TYPE_TO,
               Text(r, PR_DISPLAY_NAME_A), address);
  }
  g_mime_message_set_subject(msg.get(), HeaderSafe(Text(p, PR_SUBJECT_A)).c_str(), "utf-8");
  GDateTime* date = nullptr;
  // A message that was never sent has no submit time: the time it arrived
  // or was made is its date, so the same message composes to the same bytes.
  auto t = Int(p, PR_CLIENT_SUBMIT_TIME);
  if (!t) t = Int(p, PR_MESSAGE_DELIVERY_TIME);
  if (!t) t = Int(p, PR_CREATION_TIME);
  if (t && !o.now)
    date = g_date_time_new_from_unix_utc(UnixFromFiletime(*t));
  else
    date = g_date_time_new_now_local();
  if (date) {
    g_mime_message_set_date(msg.get(), date);
    g_date_time_unref(date);
  }
  std::string id = Text(p, PR_INTERNET_MESSAGE_ID);
  if (!o.idDomain.empty()) {
    GText fresh(g_mime_utils_generate_message_id(o.idDomain.c_str()));
    id = fresh ? fresh.get() : "";
  } else if (id.empty()) {
    // The same message gets the same identifier every time it is composed.
    id = MappedDigest(m).substr(0, 32) + "@tesk.invalid";
  }
  id = HeaderSafe(id);
  if (!id.empty() && id.front() == '<') id.erase(0, 1);
  if (!id.empty() && id.back() == '>') id.pop_back();
  if (!id.empty()) g_mime_message_set_message_id(msg.get(), MessageIdText(id).c_str());
  if (auto v = Text(p, PR_IN_REPLY_TO_ID); !v.empty())
    g_mime_object_set_header(GMIME_OBJECT(msg.get()), "In-Reply-To", MessageIdList(HeaderSafe(v)).c_str(), nullptr);
  if (auto v = Text(p, PR_INTERNET_REFERENCES); !v.empty())
    g_mime_object_set_header(GMIME_OBJECT(msg.get()), "References", MessageIdList(HeaderSafe(v)).c_str(), nullptr);
  if (auto imp = Int(p, PR_IMPORTANCE); imp && *imp != IMPORTANCE_NORMAL)
    g_mime_object_set_header(GMIME_OBJECT(msg.get()), "Importance", *imp == IMPORTANCE_HIGH ? "high" : "low",
                             nullptr);

  // Boundaries from the content: the same message composes to the same bytes.
  const std::string boundary = MappedDigest(m).substr(0, 24);
  const auto [body, html, withText] = Bodies(p);
  GMimeObject* content = nullptr;
  if (!html.empty() && withText) {
    GMimeMultipart* alt = g_mime_multipart_new_with_subtype("alternative");
    g_mime_multipart_set_boundary(alt, ("=-tesk-alt-" + boundary).c_str());
    GPtr<GMimeObject> a(TextPart("plain", body, o.quotedPrintable)), b(TextPart("html", html, o.quotedPrintable));
    g_mime_multipart_add(alt, a.get());
    g_mime_multipart_add(alt, b.get());
    content = GMIME_OBJECT(alt);
  } else if (!html.empty()) {
    content = TextPart("html", html, o.quotedPrintable);
  } else {
    content = TextPart("plain", body, o.quotedPrintable);
  }
  // Inline parts that the HTML names by content id go beside it in
  // multipart/related, everything else into multipart/mixed around both.
  std::vector<const PropList*> related, mixed;
  for (const auto& a : m.attachments) {
    const bool isInline = Int(a, PR_ATTACH_FLAGS).value_or(0) & 4;
    const bool embedded = Int(a, PR_ATTACH_METHOD).value_or(0) == ATTACH_EMBEDDED_MSG_METHOD;
    (!html.empty() && isInline && !embedded && !Text(a, PR_ATTACH_CONTENT_ID).empty() ? related : mixed).push_back(&a);
  }
  const std::pair<const char*, std::vector<const PropList*>*> wraps[] = {{"related", &related}, {"mixed", &mixed}};
  for (const auto& [subtype, parts] : wraps) {
    if (parts->empty()) continue;
    GMimeMultipart* multi = g_mime_multipart_new_with_subtype(subtype);
    g_mime_multipart_set_boundary(multi, ("=-tesk-" + std::string(subtype, 3) + "-" + boundary).c_str());
    g_mime_multipart_add(multi, content);
    g_object_unref(content);
    for (const PropList* a : *parts) {
      GPtr<GMimeObject> part(AttachmentPart(*a));
      g_mime_multipart_add(multi, part.get());
    }
    content = GMIME_OBJECT(multi);
  }
  g_mime_message_set_mime_part(msg.get(), content);
  g_object_unref(content);
  return Format(msg.get());
}

}  // namespace

std::string ToMime(const MessageData& m) {
  const Prop* raw = FindProp(m.props, PROP_ID(PR_TESK_INTERNET_CONTENT));
  const Prop* digest = FindProp(m.props, PROP_ID(PR_TESK_MAPPED_DIGEST));
  if (raw && digest && raw->type() == PT_BINARY && digest->b == MappedDigest(m)) return raw->b;
  return Compose(m, {});
}

std::string ComposeForSubmission(const MessageData& m, const SubmitOptions& options) {
  ComposeOptions o;
  o.bcc = false;
  o.from = options.from;
  o.idDomain = options.messageIdDomain.empty() ? "localhost" : options.messageIdDomain;
  o.now = true;
  o.quotedPrintable = true;
  MessageData copy = m;
  // What goes out names the transport's sender.
  std::erase_if(copy.props, [](const Prop& p) {
    return p.id() == PROP_ID(PR_SENT_REPRESENTING_EMAIL_ADDRESS) || p.id() == PROP_ID(PR_SENDER_EMAIL_ADDRESS_A) ||
           p.id() == PROP_ID(PR_SENT_REPRESENTING_NAME_A) || p.id() == PROP_ID(PR_SENDER_NAME_A);
  });
  return Compose(copy, o);
}

}  // namespace tesk::mapi::inet
