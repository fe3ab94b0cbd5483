#include "providers/common/store_tables.h"

namespace tesk::mapi::tables {

PropList StoreProps(sqlite::Db& ix, const PropList& computed) {
  PropList out = computed;
  auto q = ix.Prepare("SELECT prop_id, type, value FROM store_prop");
  while (q.Step()) {
    Prop p = q.PropAt(0);
    if (!FindProp(out, p.id())) out.push_back(std::move(p));
  }
  return out;
}

void SetStoreProps(sqlite::Db& ix, const PropList& props) {
  for (const auto& p : props)
    ix.Prepare("INSERT OR REPLACE INTO store_prop(prop_id, type, value) VALUES(?,?,?)").Bind(1, p.id()).Bind(2, p.type()).BindValue(3, p).Run();
}

void DeleteStoreProps(sqlite::Db& ix, std::span<const ULONG> ids) {
  for (ULONG id : ids) ix.Prepare("DELETE FROM store_prop WHERE prop_id=?").Bind(1, id).Run();
}

std::optional<ObjId> ReceiveFolder(sqlite::Db& ix, const std::string& cls, ObjId inbox, std::string* explicitClass) {
  auto q = ix.Prepare("SELECT message_class, folder_id FROM receive_folder");
  std::optional<ObjId> best;
  std::string bestClass;
  bool found = false;
  while (q.Step()) {
    const std::string c = q.Text(0);
    const bool fits = c.empty() || EqualsNoCase(c, cls) ||
                      (cls.size() > c.size() && cls[c.size()] == '.' && EqualsNoCase(cls.substr(0, c.size()), c));
    if (fits && (!found || c.size() > bestClass.size())) {
      found = true;
      best = q.Int(1);
      bestClass = c;
    }
  }
  if (!found && inbox) {
    best = inbox;
    bestClass.clear();
  }
  if (explicitClass) *explicitClass = bestClass;
  return best;
}

void SetReceiveFolder(sqlite::Db& ix, const std::string& cls, std::optional<ObjId> folder) {
  if (folder)
    ix.Prepare("INSERT OR REPLACE INTO receive_folder(message_class, folder_id) VALUES(?,?)").Bind(1, cls).Bind(2, *folder).Run();
  else
    ix.Prepare("DELETE FROM receive_folder WHERE message_class=?").Bind(1, cls).Run();
}

std::optional<FolderInfo> FolderRow(sqlite::Db& ix, ObjId id) {
  auto q = ix.Prepare(
      "SELECT parent_id, name, folder_type, created, modified,"
      " EXISTS(SELECT 1 FROM folder c WHERE c.parent_id=f.id) FROM folder f WHERE id=?");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  return FolderFromRow(q, id);
}

FolderInfo FolderFromRow(const sqlite::Stmt& q, ObjId id) {
  FolderInfo f;
  f.id = id;
  f.parent = q.IsNull(0) ? 0 : q.Int(0);
  f.name = q.Text(1);
  f.type = static_cast<ULONG>(q.Int(2));
  f.created = q.Int(3);
  f.modified = q.Int(4);
  f.hasSubfolders = q.Int(5) != 0;
  return f;
}

std::vector<ObjId> Subfolders(sqlite::Db& ix, ObjId id) {
  std::vector<ObjId> out;
  auto q = ix.Prepare("SELECT id FROM folder WHERE parent_id=? ORDER BY id");
  q.Bind(1, id);
  while (q.Step()) out.push_back(q.Int(0));
  return out;
}

std::optional<ObjId> FindSubfolder(sqlite::Db& ix, ObjId parent, const std::string& name) {
  auto q = ix.Prepare("SELECT id FROM folder WHERE parent_id=? AND name=? COLLATE NOCASE");
  q.Bind(1, parent).Bind(2, name);
  if (!q.Step()) return std::nullopt;
  return q.Int(0);
}

PropList FolderProps(sqlite::Db& ix, ObjId id, PropList computed) {
  auto q = ix.Prepare("SELECT prop_id, type, value FROM folder_prop WHERE folder_id=?");
  q.Bind(1, id);
  while (q.Step()) {
    Prop p = q.PropAt(0);
    std::erase_if(computed, [&](const Prop& o) { return o.id() == p.id(); });
    computed.push_back(std::move(p));
  }
  return computed;
}

void SetFolderProps(sqlite::Db& ix, ObjId id, const PropList& props) {
  for (const auto& p : props)
    ix.Prepare("INSERT OR REPLACE INTO folder_prop(folder_id, prop_id, type, value) VALUES(?,?,?,?)")
        .Bind(1, id).Bind(2, p.id()).Bind(3, p.type()).BindValue(4, p).Run();
}

void DeleteFolderProps(sqlite::Db& ix, ObjId id, std::span<const ULONG> ids) {
  for (ULONG pid : ids) ix.Prepare("DELETE FROM folder_prop WHERE folder_id=? AND prop_id=?").Bind(1, id).Bind(2, pid).Run();
}

}  // namespace tesk::mapi::tables
