// Message bodies fetched over the store's other connections (see
// imap_pool.h), and the store's reading path that uses them.
#include "providers/imap/imap_pool.h"

#include <mapi/warnings.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace tesk::mapi::imapstore {

FetchPool::FetchPool(ImapStore& store, int workers) : store_(store), max_(std::max(0, workers)) {}

FetchPool::~FetchPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& w : workers_)
    if (w.thread.joinable()) w.thread.join();
}

int FetchPool::Logins() const {
  std::lock_guard<std::mutex> lock(mu_);
  return logins_;
}

void FetchPool::Ahead(const std::string& mailbox, std::uint32_t validity, const std::vector<Listed>& msgs, size_t at) {
  if (at >= msgs.size()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (mailbox != mailbox_ || validity != validity_) {
      ResetLocked(mailbox, validity);
    }
    // What lies behind the reader is no longer wanted (a message skipped,
    // or read elsewhere): it leaves room for what lies ahead.
    if (aheadBytes_ >= kPoolAheadBytes) {
      for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.pos < at && it->second.state != State::Back) {
          aheadBytes_ -= it->second.bytes;
          it = entries_.erase(it);
        } else {
          ++it;
        }
      }
    }
    const bool wanted = !entries_.count(msgs[at].uid);
    if (wanted) scheduledUpTo_ = std::min(scheduledUpTo_, at);
    const std::uint64_t chunkBytes =
        std::max<std::uint64_t>(64u << 10, std::min<std::uint64_t>(kFetchChunkBytes, kPoolAheadBytes / (2u * static_cast<unsigned>(std::max(1, max_)))));
    // A folder's messages spread over the connections, however few.
    const size_t chunkMessages = std::clamp<size_t>((msgs.size() - at) / static_cast<size_t>(std::max(1, max_)), 8,
                                                    kFetchChunkMessages);
    size_t k = std::max(at, scheduledUpTo_);
    while (k < msgs.size() && (aheadBytes_ < kPoolAheadBytes || (wanted && k == at))) {
      Chunk ch;
      ch.gen = gen_;
      ch.mailbox = mailbox_;
      ch.validity = validity_;
      std::uint64_t bytes = 0;
      while (k < msgs.size() && ch.uids.size() < chunkMessages && (ch.uids.empty() || bytes < chunkBytes)) {
        const std::uint32_t uid = msgs[k].uid;
        if (!entries_.count(uid)) {
          const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, msgs[k].size));
          if (!ch.uids.empty() && aheadBytes_ + size > kPoolAheadBytes) break;
          Entry& e = entries_[uid];
          e.pos = k;
          e.bytes = size;
          aheadBytes_ += size;
          bytes += size;
          ch.uids.push_back(uid);
        }
        ++k;
      }
      scheduledUpTo_ = k;
      if (!ch.uids.empty()) queue_.push_back(std::move(ch));
    }
    Staff();
  }
  cv_.notify_all();
}

std::optional<Fetched> FetchPool::Take(std::uint32_t uid) {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    auto it = entries_.find(uid);
    if (it == entries_.end() || it->second.state == State::Back) return std::nullopt;
    if (it->second.state == State::Here) {
      Fetched f = std::move(it->second.body);
      aheadBytes_ -= it->second.bytes;
      entries_.erase(it);
      return f;
    }
    Staff();
    if (it->second.state == State::Back) return std::nullopt;
    cv_.wait(lock);
  }
}

std::vector<std::uint32_t> FetchPool::GivenBack() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::uint32_t> out;
  for (std::uint32_t uid : back_) {
    auto it = entries_.find(uid);
    if (it == entries_.end() || it->second.state != State::Back) continue;
    aheadBytes_ -= it->second.bytes;
    entries_.erase(it);
    out.push_back(uid);
  }
  back_.clear();
  return out;
}

void FetchPool::ResetLocked(const std::string& mailbox, std::uint32_t validity) {
  ++gen_;
  entries_.clear();
  queue_.clear();
  back_.clear();
  aheadBytes_ = 0;
  scheduledUpTo_ = 0;
  mailbox_ = mailbox;
  validity_ = validity;
}

void FetchPool::Forget() {
  std::lock_guard<std::mutex> lock(mu_);
  ResetLocked({}, 0);
}

