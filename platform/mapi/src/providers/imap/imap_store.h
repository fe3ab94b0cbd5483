// The IMAP store provider inside: the store object and what its parts
// (state and numbering, folder listing, transfer pipeline, settings) share.
// Only the provider's own files include this; the rest of the subsystem
// goes through imap_provider.h.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mapitags.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <unordered_map>

#include "core/entryid.h"
#include "providers/imap/client.h"
#include "inetmail/inetmail.h"
#include "providers/common/store_tables.h"
#include "providers/common/maildir_names.h"
#include "provider.h"
#include "providers/imap/imap_provider.h"
#include "providers/common/standard_folders.h"
#include "transport/oauth2.h"

namespace tesk::mapi::imapstore {

namespace inet = tesk::mapi::inet;
using imap::Client;
using imap::Response;
using imap::Value;

constexpr char kRootBox[] = "#root";
constexpr char kTopBox[] = "#top";
// Bytes of message bodies requested in one UID FETCH, and commands of them
// in flight at once.
constexpr std::uint64_t kFetchChunkBytes = 4u << 20;
constexpr size_t kFetchChunkMessages = 128;
constexpr size_t kFetchesInFlight = 3;
// Bytes and messages of one upload command, and upload commands in flight.
constexpr std::uint64_t kAppendBatchBytes = 8u << 20;
constexpr size_t kAppendBatchMessages = 256;
constexpr size_t kAppendsInFlight = 2;

constexpr const char* kStateSchema = R"sql(
CREATE TABLE IF NOT EXISTS info(key TEXT PRIMARY KEY, value);
CREATE TABLE IF NOT EXISTS store_prop(prop_id INTEGER PRIMARY KEY, type INTEGER NOT NULL, value);
CREATE TABLE IF NOT EXISTS receive_folder(message_class TEXT PRIMARY KEY COLLATE NOCASE, folder_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS folder(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent_id INTEGER,
  mailbox TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  folder_type INTEGER NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  uidvalidity INTEGER);
CREATE INDEX IF NOT EXISTS folder_by_parent ON folder(parent_id);
CREATE TABLE IF NOT EXISTS folder_prop(folder_id INTEGER NOT NULL, prop_id INTEGER NOT NULL, type INTEGER NOT NULL,
  value, PRIMARY KEY(folder_id, prop_id));
CREATE TABLE IF NOT EXISTS message(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder_id INTEGER NOT NULL,
  uid INTEGER);
CREATE UNIQUE INDEX IF NOT EXISTS message_by_uid ON message(folder_id, uid);
)sql";

[[noreturn]] inline void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

std::string Lower(std::string s);

// Characters a server's mailbox names cannot hold (its hierarchy separator,
// or what its storage refuses) are written as characters that look the
// same, as the Maildir provider writes them; the state file keeps the true
// name. These are the ones some server refuses.
constexpr std::string_view kRiskyCharacters = "./\\~*%\"";

std::string LookAlike(unsigned char c);

inline bool Risky(unsigned char c) { return c < 0x20 || c == 0x7F || kRiskyCharacters.find(static_cast<char>(c)) != std::string_view::npos; }

inline bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// ---- settings ---------------------------------------------------------------------------------

struct AccountSettings {
  imap::Endpoint endpoint;
  std::string user;
  std::string passwordFile;
  std::string tokenFile;
  std::optional<oauth2::Settings> oauth;  // oauth2 = "NAME": tokens renewed from [oauth2.NAME]
  std::string state;
  bool compress = false;
  // Connections a save reads over (1 to 16; default 4, 1 to a server on
  // this machine), never more than the server allows.
  int connections = 1;
  // Seconds a run may spend waiting for a busy server or a lost connection
  // (retry_budget; 0: it fails at once).
  int retryBudget = 600;
  // Quirks of the big providers' servers; unset, the provider goes by what
  // the server says of itself (ServerQuirks).
  std::optional<std::vector<std::string>> skipSpecialUse;  // lower case: "\\all"
  std::optional<int> maxConnections;
  std::optional<std::int64_t> maxMessageSize;  // bytes; 0: no limit
  std::optional<bool> lookAlikeNames;
};

// Who the server is, as far as its quirks go.
enum class ServerFamily { Other, Gmail, Microsoft };
ServerFamily FamilyOf(const Client& c);

// The quirks in force: the store's keys, else what its server's family has.
struct Quirks {
  ServerFamily family = ServerFamily::Other;
  std::vector<std::string> skipSpecialUse;  // lower case
  int maxConnections = 0;                   // 0: no limit
  std::int64_t maxMessageSize = 0;          // 0: no limit
  bool lookAlikeNames = false;
};
Quirks QuirksOf(const AccountSettings& a, const Client& c);

// Special-use mailboxes whose contents the server makes from the other
// mailboxes (Gmail's All Mail, Starred, Important): never emptied, never
// written.
// A special-use attribute as the server writes it: "\\all" -> "\\All".
inline std::string SpecialUseName(std::string use) {
  if (use.size() > 1 && use[1] >= 'a' && use[1] <= 'z') use[1] = static_cast<char>(use[1] - 'a' + 'A');
  return use;
}

inline bool IsVirtualSpecialUse(const std::string& special) {
  return special == "\\all" || special == "\\flagged" || special == "\\important";
}

// Reads the first line of a secret's file, which only its owner may read.
std::string ReadSecret(const std::string& path, const char* what);

AccountSettings ReadSettings(const StoreSettings& s);

// ---- the store ----------------------------------------------------------------------------------

struct Listed {
  std::uint32_t uid = 0;
  ObjId id = 0;
  std::int64_t size = 0;
  std::int64_t date = 0;  // INTERNALDATE, seconds since 1970
  inet::MailFlags flags;
};

// What this process knows of a mailbox beyond the state file.
struct Box {
  bool selectable = true;
  std::string special;  // \Sent, \Drafts, ... as the server named it, lower case
  std::int64_t count = -1;  // messages, -1 when unknown
  bool listed = false;
  std::uint32_t validity = 0;  // the UIDVALIDITY the listing was made under
  std::vector<Listed> msgs;
  std::unordered_map<std::uint32_t, size_t> byUid;
  std::unordered_map<ObjId, size_t> byId;
  bool createdHere = false;  // made by this process: nothing in it to skip
  // A mailbox the server fills itself from the others (IsVirtualSpecialUse)
  // or one the store leaves out (skip_special_use): nothing is written into
  // it or deleted from it.
  bool untouched = false;
  bool dupesLoaded = false;
  std::multimap<std::string, std::uint32_t> existing;  // Message-ID and size -> UID
};

struct Fetched {
  std::string bytes;
  inet::MailFlags flags;
  std::int64_t date = 0;
};

struct PendingAppend {
  ObjId folder;
  ObjId id;
  std::string bytes;  // until the upload command took them
  std::int64_t size = 0;
  inet::MailFlags flags;
  std::int64_t date;
  // In place of this message (same number) and its UID, once uploaded.
  std::optional<ObjId> replaces;
  std::uint32_t replacedUid = 0;
};

struct AppendInFlight {
  // The messages keep their bytes until the server answered: a batch cut
  // off or refused for now goes again.
  std::string tag;
  ObjId folder;
  std::vector<PendingAppend> msgs;
};

struct FetchInFlight {
  std::string tag;
  ObjId folder;
  std::vector<std::uint32_t> uids;
};

class ImapStore;
class FetchPool;

// The flags of a FETCH response's FLAGS list.
inet::MailFlags FlagsOfList(const Value& list);

class ImapTx final : public Transaction {
 public:
  ImapTx(ImapStore& s, bool write);
  ~ImapTx() override;
  void Commit() override;

