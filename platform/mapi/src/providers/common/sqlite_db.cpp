#include "providers/common/sqlite_db.h"

#include <atomic>
#include <cstdio>

namespace tesk::mapi::sqlite {

namespace {

// Ten minutes: a second process waits for a long copy to finish.
constexpr int kBusyTimeoutMs = 10 * 60 * 1000;

std::atomic<std::uint64_t> g_fullScanSteps{0};

std::string Worded(Role role, const std::string& text) { return role == Role::Index ? "index: " + text : text; }

}  // namespace

HRESULT HrFromSqlite(int rc, Role role) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY: return MAPI_E_BUSY;
    case SQLITE_FULL: return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_READONLY: return MAPI_E_NO_ACCESS;
    case SQLITE_CONSTRAINT: return MAPI_E_COLLISION;
    default: break;
  }
  if (role == Role::Index) return MAPI_E_CORRUPT_STORE;
  switch (rc & 0xFF) {
    case SQLITE_LOCKED: return MAPI_E_BUSY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return MAPI_E_CORRUPT_STORE;
    case SQLITE_IOERR: return MAPI_E_DISK_ERROR;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return MAPI_E_NO_ACCESS;
    case SQLITE_NOMEM: return MAPI_E_NOT_ENOUGH_MEMORY;
    default: return MAPI_E_CALL_FAILED;
  }
}

// ---- statements -------------------------------------------------------------------------

Stmt::~Stmt() {
  if (s_) {
    g_fullScanSteps += static_cast<std::uint64_t>(sqlite3_stmt_status(s_, SQLITE_STMTSTATUS_FULLSCAN_STEP, 1));
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
}

void Stmt::Check(int rc) {
  if (rc != SQLITE_OK) throw MapiError(HrFromSqlite(rc, role_), Worded(role_, sqlite3_errmsg(db_)));
}

Stmt& Stmt::Bind(int k, std::int64_t v) {
  Check(sqlite3_bind_int64(s_, k, v));
  return *this;
}

Stmt& Stmt::Bind(int k, const std::string& v) {
  Check(sqlite3_bind_text(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  return *this;
}

Stmt& Stmt::BindBlob(int k, const std::string& v) {
  Check(sqlite3_bind_blob(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  return *this;
}

Stmt& Stmt::BindNull(int k) {
  Check(sqlite3_bind_null(s_, k));
  return *this;
}

Stmt& Stmt::BindValue(int k, const Prop& p) {
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

bool Stmt::Step() {
  const int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw MapiError(HrFromSqlite(rc, role_), Worded(role_, sqlite3_errmsg(db_)));
}

void Stmt::Run() {
  while (Step()) {
  }
}

std::string Stmt::Text(int c) const {
  const void* p = sqlite3_column_blob(s_, c);
  const int n = sqlite3_column_bytes(s_, c);
  return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

Prop Stmt::PropAt(int c) const {
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

// ---- connections ------------------------------------------------------------------------

Db::~Db() {
  for (auto& [sql, s] : cache_) sqlite3_finalize(s);
  if (db_) sqlite3_close_v2(db_);
}

void Db::Fail(int rc, const std::string& text) const { throw MapiError(HrFromSqlite(rc, role_), Worded(role_, text)); }

void Db::Open(const std::string& path, int flags) {
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (role_ == Role::Index)
      throw MapiError((flags & SQLITE_OPEN_READONLY) ? MAPI_E_NO_ACCESS : MAPI_E_CORRUPT_STORE,
                      "cannot open the index " + path);
    throw MapiError(HrFromSqlite(rc, role_), db_ ? sqlite3_errmsg(db_) : "cannot open store");
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

Stmt Db::Prepare(const std::string& sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    sqlite3_stmt* s = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr);
    if (rc != SQLITE_OK) Fail(rc, sqlite3_errmsg(db_));
    it = cache_.emplace(sql, s).first;
  }
  return Stmt(db_, it->second, role_);
}

void Db::Exec(const std::string& sql) {
  char* err = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    const std::string text = err ? err : "";
    sqlite3_free(err);
    Fail(rc, text);
  }
}

void Db::ForgetStatementsMentioning(const std::string& word) {
  for (auto it = cache_.begin(); it != cache_.end();) {
    if (it->first.find(word) != std::string::npos) {
      sqlite3_finalize(it->second);
      it = cache_.erase(it);
    } else {
      ++it;
    }
  }
}

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

std::uint64_t FullScanSteps() { return g_fullScanSteps.load(); }

}  // namespace tesk::mapi::sqlite
