// A server that asks us to wait ("Request is throttled. Suggested Backoff
// Time: N milliseconds", [UNAVAILABLE], [LIMIT], [INUSE], [SERVERBUG]) and
// a connection that breaks: the store waits (the server's suggestion, else
// exponential backoff with jitter), connects again where it must, and goes
// on where it was, within the run's retry budget. Uploads cut off are
// looked for in their mailbox before they go again: none arrives twice.
#include <mapi/warnings.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "providers/imap/imap_store.h"

namespace tesk::mapi::imapstore {

namespace {

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, s < 10 ? "%.2f" : "%.0f", s);
  std::string t = buf;
  if (t.find('.') != std::string::npos) {
    while (t.back() == '0') t.pop_back();
    if (t.back() == '.') t.pop_back();
  }
  return t;
}

}  // namespace

void ImapStore::Pause(HRESULT hr, const std::string& error, double suggested, bool lost) {
  std::this_thread::sleep_for(std::chrono::duration<double>(Reserve(hr, error, suggested, lost)));
}

double ImapStore::Reserve(HRESULT hr, const std::string& error, double suggested, bool lost) {
  double wait = suggested;
  double left = 0;
  {
    // The waits of every connection of the store count against the one
    // budget.
    std::lock_guard<std::mutex> lock(retryMu_);
    if (wait < 0) {
      // 0.5 s, 1, 2, 4 ... up to a minute, each time between half and all of it.
      const double full = std::min(60.0, 0.5 * std::pow(2.0, std::min(streak_.load(), 8)));
      wait = full * std::uniform_real_distribution<double>(0.5, 1.0)(jitter_);
    }
    // However small the suggestion, each try costs the budget something.
    wait = std::max(wait, 0.01);
    ++streak_;
    left = a_.retryBudget - waited_;
    if (left < 0.005)
      throw RetriesSpent(hr, error + (a_.retryBudget == 0 ? std::string("; no retries (retry_budget = 0)")
                                                           : "; gave up after waiting " + Seconds(waited_) +
                                                                 " s in all (retry_budget = " + std::to_string(a_.retryBudget) + ")"));
    wait = std::min(wait, left);
    waited_ += wait;
  }
  Warn((lost ? "Connection lost, waiting " + Seconds(wait) + " s and connecting again: "
             : "Server busy, waiting " + Seconds(wait) + " s and trying again: ") +
       error);
  return wait;
}

bool ImapStore::Lost(const MapiError& e) const {
  return e.hr() == MAPI_E_NETWORK_ERROR && !c_.IsOpen() && !dynamic_cast<const RetriesSpent*>(&e);
}

void ImapStore::Recover(const MapiError& e) {
  const ObjId was = selected_;
  fetches_.clear();
  requestedUpTo_ = 0;
  selected_ = 0;
  MapiError cause = e;
  while (true) {
    Pause(cause.hr(), cause.what(), -1, true);
    try {
      Login();
      // The mailbox that was selected is again; the bodies fetched stay.
      if (was) SelectMailbox(was);
      return;
    } catch (const MapiError& again) {
      if (!Lost(again)) throw;
      cause = again;
    }
  }
}

void ImapStore::Transmit(AppendInFlight a) {
  if (a.msgs.empty()) return;
  const std::string mailbox = MailboxOf(a.folder);
  std::vector<Client::Part> cmd{Client::Text("APPEND "), Client::Arg(mailbox)};
  for (const auto& m : a.msgs) {
    cmd.push_back(Client::Text(" " + FlagsText(m.flags) + " \"" + imap::FormatInternalDate(m.date) + "\" "));
    // The command reads the bytes where they are: nothing keeps a second copy.
    cmd.push_back(Client::LiteralOf(m.bytes));
  }
  try {
    a.tag = c_.Send(std::move(cmd));
    c_.Flush();
  } catch (const MapiError& e) {
    if (!Lost(e)) Broke(a, e);
    AppendsLost(std::move(a), e);
    return;
  }
  appends_.push_back(std::move(a));
}

void ImapStore::AppendsLost(AppendInFlight a, const MapiError& e) {
  // Every upload sent and not answered may or may not have arrived.
  std::vector<AppendInFlight> doubt;
  doubt.push_back(std::move(a));
  for (auto& other : appends_) doubt.push_back(std::move(other));
  appends_.clear();
  MapiError cause = e;
  while (true) {
    try {
      Recover(cause);
      std::map<ObjId, std::multimap<std::string, std::uint32_t>> seen;
      for (auto& d : doubt) TakeArrived(d, seen);
      break;
    } catch (const MapiError& again) {
      if (Lost(again)) {
        cause = again;
        continue;
      }
      for (size_t k = 1; k < doubt.size(); ++k) appends_.push_back(std::move(doubt[k]));
      Broke(doubt[0], again);
    }
  }
  for (auto& d : doubt) Transmit(std::move(d));
}

void ImapStore::TakeArrived(AppendInFlight& a, std::map<ObjId, std::multimap<std::string, std::uint32_t>>& seen) {
  if (a.msgs.empty()) return;
  auto found = seen.find(a.folder);
  if (found == seen.end()) {
    std::multimap<std::string, std::uint32_t> all;
    Select(a.folder);
    if (exists_ > 0) {
      headers_ = &all;
      headersAll_ = true;
      try {
        c_.Run("UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])", "reading the Message-IDs of " + MailboxOf(a.folder));
      } catch (...) {
        headers_ = nullptr;
        headersAll_ = false;
        throw;
      }
      headers_ = nullptr;
      headersAll_ = false;
    }
    // A UID the state file gives a message already is no upload's.
    std::set<std::uint32_t> claimed;
    auto q = ix_.Prepare("SELECT uid FROM message WHERE folder_id=? AND uid IS NOT NULL");
    q.Bind(1, a.folder);
    while (q.Step()) claimed.insert(static_cast<std::uint32_t>(q.Int(0)));
    std::erase_if(all, [&](const auto& kv) { return claimed.count(kv.second) > 0; });
    found = seen.emplace(a.folder, std::move(all)).first;
  }
  auto& left = found->second;
  Box& b = boxes_[a.folder];
  for (size_t k = 0; k < a.msgs.size();) {
    PendingAppend& m = a.msgs[k];
    const std::string key = MessageIdOf(m.bytes) + '\0' + std::to_string(m.bytes.size());
    std::optional<std::uint32_t> uid;
    auto range = left.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      if (BodyOf(a.folder, it->second) != m.bytes) continue;
      uid = it->second;
      left.erase(it);
      break;
    }
    if (!uid) {
      ++k;
      continue;
    }
    ix_.Prepare("UPDATE message SET uid=? WHERE id=?").Bind(1, static_cast<std::int64_t>(*uid)).Bind(2, m.id).Run();
    // It arrived in place of another: the old copy goes.
    if (m.replaces) Expunge(a.folder, {m.replacedUid});
    ++uploaded_;
    b.listed = false;
    b.count = -1;
    a.msgs.erase(a.msgs.begin() + static_cast<std::ptrdiff_t>(k));
  }
}

}  // namespace tesk::mapi::imapstore