 private:
  ImapStore& s_;
  bool write_;
  bool done_ = false;
};

std::string MessageIdOf(std::string_view bytes);

// A wait the retry budget no longer allows: the run fails with the
// server's words.
class RetriesSpent : public MapiError {
 public:
  using MapiError::MapiError;
};

class ImapStore final : public StoreProvider {
 public:
  explicit ImapStore(AccountSettings a);
  ~ImapStore() override;

  void OpenState(bool create, const std::string& displayName, StoreKind kind);

  void Connect();
  // Connects and logs in (the token renewed once when refused).
  void Login();
  // An access token of the store's authorization, renewed when it runs out
  // (or when forced: the server refused the one we had).
  std::string AccessToken(bool force);

  Client& client() { return c_; }
  const std::string& Delimiter() const { return delim_; }
  const std::string& Prefix() const { return prefix_; }
  const Quirks& ServerQuirks() const { return quirks_; }
  // Connections a save reads over (the store's own and the others).
  int Connections() const { return a_.connections; }
  // Logins of the other connections so far.
  int PoolLogins() const;
  std::vector<std::pair<std::string, std::string>> SpecialUse();

  // ---- the provider's interface ----------------------------------------------------

  Capabilities Caps() const override;
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override {
    return std::string(a_.endpoint.tls == imap::TlsMode::Implicit ? "imaps://" : "imap://") + a_.user + "@" +
           a_.endpoint.host + ":" + std::to_string(a_.endpoint.port);
  }
  std::string DisplayName() override { return info_["name"]; }
  std::string Kind() override { return info_["kind"]; }

