// The local store provider: one store is one SQLite file.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mapitags.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>

#include "core/entryid.h"
#include "provider.h"

namespace tesk::mapi {

namespace {

constexpr int kApplicationId = 0x54534B4D;  // "TSKM"
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10 * 60 * 1000;  // a second process waits for a long copy to finish
constexpr std::int64_t kCopyChunk = 250;         // message ids per set-based copy step

// Commits a large copy. Writing out and syncing what the copy wrote can
// take a while; the caller's step function keeps being told that the work
// goes on (a window waiting on it stays alive), and the commit itself, which
// can no longer be called off, runs to its end whatever the step answers.
void CommitKeepingAlive(Transaction& tx, const StepFn& step) {
  if (!step) {
    tx.Commit();
    return;
  }
  auto commit = std::async(std::launch::async, [&tx] { tx.Commit(); });
  while (commit.wait_for(std::chrono::milliseconds(40)) != std::future_status::ready) {
    try {
      step(kStepStillWorking);
    } catch (...) {
    }
  }
  commit.get();
}

const char* const kSchema = R"sql(
CREATE TABLE store_info(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE store_prop(prop_id INTEGER PRIMARY KEY, type INTEGER NOT NULL, value);
CREATE TABLE receive_folder(message_class TEXT PRIMARY KEY COLLATE NOCASE, folder_id INTEGER NOT NULL);
CREATE TABLE folder(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent_id INTEGER REFERENCES folder(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  folder_type INTEGER NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL);
CREATE UNIQUE INDEX folder_sibling_name ON folder(parent_id, name COLLATE NOCASE);
CREATE TABLE folder_prop(
  folder_id INTEGER NOT NULL REFERENCES folder(id) ON DELETE CASCADE,
  prop_id INTEGER NOT NULL, type INTEGER NOT NULL, value,
  PRIMARY KEY(folder_id, prop_id));
CREATE TABLE message(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder_id INTEGER NOT NULL REFERENCES folder(id) ON DELETE CASCADE,
  associated INTEGER NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  size INTEGER NOT NULL);
CREATE INDEX message_by_folder ON message(folder_id, associated, id);
CREATE TABLE message_prop(
  message_id INTEGER NOT NULL REFERENCES message(id) ON DELETE CASCADE,
  prop_id INTEGER NOT NULL, type INTEGER NOT NULL, value,
  PRIMARY KEY(message_id, prop_id));
CREATE TABLE recipient(
  message_id INTEGER NOT NULL REFERENCES message(id) ON DELETE CASCADE,
  row_id INTEGER NOT NULL, prop_id INTEGER NOT NULL, type INTEGER NOT NULL, value,
  PRIMARY KEY(message_id, row_id, prop_id));
CREATE TABLE attachment(
  message_id INTEGER NOT NULL REFERENCES message(id) ON DELETE CASCADE,
  attach_num INTEGER NOT NULL, prop_id INTEGER NOT NULL, type INTEGER NOT NULL, value,
  PRIMARY KEY(message_id, attach_num, prop_id));
)sql";


HRESULT HrFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return MAPI_E_BUSY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return MAPI_E_CORRUPT_STORE;
    case SQLITE_FULL: return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_IOERR: return MAPI_E_DISK_ERROR;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return MAPI_E_NO_ACCESS;
    case SQLITE_NOMEM: return MAPI_E_NOT_ENOUGH_MEMORY;
    case SQLITE_CONSTRAINT: return MAPI_E_COLLISION;
    default: return MAPI_E_CALL_FAILED;
  }
}

class Db;

std::atomic<std::uint64_t> g_fullScanSteps{0};

class Stmt {
 public:
  Stmt(sqlite3* db, sqlite3_stmt* s) : db_(db), s_(s) {}
  ~Stmt() {
    if (s_) {
      g_fullScanSteps += static_cast<std::uint64_t>(sqlite3_stmt_status(s_, SQLITE_STMTSTATUS_FULLSCAN_STEP, 1));
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int k, std::int64_t v) {
    Check(sqlite3_bind_int64(s_, k, v));
    return *this;
  }
  Stmt& Bind(int k, const std::string& v) {
    Check(sqlite3_bind_text(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& BindBlob(int k, const std::string& v) {
    Check(sqlite3_bind_blob(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& BindNull(int k) {
    Check(sqlite3_bind_null(s_, k));
    return *this;
  }
  Stmt& BindValue(int k, const Prop& p) {
    switch (StorageOf(p.type())) {
      case Storage::Integer: return Bind(k, p.i);
      case Storage::Real: Check(sqlite3_bind_double(s_, k, p.d)); return *this;
      case Storage::Blob:
        // The value outlives the statement's use of it (a Stmt is reset
        // when it goes), so large blobs are not copied once more.
        Check(sqlite3_bind_blob(s_, k, p.b.data(), static_cast<int>(p.b.size()), SQLITE_STATIC));
        return *this;
      default: throw MapiError(MAPI_E_INVALID_TYPE);
    }
  }
  // Steps once; true while a row is available.
  bool Step() {
    int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw MapiError(HrFromSqlite(rc), sqlite3_errmsg(db_));
  }
  void Run() {
    while (Step()) {
    }
  }
  std::int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }
  double Real(int c) const { return sqlite3_column_double(s_, c); }
  bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
  std::string Text(int c) const {
    const void* p = sqlite3_column_blob(s_, c);
    int n = sqlite3_column_bytes(s_, c);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }
  // A property from (prop_id, type, value) columns starting at c.
  Prop PropAt(int c) const {
    Prop p;
    const auto id = static_cast<ULONG>(Int(c));
    const auto type = static_cast<ULONG>(Int(c + 1));
    p.tag = PROP_TAG(type, id);
    switch (StorageOf(type)) {
      case Storage::Integer: p.i = Int(c + 2); break;
      case Storage::Real: p.d = Real(c + 2); break;
      default: p.b = Text(c + 2); break;
    }
    return p;
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw MapiError(HrFromSqlite(rc), sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* s_;
};

class Db {
 public:
  Db() = default;
  ~Db() {
    for (auto& [sql, s] : cache_) sqlite3_finalize(s);
    if (db_) sqlite3_close_v2(db_);
  }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Open(const std::string& path, int flags) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) throw MapiError(HrFromSqlite(rc), db_ ? sqlite3_errmsg(db_) : "cannot open store");
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  }
  sqlite3* get() const { return db_; }

  Stmt Prepare(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
      sqlite3_stmt* s = nullptr;
      int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr);
      if (rc != SQLITE_OK) throw MapiError(HrFromSqlite(rc), sqlite3_errmsg(db_));
      it = cache_.emplace(sql, s).first;
    }
    return Stmt(db_, it->second);
  }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
      std::string msg = err ? err : "";
      sqlite3_free(err);
      throw MapiError(HrFromSqlite(rc), msg);
    }
  }
  std::int64_t Changes() const { return sqlite3_changes64(db_); }
  std::int64_t LastId() const { return sqlite3_last_insert_rowid(db_); }
  // Statements that name an attached database must go when it is detached.
  void ForgetStatementsMentioning(const std::string& word) {
    for (auto it = cache_.begin(); it != cache_.end();) {
      if (it->first.find(word) != std::string::npos) {
        sqlite3_finalize(it->second);
        it = cache_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
};

// Percent-encodes a path for an SQLite URI.
std::string UriPath(const std::string& path) {
  std::string out = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Checks the file before SQLite sees it, so that a missing, unreadable,
// foreign or truncated file gives a clear code.
void CheckStoreFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw MapiError(errno == ENOENT || errno == ENOTDIR ? MAPI_E_NOT_FOUND : MAPI_E_NO_ACCESS,
                    "cannot find store file " + path);
  if (!S_ISREG(st.st_mode)) throw MapiError(MAPI_E_CORRUPT_STORE, path + " is not a store file");
  if (::access(path.c_str(), R_OK) != 0) throw MapiError(MAPI_E_NO_ACCESS, "cannot read store file " + path);
  std::ifstream in(path, std::ios::binary);
  char header[100] = {};
  if (!in.read(header, sizeof header) || std::memcmp(header, "SQLite format 3", 16) != 0)
    throw MapiError(MAPI_E_CORRUPT_STORE, path + " is not a store file");
  auto be32 = [&](int off) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(header[off])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(header[off + 1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(header[off + 2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(header[off + 3]));
  };
  std::uint32_t pageSize = (static_cast<std::uint32_t>(static_cast<unsigned char>(header[16])) << 8) |
                           static_cast<unsigned char>(header[17]);
  if (pageSize == 1) pageSize = 65536;
  const std::uint32_t pages = be32(28);
  const bool sizeValid = be32(24) == be32(92);
  struct stat wal {};
  const bool walHasData = ::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0;
  if (sizeValid && !walHasData && static_cast<std::uint64_t>(st.st_size) < static_cast<std::uint64_t>(pages) * pageSize)
    throw MapiError(MAPI_E_CORRUPT_STORE, path + " is truncated");
  // Identity and format from the header, before SQLite may write anything.
  if (be32(68) != static_cast<std::uint32_t>(kApplicationId))
    throw MapiError(MAPI_E_CORRUPT_STORE, path + " is not a store file");
  const auto version = static_cast<std::int32_t>(be32(60));
  if (version > kSchemaVersion) throw MapiError(MAPI_E_VERSION, path + " was written by a newer version");
  if (version < 1) throw MapiError(MAPI_E_CORRUPT_STORE, path + " is not a store file");
}

// Whether the store file can be written here: a file on a read-only mount,
// or one its user may not write, opens read-only.
bool StoreFileWritable(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) return false;
  return ::access(path.c_str(), W_OK) == 0;
}

// Whether SQLite can keep its shared-memory index beside the file.
bool FolderWritable(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) return false;
  return ::access(dir.c_str(), W_OK) == 0;
}

class Tx : public Transaction {
 public:
  Tx(Db& db, int& depth, bool write) : db_(db), depth_(depth) {
    if (depth_ == 0) {
      db_.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    } else {
      db_.Exec("SAVEPOINT sp" + std::to_string(depth_));
    }
    level_ = depth_++;
  }
  ~Tx() override {
    if (done_) return;
    try {
      if (level_ == 0) {
        db_.Exec("ROLLBACK");
      } else {
        db_.Exec("ROLLBACK TO sp" + std::to_string(level_));
        db_.Exec("RELEASE sp" + std::to_string(level_));
      }
    } catch (...) {
    }
    --depth_;
  }
  void Commit() override {
    db_.Exec(level_ == 0 ? std::string("COMMIT") : "RELEASE sp" + std::to_string(level_));
    done_ = true;
    --depth_;
  }

 private:
  Db& db_;
  int& depth_;
  int level_ = 0;
  bool done_ = false;
};

// Removes the computed row keys from a recipient's or attachment's props.
PropList WithoutKey(const PropList& props, ULONG keyId) {
  PropList out;
  for (const auto& p : props)
    if (p.id() != keyId) out.push_back(p);
  return out;
}

std::int64_t KeyOf(const PropList& props, ULONG keyId, std::int64_t fallback) {
  const Prop* p = FindProp(props, keyId);
  return p && StorageOf(p->type()) == Storage::Integer ? p->i : fallback;
}

class SqliteStore final : public StoreProvider {
 public:
  explicit SqliteStore(std::string path) : path_(std::move(path)) {}

  void Open() {
    CheckStoreFile(path_);
    try {
      readOnly_ = !StoreFileWritable(path_);
      if (readOnly_) {
        // Read-only: on a read-only mount SQLite cannot lock nor keep its
        // index beside the file, and nobody else can write it either.
        db_.Open(UriPath(path_) + (FolderWritable(path_) ? "?mode=ro" : "?mode=ro&immutable=1"),
                 SQLITE_OPEN_READONLY);
      } else {
        db_.Open(UriPath(path_), SQLITE_OPEN_READWRITE);
      }
      if (Pragma("application_id") != kApplicationId)
        throw MapiError(MAPI_E_CORRUPT_STORE, path_ + " is not a store file");
      const auto version = Pragma("user_version");
      if (version > kSchemaVersion) throw MapiError(MAPI_E_VERSION, path_ + " was written by a newer version");
      if (version < 1) throw MapiError(MAPI_E_CORRUPT_STORE, path_ + " is not a store file");
      // Every table of the schema is there, and the store's identity: all
      // read before anything is written to the file.
      const std::int64_t tables = QueryInt(
          "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('store_info','store_prop',"
          "'receive_folder','folder','folder_prop','message','message_prop','recipient','attachment')",
          0);
      if (tables != 9) throw MapiError(MAPI_E_CORRUPT_STORE, path_ + " is not a store file");
      auto s = db_.Prepare("SELECT key, value FROM store_info");
      while (s.Step()) info_[s.Text(0)] = s.Text(1);
      if (info_["guid"].size() != 16) throw MapiError(MAPI_E_CORRUPT_STORE, path_ + " has no store identity");
      guid_ = GuidFromBytes(info_["guid"]);
      root_ = QueryInt("SELECT id FROM folder WHERE parent_id IS NULL ORDER BY id LIMIT 1", 0);
      if (!root_) throw MapiError(MAPI_E_CORRUPT_STORE, path_ + " has no root folder");
      db_.Exec(readOnly_ ? "PRAGMA foreign_keys=ON;"
                         : "PRAGMA foreign_keys=ON; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    } catch (const MapiError& e) {
      if (e.hr() == MAPI_E_CALL_FAILED || e.hr() == MAPI_E_COLLISION)
        throw MapiError(MAPI_E_CORRUPT_STORE, e.what());
      throw;
    }
  }

  void Create(const std::string& displayName, StoreKind kind) {
    db_.Open(UriPath(path_), SQLITE_OPEN_READWRITE);
    db_.Exec("PRAGMA page_size=8192; PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON; PRAGMA synchronous=FULL;");
    auto tx = BeginWrite();
    db_.Exec(kSchema);
    db_.Exec("PRAGMA application_id=" + std::to_string(kApplicationId) + "; PRAGMA user_version=" +
             std::to_string(kSchemaVersion) + ";");
    guid_ = NewGuid();
    const char* kindName = kind == StoreKind::Mailbox ? "mailbox" : kind == StoreKind::Archive ? "archive" : "public";
    SetInfo("guid", GuidBytes(guid_));
    SetInfo("name", displayName);
    SetInfo("kind", kindName);
    info_ = {{"guid", GuidBytes(guid_)}, {"name", displayName}, {"kind", kindName}};

    root_ = InsertFolder(std::nullopt, "", FOLDER_ROOT);
    const ObjId top = CreateFolder(root_, kind == StoreKind::Public ? "All Public Folders" : "Top of Personal Folders",
                                   FOLDER_GENERIC);
    PropList storeProps{Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, FolderEntryId(top))};
    if (kind == StoreKind::Mailbox) {
      auto make = [&](const char* name, const char* cls) {
        ObjId id = CreateFolder(top, name, FOLDER_GENERIC);
        if (cls) SetFolderProps(id, {Prop::Bytes(PR_CONTAINER_CLASS_A, cls)});
        return id;
      };
      const ObjId inbox = make("Inbox", nullptr);
      const ObjId outbox = make("Outbox", nullptr);
      const ObjId sent = make("Sent Items", nullptr);
      const ObjId deleted = make("Deleted Items", nullptr);
      const ObjId drafts = make("Drafts", nullptr);
      const ObjId calendar = make("Calendar", "IPF.Appointment");
      const ObjId contacts = make("Contacts", "IPF.Contact");
      const ObjId journal = make("Journal", "IPF.Journal");
      const ObjId notes = make("Notes", "IPF.StickyNote");
      const ObjId tasks = make("Tasks", "IPF.Task");
      storeProps.push_back(Prop::Bytes(PR_IPM_OUTBOX_ENTRYID, FolderEntryId(outbox)));
      storeProps.push_back(Prop::Bytes(PR_IPM_SENTMAIL_ENTRYID, FolderEntryId(sent)));
      storeProps.push_back(Prop::Bytes(PR_IPM_WASTEBASKET_ENTRYID, FolderEntryId(deleted)));
      PropList special{Prop::Bytes(PR_IPM_APPOINTMENT_ENTRYID, FolderEntryId(calendar)),
                       Prop::Bytes(PR_IPM_CONTACT_ENTRYID, FolderEntryId(contacts)),
                       Prop::Bytes(PR_IPM_JOURNAL_ENTRYID, FolderEntryId(journal)),
                       Prop::Bytes(PR_IPM_NOTE_ENTRYID, FolderEntryId(notes)),
                       Prop::Bytes(PR_IPM_TASK_ENTRYID, FolderEntryId(tasks)),
                       Prop::Bytes(PR_IPM_DRAFTS_ENTRYID, FolderEntryId(drafts))};
      SetFolderProps(inbox, special);
      SetFolderProps(root_, special);
      SetReceiveFolder("", inbox);
      SetReceiveFolder("IPM", inbox);
    } else if (kind == StoreKind::Archive) {
      const ObjId deleted = CreateFolder(top, "Deleted Items", FOLDER_GENERIC);
      storeProps.push_back(Prop::Bytes(PR_IPM_WASTEBASKET_ENTRYID, FolderEntryId(deleted)));
    }
    SetStoreProps(storeProps);
    tx->Commit();
  }

  Capabilities Caps() const override {
    Capabilities c;
    c.readOnly = readOnly_;
    c.wholeCopyInOneCommit = true;
    c.associatedContents = true;
    c.serverSideCopy = true;
    return c;
  }
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return path_; }
  std::string DisplayName() override { return info_["name"]; }
  std::string Kind() override { return info_["kind"]; }

  PropList StoreProps() override {
    PropList out;
    auto s = db_.Prepare("SELECT prop_id, type, value FROM store_prop");
    while (s.Step()) out.push_back(s.PropAt(0));
    return out;
  }
  void SetStoreProps(const PropList& props) override {
    auto tx = BeginWrite();
    for (const auto& p : props)
      db_.Prepare("INSERT OR REPLACE INTO store_prop(prop_id, type, value) VALUES(?,?,?)")
          .Bind(1, p.id())
          .Bind(2, p.type())
          .BindValue(3, p)
          .Run();
    tx->Commit();
  }
  void DeleteStoreProps(std::span<const ULONG> ids) override {
    auto tx = BeginWrite();
    for (ULONG id : ids) db_.Prepare("DELETE FROM store_prop WHERE prop_id=?").Bind(1, id).Run();
    tx->Commit();
  }
  ObjId RootFolder() override { return root_; }

  std::optional<ObjId> ReceiveFolder(const std::string& cls, std::string* explicitClass) override {
    // The longest registered class that is cls itself or a dotted prefix of it.
    auto s = db_.Prepare("SELECT message_class, folder_id FROM receive_folder");
    std::optional<ObjId> best;
    std::string bestClass;
    bool found = false;
    while (s.Step()) {
      std::string c = s.Text(0);
      bool fits = c.empty() || EqualsNoCase(c, cls) ||
                  (cls.size() > c.size() && cls[c.size()] == '.' && EqualsNoCase(cls.substr(0, c.size()), c));
      if (fits && (!found || c.size() > bestClass.size())) {
        found = true;
        best = s.Int(1);
        bestClass = c;
      }
    }
    if (explicitClass) *explicitClass = bestClass;
    return best;
  }
  void SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) override {
    if (folder)
      db_.Prepare("INSERT OR REPLACE INTO receive_folder(message_class, folder_id) VALUES(?,?)")
          .Bind(1, cls)
          .Bind(2, *folder)
          .Run();
    else
      db_.Prepare("DELETE FROM receive_folder WHERE message_class=?").Bind(1, cls).Run();
  }

  std::optional<FolderInfo> GetFolder(ObjId id) override {
    auto s = db_.Prepare(
        "SELECT parent_id, name, folder_type, created, modified,"
        " (SELECT count(*) FROM message WHERE folder_id=f.id AND associated=0),"
        " (SELECT count(*) FROM message WHERE folder_id=f.id AND associated=1),"
        " EXISTS(SELECT 1 FROM folder c WHERE c.parent_id=f.id) FROM folder f WHERE id=?");
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    FolderInfo f;
    f.id = id;
    f.parent = s.IsNull(0) ? 0 : s.Int(0);
    f.name = s.Text(1);
    f.type = static_cast<ULONG>(s.Int(2));
    f.created = s.Int(3);
    f.modified = s.Int(4);
    f.contentCount = s.Int(5);
    f.assocCount = s.Int(6);
    f.hasSubfolders = s.Int(7) != 0;
    return f;
  }
  std::vector<ObjId> Subfolders(ObjId id) override {
    return Ids(db_.Prepare("SELECT id FROM folder WHERE parent_id=? ORDER BY id").Bind(1, id));
  }
  std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name) override {
    // The sibling index compares names with NOCASE, which folds A to Z only.
    auto s = db_.Prepare("SELECT id FROM folder WHERE parent_id=? AND name=? COLLATE NOCASE");
    s.Bind(1, parent).Bind(2, name);
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }
  PropList FolderProps(ObjId id) override {
    PropList out;
    auto s = db_.Prepare("SELECT prop_id, type, value FROM folder_prop WHERE folder_id=?");
    s.Bind(1, id);
    while (s.Step()) out.push_back(s.PropAt(0));
    return out;
  }
  void SetFolderProps(ObjId id, const PropList& props) override {
    auto tx = BeginWrite();
    for (const auto& p : props)
      db_.Prepare("INSERT OR REPLACE INTO folder_prop(folder_id, prop_id, type, value) VALUES(?,?,?,?)")
          .Bind(1, id)
          .Bind(2, p.id())
          .Bind(3, p.type())
          .BindValue(4, p)
          .Run();
    Touch(id);
    tx->Commit();
  }
  void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) override {
    auto tx = BeginWrite();
    for (ULONG pid : ids)
      db_.Prepare("DELETE FROM folder_prop WHERE folder_id=? AND prop_id=?").Bind(1, id).Bind(2, pid).Run();
    Touch(id);
    tx->Commit();
  }
  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override {
    if (!GetFolderExists(parent)) throw MapiError(MAPI_E_NOT_FOUND, "parent folder not found");
    if (name.empty()) throw MapiError(MAPI_E_INVALID_PARAMETER, "a folder needs a name");
    return InsertFolder(parent, name, type);
  }
  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override {
    if (newName.empty()) throw MapiError(MAPI_E_INVALID_PARAMETER, "a folder needs a name");
    try {
      db_.Prepare("UPDATE folder SET parent_id=?, name=?, modified=? WHERE id=?")
          .Bind(1, newParent)
          .Bind(2, newName)
          .Bind(3, NowFiletime())
          .Bind(4, id)
          .Run();
    } catch (const MapiError& e) {
      if (e.hr() == MAPI_E_COLLISION) throw MapiError(MAPI_E_COLLISION, "a folder of that name exists");
      throw;
    }
  }
  void DeleteFolderTree(ObjId id, const StepFn& step) override {
    auto tx = BeginWrite();
    std::uint64_t done = 0;
    const std::vector<ObjId> folders = SubtreeFolders(id);
    for (ObjId f : folders) {
      for (;;) {
        db_.Prepare("DELETE FROM message WHERE id IN (SELECT id FROM message WHERE folder_id=? LIMIT 500)")
            .Bind(1, f)
            .Run();
        auto n = static_cast<std::uint64_t>(db_.Changes());
        if (n == 0) break;
        done += n;
        if (step && !step(done)) throw MapiError(MAPI_E_USER_CANCEL);
      }
    }
    // The deepest folders first, so that each row goes without a cascade
    // to subfolders: SQLite runs cascades as nested triggers, at most 1000
    // levels deep, and a tree can be deeper.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
      db_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, *it).Run();
    tx->Commit();
  }
  std::vector<ObjId> SubtreeFolders(ObjId id) override { return SubtreeIn("main", id); }

