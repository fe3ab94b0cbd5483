// The local store provider's calls, and its factory.
#include <mapitags.h>

#include <algorithm>
#include <cstring>

#include "inetmail/inetmail.h"
#include "providers/common/store_tables.h"
#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_store.h"

namespace tesk::mapi::sqlite {

namespace {

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

}  // namespace

SqliteStore::SqliteStore(std::string path) : path_(std::move(path)) {}

Capabilities SqliteStore::Caps() const {
  Capabilities c;
  c.readOnly = readOnly_;
  c.wholeCopyInOneCommit = true;
  c.associatedContents = true;
  c.contentKeys = hasKeys_ && !readOnly_;
  return c;
}

PropList SqliteStore::StoreProps() { return tables::StoreProps(db_, {}); }

void SqliteStore::SetStoreProps(const PropList& props) {
  auto tx = BeginWrite();
  tables::SetStoreProps(db_, props);
  tx->Commit();
}

void SqliteStore::DeleteStoreProps(std::span<const ULONG> ids) {
  auto tx = BeginWrite();
  tables::DeleteStoreProps(db_, ids);
  tx->Commit();
}

std::optional<ObjId> SqliteStore::ReceiveFolder(const std::string& cls, std::string* explicitClass) {
  return tables::ReceiveFolder(db_, cls, 0, explicitClass);
}

void SqliteStore::SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) {
  tables::SetReceiveFolder(db_, cls, folder);
}

std::optional<FolderInfo> SqliteStore::GetFolder(ObjId id) {
  auto s = db_.Prepare(
      "SELECT parent_id, name, folder_type, created, modified,"
      " EXISTS(SELECT 1 FROM folder c WHERE c.parent_id=f.id),"
      " (SELECT count(*) FROM message WHERE folder_id=f.id AND associated=0),"
      " (SELECT count(*) FROM message WHERE folder_id=f.id AND associated=1) FROM folder f WHERE id=?");
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  FolderInfo f = tables::FolderFromRow(s, id);
  f.contentCount = s.Int(6);
  f.assocCount = s.Int(7);
  return f;
}

std::vector<ObjId> SqliteStore::Subfolders(ObjId id) { return tables::Subfolders(db_, id); }

std::optional<ObjId> SqliteStore::FindSubfolder(ObjId parent, const std::string& name) {
  // The sibling index compares names with NOCASE, which folds A to Z only.
  return tables::FindSubfolder(db_, parent, name);
}

PropList SqliteStore::FolderProps(ObjId id) { return tables::FolderProps(db_, id, {}); }

void SqliteStore::SetFolderProps(ObjId id, const PropList& props) {
  auto tx = BeginWrite();
  tables::SetFolderProps(db_, id, props);
  Touch(id);
  tx->Commit();
}

void SqliteStore::DeleteFolderProps(ObjId id, std::span<const ULONG> ids) {
  auto tx = BeginWrite();
  tables::DeleteFolderProps(db_, id, ids);
  Touch(id);
  tx->Commit();
}

ObjId SqliteStore::CreateFolder(ObjId parent, const std::string& name, ULONG type) {
  if (!GetFolderExists(parent)) throw MapiError(MAPI_E_NOT_FOUND, "parent folder not found");
  if (name.empty()) throw MapiError(MAPI_E_INVALID_PARAMETER, "a folder needs a name");
  return InsertFolder(parent, name, type);
}

