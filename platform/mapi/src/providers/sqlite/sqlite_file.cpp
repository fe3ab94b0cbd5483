// Store files: checked before SQLite sees them, opened (read-only where
// they cannot be written), and created from a template.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mapitags.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "providers/sqlite/sqlite_store.h"

namespace tesk::mapi::sqlite {

namespace {

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
  size INTEGER NOT NULL,
  content_id INTEGER,
  own BLOB);
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

// The content rows (format 2) and the counts of the messages that refer to
// them, kept by triggers: a content goes in the same transaction as the
// last message that used it, also when a folder's deletion takes its
// messages. The bytes are a table of their own, so that counting a
// reference rewrites a small row only.
const char* const kContentSchema = R"sql(
CREATE TABLE content(
  id INTEGER PRIMARY KEY,
  digest BLOB NOT NULL UNIQUE,
  refs INTEGER NOT NULL DEFAULT 0,
  size INTEGER NOT NULL,
  codec INTEGER NOT NULL,
  attachments INTEGER NOT NULL,
  heavy_digest BLOB NOT NULL,
  heavy_tags BLOB NOT NULL,
  light BLOB NOT NULL);
CREATE TABLE content_data(id INTEGER PRIMARY KEY, data BLOB NOT NULL);
CREATE TRIGGER content_gone AFTER DELETE ON content BEGIN
  DELETE FROM content_data WHERE id = old.id;
END;
CREATE TRIGGER content_ref AFTER INSERT ON message WHEN new.content_id IS NOT NULL BEGIN
  UPDATE content SET refs = refs + 1 WHERE id = new.content_id;
END;
CREATE TRIGGER content_unref AFTER DELETE ON message WHEN old.content_id IS NOT NULL BEGIN
  UPDATE content SET refs = refs - 1 WHERE id = old.content_id;
  DELETE FROM content WHERE id = old.content_id AND refs <= 0;
END;
CREATE TRIGGER content_reref AFTER UPDATE OF content_id ON message
  WHEN old.content_id IS NOT new.content_id BEGIN
  UPDATE content SET refs = refs + 1 WHERE id = new.content_id;
  UPDATE content SET refs = refs - 1 WHERE id = old.content_id;
  DELETE FROM content WHERE id = old.content_id AND refs <= 0;
END;
)sql";

// What the sources call the contents (format 3): a key a source gives
// without reading a message (a server's UID, a file's name and time) names
// the content its bytes were kept as, so that a later copy of the same
// message reads nothing. A key goes with its content. A folder key (a
// mailbox's UIDVALIDITY, UIDNEXT, count and HIGHESTMODSEQ) names the last
// copy of that folder in that state, with the count and a digest of its
// message rows as they were made: a copy of an unchanged folder copies the
// rows, once they are found as they were.
const char* const kContentKeySchema = R"sql(
CREATE TABLE content_key(key BLOB PRIMARY KEY, content_id INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX content_key_by_content ON content_key(content_id);
CREATE TRIGGER content_key_gone AFTER DELETE ON content BEGIN
  DELETE FROM content_key WHERE content_id = old.id;
END;
CREATE TABLE folder_key(key BLOB PRIMARY KEY, folder_id INTEGER NOT NULL, messages INTEGER NOT NULL,
  digest BLOB NOT NULL) WITHOUT ROWID;
CREATE INDEX folder_key_by_folder ON folder_key(folder_id);
CREATE TRIGGER folder_key_gone AFTER DELETE ON folder BEGIN
  DELETE FROM folder_key WHERE folder_id = old.id;
END;
)sql";

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

}  // namespace

bool FolderWritable(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) return false;
  return ::access(dir.c_str(), W_OK) == 0;
}

void SqliteStore::Open() {
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
    if (version < kSchemaVersion) {
      if (readOnly_) {
        // read as it is
        hasContent_ = version >= 2;
        hasKeys_ = version >= 3;
      } else {
        Migrate();
      }
    }
  } catch (const MapiError& e) {
    if (e.hr() == MAPI_E_CALL_FAILED || e.hr() == MAPI_E_COLLISION)
      throw MapiError(MAPI_E_CORRUPT_STORE, e.what());
    throw;
  }
}

// Brings a file of an older format to this one, step by step, all in one
// transaction: a migration that fails or is killed leaves the file as it
// was. Another process may have migrated it meanwhile.
void SqliteStore::Migrate() {
  auto tx = BeginWrite();
  const auto version = Pragma("user_version");
  if (version >= kSchemaVersion) return;
  if (version < 2) {
    db_.Exec("ALTER TABLE message ADD COLUMN content_id INTEGER");
    db_.Exec("ALTER TABLE message ADD COLUMN own BLOB");
    db_.Exec(kContentSchema);
  }
  if (version < 3) db_.Exec(kContentKeySchema);
  db_.Exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
  tx->Commit();
}

void SqliteStore::Create(const std::string& displayName, StoreKind kind) {
  db_.Open(UriPath(path_), SQLITE_OPEN_READWRITE);
  db_.Exec(
      "PRAGMA page_size=8192; PRAGMA auto_vacuum=INCREMENTAL; PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON;"
      " PRAGMA synchronous=FULL;");
  auto tx = BeginWrite();
  db_.Exec(kSchema);
  db_.Exec(kContentSchema);
  db_.Exec(kContentKeySchema);
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

}  // namespace tesk::mapi::sqlite

namespace tesk::mapi {

using sqlite::SqliteStore;

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

}  // namespace tesk::mapi
