// The interface between the generic MAPI objects and a store provider. A
// provider keeps folders (a tree), messages in folders (normal or
// associated) with their recipients and attachments, and a few store-wide
// properties. Everything a client sets is kept exactly; the properties a
// store assigns itself (entry identifiers, counts, times) are computed by
// the MAPI objects from FolderInfo and MessageInfo.
//
// The contract. The generic layer (the MAPI objects and the copy engine)
// checks, once for every provider, before it calls one:
//  - that a parent or destination folder exists (CreateFolder, MoveFolder,
//    StoreMessage, MoveMessages, and the fast paths);
//  - that a folder name is not empty and that no sibling carries it, letters
//    A to Z compared in either case (CreateFolder, MoveFolder, CopyFolder);
//  - that a folder is not moved or copied into itself or below itself;
//  - that nothing is written to a provider whose capabilities say read-only
//    (MAPI_E_NO_ACCESS), and that associated messages go only to a provider
//    that keeps them (MAPI_E_NO_SUPPORT);
//  - that the root folder is never deleted, moved or renamed.
// A provider may rely on these and need not check them again; it still
// throws MapiError for what only it can know (the disk is full, the file is
// damaged, a name its format cannot hold: MAPI_E_INVALID_PARAMETER).
//
// Identities: Guid() and every ObjId stay the same for the life of the store,
// across processes and runs; an id is never reused for another object.
//
// Transactions: BeginWrite and BeginRead nest. Of a provider whose
// capabilities say wholeCopyInOneCommit, a reader sees everything written in
// an outer write transaction or none of it, also when the writing process is
// killed. A provider without it still writes every message whole: a killed
// writer leaves whole messages and folders, never a part of one; the copy
// engine builds a new folder in it under a staging name (IsStagingName),
// which the MAPI objects do not show, and gives it its name with MoveFolder
// once complete.
#pragma once

#include <guiddef.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/prop.h"
#include "inetmail/mail_flags.h"