  std::vector<ObjId> Messages(ObjId folder, bool associated) override {
    return Ids(db_.Prepare("SELECT id FROM message WHERE folder_id=? AND associated=? ORDER BY id")
                   .Bind(1, folder)
                   .Bind(2, associated ? 1 : 0));
  }
  std::optional<MessageInfo> GetMessage(ObjId id) override {
    auto s = db_.Prepare(
        "SELECT folder_id, associated, created, modified, size,"
        " EXISTS(SELECT 1 FROM attachment a WHERE a.message_id=m.id) FROM message m WHERE id=?");
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return MessageInfo{id, s.Int(0), s.Int(1) != 0, s.Int(2), s.Int(3), s.Int(4), s.Int(5) != 0};
  }
  PropList MessageProps(ObjId id) override {
    PropList out;
    auto s = db_.Prepare("SELECT prop_id, type, value FROM message_prop WHERE message_id=?");
    s.Bind(1, id);
    while (s.Step()) out.push_back(s.PropAt(0));
    return out;
  }
  MessageData LoadMessage(ObjId id) override {
    MessageData m;
    m.props = MessageProps(id);
    {
      auto s = db_.Prepare("SELECT row_id, prop_id, type, value FROM recipient WHERE message_id=? ORDER BY row_id");
      s.Bind(1, id);
      std::int64_t current = -1;
      while (s.Step()) {
        if (s.Int(0) != current) {
          current = s.Int(0);
          m.recipients.push_back({Prop::Int(PR_ROWID, current)});
        }
        m.recipients.back().push_back(s.PropAt(1));
      }
    }
    {
      auto s = db_.Prepare(
          "SELECT attach_num, prop_id, type, value FROM attachment WHERE message_id=? ORDER BY attach_num");
      s.Bind(1, id);
      std::int64_t current = -1;
      while (s.Step()) {
        if (s.Int(0) != current) {
          current = s.Int(0);
          m.attachments.push_back({Prop::Int(PR_ATTACH_NUM, current)});
        }
        m.attachments.back().push_back(s.PropAt(1));
      }
    }
    return m;
  }
  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override {
    auto tx = BeginWrite();
    std::int64_t size = 0;
    auto account = [&](const PropList& props) {
      for (const auto& p : props) size += 16 + static_cast<std::int64_t>(p.b.size());
    };
    account(data.props);
    for (const auto& r : data.recipients) account(r);
    for (const auto& a : data.attachments) account(a);
    const auto now = NowFiletime();
    ObjId id;
    if (replace) {
      id = *replace;
      db_.Prepare("UPDATE message SET modified=?, size=? WHERE id=?").Bind(1, now).Bind(2, size).Bind(3, id).Run();
      db_.Prepare("DELETE FROM message_prop WHERE message_id=?").Bind(1, id).Run();
      db_.Prepare("DELETE FROM recipient WHERE message_id=?").Bind(1, id).Run();
      db_.Prepare("DELETE FROM attachment WHERE message_id=?").Bind(1, id).Run();
    } else {
      db_.Prepare("INSERT INTO message(folder_id, associated, created, modified, size) VALUES(?,?,?,?,?)")
          .Bind(1, folder)
          .Bind(2, associated ? 1 : 0)
          .Bind(3, now)
          .Bind(4, now)
          .Bind(5, size)
          .Run();
      id = db_.LastId();
    }
    for (const auto& p : data.props)
      db_.Prepare("INSERT INTO message_prop(message_id, prop_id, type, value) VALUES(?,?,?,?)")
          .Bind(1, id)
          .Bind(2, p.id())
          .Bind(3, p.type())
          .BindValue(4, p)
          .Run();
    std::int64_t row = 0;
    for (const auto& r : data.recipients) {
      const auto key = KeyOf(r, PROP_ID(PR_ROWID), row);
      row = key + 1;
      for (const auto& p : WithoutKey(r, PROP_ID(PR_ROWID)))
        db_.Prepare("INSERT INTO recipient(message_id, row_id, prop_id, type, value) VALUES(?,?,?,?,?)")
            .Bind(1, id)
            .Bind(2, key)
            .Bind(3, p.id())
            .Bind(4, p.type())
            .BindValue(5, p)
            .Run();
    }
    std::int64_t num = 0;
    for (const auto& a : data.attachments) {
      const auto key = KeyOf(a, PROP_ID(PR_ATTACH_NUM), num);
      num = key + 1;
      for (const auto& p : WithoutKey(a, PROP_ID(PR_ATTACH_NUM)))
        db_.Prepare("INSERT INTO attachment(message_id, attach_num, prop_id, type, value) VALUES(?,?,?,?,?)")
            .Bind(1, id)
            .Bind(2, key)
            .Bind(3, p.id())
            .Bind(4, p.type())
            .BindValue(5, p)
            .Run();
    }
    Touch(folder);
    tx->Commit();
    return id;
  }
  void DeleteMessages(std::span<const ObjId> ids) override {
    auto tx = BeginWrite();
    for (ObjId id : ids) db_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
    tx->Commit();
  }
  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override {
    auto tx = BeginWrite();
    for (ObjId id : ids) db_.Prepare("UPDATE message SET folder_id=? WHERE id=?").Bind(1, folder).Bind(2, id).Run();
    tx->Commit();
  }