void FetchPool::Staff() {
  // (Called with mu_ held.)
  int live = 0;
  size_t idle = 0;
  for (const auto& w : workers_) {
    if (!w.live) continue;
    ++live;
    if (w.busy == 0) ++idle;
  }
  // Each chunk waiting gets a connection of its own while there are
  // connections to be had.
  while (!stop_ && queue_.size() > idle && static_cast<int>(workers_.size()) < max_ && !noThreads_) {
    Worker& w = workers_.emplace_back();
    const int index = static_cast<int>(workers_.size());
    try {
      w.thread = std::thread([this, &w, index] { Work(w, index); });
    } catch (const std::system_error&) {
      // No thread to be had: the connections there are do.
      workers_.pop_back();
      noThreads_ = true;
      break;
    }
    ++live;
    ++idle;
  }
  if (live == 0) {
    // No connection left to take them: the store's own fetches them.
    for (const auto& ch : queue_) GiveBack(ch);
    queue_.clear();
  }
}

size_t FetchPool::IdleOthers(const Worker& self) const {
  // (Called with mu_ held.)
  size_t idle = 0;
  for (const auto& w : workers_)
    if (&w != &self && w.live && w.busy == 0) ++idle;
  return idle;
}

void FetchPool::GiveBack(const Chunk& ch) {
  // (Called with mu_ held.)
  if (ch.gen != gen_) return;
  for (std::uint32_t uid : ch.uids) {
    auto it = entries_.find(uid);
    if (it == entries_.end() || (it->second.state != State::Queued && it->second.state != State::InFlight)) continue;
    it->second.state = State::Back;
    back_.push_back(uid);
  }
}

void FetchPool::Retire(Worker& w) {
  // (Called with mu_ held.)
  w.live = false;
  w.busy = 0;
  Staff();
}

void FetchPool::Received(std::uint64_t gen, std::uint32_t uid, Fetched f) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (gen != gen_) return;
    auto it = entries_.find(uid);
    if (it == entries_.end() || it->second.state != State::InFlight) return;
    it->second.state = State::Here;
    it->second.body = std::move(f);
  }
  cv_.notify_all();
}

