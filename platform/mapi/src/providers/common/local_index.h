// A small SQLite connection for the indexes providers keep beside the
// mail they serve (stable numbers, folder properties, the store's identity):
// cached statements, and SQLite's failures as MAPI errors.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>

#include <mapicode.h>

#include <optional>
#include <span>
#include <vector>

#include "provider.h"

namespace tesk::mapi::local {

class Index {
 public:
  ~Index() {
    for (auto& [sql, s] : cache_) sqlite3_finalize(s);
    if (db_) sqlite3_close_v2(db_);
  }
  void Open(const std::string& path, bool readOnly) {
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
      throw MapiError(readOnly ? MAPI_E_NO_ACCESS : MAPI_E_CORRUPT_STORE, "cannot open the index " + path);
    sqlite3_busy_timeout(db_, 10 * 60 * 1000);
  }
  sqlite3_stmt* Prepare(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) Check(SQLITE_ERROR);
      it = cache_.emplace(sql, s).first;
    }
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    std::string text = err ? err : "";
    sqlite3_free(err);
    if (rc != SQLITE_OK) throw MapiError(rc == SQLITE_BUSY ? MAPI_E_BUSY : MAPI_E_CORRUPT_STORE, "index: " + text);
  }
  void Check(int rc) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
    const int base = rc & 0xFF;
    throw MapiError(base == SQLITE_CONSTRAINT ? MAPI_E_COLLISION
         : base == SQLITE_BUSY     ? MAPI_E_BUSY
         : base == SQLITE_FULL     ? MAPI_E_NOT_ENOUGH_DISK
         : base == SQLITE_READONLY ? MAPI_E_NO_ACCESS
                                   : MAPI_E_CORRUPT_STORE,
         std::string("index: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
};

// One statement run: binds, steps, reads.
class Q {
 public:
  Q(Index& ix, const std::string& sql) : ix_(ix), s_(ix.Prepare(sql)) {}
  ~Q() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Q(const Q&) = delete;
  Q& operator=(const Q&) = delete;
  Q& B(int k, std::int64_t v) {
    ix_.Check(sqlite3_bind_int64(s_, k, v));
    return *this;
  }
  Q& B(int k, const std::string& v) {
    ix_.Check(sqlite3_bind_text(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Q& Blob(int k, const std::string& v) {
    ix_.Check(sqlite3_bind_blob(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Q& Null(int k) {
    ix_.Check(sqlite3_bind_null(s_, k));
    return *this;
  }
  Q& Value(int k, const Prop& p) {
    switch (StorageOf(p.type())) {
      case Storage::Integer: return B(k, p.i);
      case Storage::Real: ix_.Check(sqlite3_bind_double(s_, k, p.d)); return *this;
      default: return Blob(k, p.b);
    }
  }
  bool Step() {
    const int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    ix_.Check(rc);
    return false;
  }
  void Run() {
    while (Step()) {
    }
  }
  std::int64_t I(int c) const { return sqlite3_column_int64(s_, c); }
  bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
  std::string T(int c) const {
    const void* p = sqlite3_column_blob(s_, c);
    const int n = sqlite3_column_bytes(s_, c);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }
  Prop PropAt(int c) const {
    Prop p;
    p.tag = PROP_TAG(static_cast<ULONG>(I(c + 1)), static_cast<ULONG>(I(c)));
    switch (StorageOf(p.type())) {
      case Storage::Integer: p.i = I(c + 2); break;
      case Storage::Real: p.d = sqlite3_column_double(s_, c + 2); break;
      default: p.b = T(c + 2); break;
    }
    return p;
  }

 private:
  Index& ix_;
  sqlite3_stmt* s_;
};

// ---- what every such index keeps alike -----------------------------------------------
// The tables store_prop(prop_id, type, value), receive_folder(message_class,
// folder_id), folder(id, parent_id, name, ...) and folder_prop(folder_id,
// prop_id, type, value).

// The store's properties: the computed ones first, then the stored.
PropList StoreProps(Index& ix, const PropList& computed);
void SetStoreProps(Index& ix, const PropList& props);
void DeleteStoreProps(Index& ix, std::span<const ULONG> ids);
// The folder for a message class: the longest registered prefix wins, and
// the Inbox (when there is one) takes what nobody registered.
std::optional<ObjId> ReceiveFolder(Index& ix, const std::string& cls, ObjId inbox, std::string* explicitClass);
void SetReceiveFolder(Index& ix, const std::string& cls, std::optional<ObjId> folder);
// A folder's row (its content count left to the caller).
std::optional<FolderInfo> FolderRow(Index& ix, ObjId id);
std::vector<ObjId> Subfolders(Index& ix, ObjId id);
std::optional<ObjId> FindSubfolder(Index& ix, ObjId parent, const std::string& name);
// A folder's properties: computed ones, replaced by stored ones of the same id.
PropList FolderProps(Index& ix, ObjId id, PropList computed);
void SetFolderProps(Index& ix, ObjId id, const PropList& props);
void DeleteFolderProps(Index& ix, ObjId id, std::span<const ULONG> ids);

}  // namespace tesk::mapi::local
