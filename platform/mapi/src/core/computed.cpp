#include "core/computed.h"

#include <mapidefs.h>
#include <mapitags.h>

#include "core/entryid.h"
#include "core/prop_object.h"

namespace tesk::mapi::objects {

PropList FolderComputed(StoreProvider& store, const FolderInfo& f) {
  const std::string eid = MakeObjectEntryId(store.Guid(), ObjKind::Folder, f.id);
  return {Prop::Bytes(PR_ENTRYID, eid),
          Prop::Bytes(PR_PARENT_ENTRYID, MakeObjectEntryId(store.Guid(), ObjKind::Folder, f.parent ? f.parent : f.id)),
          Prop::Bytes(PR_STORE_ENTRYID, MakeStoreEntryId(store.Guid())),
          Prop::Bytes(PR_RECORD_KEY, eid),
          Prop::Bytes(PR_INSTANCE_KEY, eid),
          Prop::Bytes(PR_STORE_RECORD_KEY, GuidBytes(store.Guid())),
          Prop::Bytes(PR_DISPLAY_NAME_A, f.name),
          Prop::Int(PR_OBJECT_TYPE, MAPI_FOLDER),
          Prop::Int(PR_FOLDER_TYPE, f.type),
          Prop::Bool(PR_SUBFOLDERS, f.hasSubfolders),
          Prop::Int(PR_CONTENT_COUNT, f.contentCount),
          Prop::Int(PR_ASSOC_CONTENT_COUNT, f.assocCount),
          Prop::Int(PR_CREATION_TIME, f.created),
          Prop::Int(PR_LAST_MODIFICATION_TIME, f.modified),
          Prop::Int(PR_ACCESS, (f.holdsMessages ? AccessOf(store)
                                                : AccessOf(store) & ~(MAPI_ACCESS_CREATE_CONTENTS |
                                                                      MAPI_ACCESS_CREATE_ASSOCIATED)) &
                                   ~(f.keptByStore ? MAPI_ACCESS_DELETE : 0)),
          Prop::Int(PR_ACCESS_LEVEL, AccessLevelOf(store))};
}

bool FolderIdComputed(ULONG id) {
  return IdIn(id, {PR_ENTRYID, PR_PARENT_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_INSTANCE_KEY,
                   PR_STORE_RECORD_KEY, PR_OBJECT_TYPE, PR_FOLDER_TYPE, PR_SUBFOLDERS, PR_CONTENT_COUNT,
                   PR_ASSOC_CONTENT_COUNT, PR_CREATION_TIME, PR_LAST_MODIFICATION_TIME, PR_ACCESS, PR_ACCESS_LEVEL,
                   PR_DEPTH});
}

PropList FolderAllProps(StoreProvider& store, ObjId id) {
  auto info = store.GetFolder(id);
  if (!info) throw MapiError(MAPI_E_OBJECT_DELETED, "the folder was deleted");
  PropList all = FolderComputed(store, *info);
  for (auto& p : store.FolderProps(id))
    if (!FindProp(all, p.id())) all.push_back(std::move(p));
  return all;
}

bool MessageIdComputed(ULONG id) {
  return IdIn(id, {PR_ENTRYID, PR_PARENT_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_INSTANCE_KEY,
                   PR_STORE_RECORD_KEY, PR_OBJECT_TYPE, PR_MESSAGE_SIZE, PR_HASATTACH, PR_CREATION_TIME,
                   PR_LAST_MODIFICATION_TIME, PR_ACCESS, PR_ACCESS_LEVEL});
}

PropList MessageComputed(StoreProvider& store, std::optional<ObjId> id, ObjId folder, bool associated,
                         std::int64_t created, std::int64_t modified, std::int64_t size, bool hasAttach,
                         const PropList& stored) {
  PropList out;
  if (id) {
    const std::string eid = MakeObjectEntryId(store.Guid(), ObjKind::Message, *id);
    out.push_back(Prop::Bytes(PR_ENTRYID, eid));
    out.push_back(Prop::Bytes(PR_RECORD_KEY, eid));
    out.push_back(Prop::Bytes(PR_INSTANCE_KEY, eid));
  }
  out.push_back(Prop::Bytes(PR_PARENT_ENTRYID, MakeObjectEntryId(store.Guid(), ObjKind::Folder, folder)));
  out.push_back(Prop::Bytes(PR_STORE_ENTRYID, MakeStoreEntryId(store.Guid())));
  out.push_back(Prop::Bytes(PR_STORE_RECORD_KEY, GuidBytes(store.Guid())));
  out.push_back(Prop::Int(PR_OBJECT_TYPE, MAPI_MESSAGE));
  out.push_back(Prop::Int(PR_MESSAGE_SIZE, size));
  out.push_back(Prop::Bool(PR_HASATTACH, hasAttach));
  out.push_back(Prop::Int(PR_CREATION_TIME, created));
  out.push_back(Prop::Int(PR_LAST_MODIFICATION_TIME, modified));
  out.push_back(Prop::Int(PR_ACCESS, AccessOf(store)));
  out.push_back(Prop::Int(PR_ACCESS_LEVEL, AccessLevelOf(store)));
  const Prop* flags = FindProp(stored, PROP_ID(PR_MESSAGE_FLAGS));
  std::int64_t f = flags && flags->type() == PT_LONG ? flags->i : MSGFLAG_READ;
  if (associated) f |= MSGFLAG_ASSOCIATED;
  if (hasAttach) f |= MSGFLAG_HASATTACH;
  out.push_back(Prop::Int(PR_MESSAGE_FLAGS, f));
  for (const auto& p : stored)
    if (!FindProp(out, p.id())) out.push_back(p);
  return out;
}

}  // namespace tesk::mapi::objects