  std::unique_ptr<Transaction> BeginWrite() override { return std::make_unique<Tx>(db_, depth_, true); }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<Tx>(db_, depth_, false); }

  bool CopyTreeFrom(StoreProvider& srcBase, ObjId srcFolder, ObjId destParent, const std::string& name,
                    bool subfolders, const StepFn& step, ObjId* newFolder) override {
    auto* src = dynamic_cast<SqliteStore*>(&srcBase);
    if (!src || depth_ != 0) return false;
    Attached attached(*this, *src);
    const std::string& s = attached.schema;
    auto tx = BeginWrite();
    db_.Exec("CREATE TEMP TABLE IF NOT EXISTS fmap(old INTEGER PRIMARY KEY, new INTEGER NOT NULL)");
    db_.Exec("DELETE FROM temp.fmap");

    // Folders, parents before children; the top one under its new name.
    std::vector<ObjId> folders = subfolders ? SubtreeIn(s, srcFolder) : std::vector<ObjId>{srcFolder};
    std::map<ObjId, ObjId> mapped;
    for (ObjId old : folders) {
      auto q = db_.Prepare("SELECT parent_id, name, folder_type, created FROM " + s + ".folder WHERE id=?");
      q.Bind(1, old);
      if (!q.Step()) throw MapiError(MAPI_E_NOT_FOUND, "source folder vanished");
      const bool top = old == srcFolder;
      const ObjId parent = top ? destParent : mapped.at(q.Int(0));
      const ObjId id = InsertFolder(parent, top ? name : q.Text(1), static_cast<ULONG>(q.Int(2)));
      mapped[old] = id;
      db_.Prepare("INSERT INTO temp.fmap(old, new) VALUES(?,?)").Bind(1, old).Bind(2, id).Run();
    }
    // The small map drives every join (CROSS JOIN keeps it outside): the
    // work follows what is copied, never the size of the source store.
    db_.Exec("INSERT INTO main.folder_prop(folder_id, prop_id, type, value) SELECT m.new, p.prop_id, p.type, p.value"
             " FROM temp.fmap m CROSS JOIN " + s + ".folder_prop p ON p.folder_id = m.old");

    StartMessageSet();
    db_.Exec("INSERT INTO temp.mcopy(old, folder) SELECT m.id, f.new FROM temp.fmap f CROSS JOIN " + s +
             ".message m ON m.folder_id = f.old");
    CopyMessageSet(s, step);
    CommitKeepingAlive(*tx, step);
    if (newFolder) *newFolder = mapped.at(srcFolder);
    return true;
  }

