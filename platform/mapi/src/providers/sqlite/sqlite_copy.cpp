// Copies between two store files (or within one) by set-based statements:
// the source file is attached to the destination's connection, and its rows
// are copied chunk by chunk without passing through the MAPI objects.
#include <mapitags.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <future>

#include "inetmail/inetmail.h"
#include "providers/sqlite/sqlite_store.h"

namespace tesk::mapi::sqlite {

namespace {

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

}  // namespace

// Attaches another store file for set-based copies (not needed for a copy
// within this store).
struct SqliteStore::Attached {
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
    srcContent = src.hasContent_;
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
  bool srcContent = true;  // the source file has content rows
};

// A copy from another store file (attached before the copy engine's
// transaction begins, detached after it ends) or within this one: each
// folder's messages go by set-based statements.
class SqliteStore::FolderCopy final : public StoreProvider::FolderCopier {
 public:
  FolderCopy(SqliteStore& self, SqliteStore& src) : self_(self), attached_(self, src) {}
  bool CopyContents(ObjId srcFolder, ObjId destFolder, const StepFn& step) override {
    const std::string& s = attached_.schema;
    self_.StartMessageSet();
    self_.db_.Prepare("INSERT INTO temp.mcopy(old, folder) SELECT m.id, ?1 FROM " + s + ".message m WHERE m.folder_id = ?2")
        .Bind(1, destFolder)
        .Bind(2, srcFolder)
        .Run();
    self_.CopyMessageSet(s, attached_.srcContent, step);
    return true;
  }
  void Commit(Transaction& tx, const StepFn& step) override { CommitKeepingAlive(tx, step); }

 private:
  SqliteStore& self_;
  Attached attached_;
};

std::unique_ptr<StoreProvider::FolderCopier> SqliteStore::BeginFolderCopy(StoreProvider& srcBase, ObjId, ObjId) {
  auto* src = dynamic_cast<SqliteStore*>(&srcBase);
  // Inside a caller's transaction no file can be attached.
  if (!src || depth_ != 0) return nullptr;
  return std::make_unique<FolderCopy>(*this, *src);
}

bool SqliteStore::CopyMessagesFrom(StoreProvider& srcBase, std::span<const ObjId> ids, ObjId destFolder,
                        const StepFn& step) {
  auto* src = dynamic_cast<SqliteStore*>(&srcBase);
  if (!src || depth_ != 0) return false;
  if (ids.empty()) return true;
  Attached attached(*this, *src);
  const std::string& s = attached.schema;
  auto tx = BeginWrite();
  StartMessageSet();
  for (ObjId id : ids)
    db_.Prepare("INSERT OR IGNORE INTO temp.mcopy(old, folder) VALUES(?,?)").Bind(1, id).Bind(2, destFolder).Run();
  CopyMessageSet(s, attached.srcContent, step);
  Touch(destFolder);
  CommitKeepingAlive(*tx, step);
  return true;
}

// The messages a set-based copy takes: source id and destination folder.
void SqliteStore::StartMessageSet() {
  db_.Exec("CREATE TEMP TABLE IF NOT EXISTS mcopy(old INTEGER PRIMARY KEY, folder INTEGER NOT NULL)");
  db_.Exec("DELETE FROM temp.mcopy");
  // Those of them a chunk keeps whole (KeepWhole).
  db_.Exec("CREATE TEMP TABLE IF NOT EXISTS mwhole(old INTEGER PRIMARY KEY)");
}

// Copies the messages of temp.mcopy from schema s, in chunks of at most
// kCopyChunk of them, each id shifted by one offset past every id the
// destination has used (so the source's order stays).
void SqliteStore::CopyMessageSet(const std::string& s, bool srcContent, const StepFn& step) {
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
    done += CopyMessageRange(s, srcContent, a, b, offset);
    if (step && !step(done)) throw MapiError(MAPI_E_USER_CANCEL);
    a = b + 1;
  }
}

