// The Maildir store provider: the folders of a Maildir (Maildir++ or
// Dovecot's LAYOUT=fs) as a MAPI store. A message file is exactly the
// message's Internet bytes; its flags and keywords are the file name's info
// letters. What a Maildir does not keep itself (the store's identity, stable
// numbers of folders and messages, folder properties) lives in an index of
// this provider's own beside the folders, tesk-index.sqlite; Dovecot's files
// (dovecot-uidlist, dovecot.index*) are never written.
//
// Writing: a message is written to tmp/, synced, and renamed into cur/, so a
// reader never sees half a message. A folder made in a write transaction
// waits in the top's tmp/ under a temporary name and is renamed to its own
// when the transaction commits, so a reader (Dovecot) never lists a copy
// that has not ended. Files and folders that an open write transaction made
// are listed in a journal (tesk-journal) before they appear;
// a transaction that ends without its commit, or a process killed in one,
// has them removed again (at the next open, for a killed one). Deletions
// and renames in a write transaction are journaled too: a deleted file or
// folder is only moved aside into tmp/, which readers ignore, and removed
// once the transaction committed; undoing puts it back. The index records
// the journal's token in the same commit, so a journal found later tells
// whether its transaction committed (finish the removals) or not (undo).
//
// The standard folders (Sent, Drafts, Trash, Junk, Archive) are found by
// their usual names. Deleting one empties it and keeps its directory (and
// Dovecot's UIDVALIDITY in it) out of sight; a folder of its name made later
// in the session takes it again.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mapitags.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "providers/common/store_tables.h"
#include "providers/common/standard_names.h"
#include "providers/common/maildir_names.h"
#include "provider.h"
#include "providers/maildir/maildir_provider.h"

