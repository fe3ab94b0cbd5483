#include "core/objects.h"

#include <mapix.h>

#include <mapiutil.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "core/comobject.h"
#include "core/copy.h"
#include "core/entryid.h"
#include "core/progress.h"
#include "transport/spooler.h"
#include "core/table.h"

namespace tesk::mapi {

namespace {

using ProviderPtr = std::shared_ptr<StoreProvider>;

// What a client may do with the objects of a store follows from what its
// provider can do.
ULONG AccessOf(const StoreProvider& store) {
  const Capabilities caps = store.Caps();
  if (caps.readOnly) return MAPI_ACCESS_READ;
  ULONG access = MAPI_ACCESS_MODIFY | MAPI_ACCESS_READ | MAPI_ACCESS_DELETE | MAPI_ACCESS_CREATE_HIERARCHY |
                 MAPI_ACCESS_CREATE_CONTENTS;
  if (caps.associatedContents) access |= MAPI_ACCESS_CREATE_ASSOCIATED;
  return access;
}

ULONG AccessLevelOf(const StoreProvider& store) { return store.Caps().readOnly ? 0 : MAPI_MODIFY; }

ULONG SupportMaskOf(const StoreProvider& store, const std::string& kind) {
  const Capabilities caps = store.Caps();
  ULONG mask = STORE_ENTRYID_UNIQUE | STORE_ATTACH_OK | STORE_MV_PROPS_OK | STORE_RESTRICTION_OK | STORE_SORT_OK |
               STORE_UNICODE_OK;
  mask |= caps.readOnly ? STORE_READONLY : STORE_MODIFY_OK | STORE_CREATE_OK;
  if (caps.rawInternetContent) mask |= STORE_HTML_OK;
  if (kind == "public") mask |= STORE_PUBLIC_FOLDERS;
  return mask;
}

// Every write goes through here first: a read-only store refuses it.
void RequireWritable(const StoreProvider& store) {
  if (store.Caps().readOnly) throw MapiError(MAPI_E_NO_ACCESS, "the store is read-only");
}

void RequireAssociatedSupport(const StoreProvider& store) {
  if (!store.Caps().associatedContents)
    throw MapiError(MAPI_E_NO_SUPPORT, "the store keeps no associated messages");
}

std::string NameFrom(LPTSTR text, ULONG flags) {
  if (!text) return {};
  if (flags & MAPI_UNICODE) {
    const auto* w = reinterpret_cast<const char16_t*>(text);
    size_t n = 0;
    while (w[n]) ++n;
    return Utf16ToUtf8(std::u16string_view(w, n));
  }
  return text;
}

// ---- property access shared by every object -------------------------------

// The text of an object's last failure, for GetLastError: one MAPI buffer
// holding the structure and its strings.
HRESULT DeliverLastError(HRESULT hr, HRESULT lastHr, const std::string& text, LPMAPIERROR* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (hr != lastHr || text.empty()) return S_OK;
  static const char kComponent[] = "Tesk messaging subsystem";
  void* buf = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(MAPIERROR) + text.size() + 1 + sizeof kComponent), &buf)))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* e = static_cast<MAPIERROR*>(buf);
  char* strings = static_cast<char*>(buf) + sizeof(MAPIERROR);
  std::memcpy(strings, text.c_str(), text.size() + 1);
  std::memcpy(strings + text.size() + 1, kComponent, sizeof kComponent);
  *e = MAPIERROR{MAPI_ERROR_VERSION, strings, strings + text.size() + 1, 0, 0};
  *out = e;
  return S_OK;
}

