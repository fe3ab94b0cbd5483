// The IMAP store's messages: listed with their content keys and a
// mailbox's state, read as Internet bytes (bodies come in pipelined chunks,
// over several connections where the store has them), written in upload
// batches, deleted and moved.
#include "providers/imap/imap_store.h"

namespace tesk::mapi::imapstore {

std::vector<ObjId> ImapStore::Messages(ObjId folder, bool associated) {
  if (associated) return {};
  Settle();
  Box& b = List(folder);
  std::vector<ObjId> out;
  out.reserve(b.msgs.size());
  for (const auto& m : b.msgs) out.push_back(m.id);
  return out;
}

std::optional<MessageInfo> ImapStore::GetMessage(ObjId id) {
  if (auto p = FindPending(id, false)) {
    const std::int64_t t = FiletimeFromUnix(p->date);
    return MessageInfo{id, p->folder, false, t, t, p->size, false};
  }
  Settle();
  auto row = RowOf(id);
  if (!row) return std::nullopt;
  Box& b = Listing(row->first);
  auto it = b.byId.find(id);
  if (it == b.byId.end()) return std::nullopt;
  const Listed& m = b.msgs[it->second];
  const std::int64_t t = FiletimeFromUnix(m.date);
  return MessageInfo{id, row->first, false, t, t, m.size, false};
}

MessageData ImapStore::LoadMessage(ObjId id) {
  InternetMessage m = std::move(*LoadInternet(id));
  return inet::FromMime(m.bytes, m.flags, m.deliveryTime);
}

std::optional<InternetMessage> ImapStore::LoadInternet(ObjId id) {
  if (auto p = FindPending(id, true)) return InternetMessage{p->bytes, p->flags, FiletimeFromUnix(p->date), {}, false, nullptr};
  Settle();
  auto row = RowOf(id);
  if (!row || !row->second) Fail(MAPI_E_NOT_FOUND, "message not found");
  const ObjId folder = row->first;
  const std::uint32_t uid = *row->second;
  // A lost connection is made again and the mailbox selected again; the
  // bodies that came before stay, the rest are asked for again by UID.
  Fetched f = a_.connections > 1 ? FetchOverPool(folder, uid) : Resuming([&] {
    Box& b = Listing(folder);
    auto at = b.byUid.find(uid);
    if (at == b.byUid.end()) Fail(MAPI_E_NOT_FOUND, "the message is no longer in " + MailboxOf(folder));
    const size_t pos = at->second;
    if (cacheFolder_ != folder || !cache_.count(uid)) {
      Select(folder);
      Request(folder, pos);
    }
    Fetched got = AwaitBody(folder, uid);
    // Keep the next chunks coming while this one is converted.
    Request(folder, pos + 1);
    return got;
  });
  streak_ = 0;
  return InternetMessage{std::move(f.bytes), std::move(f.flags), FiletimeFromUnix(f.date), {}, false, nullptr};
}

// A message's key: the account's store, its mailbox, the mailbox's
// UIDVALIDITY, its UID and its size. A server never gives a UID of a
// mailbox to other bytes while UIDVALIDITY stays.
std::optional<std::vector<ListedMessage>> ImapStore::ListInternet(ObjId folder) {
  Settle();
  Box& b = List(folder);
  std::vector<ListedMessage> out;
  out.reserve(b.msgs.size());
  const std::string prefix = "imap " + GuidBytes(Guid()) + " " + MailboxOf(folder) + " " + std::to_string(b.validity) + " ";
  for (const auto& m : b.msgs) {
    ListedMessage l;
    l.id = m.id;
    if (b.validity) l.head.key = prefix + std::to_string(m.uid) + " " + std::to_string(m.size);
    l.head.flags = m.flags;
    l.head.deliveryTime = FiletimeFromUnix(m.date);
    out.push_back(std::move(l));
  }
  return out;
}

// With CONDSTORE a mailbox's HIGHESTMODSEQ grows with every change of a
// message's flags; with UIDVALIDITY, UIDNEXT and the count it says that
// nothing arrived, went or changed.
// A folder's state key from the STATUS answer of its mailbox (taken out of
// statusItems_); empty without one.
std::string ImapStore::StateKeyOf(const std::string& mailbox) {
  auto it = statusItems_.find(mailbox);
  if (it == statusItems_.end()) return {};
  std::map<std::string, std::uint64_t> items = std::move(it->second);
  statusItems_.erase(it);
  for (const char* k : {"messages", "uidnext", "uidvalidity", "highestmodseq"})
    if (!items.count(k)) return {};
  // A server without persistent modification sequences says 0.
  if (!items["highestmodseq"] || !items["uidvalidity"]) return {};
  return "imap " + GuidBytes(Guid()) + " " + mailbox + " " + std::to_string(items["uidvalidity"]) + " " +
         std::to_string(items["uidnext"]) + " " + std::to_string(items["messages"]) + " " +
         std::to_string(items["highestmodseq"]);
}

// A copy asks for each folder's state just before it lists the folder. The
// first ask also asks for the states of the other mailboxes in the same
// round trip (STATUS commands sent together), so that an account of many
// mailboxes costs one round trip, not one per mailbox. A state asked
// earlier than the listing is safe: any change since (a new message, an
// expunge, a flag) moves it on for good, so a copy never stands for a
// state it does not show. States asked ahead serve for a short while only,
// each one ask, and only until this store writes; a mailbox is asked ahead
// once in that while (one the server refused then, busy or gone, is asked
// alone at its turn).
std::string ImapStore::FolderStateKey(ObjId folder) {
  if (folder == root_ || folder == top_ || !boxes_[folder].selectable || boxes_[folder].untouched) return {};
  if (!c_.Has("CONDSTORE")) return {};
  Settle();
  const auto now = std::chrono::steady_clock::now();
  if (now - aheadSince_ > kStatesAheadFor) ForgetStatesAhead();
  if (auto ahead = statesAhead_.find(folder); ahead != statesAhead_.end()) {
    std::string key = std::move(ahead->second);
    statesAhead_.erase(ahead);
    return key;
  }
  if (askedAhead_.empty()) aheadSince_ = now;
  const std::string mailbox = MailboxOf(folder);
  std::vector<std::pair<ObjId, std::string>> others;
  for (const auto& [id, b] : boxes_)
    if (id != folder && id != root_ && id != top_ && b.selectable && !b.untouched && !askedAhead_.count(id) &&
        others.size() < kStatesAheadMost)
      others.emplace_back(id, MailboxOf(id));
  auto status = [](const std::string& box) {
    return std::vector<Client::Part>{Client::Text("STATUS "), Client::Arg(box),
                                     Client::Text(" (MESSAGES UIDNEXT UIDVALIDITY HIGHESTMODSEQ)")};
  };
  Resuming([&] {
    statusItems_.erase(mailbox);
    const std::string own = c_.Send(status(mailbox));
    std::vector<std::string> tags;
    for (const auto& [id, box] : others) {
      statusItems_.erase(box);
      tags.push_back(c_.Send(status(box)));
    }
    c_.Flush();
    const Response mine = c_.Wait(own);
    std::optional<std::pair<Response, std::string>> busy;  // the first "try again later" among the others
    for (size_t k = 0; k < tags.size(); ++k) {
      Response r = c_.Wait(tags[k]);
      if (r.Ok())
        statesAhead_[others[k].first] = StateKeyOf(others[k].second);
      else if (!busy && imap::Busy(r))
        busy.emplace(std::move(r), others[k].second);
    }
    // A busy server gets the wait it asks for (once for the lot) before
    // anything else is sent; this mailbox's STATUS then goes again the way
    // every command does. Refused otherwise: fails as it always did.
    if (!mine.Ok()) {
      if (!imap::Busy(mine) || !c_.onBusy) c_.Refused(mine, "STATUS " + mailbox);
      busy.emplace(mine, mailbox);
    }
    if (busy && c_.onBusy)
      c_.onBusy(imap::ErrorOfResponse(busy->first), c_.RefusalText(busy->first, "STATUS " + busy->second),
                *imap::Busy(busy->first));
    if (!mine.Ok()) c_.Run(status(mailbox), "STATUS " + mailbox);
  });
  for (const auto& [id, box] : others) askedAhead_.insert(id);
  return StateKeyOf(mailbox);
}

void ImapStore::ForgetStatesAhead() {
  statesAhead_.clear();
  askedAhead_.clear();
}

Fetched ImapStore::AwaitBody(ObjId folder, std::uint32_t uid) {
  while (!cache_.count(uid)) {
    const bool covered = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& c) {
      return std::find(c.uids.begin(), c.uids.end(), uid) != c.uids.end();
    });
    if (!covered) Fail(MAPI_E_NOT_FOUND, "the message is no longer in " + MailboxOf(folder));
    WaitFetch();
  }
  Fetched got = std::move(cache_[uid]);
  cache_.erase(uid);
  return got;
}

