// Outlook personal folder files (PST, ANSI and Unicode) as read-only stores,
// read with libpff.
//
// Identities: a folder's or message's ObjId is its node identifier in the
// file, which the file keeps for the object's life. The store's GUID is the
// message store's PR_RECORD_KEY, the 16-byte identifier the file gives
// itself (and every entry identifier of the file carries); a file without
// one gets a name-based GUID from the SHA-256 of its first 512 bytes, the
// header (which holds the file's own root and allocation figures). Copies
// of a file keep its record key, also when they go apart later: a profile
// tells a second file of one record key from the first by an instance of
// its own (the store key "instance", made when the file is added), and the
// GUID is then a name-based one from the record key and the instance. It
// stays the same from run to run and when the file moves, and a file of
// another record key in its place gets another GUID (and does not open).
//
// Only the folder tree is read at open; messages are listed per folder when
// asked and read one at a time. An attachment's bytes are read in pieces.
// Strings of ANSI files (PT_STRING8) are in the message's code page
// (PR_MESSAGE_CODEPAGE, else the file's) and become UTF-8; an embedded
// message becomes the Internet message it makes, as every provider here
// keeps one. Named properties (0x8000 and up) are left out: their numbers
// mean something only with the file's own name map.
//
// A password of the file (PR_PST_PASSWORD on the message store) is a CRC
// checked by Outlook's own program, not an encryption: the data is readable
// to anyone with the file, so such a file opens like any other, read-only.
#pragma once

#include <libpff.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "provider.h"

namespace tesk::mapi::pst {

constexpr ULONG kIdDisplayName = 0x3001, kIdRecordKey = 0x0FF9, kIdSubtree = 0x35E0, kIdCreated = 0x3007,
                kIdModified = 0x3008, kIdMessageSize = 0x0E08, kIdMessageFlags = 0x0E07, kIdFolderType = 0x3601,
                kIdCodepage = 0x3FFD, kIdAttachData = 0x3701, kIdAttachMethod = 0x3705, kIdAttachNum = 0x0E21,
                kIdRowId = 0x3000, kIdSubject = 0x0037;
// Folders that the message store names by entry identifier.
constexpr ULONG kStoreFolderIds[] = {0x35E0 /* IPM subtree */, 0x35E2 /* outbox */, 0x35E3 /* wastebasket */,
                                     0x35E4 /* sent mail */, 0x35E5 /* views */, 0x35E6 /* common views */,
                                     0x35E7 /* finder */};
constexpr int kMaxEmbeddingDepth = 16;
constexpr int kMaxFolderDepth = 256;
constexpr size_t kReadPiece = 64 * 1024;

[[noreturn]] inline void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

// ---- libpff handles -------------------------------------------------------------------

struct Error {
  libpff_error_t* e = nullptr;
  ~Error() {
    if (e) libpff_error_free(&e);
  }
  libpff_error_t** operator&() {
    if (e) libpff_error_free(&e);
    return &e;
  }
  std::string Text() const {
    if (!e) return "libpff failed";
    char buf[512] = {};
    libpff_error_sprint(e, buf, sizeof buf - 1);
    std::string s = buf;
    // The last line of libpff's backtrace says what went wrong first.
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (auto nl = s.rfind('\n'); nl != std::string::npos) s = s.substr(nl + 1);
    return s.empty() ? "libpff failed" : s;
  }
};

struct Item {
  libpff_item_t* p = nullptr;
  Item() = default;
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  Item(Item&& o) noexcept : p(o.p) { o.p = nullptr; }
  Item& operator=(Item&& o) noexcept {
    if (std::addressof(*this) != std::addressof(o)) {
      if (p) libpff_item_free(&p, nullptr);
      p = o.p;
      o.p = nullptr;
    }
    return *this;
  }
  ~Item() {
    if (p) libpff_item_free(&p, nullptr);
  }
  libpff_item_t** operator&() { return &p; }
  explicit operator bool() const { return p != nullptr; }
};

struct RecordSet {
  libpff_record_set_t* p = nullptr;
  ~RecordSet() {
    if (p) libpff_record_set_free(&p, nullptr);
  }
};

struct Entry {
  libpff_record_entry_t* p = nullptr;
  ~Entry() {
    if (p) libpff_record_entry_free(&p, nullptr);
  }
};

struct MultiValue {
  libpff_multi_value_t* p = nullptr;
  ~MultiValue() {
    if (p) libpff_multi_value_free(&p, nullptr);
  }
};
// ---- text and numbers of the file --------------------------------------------------

std::string ToUtf8(std::string_view in, int codepage);
std::string StripNul8(std::string s);
std::string StripNul16(std::string s);
// A little-endian number of n bytes (2 and 4 signed).
std::int64_t Le(const std::string& b, size_t n);
size_t FixedSizeOf(ULONG type);
// Properties that mean something only inside the file: the identities the
// MAPI objects compute, and the provider range (the file's own bookkeeping,
// such as its password, and this subsystem's own tags).
bool FileOnly(ULONG id);

class NoTx final : public Transaction {
 public:
  void Commit() override {}
};

// Where each part lives: pst_store.cpp opens the file and answers the
// provider's calls, pst_props.cpp reads properties, pst_messages.cpp
// messages and attachments, pst_folders.cpp the message store and the
// folder tree.
class PstStore final : public StoreProvider {
 public:
  PstStore(std::string path, std::string name, std::string kind, bool associated, std::string instance);
  ~PstStore() override;
  void Open();