template <class Top, class... Bases>
class PropObject : public UnknownImpl<Top, Bases...> {
 public:
  HRESULT GetLastError(HRESULT hr, ULONG, LPMAPIERROR* pp) override {
    return DeliverLastError(hr, lastHr_, lastError_, pp);
  }
  // Runs a method body as Guard does and keeps the text of its failure.
  template <class F>
  HRESULT Keep(F&& f) noexcept {
    std::string text;
    const HRESULT hr = Guard([&]() -> HRESULT {
      try {
        return f();
      } catch (const MapiError& e) {
        text = e.what();
        throw;
      }
    });
    if (FAILED(hr)) RememberFailure(hr, std::move(text));
    return hr;
  }
  void RememberFailure(HRESULT hr, std::string text) {
    lastHr_ = hr;
    lastError_ = std::move(text);
  }
  HRESULT SaveChanges(ULONG) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    return Guard([&] {
      if (!count || !out) return MAPI_E_INVALID_PARAMETER;
      *count = 0;
      *out = nullptr;
      PropList all = AllProps();
      PropList values;
      if (tags) {
        values = SelectColumns(all, std::span<const ULONG>(tags->aulPropTag, tags->cValues));
      } else {
        for (auto& p : all) {
          // Without a tag list strings come in the caller's width.
          const ULONG t = p.type();
          if (t == PT_UNICODE || t == PT_STRING8 || t == PT_MV_UNICODE || t == PT_MV_STRING8) {
            const bool wide = flags & MAPI_UNICODE;
            const ULONG want = (t & MV_FLAG) ? (wide ? PT_MV_UNICODE : PT_MV_STRING8) : (wide ? PT_UNICODE : PT_STRING8);
            values.push_back(*ConvertTo(p, want));
          } else {
            values.push_back(p);
          }
        }
      }
      const bool errors = std::any_of(values.begin(), values.end(), [](const Prop& p) { return p.type() == PT_ERROR; });
      *out = AllocPropArray(values);
      *count = static_cast<ULONG>(values.size());
      return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      std::vector<ULONG> tags;
      for (const auto& p : AllProps()) tags.push_back(p.tag);
      *out = AllocTagArray(tags);
      return S_OK;
    });
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetProps(ULONG n, LPSPropValue values, LPSPropProblemArray* problemsOut) override {
    return Guard([&] {
      if (!values && n) return MAPI_E_INVALID_PARAMETER;
      std::vector<SPropProblem> problems;
      PropList accepted;
      std::vector<ULONG> indexes;
      for (ULONG k = 0; k < n; ++k) {
        const ULONG type = PROP_TYPE(values[k].ulPropTag);
        if (type == PT_ERROR || type == PT_NULL || type == PT_OBJECT) continue;
        if (IsComputed(PROP_ID(values[k].ulPropTag))) {
          problems.push_back({k, values[k].ulPropTag, MAPI_E_COMPUTED});
          continue;
        }
        try {
          accepted.push_back(FromSPropValue(values[k]));
          indexes.push_back(k);
        } catch (const MapiError& e) {
          problems.push_back({k, values[k].ulPropTag, e.hr()});
        }
      }
      for (size_t k = 0; k < accepted.size(); ++k) {
        HRESULT hr = WriteProp(accepted[k]);
        if (FAILED(hr)) problems.push_back({indexes[k], accepted[k].tag, hr});
      }
      DeliverProblems(problems, problemsOut);
      return S_OK;
    });
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problemsOut) override {
    return Guard([&] {
      if (!tags) return MAPI_E_INVALID_PARAMETER;
      std::vector<SPropProblem> problems;
      std::vector<ULONG> ids;
      for (ULONG k = 0; k < tags->cValues; ++k) {
        if (IsComputed(PROP_ID(tags->aulPropTag[k])))
          problems.push_back({k, tags->aulPropTag[k], MAPI_E_COMPUTED});
        else
          ids.push_back(PROP_ID(tags->aulPropTag[k]));
      }
      RemoveProps(ids);
      DeliverProblems(problems, problemsOut);
      return S_OK;
    });
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  virtual PropList AllProps() = 0;
  virtual bool IsComputed(ULONG id) const = 0;
  virtual HRESULT WriteProp(const Prop& p) = 0;
  virtual void RemoveProps(std::span<const ULONG> ids) = 0;

 private:
  HRESULT lastHr_ = S_OK;
  std::string lastError_;

  static void DeliverProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
    if (!out) return;
    *out = nullptr;
    if (problems.empty()) return;
    void* buf = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())), &buf)))
      throw std::bad_alloc();
    auto* arr = static_cast<LPSPropProblemArray>(buf);
    arr->cProblem = static_cast<ULONG>(problems.size());
    std::copy(problems.begin(), problems.end(), arr->aProblem);
    *out = arr;
  }
};

