// Local store files (SQLite): what the rest of the subsystem may call.
//
// Settings of a profile's [[store]] table: file (the store file's absolute
// path).
#pragma once

#include <memory>
#include <string>

#include "provider.h"

namespace tesk::mapi {

// Creates a store file from the template of its kind (mailbox: Inbox,
// Outbox, Sent Items, Deleted Items, Drafts, Calendar, Contacts, Journal,
// Notes, Tasks; archive: Deleted Items; public: a public-folder store).
// Throws MapiError: MAPI_E_COLLISION (the file exists), MAPI_E_NO_ACCESS.
void CreateStoreFile(const std::string& path, const std::string& displayName, StoreKind kind);
// Throws MapiError: MAPI_E_NOT_FOUND (missing), MAPI_E_NO_ACCESS
// (unreadable), MAPI_E_CORRUPT_STORE (not a store, damaged),
// MAPI_E_VERSION (newer format).
std::shared_ptr<StoreProvider> OpenStoreFile(const std::string& path);
// Reads a store file's identity without keeping it open.
StoreIdentity ReadStoreIdentity(const std::string& path);

const ProviderFactory& SqliteProviderFactory();

}  // namespace tesk::mapi
