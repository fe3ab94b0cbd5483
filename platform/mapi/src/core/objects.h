// The MAPI objects of a store: the store itself, folders, messages and
// attachments, over a StoreProvider.
#pragma once

#include <mapix.h>

#include <memory>

#include "provider.h"

namespace tesk::mapi {

// Opens the store object of an open provider as the interface asked for
// (null: IMsgStore).
HRESULT OpenStoreObject(std::shared_ptr<StoreProvider> provider, LPCIID iid, void** out);

// The session's address book (one-off recipients).
HRESULT OpenAddressBookObject(LPCIID iid, void** out);

// Opens a folder or message of the provider by its entry identifier.
HRESULT OpenObjectByEntryId(const std::shared_ptr<StoreProvider>& provider, ULONG cb, LPENTRYID eid, LPCIID iid,
                            ULONG* objType, LPUNKNOWN* out);

}  // namespace tesk::mapi