namespace tesk::mapi {

using ObjId = std::int64_t;

struct FolderInfo {
  ObjId id = 0;
  ObjId parent = 0;  // 0 for the root
  std::string name;
  ULONG type = 1;  // FOLDER_GENERIC
  std::int64_t contentCount = 0;
  std::int64_t assocCount = 0;
  bool hasSubfolders = false;
  // False for a folder that takes no messages of its own (the top of a
  // Maildir or of an IMAP account, a \Noselect mailbox): its PR_ACCESS says
  // so, and storing a message there throws MAPI_E_NO_ACCESS.
  bool holdsMessages = true;
  // True for a folder the store fills itself and keeps when its parent is
  // deleted (Gmail's All Mail, Starred): its PR_ACCESS lacks
  // MAPI_ACCESS_DELETE.
  bool keptByStore = false;
  std::int64_t created = 0;  // FILETIME ticks
  std::int64_t modified = 0;
};

struct MessageInfo {
  ObjId id = 0;
  ObjId folder = 0;
  bool associated = false;
  std::int64_t created = 0;
  std::int64_t modified = 0;
  std::int64_t size = 0;
  bool hasAttachments = false;
};

struct MessageData {
  PropList props;
  std::vector<PropList> recipients;   // each with PR_ROWID
  std::vector<PropList> attachments;  // each with PR_ATTACH_NUM
};

// A message as a mail store keeps it: its Internet bytes, its flags and
// the time it arrived. It is the message the MIME converter makes of them
// (inet::FromMime); copies between stores that keep mail so (Maildir, IMAP,
// the content of a store file) go in this form without converting.
// What a destination worked out of a message's bytes before writing it
// (PrepareInternet): its own business.
struct PreparedContent {
  virtual ~PreparedContent() = default;
};

struct InternetMessage {
  std::string bytes;
  inet::MailFlags flags;
  std::int64_t deliveryTime = 0;  // FILETIME ticks, never 0
  // The source's content key of the bytes (ListInternet); empty: none.
  std::string key;
  // The destination holds the content of key already (HeldKeys said so):
  // the bytes were not read and are empty.
  bool held = false;
  // Set by the destination's PrepareInternet.
  std::shared_ptr<const PreparedContent> prepared;
};

// A message of a folder's listing: its id, and its content key, flags and
// delivery time, without its bytes.
struct ListedMessage {
  ObjId id = 0;
  InternetMessage head;
};

// Work done so far; returns false to ask the operation to stop.
using StepFn = std::function<bool(std::uint64_t done)>;
// What a step function gets while a long store operation has no new units
// to report (the commit of a large copy): a sign of life only.
constexpr std::uint64_t kStepStillWorking = ~std::uint64_t{0};

// A transaction of one store (BeginWrite, BeginRead). Commit may throw (the
// disk is full, the server broke off); what is kept then is what the
// capabilities promise (see Transactions above).
class Transaction {
 public:
  virtual ~Transaction() = default;  // rolls back unless committed; never throws
  virtual void Commit() = 0;
};

// How a session sends mail (from its profile).
struct TransportSettings {
  std::string smtpUrl;  // smtp://host:port or smtps://host:port
  std::string from;     // the sender address
  std::string user;
  std::string password;
  bool startTls = false;
  // Why the transport must not send (a password file others may read,
  // credentials that would cross the network in the clear); empty when it
  // may.
  std::string refusal;
};

// What a provider can do; the MAPI masks (PR_STORE_SUPPORT_MASK, PR_ACCESS,
// PR_ACCESS_LEVEL) and the copy engine's strategy follow from it.
struct Capabilities {
  bool readOnly = false;              // every write refused with MAPI_E_NO_ACCESS
  bool wholeCopyInOneCommit = false;  // an outer write transaction is all or nothing
  bool associatedContents = false;    // keeps associated (hidden) messages
  bool rawInternetContent = false;    // keeps a message's Internet bytes as they came
  // Keeps content keys and remembers folder copies (HeldKeys,
  // CopyRememberedFolder): a copy into it asks its source for keys.
  bool contentKeys = false;
};

// How many bytes a message takes in flight (its properties, recipients and
// attachments); the copy engine batches by this.
std::uint64_t MessageBytes(const MessageData& m);

// One open store. Created by its ProviderFactory (Open) and owned through
// shared_ptr by the session's store objects; it lives as long as any of
// them (a folder or message object keeps its store alive).
//
// Threads: a store object is used by one thread at a time, but not always
// the thread that opened it. During a copy between two stores the copy
// engine loads the source's messages (Messages, GetMessage, LoadMessage,
// inside the source's read transaction) on a second thread while the first
// writes the destination; a provider therefore keeps nothing shared between
// its store objects that is not guarded (two stores of one provider may be
// in use on two threads at once).
//
// Errors: every method may throw MapiError with the MAPI code the client is
// to see (MAPI_E_NOT_FOUND for an id that names nothing, MAPI_E_NO_ACCESS,
// MAPI_E_NOT_ENOUGH_DISK, MAPI_E_DISK_ERROR, MAPI_E_CORRUPT_STORE,
// MAPI_E_NETWORK_ERROR, MAPI_E_LOGON_FAILED, MAPI_E_INVALID_PARAMETER,
// MAPI_E_COLLISION) and a text for the user naming the store, folder or
// message. Anything else a provider lets escape reaches the client as
// MAPI_E_NOT_ENOUGH_MEMORY (std::bad_alloc) or MAPI_E_CALL_FAILED. A method
// that throws leaves the store usable and loses nothing that was in it
// before; what it wrote goes with the rollback of the surrounding write
// transaction as far as the capabilities promise (see Transactions above).
class StoreProvider : public std::enable_shared_from_this<StoreProvider> {
 public:
  virtual ~StoreProvider() = default;

  // What the store can do; constant for the life of the object.
  virtual Capabilities Caps() const = 0;

  // The transport of the session that opened the store; without one,
  // submitted messages wait in the Outbox. Set by the session before the
  // store is handed out.
  std::shared_ptr<const TransportSettings> transport;

  // ---- identity: never throws once the store is open
  virtual const GUID& Guid() const = 0;
  // Where the store lives, for messages to the user (a file, a folder, an
  // imaps:// address).
  virtual std::string Path() const = 0;
  virtual std::string DisplayName() = 0;
  virtual std::string Kind() = 0;  // "mailbox", "archive" or "public"
  // PR_MDB_PROVIDER: this subsystem's local provider, or the public-folder
  // provider's identifier for a public store.
  virtual std::string ProviderUid();

