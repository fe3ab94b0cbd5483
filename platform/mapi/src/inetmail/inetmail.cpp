// Internet mail and MAPI messages, both ways, with GMime.
#include "inetmail/inetmail.h"

#include <gmime/gmime.h>
#include <nettle/sha2.h>

#include "inetmail/rtf.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace tesk::mapi::inet {

namespace {

void GMimeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

struct Unref {
  void operator()(void* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;
struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GText = std::unique_ptr<char, GFree>;


// A string property as UTF-8, whichever width it was stored in.
std::string Text(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  if (!p) return {};
  if (p->type() == PT_STRING8) return p->b;
  if (p->type() == PT_UNICODE) return Utf16ToUtf8(FromUtf16Bytes(p->b));
  if (p->type() == PT_BINARY) return p->b;
  return {};
}
std::optional<std::int64_t> Int(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  if (!p || StorageOf(p->type()) != Storage::Integer) return std::nullopt;
  return p->i;
}
void Put(PropList& props, Prop p) {
  std::erase_if(props, [&](const Prop& q) { return q.id() == p.id(); });
  props.push_back(std::move(p));
}
// Narrow text is UTF-8: what a message declared wrongly, or not at all,
// keeps its valid sequences, the rest becomes U+FFFD.
std::string ValidUtf8(std::string s) {
  std::string checked = Utf16ToUtf8(Utf8ToUtf16(s));
  if (checked != s) s = std::move(checked);
  return s;
}
void PutText(PropList& props, ULONG tag, const std::string& text) {
  if (!text.empty()) Put(props, Prop::Bytes(tag, ValidUtf8(text)));
}

std::string StreamBytes(GMimeStream* stream) {
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  return array ? std::string(reinterpret_cast<const char*>(array->data), array->len) : std::string();
}

// The decoded content of a leaf part.
std::string PartData(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  GPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, out.get());
  return StreamBytes(out.get());
}

std::string ObjectBytes(GMimeObject* object) {
  GPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, out.get());
  return StreamBytes(out.get());
}

std::string Lowered(const char* s) { return s ? Lower(s) : std::string(); }

std::string HeaderValue(GMimeObject* object, const char* name) {
  const char* v = g_mime_object_get_header(object, name);
  if (!v) return {};
  std::string s = v;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(s.begin());
  return s;
}

struct Mailbox {
  std::string name, address;
};

// The mailboxes of an address list, those of its groups in their place
// (walked without recursion, however groups nest).
void Mailboxes(InternetAddressList* top, std::vector<Mailbox>& out) {
  std::vector<std::pair<InternetAddressList*, int>> lists;
  if (top) lists.emplace_back(top, 0);
  while (!lists.empty()) {
    auto& [list, next] = lists.back();
    if (next >= internet_address_list_length(list)) {
      lists.pop_back();
      continue;
    }
    InternetAddress* a = internet_address_list_get_address(list, next++);
    if (INTERNET_ADDRESS_IS_GROUP(a)) {
      if (InternetAddressList* members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)))
        lists.emplace_back(members, 0);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      const char* name = internet_address_get_name(a);
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
      out.push_back({name ? name : "", addr ? addr : ""});
    }
  }
}

// Walks the MIME tree: the first plain text and HTML parts that are no
// attachments are the bodies, every other leaf an attachment, embedded
// messages attachments of their own.
struct Walk {
  std::string_view raw;                 // the whole input, for embedded messages' own bytes
  std::vector<std::string> boundaries;  // of the multiparts around the part being visited
  std::string body, html;
  bool haveBody = false, haveHtml = false;
  std::vector<PropList> attachments;