void SqliteStore::MoveFolder(ObjId id, ObjId newParent, const std::string& newName) {
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

void SqliteStore::DeleteFolderTree(ObjId id, const StepFn& step) {
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

std::vector<ObjId> SqliteStore::Messages(ObjId folder, bool associated) {
  return Ids(db_.Prepare("SELECT id FROM message WHERE folder_id=? AND associated=? ORDER BY id")
                 .Bind(1, folder)
                 .Bind(2, associated ? 1 : 0));
}

std::optional<MessageInfo> SqliteStore::GetMessage(ObjId id) {
  auto s = db_.Prepare(
      "SELECT folder_id, associated, created, modified, size,"
      " EXISTS(SELECT 1 FROM attachment a WHERE a.message_id=m.id)" +
      std::string(hasContent_ ? ", (SELECT c.attachments FROM content c WHERE c.id=m.content_id)" : ", NULL") +
      " FROM message m WHERE id=?");
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  const bool attachments = s.IsNull(6) ? s.Int(5) != 0 : s.Int(6) != 0;
  return MessageInfo{id, s.Int(0), s.Int(1) != 0, s.Int(2), s.Int(3), s.Int(4), attachments};
}

std::optional<std::int64_t> SqliteStore::ContentOf(ObjId id) {
  if (!hasContent_) return std::nullopt;
  auto s = db_.Prepare("SELECT content_id FROM message WHERE id=?");
  s.Bind(1, id);
  if (!s.Step() || s.IsNull(0)) return std::nullopt;
  return s.Int(0);
}

PropList SqliteStore::MessageProps(ObjId id) {
  if (auto c = ContentOf(id)) return LoadShared(id, *c).props;
  PropList out;
  auto s = db_.Prepare("SELECT prop_id, type, value FROM message_prop WHERE message_id=?");
  s.Bind(1, id);
  while (s.Step()) out.push_back(s.PropAt(0));
  return out;
}

MessageData SqliteStore::LoadMessage(ObjId id) {
  if (auto c = ContentOf(id)) return LoadShared(id, *c);
  return LoadRows("main", id);
}

MessageData SqliteStore::LoadRows(const std::string& schema, ObjId id) {
  MessageData m;
  {
    auto s = db_.Prepare("SELECT prop_id, type, value FROM " + schema + ".message_prop WHERE message_id=?");
    s.Bind(1, id);
    while (s.Step()) m.props.push_back(s.PropAt(0));
  }
  {
    auto s = db_.Prepare("SELECT row_id, prop_id, type, value FROM " + schema +
                         ".recipient WHERE message_id=? ORDER BY row_id");
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
    auto s = db_.Prepare("SELECT attach_num, prop_id, type, value FROM " + schema +
                         ".attachment WHERE message_id=? ORDER BY attach_num");
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

ObjId SqliteStore::StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) {
  auto tx = BeginWrite();
  std::int64_t size = 0;
  auto account = [&](const PropList& props) {
    for (const auto& p : props) size += 16 + static_cast<std::int64_t>(p.b.size());
  };
  account(data.props);
  for (const auto& r : data.recipients) account(r);
  for (const auto& a : data.attachments) account(a);
  // A message with its Internet bytes shares them (and what they give) with
  // every message of this file that has the same bytes.
  std::optional<std::int64_t> shared;
  PropList own;
  if (hasContent_) {
    const Prop* raw = FindProp(data.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT));
    std::int64_t sharedSize = 0;
    if (raw && raw->tag == inet::PR_TESK_INTERNET_CONTENT) shared = ShareContent(raw->b, data, own, sharedSize);
    if (shared) size = sharedSize;
  }
  const std::string ownBlob = content::EncodeProps(own);
  const auto now = NowFiletime();
  ObjId id;
  if (replace) {
    id = *replace;
    if (hasContent_) {
      auto s = db_.Prepare("UPDATE message SET modified=?, size=?, content_id=?, own=? WHERE id=?");
      s.Bind(1, now).Bind(2, size).Bind(5, id);
      if (shared) s.Bind(3, *shared).BindBlob(4, ownBlob); else s.BindNull(3).BindNull(4);
      s.Run();
    } else {
      db_.Prepare("UPDATE message SET modified=?, size=? WHERE id=?").Bind(1, now).Bind(2, size).Bind(3, id).Run();
    }
    db_.Prepare("DELETE FROM message_prop WHERE message_id=?").Bind(1, id).Run();
    db_.Prepare("DELETE FROM recipient WHERE message_id=?").Bind(1, id).Run();
    db_.Prepare("DELETE FROM attachment WHERE message_id=?").Bind(1, id).Run();
  } else {
    auto s = db_.Prepare("INSERT INTO message(folder_id, associated, created, modified, size" +
                         std::string(hasContent_ ? ", content_id, own) VALUES(?,?,?,?,?,?,?)" : ") VALUES(?,?,?,?,?)"));
    s.Bind(1, folder).Bind(2, associated ? 1 : 0).Bind(3, now).Bind(4, now).Bind(5, size);
    if (shared)
      s.Bind(6, *shared).BindBlob(7, ownBlob);
    else if (hasContent_)
      s.BindNull(6).BindNull(7);
    s.Run();
    id = db_.LastId();
  }
  if (shared) {
    Touch(folder);
    tx->Commit();
    return id;
  }
  for (const auto& p : data.props)
    db_.Prepare("INSERT INTO message_prop(message_id, prop_id, type, value) VALUES(?,?,?,?)")
        .Bind(1, id)
        .Bind(2, p.id())
        .Bind(3, p.type())
        .BindValue(4, p)
        .Run();
  // Recipients and attachments: rows of properties, each under its key
  // (PR_ROWID, PR_ATTACH_NUM; a row without one takes the next number).
  auto writeRows = [&](const std::vector<PropList>& rows, ULONG keyId, const char* sql) {
    std::int64_t next = 0;
    for (const auto& r : rows) {
      const auto key = KeyOf(r, keyId, next);
      next = key + 1;
      for (const auto& p : WithoutKey(r, keyId))
        db_.Prepare(sql).Bind(1, id).Bind(2, key).Bind(3, p.id()).Bind(4, p.type()).BindValue(5, p).Run();
    }
  };
  writeRows(data.recipients, PROP_ID(PR_ROWID),
            "INSERT INTO recipient(message_id, row_id, prop_id, type, value) VALUES(?,?,?,?,?)");
  writeRows(data.attachments, PROP_ID(PR_ATTACH_NUM),
            "INSERT INTO attachment(message_id, attach_num, prop_id, type, value) VALUES(?,?,?,?,?)");
  Touch(folder);
  tx->Commit();
  return id;
}

void SqliteStore::DeleteMessages(std::span<const ObjId> ids) {
  auto tx = BeginWrite();
  for (ObjId id : ids) db_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
  tx->Commit();
}

void SqliteStore::MoveMessages(std::span<const ObjId> ids, ObjId folder) {
  auto tx = BeginWrite();
  for (ObjId id : ids) db_.Prepare("UPDATE message SET folder_id=? WHERE id=?").Bind(1, folder).Bind(2, id).Run();
  tx->Commit();
}

std::vector<ObjId> SqliteStore::SubtreeIn(const std::string& schema, ObjId id) {
  return Ids(db_.Prepare("WITH RECURSIVE t(id, depth) AS (SELECT ?, 0 UNION ALL SELECT f.id, t.depth + 1 FROM " +
                         schema + ".folder f JOIN t ON f.parent_id = t.id) SELECT id FROM t ORDER BY depth, id")
                 .Bind(1, id));
}

ObjId SqliteStore::InsertFolder(std::optional<ObjId> parent, const std::string& name, ULONG type) {
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

bool SqliteStore::GetFolderExists(ObjId id) {
  auto s = db_.Prepare("SELECT EXISTS(SELECT 1 FROM folder WHERE id=?)");
  s.Bind(1, id);
  return s.Step() && s.Int(0) != 0;
}

std::int64_t SqliteStore::QueryInt(const std::string& sql, std::int64_t fallback) {
  auto s = db_.Prepare(sql);
  return s.Step() && !s.IsNull(0) ? s.Int(0) : fallback;
}

std::vector<ObjId> SqliteStore::Ids(Stmt& s) {
  std::vector<ObjId> out;
  while (s.Step()) out.push_back(s.Int(0));
  return out;
}

}  // namespace tesk::mapi::sqlite

namespace tesk::mapi {

using sqlite::SqliteStore;

namespace {

// Settings: file (the store file's absolute path).
class SqliteFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "sqlite"; }
  std::string DisplayName() const override { return "Local store file"; }
  std::vector<SettingInfo> Settings() const override {
    return {{"file", SettingValue::Type::String, true, "/home/me/mail/personal.store", "the store file"}};
  }
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

}  // namespace tesk::mapi
