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

// The message its content's bytes give, its own properties put over the
// derived ones (a row of type 0 takes a derived property away).
MessageData SqliteStore::LoadShared(ObjId id, std::int64_t contentId) {
  std::string raw;
  bool rows = false;
  {
    auto s = db_.Prepare("SELECT c.codec, c.size, d.data FROM content c CROSS JOIN content_data d ON d.id = c.id WHERE c.id=?");
    s.Bind(1, contentId);
    if (!s.Step()) throw MapiError(MAPI_E_CORRUPT_STORE, path_ + ": the content of message " + std::to_string(id) + " is missing");
    rows = content::IsRows(s.Int(0));
    raw = content::Unpack(static_cast<int>(s.Int(0)), s.Text(2), s.Int(1));
  }
  MessageData m = rows ? content::DecodeMessage(raw) : content::DeriveMessage(raw);
  auto s = db_.Prepare("SELECT own FROM message WHERE id=?");
  s.Bind(1, id);
  if (s.Step()) {
    for (auto& p : content::DecodeProps(s.Text(0))) {
      const ULONG propId = p.id();
      std::erase_if(m.props, [propId](const Prop& q) { return q.id() == propId; });
      if (p.type() != PT_UNSPECIFIED) m.props.push_back(std::move(p));
    }
  }
  if (!rows) m.props.push_back(Prop::Bytes(inet::PR_TESK_INTERNET_CONTENT, std::move(raw)));
  content::Normalize(m);
  return m;
}

std::optional<std::int64_t> SqliteStore::KnownContent(const std::string& digest, content::Derived& d) {
  auto s = db_.Prepare("SELECT id, heavy_digest, heavy_tags, light FROM content WHERE digest=?");
  s.BindBlob(1, digest);
  if (!s.Step()) return std::nullopt;
  d.heavyDigest = s.Text(1);
  const std::string tags = s.Text(2);
  d.heavyTags.clear();
  for (std::size_t k = 0; k + 4 <= tags.size(); k += 4) {
    ULONG t = 0;
    for (int b = 0; b < 4; ++b) t |= static_cast<ULONG>(static_cast<unsigned char>(tags[k + b])) << (8 * b);
    d.heavyTags.push_back(t);
  }
  d.light = content::DecodeProps(s.Text(3));
  return s.Int(0);
}

std::int64_t SqliteStore::InsertContent(const std::string& digest, const std::string& raw, const content::Derived& d,
                                        const content::Packed* prepacked, int mark) {
  std::string tags;
  for (ULONG t : d.heavyTags)
    for (int b = 0; b < 4; ++b) tags += static_cast<char>((t >> (8 * b)) & 0xFF);
  const std::string light = content::EncodeProps(d.light);
  const content::Packed packed = prepacked ? *prepacked : content::Pack(raw);
  db_.Prepare(
         "INSERT INTO content(digest, size, codec, attachments, heavy_digest, heavy_tags, light)"
         " VALUES(?,?,?,?,?,?,?)")
      .BindBlob(1, digest)
      .Bind(2, static_cast<std::int64_t>(raw.size()))
      .Bind(3, static_cast<std::int64_t>(packed.codec | mark))
      .Bind(4, d.attachments)
      .BindBlob(5, d.heavyDigest)
      .BindBlob(6, tags)
      .BindBlob(7, light)
      .Run();
  const std::int64_t id = db_.LastId();
  db_.Prepare("INSERT INTO content_data(id, data) VALUES(?,?)").Bind(1, id).BindBlob(2, packed.data).Run();
  return id;
}