  bool CopyMessagesFrom(StoreProvider& srcBase, std::span<const ObjId> ids, ObjId destFolder,
                        const StepFn& step) override {
    auto* src = dynamic_cast<SqliteStore*>(&srcBase);
    if (!src || depth_ != 0) return false;
    if (ids.empty()) return true;
    Attached attached(*this, *src);
    const std::string& s = attached.schema;
    auto tx = BeginWrite();
    StartMessageSet();
    for (ObjId id : ids)
      db_.Prepare("INSERT OR IGNORE INTO temp.mcopy(old, folder) VALUES(?,?)").Bind(1, id).Bind(2, destFolder).Run();
    CopyMessageSet(s, step);
    Touch(destFolder);
    CommitKeepingAlive(*tx, step);
    return true;
  }

 private:
  // Attaches another store file for set-based copies (not needed for a copy
  // within this store).
  struct Attached {
    Attached(SqliteStore& self, SqliteStore& src) : db(self.db_) {
      if (&self == &src) {
        schema = "main";
        return;
      }
      db.Prepare("ATTACH DATABASE ? AS srcstore")
          .Bind(1, UriPath(src.path_) + (FolderWritable(src.path_) ? "?mode=ro" : "?mode=ro&immutable=1"))
          .Run();
      db.ForgetStatementsMentioning("ATTACH DATABASE");
      schema = "srcstore";
      attached = true;
    }
    ~Attached() {
      if (!attached) return;
      db.ForgetStatementsMentioning("srcstore");
      try {
        db.Exec("DETACH DATABASE srcstore");
      } catch (...) {
      }
    }
    Db& db;
    std::string schema;
    bool attached = false;
  };

