#include "core/copy.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>

#include "inetmail/inetmail.h"

namespace tesk::mapi {

namespace {
bool g_fastPath = true;
// Messages in flight on the generic path: loaded together and written
// together, up to this many bytes (a larger message travels alone) or this
// many messages.
std::uint64_t g_batchBytes = 16u << 20;
constexpr size_t kBatchMessages = 256;
}  // namespace

void SetCopyBatchBytes(std::uint64_t bytes) { g_batchBytes = bytes ? bytes : 1; }
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

// A message in flight: as Internet bytes where the source keeps it so
// (nothing to convert, and nothing to convert back where the destination
// keeps mail so too), else as properties.
struct Loaded {
  MessageData data;
  std::optional<InternetMessage> internet;
  std::string key;  // of data, from its source's listing
};

std::uint64_t LoadedBytes(const Loaded& m) { return m.internet ? m.internet->bytes.size() : MessageBytes(m.data); }

Loaded LoadForCopy(StoreProvider& src, ObjId id, bool associated) {
  if (!associated)
    if (auto im = src.LoadInternet(id)) return Loaded{{}, std::move(im), {}};
  return Loaded{src.LoadMessage(id), std::nullopt, {}};
}

void StoreCopy(StoreProvider& dst, ObjId folder, bool associated, const Loaded& m) {
  if (!m.internet) {
    if (!associated && dst.StoreWhole(folder, m.data, m.key)) return;
    dst.StoreMessage(folder, associated, m.data, std::nullopt);
    return;
  }
  if (dst.StoreInternet(folder, *m.internet)) return;
  // Held content is the destination's to give (it said so inside this
  // write transaction): a store that cannot is damaged.
  if (m.internet->held)
    throw MapiError(MAPI_E_CORRUPT_STORE, dst.DisplayName() + " lost the content it holds for " + m.internet->key);
  dst.StoreMessage(folder, false, inet::FromMime(m.internet->bytes, m.internet->flags, m.internet->deliveryTime),
                   std::nullopt);
}

// Loads messages in batches bounded in bytes and hands each batch, with
// the positions its messages had, to write. With overlap, the next batch
// is loaded on a second thread while the last one is written (two stores,
// each used by one thread at a time); each batch is then half as large, so
// that what is in memory stays the same.
template <class Load, class Write>
void InBatches(size_t count, Load&& load, Write&& write, bool overlap) {
  const std::uint64_t limit = overlap ? std::max<std::uint64_t>(1, g_batchBytes / 2) : g_batchBytes;
  const size_t most = overlap ? std::max<size_t>(1, kBatchMessages / 2) : kBatchMessages;
  size_t k = 0;
  struct Batch {
    std::vector<Loaded> messages;
    std::vector<size_t> positions;
  };
  auto fill = [&]() {
    Batch batch;
    std::uint64_t bytes = 0;
    while (k < count) {
      const size_t at = k++;
      std::optional<Loaded> m = load(at);
      if (!m) continue;
      bytes += LoadedBytes(*m);
      batch.messages.push_back(std::move(*m));
      batch.positions.push_back(at);
      if (bytes >= limit || batch.messages.size() >= most) break;
    }
    return batch;
  };
  if (!overlap || count < 2) {
    while (k < count) {
      Batch batch = fill();
      if (!batch.messages.empty()) write(batch.messages, batch.positions);
    }
    return;
  }
  std::future<Batch> next = std::async(std::launch::async, fill);
  while (true) {
    Batch batch = next.get();  // a load's failure surfaces here
    const bool more = k < count;
    if (more) next = std::async(std::launch::async, fill);
    if (!batch.messages.empty()) write(batch.messages, batch.positions);
    if (!more) break;
  }
}

// Copies the normal messages of a folder whose listing gives content keys:
// what the destination holds already is written from its own content with
// the flags of now, only the rest is read.
void CopyListedMessages(StoreProvider& src, std::vector<ListedMessage>& listed, StoreProvider& dst, ObjId to,
                        std::uint64_t& done, ProgressReporter& progress) {
  std::vector<std::string> keys;
  keys.reserve(listed.size());
  for (const auto& m : listed) keys.push_back(m.head.key);
  const std::vector<bool> held = dst.HeldKeys(keys);
  keys.clear();
  keys.shrink_to_fit();
  InBatches(
      listed.size(),
      [&](size_t k) -> std::optional<Loaded> {
        ListedMessage& m = listed[k];
        if (held[k]) {
          m.head.held = true;
          return Loaded{{}, std::move(m.head), {}};
        }
        Loaded l = LoadForCopy(src, m.id, false);
        if (l.internet) {
          l.internet->key = std::move(m.head.key);
          if (k % 2 == 0) dst.PrepareInternet(*l.internet);
        } else {
          l.key = std::move(m.head.key);
        }
        return l;
      },
      [&](std::vector<Loaded>& batch, const std::vector<size_t>&) {
        std::unique_ptr<Transaction> tx = dst.BeginWrite();
        for (const auto& m : batch) StoreCopy(dst, to, false, m);
        tx->Commit();
        done += batch.size();
        progress.Update(done);
      },
      &src != &dst);
}

// Copies the messages of one folder batch by batch.
void CopyFolderMessages(StoreProvider& src, ObjId from, StoreProvider& dst, ObjId to, std::uint64_t& done,
                        ProgressReporter& progress) {
  for (bool associated : {false, true}) {
    if (!associated && g_fastPath && &src != &dst && dst.Caps().contentKeys) {
      if (auto listed = src.ListInternet(from)) {
        CopyListedMessages(src, *listed, dst, to, done, progress);
        continue;
      }
    }
    const auto ids = src.Messages(from, associated);
    InBatches(
        ids.size(),
        [&](size_t k) {
          Loaded l = LoadForCopy(src, ids[k], associated);
          if (l.internet && k % 2 == 0) dst.PrepareInternet(*l.internet);
          return std::optional<Loaded>(std::move(l));
        },
        [&](std::vector<Loaded>& batch, const std::vector<size_t>&) {
          // A destination that cannot hold a whole copy in one commit writes
          // batch by batch, each batch whole.
          std::unique_ptr<Transaction> tx = dst.BeginWrite();
          for (const auto& m : batch) StoreCopy(dst, to, associated, m);
          tx->Commit();
          done += batch.size();
          progress.Update(done);
        },
        &src != &dst);
  }
}

// A destination without associated contents cannot take a copy that has
// some: refused before anything is written, rather than dropped.
void CheckAssociated(StoreProvider& src, std::span<const ObjId> folders, StoreProvider& dst) {
  if (dst.Caps().associatedContents) return;
  for (ObjId f : folders) {
    auto info = src.GetFolder(f);
    if (info && info->assocCount > 0)
      throw MapiError(MAPI_E_NO_SUPPORT, "folder \"" + info->name + "\" holds associated messages, which " +
                                             dst.DisplayName() + " cannot keep");
  }
}

}  // namespace

