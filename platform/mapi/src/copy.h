// Whole-folder work over any store provider: streamed in bounded batches
// inside one transaction of the destination, or handed to the provider's
// own fast path when both stores are of its kind.
#pragma once

#include <span>
#include <string>

#include "progress.h"
#include "provider.h"

namespace tesk::mapi {

// Work units of copying a folder (its messages, and with subfolders those
// of the whole subtree, plus one per folder).
std::uint64_t CountWork(StoreProvider& store, ObjId folder, bool subfolders);

ObjId CopyFolderTree(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                     const std::string& name, bool subfolders, ProgressReporter& progress);

void CopyMessageList(StoreProvider& src, std::span<const ObjId> ids, StoreProvider& dst, ObjId destFolder,
                     ProgressReporter& progress);

// Tests use this to run the generic path between two stores of one kind.
void SetFastPathEnabled(bool enabled);
// The bytes of messages the generic path holds in memory at once (16 MiB).
void SetCopyBatchBytes(std::uint64_t bytes);

}  // namespace tesk::mapi