  // ---- store-wide properties
  // Every property the store keeps or computes, computed ones first.
  virtual PropList StoreProps() = 0;
  // Keeps props exactly (replacing those of the same id); throws
  // MAPI_E_NO_ACCESS on a read-only store.
  virtual void SetStoreProps(const PropList& props) = 0;
  // Forgets those ids; ids it does not hold are no error.
  virtual void DeleteStoreProps(std::span<const ULONG> ids) = 0;
  // The root folder (parent 0); it always exists.
  virtual ObjId RootFolder() = 0;
  // The folder for a message class: the longest registered prefix wins;
  // explicitClass (may be null) gets the class that was registered.
  virtual std::optional<ObjId> ReceiveFolder(const std::string& messageClass, std::string* explicitClass) = 0;
  // Registers (or with nullopt removes) the folder of a message class.
  virtual void SetReceiveFolder(const std::string& messageClass, std::optional<ObjId> folder) = 0;

  // ---- folders. An id that names no folder gives nullopt (GetFolder) or
  // an empty list, never another folder's data.
  virtual std::optional<FolderInfo> GetFolder(ObjId id) = 0;
  // The children of a folder in a stable order, staging folders included.
  virtual std::vector<ObjId> Subfolders(ObjId id) = 0;
  // The subfolder of that name (letters A to Z in either case). The
  // default walks Subfolders; a provider with an index answers directly.
  virtual std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name);
  // The folder's own properties (those a client set, and any the format
  // keeps itself), not the computed ones of FolderInfo.
  virtual PropList FolderProps(ObjId id) = 0;
  virtual void SetFolderProps(ObjId id, const PropList& props) = 0;
  virtual void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) = 0;
  // Makes an empty folder below parent (which exists, and has no child of
  // that name: the caller checked) and returns its id. Throws
  // MAPI_E_COLLISION when a sibling has the name after all (another
  // process made it), MAPI_E_INVALID_PARAMETER for a name the format
  // cannot hold.
  virtual ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) = 0;
  // Moves and/or renames a folder with its subtree, keeping every id.
  // newParent exists, is not below id, and has no child of newName.
  virtual void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) = 0;
  // Deletes a folder with its subtree and messages; step (may be empty)
  // hears of the messages removed so far, and a false answer stops the
  // work (what is deleted stays deleted). Never called for the root.
  virtual void DeleteFolderTree(ObjId id, const StepFn& step) = 0;
  // Every folder of the subtree, the folder itself first, parents before
  // children (staging folders included). Used to count work and to check
  // a subtree before a copy; the copy engine walks the tree itself.
  virtual std::vector<ObjId> SubtreeFolders(ObjId id) = 0;

  // ---- messages. The caller holds a transaction around a series of
  // calls (read or write) where it wants one consistent view.
  // The ids of a folder's normal or associated messages, in a stable order.
  virtual std::vector<ObjId> Messages(ObjId folder, bool associated) = 0;
  virtual std::optional<MessageInfo> GetMessage(ObjId id) = 0;
  // A message's properties without its recipients and attachments (may be
  // cheaper than LoadMessage). Throws MAPI_E_NOT_FOUND for an unknown id.
  virtual PropList MessageProps(ObjId id) = 0;
  // The whole message; the caller owns the copy. Throws MAPI_E_NOT_FOUND
  // for an unknown id. May run on the copy engine's loading thread.
  virtual MessageData LoadMessage(ObjId id) = 0;
  // Writes a message into folder (which exists and, for associated ones,
  // the capabilities allow); with replace, in place of that message,
  // which keeps its id. Returns the id. data is read during the call only.
  // A provider may hold the written message back until the transaction
  // commits (uploads in batches), but GetMessage and LoadMessage see it at
  // once.
  virtual ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data,
                             std::optional<ObjId> replace) = 0;
  // The message as Internet bytes, flags and delivery time, when
  // LoadMessage(id) would give exactly what the converter makes of them
  // (nothing but its flags changed since it came); nullopt when it would
  // not, or the store cannot say cheaply (the default). Throws as
  // LoadMessage; may run on the copy engine's loading thread.
  virtual std::optional<InternetMessage> LoadInternet(ObjId /*id*/) { return std::nullopt; }
  // Writes a new normal message given as Internet bytes into folder, as
  // StoreMessage would write what the converter makes of them; nullopt
  // means "not taken, nothing done" (the default: the caller converts and
  // calls StoreMessage). A store that keeps content keys remembers m.key
  // for the bytes; a message marked held (only after HeldKeys said so) is
  // written from the content the key names. m is read during the call only.
  virtual std::optional<ObjId> StoreInternet(ObjId /*folder*/, const InternetMessage& /*m*/) { return std::nullopt; }
  // Writes a new normal message that has no Internet bytes (data as
  // LoadMessage gives it) kept whole, sharing what it is with every equal
  // message of the store; key, when not empty, is a key of its source's
  // listing that covers its flags too, remembered for it: a later copy whose
  // listing gives the same key (HeldKeys) is written by StoreInternet of a
  // held message with that key. nullopt means "not taken, nothing done"
  // (the default: the caller calls StoreMessage).
  virtual std::optional<ObjId> StoreWhole(ObjId /*folder*/, const MessageData& /*data*/, const std::string& /*key*/) {
    return std::nullopt;
  }
  // ---- content keys: how a copy reads only what its destination lacks.
  // A content key names a message's bytes without reading them (a server's
  // mailbox, UIDVALIDITY and UID; a file's name, size and time): the same
  // key names the same bytes for ever, and a store unsure of that (a file
  // rewritten in place) gives a new key. Keys of two stores never meet.
  // A folder's normal messages in the order of Messages, each with its key
  // (empty: none), flags and delivery time, from the listing alone; nullopt
  // when the store gives no keys (the default). A store whose messages are
  // not Internet bytes (LoadInternet gives none) gives keys that cover the
  // messages' flags, and no flags or time.
  virtual std::optional<std::vector<ListedMessage>> ListInternet(ObjId /*folder*/) { return std::nullopt; }
  // For each key, whether this store holds the content it names (kept by
  // StoreInternet of a message with that key); all false by default. The
  // answer holds until the caller's write transaction ends.
  virtual std::vector<bool> HeldKeys(std::span<const std::string> keys) { return std::vector<bool>(keys.size(), false); }
  // Work a destination can do on a message's bytes before StoreInternet
  // writes it (digests, conversion, compression), kept in m.prepared. Runs
  // on the copy engine's loading thread while another thread writes this
  // store: it touches nothing of the store. The default does nothing.
  virtual void PrepareInternet(InternetMessage& /*m*/) const {}
  // A key that names a folder's normal messages with their flags as they
  // are now, asked before they are listed (a server's UIDVALIDITY, UIDNEXT,
  // message count and HIGHESTMODSEQ): the same key means nothing in the
  // folder changed since. Empty when the store cannot say cheaply (the
  // default).
  virtual std::string FolderStateKey(ObjId /*folder*/) { return {}; }
  // Destination side: fills the new, empty folder into from the copy this
  // store remembers for that folder key, if it still holds that copy as it
  // was made (nothing in it changed since); false means "not taken, nothing
  // done". Called inside the caller's write transaction.
  virtual bool CopyRememberedFolder(const std::string& /*folderKey*/, ObjId /*into*/, std::uint64_t& /*messages*/) {
    return false;
  }
  // Remembers folder (just filled by a copy) as the copy of the folder key.
  virtual void RememberFolder(const std::string& /*folderKey*/, ObjId /*folder*/) {}
  // Deletes messages; ids that name nothing are skipped.
  virtual void DeleteMessages(std::span<const ObjId> ids) = 0;
  // Moves messages into folder (which exists), keeping their ids.
  virtual void MoveMessages(std::span<const ObjId> ids, ObjId folder) = 0;

  // ---- transactions. Both nest; the returned object rolls back when it
  // goes without Commit (also while an exception unwinds), and must go
  // before the store does. A write transaction of the outermost level
  // takes the store's write lock at once (and may wait for another
  // process's); a read transaction gives one consistent view.
  virtual std::unique_ptr<Transaction> BeginWrite() = 0;
  virtual std::unique_ptr<Transaction> BeginRead() = 0;

  // ---- fast paths. The copy engine walks a copied tree itself (making
  // each folder with CreateFolder and SetFolderProps) and offers the
  // messages of each folder to the destination's fast path; a provider
  // only knows how to move one folder's messages faster than loading and
  // storing them one by one (e.g. the server copies, or rows go by SQL),
  // never how to walk a tree.
  class FolderCopier {
   public:
    virtual ~FolderCopier() = default;
    // Every message of srcFolder (normal and associated, each keeping its
    // kind) into destFolder, a folder this copy has just made; step is
    // told the messages done so far in this folder (or kStepStillWorking).
    // false means "not taken, nothing done": the engine copies them
    // itself. Called inside the engine's write transaction of this store,
    // on the thread that began the copy.
    virtual bool CopyContents(ObjId srcFolder, ObjId destFolder, const StepFn& step) = 0;
    // Commits the engine's write transaction around the copy (which the
    // copier may keep alive through step while it takes long).
    virtual void Commit(Transaction& tx, const StepFn& /*step*/) { tx.Commit(); }
  };
  // A copier for a copy of srcFolder (a tree when the engine copies
  // subfolders) from src into a new folder below destParent, or nullptr
  // when this store has no faster way from src (src is of another kind,
  // or this copy is not one it can take). Called before the engine's
  // transactions begin, and released after they end: what it prepares
  // (an attached file, say) may need to be outside them. The caller has
  // made the checks of the contract above (destination exists, name
  // free, associated messages allowed). A fast path that throws leaves
  // the engine's transaction to roll back.
  virtual std::unique_ptr<FolderCopier> BeginFolderCopy(StoreProvider& /*src*/, ObjId /*srcFolder*/,
                                                        ObjId /*destParent*/) {
    return nullptr;
  }
  // A copy of a list of messages is offered whole: src is of this
  // provider's kind, or the same object; false means "not taken, nothing
  // done". One that returns true did the whole work, in one transaction
  // of its own, and reported its progress through step; one that throws
  // left nothing of the copy behind.
  // Messages of src into destFolder, each keeping its kind.
  virtual bool CopyMessagesFrom(StoreProvider& /*src*/, std::span<const ObjId> /*ids*/, ObjId /*destFolder*/,
                                const StepFn& /*step*/) {
    return false;
  }

  // ---- upkeep (mapiadmin check, stats, compact) --------------------------
  // What a store that keeps its data in a file of its own offers; nullptr
  // for the others. Owned by the store.
  virtual class StoreMaintenance* Maintenance() { return nullptr; }
};