void FetchPool::Work(Worker& w, int index) {
  const AccountSettings& a = store_.a_;
  imap::Client c;
  std::string selected;
  std::uint32_t seenValidity = 0;
  std::deque<Chunk> inflight;
  // A login worked since the connection was last lost: worth connecting
  // again after a loss. A connection that does not come up at all is not
  // asked for again (the server may allow fewer than the store's
  // connections).
  bool opened = false;
  c.sink = [&](Response& r) {
    if (r.IsStatus()) {
      if (r.code.size() > 12 && EqualsNoCase(r.code.substr(0, 12), "UIDVALIDITY ")) {
        Value v;
        v.text = r.code.substr(12);
        seenValidity = static_cast<std::uint32_t>(v.Number().value_or(0));
      }
      return;
    }
    if (r.Word() != "FETCH" || r.data.size() < 3 || !r.data[2].IsList() || inflight.empty()) return;
    std::optional<std::uint32_t> uid;
    Fetched f;
    Value* body = nullptr;
    auto& items = r.data[2].items;
    for (size_t k = 0; k + 1 < items.size(); k += 2) {
      Value& key = items[k];
      Value& val = items[k + 1];
      if (key.IsAtom("UID")) {
        if (auto n = val.Number(); n && *n > 0 && *n <= 0xFFFFFFFFu) uid = static_cast<std::uint32_t>(*n);
      } else if (key.IsAtom("FLAGS") && val.IsList()) {
        f.flags = FlagsOfList(val);
      } else if (key.IsAtom("INTERNALDATE")) {
        f.date = imap::ParseInternalDate(val.Str()).value_or(0);
      } else if (key.IsAtom("BODY[]")) {
        body = &val;
      }
    }
    if (!uid || !body) return;
    f.bytes = std::move(body->text);
    Received(inflight.front().gen, *uid, std::move(f));
  };
  // A server's "later" to a command of this connection: the store's budget
  // of waits pays, and the store's end cuts the wait short.
  auto pause = [&](HRESULT hr, const std::string& error, double suggested, bool lost) {
    const double wait = store_.Reserve(hr, error, suggested, lost);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::duration<double>(wait), [&] { return stop_; });
    if (stop_) throw MapiError(MAPI_E_USER_CANCEL, "the store is closing");
  };
  c.onBusy = [&](HRESULT hr, const std::string& error, double suggested) { pause(hr, error, suggested, false); };
  auto fetch = [&](const Chunk& ch) {
    std::vector<std::uint32_t> sorted = ch.uids;
    std::sort(sorted.begin(), sorted.end());
    return c.Send("UID FETCH " + imap::UidSet(sorted) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
  };
  auto finish = [&](const Chunk& ch) {
    // (Called with mu_ held.) What the chunk did not bring goes back.
    GiveBack(ch);
    if (w.busy > 0) --w.busy;
  };
  while (true) {
    std::deque<Chunk> toSend;
    {
      std::unique_lock<std::mutex> lock(mu_);
      while (true) {
        if (stop_ && inflight.empty()) break;
        while (!stop_ && inflight.size() + toSend.size() < kPoolChunksInFlight && !queue_.empty()) {
          // A second chunk only when no other connection is idle for it.
          if (inflight.size() + toSend.size() > 0 && queue_.size() <= IdleOthers(w)) break;
          // A chunk of another mailbox waits until this one's are done.
          const std::string& box = !toSend.empty()    ? toSend.back().mailbox
                                   : !inflight.empty() ? inflight.back().mailbox
                                                       : queue_.front().mailbox;
          if (queue_.front().mailbox != box) break;
          Chunk ch = std::move(queue_.front());
          queue_.pop_front();
          std::erase_if(ch.uids, [&](std::uint32_t uid) {
            auto it = entries_.find(uid);
            return ch.gen != gen_ || it == entries_.end() || it->second.state != State::Queued;
          });
          if (ch.uids.empty()) continue;
          for (std::uint32_t uid : ch.uids) entries_[uid].state = State::InFlight;
          ++w.busy;
          toSend.push_back(std::move(ch));
        }
        if (!inflight.empty() || !toSend.empty()) break;
        cv_.wait(lock);
      }
      if (stop_ && inflight.empty() && toSend.empty()) break;
    }
    try {
      if (!c.IsOpen()) {
        selected.clear();
        store_.OpenConnection(c);
        opened = true;
        std::lock_guard<std::mutex> lock(mu_);
        ++logins_;
      }
      // A new mailbox is EXAMINEd in the same round trip as its first
      // fetches; its UIDVALIDITY is checked before any of their bodies is
      // read.
      std::string examine;
      std::uint32_t validity = 0;
      while (!toSend.empty()) {
        Chunk& ch = toSend.front();
        if (ch.mailbox != selected) {
          // (The chunks taken together are of one mailbox, and the
          // connection has nothing of another in flight.)
          selected = ch.mailbox;
          seenValidity = 0;
          validity = ch.validity;
          examine = c.Send({Client::Text("EXAMINE "), Client::Arg(ch.mailbox)});
        }
        ch.tag = fetch(ch);
        inflight.push_back(std::move(ch));
        toSend.pop_front();
      }
      c.Flush();
      if (!examine.empty()) {
        const Response r = c.Wait(examine);
        if (!r.Ok()) {
          selected.clear();
          c.Refused(r, "opening the mailbox " + inflight.front().mailbox);
        }
        if (validity && seenValidity && seenValidity != validity) {
          // Other messages under the same UIDs: the store's own connection
          // finds that out and says so.
          selected.clear();
          throw MapiError(MAPI_E_CALL_FAILED, "the mailbox " + inflight.front().mailbox + " has another UIDVALIDITY (" +
                                                  std::to_string(seenValidity) + ", not " + std::to_string(validity) + ")");
        }
      }
      if (inflight.empty()) {
        cv_.notify_all();
        continue;
      }
      const Response r = c.Wait(inflight.front().tag);
      if (!r.Ok()) {
        if (const auto busy = imap::Busy(r)) {
          // Refused for now: asked again after the wait (by whichever
          // connection is free then).
          pause(imap::ErrorOfResponse(r), c.RefusalText(r, "fetching messages of " + inflight.front().mailbox), *busy, false);
          std::lock_guard<std::mutex> lock(mu_);
          Chunk again = std::move(inflight.front());
          inflight.pop_front();
          if (w.busy > 0) --w.busy;
          std::erase_if(again.uids, [&](std::uint32_t uid) {
            auto it = entries_.find(uid);
            return again.gen != gen_ || it == entries_.end() || it->second.state != State::InFlight;
          });
          for (std::uint32_t uid : again.uids) entries_[uid].state = State::Queued;
          if (!again.uids.empty()) queue_.push_front(std::move(again));
          continue;
        }
      }
      {
        // Done, or refused: what did not come goes back.
        std::lock_guard<std::mutex> lock(mu_);
        finish(inflight.front());
        inflight.pop_front();
      }
      cv_.notify_all();
    } catch (const std::exception& e) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& ch : inflight) finish(ch);
        for (const auto& ch : toSend) finish(ch);
      }
      inflight.clear();
      toSend.clear();
      cv_.notify_all();
      const auto* me = dynamic_cast<const MapiError*>(&e);
      const bool closing = me && me->hr() == MAPI_E_USER_CANCEL;
      const bool lost = me && opened && me->hr() == MAPI_E_NETWORK_ERROR && !c.IsOpen() && !dynamic_cast<const RetriesSpent*>(me);
      if (lost) {
        opened = false;
        try {
          pause(me->hr(), e.what(), -1, true);
          continue;
        } catch (const std::exception&) {
        }
      } else if (!closing) {
        Warn("Connection " + std::to_string(index + 1) + " to " + a.endpoint.host + " is not used further: " + e.what());
      }
      std::lock_guard<std::mutex> lock(mu_);
      Retire(w);
      break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (w.live) Retire(w);
  }
  cv_.notify_all();
  try {
    c.Close();
  } catch (...) {
  }
}

