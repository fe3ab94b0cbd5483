// Maildir folders (Maildir++ or Dovecot's LAYOUT=fs) as stores: what the
// rest of the subsystem may call.
//
// Settings of a profile's [[store]] table: path (the Maildir's top
// directory, absolute), layout ("maildir++", the default, or "fs"). The
// store's identity, display name and kind live in the provider's own index
// inside the top directory.
#pragma once

#include <string>

#include "provider.h"

namespace tesk::mapi {

enum class MaildirLayout { MaildirPlusPlus, Fs };

// Creates the index (and with createDirs the Maildir itself, with INBOX and,
// for a mailbox, Sent, Drafts, Trash and Junk) for a directory that has none;
// an existing Maildir keeps its folders and messages. Returns the identity.
StoreIdentity CreateMaildirStore(const std::string& dir, const std::string& displayName, StoreKind kind,
                                 MaildirLayout layout, bool createDirs);

const ProviderFactory& MaildirProviderFactory();

}  // namespace tesk::mapi