namespace {

// A staging folder is named "tesk-incomplete HOST PID START NAME": the host
// and the process that builds it (START: its start time, so that a reused
// process number is not taken for it) and the name it will get.
constexpr std::string_view kStagingPrefix = "tesk-incomplete ";

std::string ShortHostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
  std::string h(host);
  h = h.substr(0, h.find('.'));
  for (char& c : h)
    if (c == ' ' || static_cast<unsigned char>(c) < 0x20) c = '-';
  return h.empty() ? "localhost" : h;
}

// A process's state letter and start time in clock ticks since boot, from
// /proc (nothing when there is no such process).
struct ProcessStat {
  char state = '?';
  std::uint64_t start = 0;
};
std::optional<ProcessStat> ReadProcessStat(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 1));
  ProcessStat out;
  std::string field;
  for (int k = 3; k <= 22 && rest >> field; ++k) {
    if (k == 3) out.state = field.empty() ? '?' : field[0];
    if (k == 22) out.start = std::strtoull(field.c_str(), nullptr, 10);
  }
  return out;
}
std::uint64_t ProcessStart(long pid) {
  auto s = ReadProcessStat(pid);
  return s ? s->start : 0;
}
// Whether the process that started then still runs (a zombie does not: it
// was killed, nobody has reaped it yet).
bool ProcessRuns(long pid, std::uint64_t start) {
  auto s = ReadProcessStat(pid);
  return s && s->start == start && s->state != 'Z' && s->state != 'X';
}

