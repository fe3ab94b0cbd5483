#include "copy.h"

#include <deque>

namespace tesk::mapi {

namespace {
bool g_fastPath = true;
constexpr size_t kBatch = 64;  // messages loaded at once on the generic path
}  // namespace

void SetFastPathEnabled(bool enabled) { g_fastPath = enabled; }

std::uint64_t CountWork(StoreProvider& store, ObjId folder, bool subfolders) {
  std::uint64_t total = 0;
  std::vector<ObjId> folders = subfolders ? store.SubtreeFolders(folder) : std::vector<ObjId>{folder};
  for (ObjId f : folders) {
    if (auto info = store.GetFolder(f)) total += 1 + static_cast<std::uint64_t>(info->contentCount + info->assocCount);
  }
  return total;
}

namespace {

// Copies the messages of one folder batch by batch.
void CopyFolderMessages(StoreProvider& src, ObjId from, StoreProvider& dst, ObjId to, std::uint64_t& done,
                        ProgressReporter& progress) {
  for (bool associated : {false, true}) {
    const auto ids = src.Messages(from, associated);
    for (size_t k = 0; k < ids.size(); k += kBatch) {
      std::vector<MessageData> batch;
      const size_t end = std::min(ids.size(), k + kBatch);
      for (size_t j = k; j < end; ++j) batch.push_back(src.LoadMessage(ids[j]));
      for (const auto& m : batch) dst.StoreMessage(to, associated, m, std::nullopt);
      done += batch.size();
      progress.Update(done);
    }
  }
}

}  // namespace

ObjId CopyFolderTree(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                     const std::string& name, bool subfolders, ProgressReporter& progress) {
  ObjId created = 0;
  std::uint64_t folderCount = 0;
  if (g_fastPath &&
      dst.CopyTreeFrom(src, srcFolder, destParent, name, subfolders,
                       [&](std::uint64_t done) {
                         progress.Update(done);
                         return true;
                       },
                       &created)) {
    progress.Finish();
    return created;
  }

  auto write = dst.BeginWrite();
  std::unique_ptr<Transaction> read;
  if (&src != &dst) read = src.BeginRead();  // one consistent view of the source
  std::uint64_t done = 0;
  std::deque<std::pair<ObjId, ObjId>> todo;  // (source, copy)
  auto copyFolder = [&](ObjId from, ObjId parent, const std::string& newName) {
    auto info = src.GetFolder(from);
    if (!info) throw MapiError(MAPI_E_NOT_FOUND, "source folder vanished");
    ObjId to = dst.CreateFolder(parent, newName, info->type);
    dst.SetFolderProps(to, src.FolderProps(from));
    ++folderCount;
    todo.emplace_back(from, to);
    return to;
  };
  created = copyFolder(srcFolder, destParent, name);
  while (!todo.empty()) {
    auto [from, to] = todo.front();
    todo.pop_front();
    CopyFolderMessages(src, from, dst, to, done, progress);
    ++done;
    progress.Update(done);
    if (subfolders) {
      for (ObjId child : src.Subfolders(from)) {
        auto info = src.GetFolder(child);
        if (info) copyFolder(child, to, info->name);
      }
    }
  }
  write->Commit();
  progress.Finish();
  return created;
}

void CopyMessageList(StoreProvider& src, std::span<const ObjId> ids, StoreProvider& dst, ObjId destFolder,
                     ProgressReporter& progress) {
  if (g_fastPath && dst.CopyMessagesFrom(src, ids, destFolder, [&](std::uint64_t done) {
        progress.Update(done);
        return true;
      })) {
    progress.Finish();
    return;
  }
  auto write = dst.BeginWrite();
  std::unique_ptr<Transaction> read;
  if (&src != &dst) read = src.BeginRead();
  std::uint64_t done = 0;
  for (size_t k = 0; k < ids.size(); k += kBatch) {
    std::vector<std::pair<bool, MessageData>> batch;
    for (size_t j = k; j < std::min(ids.size(), k + kBatch); ++j) {
      auto info = src.GetMessage(ids[j]);
      if (info) batch.emplace_back(info->associated, src.LoadMessage(ids[j]));
    }
    for (const auto& [assoc, m] : batch) dst.StoreMessage(destFolder, assoc, m, std::nullopt);
    done += batch.size();
    progress.Update(done);
  }
  write->Commit();
  progress.Finish();
}

}  // namespace tesk::mapi
