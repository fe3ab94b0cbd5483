// Messages and their attachments: a message is read whole when opened and
// written whole by SaveChanges.
#pragma once

#include <optional>

#include "core/prop_object.h"

namespace tesk::mapi::objects {

// A message object: of a stored message (id), or a new one of folder.
// Hands it out as iid (Deliver's results).
HRESULT OpenMessageObject(ProviderPtr store, std::optional<ObjId> id, ObjId folder, bool associated, REFIID iid,
                          void** out);

}  // namespace tesk::mapi::objects