std::int64_t SqliteStore::CopyMessageRange(const std::string& s, bool srcContent, std::int64_t a, std::int64_t b,
                                           std::int64_t offset) {
  // Contents go by digest: one this file has already is shared, not copied
  // again (the message rows' triggers count the references).
  std::string content = "NULL", own = srcContent ? "m.own" : "NULL";
  if (srcContent && s == "main") {
    content = "m.content_id";
  } else if (srcContent) {
    db_.Prepare("INSERT OR IGNORE INTO main.content(digest, size, codec, attachments, heavy_digest, heavy_tags, light)"
                " SELECT c.digest, c.size, c.codec, c.attachments, c.heavy_digest, c.heavy_tags, c.light"
                " FROM temp.mcopy x CROSS JOIN " + s + ".message m ON m.id = x.old CROSS JOIN " + s +
                ".content c ON c.id = m.content_id WHERE x.old BETWEEN ?1 AND ?2")
        .Bind(1, a).Bind(2, b).Run();
    // The bytes of the contents this chunk brought in.
    db_.Prepare("INSERT OR IGNORE INTO main.content_data(id, data) SELECT mc.id, sd.data FROM temp.mcopy x CROSS JOIN " +
                s + ".message m ON m.id = x.old CROSS JOIN " + s + ".content sc ON sc.id = m.content_id"
                " CROSS JOIN main.content mc ON mc.digest = sc.digest CROSS JOIN " + s +
                ".content_data sd ON sd.id = sc.id WHERE x.old BETWEEN ?1 AND ?2"
                " AND NOT EXISTS(SELECT 1 FROM main.content_data d WHERE d.id = mc.id)")
        .Bind(1, a).Bind(2, b).Run();
    content = "(SELECT mc.id FROM " + s + ".content sc CROSS JOIN main.content mc ON mc.digest = sc.digest"
              " WHERE sc.id = m.content_id)";
  }
  db_.Prepare("INSERT INTO main.message(id, folder_id, associated, created, modified, size, content_id, own)"
              " SELECT m.id + ?3, x.folder, m.associated, m.created, m.modified, m.size, " + content + ", " + own +
              " FROM temp.mcopy x CROSS JOIN " + s + ".message m ON m.id = x.old WHERE x.old BETWEEN ?1 AND ?2")
      .Bind(1, a).Bind(2, b).Bind(3, offset).Run();
  const std::int64_t n = db_.Changes();
  if (n == 0) return 0;
  // The normal messages the source keeps as rows (made through MAPI, or
  // kept so by a file of the first format) are kept whole here, each
  // sharing the content of every equal message: a snapshot of them costs
  // nothing where an earlier one holds them. A message that has Internet
  // bytes beside rows that differ from them stays rows.
  std::vector<ObjId> whole;
  if (hasKeys_) {
    db_.Exec("DELETE FROM temp.mwhole");
    db_.Prepare("INSERT INTO temp.mwhole(old) SELECT m.id FROM temp.mcopy x CROSS JOIN " + s +
                ".message m ON m.id = x.old WHERE x.old BETWEEN ?1 AND ?2 AND m.associated = 0" +
                (srcContent ? std::string(" AND m.content_id IS NULL") : std::string()) + " AND NOT EXISTS(SELECT 1 FROM " +
                s + ".message_prop p WHERE p.message_id = m.id AND p.prop_id = ?3)")
        .Bind(1, a).Bind(2, b).Bind(3, static_cast<std::int64_t>(PROP_ID(inet::PR_TESK_INTERNET_CONTENT)))
        .Run();
    auto w = db_.Prepare("SELECT old FROM temp.mwhole ORDER BY old");
    whole = Ids(w);
  }
  const std::string rowsOnly = whole.empty() ? std::string() : " AND NOT EXISTS(SELECT 1 FROM temp.mwhole w WHERE w.old = x.old)";
  for (const char* t : {"message_prop(message_id, prop_id, type, value) SELECT p.message_id + ?3, p.prop_id, p.type, p.value",
                        "recipient(message_id, row_id, prop_id, type, value) SELECT p.message_id + ?3, p.row_id, p.prop_id, p.type, p.value",
                        "attachment(message_id, attach_num, prop_id, type, value) SELECT p.message_id + ?3, p.attach_num, p.prop_id, p.type, p.value"}) {
    std::string table(t, std::strchr(t, '('));
    db_.Prepare(std::string("INSERT INTO main.") + t + " FROM temp.mcopy x CROSS JOIN " + s + "." + table +
                " p ON p.message_id = x.old WHERE x.old BETWEEN ?1 AND ?2" + rowsOnly)
        .Bind(1, a).Bind(2, b).Bind(3, offset).Run();
  }
  KeepWhole(s, whole, offset);
  return n;
}