std::optional<ObjId> ImapStore::StoreInternet(ObjId folder, const InternetMessage& m) {
  if (!m.deliveryTime) return std::nullopt;
  CheckWritable(folder);
  PendingAppend p;
  p.folder = folder;
  p.bytes = m.bytes;
  p.size = static_cast<std::int64_t>(p.bytes.size());
  p.flags = m.flags;
  p.date = UnixFromFiletime(m.deliveryTime);
  return Enqueue(std::move(p));
}

void ImapStore::CheckWritable(ObjId folder) {
  ForgetStatesAhead();  // what this store writes moves states on
  if (folder == root_ || folder == top_) Fail(MAPI_E_NO_ACCESS, "the top of an IMAP account holds no messages");
  if (!boxes_[folder].selectable) Fail(MAPI_E_NO_ACCESS, MailboxOf(folder) + " holds no messages");
  RefuseVirtual(folder, "writes nothing into");
}

ObjId ImapStore::StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) {
  if (associated) Fail(MAPI_E_NO_SUPPORT, "an IMAP account keeps no associated messages");
  CheckWritable(folder);
  PendingAppend p;
  p.folder = folder;
  p.bytes = inet::ToMime(data);
  p.size = static_cast<std::int64_t>(p.bytes.size());
  p.flags = inet::FlagsOf(data.props);
  std::int64_t delivered = inet::DeliveryTimeOf(data.props);
  p.date = delivered ? UnixFromFiletime(delivered) : std::time(nullptr);
  if (replace) {
    Settle();
    auto row = RowOf(*replace);
    if (row && row->second && row->first == folder) {
      // A message whose bytes did not change (a flag did) keeps its
      // copy on the server: only its flags are set.
      const Prop* raw = FindProp(data.props, inet::PR_TESK_INTERNET_CONTENT);
      if (raw && raw->b == p.bytes) {
        Select(folder);
        c_.Run("UID STORE " + std::to_string(*row->second) + " FLAGS.SILENT " + FlagsText(p.flags),
               "setting the flags of a message in " + MailboxOf(folder));
        Box& b = boxes_[folder];
        if (auto it = b.byId.find(*replace); it != b.byId.end()) b.msgs[it->second].flags = p.flags;
        return *replace;
      }
      p.replaces = replace;
      p.replacedUid = *row->second;
      p.id = *replace;
    }
  }
  return Enqueue(std::move(p));
}

