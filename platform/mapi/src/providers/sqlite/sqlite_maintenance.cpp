// The upkeep of a store file: its check (every content read back against
// its digest, SQLite's integrity check, the references counted), its
// statistics and its compaction.
#include <sys/stat.h>

#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_store.h"

namespace tesk::mapi::sqlite {

namespace {

std::uint64_t FileBytes(const std::string& path) {
  std::uint64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    struct stat st {};
    if (::stat((path + suffix).c_str(), &st) == 0) total += static_cast<std::uint64_t>(st.st_size);
  }
  return total;
}

std::uint64_t U(std::int64_t v) { return v > 0 ? static_cast<std::uint64_t>(v) : 0; }

}  // namespace

// Where a message lies, for the check's lines: its folder's name and id.
std::string SqliteStore::MessagePlace(ObjId id) {
  auto s = db_.Prepare("SELECT f.name, m.folder_id FROM message m JOIN folder f ON f.id = m.folder_id WHERE m.id=?");
  s.Bind(1, id);
  if (!s.Step()) return "message " + std::to_string(id);
  return "message " + std::to_string(id) + " in folder \"" + s.Text(0) + "\" (" + std::to_string(s.Int(1)) + ")";
}

std::vector<std::string> SqliteStore::Check(const StepFn& step) {
  std::vector<std::string> problems;
  {
    auto s = db_.Prepare("PRAGMA integrity_check");
    while (s.Step())
      if (s.Text(0) != "ok") problems.push_back("file: " + s.Text(0));
  }
  if (!hasContent_) return problems;
  auto tx = BeginRead();
  // Every content, one at a time (memory stays bounded by the largest).
  std::vector<std::pair<std::int64_t, std::string>> damaged;
  std::uint64_t done = 0;
  {
    auto s = db_.Prepare(
        "SELECT c.id, c.digest, c.codec, c.size, d.data FROM content c LEFT JOIN content_data d ON d.id = c.id"
        " ORDER BY c.id");
    while (s.Step()) {
      const std::int64_t id = s.Int(0);
      try {
        if (s.IsNull(4)) throw MapiError(MAPI_E_CORRUPT_STORE);
        const std::string raw = content::Unpack(static_cast<int>(s.Int(2)), s.Text(4), s.Int(3));
        if (content::DigestOf(s.Int(2), raw) != s.Text(1)) damaged.emplace_back(id, "its bytes do not match their digest");
      } catch (const MapiError&) {
        damaged.emplace_back(id, "its bytes cannot be read back");
      }
      if (step && !step(++done)) throw MapiError(MAPI_E_USER_CANCEL);
    }
  }
  for (const auto& [id, what] : damaged) {
    std::vector<ObjId> users;
    auto m = db_.Prepare("SELECT id FROM message WHERE content_id=? ORDER BY id");
    m.Bind(1, id);
    while (m.Step()) users.push_back(m.Int(0));
    std::string line = "content " + std::to_string(id) + ": " + what;
    if (users.empty()) line += "; no message uses it";
    for (ObjId u : users) line += "; " + MessagePlace(u) + " is damaged";
    problems.push_back(line);
  }
  {
    auto s = db_.Prepare(
        "SELECT c.id, c.refs, coalesce(r.n, 0) FROM content c LEFT JOIN"
        " (SELECT content_id, count(*) AS n FROM message WHERE content_id IS NOT NULL GROUP BY content_id) r"
        " ON r.content_id = c.id WHERE c.refs != coalesce(r.n, 0)");
    while (s.Step())
      problems.push_back("content " + std::to_string(s.Int(0)) + ": counted " + std::to_string(s.Int(1)) +
                         " references, " + std::to_string(s.Int(2)) + " messages use it");
  }
  {
    auto s = db_.Prepare(
        "SELECT id FROM message WHERE content_id IS NOT NULL AND content_id NOT IN (SELECT id FROM content)");
    std::vector<ObjId> lost;
    while (s.Step()) lost.push_back(s.Int(0));
    for (ObjId id : lost) problems.push_back(MessagePlace(id) + ": its content is missing");
  }
  {
    auto s = db_.Prepare("SELECT count(*) FROM content_data WHERE id NOT IN (SELECT id FROM content)");
    if (s.Step() && s.Int(0) > 0)
      problems.push_back(std::to_string(s.Int(0)) + " stored contents belong to no content row (space lost, no data)");
  }
  if (hasKeys_) {
    // A key that names no content: the triggers were bypassed.
    auto s = db_.Prepare("SELECT count(*) FROM content_key WHERE content_id NOT IN (SELECT id FROM content)");
    if (s.Step() && s.Int(0) > 0)
      problems.push_back(std::to_string(s.Int(0)) + " content keys name no content (a save reads their messages again)");
  }
  return problems;
}

