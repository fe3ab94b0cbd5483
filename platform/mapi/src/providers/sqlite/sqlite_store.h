// The local store provider: one store is one SQLite file (schema versioned
// with PRAGMA user_version, marked with its own application_id). A whole
// copy commits in one transaction; two processes may use one file, a writer
// waiting for the other.
//
// Where each part lives: sqlite_file.cpp checks, opens, migrates and
// creates store files; sqlite_store.cpp answers the provider's calls;
// sqlite_content.{h,cpp} keeps a message's Internet bytes once per file
// (content rows shared by every message with the same bytes);
// sqlite_copy.cpp copies between two store files with set-based statements.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/entryid.h"
#include "providers/common/sqlite_db.h"
#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_provider.h"

namespace tesk::mapi::sqlite {

constexpr int kApplicationId = 0x54534B4D;  // "TSKM"
// 1: every message as property rows; 2: content rows shared by messages;
// 3: content and folder keys; 4: a content may be a message without
// Internet bytes kept whole (content::kRows), which older builds cannot read.
constexpr int kSchemaVersion = 4;
constexpr std::int64_t kCopyChunk = 250;  // message ids per set-based copy step
constexpr std::uint64_t kWholeBatchBytes = 1u << 20;  // rows read ahead while the last ones are encoded
constexpr std::size_t kWholeEncoders = 2;              // batches encoded at a time

// Whether SQLite can keep its shared-memory index beside the file.
bool FolderWritable(const std::string& path);

class Tx : public Transaction {
 public:
  Tx(Db& db, int& depth, bool write) : db_(db), depth_(depth) {
    if (depth_ == 0) {
      Run(write ? "BEGIN IMMEDIATE" : "BEGIN");
    } else {
      Run("SAVEPOINT sp" + std::to_string(depth_));
    }
    level_ = depth_++;
  }
  ~Tx() override {
    if (done_) return;
    try {
      if (level_ == 0) {
        Run("ROLLBACK");
      } else {
        Run("ROLLBACK TO sp" + std::to_string(level_));
        Run("RELEASE sp" + std::to_string(level_));
      }
    } catch (...) {
    }
    --depth_;
  }
  void Commit() override {
    Run(level_ == 0 ? std::string("COMMIT") : "RELEASE sp" + std::to_string(level_));
    done_ = true;
    --depth_;
  }

 private:
  // Kept prepared: a copy opens and releases a savepoint for every message.
  void Run(const std::string& sql) { db_.Prepare(sql).Run(); }

  Db& db_;
  int& depth_;
  int level_ = 0;
  bool done_ = false;
};

// What PrepareInternet works out of new bytes for the content table.
struct Prepared final : PreparedContent {
  std::string digest;
  content::Derived derived;
  content::Packed packed;
};

class SqliteStore final : public StoreProvider, public StoreMaintenance {
 public:
  explicit SqliteStore(std::string path);
  void Open();
  void Create(const std::string& displayName, StoreKind kind);

  Capabilities Caps() const override;
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return path_; }
  std::string DisplayName() override { return info_["name"]; }
  std::string Kind() override { return info_["kind"]; }

  PropList StoreProps() override;
  void SetStoreProps(const PropList& props) override;
  void DeleteStoreProps(std::span<const ULONG> ids) override;
  ObjId RootFolder() override { return root_; }

