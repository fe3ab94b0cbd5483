// Messages of a PST file: listed per folder, read one at a time with their
// recipients, attachments and embedded messages.
#include <algorithm>
#include <cstring>

#include <mapitags.h>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "inetmail/rtf.h"
#include "providers/pst/pst_store.h"

namespace tesk::mapi::pst {

MessageData PstStore::ReadMessage(libpff_item_t* item, int depth) {
  if (depth > kMaxEmbeddingDepth) Fail(MAPI_E_CORRUPT_STORE, path_ + ": messages embedded too deep");
  MessageData m;
  const int cp = MessageCodepage(item);
  m.props = ReadProps(item, cp, false);
  Error err;
  Item recipients;
  if (libpff_message_get_recipients(item, &recipients.p, &err) == 1 && recipients.p) {
    int n = 0;
    if (libpff_item_get_number_of_record_sets(recipients.p, &n, nullptr) == 1) {
      for (int k = 0; k < n; ++k) {
        RecordSet set;
        if (libpff_item_get_record_set_by_index(recipients.p, k, &set.p, nullptr) != 1 || !set.p) continue;
        PropList r = SetProps(set.p, cp, false, false);
        std::erase_if(r, [](const Prop& p) { return p.id() == kIdRowId; });
        r.insert(r.begin(), Prop::Int(PR_ROWID, static_cast<std::int64_t>(m.recipients.size())));
        m.recipients.push_back(std::move(r));
      }
    }
  }
  int attachments = 0;
  if (libpff_message_get_number_of_attachments(item, &attachments, nullptr) != 1) attachments = 0;
  for (int k = 0; k < attachments; ++k) {
    Item att;
    if (libpff_message_get_attachment(item, k, &att.p, &err) != 1 || !att.p)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": attachment " + std::to_string(k) + " of node " +
                                     std::to_string(IdOf(item)) + " cannot be read (" + err.Text() + ")");
    m.attachments.push_back(ReadAttachment(att.p, k, cp, depth));
  }
  return m;
}

PropList PstStore::ReadAttachment(libpff_item_t* att, int num, int cp, int depth) {
  PropList a = ReadProps(att, cp, false, true);
  std::erase_if(a, [](const Prop& p) { return p.id() == kIdAttachNum; });
  a.insert(a.begin(), Prop::Int(PR_ATTACH_NUM, num));
  int type = 0;
  if (libpff_attachment_get_type(att, &type, nullptr) != 1) return a;
  if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
    size64_t size = 0;
    if (libpff_attachment_get_data_size(att, &size, nullptr) != 1) return a;
    if (size > fileSize_) Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment claims more bytes than the file has");
    std::string data;
    data.reserve(static_cast<size_t>(std::min<size64_t>(size, 16u << 20)));
    if (size > 0) {
      if (libpff_attachment_data_seek_offset(att, 0, SEEK_SET, nullptr) < 0)
        Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment cannot be read");
      std::string piece(kReadPiece, '\0');
      while (data.size() < size) {
        Error err;
        const ssize_t got =
            libpff_attachment_data_read_buffer(att, reinterpret_cast<std::uint8_t*>(piece.data()), piece.size(), &err);
        if (got < 0) Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment cannot be read (" + err.Text() + ")");
        if (got == 0) break;
        data.append(piece.data(), std::min<size_t>(static_cast<size_t>(got), static_cast<size_t>(size) - data.size()));
      }
    }
    a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, std::move(data)));
  } else if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
    Item inner;
    Error err;
    if (libpff_attachment_get_item(att, &inner.p, &err) != 1 || !inner.p)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": an embedded message cannot be read (" + err.Text() + ")");
    // An embedded message is kept as the Internet message it makes, as
    // every provider of this subsystem keeps one.
    const MessageData embedded = ReadMessage(inner.p, depth + 1);
    std::erase_if(a, [](const Prop& p) { return p.id() == kIdAttachMethod; });
    a.push_back(Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_EMBEDDED_MSG_METHOD));
    if (!FindProp(a, PROP_ID(PR_ATTACH_MIME_TAG_A))) a.push_back(Prop::Bytes(PR_ATTACH_MIME_TAG_A, "message/rfc822"));
    a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, inet::ToMime(embedded)));
  }
  return a;
}