StoreMaintenance::Stats SqliteStore::Statistics(std::optional<ObjId> folder) {
  Stats st;
  auto tx = BeginRead();
  db_.Exec("CREATE TEMP TABLE IF NOT EXISTS stat_folder(id INTEGER PRIMARY KEY)");
  db_.Exec("DELETE FROM temp.stat_folder");
  if (folder) {
    for (ObjId f : SubtreeFolders(*folder)) db_.Prepare("INSERT INTO temp.stat_folder(id) VALUES(?)").Bind(1, f).Run();
  } else {
    db_.Exec("INSERT INTO temp.stat_folder(id) SELECT id FROM main.folder");
  }
  auto one = [&](const std::string& sql, int columns, std::initializer_list<std::uint64_t*> out) {
    auto s = db_.Prepare(sql);
    if (!s.Step()) return;
    int c = 0;
    for (auto* o : out)
      if (c < columns) *o = U(s.Int(c++));
  };
  one("SELECT count(*), sum(name GLOB '[0-9][0-9][0-9][0-9].[0-9][0-9].[0-9][0-9] [0-9][0-9]:[0-9][0-9] *')"
      " FROM main.folder WHERE id IN (SELECT id FROM temp.stat_folder)",
      2, {&st.folders, &st.snapshots});
  one("SELECT count(*), count(" + ContentColumn() + "), sum(size) FROM main.message"
      " WHERE folder_id IN (SELECT id FROM temp.stat_folder)",
      3, {&st.messages, &st.sharedMessages, &st.logicalBytes});
  const std::string inFolders = "message_id IN (SELECT id FROM main.message WHERE folder_id IN (SELECT id FROM temp.stat_folder))";
  for (const char* table : {"message_prop", "recipient", "attachment"}) {
    std::uint64_t bytes = 0;
    one(std::string("SELECT sum(16 + coalesce(length(value), 0)) FROM main.") + table + " WHERE " + inFolders, 1,
        {&bytes});
    st.ownBytes += bytes;
  }
  st.ownBytes += st.messages * 48;  // the message rows
  if (hasContent_) {
    std::uint64_t bytes = 0;
    one("SELECT sum(coalesce(length(own), 0)) FROM main.message WHERE folder_id IN (SELECT id FROM temp.stat_folder)", 1,
        {&bytes});
    st.ownBytes += bytes;
  }
  if (hasContent_) {
    one("SELECT sum(c.size) FROM main.message m CROSS JOIN main.content c ON c.id = m.content_id"
        " WHERE m.folder_id IN (SELECT id FROM temp.stat_folder)",
        1, {&st.referencedBytes});
    one("SELECT count(*), sum(c.size), sum(length(d.data) + length(c.light) + length(c.heavy_tags) + 80)"
        " FROM main.content c LEFT JOIN main.content_data d ON d.id = c.id WHERE c.id IN"
        " (SELECT content_id FROM main.message WHERE folder_id IN (SELECT id FROM temp.stat_folder))",
        3, {&st.contents, &st.contentBytes, &st.packedBytes});
  }
  const std::uint64_t pageSize = U(QueryInt("PRAGMA page_size", 0));
  st.freeBytes = U(QueryInt("PRAGMA freelist_count", 0)) * pageSize;
  st.fileBytes = FileBytes(path_);
  tx->Commit();
  return st;
}

std::uint64_t SqliteStore::Compact() {
  if (readOnly_) throw MapiError(MAPI_E_NO_ACCESS, path_ + " is read-only");
  const std::uint64_t before = FileBytes(path_);
  if (Pragma("auto_vacuum") == 2) {
    db_.Exec("PRAGMA incremental_vacuum");
  } else {
    // A file made before incremental vacuum was switched on: rewritten
    // once, incremental from then on.
    db_.Exec("PRAGMA auto_vacuum=INCREMENTAL");
    db_.Exec("VACUUM");
  }
  db_.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  const std::uint64_t after = FileBytes(path_);
  return before > after ? before - after : 0;
}

}  // namespace tesk::mapi::sqlite
