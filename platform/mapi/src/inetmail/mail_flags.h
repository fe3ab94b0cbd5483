// The flags a mail store keeps beside a message, apart from the MIME
// conversion so that the provider contract can name them.
#pragma once

#include <string>
#include <vector>

namespace tesk::mapi::inet {

// The flags a mail store keeps beside a message (IMAP system flags, the
// Maildir info letters) and its keywords.
struct MailFlags {
  bool seen = false;       // S, \Seen
  bool answered = false;   // R, \Answered
  bool flagged = false;    // F, \Flagged
  bool deleted = false;    // T, \Deleted
  bool draft = false;      // D, \Draft
  bool forwarded = false;  // P, $Forwarded
  std::vector<std::string> keywords;  // further keywords, in their order
  bool operator==(const MailFlags&) const = default;
};

}  // namespace tesk::mapi::inet
