// Folders: their tables, messages and subfolders, and the whole-folder
// operations (CopyFolder, CopyMessages, DeleteFolder, EmptyFolder) that the
// copy engine carries out.
#pragma once

#include "core/prop_object.h"

namespace tesk::mapi::objects {

// A folder object of the store, handed out as iid (Deliver's results).
HRESULT OpenFolderObject(ProviderPtr store, ObjId id, REFIID iid, void** out);

}  // namespace tesk::mapi::objects
