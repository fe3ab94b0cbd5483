// Internet mail (RFC 5322, MIME) and MAPI messages, both ways, for every
// provider that keeps mail as Internet messages and for the spooler.
//
// A message that came in as MIME keeps its original bytes in a property of
// the store's own (PR_TESK_INTERNET_CONTENT) together with a digest of the
// properties mapped from it at that moment (PR_TESK_MAPPED_DIGEST). ToMime
// gives those bytes back unchanged as long as the mapped properties still
// have that digest; once a client changed one of them, the message is
// composed anew from its properties.
#pragma once

#include <mapitags.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "provider.h"

namespace tesk::mapi::inet {

// Properties of this subsystem's own (the provider range 0x6700-0x67FF).
constexpr ULONG PR_TESK_INTERNET_CONTENT = PROP_TAG(PT_BINARY, 0x6790);  // the original bytes
constexpr ULONG PR_TESK_MAPPED_DIGEST = PROP_TAG(PT_BINARY, 0x6791);     // SHA-256 of the mapped properties
constexpr ULONG PR_TESK_KEYWORDS = PROP_TAG(PT_MV_STRING8, 0x6792);      // IMAP keywords, UTF-8, in order
constexpr ULONG PR_TESK_MAIL_DELETED = PROP_TAG(PT_BOOLEAN, 0x6793);     // \Deleted, Maildir's T
// \Answered of a message whose last verb (PR_LAST_VERB_EXECUTED) is the forward.
constexpr ULONG PR_TESK_MAIL_ANSWERED = PROP_TAG(PT_BOOLEAN, 0x6794);

// Published tags the conversion uses beyond mapitags.h.
constexpr ULONG PR_CLIENT_SUBMIT_TIME = PROP_TAG(PT_SYSTIME, 0x0039);
constexpr ULONG PR_MESSAGE_DELIVERY_TIME = PROP_TAG(PT_SYSTIME, 0x0E06);
constexpr ULONG PR_INTERNET_MESSAGE_ID = PROP_TAG(PT_STRING8, 0x1035);
constexpr ULONG PR_IN_REPLY_TO_ID = PROP_TAG(PT_STRING8, 0x1042);
constexpr ULONG PR_INTERNET_REFERENCES = PROP_TAG(PT_STRING8, 0x1039);
constexpr ULONG PR_SENT_REPRESENTING_EMAIL_ADDRESS = PROP_TAG(PT_STRING8, 0x0065);
constexpr ULONG PR_SENT_REPRESENTING_ADDRTYPE = PROP_TAG(PT_STRING8, 0x0064);
constexpr ULONG PR_FLAG_STATUS = PROP_TAG(PT_LONG, 0x1090);  // 2: flagged
constexpr ULONG PR_LAST_VERB_EXECUTED = PROP_TAG(PT_LONG, 0x1081);
constexpr LONG EXCHIVERB_REPLYTOSENDER = 102, EXCHIVERB_REPLYTOALL = 103, EXCHIVERB_FORWARD = 104;
constexpr ULONG PR_ATTACH_CONTENT_ID = PROP_TAG(PT_STRING8, 0x3712);
constexpr ULONG PR_ATTACH_FLAGS = PROP_TAG(PT_LONG, 0x3714);  // ATT_MHTML_REF (4): inline
constexpr ULONG PR_ATTACHMENT_HIDDEN = PROP_TAG(PT_BOOLEAN, 0x7FFE);
constexpr ULONG PR_INTERNET_CPID = PROP_TAG(PT_LONG, 0x3FDE);
constexpr ULONG PR_SMTP_ADDRESS_A = PROP_TAG(PT_STRING8, 0x39FE);
constexpr ULONG PR_SENDER_SMTP_ADDRESS = PROP_TAG(PT_STRING8, 0x5D01);
constexpr ULONG PR_SENT_REPRESENTING_SMTP_ADDRESS = PROP_TAG(PT_STRING8, 0x5D02);
constexpr LONG ATTACH_BY_VALUE_METHOD = 1, ATTACH_EMBEDDED_MSG_METHOD = 5;

// MIME -> MAPI. deliveryTime is the time the store received the message
// (FILETIME ticks; Maildir: the file's time, IMAP: INTERNALDATE), 0 when
// unknown (then the newest Received header, else Date). Never throws for
// malformed input: what cannot be parsed is kept as text, and the original
// bytes are kept in any case.
MessageData FromMime(std::string_view bytes, const MailFlags& flags, std::int64_t deliveryTime);

// MAPI -> MIME: the kept original bytes when the mapped properties are
// unchanged, else a message composed from the properties (multipart/
// alternative for text and HTML, multipart/mixed with attachments, embedded
// messages as message/rfc822, RFC 2047 and RFC 2231 for non-ASCII text,
// IDNA for domains). Line ends are CR LF; the composed headers are ASCII
// but for an address with letters beyond ASCII before its @, which has no
// ASCII form: it stays in UTF-8 (an internationalized message, RFC 6532,
// embedded in another as message/global).
std::string ToMime(const MessageData& m);

// The flags and delivery time of a MAPI message as a mail store keeps them.
MailFlags FlagsOf(const PropList& props);
std::int64_t DeliveryTimeOf(const PropList& props);  // 0 when it has none

// Sets the flag properties of a message (PR_MESSAGE_FLAGS read and unsent,
// PR_FLAG_STATUS, PR_LAST_VERB_EXECUTED, PR_TESK_KEYWORDS,
// PR_TESK_MAIL_DELETED) from flags, leaving the rest alone. Flags are not
// part of the mapped digest: changing them never loses the original bytes.
void ApplyFlags(PropList& props, const MailFlags& flags);

// The digest of the properties, recipients and attachments the conversion
// maps (what PR_TESK_MAPPED_DIGEST holds).
std::string MappedDigest(const MessageData& m);

// For the spooler: the message as it goes out (From the transport's sender
// when the message names none, a fresh Date and Message-ID, Bcc left out).
struct SubmitOptions {
  std::string from;
  std::string messageIdDomain;
};
std::string ComposeForSubmission(const MessageData& m, const SubmitOptions& options);

}  // namespace tesk::mapi::inet
