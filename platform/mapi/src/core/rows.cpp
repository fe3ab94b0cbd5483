#include "core/rows.h"

#include <mapidefs.h>
#include <mapitags.h>

#include <algorithm>
#include <set>

#include "core/computed.h"
#include "core/copy.h"

namespace tesk::mapi::objects {

namespace {

class HierarchyRows : public RowSource {
 public:
  HierarchyRows(ProviderPtr store, ObjId folder, bool deep) : store_(std::move(store)), folder_(folder), deep_(deep) {}
  std::vector<std::int64_t> Keys() override {
    if (!deep_) return VisibleSubfolders(*store_, folder_);
    auto all = store_->SubtreeFolders(folder_);
    all.erase(all.begin());
    if (!store_->Caps().wholeCopyInOneCommit) {
      // Copies being built, and everything below them, are not shown.
      std::set<ObjId> hidden;
      std::erase_if(all, [&](ObjId f) {
        auto info = store_->GetFolder(f);
        if (info && (IsStagingName(info->name) || hidden.count(info->parent))) {
          hidden.insert(f);
          return true;
        }
        return false;
      });
    }
    return all;
  }
  std::vector<PropList> Fetch(std::span<const std::int64_t> keys, std::span<const ULONG> tags) override {
    std::vector<PropList> out;
    for (auto k : keys) {
      PropList all = FolderAllProps(*store_, k);
      if (deep_) all.push_back(Prop::Int(PR_DEPTH, Depth(k)));
      out.push_back(SelectColumns(all, tags));
    }
    return out;
  }
  std::vector<ULONG> DefaultColumns() override {
    return {PR_ENTRYID, PR_DISPLAY_NAME_A, PR_INSTANCE_KEY, PR_CONTENT_COUNT, PR_SUBFOLDERS, PR_CONTAINER_CLASS_A};
  }

 private:
  std::int64_t Depth(ObjId id) {
    std::int64_t depth = 0;
    while (id && id != folder_) {
      auto info = store_->GetFolder(id);
      if (!info) break;
      id = info->parent;
      ++depth;
    }
    return depth;
  }
  ProviderPtr store_;
  ObjId folder_;
  bool deep_;
};

class ContentsRows : public RowSource {
 public:
  ContentsRows(ProviderPtr store, ObjId folder, bool associated)
      : store_(std::move(store)), folder_(folder), associated_(associated) {}
  std::vector<std::int64_t> Keys() override { return store_->Messages(folder_, associated_); }
  std::vector<PropList> Fetch(std::span<const std::int64_t> keys, std::span<const ULONG> tags) override {
    // Stored properties are read only when a column needs them.
    const bool needStored = std::any_of(tags.begin(), tags.end(), [](ULONG t) {
      return !MessageIdComputed(PROP_ID(t)) || PROP_ID(t) == PROP_ID(PR_MESSAGE_FLAGS);
    });
    std::vector<PropList> out;
    for (auto k : keys) {
      auto info = store_->GetMessage(k);
      if (!info) {
        out.push_back(SelectColumns({}, tags));
        continue;
      }
      PropList stored = needStored ? store_->MessageProps(k) : PropList{};
      out.push_back(SelectColumns(MessageComputed(*store_, k, info->folder, info->associated, info->created,
                                                  info->modified, info->size, info->hasAttachments, stored),
                                  tags));
    }
    return out;
  }
  std::vector<ULONG> DefaultColumns() override {
    return {PR_ENTRYID, PR_INSTANCE_KEY, PR_SUBJECT_A, PR_MESSAGE_CLASS_A, PR_MESSAGE_FLAGS, PR_MESSAGE_SIZE};
  }

 private:
  ProviderPtr store_;
  ObjId folder_;
  bool associated_;
};

}  // namespace

std::unique_ptr<RowSource> HierarchyRowsOf(ProviderPtr store, ObjId folder, bool deep) {
  return std::make_unique<HierarchyRows>(std::move(store), folder, deep);
}

std::unique_ptr<RowSource> ContentsRowsOf(ProviderPtr store, ObjId folder, bool associated) {
  return std::make_unique<ContentsRows>(std::move(store), folder, associated);
}

}  // namespace tesk::mapi::objects
