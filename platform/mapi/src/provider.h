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

// Work done so far; returns false to ask the operation to stop.
using StepFn = std::function<bool(std::uint64_t done)>;
// What a step function gets while a long store operation has no new units
// to report (the commit of a large copy): a sign of life only.
constexpr std::uint64_t kStepStillWorking = ~std::uint64_t{0};

class Transaction {
 public:
  virtual ~Transaction() = default;  // rolls back unless committed
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
  bool serverSideCopy = false;        // copies within the store without moving the data
};

// How many bytes a message takes in flight (its properties, recipients and
// attachments); the copy engine batches by this.
std::uint64_t MessageBytes(const MessageData& m);

class StoreProvider : public std::enable_shared_from_this<StoreProvider> {
 public:
  virtual ~StoreProvider() = default;

  virtual Capabilities Caps() const = 0;

  // The transport of the session that opened the store; without one,
  // submitted messages wait in the Outbox.
  std::shared_ptr<const TransportSettings> transport;

  virtual const GUID& Guid() const = 0;
  virtual std::string Path() const = 0;
  virtual std::string DisplayName() = 0;
  virtual std::string Kind() = 0;  // "mailbox", "archive" or "public"
  // PR_MDB_PROVIDER: this subsystem's local provider, or the public-folder
  // provider's identifier for a public store.
  virtual std::string ProviderUid();

  virtual PropList StoreProps() = 0;
  virtual void SetStoreProps(const PropList& props) = 0;
  virtual void DeleteStoreProps(std::span<const ULONG> ids) = 0;
  virtual ObjId RootFolder() = 0;
  // The folder for a message class: the longest registered prefix wins.
  virtual std::optional<ObjId> ReceiveFolder(const std::string& messageClass, std::string* explicitClass) = 0;
  virtual void SetReceiveFolder(const std::string& messageClass, std::optional<ObjId> folder) = 0;

  virtual std::optional<FolderInfo> GetFolder(ObjId id) = 0;
  virtual std::vector<ObjId> Subfolders(ObjId id) = 0;
  // The subfolder of that name (letters A to Z in either case).
  virtual std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name);
  virtual PropList FolderProps(ObjId id) = 0;
  virtual void SetFolderProps(ObjId id, const PropList& props) = 0;
  virtual void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) = 0;
  // Throws MapiError(MAPI_E_COLLISION) when a sibling has the name.
  virtual ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) = 0;
  virtual void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) = 0;
  virtual void DeleteFolderTree(ObjId id, const StepFn& step) = 0;
  // Every folder of the subtree, the folder itself first, parents before children.
  virtual std::vector<ObjId> SubtreeFolders(ObjId id) = 0;

  virtual std::vector<ObjId> Messages(ObjId folder, bool associated) = 0;
  virtual std::optional<MessageInfo> GetMessage(ObjId id) = 0;
  virtual PropList MessageProps(ObjId id) = 0;
  virtual MessageData LoadMessage(ObjId id) = 0;
  // Writes a message; with replace, in place of that message.
  virtual ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data,
                             std::optional<ObjId> replace) = 0;
  virtual void DeleteMessages(std::span<const ObjId> ids) = 0;
  virtual void MoveMessages(std::span<const ObjId> ids, ObjId folder) = 0;

  // Transactions nest; a write transaction of the outermost level takes the
  // store's write lock at once.
  virtual std::unique_ptr<Transaction> BeginWrite() = 0;
  virtual std::unique_ptr<Transaction> BeginRead() = 0;

  // Fast paths between two stores of the same provider; false when the
  // provider cannot take them, and the generic copy runs instead.
  virtual bool CopyTreeFrom(StoreProvider& /*src*/, ObjId /*srcFolder*/, ObjId /*destParent*/,
                            const std::string& /*name*/, bool /*subfolders*/, const StepFn& /*step*/,
                            ObjId* /*newFolder*/) {
    return false;
  }
  virtual bool CopyMessagesFrom(StoreProvider& /*src*/, std::span<const ObjId> /*ids*/, ObjId /*destFolder*/,
                                const StepFn& /*step*/) {
    return false;
  }
};

// ---- the provider registry ---------------------------------------------------

// A key of a profile's [[store]] table, as the file gives it.
struct SettingValue {
  enum class Type { String, Integer, Boolean } type = Type::String;
  std::string text;  // integers in decimal, booleans "true" or "false"
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

// A store's identity, read without keeping it open.
struct StoreIdentity {
  GUID guid;
  std::string displayName;
  std::string kind;
};

// One kind of store: it knows its profile keys and opens its stores.
class ProviderFactory {
 public:
  virtual ~ProviderFactory() = default;
  virtual std::string Name() const = 0;         // the profile's provider key: "sqlite", "maildir"
  virtual std::string DisplayName() const = 0;  // PR_PROVIDER_DISPLAY
  // PR_MDB_PROVIDER of its stores of a kind ("mailbox", "archive", "public").
  virtual std::string ProviderUid(const std::string& kind) const;
  // Throws std::runtime_error naming the key when the settings are not usable.
  virtual void Validate(const StoreSettings& settings) const = 0;
  // Where the store lives, for messages to the user (a file or a folder).
  virtual std::string Location(const StoreSettings& settings) const = 0;
  // Throws MapiError: MAPI_E_NOT_FOUND (missing), MAPI_E_NO_ACCESS,
  // MAPI_E_CORRUPT_STORE (damaged, not a store), MAPI_E_VERSION.
  virtual std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const = 0;
  virtual StoreIdentity Identify(const StoreSettings& settings) const;
};

// The providers known to this subsystem (sqlite, maildir, imap and pst); nullptr for
// another name.
const ProviderFactory* FindProvider(const std::string& name);
std::vector<const ProviderFactory*> Providers();

// The kinds of store a provider can make.
enum class StoreKind { Mailbox, Archive, Public };

}  // namespace tesk::mapi
