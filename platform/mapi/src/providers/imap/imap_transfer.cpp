// Moving messages: selecting and listing mailboxes, fetching bodies in
// pipelined chunks, uploading in batches, expunging, and the untagged
// responses the server sends meanwhile.
#include "providers/imap/imap_store.h"

namespace tesk::mapi::imapstore {

std::string MessageIdOf(std::string_view bytes) {
  // The header ends at the first empty line.
  size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos) end = bytes.find("\n\n");
  const std::string_view head = bytes.substr(0, end);
  size_t at = 0;
  while (at < head.size()) {
    size_t eol = head.find('\n', at);
    if (eol == std::string_view::npos) eol = head.size();
    std::string_view line = head.substr(at, eol - at);
    if (line.size() > 11 && EqualsNoCase(line.substr(0, 11), "message-id:")) {
      std::string v(line.substr(11));
      // Folded onto the next lines.
      size_t next = eol + 1;
      while (next < head.size() && (head[next] == ' ' || head[next] == '\t')) {
        size_t e2 = head.find('\n', next);
        if (e2 == std::string_view::npos) e2 = head.size();
        v += head.substr(next, e2 - next);
        next = e2 + 1;
      }
      std::string out;
      for (char c : v)
        if (c != ' ' && c != '\t' && c != '\r') out += c;
      return out;
    }
    at = eol + 1;
  }
  return {};
}

void ImapStore::Select(ObjId folder) {
  if (selected_ == folder) return;
  DrainFetches();
  SelectMailbox(folder);
}

void ImapStore::SelectMailbox(ObjId folder) {
  const std::string mailbox = MailboxOf(folder);
  exists_ = 0;
  uidValidity_ = 0;
  c_.Run({Client::Text("SELECT "), Client::Arg(mailbox)}, "opening the mailbox " + mailbox);
  selected_ = folder;
  CheckUidValidity(folder, uidValidity_);
  boxes_[folder].count = static_cast<std::int64_t>(exists_);
}

void ImapStore::Unselect(ObjId folder) {
  if (selected_ != folder) return;
  DrainFetches();
  if (c_.Has("UNSELECT"))
    c_.Run("UNSELECT", "UNSELECT");
  else
    c_.Run("EXAMINE INBOX", "EXAMINE");
  selected_ = 0;
}

Box& ImapStore::Listing(ObjId folder) {
  Box& b = boxes_[folder];
  if (!b.listed) List(folder);
  return boxes_[folder];
}

Box& ImapStore::List(ObjId folder) {
  Box& b = boxes_[folder];
  b.msgs.clear();
  b.byUid.clear();
  b.byId.clear();
  if (folder == root_ || folder == top_ || !b.selectable) {
    b.listed = true;
    return b;
  }
  Resuming([&] {
    b.msgs.clear();
    Select(folder);
    b.validity = uidValidity_;
    if (exists_ > 0) {
      listing_ = &b.msgs;
      try {
        c_.Run("UID FETCH 1:* (UID FLAGS INTERNALDATE RFC822.SIZE)", "listing the messages of " + MailboxOf(folder));
      } catch (...) {
        listing_ = nullptr;
        throw;
      }
      listing_ = nullptr;
    }
  });
  std::sort(b.msgs.begin(), b.msgs.end(), [](const Listed& x, const Listed& y) { return x.uid < y.uid; });
  b.msgs.erase(std::unique(b.msgs.begin(), b.msgs.end(), [](const Listed& x, const Listed& y) { return x.uid == y.uid; }),
               b.msgs.end());
  std::unordered_map<std::uint32_t, ObjId> known;
  {
    auto q = ix_.Prepare("SELECT uid, id FROM message WHERE folder_id=? AND uid IS NOT NULL");
    q.Bind(1, folder);
    while (q.Step()) known.emplace(static_cast<std::uint32_t>(q.Int(0)), q.Int(1));
  }
  Transact([&] {
    for (auto& m : b.msgs) {
      auto it = known.find(m.uid);
      if (it != known.end()) {
        m.id = it->second;
        known.erase(it);
      } else {
        ix_.Prepare("INSERT INTO message(folder_id, uid) VALUES(?, ?)").Bind(1, folder).Bind(2, static_cast<std::int64_t>(m.uid)).Run();
        m.id = ix_.LastId();
      }
    }
    for (const auto& [uid, id] : known) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
    // Uploads whose UID the server did not say (no UIDPLUS) got theirs
    // in this listing.
    ix_.Prepare("DELETE FROM message WHERE folder_id=? AND uid IS NULL").Bind(1, folder).Run();
  });
  for (size_t k = 0; k < b.msgs.size(); ++k) {
    b.byUid[b.msgs[k].uid] = k;
    b.byId[b.msgs[k].id] = k;
  }
  b.count = static_cast<std::int64_t>(b.msgs.size());
  b.listed = true;
  if (cacheFolder_ == folder) requestedUpTo_ = 0;
  return b;
}