  // The messages a set-based copy takes: source id and destination folder.
  void StartMessageSet() {
    db_.Exec("CREATE TEMP TABLE IF NOT EXISTS mcopy(old INTEGER PRIMARY KEY, folder INTEGER NOT NULL)");
    db_.Exec("DELETE FROM temp.mcopy");
  }

  // Copies the messages of temp.mcopy from schema s, in chunks of at most
  // kCopyChunk of them, each id shifted by one offset past every id the
  // destination has used (so the source's order stays).
  void CopyMessageSet(const std::string& s, const StepFn& step) {
    auto range = db_.Prepare("SELECT min(old), max(old) FROM temp.mcopy");
    range.Step();
    if (range.IsNull(0)) return;
    const std::int64_t lo = range.Int(0), hi = range.Int(1);
    const std::int64_t offset = NextMessageId() - lo;
    std::uint64_t done = 0;
    for (std::int64_t a = lo; a <= hi;) {
      // The chunk ends at the kCopyChunk-th id of the set from a on.
      auto last = db_.Prepare("SELECT old FROM temp.mcopy WHERE old >= ? ORDER BY old LIMIT 1 OFFSET ?");
      last.Bind(1, a).Bind(2, kCopyChunk - 1);
      const std::int64_t b = last.Step() ? last.Int(0) : hi;
      done += CopyMessageRange(s, a, b, offset);
      if (step && !step(done)) throw MapiError(MAPI_E_USER_CANCEL);
      a = b + 1;
    }
  }