// The upkeep of a store file. Called on the thread that uses the store,
// outside any transaction of the caller's.
class StoreMaintenance {
 public:
  virtual ~StoreMaintenance() = default;
  // Reads every stored content back and checks it against its digest, the
  // file's own integrity and the references counted; a line for each
  // damage found, none when the store is whole.
  virtual std::vector<std::string> Check(const StepFn& step) = 0;
  struct Stats {
    std::uint64_t folders = 0;
    std::uint64_t snapshots = 0;       // folders named by a save's time stamp (YYYY.MM.DD HH:MM ...)
    std::uint64_t messages = 0;
    std::uint64_t sharedMessages = 0;  // messages referring to a content
    std::uint64_t logicalBytes = 0;    // the messages as separate copies would take
    std::uint64_t referencedBytes = 0; // the contents' bytes, once per message referring to them
    std::uint64_t contents = 0;        // distinct contents the messages use
    std::uint64_t contentBytes = 0;    // their bytes, once each
    std::uint64_t packedBytes = 0;     // their bytes as stored (compressed)
    std::uint64_t ownBytes = 0;        // what the messages keep of their own
    std::uint64_t fileBytes = 0;       // the store file with its journal
    std::uint64_t freeBytes = 0;       // free pages inside the file
  };
  // Of the folder and all below it; without a folder, of the whole store.
  virtual Stats Statistics(std::optional<ObjId> folder) = 0;
  // Gives the file's free pages back to the file system; returns how many
  // bytes the file (with its journal) shrank by.
  virtual std::uint64_t Compact() = 0;
};