namespace {

// A message's own properties: what it has beyond or instead of the derived
// small ones (the large ones are the derived ones: the caller made sure).
PropList OwnOf(const PropList& props, const content::Derived& d) {
  PropList own;
  for (const auto& p : props) {
    if (p.tag == inet::PR_TESK_INTERNET_CONTENT) continue;
    if (std::find(d.heavyTags.begin(), d.heavyTags.end(), p.tag) != d.heavyTags.end()) continue;
    const Prop* l = FindProp(d.light, p.id());
    if (l && *l == p) continue;
    own.push_back(p);
  }
  for (const auto& l : d.light)
    if (!FindProp(props, l.id())) own.push_back(Prop{PROP_TAG(PT_UNSPECIFIED, l.id()), 0, 0, {}});
  return own;
}

// The small properties the converter gives a message of these bytes with
// these flags and this delivery time: the derived ones (made with no flags
// and no delivery time) with the flags and the time put over them.
PropList WithFlagsAndTime(PropList light, const inet::MailFlags& flags, std::int64_t deliveryTime) {
  std::erase_if(light, [](const Prop& p) { return p.id() == PROP_ID(inet::PR_MESSAGE_DELIVERY_TIME); });
  light.push_back(Prop::Int(inet::PR_MESSAGE_DELIVERY_TIME, deliveryTime));
  inet::ApplyFlags(light, flags);
  std::stable_sort(light.begin(), light.end(), [](const Prop& a, const Prop& b) { return a.id() < b.id(); });
  return light;
}

// What a message that shares its content takes: the bytes and its small
// properties (its body, recipients and attachments come from the bytes).
std::int64_t SharedSize(std::int64_t rawSize, const PropList& light, const PropList& own) {
  std::int64_t size = rawSize;
  for (const auto* list : {&light, &own})
    for (const auto& p : *list) size += 16 + static_cast<std::int64_t>(p.b.size());
  return size;
}

}  // namespace

std::optional<std::int64_t> SqliteStore::ShareContent(const std::string& raw, const MessageData& data, PropList& own,
                                                      std::int64_t& size) {
  const std::string digest = content::Sha256(raw);
  content::Derived d;
  const std::optional<std::int64_t> known = KnownContent(digest, d);
  if (known) {
    if (content::HeavyDigest(data, d.heavyTags) != d.heavyDigest) return std::nullopt;
  } else {
    const MessageData derived = content::DeriveMessage(raw);
    d = content::Summarize(derived);
    if (!content::SameHeavyPart(data, derived, d.heavyTags)) return std::nullopt;
  }
  own = OwnOf(data.props, d);
  size = SharedSize(static_cast<std::int64_t>(raw.size()), d.light, own);
  if (known) return known;
  return InsertContent(digest, raw, d);
}

std::optional<std::int64_t> SqliteStore::ShareInternet(const InternetMessage& m, PropList& own, std::int64_t& size) {
  content::Derived d;
  std::optional<std::int64_t> id;
  std::int64_t rawSize = static_cast<std::int64_t>(m.bytes.size());
  if (m.held) {
    if (!hasKeys_ || m.key.empty()) return std::nullopt;
    auto s = db_.Prepare(
        "SELECT c.id, c.size, c.light, c.codec FROM content_key k CROSS JOIN content c ON c.id = k.content_id"
        " WHERE k.key=?");
    s.BindBlob(1, m.key);
    if (!s.Step()) return std::nullopt;
    id = s.Int(0);
    rawSize = s.Int(1);
    if (content::IsRows(s.Int(3))) {
      // A message kept whole: its key covers its flags, so the content is
      // the message as it is now.
      own.clear();
      size = rawSize;
      return id;
    }
    d.light = content::DecodeProps(s.Text(2));
  } else {
    const auto* ready = dynamic_cast<const Prepared*>(m.prepared.get());
    const std::string digest = ready ? ready->digest : content::Sha256(m.bytes);
    id = KnownContent(digest, d);
    if (!id) {
      d = ready ? ready->derived : content::Summarize(content::DeriveMessage(m.bytes));
      id = InsertContent(digest, m.bytes, d, ready ? &ready->packed : nullptr);
    }
    if (hasKeys_ && !m.key.empty())
      db_.Prepare("INSERT OR REPLACE INTO content_key(key, content_id) VALUES(?,?)").BindBlob(1, m.key).Bind(2, *id).Run();
  }
  own = OwnOf(WithFlagsAndTime(d.light, m.flags, m.deliveryTime), d);
  size = SharedSize(rawSize, d.light, own);
  return id;
}