  std::int64_t CopyMessageRange(const std::string& s, std::int64_t a, std::int64_t b, std::int64_t offset) {
    db_.Prepare("INSERT INTO main.message(id, folder_id, associated, created, modified, size)"
                " SELECT m.id + ?3, x.folder, m.associated, m.created, m.modified, m.size FROM temp.mcopy x"
                " CROSS JOIN " + s + ".message m ON m.id = x.old WHERE x.old BETWEEN ?1 AND ?2")
        .Bind(1, a).Bind(2, b).Bind(3, offset).Run();
    const std::int64_t n = db_.Changes();
    if (n == 0) return 0;
    for (const char* t : {"message_prop(message_id, prop_id, type, value) SELECT p.message_id + ?3, p.prop_id, p.type, p.value",
                          "recipient(message_id, row_id, prop_id, type, value) SELECT p.message_id + ?3, p.row_id, p.prop_id, p.type, p.value",
                          "attachment(message_id, attach_num, prop_id, type, value) SELECT p.message_id + ?3, p.attach_num, p.prop_id, p.type, p.value"}) {
      std::string table(t, std::strchr(t, '('));
      db_.Prepare(std::string("INSERT INTO main.") + t + " FROM temp.mcopy x CROSS JOIN " + s + "." + table +
                  " p ON p.message_id = x.old WHERE x.old BETWEEN ?1 AND ?2")
          .Bind(1, a).Bind(2, b).Bind(3, offset).Run();
    }
    return n;
  }