namespace tesk::mapi {

namespace {

namespace fs = std::filesystem;
namespace inet = tesk::mapi::inet;

constexpr char kIndexName[] = "tesk-index.sqlite";
constexpr char kJournalName[] = "tesk-journal";
constexpr char kLockName[] = "tesk-lock";
constexpr char kRootRel[] = "#root";
constexpr char kTopRel[] = "#top";
constexpr char kInboxRel[] = "INBOX";
constexpr char kForwarded[] = "$Forwarded";
constexpr std::size_t kNameMax = 255;  // bytes of a directory name

// Archives as mail programs name them (Thunderbird, Apple Mail, Outlook).
const std::initializer_list<const char*> kArchiveNames{"Archive", "Archives", "Archiv"};

const char* const kIndexSchema = R"sql(
CREATE TABLE IF NOT EXISTS info(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS store_prop(prop_id INTEGER PRIMARY KEY, type INTEGER NOT NULL, value);
CREATE TABLE IF NOT EXISTS receive_folder(message_class TEXT PRIMARY KEY COLLATE NOCASE, folder_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS folder(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent_id INTEGER,
  rel TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  folder_type INTEGER NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS folder_by_parent ON folder(parent_id);
CREATE TABLE IF NOT EXISTS folder_prop(folder_id INTEGER NOT NULL, prop_id INTEGER NOT NULL, type INTEGER NOT NULL,
  value, PRIMARY KEY(folder_id, prop_id));
CREATE TABLE IF NOT EXISTS message(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder_id INTEGER NOT NULL,
  base TEXT NOT NULL,
  file TEXT NOT NULL,
  size INTEGER NOT NULL,
  mtime INTEGER NOT NULL,
  UNIQUE(folder_id, base));
)sql";


[[noreturn]] void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

[[noreturn]] void FailErrno(const std::string& what) {
  const int e = errno;
  Fail(e == ENOSPC ? MAPI_E_NOT_ENOUGH_DISK : e == EACCES || e == EPERM || e == EROFS ? MAPI_E_NO_ACCESS
                                                                                        : MAPI_E_DISK_ERROR,
       what + ": " + std::strerror(e));
}

void SyncDir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool IsDir(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeMaildir(const std::string& dir, bool marker) {
  std::error_code ec;
  for (const char* sub : {"cur", "new", "tmp"}) {
    fs::create_directories(dir + "/" + sub, ec);
    if (ec) {
      errno = ec.value();
      FailErrno("cannot create " + dir + "/" + sub);
    }
  }
  if (marker) {
    const int fd = ::open((dir + "/maildirfolder").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) FailErrno("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string HostName() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::string h = host[0] ? host : "localhost";
  // Maildir file names cannot hold '/' or ':'.
  for (char& c : h)
    if (c == '/' || c == ':') c = '_';
  return h;
}

class MaildirStore;

class MaildirTx final : public Transaction {
 public:
  MaildirTx(MaildirStore& store, bool write);
  ~MaildirTx() override;
  void Commit() override;

 private:
  MaildirStore& store_;
  bool write_;
  bool done_ = false;
  int level_;
};

class MaildirStore final : public StoreProvider {
 public:
  MaildirStore(std::string top, MaildirLayout layout) : top_(std::move(top)), layout_(layout) {}
  ~MaildirStore() override {
    if (lockFd_ >= 0) ::close(lockFd_);
  }

  // Opens (or, with create, makes) the index; with scan, reads the folders.
  void Open(bool create, const std::string& displayName, StoreKind kind, bool makeFolders = false) {
    if (!IsDir(top_)) Fail(MAPI_E_NOT_FOUND, top_ + " is no directory");
    const std::string index = top_ + "/" + kIndexName;
    struct stat st {};
    const bool exists = ::stat(index.c_str(), &st) == 0;
    if (!exists && !create) Fail(MAPI_E_NOT_FOUND, top_ + " is not a store yet (mapiadmin store add-maildir)");
    struct statvfs vfs {};
    readOnly_ = (::statvfs(top_.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) || ::access(top_.c_str(), W_OK) != 0;
    if (readOnly_ && !exists) Fail(MAPI_E_NO_ACCESS, top_ + " cannot be written");
    ix_.Open(readOnly_ ? "file:" + index + "?mode=ro&immutable=1" : index,
             readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!readOnly_) {
      ix_.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
      // A lock file of its own: closing a descriptor of the index itself
      // would drop SQLite's locks on it.
      lockFd_ = ::open((top_ + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    if (!exists) {
      ix_.Exec(kIndexSchema);
      guid_ = NewGuid();
      ix_.Prepare("INSERT INTO info(key, value) VALUES('guid', ?)").BindBlob(1, GuidBytes(guid_)).Run();
      ix_.Prepare("INSERT INTO info(key, value) VALUES('name', ?)").Bind(1, displayName).Run();
      const char* kindName = kind == StoreKind::Mailbox ? "mailbox" : kind == StoreKind::Archive ? "archive" : "public";
      ix_.Prepare("INSERT INTO info(key, value) VALUES('kind', ?)").Bind(1, std::string(kindName)).Run();
      ix_.Prepare("INSERT INTO info(key, value) VALUES('layout', ?)")
          .Bind(1, std::string(layout_ == MaildirLayout::Fs ? "fs" : "maildir++"))
          .Run();
      const auto now = NowFiletime();
      ix_.Prepare("INSERT INTO folder(parent_id, rel, name, folder_type, created, modified) VALUES(NULL, ?, '', ?, ?, ?)")
          .Bind(1, std::string(kRootRel)).Bind(2, FOLDER_ROOT).Bind(3, now).Bind(4, now).Run();
      const std::int64_t root = ix_.LastId();
      ix_.Prepare("INSERT INTO folder(parent_id, rel, name, folder_type, created, modified) VALUES(?, ?, ?, ?, ?, ?)")
          .Bind(1, root).Bind(2, std::string(kTopRel))
          .Bind(3, std::string(kind == StoreKind::Public ? "All Public Folders" : "Top of Personal Folders"))
          .Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
    }
    {
      auto q = ix_.Prepare("SELECT key, value FROM info");
      while (q.Step()) info_[q.Text(0)] = q.Text(1);
    }
    if (info_["guid"].size() != 16) Fail(MAPI_E_CORRUPT_STORE, top_ + ": the index holds no store identity");
    guid_ = GuidFromBytes(info_["guid"]);
    if (info_["layout"] == "fs") layout_ = MaildirLayout::Fs;
    root_ = FolderByRel(kRootRel).value_or(0);
    top_id_ = FolderByRel(kTopRel).value_or(0);
    if (!root_ || !top_id_) Fail(MAPI_E_CORRUPT_STORE, top_ + ": the index has no root folder");
    if (!readOnly_) {
      Lock();
      RollBackJournal();
      RemoveStrayStaging();
      ix_.Exec("BEGIN IMMEDIATE");
      try {
        if (makeFolders && Kind() == "mailbox" && !exists) {
          MakeMaildir(top_, false);
          for (const char* name : {"Sent", "Drafts", "Trash", "Junk"}) {
            const std::string dir = DirOf(RelOfChild(top_id_, maildir::EncodeComponent(name, Fs()).value()));
            MakeMaildir(dir, !Fs());
          }
        } else if (makeFolders && !exists) {
          MakeMaildir(top_, false);
        }
        Scan();
        ix_.Exec("COMMIT");
      } catch (...) {
        ix_.Exec("ROLLBACK");
        Unlock();
        throw;
      }
      Unlock();
    }
    FindStandardFolders();
  }

  Capabilities Caps() const override {
    Capabilities c;
    c.readOnly = readOnly_;
    c.wholeCopyInOneCommit = true;
    c.associatedContents = false;
    c.rawInternetContent = true;
    return c;
  }
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return top_; }
  std::string DisplayName() override { return info_["name"]; }
  std::string Kind() override { return info_["kind"]; }

  PropList StoreProps() override { return tables::StoreProps(ix_, standardProps_); }
  void SetStoreProps(const PropList& props) override {
    auto tx = BeginWrite();
    tables::SetStoreProps(ix_, props);
    tx->Commit();
  }
  void DeleteStoreProps(std::span<const ULONG> ids) override {
    auto tx = BeginWrite();
    tables::DeleteStoreProps(ix_, ids);
    tx->Commit();
  }
  ObjId RootFolder() override { return root_; }

  std::optional<ObjId> ReceiveFolder(const std::string& cls, std::string* explicitClass) override {
    return tables::ReceiveFolder(ix_, cls, inbox_, explicitClass);
  }
  void SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) override {
    auto tx = BeginWrite();
    tables::SetReceiveFolder(ix_, cls, folder);
    tx->Commit();
  }

  std::optional<FolderInfo> GetFolder(ObjId id) override {
    auto f = tables::FolderRow(ix_, id);
    if (f) {
      auto q = ix_.Prepare("SELECT count(*) FROM message WHERE folder_id=?");
      q.Bind(1, id);
      if (q.Step()) f->contentCount = q.Int(0);
      f->holdsMessages = id != root_ && id != top_id_;
    }
    return f;
  }
  std::vector<ObjId> Subfolders(ObjId id) override { return tables::Subfolders(ix_, id); }
  std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name) override {
    return tables::FindSubfolder(ix_, parent, name);
  }
  PropList FolderProps(ObjId id) override {
    return tables::FolderProps(ix_, id, id == inbox_ || id == root_ ? inboxProps_ : PropList{});
  }
  void SetFolderProps(ObjId id, const PropList& props) override {
    auto tx = BeginWrite();
    tables::SetFolderProps(ix_, id, props);
    Touch(id);
    tx->Commit();
  }
  void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) override {
    auto tx = BeginWrite();
    tables::DeleteFolderProps(ix_, id, ids);
    tx->Commit();
  }
  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override {
    if (parent == root_) Fail(MAPI_E_NO_ACCESS, "folders of a Maildir live below its top folder");
    const auto component = maildir::EncodeComponent(name, Fs());
    if (!component) Fail(MAPI_E_INVALID_PARAMETER, "a Maildir cannot hold the folder name \"" + name + "\"");
    const std::string rel = RelOfChild(parent, *component);
    auto tx = BeginWrite();
    auto insert = [&](const std::string& folderRel) {
      const auto now = NowFiletime();
      ix_.Prepare("INSERT INTO folder(parent_id, rel, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
          .Bind(1, parent).Bind(2, folderRel).Bind(3, name).Bind(4, type).Bind(5, now).Bind(6, now).Run();
      return static_cast<ObjId>(ix_.LastId());
    };
    // A standard folder deleted in this session takes its directory again.
    for (auto k = kept_.begin(); k != kept_.end(); ++k) {
      if (k->parent != parent || !EqualsNoCase(k->name, name) || FolderByRel(k->rel)) continue;
      const ObjId id = insert(k->rel);
      roles_[k->role] = id;
      kept_.erase(k);
      ++changes_;
      PublishStandardFolders();
      tx->Commit();
      return id;
    }
    if (auto other = FolderByRel(rel)) {
      const auto info = GetFolder(*other);
      Fail(MAPI_E_COLLISION, info && info->name != name ? "the folder name " + name + " is written as " +
                                                               *component + " on disk, as is the folder " + info->name
                                                         : "a folder named " + name + " exists");
    }
    const std::string dir = DirOf(rel);
    if (Fs() ? fs::exists(dir) : IsDir(dir)) Fail(MAPI_E_COLLISION, "a folder named " + name + " exists");
    if (fs::path(rel).filename().string().size() > kNameMax)
      Fail(MAPI_E_INVALID_PARAMETER, "the folder name " + name + " is too long for a Maildir (" + rel + ")");
    if (dir != top_ + "/" + rel) {
      // Inside a folder that waits in tmp/ (fs): it goes with it.
      Journal('D', dir);
      MakeMaildir(dir, false);
    } else {
      // The new folder waits in tmp/, where no reader looks, and takes its
      // name when the transaction commits: a reader never sees it partly
      // filled, and a killed writer leaves nothing under its name.
      OpenJournal();
      const std::string staging = TmpOf(top_) + "/tesk-new." + journalToken_ + "." + std::to_string(++asides_);
      Journal('D', staging);
      MakeMaildir(staging, !Fs());
      staged_[rel] = staging;
      ++changes_;
    }
    const ObjId id = insert(rel);
    tx->Commit();
    return id;
  }
  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override {
    const auto component = maildir::EncodeComponent(newName, Fs());
    if (!component) Fail(MAPI_E_INVALID_PARAMETER, "a Maildir cannot hold the folder name \"" + newName + "\"");
    const std::string oldRel = RelOf(id);
    if (oldRel == kInboxRel || oldRel == kTopRel || oldRel == kRootRel) Fail(MAPI_E_NO_ACCESS, "the folder stays");
    const std::string newRel = RelOfChild(newParent, *component);
    auto tx = BeginWrite();
    if (newRel != oldRel && FolderByRel(newRel)) Fail(MAPI_E_COLLISION, "a folder named " + newName + " exists");
    // Every folder of the subtree changes its directory (Maildir++ keeps
    // the whole path in each directory's name).
    std::vector<std::pair<ObjId, std::string>> subtree;
    for (ObjId f : SubtreeFolders(id)) subtree.emplace_back(f, RelOf(f));
    auto renameDir = [&](const std::string& from, const std::string& to) {
      if (!IsDir(from)) return;
      if (fs::exists(to)) Fail(MAPI_E_COLLISION, "a folder named " + newName + " exists");
      Journal('R', from, to);
      if (::rename(from.c_str(), to.c_str()) != 0) FailErrno("cannot rename " + from);
    };
    // A folder that waits in tmp/ stays there; only its final name changes.
    if (Fs()) {
      if (!staged_.count(oldRel)) renameDir(DirOf(oldRel), DirOf(newRel));
    } else {
      for (const auto& [f, rel] : subtree)
        if (!staged_.count(rel)) renameDir(DirOf(rel), DirOf(newRel + rel.substr(oldRel.size())));
    }
    Restage(oldRel, newRel);
    for (const auto& [f, rel] : subtree)
      ix_.Prepare("UPDATE folder SET rel=? WHERE id=?").Bind(1, newRel + rel.substr(oldRel.size())).Bind(2, f).Run();
    ix_.Prepare("UPDATE folder SET parent_id=?, name=?, modified=? WHERE id=?")
        .Bind(1, newParent).Bind(2, newName).Bind(3, NowFiletime()).Bind(4, id).Run();
    tx->Commit();
  }
  void DeleteFolderTree(ObjId id, const StepFn& step) override {
    auto tx = BeginWrite();
    std::uint64_t done = 0;
    auto folders = SubtreeFolders(id);
    std::reverse(folders.begin(), folders.end());  // children first
    for (ObjId f : folders) {
      const std::string rel = RelOf(f);
      std::vector<ObjId> ids;
      {
        auto q = ix_.Prepare("SELECT id FROM message WHERE folder_id=?");
        q.Bind(1, f);
        while (q.Step()) ids.push_back(q.Int(0));
      }
      DeleteMessages(ids);
      done += ids.size();
      if (step && !step(done)) Fail(MAPI_E_USER_CANCEL, "cancelled");
      if (rel != kInboxRel && rel != kTopRel && rel != kRootRel) {
        const auto role = std::find(roles_.begin(), roles_.end(), f);
        if (role != roles_.end()) {
          // A standard folder (Junk, Archive, ...) is emptied and kept out of
          // sight: its directory, and with it what Dovecot keeps there (the
          // UIDVALIDITY), waits for a folder of its name made again.
          const auto info = GetFolder(f);
          kept_.push_back({rel, info->parent, info->name, static_cast<int>(role - roles_.begin())});
          ++changes_;
        } else {
          // Children went first, so the directory holds only this folder's
          // Maildir (and, on fs, nothing that is a folder).
          const std::string dir = DirOf(rel);
          if (IsDir(dir)) PutAside(dir);
          if (staged_.erase(rel)) ++changes_;
        }
        ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, f).Run();
        ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, f).Run();
      }
    }
    tx->Commit();
  }
  std::vector<ObjId> SubtreeFolders(ObjId id) override {
    std::vector<ObjId> out{id};
    for (size_t k = 0; k < out.size(); ++k)
      for (ObjId c : Subfolders(out[k])) out.push_back(c);
    return out;
  }

  std::vector<ObjId> Messages(ObjId folder, bool associated) override {
    std::vector<ObjId> out;
    if (associated) return out;
    auto q = ix_.Prepare("SELECT id FROM message WHERE folder_id=? ORDER BY id");
    q.Bind(1, folder);
    while (q.Step()) out.push_back(q.Int(0));
    return out;
  }
  std::optional<MessageInfo> GetMessage(ObjId id) override {
    auto q = ix_.Prepare("SELECT folder_id, size, mtime FROM message WHERE id=?");
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    const std::int64_t t = FiletimeFromUnix(q.Int(2));
    return MessageInfo{id, q.Int(0), false, t, t, q.Int(1), false};
  }
  PropList MessageProps(ObjId id) override { return LoadMessage(id).props; }
  MessageData LoadMessage(ObjId id) override {
    auto q = ix_.Prepare("SELECT m.folder_id, m.file, m.mtime, f.rel FROM message m JOIN folder f ON f.id=m.folder_id WHERE m.id=?");
    q.Bind(1, id);
    if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "message not found");
    const std::string rel = q.Text(3), file = q.Text(1);
    const std::int64_t mtime = q.Int(2);
    const std::string dir = DirOf(rel);
    const std::string bytes = ReadAll(dir + "/" + file);
    return inet::FromMime(bytes, FlagsOfName(dir, file), FiletimeFromUnix(mtime));
  }
  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override {
    if (associated) Fail(MAPI_E_NO_SUPPORT, "a Maildir keeps no associated messages");
    const std::string rel = RelOf(folder);
    if (rel == kTopRel || rel == kRootRel) Fail(MAPI_E_NO_ACCESS, "the top of a Maildir holds no messages");
    auto tx = BeginWrite();
    const std::string dir = DirOf(rel);
    if (!IsDir(dir + "/cur")) MakeMaildir(dir, !Fs() && rel != kInboxRel);
    const std::string bytes = inet::ToMime(data);
    const inet::MailFlags flags = inet::FlagsOf(data.props);
    std::int64_t delivered = inet::DeliveryTimeOf(data.props);
    if (!delivered) delivered = NowFiletime();
    const std::string base = UniqueBase(bytes.size());
    const std::string name = base + ":2," + InfoLetters(dir, flags);
    const std::string tmp = dir + "/tmp/" + base;
    const std::string final = dir + "/cur/" + name;
    Journal('F', final);
    WriteSynced(tmp, bytes, UnixFromFiletime(delivered));
    if (::rename(tmp.c_str(), final.c_str()) != 0) {
      ::unlink(tmp.c_str());
      FailErrno("cannot move a message into " + dir + "/cur");
    }
    dirtyDirs_.insert(dir + "/cur");
    ObjId id;
    if (replace) {
      id = *replace;
      std::string oldFile;
      {
        auto q = ix_.Prepare("SELECT file FROM message WHERE id=?");
        q.Bind(1, id);
        if (q.Step()) oldFile = q.Text(0);
      }
      ix_.Prepare("UPDATE message SET folder_id=?, base=?, file=?, size=?, mtime=? WHERE id=?")
          .Bind(1, folder).Bind(2, base).Bind(3, "cur/" + name).Bind(4, static_cast<std::int64_t>(bytes.size()))
          .Bind(5, UnixFromFiletime(delivered)).Bind(6, id).Run();
      if (!oldFile.empty()) PutAside(dir + "/" + oldFile);
    } else {
      ix_.Prepare("INSERT INTO message(folder_id, base, file, size, mtime) VALUES(?,?,?,?,?)")
          .Bind(1, folder).Bind(2, base).Bind(3, "cur/" + name).Bind(4, static_cast<std::int64_t>(bytes.size()))
          .Bind(5, UnixFromFiletime(delivered)).Run();
      id = ix_.LastId();
    }
    Touch(folder);
    tx->Commit();
    return id;
  }
  void DeleteMessages(std::span<const ObjId> ids) override {
    auto tx = BeginWrite();
    for (ObjId id : ids) {
      std::string path;
      {
        auto q = ix_.Prepare("SELECT f.rel, m.file FROM message m JOIN folder f ON f.id=m.folder_id WHERE m.id=?");
        q.Bind(1, id);
        if (!q.Step()) continue;
        path = DirOf(q.Text(0)) + "/" + q.Text(1);
      }
      PutAside(path);
      ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
    }
    tx->Commit();
  }
  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override {
    const std::string rel = RelOf(folder);
    if (rel == kTopRel || rel == kRootRel) Fail(MAPI_E_NO_ACCESS, "the top of a Maildir holds no messages");
    auto tx = BeginWrite();
    const std::string dir = DirOf(rel);
    if (!IsDir(dir + "/cur")) MakeMaildir(dir, !Fs() && rel != kInboxRel);
    for (ObjId id : ids) {
      MessageData m = LoadMessage(id);
      StoreMessage(folder, false, m, std::nullopt);
      DeleteMessages(std::span<const ObjId>(&id, 1));
    }
    tx->Commit();
  }

  std::unique_ptr<Transaction> BeginWrite() override {
    if (readOnly_) Fail(MAPI_E_NO_ACCESS, top_ + " is read-only");
    return std::make_unique<MaildirTx>(*this, true);
  }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<MaildirTx>(*this, false); }

  // ---- transactions ----------------------------------------------------------------------

  int EnterTx(bool write) {
    const int level = depth_++;
    if (level == 0 && write) {
      Lock();
      try {
        ix_.Exec("BEGIN IMMEDIATE");
      } catch (...) {
        --depth_;
        Unlock();
        throw;
      }
      writing_ = true;
      keptAtBegin_ = kept_;
      rolesAtBegin_ = roles_;
    } else if (write && writing_) {
      ix_.Exec("SAVEPOINT sp" + std::to_string(level));
      marks_[level] = changes_;
    }
    return level;
  }
  void CommitTx(int level, bool write) {
    if (!write || !writing_) return;
    if (level > 0) {
      ix_.Exec("RELEASE sp" + std::to_string(level));
      return;
    }
    if (doomed_) Fail(MAPI_E_CALL_FAILED, "a part of the transaction failed; nothing of it is kept");
    for (const auto& d : dirtyDirs_) SyncDir(d);
    dirtyDirs_.clear();
    PublishStaged();
    if (journalFd_ >= 0)
      ix_.Prepare("INSERT OR REPLACE INTO info(key, value) VALUES('journal', ?)").Bind(1, journalToken_).Run();
    ix_.Exec("COMMIT");
    FinishJournal(top_ + "/" + kJournalName);
    ClearJournal();
  }
  void LeaveTx(int level, bool write, bool committed) {
    --depth_;
    if (!write || !writing_) return;
    if (level > 0) {
      const auto mark = marks_.find(level);
      const bool changedFiles = mark != marks_.end() && changes_ > mark->second;
      if (mark != marks_.end()) marks_.erase(mark);
      if (!committed) {
        // An inner transaction that failed: its rows go back to the
        // savepoint; files it changed cannot go back alone, so then the
        // outer transaction cannot commit and undoes everything.
        if (changedFiles) doomed_ = true;
        try {
          ix_.Exec("ROLLBACK TO sp" + std::to_string(level) + "; RELEASE sp" + std::to_string(level));
        } catch (...) {
        }
      }
      return;
    }
    if (!committed) {
      try {
        ix_.Exec("ROLLBACK");
      } catch (...) {
      }
      RollBackJournal();
      dirtyDirs_.clear();
      kept_ = keptAtBegin_;
      roles_ = rolesAtBegin_;
      PublishStandardFolders();
    }
    staged_.clear();
    writing_ = false;
    doomed_ = false;
    marks_.clear();
    Unlock();
  }

 private:
  bool Fs() const { return layout_ == MaildirLayout::Fs; }

  void Lock() {
    if (lockFd_ < 0 || locked_ > 0) {
      ++locked_;
      return;
    }
    // Another process's write transaction (a long copy) ends within ten
    // minutes, like the SQLite store's busy wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) FailErrno("cannot lock " + top_);
      if (std::chrono::steady_clock::now() > deadline) Fail(MAPI_E_BUSY, top_ + " is busy in another process");
      ::usleep(20000);
    }
    ++locked_;
  }
  void Unlock() {
    if (lockFd_ < 0 || locked_ == 0) return;
    if (--locked_ == 0) ::flock(lockFd_, LOCK_UN);
  }

  // The journal: a first line "T <token>", then one line per change of a
  // write transaction, written (and synced) before the change is made:
  // F file made, D directory made, X path moved aside (path, tab, where to),
  // R directory renamed (from, tab, to).
  void OpenJournal() {
    if (journalFd_ >= 0) return;
    journalFd_ = ::open((top_ + "/" + kJournalName).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (journalFd_ < 0) FailErrno("cannot write the journal of " + top_);
    static std::atomic<unsigned> serial{0};
    journalToken_ = std::to_string(::getpid()) + "." +
                    std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) + "." +
                    std::to_string(++serial);
    asides_ = 0;
    const std::string head = "T " + journalToken_ + "\n";
    if (::write(journalFd_, head.data(), head.size()) != static_cast<ssize_t>(head.size()))
      FailErrno("cannot write the journal of " + top_);
  }
  void Journal(char kind, const std::string& path, const std::string& second = {}) {
    OpenJournal();
    std::string line = std::string(1, kind) + " " + path;
    if (!second.empty()) line += "\t" + second;
    line += "\n";
    if (::write(journalFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fdatasync(journalFd_) != 0)
      FailErrno("cannot write the journal of " + top_);
    ++changes_;
  }
  // Moves a message file or a folder's directory aside into a tmp/
  // directory (the folder's own for a file, the top's for a directory),
  // where it waits for the commit.
  void PutAside(const std::string& path) {
    const bool dir = IsDir(path);
    const std::string parent = TmpOf(dir ? top_ : fs::path(path).parent_path().parent_path().string());
    OpenJournal();
    const std::string aside = parent + "/tesk-del." + journalToken_ + "." + std::to_string(++asides_);
    Journal('X', path, aside);
    if (::rename(path.c_str(), aside.c_str()) != 0) {
      if (errno == ENOENT) return;
      FailErrno("cannot delete " + path);
    }
    dirtyDirs_.insert(fs::path(path).parent_path().string());
  }
  // The tmp/ directory of a Maildir folder, made (and journaled) when missing.
  std::string TmpOf(const std::string& maildir) {
    const std::string tmp = maildir + "/tmp";
    if (!IsDir(tmp)) {
      Journal('D', tmp);
      std::error_code ec;
      fs::create_directories(tmp, ec);
    }
    return tmp;
  }
  // A folder that waits in tmp/ and its subfolders get new final names.
  void Restage(const std::string& oldRel, const std::string& newRel) {
    const char sep = Fs() ? '/' : '.';
    std::vector<std::pair<std::string, std::string>> moved;
    for (auto it = staged_.lower_bound(oldRel); it != staged_.end() && it->first.starts_with(oldRel);) {
      if (it->first.size() == oldRel.size() || it->first[oldRel.size()] == sep) {
        moved.emplace_back(newRel + it->first.substr(oldRel.size()), it->second);
        it = staged_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& m : moved) staged_.insert(std::move(m));
    if (!moved.empty()) ++changes_;
  }
  // Before the commit: the folders made in the transaction take their
  // names, never in place of what another program made meanwhile. A
  // Maildir++ folder comes after its subfolders (its name appears when they
  // are there); on fs a parent comes first, as the child's path needs it.
  void PublishStaged() {
    std::vector<std::pair<std::string, std::string>> order(staged_.begin(), staged_.end());  // parents first
    if (!Fs()) std::reverse(order.begin(), order.end());
    std::set<std::string> parents;
    for (const auto& [rel, staging] : order) {
      const std::string final = top_ + "/" + rel;
      Journal('R', staging, final);
      if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST || errno == ENOTEMPTY) Fail(MAPI_E_COLLISION, final + " was made by another program meanwhile");
        FailErrno("cannot rename " + staging + " to " + final);
      }
      parents.insert(fs::path(final).parent_path().string());
    }
    for (const auto& p : parents) SyncDir(p);
  }
  // Folders a lost journal left waiting in tmp/ never committed (a commit
  // gives them their names first): they go.
  void RemoveStrayStaging() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(top_ + "/tmp", ec))
      if (e.path().filename().string().starts_with("tesk-new.")) fs::remove_all(e.path(), ec);
  }

