// Message bodies over the store's other connections: while the store's own
// connection lists folders and answers its caller, up to connections - 1
// more connections (opened when there is work for them, each on a thread
// of its own that has EXAMINEd the mailbox) fetch the bodies of the folder
// being read, chunk by chunk, ahead of the reader. What they fetched and
// what is on its way stays within one budget in bytes for all of them
// together. A connection that breaks, or that the server refuses, gives
// its unfinished messages back: the store's own connection fetches those,
// as it fetches everything when the store has one connection only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "providers/imap/imap_store.h"

namespace tesk::mapi::imapstore {

// Bytes of bodies asked for ahead of the reader and not yet taken, over all
// connections together.
constexpr std::uint64_t kPoolAheadBytes = 16u << 20;
// Chunks in flight on one connection at once.
constexpr size_t kPoolChunksInFlight = 2;

class FetchPool {
 public:
  // workers: the connections beside the store's own.
  FetchPool(ImapStore& store, int workers);
  ~FetchPool();
  FetchPool(const FetchPool&) = delete;
  FetchPool& operator=(const FetchPool&) = delete;

  // Asks for the bodies of msgs (a listing of mailbox, whose UIDVALIDITY is
  // validity, 0 when unknown) from position at on, as far as the budget
  // allows; the one at at always. Everything the pool held of another
  // mailbox, or of positions before at, is dropped.
  void Ahead(const std::string& mailbox, std::uint32_t validity, const std::vector<Listed>& msgs, size_t at);
  // Waits for the body of uid (asked for by Ahead); nullopt when the pool
  // gave it back (GivenBack) or holds nothing of it.
  std::optional<Fetched> Take(std::uint32_t uid);
  // The messages given back since the last call; the pool forgets them.
  std::vector<std::uint32_t> GivenBack();
  // Drops everything asked for (bodies on their way are thrown away when
  // they come).
  void Forget();
  // Connections opened so far (each login counts).
  int Logins() const;

 private:
  // Drops everything asked for ahead and follows another mailbox (the
  // lock held).
  void ResetLocked(const std::string& mailbox, std::uint32_t validity);

  enum class State { Queued, InFlight, Here, Back };
  struct Entry {
    State state = State::Queued;
    size_t pos = 0;
    std::uint64_t bytes = 0;
    Fetched body;
  };
  struct Chunk {
    std::uint64_t gen = 0;
    std::string mailbox;
    std::uint32_t validity = 0;
    std::vector<std::uint32_t> uids;
    std::string tag;
  };
  struct Worker {
    std::thread thread;
    bool live = true;
    int busy = 0;  // chunks taken and not finished
  };

  void Work(Worker& w, int index);
  // Starts connections while chunks wait that no live one has room for.
  void Staff();
  // Live connections other than self with nothing to do.
  size_t IdleOthers(const Worker& self) const;
  // The messages of ch not here yet go back to the store's own connection.
  void GiveBack(const Chunk& ch);
  void Drop(std::uint32_t uid);
  void Retire(Worker& w);
  void Received(std::uint64_t gen, std::uint32_t uid, Fetched f);

  ImapStore& store_;
  const int max_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::uint64_t gen_ = 1;
  std::string mailbox_;
  std::uint32_t validity_ = 0;
  size_t scheduledUpTo_ = 0;
  std::uint64_t aheadBytes_ = 0;
  std::unordered_map<std::uint32_t, Entry> entries_;
  std::deque<Chunk> queue_;
  std::vector<std::uint32_t> back_;
  std::deque<Worker> workers_;
  int logins_ = 0;
  bool noThreads_ = false;
};

}  // namespace tesk::mapi::imapstore
