// Internet mail -> MAPI messages, with GMime.
#include <algorithm>
#include <cstring>
#include <vector>

#include "inetmail/inetmail.h"
#include "inetmail/mime_support.h"
#include "inetmail/rtf.h"

namespace tesk::mapi::inet {

using namespace detail;

namespace {

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

}  // namespace

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

}  // namespace tesk::mapi::inet
