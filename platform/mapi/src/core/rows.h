// The hierarchy and contents tables of a folder: their rows come from the
// provider when they are fetched.
#pragma once

#include <memory>

#include "core/prop_object.h"
#include "core/table.h"

namespace tesk::mapi::objects {

// A folder's subfolders (deep: the whole subtree, with PR_DEPTH); copies
// being built (staging folders) and what lies below them are not shown.
std::unique_ptr<RowSource> HierarchyRowsOf(ProviderPtr store, ObjId folder, bool deep);
// A folder's messages, normal or associated.
std::unique_ptr<RowSource> ContentsRowsOf(ProviderPtr store, ObjId folder, bool associated);

}  // namespace tesk::mapi::objects