bool IdIn(ULONG id, std::initializer_list<ULONG> tags) {
  return std::any_of(tags.begin(), tags.end(), [&](ULONG t) { return PROP_ID(t) == id; });
}

// ---- computed properties ---------------------------------------------------

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
          Prop::Int(PR_ACCESS, f.holdsMessages ? AccessOf(store)
                                               : AccessOf(store) & ~(MAPI_ACCESS_CREATE_CONTENTS |
                                                                     MAPI_ACCESS_CREATE_ASSOCIATED)),
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

// ---- tables of folders and messages ----------------------------------------

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

std::vector<ULONG> UnionOfTags(const std::vector<PropList>& rows) {
  std::vector<ULONG> tags;
  std::set<ULONG> seen;
  for (const auto& r : rows)
    for (const auto& p : r)
      if (seen.insert(p.id()).second) tags.push_back(p.tag);
  return tags;
}

// ---- messages and attachments ----------------------------------------------

class MessageObject;

class AttachObject final : public PropObject<IAttach, IMAPIProp> {
 public:
  AttachObject(MessageObject* parent, std::int64_t num, PropList props);
  ~AttachObject() override;
  HRESULT SaveChanges(ULONG) override;

 protected:
  PropList AllProps() override {
    PropList all{Prop::Int(PR_ATTACH_NUM, num_), Prop::Int(PR_OBJECT_TYPE, MAPI_ATTACH)};
    std::int64_t size = 0;
    for (const auto& p : props_) size += static_cast<std::int64_t>(p.b.size()) + 16;
    all.push_back(Prop::Int(PR_ATTACH_SIZE, size));
    for (const auto& p : props_)
      if (!FindProp(all, p.id())) all.push_back(p);
    return all;
  }
  bool IsComputed(ULONG id) const override { return IdIn(id, {PR_ATTACH_NUM, PR_OBJECT_TYPE, PR_ATTACH_SIZE}); }
  HRESULT WriteProp(const Prop& p) override {
    Put(props_, p);
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    std::erase_if(props_, [&](const Prop& p) { return std::find(ids.begin(), ids.end(), p.id()) != ids.end(); });
  }

 public:
  static void Put(PropList& list, const Prop& p) {
    std::erase_if(list, [&](const Prop& q) { return q.id() == p.id(); });
    list.push_back(p);
  }

 private:
  MessageObject* parent_;
  std::int64_t num_;
  PropList props_;
};

class MessageObject final : public PropObject<IMessage, IMAPIProp> {
 public:
  MessageObject(ProviderPtr store, std::optional<ObjId> id, ObjId folder, bool associated)
      : store_(std::move(store)), id_(id), folder_(folder), associated_(associated) {
    if (id_) {
      auto info = store_->GetMessage(*id_);
      if (!info) throw MapiError(MAPI_E_NOT_FOUND, "message not found");
      info_ = *info;
      associated_ = info->associated;
      folder_ = info->folder;
      data_ = store_->LoadMessage(*id_);
    }
  }

