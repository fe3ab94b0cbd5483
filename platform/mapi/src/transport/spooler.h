// The spooler: hands submitted messages to the SMTP transport and files
// them away once they are delivered.
#pragma once

#include <string>

#include "provider.h"

namespace tesk::mapi {

// Delivers one submitted message of the store. On success the message is
// deleted (PR_DELETE_AFTER_SUBMIT) or moved to the folder PR_SENTMAIL_ENTRYID
// names; on failure it stays where it is and the failure's code is returned
// (error receives a description).
HRESULT DeliverSubmitted(StoreProvider& store, ObjId message, const TransportSettings& transport, std::string* error);

// The SMTP addresses a one-off entry identifier carries; false when the
// bytes are no one-off entry identifier.
bool ParseOneOff(const std::string& entryId, std::string* name, std::string* type, std::string* address);
std::string MakeOneOff(const std::string& name, const std::string& type, const std::string& address, bool unicode,
                       bool noRichInfo);
// An address is sendable when it has an "@" and no control characters.
bool SafeAddressText(const std::string& text);

}  // namespace tesk::mapi
