// The message store of a PST file, its identity and its folder tree.
#include <nettle/sha2.h>

#include <algorithm>
#include <filesystem>
#include <cstring>

#include <mapitags.h>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "inetmail/rtf.h"
#include "providers/pst/pst_store.h"

namespace tesk::mapi::pst {

void PstStore::ReadMessageStore() {
  Item store;
  Error err;
  PropList props;
  if (libpff_file_get_message_store(file_, &store.p, &err) == 1 && store.p) {
    RecordSet set;
    if (libpff_item_get_record_set_by_index(store.p, 0, &set.p, nullptr) == 1 && set.p) {
      recordKey_ = BytesEntry(set.p, kIdRecordKey, PT_BINARY).value_or("");
      if (auto name = BytesEntry(set.p, kIdDisplayName, PT_UNICODE))
        ownName_ = Utf16ToUtf8(FromUtf16Bytes(StripNul16(*name)));
      else if (auto name8 = BytesEntry(set.p, kIdDisplayName, PT_STRING8))
        ownName_ = ToUtf8(StripNul8(*name8), codepage_);
      for (ULONG id : kStoreFolderIds)
        if (auto eid = BytesEntry(set.p, id, PT_BINARY)) storeFolderEids_[id] = *eid;
      if (auto mask = IntEntry(set.p, PROP_ID(PR_VALID_FOLDER_MASK), PT_LONG))
        storeProps_.push_back(Prop::Int(PR_VALID_FOLDER_MASK, *mask));
    }
  }
  if (recordKey_.size() == 16) {
    guid_ = GuidFromBytes(recordKey_);
  } else {
    recordKey_.clear();
    guid_ = NameBasedGuid(headerDigest_);
  }
  if (!instance_.empty()) guid_ = NameBasedGuid("pst instance " + GuidBytes(guid_) + instance_);
  // A name a profile can use: no backslash, no control characters.
  for (char& c : ownName_)
    if (c == '\\' || static_cast<unsigned char>(c) < 0x20) c = ' ';
  if (ownName_.empty()) ownName_ = std::filesystem::path(path_).stem().string();
}

GUID PstStore::NameBasedGuid(const std::string& name) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, name.size(), reinterpret_cast<const std::uint8_t*>(name.data()));
  std::uint8_t d[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof d, d);
  d[6] = static_cast<std::uint8_t>((d[6] & 0x0F) | 0x50);  // name-based
  d[8] = static_cast<std::uint8_t>((d[8] & 0x3F) | 0x80);
  return GuidFromBytes(std::string(reinterpret_cast<const char*>(d), 16));
}

FolderInfo PstStore::FolderInfoOf(libpff_item_t* item, ObjId id, ObjId parent) {
  FolderInfo f;
  f.id = id;
  f.parent = parent;
  f.type = parent ? FOLDER_GENERIC : FOLDER_ROOT;
  RecordSet set;
  if (libpff_item_get_record_set_by_index(item, 0, &set.p, nullptr) == 1 && set.p) {
    if (auto name = BytesEntry(set.p, kIdDisplayName, PT_UNICODE))
      f.name = Utf16ToUtf8(FromUtf16Bytes(StripNul16(*name)));
    else if (auto name8 = BytesEntry(set.p, kIdDisplayName, PT_STRING8))
      f.name = ToUtf8(StripNul8(*name8), codepage_);
    f.created = IntEntry(set.p, kIdCreated, PT_SYSTIME).value_or(0);
    f.modified = IntEntry(set.p, kIdModified, PT_SYSTIME).value_or(f.created);
    if (parent)
      if (auto t = IntEntry(set.p, kIdFolderType, PT_LONG); t && (*t == FOLDER_GENERIC || *t == FOLDER_SEARCH))
        f.type = static_cast<ULONG>(*t);
  }
  int n = 0;
  if (libpff_folder_get_number_of_sub_messages(item, &n, nullptr) == 1) f.contentCount = n;
  n = 0;
  if (associated_ && libpff_folder_get_number_of_sub_associated_contents(item, &n, nullptr) == 1) f.assocCount = n;
  return f;
}

// The whole folder tree (folders only), from the root folder down.
void PstStore::ReadFolders() {
  Item root;
  Error err;
  if (libpff_file_get_root_folder(file_, &root.p, &err) != 1 || !root.p)
    Fail(MAPI_E_CORRUPT_STORE, path_ + ": the file has no root folder (" + err.Text() + ")");
  root_ = IdOf(root.p);
  if (!root_) Fail(MAPI_E_CORRUPT_STORE, path_ + ": the root folder has no identifier");
  struct Pending {
    Item item;
    ObjId id, parent;
    int depth;
  };
  std::vector<Pending> todo;
  todo.push_back({std::move(root), root_, 0, 0});
  while (!todo.empty()) {
    Pending cur = std::move(todo.back());
    todo.pop_back();
    Folder& f = folders_[cur.id];
    f.info = FolderInfoOf(cur.item.p, cur.id, cur.parent);
    if (cur.parent) folders_[cur.parent].children.push_back(cur.id);
    if (cur.depth >= kMaxFolderDepth) continue;
    int n = 0;
    if (libpff_folder_get_number_of_sub_folders(cur.item.p, &n, nullptr) != 1) continue;
    std::vector<Pending> kids;
    for (int k = 0; k < n; ++k) {
      Item child;
      if (libpff_folder_get_sub_folder(cur.item.p, k, &child.p, nullptr) != 1 || !child.p) continue;
      const ObjId id = IdOf(child.p);
      // A folder seen already (a damaged file's loop) is left out.
      if (!id || folders_.count(id) || std::any_of(todo.begin(), todo.end(), [&](const Pending& p) { return p.id == id; }) ||
          std::any_of(kids.begin(), kids.end(), [&](const Pending& p) { return p.id == id; }))
        continue;
      kids.push_back({std::move(child), id, cur.id, cur.depth + 1});
    }
    // Children in the file's order: the stack takes them last first.
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.push_back(std::move(*it));
  }
  for (auto& [id, f] : folders_) f.info.hasSubfolders = !f.children.empty();
}

void PstStore::FindStandardFolders() {
  std::optional<ObjId> subtree;
  for (const auto& [id, eid] : storeFolderEids_) {
    auto folder = FolderOfEntryId(eid);
    if (!folder) continue;
    if (id == kIdSubtree) subtree = folder;
    storeProps_.push_back(Prop::Bytes(PROP_TAG(PT_BINARY, id), MakeObjectEntryId(guid_, ObjKind::Folder, *folder)));
  }
  if (!subtree) {
    // A file without a usable subtree entry: the first child of the root
    // that is no search folder.
    for (ObjId c : folders_[root_].children)
      if (folders_[c].info.type != FOLDER_SEARCH) {
        subtree = c;
        break;
      }
    if (!subtree) subtree = root_;
    storeProps_.push_back(Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, *subtree)));
  }
  subtree_ = *subtree;
  for (const char* name : {"Inbox", "Posteingang", "Boîte de réception", "Bandeja de entrada", "Posta in arrivo"})
    for (ObjId c : folders_[subtree_].children)
      if (!inbox_ && EqualsNoCase(folders_[c].info.name, name)) inbox_ = c;
}

}  // namespace tesk::mapi::pst