  HRESULT SaveChanges(ULONG) override {
    return Keep([&] {
      RequireWritable(*store_);
      if (associated_) RequireAssociatedSupport(*store_);
      auto tx = store_->BeginWrite();
      if (!store_->GetFolder(folder_)) return MAPI_E_OBJECT_DELETED;
      ObjId id = store_->StoreMessage(folder_, associated_, data_, id_);
      tx->Commit();
      id_ = id;
      if (auto info = store_->GetMessage(id)) info_ = *info;
      return S_OK;
    });
  }
  HRESULT GetAttachmentTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows = data_.attachments;
      auto columns = UnionOfTags(rows);
      if (columns.empty()) columns = {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_A};
      return CreateTable(std::make_unique<StaticRowSource>(std::move(rows), std::move(columns)), out);
    });
  }
  HRESULT OpenAttach(ULONG num, LPCIID iid, ULONG, LPATTACH* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      for (const auto& a : data_.attachments) {
        const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM));
        if (n && n->i == num) {
          PropList props;
          for (const auto& p : a)
            if (p.id() != PROP_ID(PR_ATTACH_NUM)) props.push_back(p);
          auto* obj = new AttachObject(this, num, std::move(props));
          return Deliver<IAttach>(obj, iid ? *iid : IID_IAttachment, reinterpret_cast<void**>(out));
        }
      }
      return MAPI_E_NOT_FOUND;
    });
  }
  HRESULT CreateAttach(LPCIID iid, ULONG, ULONG* num, LPATTACH* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      std::int64_t next = 0;
      for (const auto& a : data_.attachments)
        if (const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM))) next = std::max(next, n->i + 1);
      next = std::max(next, nextAttach_);
      nextAttach_ = next + 1;
      if (num) *num = static_cast<ULONG>(next);
      auto* obj = new AttachObject(this, next, {});
      return Deliver<IAttach>(obj, iid ? *iid : IID_IAttachment, reinterpret_cast<void**>(out));
    });
  }
  HRESULT DeleteAttach(ULONG num, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    const auto before = data_.attachments.size();
    std::erase_if(data_.attachments, [&](const PropList& a) {
      const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM));
      return n && n->i == num;
    });
    return before == data_.attachments.size() ? MAPI_E_NOT_FOUND : S_OK;
  }
  HRESULT GetRecipientTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows = data_.recipients;
      auto columns = UnionOfTags(rows);
      if (columns.empty()) columns = {PR_ROWID, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_RECIPIENT_TYPE};
      return CreateTable(std::make_unique<StaticRowSource>(std::move(rows), std::move(columns)), out);
    });
  }
  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override {
    return Guard([&] {
      if (!mods) return MAPI_E_INVALID_PARAMETER;
      auto rowIdOf = [](const PropList& r) {
        const Prop* p = FindProp(r, PROP_ID(PR_ROWID));
        return p ? p->i : -1;
      };
      std::vector<PropList> entries;
      for (ULONG k = 0; k < mods->cEntries; ++k) {
        PropList r;
        const ADRENTRY& e = mods->aEntries[k];
        for (ULONG j = 0; j < e.cValues; ++j) {
          const ULONG type = PROP_TYPE(e.rgPropVals[j].ulPropTag);
          if (type == PT_ERROR || type == PT_NULL || type == PT_OBJECT) continue;
          r.push_back(FromSPropValue(e.rgPropVals[j]));
        }
        entries.push_back(std::move(r));
      }
      std::int64_t next = 0;
      for (const auto& r : data_.recipients) next = std::max(next, rowIdOf(r) + 1);
      if (flags & MODRECIP_REMOVE) {
        for (const auto& e : entries) {
          auto id = rowIdOf(e);
          std::erase_if(data_.recipients, [&](const PropList& r) { return rowIdOf(r) == id; });
        }
      } else if (flags & MODRECIP_MODIFY) {
        for (auto& e : entries) {
          auto id = rowIdOf(e);
          for (auto& r : data_.recipients)
            if (rowIdOf(r) == id) r = e;
        }
      } else {
        if (!(flags & MODRECIP_ADD)) {
          data_.recipients.clear();
          next = 0;
        }
        for (auto& e : entries) {
          std::erase_if(e, [](const Prop& p) { return p.id() == PROP_ID(PR_ROWID); });
          e.insert(e.begin(), Prop::Int(PR_ROWID, next++));
          data_.recipients.push_back(std::move(e));
        }
      }
      return S_OK;
    });
  }
  // Saves the message as submitted and hands it to the session's transport
  // at once. Without a transport it waits in its folder (the Outbox); when
  // the transport cannot deliver it stays there too, and the failure is
  // returned.
  HRESULT SubmitMessage(ULONG) override {
    return Guard([&] {
      if (data_.recipients.empty()) return MAPI_E_NO_RECIPIENTS;
      const Prop* f = FindProp(data_.props, PROP_ID(PR_MESSAGE_FLAGS));
      std::int64_t flags = f ? f->i : 0;
      AttachObject::Put(data_.props, Prop::Int(PR_MESSAGE_FLAGS, (flags | MSGFLAG_SUBMIT | MSGFLAG_UNSENT) &
                                                                   ~std::int64_t{MSGFLAG_READ}));
      HRESULT hr = SaveChanges(0);
      if (FAILED(hr)) return hr;
      if (!store_->transport) return S_OK;
      std::string error;
      hr = DeliverSubmitted(*store_, *id_, *store_->transport, &error);
      if (FAILED(hr)) RememberFailure(hr, error);
      if (auto info = store_->GetMessage(*id_)) {
        info_ = *info;
        data_ = store_->LoadMessage(*id_);
      }
      return hr;
    });
  }
  HRESULT SetReadFlag(ULONG flags) override {
    return Guard([&] {
      const Prop* p = FindProp(data_.props, PROP_ID(PR_MESSAGE_FLAGS));
      std::int64_t f = p ? p->i : 0;
      f = (flags & 0x4 /* CLEAR_READ_FLAG */) ? (f & ~std::int64_t{MSGFLAG_READ}) : (f | MSGFLAG_READ);
      AttachObject::Put(data_.props, Prop::Int(PR_MESSAGE_FLAGS, f));
      return id_ ? SaveChanges(0) : S_OK;
    });
  }

  void PutAttachment(std::int64_t num, const PropList& props) {
    PropList row{Prop::Int(PR_ATTACH_NUM, num)};
    row.insert(row.end(), props.begin(), props.end());
    for (auto& a : data_.attachments) {
      const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM));
      if (n && n->i == num) {
        a = std::move(row);
        return;
      }
    }
    data_.attachments.push_back(std::move(row));
  }

 protected:
  PropList AllProps() override {
    return MessageComputed(*store_, id_, folder_, associated_, info_.created, info_.modified, info_.size,
                           !data_.attachments.empty(), data_.props);
  }
  bool IsComputed(ULONG id) const override { return MessageIdComputed(id); }
  HRESULT WriteProp(const Prop& p) override {
    AttachObject::Put(data_.props, p);
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    std::erase_if(data_.props,
                  [&](const Prop& p) { return std::find(ids.begin(), ids.end(), p.id()) != ids.end(); });
  }

 private:
  ProviderPtr store_;
  std::optional<ObjId> id_;
  ObjId folder_;
  bool associated_;
  MessageInfo info_;
  MessageData data_;
  std::int64_t nextAttach_ = 0;
};