void ImapStore::Drop(Box& b, const std::vector<std::pair<std::uint32_t, ObjId>>& gone) {
  if (!b.listed) return;
  std::set<std::uint32_t> uids;
  for (const auto& g : gone) uids.insert(g.first);
  std::erase_if(b.msgs, [&](const Listed& m) { return uids.count(m.uid) > 0; });
  b.byUid.clear();
  b.byId.clear();
  for (size_t k = 0; k < b.msgs.size(); ++k) {
    b.byUid[b.msgs[k].uid] = k;
    b.byId[b.msgs[k].id] = k;
  }
  requestedUpTo_ = 0;
}

void ImapStore::Request(ObjId folder, size_t at) {
  Box& b = boxes_[folder];
  if (cacheFolder_ != folder) {
    DrainFetches();
    cache_.clear();
    cacheFolder_ = folder;
    requestedUpTo_ = 0;
  }
  if (at < b.msgs.size() && at < requestedUpTo_ && !cache_.count(b.msgs[at].uid)) {
    const bool covered = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& f) {
      return std::find(f.uids.begin(), f.uids.end(), b.msgs[at].uid) != f.uids.end();
    });
    if (!covered) requestedUpTo_ = at;  // read again, out of order
  }
  // Asked again (after a refusal or a lost connection): what came already,
  // or is on its way, is not asked for twice.
  const size_t askedBefore = requestedUpTo_;
  size_t next = std::max(at, requestedUpTo_);
  while (fetches_.size() < kFetchesInFlight && next < b.msgs.size()) {
    FetchInFlight f;
    f.folder = folder;
    std::uint64_t bytes = 0;
    while (next < b.msgs.size() && f.uids.size() < kFetchChunkMessages && (f.uids.empty() || bytes < kFetchChunkBytes)) {
      const std::uint32_t uid = b.msgs[next].uid;
      auto onItsWay = [&] {
        return std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& o) {
          return std::find(o.uids.begin(), o.uids.end(), uid) != o.uids.end();
        });
      };
      if (!cache_.count(uid) && !(next < askedBefore && onItsWay())) {
        bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(0, b.msgs[next].size));
        f.uids.push_back(uid);
      }
      ++next;
    }
    if (f.uids.empty()) continue;
    std::vector<std::uint32_t> sorted = f.uids;
    std::sort(sorted.begin(), sorted.end());
    f.tag = c_.Send("UID FETCH " + imap::UidSet(sorted) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
    fetches_.push_back(std::move(f));
  }
  requestedUpTo_ = next;
  c_.Flush();
}