// The messages of a folder, noted with the folder they are in.
std::vector<ObjId> PstStore::ListMessages(ObjId folder, bool associated) {
  std::vector<ObjId> out;
  if (!folders_.count(folder) || (associated && !associated_)) return out;
  Item item = ItemById(folder);
  int n = 0;
  auto count = associated ? libpff_folder_get_number_of_sub_associated_contents : libpff_folder_get_number_of_sub_messages;
  auto get = associated ? libpff_folder_get_sub_associated_content : libpff_folder_get_sub_message;
  if (count(item.p, &n, nullptr) != 1) return out;
  for (int k = 0; k < n; ++k) {
    Item m;
    if (get(item.p, k, &m.p, nullptr) != 1 || !m.p) continue;
    const ObjId id = IdOf(m.p);
    if (!id || folders_.count(id)) continue;
    messageFolder_[id] = {folder, associated};
    out.push_back(id);
  }
  listed_.insert({folder, associated});
  return out;
}

// A message's key is the file's identity (the store's GUID), its node and
// what changes when the message does: its modification time and size, and
// the properties a reader changes without touching those (read state,
// follow-up flag, the last verb done on it). A message without a
// modification time gets none.
std::string PstStore::KeyOf(libpff_item_t* item, ObjId id) {
  RecordSet set;
  if (libpff_item_get_record_set_by_index(item, 0, &set.p, nullptr) != 1 || !set.p) return {};
  const auto modified = IntEntry(set.p, kIdModified, PT_SYSTIME);
  if (!modified) return {};
  std::string key = "pst " + GuidBytes(guid_) + " " + std::to_string(id) + " " + std::to_string(*modified);
  static constexpr std::pair<ULONG, ULONG> kVolatile[] = {
      {kIdMessageSize, PT_LONG}, {kIdMessageFlags, PT_LONG}, {0x1090 /* flag status */, PT_LONG},
      {0x1091 /* flag complete time */, PT_SYSTIME}, {0x1095 /* follow-up icon */, PT_LONG},
      {0x0E2B /* to-do item flags */, PT_LONG}, {0x1080 /* icon index */, PT_LONG},
      {0x1081 /* last verb executed */, PT_LONG}, {0x1082 /* last verb execution time */, PT_SYSTIME},
      {0x0E17 /* message status */, PT_LONG}};
  for (const auto& [propId, type] : kVolatile) {
    const auto v = IntEntry(set.p, propId, type);
    key += v ? " " + std::to_string(*v) : std::string(" -");
  }
  return key;
}

std::optional<std::vector<ListedMessage>> PstStore::ListInternet(ObjId folder) {
  std::lock_guard lock(mu_);
  std::vector<ListedMessage> out;
  for (ObjId id : ListMessages(folder, false)) {
    ListedMessage m;
    m.id = id;
    Item item = MessageItem(id, folder);
    m.head.key = KeyOf(item.p, id);
    out.push_back(std::move(m));
  }
  return out;
}

// Where a message is: its folder, and whether it is associated there.
std::optional<std::pair<ObjId, bool>> PstStore::Locate(ObjId id) {
  if (auto it = messageFolder_.find(id); it != messageFolder_.end()) return it->second;
  if (folders_.count(id)) return std::nullopt;
  for (const auto& [fid, f] : folders_)
    for (bool assoc : {false, true}) {
      if (listed_.count({fid, assoc})) continue;
      ListMessages(fid, assoc);
      if (auto it = messageFolder_.find(id); it != messageFolder_.end()) return it->second;
    }
  return std::nullopt;
}

}  // namespace tesk::mapi::pst