// New bytes cost a digest, a conversion and a compression: done where the
// bytes are loaded, while this store writes the ones before.
void SqliteStore::PrepareInternet(InternetMessage& m) const {
  if (!hasContent_ || m.held || !m.deliveryTime) return;
  auto p = std::make_shared<Prepared>();
  p->digest = content::Sha256(m.bytes);
  p->derived = content::Summarize(content::DeriveMessage(m.bytes));
  p->packed = content::Pack(m.bytes);
  m.prepared = std::move(p);
}

std::vector<bool> SqliteStore::HeldKeys(std::span<const std::string> keys) {
  std::vector<bool> out(keys.size(), false);
  if (!hasKeys_) return out;
  auto tx = BeginRead();
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].empty()) continue;
    auto s = db_.Prepare("SELECT 1 FROM content_key k CROSS JOIN content c ON c.id = k.content_id WHERE k.key=?");
    s.BindBlob(1, keys[k]);
    out[k] = s.Step();
  }
  tx->Commit();
  return out;
}

std::optional<std::pair<std::int64_t, std::string>> SqliteStore::FolderDigest(ObjId folder) {
  std::string fed;
  std::int64_t count = 0;
  auto s = db_.Prepare("SELECT associated, content_id, own FROM message WHERE folder_id=? ORDER BY associated, id");
  s.Bind(1, folder);
  while (s.Step()) {
    if (s.IsNull(1)) return std::nullopt;  // a message kept as rows
    const std::string own = s.Text(2);
    fed += std::to_string(s.Int(0)) + " " + std::to_string(s.Int(1)) + " " + std::to_string(own.size()) + " ";
    fed += own;
    ++count;
  }
  return std::make_pair(count, content::Sha256(fed));
}

void SqliteStore::RememberFolder(const std::string& folderKey, ObjId folder) {
  if (!hasKeys_ || folderKey.empty()) return;
  auto tx = BeginWrite();
  if (auto d = FolderDigest(folder))
    db_.Prepare("INSERT OR REPLACE INTO folder_key(key, folder_id, messages, digest) VALUES(?,?,?,?)")
        .BindBlob(1, folderKey)
        .Bind(2, folder)
        .Bind(3, d->first)
        .BindBlob(4, d->second)
        .Run();
  tx->Commit();
}

bool SqliteStore::CopyRememberedFolder(const std::string& folderKey, ObjId into, std::uint64_t& messages) {
  if (!hasKeys_ || folderKey.empty()) return false;
  auto tx = BeginWrite();
  ObjId from = 0;
  std::int64_t count = 0;
  std::string digest;
  {
    auto s = db_.Prepare("SELECT folder_id, messages, digest FROM folder_key WHERE key=?");
    s.BindBlob(1, folderKey);
    if (!s.Step()) return false;
    from = s.Int(0);
    count = s.Int(1);
    digest = s.Text(2);
  }
  // Only the copy as it was made: a client may have changed it since.
  const auto now = FolderDigest(from);
  if (from == into || !now || now->first != count || now->second != digest) return false;
  const auto stamp = NowFiletime();
  db_.Prepare(
         "INSERT INTO message(folder_id, associated, created, modified, size, content_id, own)"
         " SELECT ?, associated, ?, ?, size, content_id, own FROM message WHERE folder_id=? ORDER BY associated, id")
      .Bind(1, into)
      .Bind(2, stamp)
      .Bind(3, stamp)
      .Bind(4, from)
      .Run();
  // The newest copy stands for the key from now on (older ones get pruned).
  db_.Prepare("UPDATE folder_key SET folder_id=? WHERE key=?").Bind(1, into).BindBlob(2, folderKey).Run();
  Touch(into);
  tx->Commit();
  messages = static_cast<std::uint64_t>(count);
  return true;
}

