#include "providers/common/local_index.h"

namespace tesk::mapi::local {

PropList StoreProps(Index& ix, const PropList& computed) {
  PropList out = computed;
  Q q(ix, "SELECT prop_id, type, value FROM store_prop");
  while (q.Step()) {
    Prop p = q.PropAt(0);
    if (!FindProp(out, p.id())) out.push_back(std::move(p));
  }
  return out;
}

void SetStoreProps(Index& ix, const PropList& props) {
  for (const auto& p : props)
    Q(ix, "INSERT OR REPLACE INTO store_prop(prop_id, type, value) VALUES(?,?,?)").B(1, p.id()).B(2, p.type()).Value(3, p).Run();
}

void DeleteStoreProps(Index& ix, std::span<const ULONG> ids) {
  for (ULONG id : ids) Q(ix, "DELETE FROM store_prop WHERE prop_id=?").B(1, id).Run();
}

std::optional<ObjId> ReceiveFolder(Index& ix, const std::string& cls, ObjId inbox, std::string* explicitClass) {
  Q q(ix, "SELECT message_class, folder_id FROM receive_folder");
  std::optional<ObjId> best;
  std::string bestClass;
  bool found = false;
  while (q.Step()) {
    const std::string c = q.T(0);
    const bool fits = c.empty() || EqualsNoCase(c, cls) ||
                      (cls.size() > c.size() && cls[c.size()] == '.' && EqualsNoCase(cls.substr(0, c.size()), c));
    if (fits && (!found || c.size() > bestClass.size())) {
      found = true;
      best = q.I(1);
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

void SetReceiveFolder(Index& ix, const std::string& cls, std::optional<ObjId> folder) {
  if (folder)
    Q(ix, "INSERT OR REPLACE INTO receive_folder(message_class, folder_id) VALUES(?,?)").B(1, cls).B(2, *folder).Run();
  else
    Q(ix, "DELETE FROM receive_folder WHERE message_class=?").B(1, cls).Run();
}

std::optional<FolderInfo> FolderRow(Index& ix, ObjId id) {
  Q q(ix,
      "SELECT parent_id, name, folder_type, created, modified,"
      " EXISTS(SELECT 1 FROM folder c WHERE c.parent_id=f.id) FROM folder f WHERE id=?");
  q.B(1, id);
  if (!q.Step()) return std::nullopt;
  FolderInfo f;
  f.id = id;
  f.parent = q.IsNull(0) ? 0 : q.I(0);
  f.name = q.T(1);
  f.type = static_cast<ULONG>(q.I(2));
  f.created = q.I(3);
  f.modified = q.I(4);
  f.hasSubfolders = q.I(5) != 0;
  return f;
}

std::vector<ObjId> Subfolders(Index& ix, ObjId id) {
  std::vector<ObjId> out;
  Q q(ix, "SELECT id FROM folder WHERE parent_id=? ORDER BY id");
  q.B(1, id);
  while (q.Step()) out.push_back(q.I(0));
  return out;
}

std::optional<ObjId> FindSubfolder(Index& ix, ObjId parent, const std::string& name) {
  Q q(ix, "SELECT id FROM folder WHERE parent_id=? AND name=? COLLATE NOCASE");
  q.B(1, parent).B(2, name);
  if (!q.Step()) return std::nullopt;
  return q.I(0);
}

PropList FolderProps(Index& ix, ObjId id, PropList computed) {
  Q q(ix, "SELECT prop_id, type, value FROM folder_prop WHERE folder_id=?");
  q.B(1, id);
  while (q.Step()) {
    Prop p = q.PropAt(0);
    std::erase_if(computed, [&](const Prop& o) { return o.id() == p.id(); });
    computed.push_back(std::move(p));
  }
  return computed;
}

void SetFolderProps(Index& ix, ObjId id, const PropList& props) {
  for (const auto& p : props)
    Q(ix, "INSERT OR REPLACE INTO folder_prop(folder_id, prop_id, type, value) VALUES(?,?,?,?)")
        .B(1, id).B(2, p.id()).B(3, p.type()).Value(4, p).Run();
}

void DeleteFolderProps(Index& ix, ObjId id, std::span<const ULONG> ids) {
  for (ULONG pid : ids) Q(ix, "DELETE FROM folder_prop WHERE folder_id=? AND prop_id=?").B(1, id).B(2, pid).Run();
}

}  // namespace tesk::mapi::local