  struct JournalLine {
    char kind;
    std::string a, b;
  };
  std::vector<JournalLine> ReadJournal(const std::string& path, std::string* token) {
    std::vector<JournalLine> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 3 || line[1] != ' ') continue;
      if (line[0] == 'T') {
        *token = line.substr(2);
        continue;
      }
      JournalLine j{line[0], line.substr(2), {}};
      if (auto tab = j.a.find('\t'); tab != std::string::npos) {
        j.b = j.a.substr(tab + 1);
        j.a.resize(tab);
      }
      // Only paths inside this Maildir.
      auto inside = [&](const std::string& p) {
        return p.empty() || (p.rfind(top_ + "/", 0) == 0 && p.find("/../") == std::string::npos);
      };
      if (inside(j.a) && inside(j.b)) out.push_back(std::move(j));
    }
    return out;
  }
  // After a commit: what was moved aside goes for good.
  // A path moved aside into a folder's tmp/ went along with the folder's
  // directory when that was renamed later in the transaction.
  void FinishJournal(const std::string& path) {
    std::string token;
    std::error_code ec;
    const auto lines = ReadJournal(path, &token);
    for (size_t k = 0; k < lines.size(); ++k) {
      if (lines[k].kind != 'X' || lines[k].b.empty()) continue;
      std::string aside = lines[k].b;
      for (size_t r = k + 1; r < lines.size(); ++r)
        if (lines[r].kind == 'R' && aside.starts_with(lines[r].a + "/"))
          aside = lines[r].b + aside.substr(lines[r].a.size());
      fs::remove_all(aside, ec);
    }
  }
  void ClearJournal() {
    if (journalFd_ >= 0) {
      ::close(journalFd_);
      journalFd_ = -1;
    }
    ::unlink((top_ + "/" + kJournalName).c_str());
  }
  // Removes what an unfinished write transaction made: its files, then its
  // folders' directories.
  void RollBackJournal() {
    const std::string path = top_ + "/" + kJournalName;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    std::string token;
    const auto lines = ReadJournal(path, &token);
    std::string committed;
    {
      auto q = ix_.Prepare("SELECT value FROM info WHERE key='journal'");
      if (q.Step()) committed = q.Text(0);
    }
    if (!token.empty() && token == committed) {
      // The transaction committed; only its removals were left to do.
      FinishJournal(path);
    } else {
      // Undone last change first, so every path is where the line saw it.
      std::error_code ec;
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        switch (it->kind) {
          case 'F': ::unlink(it->a.c_str()); break;
          case 'D': fs::remove_all(it->a, ec); break;
          case 'X':
            if (!it->b.empty() && fs::exists(it->b)) ::rename(it->b.c_str(), it->a.c_str());
            break;
          case 'R':
            if (IsDir(it->b) && !fs::exists(it->a)) ::rename(it->b.c_str(), it->a.c_str());
            break;
          default: break;
        }
      }
    }
    if (journalFd_ >= 0) {
      ::close(journalFd_);
      journalFd_ = -1;
    }
    ::unlink(path.c_str());
    SyncDir(top_);
  }

  // ---- folders and their directories ----------------------------------------------------

  std::optional<ObjId> FolderByRel(const std::string& rel) {
    auto q = ix_.Prepare("SELECT id FROM folder WHERE rel=?");
    q.Bind(1, rel);
    if (!q.Step()) return std::nullopt;
    return q.Int(0);
  }
  std::string RelOf(ObjId id) {
    auto q = ix_.Prepare("SELECT rel FROM folder WHERE id=?");
    q.Bind(1, id);
    if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "folder not found");
    return q.Text(0);
  }
  std::string RelOfChild(ObjId parent, const std::string& component) {
    const std::string p = RelOf(parent);
    if (p == kTopRel) return Fs() ? component : "." + component;
    if (p == kInboxRel) return Fs() ? "INBOX/" + component : ".INBOX." + component;
    return Fs() ? p + "/" + component : p + "." + component;
  }
  // Where a folder's Maildir is: below the top, or for a folder made in the
  // open write transaction (on fs, also its subfolders) in tmp/.
  std::string DirOf(const std::string& rel) const {
    if (rel == kInboxRel || rel == kTopRel || rel == kRootRel) return top_;
    if (!staged_.empty()) {
      if (auto it = staged_.find(rel); it != staged_.end()) return it->second;
      for (size_t slash = rel.rfind('/'); Fs() && slash != std::string::npos && slash > 0;
           slash = rel.rfind('/', slash - 1))
        if (auto it = staged_.find(rel.substr(0, slash)); it != staged_.end()) return it->second + rel.substr(slash);
    }
    return top_ + "/" + rel;
  }
  void Touch(ObjId folder) {
    ix_.Prepare("UPDATE folder SET modified=? WHERE id=?").Bind(1, NowFiletime()).Bind(2, folder).Run();
  }

  // ---- reading the Maildir ---------------------------------------------------------------

  ObjId EnsureFolder(const std::string& rel, ObjId parent, const std::string& name) {
    if (auto id = FolderByRel(rel)) return *id;
    const auto now = NowFiletime();
    ix_.Prepare("INSERT INTO folder(parent_id, rel, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
        .Bind(1, parent).Bind(2, rel).Bind(3, name).Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
    return ix_.LastId();
  }

  // Brings the index up to what the directories hold: new folders and
  // messages get new numbers, the others keep theirs.
  void Scan() {
    std::set<std::string> seen{kRootRel, kTopRel};
    std::vector<std::pair<std::string, ObjId>> folders;  // (rel, id)
    if (IsDir(top_ + "/cur") || IsDir(top_ + "/new")) {
      inbox_ = EnsureFolder(kInboxRel, top_id_, "Inbox");
      seen.insert(kInboxRel);
      folders.emplace_back(kInboxRel, inbox_);
    }
    std::vector<std::string> rels;
    if (Fs()) {
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(top_, ec); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        if (!it->is_directory() || name == "cur" || name == "new" || name == "tmp" || name.empty() || name[0] == '.') {
          if (it->is_directory()) it.disable_recursion_pending();
          continue;
        }
        rels.push_back(fs::relative(it->path(), top_).string());
      }
    } else {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(top_, ec)) {
        const std::string name = e.path().filename().string();
        if (e.is_directory() && name.size() > 1 && name[0] == '.' && name != "..") rels.push_back(name);
      }
    }
    std::sort(rels.begin(), rels.end(), [&](const std::string& a, const std::string& b) {
      return Depth(a) != Depth(b) ? Depth(a) < Depth(b) : a < b;
    });
    for (const std::string& rel : rels) {
      const std::vector<std::string> parts = Split(rel);
      if (parts.empty()) continue;
      // The chain of parents, made where the Maildir has no directory for
      // one (a folder may exist only as a path to its children).
      ObjId parent = top_id_;
      std::string prefix;
      for (size_t k = 0; k < parts.size(); ++k) {
        if (k == 0 && EqualsNoCase(parts[0], "INBOX")) {
          if (!inbox_) {
            inbox_ = EnsureFolder(kInboxRel, top_id_, "Inbox");
            seen.insert(kInboxRel);
          }
          parent = inbox_;
          prefix = Fs() ? parts[0] : "." + parts[0];
          continue;
        }
        prefix = prefix.empty() ? (Fs() ? parts[k] : "." + parts[k]) : prefix + (Fs() ? "/" : ".") + parts[k];
        parent = EnsureFolder(prefix, parent, maildir::DisplayNameOf(parts[k]));
        seen.insert(prefix);
      }
      folders.emplace_back(rel, parent);
    }
    // Folders gone from the disk go from the index too.
    std::vector<ObjId> gone;
    {
      auto q = ix_.Prepare("SELECT id, rel FROM folder");
      while (q.Step())
        if (!seen.count(q.Text(1))) gone.push_back(q.Int(0));
    }
    for (ObjId id : gone) {
      ix_.Prepare("DELETE FROM message WHERE folder_id=?").Bind(1, id).Run();
      ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, id).Run();
      ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, id).Run();
    }
    for (const auto& [rel, id] : folders) ScanMessages(DirOf(rel), id);
  }

  std::vector<std::string> Split(const std::string& rel) const {
    std::vector<std::string> parts;
    const char sep = Fs() ? '/' : '.';
    size_t start = Fs() ? 0 : 1;
    while (start <= rel.size()) {
      const size_t end = rel.find(sep, start);
      const std::string part = rel.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (!part.empty()) parts.push_back(part);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return parts;
  }
  size_t Depth(const std::string& rel) const { return Split(rel).size(); }

  void ScanMessages(const std::string& dir, ObjId folder) {
    std::map<std::string, std::pair<std::string, std::pair<std::int64_t, std::int64_t>>> files;  // base -> file, size, mtime
    for (const char* sub : {"cur", "new"}) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(dir + "/" + sub, ec)) {
        if (!e.is_regular_file()) continue;
        const std::string name = e.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        const auto info = name.find(":2,");
        struct stat st {};
        if (::stat(e.path().c_str(), &st) != 0) continue;
        files[name.substr(0, info)] = {std::string(sub) + "/" + name, {st.st_size, st.st_mtime}};
      }
    }
    std::map<std::string, std::pair<ObjId, std::string>> known;  // base -> id, file
    {
      auto q = ix_.Prepare("SELECT base, id, file FROM message WHERE folder_id=?");
      q.Bind(1, folder);
      while (q.Step()) known[q.Text(0)] = {q.Int(1), q.Text(2)};
    }
    for (const auto& [base, entry] : known)
      if (!files.count(base)) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, entry.first).Run();
    for (const auto& [base, f] : files) {
      auto it = known.find(base);
      if (it == known.end()) {
        ix_.Prepare("INSERT INTO message(folder_id, base, file, size, mtime) VALUES(?,?,?,?,?)")
            .Bind(1, folder).Bind(2, base).Bind(3, f.first).Bind(4, f.second.first).Bind(5, f.second.second).Run();
      } else if (it->second.second != f.first) {
        ix_.Prepare("UPDATE message SET file=?, size=?, mtime=? WHERE id=?")
            .Bind(1, f.first).Bind(2, f.second.first).Bind(3, f.second.second).Bind(4, it->second.first).Run();
      }
    }
  }

  // The standard folders, by the names Dovecot and mail clients give them.
  void FindStandardFolders() {
    if (!inbox_) inbox_ = FolderByRel(kInboxRel).value_or(0);
    roles_ = {};
    for (ObjId f : Subfolders(top_id_)) {
      auto info = GetFolder(f);
      if (!info) continue;
      for (int r = 0; r < kRoles; ++r)
        if (!roles_[r] && NameIn(info->name, kRoleNames[r])) roles_[r] = f;
    }
    PublishStandardFolders();
  }
  void PublishStandardFolders() {
    auto eid = [&](int role) { return MakeObjectEntryId(guid_, ObjKind::Folder, roles_[role]); };
    standardProps_ = {Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, top_id_))};
    if (roles_[kSent]) standardProps_.push_back(Prop::Bytes(PR_IPM_SENTMAIL_ENTRYID, eid(kSent)));
    if (roles_[kTrash]) standardProps_.push_back(Prop::Bytes(PR_IPM_WASTEBASKET_ENTRYID, eid(kTrash)));
    inboxProps_.clear();
    if (roles_[kDrafts]) inboxProps_.push_back(Prop::Bytes(PR_IPM_DRAFTS_ENTRYID, eid(kDrafts)));
  }

  // ---- message files ---------------------------------------------------------------------

  std::string UniqueBase(size_t size) {
    using namespace std::chrono;
    const auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    static std::atomic<std::uint64_t> counter{0};
    static const std::string host = HostName();
    return std::to_string(now / 1000000) + ".M" + std::to_string(now % 1000000) + "P" + std::to_string(::getpid()) +
           "Q" + std::to_string(++counter) + "." + host + ",S=" + std::to_string(size);
  }

  void WriteSynced(const std::string& path, const std::string& bytes, std::int64_t mtime) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) FailErrno("cannot write " + path);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fd);
        ::unlink(path.c_str());
        FailErrno("cannot write " + path);
      }
      done += static_cast<size_t>(n);
    }
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::futimens(fd, times);
    if (::fsync(fd) != 0) {
      ::close(fd);
      ::unlink(path.c_str());
      FailErrno("cannot write " + path);
    }
    ::close(fd);
  }

  // Keywords of a folder: Dovecot's dovecot-keywords ("<n> <keyword>").
  std::map<int, std::string> Keywords(const std::string& dir) {
    std::map<int, std::string> out;
    std::ifstream in(dir + "/dovecot-keywords");
    std::string line;
    while (std::getline(in, line)) {
      const auto blank = line.find(' ');
      if (blank == std::string::npos) continue;
      try {
        const int n = std::stoi(line.substr(0, blank));
        if (n >= 0 && n < 26) out[n] = line.substr(blank + 1);
      } catch (...) {
      }
    }
    return out;
  }

  inet::MailFlags FlagsOfName(const std::string& dir, const std::string& file) {
    inet::MailFlags f;
    const auto info = file.find(":2,");
    if (info == std::string::npos) return f;
    std::map<int, std::string> keywords;
    bool keywordsRead = false;
    for (char c : file.substr(info + 3)) {
      switch (c) {
        case 'S': f.seen = true; break;
        case 'R': f.answered = true; break;
        case 'F': f.flagged = true; break;
        case 'T': f.deleted = true; break;
        case 'D': f.draft = true; break;
        case 'P': f.forwarded = true; break;
        default:
          if (c >= 'a' && c <= 'z') {
            if (!keywordsRead) {
              keywords = Keywords(dir);
              keywordsRead = true;
            }
            if (auto it = keywords.find(c - 'a'); it != keywords.end()) {
              // Dovecot keeps $Forwarded as a keyword; Maildir's own letter is P.
              if (EqualsNoCase(it->second, kForwarded))
                f.forwarded = true;
              else
                f.keywords.push_back(it->second);
            }
          }
      }
    }
    return f;
  }

  // The info letters of a message's flags, in ASCII order; keywords are
  // added to the folder's dovecot-keywords as Dovecot writes it. A forwarded
  // message gets both P (mutt, mbsync, notmuch) and the keyword $Forwarded
  // (Dovecot, which ignores P).
  std::string InfoLetters(const std::string& dir, const inet::MailFlags& f) {
    std::string letters;
    if (f.draft) letters += 'D';
    if (f.flagged) letters += 'F';
    if (f.forwarded) letters += 'P';
    if (f.answered) letters += 'R';
    if (f.seen) letters += 'S';
    if (f.deleted) letters += 'T';
    std::vector<std::string> wanted = f.keywords;
    if (f.forwarded && std::none_of(wanted.begin(), wanted.end(), [](const auto& k) { return EqualsNoCase(k, kForwarded); }))
      wanted.push_back(kForwarded);
    if (wanted.empty()) return letters;
    auto keywords = Keywords(dir);
    bool changed = false;
    std::string extra;
    for (const auto& k : wanted) {
      if (k.empty() || k.find_first_of(" \r\n") != std::string::npos) continue;
      int n = -1;
      for (const auto& [num, name] : keywords)
        if (name == k) n = num;
      if (n < 0) {
        for (int c = 0; c < 26 && n < 0; ++c)
          if (!keywords.count(c)) n = c;
        if (n < 0) continue;  // 26 keywords is all a folder can name
        keywords[n] = k;
        changed = true;
      }
      extra += static_cast<char>('a' + n);
    }
    if (changed) {
      std::string text;
      for (const auto& [num, name] : keywords) text += std::to_string(num) + " " + name + "\n";
      const std::string tmp = dir + "/tmp/dovecot-keywords.tesk";
      WriteSynced(tmp, text, std::time(nullptr));
      if (::rename(tmp.c_str(), (dir + "/dovecot-keywords").c_str()) != 0) FailErrno("cannot write keywords");
    }
    std::sort(extra.begin(), extra.end());
    extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
    return letters + extra;
  }

  std::string top_;
  MaildirLayout layout_;
  sqlite::Db ix_{sqlite::Role::Index};
  GUID guid_{};
  ObjId root_ = 0, top_id_ = 0, inbox_ = 0;
  std::map<std::string, std::string> info_;
  PropList standardProps_, inboxProps_;
  // The standard folders, found by their names when the store opens.
  enum { kSent, kTrash, kDrafts, kJunk, kArchive, kRoles };
  static inline const std::array<std::initializer_list<const char*>, kRoles> kRoleNames{
      kSentNames, kTrashNames, kDraftsNames, kJunkNames, kArchiveNames};
  std::array<ObjId, kRoles> roles_{}, rolesAtBegin_{};
  // Standard folders deleted in this session: emptied, out of sight, their
  // directories waiting for a folder of their names made again.
  struct Kept {
    std::string rel;
    ObjId parent;
    std::string name;
    int role;
  };
  std::vector<Kept> kept_, keptAtBegin_;
  // Folders made in the open write transaction: final rel -> the directory
  // in the top's tmp/ where they wait for the commit.
  std::map<std::string, std::string> staged_;
  bool readOnly_ = false;
  int lockFd_ = -1, locked_ = 0, journalFd_ = -1;
  int depth_ = 0;
  bool writing_ = false;
  std::set<std::string> dirtyDirs_;
  std::string journalToken_;
  unsigned asides_ = 0;
  // Journal lines written and kept or staged folders changed in this process.
  std::size_t changes_ = 0;
  std::map<int, std::size_t> marks_;  // of each open inner write level
  bool doomed_ = false;               // an inner level that changed files failed
};

