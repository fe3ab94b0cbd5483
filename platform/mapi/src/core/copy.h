// Whole-folder work over any store provider: streamed in bounded batches
// inside one transaction of the destination, or handed to the provider's
// own fast path when both stores are of its kind.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/progress.h"
#include "provider.h"

namespace tesk::mapi {

// Work units of copying a folder (its messages, and with subfolders those
// of the whole subtree, plus one per folder).
std::uint64_t CountWork(StoreProvider& store, ObjId folder, bool subfolders);

// Copies a folder (with subfolders, its subtree) as a new folder of that
// name below destParent. Into a store that cannot commit a whole copy at
// once, the copy is built under a staging name and takes its name only
// when complete, so a copy that broke off (a killed process) never shows
// as a finished one; staging folders that a dead process left are removed
// by the next copy into the same folder.
ObjId CopyFolderTree(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                     const std::string& name, bool subfolders, ProgressReporter& progress);

// Whether a folder name is that of a copy being built (or left behind by
// a copy that broke off); such folders are not shown.
bool IsStagingName(const std::string& name);
// The subfolders of a folder that are shown (all but staging folders).
std::vector<ObjId> VisibleSubfolders(StoreProvider& store, ObjId folder);

void CopyMessageList(StoreProvider& src, std::span<const ObjId> ids, StoreProvider& dst, ObjId destFolder,
                     ProgressReporter& progress);

// Tests use this to run the generic path between two stores of one kind.
void SetFastPathEnabled(bool enabled);
// The bytes of messages the generic path holds in memory at once (16 MiB).
void SetCopyBatchBytes(std::uint64_t bytes);

}  // namespace tesk::mapi