void ImapStore::WaitFetch() {
  // The chunk stays listed while its responses come: they are wanted.
  const std::string tag = fetches_.front().tag;
  const ObjId folder = fetches_.front().folder;
  const std::vector<std::uint32_t> uids = fetches_.front().uids;
  Response r;
  try {
    r = c_.Wait(tag);
  } catch (...) {
    fetches_.clear();
    throw;
  }
  fetches_.pop_front();
  if (r.Ok()) return;
  const std::string error = "fetching messages of " + MailboxOf(folder) + " failed: the server said " + r.status +
                            (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text + " (" + a_.endpoint.host + ")";
  if (const auto busy = imap::Busy(r)) {
    // Refused for now: the chunk's messages not here yet are asked for again.
    Pause(imap::ErrorOfResponse(r), error, *busy, false);
    FetchInFlight again;
    again.folder = folder;
    for (std::uint32_t uid : uids)
      if (!cache_.count(uid)) again.uids.push_back(uid);
    if (again.uids.empty()) return;
    std::vector<std::uint32_t> sorted = again.uids;
    std::sort(sorted.begin(), sorted.end());
    again.tag = c_.Send("UID FETCH " + imap::UidSet(sorted) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
    c_.Flush();
    fetches_.push_back(std::move(again));
    return;
  }
  Fail(imap::ErrorOfResponse(r), error);
}

const PendingAppend* ImapStore::FindPending(ObjId id, bool withBytes) const {
  for (const auto& p : pending_)
    if (p.id == id) return &p;
  if (!withBytes)
    for (const auto& a : appends_)
      for (const auto& p : a.msgs)
        if (p.id == id) return &p;
  return nullptr;
}

void ImapStore::Settle() {
  if (settling_) return;
  settling_ = true;
  try {
    SendAppends();
    while (!appends_.empty()) WaitAppend();
  } catch (...) {
    settling_ = false;
    throw;
  }
  settling_ = false;
}

std::string ImapStore::FlagsText(const inet::MailFlags& f) {
  std::vector<std::string> list;
  if (f.seen) list.push_back("\\Seen");
  if (f.answered) list.push_back("\\Answered");
  if (f.flagged) list.push_back("\\Flagged");
  if (f.deleted) list.push_back("\\Deleted");
  if (f.draft) list.push_back("\\Draft");
  if (f.forwarded) list.push_back("$Forwarded");
  for (const auto& k : f.keywords) {
    auto q = imap::QuoteArgument(k);
    // A keyword is an atom; one that cannot be is left behind.
    if (q && *q == k && k.find('\\') == std::string::npos && k.find('/') == std::string::npos) list.push_back(k);
  }
  return imap::FlagList(list);
}

void ImapStore::SendAppends() {
  while (!pending_.empty()) {
    const ObjId folder = pending_.front().folder;
    AppendInFlight a;
    a.folder = folder;
    std::uint64_t bytes = 0;
    while (!pending_.empty() && pending_.front().folder == folder &&
           (a.msgs.empty() || (c_.Has("MULTIAPPEND") && bytes + pending_.front().bytes.size() <= kAppendBatchBytes &&
                               a.msgs.size() < kAppendBatchMessages))) {
      bytes += pending_.front().bytes.size();
      pendingBytes_ -= pending_.front().bytes.size();
      a.msgs.push_back(std::move(pending_.front()));
      pending_.pop_front();
    }
    SkipUploaded(a);
    Transmit(std::move(a));
    while (appends_.size() > kAppendsInFlight) WaitAppend();
  }
}

void ImapStore::SkipUploaded(AppendInFlight& a) {
  Box& b = boxes_[a.folder];
  if (b.createdHere) return;
  if (!b.dupesLoaded) {
    b.dupesLoaded = true;
    b.existing.clear();
    Resuming([&] {
      b.existing.clear();
      Select(a.folder);
      if (exists_ > 0) {
        headers_ = &b.existing;
        try {
          c_.Run("UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])", "reading the Message-IDs of " + MailboxOf(a.folder));
        } catch (...) {
          headers_ = nullptr;
          throw;
        }
        headers_ = nullptr;
      }
    });
  }
  if (b.existing.empty()) return;
  std::vector<PendingAppend> keep;
  for (auto& m : a.msgs) {
    if (m.replaces) {
      keep.push_back(std::move(m));
      continue;
    }
    const std::string mid = MessageIdOf(m.bytes);
    bool skipped = false;
    if (!mid.empty()) {
      const std::string key = mid + '\0' + std::to_string(m.bytes.size());
      auto range = b.existing.equal_range(key);
      for (auto it = range.first; it != range.second; ++it) {
        if (BodyOf(a.folder, it->second) != m.bytes) continue;
        // The message keeps the number this upload gave it.
        ix_.Prepare("DELETE FROM message WHERE folder_id=? AND uid=?").Bind(1, a.folder).Bind(2, static_cast<std::int64_t>(it->second)).Run();
        ix_.Prepare("UPDATE message SET uid=? WHERE id=?").Bind(1, static_cast<std::int64_t>(it->second)).Bind(2, m.id).Run();
        ++skippedUploads_;
        b.existing.erase(it);
        b.listed = false;
        skipped = true;
        break;
      }
    }
    if (!skipped) keep.push_back(std::move(m));
  }
  a.msgs = std::move(keep);
}

std::string ImapStore::BodyOf(ObjId folder, std::uint32_t uid) {
  Select(folder);
  DrainFetches();
  cacheFolder_ = folder;
  FetchInFlight f;
  f.folder = folder;
  f.uids = {uid};
  f.tag = c_.Send("UID FETCH " + std::to_string(uid) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
  fetches_.push_back(std::move(f));
  // (Asked again while the server refuses it for now.)
  while (!fetches_.empty() && !cache_.count(uid)) WaitFetch();
  std::string bytes = std::move(cache_[uid].bytes);
  cache_.erase(uid);
  return bytes;
}

void ImapStore::WaitAppend() {
  AppendInFlight a = std::move(appends_.front());
  appends_.pop_front();
  Response r;
  try {
    r = c_.Wait(a.tag);
  } catch (const MapiError& e) {
    if (!Lost(e)) Broke(a, e);
    AppendsLost(std::move(a), e);
    return;
  }
  if (!r.Ok()) {
    const MapiError e(imap::ErrorOfResponse(r), "uploading to " + MailboxOf(a.folder) + " failed: the server said " + r.status +
                                                    (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text + " (" +
                                                    a_.endpoint.host + ")");
    const auto busy = imap::Busy(r);
    if (!busy) Broke(a, e);
    // Refused for now: nothing of it arrived; it goes again.
    try {
      Pause(e.hr(), e.what(), *busy, false);
    } catch (const MapiError& spent) {
      Broke(a, spent);
    }
    Transmit(std::move(a));
    return;
  }
  streak_ = 0;
  auto uids = AppendedUids(r.code, a.msgs.size());
  Transact([&] {
    for (size_t k = 0; k < a.msgs.size(); ++k) {
      if (uids)
        ix_.Prepare("UPDATE message SET uid=? WHERE id=?").Bind(1, static_cast<std::int64_t>((*uids)[k])).Bind(2, a.msgs[k].id).Run();
    }
  });
  uploaded_ += a.msgs.size();
  Box& b = boxes_[a.folder];
  b.listed = false;
  if (b.count >= 0) b.count += static_cast<std::int64_t>(a.msgs.size());
  // A message written in place of another: the old copy goes, the number stays.
  std::vector<std::uint32_t> replaced;
  for (const auto& m : a.msgs)
    if (m.replaces) replaced.push_back(m.replacedUid);
  if (!replaced.empty()) {
    std::sort(replaced.begin(), replaced.end());
    Select(a.folder);
    Expunge(a.folder, replaced);
    if (b.count >= 0) b.count -= static_cast<std::int64_t>(replaced.size());
    if (!uids)
      for (const auto& m : a.msgs)
        if (m.replaces) ix_.Prepare("UPDATE message SET uid=NULL WHERE id=?").Bind(1, m.id).Run();
  }
}

[[noreturn]] void ImapStore::Broke(AppendInFlight& a, const MapiError& e) {
  // A message meant to replace another leaves the other as it was.
  std::vector<ObjId> lost;
  size_t notSent = 0;
  auto lose = [&](const PendingAppend& m) {
    ++notSent;
    if (!m.replaces) lost.push_back(m.id);
  };
  for (const auto& m : a.msgs) lose(m);
  for (const auto& other : appends_)
    for (const auto& m : other.msgs) lose(m);
  for (const auto& m : pending_) lose(m);
  appends_.clear();
  pending_.clear();
  pendingBytes_ = 0;
  for (ObjId id : lost) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
  throw MapiError(e.hr(), std::string(e.what()) + "; " + std::to_string(uploaded_) + " messages went up to " +
                              a_.endpoint.host + " before (a rerun skips them), " + std::to_string(notSent) +
                              " did not");
}

std::optional<std::vector<std::uint32_t>> ImapStore::AppendedUids(const std::string& code, size_t count) {
  // APPENDUID uidvalidity uid-set
  if (code.size() < 10 || !EqualsNoCase(code.substr(0, 10), "APPENDUID ")) return std::nullopt;
  const size_t sp = code.find(' ', 10);
  if (sp == std::string::npos) return std::nullopt;
  auto uids = imap::ParseUidSet(code.substr(sp + 1), count);
  if (!uids || uids->size() != count) return std::nullopt;
  return uids;
}

std::optional<std::vector<std::uint32_t>> ImapStore::CopiedUids(const std::string& code, size_t count) {
  // COPYUID uidvalidity source-set destination-set
  if (code.size() < 8 || !EqualsNoCase(code.substr(0, 8), "COPYUID ")) return std::nullopt;
  const size_t a = code.find(' ', 8);
  const size_t b = a == std::string::npos ? a : code.find(' ', a + 1);
  if (b == std::string::npos) return std::nullopt;
  auto uids = imap::ParseUidSet(code.substr(b + 1), count);
  if (!uids || uids->size() != count) return std::nullopt;
  return uids;
}

void ImapStore::Expunge(ObjId folder, const std::vector<std::uint32_t>& uids) {
  if (uids.empty()) return;
  const std::string set = imap::UidSet(uids);
  const std::string mailbox = MailboxOf(folder);
  if (c_.Has("UIDPLUS")) {
    const std::string store = c_.Send("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
    const std::string expunge = c_.Send("UID EXPUNGE " + set);
    c_.Check(store, "deleting messages of " + mailbox);
    c_.Check(expunge, "deleting messages of " + mailbox);
    return;
  }
  // Without UIDPLUS an EXPUNGE removes every \Deleted message: only when
  // those are ours.
  search_.clear();
  c_.Run("UID SEARCH DELETED", "searching " + mailbox);
  std::set<std::uint32_t> mine(uids.begin(), uids.end());
  for (std::uint32_t u : search_)
    if (!mine.count(u))
      Fail(MAPI_E_NO_SUPPORT, mailbox + " holds messages marked deleted by someone else, and the server " + a_.endpoint.host +
                                  " cannot expunge single messages (no UIDPLUS)");
  c_.Run("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", "deleting messages of " + mailbox);
  c_.Run("EXPUNGE", "deleting messages of " + mailbox);
}

void ImapStore::OnUntagged(Response& r) {
  if (r.IsStatus()) {
    const std::string code = r.code;
    if (code.size() > 12 && EqualsNoCase(code.substr(0, 12), "UIDVALIDITY ")) {
      Value v;
      v.text = code.substr(12);
      uidValidity_ = static_cast<std::uint32_t>(v.Number().value_or(0));
    } else if (code.size() > 8 && EqualsNoCase(code.substr(0, 8), "COPYUID ")) {
      copyUid_ = code;
    }
    return;
  }
  const std::string word = r.Word();
  if (word == "EXISTS") {
    exists_ = r.Number();
  } else if (word == "EXPUNGE" || word == "VANISHED") {
    if (selected_ && !listing_) boxes_[selected_].listed = false;
  } else if (word == "FETCH") {
    if (r.data.size() >= 3) OnFetch(r.data[2]);
  } else if (word == "LIST") {
    // LIST (attributes) delimiter name [extended data]
    if (r.data.size() < 4 || !r.data[1].IsList()) return;
    ListEntry e;
    for (const auto& a : r.data[1].items) e.attrs.push_back(Lower(a.Str()));
    e.delim = r.data[2].Str();
    e.name = r.data[3].Str();
    listed_.push_back(std::move(e));
  } else if (word == "STATUS") {
    // STATUS name (MESSAGES n UIDVALIDITY v)
    if (r.data.size() < 3 || !r.data[2].IsList()) return;
    std::uint64_t messages = 0, validity = 0;
    const auto& items = r.data[2].items;
    for (size_t k = 0; k + 1 < items.size(); k += 2) {
      if (items[k].IsAtom("MESSAGES")) messages = items[k + 1].Number().value_or(0);
      if (items[k].IsAtom("UIDVALIDITY")) validity = items[k + 1].Number().value_or(0);
    }
    statuses_[r.data[1].Str()] = {static_cast<std::int64_t>(messages), static_cast<std::uint32_t>(validity)};
    auto& all = statusItems_[r.data[1].Str()];
    all.clear();
    for (size_t k = 0; k + 1 < items.size(); k += 2)
      if (auto n = items[k + 1].Number()) all[Lower(items[k].Str())] = *n;
  } else if (word == "NAMESPACE") {
    namespaces_ = r.data;
  } else if (word == "SEARCH") {
    for (size_t k = 1; k < r.data.size(); ++k)
      if (auto n = r.data[k].Number(); n && *n <= 0xFFFFFFFFu) search_.push_back(static_cast<std::uint32_t>(*n));
  }
}

inet::MailFlags FlagsOfList(const Value& list) {
  inet::MailFlags flags;
  for (const auto& f : list.items) {
    const std::string l = Lower(f.Str());
    if (l == "\\seen") flags.seen = true;
    else if (l == "\\answered") flags.answered = true;
    else if (l == "\\flagged") flags.flagged = true;
    else if (l == "\\deleted") flags.deleted = true;
    else if (l == "\\draft") flags.draft = true;
    else if (l == "$forwarded") flags.forwarded = true;
    else if (l == "\\recent" || l.empty() || l[0] == '\\') continue;
    else flags.keywords.push_back(f.Str());
  }
  return flags;
}

void ImapStore::OnFetch(Value& list) {
  if (!list.IsList()) return;
  std::optional<std::uint32_t> uid;
  inet::MailFlags flags;
  bool haveFlags = false;
  std::int64_t date = 0, size = -1;
  Value* body = nullptr;
  Value* header = nullptr;
  auto& items = list.items;
  for (size_t k = 0; k + 1 < items.size(); k += 2) {
    Value& key = items[k];
    Value& val = items[k + 1];
    if (key.IsAtom("UID")) {
      if (auto n = val.Number(); n && *n > 0 && *n <= 0xFFFFFFFFu) uid = static_cast<std::uint32_t>(*n);
    } else if (key.IsAtom("FLAGS") && val.IsList()) {
      haveFlags = true;
      flags = FlagsOfList(val);
    } else if (key.IsAtom("INTERNALDATE")) {
      date = imap::ParseInternalDate(val.Str()).value_or(0);
    } else if (key.IsAtom("RFC822.SIZE")) {
      size = static_cast<std::int64_t>(val.Number().value_or(0));
    } else if (key.IsAtom("BODY[]")) {
      body = &val;
    } else if (key.kind == Value::Kind::Atom && key.text.size() > 5 && EqualsNoCase(key.text.substr(0, 5), "BODY[") &&
               key.text.find("HEADER.FIELDS") != std::string::npos) {
      header = &val;
    }
  }
  if (!uid) return;
  if (listing_ && !body && !header) {
    Listed m;
    m.uid = *uid;
    m.size = size < 0 ? 0 : size;
    m.date = date;
    m.flags = flags;
    listing_->push_back(std::move(m));
    return;
  }
  if (header && headers_) {
    const std::string mid = MessageIdOf(header->Str() + "\r\n");
    if ((!mid.empty() || headersAll_) && size >= 0) headers_->emplace(mid + '\0' + std::to_string(size), *uid);
    return;
  }
  if (body) {
    const bool wanted = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& f) {
      return std::find(f.uids.begin(), f.uids.end(), *uid) != f.uids.end();
    });
    if (!wanted) return;
    Fetched& f = cache_[*uid];
    f.bytes = std::move(body->text);
    f.flags = flags;
    f.date = date;
    return;
  }
  // Flags changed by someone else meanwhile.
  if (haveFlags && selected_) {
    Box& b = boxes_[selected_];
    if (auto it = b.byUid.find(*uid); it != b.byUid.end()) b.msgs[it->second].flags = flags;
  }
}

}  // namespace tesk::mapi::imapstore