MaildirTx::MaildirTx(MaildirStore& store, bool write) : store_(store), write_(write), level_(store.EnterTx(write)) {}
MaildirTx::~MaildirTx() { store_.LeaveTx(level_, write_, done_); }
void MaildirTx::Commit() {
  store_.CommitTx(level_, write_);
  done_ = true;
}

MaildirLayout LayoutOf(const StoreSettings& settings) {
  const std::string layout = SettingString(settings, "layout").value_or("maildir++");
  return layout == "fs" ? MaildirLayout::Fs : MaildirLayout::MaildirPlusPlus;
}

class MaildirFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "maildir"; }
  std::string DisplayName() const override { return "Maildir folders"; }
  void Validate(const StoreSettings& settings) const override {
    const auto path = SettingString(settings, "path");
    if (!path || path->empty() || (*path)[0] != '/') throw std::runtime_error("a maildir store needs an absolute path");
    const std::string layout = SettingString(settings, "layout").value_or("maildir++");
    if (layout != "maildir++" && layout != "fs") throw std::runtime_error("the layout must be maildir++ or fs");
  }
  std::string Location(const StoreSettings& settings) const override {
    return SettingString(settings, "path").value_or("");
  }
  std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const override {
    Validate(settings);
    auto store = std::make_shared<MaildirStore>(*SettingString(settings, "path"), LayoutOf(settings));
    store->Open(false, {}, StoreKind::Mailbox);
    return store;
  }
};

}  // namespace

StoreIdentity CreateMaildirStore(const std::string& dir, const std::string& displayName, StoreKind kind,
                                 MaildirLayout layout, bool createDirs) {
  if (createDirs) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
  }
  MaildirStore store(dir, layout);
  store.Open(true, displayName, kind, createDirs);
  return StoreIdentity{store.Guid(), store.DisplayName(), store.Kind()};
}

const ProviderFactory& MaildirProviderFactory() {
  static const MaildirFactory factory;
  return factory;
}

}  // namespace tesk::mapi