  std::int64_t NextMessageId() {
    const auto seq = QueryInt("SELECT coalesce((SELECT seq FROM main.sqlite_sequence WHERE name='message'), 0)", 0);
    const auto max = QueryInt("SELECT coalesce(max(id), 0) FROM main.message", 0);
    return std::max(seq, max) + 1;
  }

  std::vector<ObjId> SubtreeIn(const std::string& schema, ObjId id) {
    return Ids(db_.Prepare("WITH RECURSIVE t(id, depth) AS (SELECT ?, 0 UNION ALL SELECT f.id, t.depth + 1 FROM " +
                           schema + ".folder f JOIN t ON f.parent_id = t.id) SELECT id FROM t ORDER BY depth, id")
                   .Bind(1, id));
  }

  ObjId InsertFolder(std::optional<ObjId> parent, const std::string& name, ULONG type) {
    const auto now = NowFiletime();
    auto s = db_.Prepare("INSERT INTO folder(parent_id, name, folder_type, created, modified) VALUES(?,?,?,?,?)");
    if (parent)
      s.Bind(1, *parent);
    else
      s.BindNull(1);
    s.Bind(2, name).Bind(3, type).Bind(4, now).Bind(5, now);
    try {
      s.Run();
    } catch (const MapiError& e) {
      if (e.hr() == MAPI_E_COLLISION) throw MapiError(MAPI_E_COLLISION, "a folder named " + name + " exists");
      throw;
    }
    return db_.LastId();
  }

