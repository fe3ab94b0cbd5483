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
#include "providers/maildir/maildir_store.h"

namespace tesk::mapi::maildirstore {

void MaildirStore::Open(bool create, const std::string& displayName, StoreKind kind, bool makeFolders) {
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

Capabilities MaildirStore::Caps() const {
  Capabilities c;
  c.readOnly = readOnly_;
  c.wholeCopyInOneCommit = true;
  c.associatedContents = false;
  c.rawInternetContent = true;
  return c;
}

void MaildirStore::SetStoreProps(const PropList& props) {
  auto tx = BeginWrite();
  tables::SetStoreProps(ix_, props);
  tx->Commit();
}

void MaildirStore::DeleteStoreProps(std::span<const ULONG> ids) {
  auto tx = BeginWrite();
  tables::DeleteStoreProps(ix_, ids);
  tx->Commit();
}

void MaildirStore::SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) {
  auto tx = BeginWrite();
  tables::SetReceiveFolder(ix_, cls, folder);
  tx->Commit();
}

std::optional<FolderInfo> MaildirStore::GetFolder(ObjId id) {
  auto f = tables::FolderRow(ix_, id);
  if (f) {
    auto q = ix_.Prepare("SELECT count(*) FROM message WHERE folder_id=?");
    q.Bind(1, id);
    if (q.Step()) f->contentCount = q.Int(0);
    f->holdsMessages = id != root_ && id != top_id_;
  }
  return f;
}

void MaildirStore::SetFolderProps(ObjId id, const PropList& props) {
  auto tx = BeginWrite();
  tables::SetFolderProps(ix_, id, props);
  Touch(id);
  tx->Commit();
}

void MaildirStore::DeleteFolderProps(ObjId id, std::span<const ULONG> ids) {
  auto tx = BeginWrite();
  tables::DeleteFolderProps(ix_, id, ids);
  tx->Commit();
}

ObjId MaildirStore::CreateFolder(ObjId parent, const std::string& name, ULONG type) {
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

void MaildirStore::MoveFolder(ObjId id, ObjId newParent, const std::string& newName) {
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

void MaildirStore::DeleteFolderTree(ObjId id, const StepFn& step) {
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

std::vector<ObjId> MaildirStore::SubtreeFolders(ObjId id) {
  std::vector<ObjId> out{id};
  for (size_t k = 0; k < out.size(); ++k)
    for (ObjId c : Subfolders(out[k])) out.push_back(c);
  return out;
}

std::vector<ObjId> MaildirStore::Messages(ObjId folder, bool associated) {
  std::vector<ObjId> out;
  if (associated) return out;
  auto q = ix_.Prepare("SELECT id FROM message WHERE folder_id=? ORDER BY id");
  q.Bind(1, folder);
  while (q.Step()) out.push_back(q.Int(0));
  return out;
}

std::optional<MessageInfo> MaildirStore::GetMessage(ObjId id) {
  auto q = ix_.Prepare("SELECT folder_id, size, mtime FROM message WHERE id=?");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  const std::int64_t t = FiletimeFromUnix(q.Int(2));
  return MessageInfo{id, q.Int(0), false, t, t, q.Int(1), false};
}

// A file's key is its unique base name (kept when a reader moves it to
// another folder or renames it for its flags), its size, its time to the
// nanosecond and its inode: a file written anew, even in place, gets
// another.
std::optional<std::vector<ListedMessage>> MaildirStore::ListInternet(ObjId folder) {
  std::vector<ListedMessage> out;
  const std::string rel = RelOf(folder);
  if (rel == kTopRel || rel == kRootRel) return out;
  const std::string dir = DirOf(rel);
  const std::string store = GuidBytes(Guid());
  std::optional<std::map<int, std::string>> keywords;  // read once, when a name has a keyword letter
  auto q = ix_.Prepare("SELECT id, base, file FROM message WHERE folder_id=? ORDER BY id");
  q.Bind(1, folder);
  while (q.Step()) {
    ListedMessage m;
    m.id = q.Int(0);
    const std::string base = q.Text(1), file = q.Text(2);
    struct stat st {};
    if (::stat((dir + "/" + file).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      m.head.key = "maildir " + store + " " + base + " " + std::to_string(st.st_size) + " " +
                   std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
                   std::to_string(st.st_ino);
      m.head.deliveryTime = FiletimeFromUnix(st.st_mtim.tv_sec);
    } else {
      m.head.deliveryTime = FiletimeFromUnix(0);  // gone meanwhile: read as the index says
    }
    m.head.flags = FlagsOfName(dir, file, &keywords);
    out.push_back(std::move(m));
  }
  return out;
}

std::optional<InternetMessage> MaildirStore::LoadInternet(ObjId id) {
  auto q = ix_.Prepare("SELECT m.folder_id, m.file, m.mtime, f.rel FROM message m JOIN folder f ON f.id=m.folder_id WHERE m.id=?");
  q.Bind(1, id);
  if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "message not found");
  const std::string rel = q.Text(3), file = q.Text(1);
  const std::int64_t mtime = q.Int(2);
  const std::string dir = DirOf(rel);
  InternetMessage m;
  m.bytes = ReadAll(dir + "/" + file);
  m.flags = FlagsOfName(dir, file);
  m.deliveryTime = FiletimeFromUnix(mtime);
  return m;
}

MessageData MaildirStore::LoadMessage(ObjId id) {
  InternetMessage m = std::move(*LoadInternet(id));
  return inet::FromMime(m.bytes, m.flags, m.deliveryTime);
}

ObjId MaildirStore::StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) {
  if (associated) Fail(MAPI_E_NO_SUPPORT, "a Maildir keeps no associated messages");
  std::int64_t delivered = inet::DeliveryTimeOf(data.props);
  if (!delivered) delivered = NowFiletime();
  return StoreBytes(folder, inet::ToMime(data), inet::FlagsOf(data.props), delivered, replace);
}

std::optional<ObjId> MaildirStore::StoreInternet(ObjId folder, const InternetMessage& m) {
  if (!m.deliveryTime) return std::nullopt;
  return StoreBytes(folder, m.bytes, m.flags, m.deliveryTime, std::nullopt);
}

ObjId MaildirStore::StoreBytes(ObjId folder, const std::string& bytes, const inet::MailFlags& flags,
                               std::int64_t delivered, std::optional<ObjId> replace) {
  const std::string rel = RelOf(folder);
  if (rel == kTopRel || rel == kRootRel) Fail(MAPI_E_NO_ACCESS, "the top of a Maildir holds no messages");
  auto tx = BeginWrite();
  const std::string dir = DirOf(rel);
  if (!IsDir(dir + "/cur")) MakeMaildir(dir, !Fs() && rel != kInboxRel);
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

void MaildirStore::DeleteMessages(std::span<const ObjId> ids) {
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

void MaildirStore::MoveMessages(std::span<const ObjId> ids, ObjId folder) {
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
  std::vector<SettingInfo> Settings() const override {
    using T = SettingValue::Type;
    return {{"path", T::String, true, "/home/me/Maildir", "the Maildir's top directory (absolute)"},
            {"layout", T::String, false, "fs", "\"maildir++\" (the default) or \"fs\" (Dovecot's LAYOUT=fs)"}};
  }
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

}  // namespace tesk::mapi::maildirstore

namespace tesk::mapi {

using namespace maildirstore;


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