AttachObject::AttachObject(MessageObject* parent, std::int64_t num, PropList props)
    : parent_(parent), num_(num), props_(std::move(props)) {
  parent_->AddRef();
}
AttachObject::~AttachObject() { parent_->Release(); }
HRESULT AttachObject::SaveChanges(ULONG) {
  return Guard([&] {
    parent_->PutAttachment(num_, props_);
    return S_OK;
  });
}

// ---- folders ---------------------------------------------------------------

class FolderObject final : public PropObject<IMAPIFolder, IMAPIContainer, IMAPIProp> {
 public:
  FolderObject(ProviderPtr store, ObjId id) : store_(std::move(store)), id_(id) {}
  StoreProvider& store() const { return *store_; }
  const ProviderPtr& storePtr() const { return store_; }
  ObjId id() const { return id_; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    return Guard([&] {
      Require();
      return CreateTable(std::make_unique<ContentsRows>(store_, id_, flags & MAPI_ASSOCIATED), out);
    });
  }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
    return Guard([&] {
      Require();
      return CreateTable(std::make_unique<HierarchyRows>(store_, id_, flags & CONVENIENT_DEPTH), out);
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
      auto* m = new MessageObject(store_, std::nullopt, id_, flags & MAPI_ASSOCIATED);
      return Deliver<IMessage>(m, iid ? *iid : IID_IMessage, reinterpret_cast<void**>(out));
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

// ---- the store ---------------------------------------------------------------

class StoreObject final : public PropObject<IMsgStore, IMAPIProp> {
 public:
  explicit StoreObject(ProviderPtr store) : store_(std::move(store)) {}

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG, ULONG* type, LPUNKNOWN* out) override {
    return OpenObjectByEntryId(store_, cb, eid, iid, type, out);
  }
  HRESULT SetReceiveFolder(LPTSTR cls, ULONG flags, ULONG cb, LPENTRYID eid) override {
    return Guard([&] {
      RequireWritable(*store_);
      const std::string c = NameFrom(cls, flags);
      if (!eid) {
        store_->SetReceiveFolder(c, std::nullopt);
        return S_OK;
      }
      auto ref = ParseObjectEntryId(eid, cb);
      if (!ref || ref->kind != ObjKind::Folder || ref->store != store_->Guid()) return MAPI_E_INVALID_ENTRYID;
      if (!store_->GetFolder(ref->id)) return MAPI_E_NOT_FOUND;
      store_->SetReceiveFolder(c, ref->id);
      return S_OK;
    });
  }
  HRESULT GetReceiveFolder(LPTSTR cls, ULONG flags, ULONG* cb, LPENTRYID* eid, LPTSTR* explicitClass) override {
    return Guard([&] {
      if (!cb || !eid) return MAPI_E_INVALID_PARAMETER;
      *cb = 0;
      *eid = nullptr;
      if (explicitClass) *explicitClass = nullptr;
      std::string found;
      auto folder = store_->ReceiveFolder(NameFrom(cls, flags), &found);
      if (!folder || !store_->GetFolder(*folder)) return MAPI_E_NOT_FOUND;
      const std::string bytes = MakeObjectEntryId(store_->Guid(), ObjKind::Folder, *folder);
      void* buf = nullptr;
      if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &buf))) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::memcpy(buf, bytes.data(), bytes.size());
      *eid = static_cast<LPENTRYID>(buf);
      *cb = static_cast<ULONG>(bytes.size());
      if (explicitClass) {
        void* s = nullptr;
        if (SUCCEEDED(MAPIAllocateBuffer(static_cast<ULONG>(found.size() + 1), &s))) {
          std::memcpy(s, found.c_str(), found.size() + 1);
          *explicitClass = static_cast<LPTSTR>(s);
        }
      }
      return S_OK;
    });
  }
  HRESULT StoreLogoff(ULONG*) override { return S_OK; }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  PropList AllProps() override {
    const std::string kind = store_->Kind();
    const ULONG mask = SupportMaskOf(*store_, kind);
    PropList all{Prop::Bytes(PR_ENTRYID, MakeStoreEntryId(store_->Guid())),
                 Prop::Bytes(PR_STORE_ENTRYID, MakeStoreEntryId(store_->Guid())),
                 Prop::Bytes(PR_RECORD_KEY, GuidBytes(store_->Guid())),
                 Prop::Bytes(PR_STORE_RECORD_KEY, GuidBytes(store_->Guid())),
                 Prop::Bytes(PR_DISPLAY_NAME_A, store_->DisplayName()),
                 Prop::Bytes(PR_MDB_PROVIDER, store_->ProviderUid()),
                 Prop::Int(PR_OBJECT_TYPE, MAPI_STORE),
                 Prop::Int(PR_STORE_SUPPORT_MASK, mask)};
    for (auto& p : store_->StoreProps())
      if (!FindProp(all, p.id())) all.push_back(std::move(p));
    return all;
  }
  bool IsComputed(ULONG id) const override {
    return IdIn(id, {PR_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_STORE_RECORD_KEY, PR_DISPLAY_NAME,
                     PR_MDB_PROVIDER, PR_OBJECT_TYPE, PR_STORE_SUPPORT_MASK});
  }
  HRESULT WriteProp(const Prop& p) override {
    if (store_->Caps().readOnly) return MAPI_E_NO_ACCESS;
    store_->SetStoreProps({p});
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    RequireWritable(*store_);
    store_->DeleteStoreProps(ids);
  }

 private:
  ProviderPtr store_;
};