  Capabilities Caps() const override;
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return path_; }
  std::string DisplayName() override { return nameOverride_.empty() ? ownName_ : nameOverride_; }
  std::string Kind() override { return kind_; }

  PropList StoreProps() override;
  void SetStoreProps(const PropList&) override { ReadOnly(); }
  void DeleteStoreProps(std::span<const ULONG>) override { ReadOnly(); }
  ObjId RootFolder() override { return root_; }
  std::optional<ObjId> ReceiveFolder(const std::string&, std::string* explicitClass) override;
  void SetReceiveFolder(const std::string&, std::optional<ObjId>) override { ReadOnly(); }

  std::optional<FolderInfo> GetFolder(ObjId id) override;
  std::vector<ObjId> Subfolders(ObjId id) override;
  PropList FolderProps(ObjId id) override;
  void SetFolderProps(ObjId, const PropList&) override { ReadOnly(); }
  void DeleteFolderProps(ObjId, std::span<const ULONG>) override { ReadOnly(); }
  ObjId CreateFolder(ObjId, const std::string&, ULONG) override { ReadOnly(); }
  void MoveFolder(ObjId, ObjId, const std::string&) override { ReadOnly(); }
  void DeleteFolderTree(ObjId, const StepFn&) override { ReadOnly(); }
  std::vector<ObjId> SubtreeFolders(ObjId id) override;

  std::vector<ObjId> Messages(ObjId folder, bool associated) override;
  std::optional<MessageInfo> GetMessage(ObjId id) override;
  PropList MessageProps(ObjId id) override;
  MessageData LoadMessage(ObjId id) override;
  std::optional<std::vector<ListedMessage>> ListInternet(ObjId folder) override;
  ObjId StoreMessage(ObjId, bool, const MessageData&, std::optional<ObjId>) override { ReadOnly(); }
  void DeleteMessages(std::span<const ObjId>) override { ReadOnly(); }
  void MoveMessages(std::span<const ObjId>, ObjId) override { ReadOnly(); }
  std::unique_ptr<Transaction> BeginWrite() override { ReadOnly(); }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<NoTx>(); }

 private:
  struct Folder {
    FolderInfo info;
    std::vector<ObjId> children;
  };

  [[noreturn]] void ReadOnly() const { Fail(MAPI_E_NO_ACCESS, path_ + " is an Outlook data file, read-only here"); }
  Item ItemById(ObjId id);
  Item MessageItem(ObjId id, ObjId folder);
  static ObjId IdOf(libpff_item_t* item);

  // ---- properties ------------------------------------------------------------------
  std::optional<std::string> EntryData(libpff_record_entry_t* e);
  std::optional<std::int64_t> IntEntry(libpff_record_set_t* set, ULONG id, ULONG type);
  std::optional<std::string> BytesEntry(libpff_record_set_t* set, ULONG id, ULONG type);
  std::optional<Prop> ToProp(libpff_record_entry_t* e, int codepage);
  std::optional<Prop> MultiProp(libpff_record_entry_t* e, ULONG tag, int codepage);
  PropList SetProps(libpff_record_set_t* set, int codepage, bool translate, bool attachment);
  PropList ReadProps(libpff_item_t* item, int codepage, bool translate, bool attachment = false);
  int MessageCodepage(libpff_item_t* item);
  std::optional<ObjId> FolderOfEntryId(const std::string& eid) const;
  void Translate(Prop& p) const;

  // ---- messages ----------------------------------------------------------------------
  MessageData ReadMessage(libpff_item_t* item, int depth);
  PropList ReadAttachment(libpff_item_t* att, int num, int cp, int depth);
  std::vector<ObjId> ListMessages(ObjId folder, bool associated);
  std::string KeyOf(libpff_item_t* item, ObjId id);
  std::optional<std::pair<ObjId, bool>> Locate(ObjId id);

  // ---- the store and its folders ------------------------------------------------------------
  void ReadMessageStore();
  static GUID NameBasedGuid(const std::string& name);
  FolderInfo FolderInfoOf(libpff_item_t* item, ObjId id, ObjId parent);
  void ReadFolders();
  void FindStandardFolders();

  std::string path_, nameOverride_, kind_;
  bool associated_;
  std::string instance_;  // of a file whose record key another store has
  std::recursive_mutex mu_;
  libpff_file_t* file_ = nullptr;
  std::uint64_t fileSize_ = 0;
  int codepage_ = 1252;
  std::string headerDigest_, recordKey_, ownName_;
  GUID guid_{};
  ObjId root_ = 0, subtree_ = 0, inbox_ = 0;
  std::map<ObjId, Folder> folders_;
  std::map<ULONG, std::string> storeFolderEids_;
  PropList storeProps_;
  std::map<ObjId, std::pair<ObjId, bool>> messageFolder_;
  Item cachedFolder_;
  ObjId cachedFolderId_ = 0;
  std::set<std::pair<ObjId, bool>> listed_;
};

}  // namespace tesk::mapi::pst
