#include "providers/common/standard_folders.h"

#include <mapitags.h>

#include "core/entryid.h"

namespace tesk::mapi {

void FindStandardFoldersByName(StandardFolders& roles, const std::vector<ObjId>& children,
                               const std::function<std::string(ObjId)>& nameOf) {
  static const std::array<std::initializer_list<const char*>, kRoles> names{kSentNames, kTrashNames, kDraftsNames,
                                                                            kJunkNames, kArchiveNames};
  for (ObjId f : children) {
    const std::string name = nameOf(f);
    for (int r = 0; r < kRoles; ++r)
      if (!roles[r] && NameIn(name, names[r])) roles[r] = f;
  }
}

void StandardFolderProps(const GUID& store, ObjId top, const StandardFolders& roles, PropList& storeProps,
                         PropList& inboxProps) {
  auto eid = [&](ObjId f) { return MakeObjectEntryId(store, ObjKind::Folder, f); };
  storeProps = {Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, eid(top))};
  if (roles[kSent]) storeProps.push_back(Prop::Bytes(PR_IPM_SENTMAIL_ENTRYID, eid(roles[kSent])));
  if (roles[kTrash]) storeProps.push_back(Prop::Bytes(PR_IPM_WASTEBASKET_ENTRYID, eid(roles[kTrash])));
  inboxProps.clear();
  if (roles[kDrafts]) inboxProps.push_back(Prop::Bytes(PR_IPM_DRAFTS_ENTRYID, eid(roles[kDrafts])));
}

}  // namespace tesk::mapi
