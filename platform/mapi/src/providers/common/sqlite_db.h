// The one SQLite connection of this subsystem: the SQLite store's own files
// and the indexes other providers keep beside the mail they serve (stable
// numbers, folder properties, the store's identity). Statements are cached
// per connection, and SQLite's failures become MAPI errors.
//
// A connection (Db) and its statements are used by one thread at a time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>

#include "core/prop.h"

namespace tesk::mapi::sqlite {

// How a connection words its failures. A store file is the store itself; an
// index is the bookkeeping of a store whose mail lives elsewhere, and what
// it cannot say otherwise is a damaged store (MAPI_E_CORRUPT_STORE), named
// "index: ..." in the text.
enum class Role { StoreFile, Index };

// The MAPI error of an SQLite result code.
HRESULT HrFromSqlite(int rc, Role role);

// A prepared statement in use: binds, steps, reads. It is reset (and its
// bindings cleared) when it goes, so the cached statement can be used again.
class Stmt {
 public:
  Stmt(sqlite3* db, sqlite3_stmt* s, Role role) : db_(db), s_(s), role_(role) {}
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int k, std::int64_t v);
  Stmt& Bind(int k, const std::string& v);
  Stmt& BindBlob(int k, const std::string& v);
  Stmt& BindNull(int k);
  // A property's value in the column type its storage asks for. The value
  // must outlive the statement's use of it: large blobs are not copied.
  Stmt& BindValue(int k, const Prop& p);
  // Steps once; true while a row is available.
  bool Step();
  void Run();
  std::int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }
  double Real(int c) const { return sqlite3_column_double(s_, c); }
  bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
  std::string Text(int c) const;
  // A property from (prop_id, type, value) columns starting at c.
  Prop PropAt(int c) const;

 private:
  void Check(int rc);
  sqlite3* db_;
  sqlite3_stmt* s_;
  Role role_;
};

class Db {
 public:
  explicit Db(Role role = Role::StoreFile) : role_(role) {}
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  // Opens path (a file name, or a file: URI) with SQLITE_OPEN_* flags; a
  // second process's writer is waited for up to ten minutes.
  void Open(const std::string& path, int flags);
  sqlite3* get() const { return db_; }

  Stmt Prepare(const std::string& sql);
  void Exec(const std::string& sql);
  std::int64_t Changes() const { return sqlite3_changes64(db_); }
  std::int64_t LastId() const { return sqlite3_last_insert_rowid(db_); }
  // Statements that name an attached database must go when it is detached.
  void ForgetStatementsMentioning(const std::string& word);

 private:
  [[noreturn]] void Fail(int rc, const std::string& text) const;
  Role role_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
};

// A path as an SQLite file: URI (percent-encoded where it must be).
std::string UriPath(const std::string& path);

// Rows every connection of this subsystem has stepped through in full scans
// of a table or an index since the process began: work that grows with a
// store's size rather than with what a call touches.
std::uint64_t FullScanSteps();

}  // namespace tesk::mapi::sqlite
