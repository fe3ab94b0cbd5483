// The interface between the generic MAPI objects and a store provider. A
// provider keeps folders (a tree), messages in folders (normal or
// associated) with their recipients and attachments, and a few store-wide
// properties. Everything a client sets is kept exactly; the properties a
// store assigns itself (entry identifiers, counts, times) are computed by
// the MAPI objects from FolderInfo and MessageInfo.
#pragma once

#include <guiddef.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "prop.h"

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
};

class StoreProvider : public std::enable_shared_from_this<StoreProvider> {
 public:
  virtual ~StoreProvider() = default;

  // The transport of the session that opened the store; without one,
  // submitted messages wait in the Outbox.
  std::shared_ptr<const TransportSettings> transport;

  virtual const GUID& Guid() const = 0;
  virtual std::string Path() const = 0;
  virtual std::string DisplayName() = 0;
  virtual std::string Kind() = 0;  // "mailbox", "archive" or "public"

  virtual PropList StoreProps() = 0;
  virtual void SetStoreProps(const PropList& props) = 0;
  virtual void DeleteStoreProps(std::span<const ULONG> ids) = 0;
  virtual ObjId RootFolder() = 0;
  // The folder for a message class: the longest registered prefix wins.
  virtual std::optional<ObjId> ReceiveFolder(const std::string& messageClass, std::string* explicitClass) = 0;
  virtual void SetReceiveFolder(const std::string& messageClass, std::optional<ObjId> folder) = 0;

  virtual std::optional<FolderInfo> GetFolder(ObjId id) = 0;
  virtual std::vector<ObjId> Subfolders(ObjId id) = 0;
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

// Local store files (SQLite).
enum class StoreKind { Mailbox, Archive, Public };
void CreateStoreFile(const std::string& path, const std::string& displayName, StoreKind kind);
// Throws MapiError: MAPI_E_NOT_FOUND (missing), MAPI_E_NO_ACCESS
// (unreadable), MAPI_E_CORRUPT_STORE (not a store, damaged),
// MAPI_E_VERSION (newer format).
std::shared_ptr<StoreProvider> OpenStoreFile(const std::string& path);
// Reads a store file's identity without keeping it open.
struct StoreIdentity {
  GUID guid;
  std::string displayName;
  std::string kind;
};
StoreIdentity ReadStoreIdentity(const std::string& path);

}  // namespace tesk::mapi