// ---- the provider registry ---------------------------------------------------

// A key of a profile's [[store]] table, as the file gives it.
struct SettingValue {
  enum class Type { String, Integer, Boolean, List } type = Type::String;
  // Integers in decimal, booleans "true" or "false", a list of strings as
  // each string followed by a line feed (none: the empty list).
  std::string text;
  bool operator==(const SettingValue&) const = default;
};
// The provider's own keys of a store entry (every key but name, guid, kind,
// default and provider).
using StoreSettings = std::map<std::string, SettingValue>;

// Reads a key: nullopt when it is absent; throws std::runtime_error when it
// has another type.
std::optional<std::string> SettingString(const StoreSettings& s, const std::string& key);
std::optional<bool> SettingBool(const StoreSettings& s, const std::string& key);
std::optional<std::int64_t> SettingInt(const StoreSettings& s, const std::string& key);
std::optional<std::vector<std::string>> SettingList(const StoreSettings& s, const std::string& key);

// One key of a provider's settings: what the provider's Validate accepts,
// described for the user and for the tests (example: a value it accepts).
struct SettingInfo {
  std::string key;
  SettingValue::Type type = SettingValue::Type::String;
  bool required = false;
  std::string example;
  std::string meaning;
};

// A store's identity, read without keeping it open.
struct StoreIdentity {
  GUID guid;
  std::string displayName;
  std::string kind;
};