// ---- the address book: one-off entries -------------------------------------

class AddrBookObject final : public PropObject<IAddrBook, IMAPIProp> {
 public:
  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
    return S_OK;
  }
  // A recipient given by address alone. Text with control characters (a
  // line break could smuggle commands into the mail transport) and SMTP
  // addresses without "@" are refused.
  HRESULT CreateOneOff(LPTSTR name, LPTSTR type, LPTSTR address, ULONG flags, ULONG* cb, LPENTRYID* out) override {
    return Guard([&] {
      if (!name || !type || !address || !cb || !out) return MAPI_E_INVALID_PARAMETER;
      const std::string n = NameFrom(name, flags), t = NameFrom(type, flags), a = NameFrom(address, flags);
      auto clean = [](const std::string& s) {
        return std::none_of(s.begin(), s.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return u < 0x20 || u == 0x7F;
        });
      };
      if (!clean(n) || !clean(t) || !clean(a) || t.empty()) return MAPI_E_INVALID_PARAMETER;
      if (EqualsNoCase(t, "SMTP") && !SafeAddressText(a)) return MAPI_E_INVALID_PARAMETER;
      const std::string bytes = MakeOneOff(n, t, a, flags & MAPI_UNICODE, flags & MAPI_SEND_NO_RICH_INFO);
      void* buffer = nullptr;
      if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(bytes.size()), &buffer))) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::memcpy(buffer, bytes.data(), bytes.size());
      *cb = static_cast<ULONG>(bytes.size());
      *out = static_cast<LPENTRYID>(buffer);
      return S_OK;
    });
  }

 protected:
  PropList AllProps() override { return {Prop::Int(PR_OBJECT_TYPE, MAPI_ADDRBOOK)}; }
  bool IsComputed(ULONG) const override { return true; }
  HRESULT WriteProp(const Prop&) override { return MAPI_E_NO_ACCESS; }
  void RemoveProps(std::span<const ULONG>) override {}
};

}  // namespace