  std::optional<ObjId> ReceiveFolder(const std::string& cls, std::string* explicitClass) override;
  void SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) override;

  std::optional<FolderInfo> GetFolder(ObjId id) override;
  std::vector<ObjId> Subfolders(ObjId id) override;
  std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name) override;
  PropList FolderProps(ObjId id) override;
  void SetFolderProps(ObjId id, const PropList& props) override;
  void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) override;
  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override;
  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override;
  void DeleteFolderTree(ObjId id, const StepFn& step) override;
  std::vector<ObjId> SubtreeFolders(ObjId id) override { return SubtreeIn("main", id); }

  std::vector<ObjId> Messages(ObjId folder, bool associated) override;
  std::optional<MessageInfo> GetMessage(ObjId id) override;
  PropList MessageProps(ObjId id) override;
  MessageData LoadMessage(ObjId id) override;
  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override;
  std::optional<InternetMessage> LoadInternet(ObjId id) override;
  std::optional<ObjId> StoreWhole(ObjId folder, const MessageData& data, const std::string& key) override;
  std::optional<ObjId> StoreInternet(ObjId folder, const InternetMessage& m) override;
  std::vector<bool> HeldKeys(std::span<const std::string> keys) override;
  void PrepareInternet(InternetMessage& m) const override;
  bool CopyRememberedFolder(const std::string& folderKey, ObjId into, std::uint64_t& messages) override;
  void RememberFolder(const std::string& folderKey, ObjId folder) override;
  void DeleteMessages(std::span<const ObjId> ids) override;
  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override;

  std::unique_ptr<Transaction> BeginWrite() override { return std::make_unique<Tx>(db_, depth_, true); }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<Tx>(db_, depth_, false); }

  std::unique_ptr<FolderCopier> BeginFolderCopy(StoreProvider& srcBase, ObjId srcFolder, ObjId destParent) override;

  bool CopyMessagesFrom(StoreProvider& srcBase, std::span<const ObjId> ids, ObjId destFolder,
                        const StepFn& step) override;

  StoreMaintenance* Maintenance() override { return this; }
  std::vector<std::string> Check(const StepFn& step) override;
  Stats Statistics(std::optional<ObjId> folder) override;
  std::uint64_t Compact() override;

 private:
  struct Attached;
  class FolderCopy;
  void StartMessageSet();
  void CopyMessageSet(const std::string& s, bool srcContent, const StepFn& step);
  std::int64_t CopyMessageRange(const std::string& s, bool srcContent, std::int64_t a, std::int64_t b,
                                std::int64_t offset);
  std::int64_t NextMessageId();
  void KeepWhole(const std::string& s, std::span<const ObjId> ids, std::int64_t offset);
  // A message kept as rows in schema s (main or an attached file).
  MessageData LoadRows(const std::string& s, ObjId id);
  // The content of a message kept whole (kept now if it is new), and the
  // size such a message counts.
  std::int64_t ShareWhole(const MessageData& data, std::int64_t& size);
  // The content of the encoding raw of a message kept whole, found by its
  // digest or kept now (packed when given).
  std::int64_t WholeContent(const std::string& raw, const std::string& digest, std::int64_t attachments,
                            const content::Packed* packed);
  // A new normal message of folder that refers to content, with its own
  // properties (EncodeProps) and the size it counts.
  ObjId InsertSharing(ObjId folder, std::int64_t size, std::int64_t content, const std::string& own);
  void Migrate();
  std::string MessagePlace(ObjId id);
  // The content a message with Internet bytes raw can share, and in own
  // the properties that are the message's own; nullopt when the message
  // differs from what its bytes give beyond its properties (it is kept as
  // property rows then).
  std::optional<std::int64_t> ShareContent(const std::string& raw, const MessageData& data, PropList& own,
                                           std::int64_t& size);
  // The content of a message given as bytes (kept now if it is new) and
  // the message's own properties over it.
  // nullopt for a held message whose key names nothing here.
  std::optional<std::int64_t> ShareInternet(const InternetMessage& m, PropList& own, std::int64_t& size);
  // The content of that digest of Internet bytes, with what the row keeps
  // of it (no such digest names a message kept whole: content::DigestOf).
  std::optional<std::int64_t> KnownContent(const std::string& digest, content::Derived& d);
  std::int64_t InsertContent(const std::string& digest, const std::string& raw, const content::Derived& d,
                             const content::Packed* packed = nullptr, int mark = 0);
  // How many messages a folder holds and a digest of its rows (kind,
  // content, own properties, in order); nullopt when one of them shares no
  // content.
  std::optional<std::pair<std::int64_t, std::string>> FolderDigest(ObjId folder);
  // The message derived from its content, with its own properties.
  MessageData LoadShared(ObjId id, std::int64_t contentId);
  std::optional<std::int64_t> ContentOf(ObjId id);
  // The message table's content column (NULL in a file of the first
  // format that could not be migrated, being read-only).
  std::string ContentColumn() const { return hasContent_ ? "content_id" : "NULL"; }
  std::vector<ObjId> SubtreeIn(const std::string& schema, ObjId id);
  ObjId InsertFolder(std::optional<ObjId> parent, const std::string& name, ULONG type);
  bool GetFolderExists(ObjId id);
  void Touch(ObjId folder) {
    db_.Prepare("UPDATE folder SET modified=? WHERE id=?").Bind(1, NowFiletime()).Bind(2, folder).Run();
  }
  void SetInfo(const std::string& key, const std::string& value) {
    db_.Prepare("INSERT OR REPLACE INTO store_info(key, value) VALUES(?,?)").Bind(1, key).BindBlob(2, value).Run();
  }
  std::string FolderEntryId(ObjId id) const { return MakeObjectEntryId(guid_, ObjKind::Folder, id); }
  std::int64_t Pragma(const std::string& name) { return QueryInt("PRAGMA " + name, 0); }
  std::int64_t QueryInt(const std::string& sql, std::int64_t fallback);
  static std::vector<ObjId> Ids(Stmt& s);

  std::string path_;
  Db db_;
  GUID guid_{};
  ObjId root_ = 0;
  int depth_ = 0;
  bool readOnly_ = false;
  bool hasContent_ = true;
  bool hasKeys_ = true;  // content_key (format 3)
  std::map<std::string, std::string> info_;
};

}  // namespace tesk::mapi::sqlite
