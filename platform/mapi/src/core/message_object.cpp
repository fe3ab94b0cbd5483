#include "core/message_object.h"

#include <mapiutil.h>

#include <algorithm>
#include <set>

#include "core/computed.h"
#include "inetmail/inetmail.h"
#include "transport/spooler.h"

namespace tesk::mapi::objects {

namespace {

std::vector<ULONG> UnionOfTags(const std::vector<PropList>& rows) {
  std::vector<ULONG> tags;
  std::set<ULONG> seen;
  for (const auto& r : rows)
    for (const auto& p : r)
      if (seen.insert(p.id()).second) tags.push_back(p.tag);
  return tags;
}

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
      Load();
    }
  }

  HRESULT SaveChanges(ULONG) override {
    return Keep([&] {
      RequireWritable(*store_);
      if (associated_) RequireAssociatedSupport(*store_);
      auto tx = store_->BeginWrite();
      if (!store_->GetFolder(folder_)) return MAPI_E_OBJECT_DELETED;
      ObjId id = store_->StoreMessage(folder_, associated_, Data(), id_);
      tx->Commit();
      id_ = id;
      if (auto info = store_->GetMessage(id)) info_ = *info;
      return S_OK;
    });
  }
  HRESULT GetAttachmentTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows = Data().attachments;
      auto columns = UnionOfTags(rows);
      if (columns.empty()) columns = {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_A};
      return CreateTable(std::make_unique<StaticRowSource>(std::move(rows), std::move(columns)), out);
    });
  }
  HRESULT OpenAttach(ULONG num, LPCIID iid, ULONG, LPATTACH* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      for (const auto& a : Data().attachments) {
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
      for (const auto& a : Data().attachments)
        if (const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM))) next = std::max(next, n->i + 1);
      next = std::max(next, nextAttach_);
      nextAttach_ = next + 1;
      if (num) *num = static_cast<ULONG>(next);
      auto* obj = new AttachObject(this, next, {});
      return Deliver<IAttach>(obj, iid ? *iid : IID_IAttachment, reinterpret_cast<void**>(out));
    });
  }
  HRESULT DeleteAttach(ULONG num, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    const auto before = Data().attachments.size();
    std::erase_if(Data().attachments, [&](const PropList& a) {
      const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM));
      return n && n->i == num;
    });
    return before == Data().attachments.size() ? MAPI_E_NOT_FOUND : S_OK;
  }
  HRESULT GetRecipientTable(ULONG, LPMAPITABLE* out) override {
    return Guard([&] {
      std::vector<PropList> rows = Data().recipients;
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
      for (const auto& r : Data().recipients) next = std::max(next, rowIdOf(r) + 1);
      if (flags & MODRECIP_REMOVE) {
        for (const auto& e : entries) {
          auto id = rowIdOf(e);
          std::erase_if(Data().recipients, [&](const PropList& r) { return rowIdOf(r) == id; });
        }
      } else if (flags & MODRECIP_MODIFY) {
        for (auto& e : entries) {
          auto id = rowIdOf(e);
          for (auto& r : Data().recipients)
            if (rowIdOf(r) == id) r = e;
        }
      } else {
        if (!(flags & MODRECIP_ADD)) {
          Data().recipients.clear();
          next = 0;
        }
        for (auto& e : entries) {
          std::erase_if(e, [](const Prop& p) { return p.id() == PROP_ID(PR_ROWID); });
          e.insert(e.begin(), Prop::Int(PR_ROWID, next++));
          Data().recipients.push_back(std::move(e));
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
      if (Data().recipients.empty()) return MAPI_E_NO_RECIPIENTS;
      const Prop* f = FindProp(Data().props, PROP_ID(PR_MESSAGE_FLAGS));
      std::int64_t flags = f ? f->i : 0;
      AttachObject::Put(Data().props, Prop::Int(PR_MESSAGE_FLAGS, (flags | MSGFLAG_SUBMIT | MSGFLAG_UNSENT) &
                                                                   ~std::int64_t{MSGFLAG_READ}));
      HRESULT hr = SaveChanges(0);
      if (FAILED(hr)) return hr;
      if (!store_->transport) return S_OK;
      std::string error;
      hr = DeliverSubmitted(*store_, *id_, *store_->transport, &error);
      if (FAILED(hr)) RememberFailure(hr, error);
      if (auto info = store_->GetMessage(*id_)) {
        info_ = *info;
        Load();
      }
      return hr;
    });
  }
  HRESULT SetReadFlag(ULONG flags) override {
    return Guard([&] {
      const Prop* p = FindProp(Data().props, PROP_ID(PR_MESSAGE_FLAGS));
      std::int64_t f = p ? p->i : 0;
      f = (flags & 0x4 /* CLEAR_READ_FLAG */) ? (f & ~std::int64_t{MSGFLAG_READ}) : (f | MSGFLAG_READ);
      AttachObject::Put(Data().props, Prop::Int(PR_MESSAGE_FLAGS, f));
      return id_ ? SaveChanges(0) : S_OK;
    });
  }

  void PutAttachment(std::int64_t num, const PropList& props) {
    PropList row{Prop::Int(PR_ATTACH_NUM, num)};
    row.insert(row.end(), props.begin(), props.end());
    for (auto& a : Data().attachments) {
      const Prop* n = FindProp(a, PROP_ID(PR_ATTACH_NUM));
      if (n && n->i == num) {
        a = std::move(row);
        return;
      }
    }
    Data().attachments.push_back(std::move(row));
  }

 protected:
  PropList AllProps() override {
    return MessageComputed(*store_, id_, folder_, associated_, info_.created, info_.modified, info_.size,
                           !Data().attachments.empty(), Data().props);
  }
  bool IsComputed(ULONG id) const override { return MessageIdComputed(id); }
  HRESULT WriteProp(const Prop& p) override {
    AttachObject::Put(Data().props, p);
    return S_OK;
  }
  void RemoveProps(std::span<const ULONG> ids) override {
    std::erase_if(Data().props,
                  [&](const Prop& p) { return std::find(ids.begin(), ids.end(), p.id()) != ids.end(); });
  }

 private:
  ProviderPtr store_;
  std::optional<ObjId> id_;
  ObjId folder_;
  bool associated_;
  MessageInfo info_;
  // Reads the message whole from its store: as its Internet bytes where the
  // store keeps it so (converted only when a property is asked for: a
  // reader that only opens it, to see that it can be read, parses
  // nothing), else as its properties.
  void Load() {
    internet_ = store_->LoadInternet(*id_);
    if (!internet_) data_ = store_->LoadMessage(*id_);
  }
  MessageData& Data() {
    if (internet_) {
      data_ = inet::FromMime(internet_->bytes, internet_->flags, internet_->deliveryTime);
      internet_.reset();
    }
    return data_;
  }
  MessageData data_;
  std::optional<InternetMessage> internet_;
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

}  // namespace

HRESULT OpenMessageObject(ProviderPtr store, std::optional<ObjId> id, ObjId folder, bool associated, REFIID iid,
                          void** out) {
  return Deliver<IMessage>(new MessageObject(std::move(store), id, folder, associated), iid, out);
}

}  // namespace tesk::mapi::objects