ObjId ImapStore::Enqueue(PendingAppend p) {
  const ObjId folder = p.folder;
  // A message too big for the server is refused here, rather than by a
  // server that drops the connection in the middle of it (one whose flags
  // alone changed is on the server already).
  if (quirks_.maxMessageSize > 0 && p.size > quirks_.maxMessageSize) {
    const std::string mid = MessageIdOf(p.bytes);
    Fail(MAPI_E_TOO_BIG, "the message " + (mid.empty() ? std::string() : mid + " ") + "for " + MailboxOf(folder) + " is " +
                             std::to_string(p.size) + " bytes, more than the server " + a_.endpoint.host + " takes (" +
                             std::to_string(quirks_.maxMessageSize) + " bytes, the store's max_message_size)");
  }
  if (!p.replaces) {
    ix_.Prepare("INSERT INTO message(folder_id, uid) VALUES(?, NULL)").Bind(1, folder).Run();
    p.id = ix_.LastId();
  }
  pendingBytes_ += p.bytes.size();
  const ObjId id = p.id;
  pending_.push_back(std::move(p));
  if (pendingBytes_ >= kAppendBatchBytes || pending_.size() >= kAppendBatchMessages) SendAppends();
  return id;
}

void ImapStore::DeleteMessages(std::span<const ObjId> ids) {
  ForgetStatesAhead();  // what this store writes moves states on
  Settle();
  std::map<ObjId, std::vector<std::pair<std::uint32_t, ObjId>>> byFolder;
  for (ObjId id : ids) {
    auto row = RowOf(id);
    if (!row) continue;
    if (!row->second) {
      ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
      continue;
    }
    byFolder[row->first].emplace_back(*row->second, id);
  }
  for (const auto& [folder, list] : byFolder) RefuseVirtual(folder, "deletes nothing from");
  for (auto& [folder, list] : byFolder) {
    std::sort(list.begin(), list.end());
    std::vector<std::uint32_t> uids;
    for (const auto& [uid, id] : list) uids.push_back(uid);
    Select(folder);
    Expunge(folder, uids);
    Transact([&] {
      for (const auto& [uid, id] : list) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
    });
    Box& b = boxes_[folder];
    if (b.count >= 0) b.count = std::max<std::int64_t>(0, b.count - static_cast<std::int64_t>(list.size()));
    Drop(b, list);
  }
}

