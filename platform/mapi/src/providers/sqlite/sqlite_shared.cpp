// The store file's content kept once: messages that share their Internet
// bytes or are kept whole, the keys a copy finds them by, and the folders
// a copy can take again as they were.
#include <mapitags.h>

#include <algorithm>

#include "inetmail/inetmail.h"
#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_store.h"

namespace tesk::mapi::sqlite {

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
  const ObjId id = InsertSharing(folder, size, *shared, content::EncodeProps(own));
  tx->Commit();
  return id;
}

ObjId SqliteStore::InsertSharing(ObjId folder, std::int64_t size, std::int64_t content, const std::string& own) {
  const auto now = NowFiletime();
  db_.Prepare("INSERT INTO message(folder_id, associated, created, modified, size, content_id, own) VALUES(?,0,?,?,?,?,?)")
      .Bind(1, folder)
      .Bind(2, now)
      .Bind(3, now)
      .Bind(4, size)
      .Bind(5, content)
      .BindBlob(6, own)
      .Run();
  const ObjId id = db_.LastId();
  Touch(folder);
  return id;
}

// A message without Internet bytes is kept whole as one content, shared by
// every equal message of this file; one its source names by a key is found
// by that key too, so that the next copy of it reads nothing of the source.
std::int64_t SqliteStore::ShareWhole(const MessageData& data, std::int64_t& size) {
  const std::string raw = content::EncodeMessage(data);
  size = static_cast<std::int64_t>(raw.size());
  return WholeContent(raw, content::DigestOf(content::kRows, raw), static_cast<std::int64_t>(data.attachments.size()),
                      nullptr);
}

std::int64_t SqliteStore::WholeContent(const std::string& raw, const std::string& digest, std::int64_t attachments,
                                       const content::Packed* packed) {
  auto s = db_.Prepare("SELECT id FROM content WHERE digest=?");
  s.BindBlob(1, digest);
  if (s.Step()) return s.Int(0);
  content::Derived d;
  d.attachments = attachments;
  return InsertContent(digest, raw, d, packed, content::kRows);
}

std::optional<ObjId> SqliteStore::StoreWhole(ObjId folder, const MessageData& data, const std::string& key) {
  if (!hasKeys_ || FindProp(data.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT))) return std::nullopt;
  auto tx = BeginWrite();
  std::int64_t size = 0;
  const std::int64_t content = ShareWhole(data, size);
  if (!key.empty())
    db_.Prepare("INSERT OR REPLACE INTO content_key(key, content_id) VALUES(?,?)").BindBlob(1, key).Bind(2, content).Run();
  const ObjId id = InsertSharing(folder, size, content, std::string());
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

}  // namespace tesk::mapi::sqlite