std::optional<ObjId> SqliteStore::StoreInternet(ObjId folder, const InternetMessage& m) {
  if (!hasContent_ || (!m.deliveryTime && !m.held)) return std::nullopt;
  auto tx = BeginWrite();
  PropList own;
  std::int64_t size = 0;
  const std::optional<std::int64_t> shared = ShareInternet(m, own, size);
  if (!shared) return std::nullopt;
  const std::int64_t content = *shared;
  const auto now = NowFiletime();
  db_.Prepare("INSERT INTO message(folder_id, associated, created, modified, size, content_id, own) VALUES(?,0,?,?,?,?,?)")
      .Bind(1, folder)
      .Bind(2, now)
      .Bind(3, now)
      .Bind(4, size)
      .Bind(5, content)
      .BindBlob(6, content::EncodeProps(own))
      .Run();
  const ObjId id = db_.LastId();
  Touch(folder);
  tx->Commit();
  return id;
}

// A message without Internet bytes is kept whole as one content, shared by
// every equal message of this file; one its source names by a key is found
// by that key too, so that the next copy of it reads nothing of the source.
std::int64_t SqliteStore::ShareWhole(const MessageData& data, std::int64_t& size) {
  const std::string raw = content::EncodeMessage(data);
  const std::string digest = content::DigestOf(content::kRows, raw);
  size = static_cast<std::int64_t>(raw.size());
  auto s = db_.Prepare("SELECT id FROM content WHERE digest=?");
  s.BindBlob(1, digest);
  if (s.Step()) return s.Int(0);
  content::Derived d;
  d.attachments = static_cast<std::int64_t>(data.attachments.size());
  return InsertContent(digest, raw, d, nullptr, content::kRows);
}

std::optional<ObjId> SqliteStore::StoreWhole(ObjId folder, const MessageData& data, const std::string& key) {
  if (!hasKeys_ || FindProp(data.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT))) return std::nullopt;
  auto tx = BeginWrite();
  std::int64_t size = 0;
  const std::int64_t content = ShareWhole(data, size);
  if (!key.empty())
    db_.Prepare("INSERT OR REPLACE INTO content_key(key, content_id) VALUES(?,?)").BindBlob(1, key).Bind(2, content).Run();
  const auto now = NowFiletime();
  db_.Prepare("INSERT INTO message(folder_id, associated, created, modified, size, content_id, own) VALUES(?,0,?,?,?,?,?)")
      .Bind(1, folder)
      .Bind(2, now)
      .Bind(3, now)
      .Bind(4, size)
      .Bind(5, content)
      .BindBlob(6, std::string())
      .Run();
  const ObjId id = db_.LastId();
  Touch(folder);
  tx->Commit();
  return id;
}

std::optional<InternetMessage> SqliteStore::LoadInternet(ObjId id) {
  if (!hasContent_) return std::nullopt;
  auto s = db_.Prepare(
      "SELECT m.own, c.light, c.codec, c.size, d.data FROM message m CROSS JOIN content c ON c.id = m.content_id"
      " CROSS JOIN content_data d ON d.id = c.id WHERE m.id=?");
  s.Bind(1, id);
  if (!s.Step() || content::IsRows(s.Int(2))) return std::nullopt;
  const PropList light = content::DecodeProps(s.Text(1));
  PropList merged = light;
  for (auto& p : content::DecodeProps(s.Text(0))) {
    const ULONG propId = p.id();
    std::erase_if(merged, [propId](const Prop& q) { return q.id() == propId; });
    if (p.type() != PT_UNSPECIFIED) merged.push_back(std::move(p));
  }
  std::stable_sort(merged.begin(), merged.end(), [](const Prop& a, const Prop& b) { return a.id() < b.id(); });
  InternetMessage m;
  m.flags = inet::FlagsOf(merged);
  m.deliveryTime = inet::DeliveryTimeOf(merged);
  // Only a message that is what its bytes give, but for its flags and its
  // delivery time, goes as bytes; one a client changed goes as properties.
  if (!m.deliveryTime || merged != WithFlagsAndTime(light, m.flags, m.deliveryTime)) return std::nullopt;
  m.bytes = content::Unpack(static_cast<int>(s.Int(2)), s.Text(4), s.Int(3));
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