// ---- the store's reading over several connections ----------------------------------------------

Fetched ImapStore::FetchOverPool(ObjId folder, std::uint32_t uid) {
  if (!pool_) pool_ = std::make_unique<FetchPool>(*this, a_.connections - 1);
  return Resuming([&]() -> Fetched {
    Box& b = Listing(folder);
    auto at = b.byUid.find(uid);
    if (at == b.byUid.end()) Fail(MAPI_E_NOT_FOUND, "the message is no longer in " + MailboxOf(folder));
    // Given back by the pool and fetched here already.
    if (cacheFolder_ == folder) {
      if (auto c = cache_.find(uid); c != cache_.end()) {
        Fetched got = std::move(c->second);
        cache_.erase(c);
        return got;
      }
    }
    // Another folder, or this one listed anew: the pool starts over.
    if (poolFolder_ != folder || poolCount_ != b.msgs.size()) {
      pool_->Forget();
      poolFolder_ = folder;
      poolCount_ = b.msgs.size();
      poolMailbox_ = MailboxOf(folder);
      auto q = ix_.Prepare("SELECT uidvalidity FROM folder WHERE id=?");
      q.Bind(1, folder);
      poolValidity_ = q.Step() && !q.IsNull(0) ? static_cast<std::uint32_t>(q.Int(0)) : 0;
    }
    pool_->Ahead(poolMailbox_, poolValidity_, b.msgs, at->second);
    if (auto got = pool_->Take(uid)) return std::move(*got);
    // The other connections gave it back (one broke, or the server
    // refused it there): this connection fetches what came back, and
    // answers for the message as it does with one connection.
    std::vector<std::uint32_t> back = pool_->GivenBack();
    if (std::find(back.begin(), back.end(), uid) == back.end()) back.push_back(uid);
    Select(folder);
    if (cacheFolder_ != folder) {
      DrainFetches();
      cacheFolder_ = folder;
      requestedUpTo_ = 0;
    }
    std::erase_if(back, [&](std::uint32_t u) { return cache_.count(u) > 0; });
    if (!back.empty()) {
      std::sort(back.begin(), back.end());
      FetchInFlight f;
      f.folder = folder;
      f.uids = back;
      f.tag = c_.Send("UID FETCH " + imap::UidSet(back) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
      c_.Flush();
      fetches_.push_back(std::move(f));
    }
    return AwaitBody(folder, uid);
  });
}

int ImapStore::PoolLogins() const { return pool_ ? pool_->Logins() : 0; }

}  // namespace tesk::mapi::imapstore