struct StagingOwner {
  std::string host;
  long pid = 0;
  std::uint64_t start = 0;
};

std::optional<StagingOwner> ParseStaging(const std::string& name) {
  if (!IsStagingName(name)) return std::nullopt;
  std::istringstream in(name.substr(kStagingPrefix.size()));
  StagingOwner o;
  if (!(in >> o.host >> o.pid >> o.start)) return std::nullopt;
  return o;
}

std::string StagingName(const std::string& name) {
  const long pid = static_cast<long>(::getpid());
  return std::string(kStagingPrefix) + ShortHostName() + " " + std::to_string(pid) + " " +
         std::to_string(ProcessStart(pid)) + " " + name;
}

// Staging folders below parent whose process is gone (on this host): what
// a killed copy left. Those of live processes and other hosts stay. Looked
// for once per folder and process (a restore copies many folders into one).
void RemoveLeftovers(StoreProvider& dst, ObjId parent) {
  static std::mutex lock;
  static std::set<std::pair<std::string, ObjId>> looked;
  {
    const std::lock_guard<std::mutex> hold(lock);
    const GUID& g = dst.Guid();
    if (!looked.emplace(std::string(reinterpret_cast<const char*>(&g), sizeof g), parent).second) return;
  }
  const std::string host = ShortHostName();
  for (ObjId child : dst.Subfolders(parent)) {
    auto info = dst.GetFolder(child);
    if (!info) continue;
    auto owner = ParseStaging(info->name);
    if (!owner || owner->host != host) continue;
    if (!ProcessRuns(owner->pid, owner->start)) dst.DeleteFolderTree(child, nullptr);
  }
}

}  // namespace

bool IsStagingName(const std::string& name) { return name.rfind(kStagingPrefix, 0) == 0; }

std::vector<ObjId> VisibleSubfolders(StoreProvider& store, ObjId folder) {
  std::vector<ObjId> out = store.Subfolders(folder);
  if (store.Caps().wholeCopyInOneCommit) return out;  // never holds staging folders
  std::erase_if(out, [&](ObjId f) {
    auto info = store.GetFolder(f);
    return info && IsStagingName(info->name);
  });
  return out;
}

namespace {

ObjId CopyFolderTreeAs(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                       const std::string& name, bool subfolders, ProgressReporter& progress);

}  // namespace

ObjId CopyFolderTree(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                     const std::string& name, bool subfolders, ProgressReporter& progress) {
  if (dst.Caps().wholeCopyInOneCommit) return CopyFolderTreeAs(src, srcFolder, dst, destParent, name, subfolders, progress);
  RemoveLeftovers(dst, destParent);
  const std::string staging = StagingName(name);
  ObjId created = 0;
  try {
    created = CopyFolderTreeAs(src, srcFolder, dst, destParent, staging, subfolders, progress);
  } catch (...) {
    // What was copied goes again where the store still answers; else the
    // next copy into this folder removes it.
    try {
      if (auto left = dst.FindSubfolder(destParent, staging)) dst.DeleteFolderTree(*left, nullptr);
    } catch (const std::exception&) {
    }
    throw;
  }
  // Complete: it takes its name (unless another took it meanwhile).
  if (dst.FindSubfolder(destParent, name)) {
    try {
      dst.DeleteFolderTree(created, nullptr);
    } catch (const std::exception&) {
    }
    throw MapiError(MAPI_E_COLLISION, "a folder named " + name + " exists");
  }
  dst.MoveFolder(created, destParent, name);
  return created;
}