void ImapStore::MoveMessages(std::span<const ObjId> ids, ObjId folder) {
  ForgetStatesAhead();  // what this store writes moves states on
  Settle();
  if (folder == root_ || folder == top_) Fail(MAPI_E_NO_ACCESS, "the top of an IMAP account holds no messages");
  std::map<ObjId, std::vector<std::pair<std::uint32_t, ObjId>>> byFolder;
  for (ObjId id : ids) {
    auto row = RowOf(id);
    if (row && row->second && row->first != folder) byFolder[row->first].emplace_back(*row->second, id);
  }
  if (!byFolder.empty()) RefuseVirtual(folder, "writes nothing into");
  for (const auto& [from, list] : byFolder) RefuseVirtual(from, "deletes nothing from");
  const std::string dest = MailboxOf(folder);
  for (auto& [from, list] : byFolder) {
    std::sort(list.begin(), list.end());
    std::vector<std::uint32_t> uids;
    for (const auto& [uid, id] : list) uids.push_back(uid);
    Select(from);
    copyUid_.clear();
    const bool move = c_.Has("MOVE");
    const Response r = c_.Run({Client::Text(move ? "UID MOVE " : "UID COPY "), Client::Text(imap::UidSet(uids)),
                               Client::Text(" "), Client::Arg(dest)},
                              std::string(move ? "moving" : "copying") + " messages to " + dest);
    if (copyUid_.empty()) copyUid_ = r.code;
    if (!move) Expunge(from, uids);
    // The messages keep their numbers in their new mailbox.
    auto newUids = CopiedUids(copyUid_, uids.size());
    Transact([&] {
      for (size_t k = 0; k < list.size(); ++k) {
        if (newUids)
          ix_.Prepare("UPDATE message SET folder_id=?, uid=? WHERE id=?").Bind(1, folder).Bind(2, (*newUids)[k]).Bind(3, list[k].second).Run();
        else
          ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, list[k].second).Run();
      }
    });
    Box& fb = boxes_[from];
    if (fb.count >= 0) fb.count -= static_cast<std::int64_t>(list.size());
    Drop(fb, list);
    Box& tb = boxes_[folder];
    tb.listed = false;
    if (tb.count >= 0) tb.count += static_cast<std::int64_t>(list.size());
  }
}

}  // namespace tesk::mapi::imapstore
