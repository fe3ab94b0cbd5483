// The flags a mail store keeps beside a message, and the digest that tells
// whether a message's mapped properties still are those of its bytes.
#include <nettle/sha2.h>

#include <algorithm>
#include <span>

#include "inetmail/inetmail.h"
#include "inetmail/mime_support.h"

namespace tesk::mapi::inet {

using namespace detail;

namespace {

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

}  // namespace tesk::mapi::inet
