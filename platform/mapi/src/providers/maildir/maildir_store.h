// The Maildir store provider inside: the store object and what its parts
// (the journal of write transactions, folders and their directories, the
// message files and their names) share. Only the provider's own files
// include this; the rest of the subsystem goes through maildir_provider.h.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mapitags.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "providers/common/store_tables.h"
#include "providers/common/standard_folders.h"
#include "providers/common/maildir_names.h"
#include "provider.h"
#include "providers/maildir/maildir_provider.h"

namespace tesk::mapi::maildirstore {

namespace fs = std::filesystem;
namespace inet = tesk::mapi::inet;

constexpr char kIndexName[] = "tesk-index.sqlite";
constexpr char kJournalName[] = "tesk-journal";
constexpr char kLockName[] = "tesk-lock";
constexpr char kRootRel[] = "#root";
constexpr char kTopRel[] = "#top";
constexpr char kInboxRel[] = "INBOX";
constexpr char kForwarded[] = "$Forwarded";
constexpr std::size_t kNameMax = 255;  // bytes of a directory name

const char* const kIndexSchema = R"sql(
CREATE TABLE IF NOT EXISTS info(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS store_prop(prop_id INTEGER PRIMARY KEY, type INTEGER NOT NULL, value);
CREATE TABLE IF NOT EXISTS receive_folder(message_class TEXT PRIMARY KEY COLLATE NOCASE, folder_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS folder(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent_id INTEGER,
  rel TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  folder_type INTEGER NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS folder_by_parent ON folder(parent_id);
CREATE TABLE IF NOT EXISTS folder_prop(folder_id INTEGER NOT NULL, prop_id INTEGER NOT NULL, type INTEGER NOT NULL,
  value, PRIMARY KEY(folder_id, prop_id));
CREATE TABLE IF NOT EXISTS message(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder_id INTEGER NOT NULL,
  base TEXT NOT NULL,
  file TEXT NOT NULL,
  size INTEGER NOT NULL,
  mtime INTEGER NOT NULL,
  UNIQUE(folder_id, base));
)sql";

[[noreturn]] inline void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

[[noreturn]] void FailErrno(const std::string& what);

void SyncDir(const std::string& dir);

bool IsDir(const std::string& p);

void MakeMaildir(const std::string& dir, bool marker);

std::string ReadAll(const std::string& path);

std::string HostName();

class MaildirStore;

class MaildirTx final : public Transaction {
 public:
  MaildirTx(MaildirStore& store, bool write);
  ~MaildirTx() override;
  void Commit() override;

 private:
  MaildirStore& store_;
  bool write_;
  bool done_ = false;
  int level_;
};

class MaildirStore final : public StoreProvider {
 public:
  MaildirStore(std::string top, MaildirLayout layout) : top_(std::move(top)), layout_(layout) {}
  ~MaildirStore() override {
    if (lockFd_ >= 0) ::close(lockFd_);
  }

  // Opens (or, with create, makes) the index; with scan, reads the folders.
  void Open(bool create, const std::string& displayName, StoreKind kind, bool makeFolders = false);

  Capabilities Caps() const override;
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return top_; }
  std::string DisplayName() override { return info_["name"]; }
  std::string Kind() override { return info_["kind"]; }

  PropList StoreProps() override { return tables::StoreProps(ix_, standardProps_); }
  void SetStoreProps(const PropList& props) override;
  void DeleteStoreProps(std::span<const ULONG> ids) override;
  ObjId RootFolder() override { return root_; }

  std::optional<ObjId> ReceiveFolder(const std::string& cls, std::string* explicitClass) override {
    return tables::ReceiveFolder(ix_, cls, inbox_, explicitClass);
  }
  void SetReceiveFolder(const std::string& cls, std::optional<ObjId> folder) override;

  std::optional<FolderInfo> GetFolder(ObjId id) override;
  std::vector<ObjId> Subfolders(ObjId id) override { return tables::Subfolders(ix_, id); }
  std::optional<ObjId> FindSubfolder(ObjId parent, const std::string& name) override {
    return tables::FindSubfolder(ix_, parent, name);
  }
  PropList FolderProps(ObjId id) override {
    return tables::FolderProps(ix_, id, id == inbox_ || id == root_ ? inboxProps_ : PropList{});
  }
  void SetFolderProps(ObjId id, const PropList& props) override;
  void DeleteFolderProps(ObjId id, std::span<const ULONG> ids) override;
  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override;
  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override;
  void DeleteFolderTree(ObjId id, const StepFn& step) override;
  std::vector<ObjId> SubtreeFolders(ObjId id) override;

  std::vector<ObjId> Messages(ObjId folder, bool associated) override;
  std::optional<MessageInfo> GetMessage(ObjId id) override;
  PropList MessageProps(ObjId id) override { return LoadMessage(id).props; }
  MessageData LoadMessage(ObjId id) override;
  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override;
  std::optional<InternetMessage> LoadInternet(ObjId id) override;
  std::optional<std::vector<ListedMessage>> ListInternet(ObjId folder) override;
  std::optional<ObjId> StoreInternet(ObjId folder, const InternetMessage& m) override;
  void DeleteMessages(std::span<const ObjId> ids) override;
  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override;

  std::unique_ptr<Transaction> BeginWrite() override {
    if (readOnly_) Fail(MAPI_E_NO_ACCESS, top_ + " is read-only");
    return std::make_unique<MaildirTx>(*this, true);
  }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<MaildirTx>(*this, false); }

  // ---- transactions ----------------------------------------------------------------------

  int EnterTx(bool write);
  void CommitTx(int level, bool write);
  void LeaveTx(int level, bool write, bool committed);

 private:
  bool Fs() const { return layout_ == MaildirLayout::Fs; }

  void Lock();
  void Unlock() {
    if (lockFd_ < 0 || locked_ == 0) return;
    if (--locked_ == 0) ::flock(lockFd_, LOCK_UN);
  }

  // The journal: a first line "T <token>", then one line per change of a
  // write transaction, written (and synced) before the change is made:
  // F file made, D directory made, X path moved aside (path, tab, where to),
  // R directory renamed (from, tab, to).
  void OpenJournal();
  void Journal(char kind, const std::string& path, const std::string& second = {});
  // Moves a message file or a folder's directory aside into a tmp/
  // directory (the folder's own for a file, the top's for a directory),
  // where it waits for the commit.
  void PutAside(const std::string& path);
  // The tmp/ directory of a Maildir folder, made (and journaled) when missing.
  std::string TmpOf(const std::string& maildir);
  // A folder that waits in tmp/ and its subfolders get new final names.
  void Restage(const std::string& oldRel, const std::string& newRel);
  // Before the commit: the folders made in the transaction take their
  // names, never in place of what another program made meanwhile. A
  // Maildir++ folder comes after its subfolders (its name appears when they
  // are there); on fs a parent comes first, as the child's path needs it.
  void PublishStaged();
  // Folders a lost journal left waiting in tmp/ never committed (a commit
  // gives them their names first): they go.
  void RemoveStrayStaging();

  struct JournalLine {
    char kind;
    std::string a, b;
  };
  std::vector<JournalLine> ReadJournal(const std::string& path, std::string* token);
  // After a commit: what was moved aside goes for good.
  // A path moved aside into a folder's tmp/ went along with the folder's
  // directory when that was renamed later in the transaction.
  void FinishJournal(const std::string& path);
  void ClearJournal();
  // Removes what an unfinished write transaction made: its files, then its
  // folders' directories.
  void RollBackJournal();

  // ---- folders and their directories ----------------------------------------------------

  std::optional<ObjId> FolderByRel(const std::string& rel);
  std::string RelOf(ObjId id);
  std::string RelOfChild(ObjId parent, const std::string& component);
  // Where a folder's Maildir is: below the top, or for a folder made in the
  // open write transaction (on fs, also its subfolders) in tmp/.
  std::string DirOf(const std::string& rel) const;
  void Touch(ObjId folder) {
    ix_.Prepare("UPDATE folder SET modified=? WHERE id=?").Bind(1, NowFiletime()).Bind(2, folder).Run();
  }

  // ---- reading the Maildir ---------------------------------------------------------------

  ObjId EnsureFolder(const std::string& rel, ObjId parent, const std::string& name);

  // Brings the index up to what the directories hold: new folders and
  // messages get new numbers, the others keep theirs.
  void Scan();

  std::vector<std::string> Split(const std::string& rel) const;
  size_t Depth(const std::string& rel) const { return Split(rel).size(); }

  void ScanMessages(const std::string& dir, ObjId folder);

  // The standard folders, by the names Dovecot and mail clients give them.
  void FindStandardFolders();
  void PublishStandardFolders();

  // ---- message files ---------------------------------------------------------------------

  std::string UniqueBase(size_t size);

  void WriteSynced(const std::string& path, const std::string& bytes, std::int64_t mtime);

  // Writes a message file into folder's cur (in place of replace's file).
  ObjId StoreBytes(ObjId folder, const std::string& bytes, const inet::MailFlags& flags, std::int64_t delivered,
                   std::optional<ObjId> replace);

  // Keywords of a folder: Dovecot's dovecot-keywords ("<n> <keyword>").
  std::map<int, std::string> Keywords(const std::string& dir);

  // The flags a file's name gives; known keeps the folder's keywords once
  // read, for the next file of the same folder.
  inet::MailFlags FlagsOfName(const std::string& dir, const std::string& file,
                              std::optional<std::map<int, std::string>>* known = nullptr);

  // The info letters of a message's flags, in ASCII order; keywords are
  // added to the folder's dovecot-keywords as Dovecot writes it. A forwarded
  // message gets both P (mutt, mbsync, notmuch) and the keyword $Forwarded
  // (Dovecot, which ignores P).
  std::string InfoLetters(const std::string& dir, const inet::MailFlags& f);

  std::string top_;
  MaildirLayout layout_;
  sqlite::Db ix_{sqlite::Role::Index};
  GUID guid_{};
  ObjId root_ = 0, top_id_ = 0, inbox_ = 0;
  std::map<std::string, std::string> info_;
  PropList standardProps_, inboxProps_;
  // The standard folders, found by their names when the store opens.
  StandardFolders roles_{}, rolesAtBegin_{};
  // Standard folders deleted in this session: emptied, out of sight, their
  // directories waiting for a folder of their names made again.
  struct Kept {
    std::string rel;
    ObjId parent;
    std::string name;
    int role;
  };
  std::vector<Kept> kept_, keptAtBegin_;
  // Folders made in the open write transaction: final rel -> the directory
  // in the top's tmp/ where they wait for the commit.
  std::map<std::string, std::string> staged_;
  bool readOnly_ = false;
  int lockFd_ = -1, locked_ = 0, journalFd_ = -1;
  int depth_ = 0;
  bool writing_ = false;
  std::set<std::string> dirtyDirs_;
  std::string journalToken_;
  unsigned asides_ = 0;
  // Journal lines written and kept or staged folders changed in this process.
  std::size_t changes_ = 0;
  std::map<int, std::size_t> marks_;  // of each open inner write level
  bool doomed_ = false;               // an inner level that changed files failed
};

}  // namespace tesk::mapi::maildirstore