  PropList StoreProps() override { return tables::StoreProps(ix_, standardProps_); }
  void SetStoreProps(const PropList& props) override {
    tables::SetStoreProps(ix_, props);
  }
  void DeleteStoreProps(std::span<const ULONG> ids) override {
    tables::DeleteStoreProps(ix_, ids);
  }
  ObjId RootFolder() override { return root_; }

  std::optional<ObjId> ReceiveFolder(const std::string& cls, std::string* explicitClass) override {
    return tables::ReceiveFolder(ix_, cls, inbox_, explicitClass);
  }
  void SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) override {
    tables::SetReceiveFolder(ix_, cls, folder);
  }

  std::optional<FolderInfo> GetFolder(ObjId id) override;
  std::vector<ObjId> Subfolders(ObjId id) override { return tables::Subfolders(ix_, id); }
  std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name) override {
    return tables::FindSubfolder(ix_, parent, name);
  }
  PropList FolderProps(ObjId id) override {
    return tables::FolderProps(ix_, id, id == inbox_ || id == root_ ? inboxProps_ : PropList{});
  }
  void SetFolderProps(ObjId id, const PropList& props) override { tables::SetFolderProps(ix_, id, props); }
  void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) override {
    tables::DeleteFolderProps(ix_, id, ids);
  }

  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override;

  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override;

  // Special-use mailboxes (and, on a server without SPECIAL-USE, the Junk
  // folder found by its name) are emptied and kept rather than deleted, and
  // so are the parents they need: the server's and its clients' own
  // folders stay the same mailboxes. They leave the store's tree until a
  // folder of their name is made again (a restore copying them back).
  bool IsKept(ObjId parent, const std::string& name);

  // A folder that takes the name of a kept mailbox (a copy built under
  // another name, then named): the kept mailbox takes its messages and
  // subfolders, and the folder, keeping its number, is that mailbox from
  // then on.
  void MoveIntoKept(ObjId id, ObjId newParent, const std::string& newName);
  void DeleteFolderTree(ObjId id, const StepFn& step) override;

  std::vector<ObjId> SubtreeFolders(ObjId id) override;

  std::vector<ObjId> Messages(ObjId folder, bool associated) override;

  std::optional<MessageInfo> GetMessage(ObjId id) override;
  PropList MessageProps(ObjId id) override { return LoadMessage(id).props; }

  MessageData LoadMessage(ObjId id) override;

  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override;

  std::optional<InternetMessage> LoadInternet(ObjId id) override;

  std::optional<std::vector<ListedMessage>> ListInternet(ObjId folder) override;

  std::string FolderStateKey(ObjId folder) override;

  std::optional<ObjId> StoreInternet(ObjId folder, const InternetMessage& m) override;

  void DeleteMessages(std::span<const ObjId> ids) override;

  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override;

  bool CopyMessagesFrom(StoreProvider& src, std::span<const ObjId> ids, ObjId destFolder, const StepFn& step) override;

  std::unique_ptr<FolderCopier> BeginFolderCopy(StoreProvider& src, ObjId srcFolder, ObjId destParent) override;

  std::unique_ptr<Transaction> BeginWrite() override { return std::make_unique<ImapTx>(*this, true); }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<ImapTx>(*this, false); }

  // ---- transactions: uploads go out batch by batch ------------------------------------

  void Enter(bool write) {
    if (!write) return;
    ++writeDepth_;
    ForgetStatesAhead();  // what this store writes moves states on
  }
  void Leave(bool write, bool committed);

 private:
  friend class FetchPool;
  class FolderCopy;
  // One folder's messages into a folder made by the same copy (UID COPY).
  bool CopyFolderContents(ObjId from, ObjId to, const StepFn& step);

  // ---- the state file --------------------------------------------------------------------

  template <class F>
  void Transact(F&& f) {
    ix_.Exec("SAVEPOINT imap");
    try {
      f();
    } catch (...) {
      ix_.Exec("ROLLBACK TO imap; RELEASE imap");
      throw;
    }
    ix_.Exec("RELEASE imap");
  }

  std::optional<ObjId> FolderOf(const std::string& mailbox);
  std::string MailboxOf(ObjId id);
  // The folder and (once the server gave one) UID of a message.
  std::optional<std::pair<ObjId, std::optional<std::uint32_t>>> RowOf(ObjId id);

  // A folder name as the server's mailbox name below parent: the separator
  // always, and with all also every character some servers refuse, written
  // as a character that looks the same.
  std::string MapName(const std::string& name, bool all) const;
  // A mailbox name the state file does not know, as a folder name: the
  // look-alikes this store writes stand for the characters again.
  std::string UnmapName(std::string name) const;
  std::string DecodeName(const std::string& leaf) const {
    return UnmapName(maildir::DecodeMutf7(leaf).value_or(leaf));
  }

  // The server's name of a new folder below parent.
  std::string ChildMailbox(ObjId parent, const std::string& name, bool all);

  // Runs a command that names a new mailbox (CREATE, RENAME) for folder
  // name below parent. A server that refuses the name while it holds
  // characters some servers cannot take is asked again with those written
  // as look-alikes, and from then on every name is written so. Returns the
  // mailbox name the server took.
  std::string NameMailbox(ObjId parent, const std::string& name,
                          const std::function<std::vector<Client::Part>(const std::string&)>& command,
                          const std::string& what);

  void Forget(ObjId f);

  // ---- the server's mailboxes -----------------------------------------------------------

  void LearnNamespace();

  struct ListEntry {
    std::string name;
    std::string delim;
    std::vector<std::string> attrs;  // lower case
  };

  // Reads the server's mailboxes into the state file: new ones get numbers,
  // vanished ones lose theirs.
  void Scan();

  // Where the parent's name ends in a mailbox name of the store's namespace
  // (npos: a mailbox of the top level).
  size_t ParentCut(const std::string& mailbox) const;

  ObjId InsertFolder(ObjId parent, const std::string& mailbox, const std::string& name);

  // The folder of a mailbox and of every mailbox above it, made where the
  // server did not list them (hierarchy gaps: folders that hold no
  // messages). Walks up to the first one this scan met, then down again,
  // without recursion however deep the names go.
  ObjId EnsureFolders(const std::string& mailbox, std::map<std::string, ObjId>& ensured, std::set<ObjId>& keep);

  // Message counts of every mailbox in one round of pipelined STATUS commands.
  void CountAll();

  // A mailbox whose UIDVALIDITY changed holds other messages under the
  // same UIDs: its messages get new numbers.
  void CheckUidValidity(ObjId folder, std::uint32_t validity);

  void FindStandardFolders();
  std::string GetFolderName(ObjId f);

  std::int64_t Count(ObjId folder);

  // ---- selecting and listing ----------------------------------------------------------------

  void Select(ObjId folder);
  // SELECT alone: what the fetches brought stays.
  void SelectMailbox(ObjId folder);
  void Unselect(ObjId folder);

  Box& Listing(ObjId folder);

  // Lists a folder's messages (UID, flags, INTERNALDATE, size) and maps
  // their UIDs to numbers.
  Box& List(ObjId folder);

  void Drop(Box& b, const std::vector<std::pair<std::uint32_t, ObjId>>& gone);

  // ---- fetching bodies ----------------------------------------------------------------------

  // Asks for the bodies from position at of the folder's listing on, chunk
  // by chunk, while fewer than kFetchesInFlight are on their way.
  void Request(ObjId folder, size_t at);

  void WaitFetch();
  void DrainFetches() {
    while (!fetches_.empty()) WaitFetch();
    cache_.clear();
  }

  // ---- uploading ------------------------------------------------------------------------------

  // A message not yet on the server: waiting (with its bytes) or, unless
  // the bytes are wanted, on its way.
  const PendingAppend* FindPending(ObjId id, bool withBytes) const;

  // Everything sent is answered and nothing waits: the state other calls see.
  void Settle();
  std::string StateKeyOf(const std::string& mailbox);
  void ForgetStatesAhead();

  std::string FlagsText(const inet::MailFlags& f);

  // Sends the messages waiting for upload, a command per mailbox and batch.
  void SendAppends();
  // Waits for a body asked for (in fetches_) and takes it from the cache;
  // MAPI_E_NOT_FOUND when it is not on its way.
  Fetched AwaitBody(ObjId folder, std::uint32_t uid);
  // Refuses a folder that takes no messages (the top, \Noselect, one the
  // server fills itself).
  void CheckWritable(ObjId folder);
  // Queues a new or replacing upload (sent in batches) and returns its id.
  ObjId Enqueue(PendingAppend p);

  // A rerun after an upload that broke off: messages the mailbox holds
  // already (the same Message-ID, size and bytes) are not sent again.
  void SkipUploaded(AppendInFlight& a);

  std::string BodyOf(ObjId folder, std::uint32_t uid);

  void WaitAppend();

  // An upload that broke off: its messages lose their numbers, and the
  // error says how far the uploads of this store came.
  [[noreturn]] void Broke(AppendInFlight& a, const MapiError& e);

  static std::optional<std::vector<std::uint32_t>> AppendedUids(const std::string& code, size_t count);
  static std::optional<std::vector<std::uint32_t>> CopiedUids(const std::string& code, size_t count);

  // Removes messages: \Deleted, then UID EXPUNGE of exactly those.
  void Expunge(ObjId folder, const std::vector<std::uint32_t>& uids);

  // ---- untagged responses ------------------------------------------------------------------------

  void OnUntagged(Response& r);

  void OnFetch(Value& list);

  // ---- busy servers and lost connections (imap_retry.cpp) ------------------------------------

  // Waits before trying again (the server's suggestion in seconds, else
  // exponential backoff with jitter), with a WARNING saying why; throws
  // RetriesSpent with the error when the retry budget does not allow it.
  void Pause(HRESULT hr, const std::string& error, double suggested, bool lost);
  // The connection broke under e (a reset, the server hung up): worth a
  // new one.
  bool Lost(const MapiError& e) const;
  // After a lost connection: waits, connects again, logs in and selects
  // the mailbox that was selected; what the fetches in flight had brought
  // stays.
  void Recover(const MapiError& e);
  // Pause's reckoning without the wait: says why (a WARNING), counts it
  // against the budget and returns its seconds. Any thread may call it.
  double Reserve(HRESULT hr, const std::string& error, double suggested, bool lost);
  // Connects c to the store's server and logs in, as Login does for the
  // store's own connection. Any thread may call it.
  void OpenConnection(Client& c);
  // A message's body over the other connections (connections > 1): the
  // bodies of the folder ahead of it come meanwhile; what they give back
  // comes over the store's own connection.
  Fetched FetchOverPool(ObjId folder, std::uint32_t uid);
  // Runs f again after each lost connection, while the budget allows.
  template <class F>
  auto Resuming(F&& f) -> decltype(f()) {
    while (true) {
      try {
        return f();
      } catch (const MapiError& e) {
        if (!Lost(e)) throw;
        Recover(e);
      }
    }
  }
  // Sends a batch of uploads (again).
  void Transmit(AppendInFlight a);
  // The connection broke with uploads unanswered (a and those in flight):
  // once connected again, the messages the mailbox holds now are taken as
  // arrived, the others go again.
  void AppendsLost(AppendInFlight a, const MapiError& e);
  // Takes out of a the messages its mailbox holds now (the same size,
  // Message-ID and bytes, under a UID no other message of the state file
  // has); seen: the mailboxes' unclaimed messages, read once.
  void TakeArrived(AppendInFlight& a, std::map<ObjId, std::multimap<std::string, std::uint32_t>>& seen);

  std::mutex retryMu_;  // guards waited_ and jitter_: the other connections wait too
  double waited_ = 0;  // seconds waited so far
  std::atomic<int> streak_ = 0;  // waits since the last progress
  std::minstd_rand jitter_{std::random_device{}()};
  bool headersAll_ = false;  // headers_ takes messages without a Message-ID too

  AccountSettings a_;
  Client c_;
  sqlite::Db ix_{sqlite::Role::Index};
  std::map<std::string, std::string> info_;
  GUID guid_{};
  ObjId root_ = 0, top_ = 0, inbox_ = 0, junk_ = 0;
  std::string prefix_, delim_;
  std::vector<std::string> foreign_;  // prefixes of the other namespaces
  PropList standardProps_, inboxProps_;
  std::map<ObjId, Box> boxes_;
  // Mailboxes whose folders were deleted but that stay on the server,
  // emptied: the special-use ones and their parents.
  struct Kept {
    std::string special;
    bool selectable = true;
    bool untouched = false;  // as Box::untouched
  };
  // The quirks of this server in force (known once the server answered ID).
  Quirks quirks_;
  // Refuses to write into (or delete from) a folder whose mailbox the server
  // fills itself.
  void RefuseVirtual(ObjId folder, const char* what);
  std::map<std::string, Kept> kept_;
  std::set<std::string> leftOutTold_;  // mailboxes left out, warned of
  // Whether every character some servers refuse is written as a look-alike
  // (this server refused one).
  bool mapAll_ = false;

  // What the untagged responses of the running command fill.
  std::vector<Value> namespaces_;
  std::vector<ListEntry> listed_;
  std::map<std::string, std::pair<std::int64_t, std::uint32_t>> statuses_;
  std::map<std::string, std::map<std::string, std::uint64_t>> statusItems_;  // every number of a STATUS answer
  // Folder states asked ahead of their folder's turn (FolderStateKey): the
  // answers not used yet, the mailboxes asked, since when.
  std::map<ObjId, std::string> statesAhead_;
  std::set<ObjId> askedAhead_;
  std::chrono::steady_clock::time_point aheadSince_{};
  static constexpr auto kStatesAheadFor = std::chrono::minutes(2);
  static constexpr size_t kStatesAheadMost = 500;  // STATUS commands sent together
  std::vector<std::uint32_t> search_;
  std::vector<Listed>* listing_ = nullptr;
  std::multimap<std::string, std::uint32_t>* headers_ = nullptr;
  std::uint64_t exists_ = 0;
  std::uint32_t uidValidity_ = 0;
  std::string copyUid_;

  ObjId selected_ = 0;
  std::deque<FetchInFlight> fetches_;
  std::unordered_map<std::uint32_t, Fetched> cache_;
  ObjId cacheFolder_ = 0;
  size_t requestedUpTo_ = 0;

  // The other connections, once a save reads with more than one.
  std::unique_ptr<FetchPool> pool_;
  ObjId poolFolder_ = 0;
  size_t poolCount_ = 0;
  std::string poolMailbox_;
  std::uint32_t poolValidity_ = 0;

  std::deque<PendingAppend> pending_;
  std::uint64_t pendingBytes_ = 0;
  std::deque<AppendInFlight> appends_;
  std::uint64_t uploaded_ = 0;
  std::uint64_t skippedUploads_ = 0;
  bool settling_ = false;
  int writeDepth_ = 0;
};

}  // namespace tesk::mapi::imapstore