  // Visits the tree in document order. Multiparts are walked without
  // recursion: one frame each on the path down, however deep they nest.
  void Visit(GMimeObject* top) {
    struct Open {
      GMimeMultipart* multi;
      int next, count;
      bool related;  // a multipart/related is this one or around it
    };
    std::vector<Open> path;
    auto enter = [&](GMimeObject* object, bool inRelated) {
      if (!GMIME_IS_MULTIPART(object)) {
        Leaf(object, inRelated);
        return;
      }
      GMimeMultipart* multi = GMIME_MULTIPART(object);
      const bool related = Lowered(g_mime_content_type_get_media_subtype(g_mime_object_get_content_type(object))) ==
                           "related";
      const char* boundary = g_mime_multipart_get_boundary(multi);
      boundaries.push_back(boundary ? boundary : "");
      path.push_back({multi, 0, g_mime_multipart_get_count(multi), related || inRelated});
    };
    enter(top, false);
    while (!path.empty()) {
      Open& open = path.back();
      if (open.next >= open.count) {
        boundaries.pop_back();
        path.pop_back();
        continue;
      }
      GMimeObject* child = g_mime_multipart_get_part(open.multi, open.next++);
      enter(child, open.related);
    }
  }
  void Leaf(GMimeObject* object, bool inRelated) {
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    const bool attachment = disposition && g_mime_content_disposition_is_attachment(disposition);
    if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      // message/rfc822, or message/global for an internationalized one.
      GText type(g_mime_content_type_get_mime_type(g_mime_object_get_content_type(object)));
      PropList a{Prop::Int(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG_METHOD),
                 Prop::Bytes(PR_ATTACH_MIME_TAG_A, type ? Lower(type.get()) : std::string("message/rfc822"))};
      if (inner) {
        a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, EmbeddedBytes(inner, object)));
        if (const char* s = g_mime_message_get_subject(inner)) a.push_back(Prop::Bytes(PR_DISPLAY_NAME_A, ValidUtf8(s)));
      }
      Add(std::move(a));
      return;
    }
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    GMimeContentType* type = g_mime_object_get_content_type(object);
    const std::string media = Lowered(g_mime_content_type_get_media_type(type));
    const std::string sub = Lowered(g_mime_content_type_get_media_subtype(type));
    const char* filename = g_mime_part_get_filename(part);
    if (!attachment && !filename && media == "text" && (sub == "plain" || sub == "html")) {
      std::string& target = sub == "plain" ? body : html;
      bool& have = sub == "plain" ? haveBody : haveHtml;
      if (!have && GMIME_IS_TEXT_PART(object)) {
        GText text(g_mime_text_part_get_text(GMIME_TEXT_PART(object)));
        target = text ? text.get() : "";
        have = true;
        return;
      }
    }
    if (media == "message" && (sub == "rfc822" || sub == "global")) {
      // An embedded message in a transfer encoding GMime leaves undone
      // (base64, quoted-printable): the decoded bytes are the message.
      std::string data = PartData(part);
      PropList a{Prop::Int(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG_METHOD),
                 Prop::Bytes(PR_ATTACH_MIME_TAG_A, "message/" + sub)};
      GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
      GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
      GPtr<GMimeMessage> inner(g_mime_parser_construct_message(parser.get(), nullptr));
      if (const char* subject = inner ? g_mime_message_get_subject(inner.get()) : nullptr)
        a.push_back(Prop::Bytes(PR_DISPLAY_NAME_A, ValidUtf8(subject)));
      if (filename) a.push_back(Prop::Bytes(PR_ATTACH_LONG_FILENAME_A, ValidUtf8(filename)));
      a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, std::move(data)));
      Add(std::move(a));
      return;
    }
    PropList a{Prop::Int(PR_ATTACH_METHOD, ATTACH_BY_VALUE_METHOD)};
    if (filename) a.push_back(Prop::Bytes(PR_ATTACH_LONG_FILENAME_A, ValidUtf8(filename)));
    GText mime(g_mime_content_type_get_mime_type(type));
    if (mime) a.push_back(Prop::Bytes(PR_ATTACH_MIME_TAG_A, Lower(mime.get())));
    const char* cid = g_mime_object_get_content_id(object);
    if (cid) a.push_back(Prop::Bytes(PR_ATTACH_CONTENT_ID, cid));
    const bool isInline = (disposition && !attachment) || (cid && inRelated);
    if (isInline) a.push_back(Prop::Int(PR_ATTACH_FLAGS, 4));
    a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, PartData(part)));
    Add(std::move(a));
  }
  // An embedded message as it stands in the input: from its first header
  // (or, where it has none, from the line after the part's header) to the
  // line end before the next boundary of a multipart around it. GMime's own
  // rendering of it only where the input gives no start.
  std::string EmbeddedBytes(GMimeMessage* inner, GMimeObject* part) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(inner));
    GMimeHeader* first = headers && g_mime_header_list_get_count(headers) > 0
                             ? g_mime_header_list_get_header_at(headers, 0)
                             : nullptr;
    gint64 start = first ? g_mime_header_get_offset(first) : -1;
    if (start < 0) start = ContentStart(part);
    if (start < 0 || static_cast<std::uint64_t>(start) >= raw.size()) return ObjectBytes(GMIME_OBJECT(inner));
    const auto from = static_cast<size_t>(start);
    size_t end = raw.size();
    for (const auto& b : boundaries) {
      if (b.empty()) continue;
      const size_t at = raw.find("\n--" + b, from);
      if (at != std::string_view::npos && at < end) end = at > from && raw[at - 1] == '\r' ? at - 1 : at;
    }
    return std::string(raw.substr(from, end - from));
  }
  // Where a part's content starts in the input: after the blank line that
  // ends its header; -1 when the input does not say.
  gint64 ContentStart(GMimeObject* part) const {
    GMimeHeaderList* headers = g_mime_object_get_header_list(part);
    const int n = headers ? g_mime_header_list_get_count(headers) : 0;
    if (n == 0) return -1;
    const gint64 last = g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, n - 1));
    if (last < 0 || static_cast<std::uint64_t>(last) >= raw.size()) return -1;
    // The blank line: the first line end followed by an empty line.
    for (size_t k = static_cast<size_t>(last); k < raw.size(); ++k) {
      if (raw[k] != '\n') continue;
      if (k + 1 < raw.size() && raw[k + 1] == '\n') return static_cast<gint64>(k + 2);
      if (k + 2 < raw.size() && raw[k + 1] == '\r' && raw[k + 2] == '\n') return static_cast<gint64>(k + 3);
    }
    return -1;
  }
  void Add(PropList a) {
    a.insert(a.begin(), Prop::Int(PR_ATTACH_NUM, static_cast<std::int64_t>(attachments.size())));
    attachments.push_back(std::move(a));
  }
};