// Keeps the messages ids of schema s whole, as copies at id + offset that
// were written without their rows. Their rows are read here, batch by batch
// bounded in bytes; the encoding, digest and compression of the batches
// run on other threads while the next batch is read and the last one
// written.
void SqliteStore::KeepWhole(const std::string& s, std::span<const ObjId> ids, std::int64_t offset) {
  struct One {
    ObjId id = 0;
    std::int64_t attachments = 0;
    std::string raw, digest;
    content::Packed packed;
  };
  using Read = std::vector<std::pair<ObjId, MessageData>>;
  std::size_t k = 0;
  auto read = [&] {
    Read out;
    std::uint64_t bytes = 0;
    while (k < ids.size() && bytes < kWholeBatchBytes) {
      MessageData m = LoadRows(s, ids[k]);
      bytes += MessageBytes(m);
      out.emplace_back(ids[k++], std::move(m));
    }
    return out;
  };
  content::Packer packers[kWholeEncoders + 1];  // one for each batch in work
  std::size_t batches = 0;
  auto encode = [](Read in, content::Packer& packer) {
    std::vector<One> out;
    for (auto& [id, m] : in) {
      One o;
      o.id = id;
      o.attachments = static_cast<std::int64_t>(m.attachments.size());
      o.raw = content::EncodeMessage(std::move(m));
      o.digest = content::DigestOf(content::kRows, o.raw);
      o.packed = packer.Pack(o.raw);
      out.push_back(std::move(o));
    }
    return out;
  };
  auto write = [&](const std::vector<One>& batch) {
    for (const One& o : batch) {
      const std::int64_t shared = WholeContent(o.raw, o.digest, o.attachments, &o.packed);
      db_.Prepare("UPDATE main.message SET content_id=?, own=?, size=? WHERE id=?")
          .Bind(1, shared)
          .BindBlob(2, std::string())
          .Bind(3, static_cast<std::int64_t>(o.raw.size()))
          .Bind(4, o.id + offset)
          .Run();
    }
  };
  // Batches are encoded while the next one is read, and written in order
  // as they are ready.
  std::deque<std::future<std::vector<One>>> pending;
  while (k < ids.size() || !pending.empty()) {
    if (k < ids.size())
      pending.push_back(std::async(std::launch::async, encode, read(), std::ref(packers[batches++ % (kWholeEncoders + 1)])));
    if (pending.size() > kWholeEncoders || k >= ids.size()) {
      const std::vector<One> done = pending.front().get();
      pending.pop_front();
      write(done);
    }
  }
}

std::int64_t SqliteStore::NextMessageId() {
  const auto seq = QueryInt("SELECT coalesce((SELECT seq FROM main.sqlite_sequence WHERE name='message'), 0)", 0);
  const auto max = QueryInt("SELECT coalesce(max(id), 0) FROM main.message", 0);
  return std::max(seq, max) + 1;
}

}  // namespace tesk::mapi::sqlite
