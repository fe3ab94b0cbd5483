// The tables every store of this subsystem keeps alike in SQLite (a store
// file itself; the index of a Maildir, tesk-index.sqlite; the state file of
// an IMAP account), on the subsystem's one SQLite connection (sqlite_db.h):
// the store's properties, its receive folders, and folder rows and
// properties.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "provider.h"
#include "providers/common/sqlite_db.h"

namespace tesk::mapi::tables {

// The tables store_prop(prop_id, type, value), receive_folder(message_class,
// folder_id), folder(id, parent_id, name, ...) and folder_prop(folder_id,
// prop_id, type, value).

// The store's properties: the computed ones first, then the stored.
PropList StoreProps(sqlite::Db& ix, const PropList& computed);
void SetStoreProps(sqlite::Db& ix, const PropList& props);
void DeleteStoreProps(sqlite::Db& ix, std::span<const ULONG> ids);
// The folder for a message class: the longest registered prefix wins, and
// the Inbox (when there is one) takes what nobody registered.
std::optional<ObjId> ReceiveFolder(sqlite::Db& ix, const std::string& cls, ObjId inbox, std::string* explicitClass);
void SetReceiveFolder(sqlite::Db& ix, const std::string& cls, std::optional<ObjId> folder);
// A folder's row (its content count left to the caller).
std::optional<FolderInfo> FolderRow(sqlite::Db& ix, ObjId id);
// The columns of a folder's row a query gives first: parent_id, name,
// folder_type, created, modified, whether it has subfolders.
FolderInfo FolderFromRow(const sqlite::Stmt& q, ObjId id);
std::vector<ObjId> Subfolders(sqlite::Db& ix, ObjId id);
std::optional<ObjId> FindSubfolder(sqlite::Db& ix, ObjId parent, const std::string& name);
// A folder's properties: computed ones, replaced by stored ones of the same id.
PropList FolderProps(sqlite::Db& ix, ObjId id, PropList computed);
void SetFolderProps(sqlite::Db& ix, ObjId id, const PropList& props);
void DeleteFolderProps(sqlite::Db& ix, ObjId id, std::span<const ULONG> ids);

}  // namespace tesk::mapi::tables