// The latest time a Received header gives (each relay adds one on top, but
// clocks and orders are not to be trusted).
std::int64_t NewestReceived(GMimeObject* object) {
  std::int64_t newest = 0;
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  const int n = g_mime_header_list_get_count(headers);
  for (int k = 0; k < n; ++k) {
    GMimeHeader* h = g_mime_header_list_get_header_at(headers, k);
    if (!EqualsNoCase(g_mime_header_get_name(h), "Received")) continue;
    const char* value = g_mime_header_get_value(h);
    const char* semi = value ? std::strrchr(value, ';') : nullptr;
    if (!semi) continue;
    GDateTime* date = g_mime_utils_header_decode_date(semi + 1);
    if (!date) continue;
    const std::int64_t t = g_date_time_to_unix(date);
    g_date_time_unref(date);
    newest = std::max(newest, FiletimeFromUnix(t));
  }
  return newest;
}

// ---- the digest of what the conversion maps -----------------------------------------

const ULONG kMappedTags[] = {PR_MESSAGE_CLASS_A,
                             PR_SUBJECT_A,
                             PR_SENDER_NAME_A,
                             PR_SENDER_EMAIL_ADDRESS_A,
                             PR_SENDER_ADDRTYPE_A,
                             PR_SENT_REPRESENTING_NAME_A,
                             PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                             PR_SENT_REPRESENTING_ADDRTYPE,
                             PR_CLIENT_SUBMIT_TIME,
                             PR_INTERNET_MESSAGE_ID,
                             PR_IN_REPLY_TO_ID,
                             PR_INTERNET_REFERENCES,
                             PR_BODY_A,
                             PR_HTML,
                             PR_IMPORTANCE};
