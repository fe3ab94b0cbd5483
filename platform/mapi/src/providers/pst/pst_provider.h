// Outlook data files (PST, ANSI and Unicode) as read-only stores: what the
// rest of the subsystem may call.
//
// Settings of a profile's [[store]] table: file (the .pst, absolute),
// display_name (the name the store shows; without it the file's own),
// store_kind ("archive", the default, "mailbox" or "public"), associated
// (false: the store shows none of the file's associated messages, Outlook's
// own settings of its folders, so its folders can go where none are kept),
// instance (tells a copy of a file, which keeps the file's identity, from
// the first). Read-only: every write throws MapiError(MAPI_E_NO_ACCESS). A
// file with a password opens like any other (the password guards nothing in
// the file).
#pragma once

#include "provider.h"

namespace tesk::mapi {

const ProviderFactory& PstProviderFactory();

}  // namespace tesk::mapi