namespace {

ObjId CopyFolderTreeAs(StoreProvider& src, ObjId srcFolder, StoreProvider& dst, ObjId destParent,
                       const std::string& name, bool subfolders, ProgressReporter& progress) {
  // The destination's fast path, if it has one for this copy, takes over
  // folder by folder; the walk stays here. Prepared before the
  // transactions begin and released after they end.
  std::unique_ptr<StoreProvider::FolderCopier> fast;
  if (g_fastPath) fast = dst.BeginFolderCopy(src, srcFolder, destParent);
  const std::vector<ObjId> folders = subfolders ? src.SubtreeFolders(srcFolder) : std::vector<ObjId>{srcFolder};
  CheckAssociated(src, folders, dst);
  // One transaction of the destination around the whole copy: all or nothing
  // where the provider can, else at least every message and folder whole.
  auto write = dst.BeginWrite();
  std::unique_ptr<Transaction> read;
  if (&src != &dst) read = src.BeginRead();  // one consistent view of the source
  std::uint64_t done = 0;
  // The fast path's count of a folder's messages done, on top of what was
  // done before it.
  std::uint64_t inFolder = 0;
  auto step = [&](std::uint64_t n) {
    if (n != kStepStillWorking) inFolder = n;
    progress.Update(n == kStepStillWorking ? n : done + n);
    return true;
  };
  // Folder keys are asked of the source only for a destination that keeps them.
  const bool keyed = g_fastPath && &src != &dst && dst.Caps().contentKeys;
  std::deque<std::pair<ObjId, ObjId>> todo;  // (source, copy)
  auto copyFolder = [&](ObjId from, ObjId parent, const std::string& newName) {
    auto info = src.GetFolder(from);
    if (!info) throw MapiError(MAPI_E_NOT_FOUND, "source folder vanished");
    ObjId to = dst.CreateFolder(parent, newName, info->type);
    dst.SetFolderProps(to, src.FolderProps(from));
    todo.emplace_back(from, to);
    return to;
  };
  const ObjId created = copyFolder(srcFolder, destParent, name);
  while (!todo.empty()) {
    auto [from, to] = todo.front();
    todo.pop_front();
    inFolder = 0;
    if (fast && fast->CopyContents(from, to, step)) {
      done += inFolder;
    } else {
      // A folder unchanged since a copy the destination remembers is
      // copied from that copy, without listing the source.
      const std::string state = keyed ? src.FolderStateKey(from) : std::string();
      std::uint64_t kept = 0;
      if (!state.empty() && dst.CopyRememberedFolder(state, to, kept)) {
        done += kept;
        progress.Update(done);
      } else {
        CopyFolderMessages(src, from, dst, to, done, progress);
        if (!state.empty()) dst.RememberFolder(state, to);
      }
    }
    ++done;
    progress.Update(done);
    if (subfolders) {
      for (ObjId child : VisibleSubfolders(src, from)) {
        if (&src == &dst && child == created) continue;  // the copy itself, made below its source
        auto info = src.GetFolder(child);
        if (info) copyFolder(child, to, info->name);
      }
    }
  }
  if (fast)
    fast->Commit(*write, step);
  else
    write->Commit();
  progress.Finish();
  return created;
}

}  // namespace

void CopyMessageList(StoreProvider& src, std::span<const ObjId> ids, StoreProvider& dst, ObjId destFolder,
                     ProgressReporter& progress) {
  if (g_fastPath && dst.CopyMessagesFrom(src, ids, destFolder, [&](std::uint64_t done) {
        progress.Update(done);
        return true;
      })) {
    progress.Finish();
    return;
  }
  std::vector<bool> associated(ids.size());
  for (size_t k = 0; k < ids.size(); ++k) {
    auto info = src.GetMessage(ids[k]);
    associated[k] = info && info->associated;
    if (associated[k] && !dst.Caps().associatedContents)
      throw MapiError(MAPI_E_NO_SUPPORT, dst.DisplayName() + " cannot keep associated messages");
  }
  auto write = dst.BeginWrite();
  std::unique_ptr<Transaction> read;
  if (&src != &dst) read = src.BeginRead();
  std::uint64_t done = 0;
  InBatches(
      ids.size(),
      [&](size_t k) -> std::optional<Loaded> {
        if (!src.GetMessage(ids[k])) return std::nullopt;
        return LoadForCopy(src, ids[k], associated[k]);
      },
      [&](std::vector<Loaded>& batch, const std::vector<size_t>& positions) {
        // Each message keeps its kind (normal or associated).
        std::unique_ptr<Transaction> tx = dst.BeginWrite();
        for (size_t j = 0; j < batch.size(); ++j)
          StoreCopy(dst, destFolder, associated[positions[j]], batch[j]);
        tx->Commit();
        done += batch.size();
        progress.Update(done);
      },
      &src != &dst);
  write->Commit();
  progress.Finish();
}

}  // namespace tesk::mapi