  bool GetFolderExists(ObjId id) {
    auto s = db_.Prepare("SELECT EXISTS(SELECT 1 FROM folder WHERE id=?)");
    s.Bind(1, id);
    return s.Step() && s.Int(0) != 0;
  }
  void Touch(ObjId folder) {
    db_.Prepare("UPDATE folder SET modified=? WHERE id=?").Bind(1, NowFiletime()).Bind(2, folder).Run();
  }
  void SetInfo(const std::string& key, const std::string& value) {
    db_.Prepare("INSERT OR REPLACE INTO store_info(key, value) VALUES(?,?)").Bind(1, key).BindBlob(2, value).Run();
  }
  std::string FolderEntryId(ObjId id) const { return MakeObjectEntryId(guid_, ObjKind::Folder, id); }
  std::int64_t Pragma(const std::string& name) { return QueryInt("PRAGMA " + name, 0); }
  std::int64_t QueryInt(const std::string& sql, std::int64_t fallback) {
    auto s = db_.Prepare(sql);
    return s.Step() && !s.IsNull(0) ? s.Int(0) : fallback;
  }
  static std::vector<ObjId> Ids(Stmt& s) {
    std::vector<ObjId> out;
    while (s.Step()) out.push_back(s.Int(0));
    return out;
  }

  std::string path_;
  Db db_;
  GUID guid_{};
  ObjId root_ = 0;
  int depth_ = 0;
  bool readOnly_ = false;
  std::map<std::string, std::string> info_;
};

}  // namespace

void CreateStoreFile(const std::string& path, const std::string& displayName, StoreKind kind) {
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    throw MapiError(errno == EEXIST ? MAPI_E_COLLISION : MAPI_E_NO_ACCESS,
                    errno == EEXIST ? path + " exists already" : "cannot create " + path + ": " + std::strerror(errno));
  ::close(fd);
  try {
    SqliteStore store(path);
    store.Create(displayName, kind);
  } catch (...) {
    ::unlink(path.c_str());
    ::unlink((path + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    throw;
  }
}

std::shared_ptr<StoreProvider> OpenStoreFile(const std::string& path) {
  auto store = std::make_shared<SqliteStore>(path);
  store->Open();
  return store;
}

StoreIdentity ReadStoreIdentity(const std::string& path) {
  auto store = OpenStoreFile(path);
  return StoreIdentity{store->Guid(), store->DisplayName(), store->Kind()};
}

namespace {

// Settings: file (the store file's absolute path).
class SqliteFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "sqlite"; }
  std::string DisplayName() const override { return "Local store file"; }
  void Validate(const StoreSettings& settings) const override {
    auto file = SettingString(settings, "file");
    if (!file || file->empty()) throw std::runtime_error("a sqlite store needs a file");
  }
  std::string Location(const StoreSettings& settings) const override {
    return SettingString(settings, "file").value_or("");
  }
  std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const override {
    Validate(settings);
    return OpenStoreFile(*SettingString(settings, "file"));
  }
};

}  // namespace

const ProviderFactory& SqliteProviderFactory() {
  static const SqliteFactory factory;
  return factory;
}

std::uint64_t SqliteFullScanSteps() { return g_fullScanSteps.load(); }

}  // namespace tesk::mapi