const ULONG kRecipientTags[] = {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A, PR_RECIPIENT_TYPE};
const ULONG kAttachmentTags[] = {PR_ATTACH_METHOD,      PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_MIME_TAG_A,
                                 PR_ATTACH_CONTENT_ID,  PR_ATTACH_FLAGS,           PR_ATTACH_DATA_BIN,
                                 PR_DISPLAY_NAME_A};

void Feed(sha256_ctx& ctx, const std::string& s) {
  const std::uint64_t n = s.size();
  std::uint8_t len[8];
  for (int k = 0; k < 8; ++k) len[k] = static_cast<std::uint8_t>(n >> (8 * k));
  sha256_update(&ctx, sizeof len, len);
  sha256_update(&ctx, s.size(), reinterpret_cast<const std::uint8_t*>(s.data()));
}

void FeedProps(sha256_ctx& ctx, const PropList& props, std::span<const ULONG> tags) {
  for (ULONG tag : tags) {
    const Prop* p = FindProp(props, PROP_ID(tag));
    if (!p) {
      Feed(ctx, "-");
      continue;
    }
    if (p->type() == PT_STRING8 || p->type() == PT_UNICODE)
      Feed(ctx, "s" + Text(props, tag));
    else if (StorageOf(p->type()) == Storage::Integer)
      Feed(ctx, "i" + std::to_string(p->type() == PT_SYSTIME ? UnixFromFiletime(p->i) : p->i));
    else
      Feed(ctx, "b" + p->b);
  }
}

