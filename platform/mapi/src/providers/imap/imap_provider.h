// IMAP accounts as stores: what the rest of the subsystem may call.
//
// Settings of a profile's [[store]] table: url (imaps://HOST[:PORT], or
// imap://HOST[:PORT] with STARTTLS unless tls = "none" is written out for a
// server on this machine), user, password_file or oauth2_token_file (the
// first line; a file others may read is refused), state (the absolute path
// of the provider's state file: the store's identity, name and kind, and the
// numbers of mailboxes and messages), and optionally ca_file (trusted
// certificates beside the system's), compress (COMPRESS=DEFLATE where
// offered; on by default but on loopback), timeout (seconds) and
// connections, and the quirks of the big providers' servers, each detected
// from CAPABILITY, ID or the greeting unless set: skip_special_use (a list),
// max_connections, max_message_size and lookalike_names. A store of kind
// "public" holds the server's shared namespace.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "provider.h"

namespace tesk::mapi {

// Makes the state file of a new IMAP store (no connection yet).
StoreIdentity CreateImapState(const StoreSettings& settings, const std::string& displayName, StoreKind kind);

// What a login to the account shows.
struct ImapCheck {
  std::vector<std::string> capabilities;
  bool secure = false;
  bool compressed = false;
  std::string prefix, delimiter;  // of the store's namespace
  std::vector<std::pair<std::string, std::string>> specialUse;  // attribute, mailbox
  std::string quirks;  // the server's family and the quirks in force, as store keys
};
ImapCheck CheckImapStore(const StoreSettings& settings);

const ProviderFactory& ImapProviderFactory();

}  // namespace tesk::mapi
