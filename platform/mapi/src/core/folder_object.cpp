#include "core/folder_object.h"

#include <mapiutil.h>

#include <algorithm>

#include "core/computed.h"
#include "core/copy.h"
#include "core/entryid.h"
#include "core/message_object.h"
#include "core/objects.h"
#include "core/progress.h"
#include "core/rows.h"

namespace tesk::mapi::objects {

namespace {

class FolderObject final : public PropObject<IMAPIFolder, IMAPIContainer, IMAPIProp> {
 public:
  FolderObject(ProviderPtr store, ObjId id) : store_(std::move(store)), id_(id) {}
  StoreProvider& store() const { return *store_; }
  const ProviderPtr& storePtr() const { return store_; }
  ObjId id() const { return id_; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    return Guard([&] {
      Require();
      return CreateTable(ContentsRowsOf(store_, id_, flags & MAPI_ASSOCIATED), out);
    });
  }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
    return Guard([&] {
      Require();
      return CreateTable(HierarchyRowsOf(store_, id_, flags & CONVENIENT_DEPTH), out);
    });
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG, ULONG* type, LPUNKNOWN* out) override {
    return OpenObjectByEntryId(store_, cb, eid, iid, type, out);
  }
  HRESULT CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      Require();
      RequireWritable(*store_);
      if (flags & MAPI_ASSOCIATED) RequireAssociatedSupport(*store_);
      return OpenMessageObject(store_, std::nullopt, id_, flags & MAPI_ASSOCIATED, iid ? *iid : IID_IMessage,
                               reinterpret_cast<void**>(out));
    });
  }
  HRESULT CreateFolder(ULONG type, LPTSTR name, LPTSTR comment, LPCIID iid, ULONG flags,
                       LPMAPIFOLDER* out) override {
    return Guard([&] {
      if (!out || !name) return MAPI_E_INVALID_PARAMETER;
      Require();
      const std::string n = NameFrom(name, flags);
      if (n.empty()) return MAPI_E_INVALID_PARAMETER;
      ObjId id = 0;
      if (auto existing = store_->FindSubfolder(id_, n)) {
        if (!(flags & OPEN_IF_EXISTS)) return MAPI_E_COLLISION;
        id = *existing;
      }
      if (!id) {
        RequireWritable(*store_);
        auto tx = store_->BeginWrite();
        id = store_->CreateFolder(id_, n, type == FOLDER_SEARCH ? FOLDER_SEARCH : FOLDER_GENERIC);
        if (comment) store_->SetFolderProps(id, {Prop::Bytes(PR_COMMENT_A, NameFrom(comment, flags))});
        tx->Commit();
      }
      auto* f = new FolderObject(store_, id);
      return Deliver<IMAPIFolder>(f, iid ? *iid : IID_IMAPIFolder, reinterpret_cast<void**>(out));
    });
  }
  HRESULT CopyMessages(LPENTRYLIST list, LPCIID, LPVOID destPtr, ULONG_PTR, LPMAPIPROGRESS progress,
                       ULONG flags) override {
    return Keep([&] {
      if (!list || !destPtr) return MAPI_E_INVALID_PARAMETER;
      Require();
      FolderObject* dest = ImplOf<FolderObject>(static_cast<IUnknown*>(static_cast<IMAPIFolder*>(destPtr)));
      if (!dest) return MAPI_E_INVALID_PARAMETER;
      if (!dest->store().GetFolder(dest->id())) return MAPI_E_NOT_FOUND;
      RequireWritable(dest->store());
      if (flags & MESSAGE_MOVE) RequireWritable(*store_);
      bool partial = false;
      auto ids = OwnMessages(list, partial);
      ProgressReporter rep((flags & MESSAGE_DIALOG) ? progress : nullptr, ids.size());
      const bool sameStore = &dest->store() == store_.get();
      if (flags & MESSAGE_MOVE && sameStore) {
        store_->MoveMessages(ids, dest->id());
        rep.Finish();
      } else {
        CopyMessageList(*store_, ids, dest->store(), dest->id(), rep);
        if (flags & MESSAGE_MOVE) store_->DeleteMessages(ids);
      }
      return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
    });
  }
  HRESULT DeleteMessages(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS progress, ULONG flags) override {
    return Keep([&] {
      if (!list) return MAPI_E_INVALID_PARAMETER;
      Require();
      RequireWritable(*store_);
      bool partial = false;
      auto ids = OwnMessages(list, partial);
      ProgressReporter rep((flags & MESSAGE_DIALOG) ? progress : nullptr, ids.size());
      auto tx = store_->BeginWrite();
      constexpr size_t kChunk = 500;
      for (size_t k = 0; k < ids.size(); k += kChunk) {
        auto chunk = std::span(ids).subspan(k, std::min(kChunk, ids.size() - k));
        store_->DeleteMessages(chunk);
        rep.Update(k + chunk.size());
      }
      tx->Commit();
      rep.Finish();
      return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
    });
  }
  HRESULT CopyFolder(ULONG cb, LPENTRYID eid, LPCIID, LPVOID destPtr, LPTSTR newName, ULONG_PTR,
                     LPMAPIPROGRESS progress, ULONG flags) override {
    return Keep([&] {
      if (!destPtr) return MAPI_E_INVALID_PARAMETER;
      Require();
      const ObjId src = OwnSubfolder(cb, eid);
      FolderObject* dest = ImplOf<FolderObject>(static_cast<IUnknown*>(static_cast<IMAPIFolder*>(destPtr)));
      if (!dest) return MAPI_E_INVALID_PARAMETER;
      auto srcInfo = store_->GetFolder(src);
      auto destInfo = dest->store().GetFolder(dest->id());
      if (!srcInfo || !destInfo) return MAPI_E_NOT_FOUND;
      const std::string name = newName ? NameFrom(newName, flags) : srcInfo->name;
      if (name.empty()) return MAPI_E_INVALID_PARAMETER;
      const bool sameStore = &dest->store() == store_.get();
      if (sameStore) {
        // The destination may not be the folder itself or lie below it.
        for (ObjId f = dest->id(); f; f = store_->GetFolder(f)->parent)
          if (f == src) return MAPI_E_FOLDER_CYCLE;
      }
      if (dest->store().FindSubfolder(dest->id(), name)) return MAPI_E_COLLISION;
      const bool move = flags & FOLDER_MOVE;
      RequireWritable(dest->store());
      if (move) RequireWritable(*store_);
      const bool subtree = move || (flags & COPY_SUBFOLDERS);
      IMAPIProgress* reporter = (flags & FOLDER_DIALOG) ? progress : nullptr;
      if (move && sameStore) {
        ProgressReporter rep(reporter, 1);
        store_->MoveFolder(src, dest->id(), name);
        rep.Finish();
        return S_OK;
      }
      ProgressReporter rep(reporter, CountWork(*store_, src, subtree));
      CopyFolderTree(*store_, src, dest->store(), dest->id(), name, subtree, rep);
      // A move between stores removes the source only after the copy is safe.
      if (move) store_->DeleteFolderTree(src, nullptr);
      return S_OK;
    });
  }
  HRESULT DeleteFolder(ULONG cb, LPENTRYID eid, ULONG_PTR, LPMAPIPROGRESS progress, ULONG flags) override {
    return Keep([&] {
      Require();
      RequireWritable(*store_);
      const ObjId victim = OwnSubfolder(cb, eid);
      const auto folders = store_->SubtreeFolders(victim);
      if (folders.size() > 1 && !(flags & DEL_FOLDERS)) return MAPI_E_HAS_FOLDERS;
      std::uint64_t messages = 0;
      for (ObjId f : folders)
        if (auto info = store_->GetFolder(f)) messages += static_cast<std::uint64_t>(info->contentCount + info->assocCount);
      if (messages && !(flags & DEL_MESSAGES)) return MAPI_E_HAS_MESSAGES;
      ProgressReporter rep((flags & FOLDER_DIALOG) ? progress : nullptr, messages + 1);
      store_->DeleteFolderTree(victim, [&](std::uint64_t done) {
        rep.Update(done);
        return true;
      });
      rep.Finish();
      return S_OK;
    });
  }
  HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS progress, ULONG flags) override {
    return Keep([&] {
      Require();
      RequireWritable(*store_);
      auto normal = store_->Messages(id_, false);
      std::vector<ObjId> assoc;
      if (flags & DEL_ASSOCIATED) assoc = store_->Messages(id_, true);
      auto children = store_->Subfolders(id_);
      std::uint64_t total = normal.size() + assoc.size();
      for (ObjId c : children) total += CountWork(*store_, c, true);
      ProgressReporter rep((flags & FOLDER_DIALOG) ? progress : nullptr, total);
      auto tx = store_->BeginWrite();
      std::uint64_t done = 0;
      for (auto* ids : {&normal, &assoc}) {
        constexpr size_t kChunk = 500;
        for (size_t k = 0; k < ids->size(); k += kChunk) {
          auto chunk = std::span(*ids).subspan(k, std::min(kChunk, ids->size() - k));
          store_->DeleteMessages(chunk);
          done += chunk.size();
          rep.Update(done);
        }
      }
      for (ObjId c : children) {
        const std::uint64_t base = done;
        const std::uint64_t work = CountWork(*store_, c, true);
        store_->DeleteFolderTree(c, [&](std::uint64_t n) {
          rep.Update(base + n);
          return true;
        });
        done = base + work;
        rep.Update(done);
      }
      tx->Commit();
      rep.Finish();
      return S_OK;
    });
  }

 protected:
  PropList AllProps() override { return FolderAllProps(*store_, id_); }
  bool IsComputed(ULONG id) const override { return FolderIdComputed(id); }
  HRESULT WriteProp(const Prop& p) override {
    if (store_->Caps().readOnly) return MAPI_E_NO_ACCESS;
    if (p.id() == PROP_ID(PR_DISPLAY_NAME)) {
      auto info = store_->GetFolder(id_);
      if (!info) return MAPI_E_OBJECT_DELETED;
      if (!info->parent) return MAPI_E_NO_ACCESS;
      auto text = ConvertTo(p, PT_STRING8);
      if (!text) return MAPI_E_INVALID_TYPE;
      if (text->b.empty()) return MAPI_E_INVALID_PARAMETER;
      if (auto other = store_->FindSubfolder(info->parent, text->b); other && *other != id_) return MAPI_E_COLLISION;
      store_->MoveFolder(id_, info->parent, text->b);
      return S_OK;
    }
    store_->SetFolderProps(id_, {p});
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    RequireWritable(*store_);
    store_->DeleteFolderProps(id_, ids);
  }

 private:
  void Require() {
    if (!store_->GetFolder(id_)) throw MapiError(MAPI_E_OBJECT_DELETED, "the folder was deleted");
  }
  // The messages of an entry list that live in this folder.
  std::vector<ObjId> OwnMessages(LPENTRYLIST list, bool& partial) {
    std::vector<ObjId> ids;
    for (ULONG k = 0; k < list->cValues; ++k) {
      auto ref = ParseObjectEntryId(list->lpbin[k].lpb, list->lpbin[k].cb);
      std::optional<MessageInfo> info;
      if (ref && ref->kind == ObjKind::Message && ref->store == store_->Guid()) info = store_->GetMessage(ref->id);
      if (info && info->folder == id_)
        ids.push_back(ref->id);
      else
        partial = true;
    }
    return ids;
  }
  ObjId OwnSubfolder(ULONG cb, LPENTRYID eid) {
    auto ref = ParseObjectEntryId(eid, cb);
    if (!ref || ref->kind != ObjKind::Folder || ref->store != store_->Guid()) throw MapiError(MAPI_E_INVALID_ENTRYID);
    auto info = store_->GetFolder(ref->id);
    if (!info || info->parent != id_) throw MapiError(MAPI_E_NOT_FOUND, "not a subfolder of this folder");
    return ref->id;
  }

  ProviderPtr store_;
  ObjId id_;
};

}  // namespace

HRESULT OpenFolderObject(ProviderPtr store, ObjId id, REFIID iid, void** out) {
  return Deliver<IMAPIFolder>(new FolderObject(std::move(store), id), iid, out);
}

}  // namespace tesk::mapi::objects