bool IsAscii(std::string_view s) {
  return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string HeaderSafe(std::string s) {
  std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
  return s;
}

// ---- composing ------------------------------------------------------------------------------

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

std::string MappedDigest(const MessageData& m) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  FeedProps(ctx, m.props, kMappedTags);
  Feed(ctx, "r" + std::to_string(m.recipients.size()));
  for (const auto& r : m.recipients) FeedProps(ctx, r, kRecipientTags);
  Feed(ctx, "a" + std::to_string(m.attachments.size()));
  for (const auto& a : m.attachments) FeedProps(ctx, a, kAttachmentTags);
  std::uint8_t d[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof d, d);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (auto b : d) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

MailFlags FlagsOf(const PropList& props) {
  MailFlags f;
  const auto msgFlags = Int(props, PR_MESSAGE_FLAGS).value_or(MSGFLAG_READ);
  f.seen = msgFlags & MSGFLAG_READ;
  f.draft = msgFlags & MSGFLAG_UNSENT;
  f.flagged = Int(props, PR_FLAG_STATUS).value_or(0) == 2;
  const auto verb = Int(props, PR_LAST_VERB_EXECUTED).value_or(0);
  f.answered = verb == EXCHIVERB_REPLYTOSENDER || verb == EXCHIVERB_REPLYTOALL ||
               Int(props, PR_TESK_MAIL_ANSWERED).value_or(0) != 0;
  f.forwarded = verb == EXCHIVERB_FORWARD;
  f.deleted = Int(props, PR_TESK_MAIL_DELETED).value_or(0) != 0;
  if (const Prop* k = FindProp(props, PROP_ID(PR_TESK_KEYWORDS)); k && k->type() == PT_MV_STRING8)
    f.keywords = MvElements(*k);
  return f;
}

void ApplyFlags(PropList& props, const MailFlags& f) {
  std::int64_t msgFlags = Int(props, PR_MESSAGE_FLAGS).value_or(0);
  msgFlags = f.seen ? (msgFlags | MSGFLAG_READ) : (msgFlags & ~std::int64_t{MSGFLAG_READ});
  msgFlags = f.draft ? (msgFlags | MSGFLAG_UNSENT) : (msgFlags & ~std::int64_t{MSGFLAG_UNSENT});
  Put(props, Prop::Int(PR_MESSAGE_FLAGS, msgFlags));
  std::erase_if(props, [](const Prop& p) {
    return p.id() == PROP_ID(PR_FLAG_STATUS) || p.id() == PROP_ID(PR_LAST_VERB_EXECUTED) ||
           p.id() == PROP_ID(PR_TESK_KEYWORDS) || p.id() == PROP_ID(PR_TESK_MAIL_DELETED) ||
           p.id() == PROP_ID(PR_TESK_MAIL_ANSWERED);
  });
  if (f.flagged) props.push_back(Prop::Int(PR_FLAG_STATUS, 2));
  // MAPI keeps one last verb; a message both answered and forwarded shows
  // the forward there and keeps the answer in a property of our own.
  if (f.forwarded)
    props.push_back(Prop::Int(PR_LAST_VERB_EXECUTED, EXCHIVERB_FORWARD));
  else if (f.answered)
    props.push_back(Prop::Int(PR_LAST_VERB_EXECUTED, EXCHIVERB_REPLYTOSENDER));
  if (f.answered && f.forwarded) props.push_back(Prop::Bool(PR_TESK_MAIL_ANSWERED, true));
  if (f.deleted) props.push_back(Prop::Bool(PR_TESK_MAIL_DELETED, true));
  if (!f.keywords.empty()) props.push_back(MakeMv(PR_TESK_KEYWORDS, f.keywords));
}

std::int64_t DeliveryTimeOf(const PropList& props) { return Int(props, PR_MESSAGE_DELIVERY_TIME).value_or(0); }

MessageData FromMime(std::string_view bytes, const MailFlags& flags, std::int64_t deliveryTime) {
  GMimeOnce();
  MessageData m;
  PropList& p = m.props;
  p.push_back(Prop::Bytes(PR_MESSAGE_CLASS_A, "IPM.Note"));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GPtr<GMimeMessage> msg(g_mime_parser_construct_message(parser.get(), nullptr));
  if (msg) {
    GMimeObject* top = GMIME_OBJECT(msg.get());
    if (const char* s = g_mime_message_get_subject(msg.get())) PutText(p, PR_SUBJECT_A, s);
    std::vector<Mailbox> from, sender;
    Mailboxes(g_mime_message_get_from(msg.get()), from);
    Mailboxes(g_mime_message_get_sender(msg.get()), sender);
    if (!from.empty()) {
      PutText(p, PR_SENT_REPRESENTING_NAME_A, from[0].name);
      PutText(p, PR_SENT_REPRESENTING_EMAIL_ADDRESS, from[0].address);
      PutText(p, PR_SENT_REPRESENTING_ADDRTYPE, "SMTP");
    }
    const auto& s = sender.empty() ? from : sender;
    if (!s.empty()) {
      PutText(p, PR_SENDER_NAME_A, s[0].name);
      PutText(p, PR_SENDER_EMAIL_ADDRESS_A, s[0].address);
      PutText(p, PR_SENDER_ADDRTYPE_A, "SMTP");
    }
    std::string display[3];
    const std::pair<GMimeAddressType, LONG> kinds[] = {
        {GMIME_ADDRESS_TYPE_TO, MAPI_TO}, {GMIME_ADDRESS_TYPE_CC, MAPI_CC}, {GMIME_ADDRESS_TYPE_BCC, MAPI_BCC}};
    for (const auto& [type, kind] : kinds) {
      std::vector<Mailbox> list;
      Mailboxes(g_mime_message_get_addresses(msg.get(), type), list);
      for (const auto& mb : list) {
        PropList r{Prop::Int(PR_ROWID, static_cast<std::int64_t>(m.recipients.size())),
                   Prop::Bytes(PR_DISPLAY_NAME_A, mb.name.empty() ? mb.address : mb.name),
                   Prop::Bytes(PR_EMAIL_ADDRESS_A, mb.address), Prop::Bytes(PR_ADDRTYPE_A, "SMTP"),
                   Prop::Int(PR_RECIPIENT_TYPE, kind)};
        std::string& d = display[kind - 1];
        d += (d.empty() ? "" : "; ") + (mb.name.empty() ? mb.address : mb.name);
        m.recipients.push_back(std::move(r));
      }
    }
    PutText(p, PR_DISPLAY_TO_A, display[0]);
    PutText(p, PR_DISPLAY_CC_A, display[1]);
    PutText(p, PR_DISPLAY_BCC_A, display[2]);
    std::int64_t sent = 0;
    if (GDateTime* date = g_mime_message_get_date(msg.get())) {
      sent = FiletimeFromUnix(g_date_time_to_unix(date));
      p.push_back(Prop::Int(PR_CLIENT_SUBMIT_TIME, sent));
    }
    if (!deliveryTime) deliveryTime = NewestReceived(top);
    if (!deliveryTime) deliveryTime = sent;
    if (const char* id = g_mime_message_get_message_id(msg.get())) PutText(p, PR_INTERNET_MESSAGE_ID, std::string("<") + id + ">");
    PutText(p, PR_IN_REPLY_TO_ID, HeaderValue(top, "In-Reply-To"));
    PutText(p, PR_INTERNET_REFERENCES, HeaderValue(top, "References"));
    // The header block as it came, folds and all; GMime's rendering of it
    // where the parser cannot say where it ends.
    const gint64 headersEnd = g_mime_parser_get_headers_end(parser.get());
    if (headersEnd > 0 && static_cast<std::uint64_t>(headersEnd) <= bytes.size()) {
      PutText(p, PR_TRANSPORT_MESSAGE_HEADERS_A, std::string(bytes.substr(0, static_cast<size_t>(headersEnd))));
    } else {
      GText headers(g_mime_object_get_headers(top, nullptr));
      if (headers) PutText(p, PR_TRANSPORT_MESSAGE_HEADERS_A, headers.get());
    }
    const std::string importance = Lower(HeaderValue(top, "Importance"));
    const std::string priority = HeaderValue(top, "X-Priority");
    LONG imp = IMPORTANCE_NORMAL;
    if (importance == "high" || (!priority.empty() && (priority[0] == '1' || priority[0] == '2'))) imp = IMPORTANCE_HIGH;
    if (importance == "low" || (!priority.empty() && (priority[0] == '4' || priority[0] == '5'))) imp = IMPORTANCE_LOW;
    p.push_back(Prop::Int(PR_IMPORTANCE, imp));
    Walk walk;
    walk.raw = bytes;
    if (GMimeObject* body = g_mime_message_get_mime_part(msg.get())) {
      walk.Visit(body);
      // A multipart without a single part (no boundary line came): all it
      // holds is the text before its first part, which shows as the body.
      if (GMIME_IS_MULTIPART(body) && g_mime_multipart_get_count(GMIME_MULTIPART(body)) == 0 && !walk.haveBody &&
          !walk.haveHtml) {
        if (const char* prologue = g_mime_multipart_get_prologue(GMIME_MULTIPART(body))) {
          walk.body = prologue;
          walk.haveBody = true;
        }
      }
    }
    if (walk.haveBody) p.push_back(Prop::Bytes(PR_BODY_A, ValidUtf8(std::move(walk.body))));
    if (walk.haveHtml) p.push_back(Prop::Bytes(PR_HTML, ValidUtf8(std::move(walk.html))));
    m.attachments = std::move(walk.attachments);
  } else {
    // Not a message GMime can read: its bytes stay, and show as its text.
    p.push_back(Prop::Bytes(PR_BODY_A, ValidUtf8(std::string(bytes))));
  }
  if (deliveryTime) p.push_back(Prop::Int(PR_MESSAGE_DELIVERY_TIME, deliveryTime));
  ApplyFlags(p, flags);
  p.push_back(Prop::Bytes(PR_TESK_INTERNET_CONTENT, std::string(bytes)));
  p.push_back(Prop::Bytes(PR_TESK_MAPPED_DIGEST, MappedDigest(m)));
  return m;
}

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