// One kind of store: it knows its profile keys and opens its stores. A
// factory is a constant object that lives for the whole process (the
// registry hands out references); every method may be called from any
// thread.
class ProviderFactory {
 public:
  virtual ~ProviderFactory() = default;
  virtual std::string Name() const = 0;         // the profile's provider key: "sqlite", "maildir"
  virtual std::string DisplayName() const = 0;  // PR_PROVIDER_DISPLAY
  // PR_MDB_PROVIDER of its stores of a kind ("mailbox", "archive", "public").
  virtual std::string ProviderUid(const std::string& kind) const;
  // Checks the settings without touching the store. Throws
  // std::runtime_error naming the key when they are not usable.
  virtual void Validate(const StoreSettings& settings) const = 0;
  // Where the store lives, for messages to the user (a file or a folder);
  // never throws (settings that do not parse give what they say).
  virtual std::string Location(const StoreSettings& settings) const = 0;
  // Opens a store; the caller owns it. Throws MapiError: MAPI_E_NOT_FOUND
  // (missing), MAPI_E_NO_ACCESS, MAPI_E_CORRUPT_STORE (damaged, not a
  // store), MAPI_E_VERSION (a newer format), MAPI_E_LOGON_FAILED and
  // MAPI_E_NETWORK_ERROR (a server), MAPI_E_INVALID_PARAMETER (settings).
  virtual std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const = 0;
  // The store's identity, without keeping it open (the default opens it);
  // throws as Open.
  virtual StoreIdentity Identify(const StoreSettings& settings) const;
  // The keys of its profile entries, the required ones first.
  virtual std::vector<SettingInfo> Settings() const = 0;
  // Uses the store as a program would (opens it; an account: logs in) and
  // says what it found, a line each, for `mapiadmin store check` and
  // `store add-imap --check`. Throws as Open. The default opens the store.
  virtual std::vector<std::string> Check(const StoreSettings& settings) const;
  // A failure of Open, Identify or Check in words for the user, for the
  // store a profile calls storeName. The default: StoreErrorText for a
  // MapiError, else the exception's own text.
  virtual std::string ErrorText(const std::exception& e, const std::string& storeName,
                                const StoreSettings& settings) const;
};

// A MapiError of opening a store at location (a file, a folder) in words
// for the user.
std::string StoreErrorText(const MapiError& e, const std::string& location);

// The providers known to this subsystem (sqlite, maildir, imap and pst); nullptr for
// another name.
const ProviderFactory* FindProvider(const std::string& name);
std::vector<const ProviderFactory*> Providers();

// The kinds of store a provider can make.
enum class StoreKind { Mailbox, Archive, Public };

}  // namespace tesk::mapi