HRESULT OpenAddressBookObject(LPCIID iid, void** out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    HRESULT hr = Deliver<IAddrBook>(new AddrBookObject, iid ? *iid : IID_IAddrBook, out);
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

HRESULT OpenStoreObject(std::shared_ptr<StoreProvider> provider, LPCIID iid, void** out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    auto* s = new StoreObject(std::move(provider));
    HRESULT hr = Deliver<IMsgStore>(s, iid ? *iid : IID_IMsgStore, out);
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

HRESULT OpenObjectByEntryId(const std::shared_ptr<StoreProvider>& provider, ULONG cb, LPENTRYID eid, LPCIID iid,
                            ULONG* objType, LPUNKNOWN* out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ObjKind kind = ObjKind::Folder;
    ObjId id = 0;
    if (!eid || cb == 0) {
      id = provider->RootFolder();
    } else {
      auto ref = ParseObjectEntryId(eid, cb);
      if (!ref || ref->store != provider->Guid()) return MAPI_E_INVALID_ENTRYID;
      kind = ref->kind;
      id = ref->id;
    }
    HRESULT hr;
    if (kind == ObjKind::Folder) {
      if (!provider->GetFolder(id)) return MAPI_E_NOT_FOUND;
      if (objType) *objType = MAPI_FOLDER;
      hr = Deliver<IMAPIFolder>(new FolderObject(provider, id), iid ? *iid : IID_IMAPIFolder,
                                reinterpret_cast<void**>(out));
    } else {
      if (!provider->GetMessage(id)) return MAPI_E_NOT_FOUND;
      if (objType) *objType = MAPI_MESSAGE;
      hr = Deliver<IMessage>(new MessageObject(provider, id, 0, false), iid ? *iid : IID_IMessage,
                             reinterpret_cast<void**>(out));
    }
    return hr == E_NOINTERFACE ? MAPI_E_INTERFACE_NOT_SUPPORTED : hr;
  });
}

}  // namespace tesk::mapi
