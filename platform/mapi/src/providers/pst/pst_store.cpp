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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libpff.h>
#include <mapitags.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "provider.h"
#include "inetmail/rtf.h"

namespace tesk::mapi {

namespace {

namespace inet = tesk::mapi::inet;

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

[[noreturn]] void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

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

// ---- text -----------------------------------------------------------------------------

std::string ToUtf8(std::string_view in, int codepage) { return rtf::CodepageToUtf8(in, codepage); }

std::string StripNul8(std::string s) {
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}
std::string StripNul16(std::string s) {
  if (s.size() % 2) s.pop_back();
  while (s.size() >= 2 && s[s.size() - 1] == '\0' && s[s.size() - 2] == '\0') s.resize(s.size() - 2);
  return s;
}

std::int64_t Le(const std::string& b, size_t n) {
  std::uint64_t v = 0;
  for (size_t k = 0; k < n && k < b.size(); ++k) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(b[k])) << (8 * k);
  if (n == 2) return static_cast<std::int16_t>(v);
  if (n == 4) return static_cast<std::int32_t>(v);
  return static_cast<std::int64_t>(v);
}

size_t FixedSizeOf(ULONG type) {
  switch (type) {
    case PT_I2: return 2;
    case PT_LONG: case PT_R4: return 4;
    case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_SYSTIME: case PT_I8: return 8;
    case PT_CLSID: return 16;
    default: return 0;
  }
}

// Properties that mean something only inside the file: the identities the
// MAPI objects compute, and the provider range (the file's own bookkeeping,
// such as its password, and this subsystem's own tags).
bool FileOnly(ULONG id) {
  switch (id) {
    case 0x0FFF:  // PR_ENTRYID
    case 0x0E09:  // PR_PARENT_ENTRYID
    case 0x0FFB:  // PR_STORE_ENTRYID
    case 0x0FF9:  // PR_RECORD_KEY
    case 0x0FF6:  // PR_INSTANCE_KEY
    case 0x0FFA:  // PR_STORE_RECORD_KEY
    case 0x340D:  // PR_STORE_SUPPORT_MASK
    case 0x0FF4:  // PR_ACCESS
    case 0x0FF7:  // PR_ACCESS_LEVEL
      return true;
    default:
      return id >= 0x6700 && id <= 0x67FF;
  }
}

class PstStore;

class NoTx final : public Transaction {
 public:
  void Commit() override {}
};

class PstStore final : public StoreProvider {
 public:
  PstStore(std::string path, std::string name, std::string kind, bool associated, std::string instance)
      : path_(std::move(path)),
        nameOverride_(std::move(name)),
        kind_(kind.empty() ? "archive" : std::move(kind)),
        associated_(associated),
        instance_(std::move(instance)) {}
  ~PstStore() override {
    cachedFolder_ = Item();  // items go before their file
    if (file_) {
      libpff_file_close(file_, nullptr);
      libpff_file_free(&file_, nullptr);
    }
  }

  void Open() {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
      if (errno == EACCES) Fail(MAPI_E_NO_ACCESS, path_ + ": permission denied");
      Fail(MAPI_E_NOT_FOUND, path_ + ": no such file");
    }
    if (!S_ISREG(st.st_mode)) Fail(MAPI_E_CORRUPT_STORE, path_ + " is not a file");
    fileSize_ = static_cast<std::uint64_t>(st.st_size);
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(errno == EACCES || errno == EPERM ? MAPI_E_NO_ACCESS : MAPI_E_DISK_ERROR,
                     path_ + ": " + std::strerror(errno));
    std::string header(512, '\0');
    const ssize_t got = ::pread(fd, header.data(), header.size(), 0);
    ::close(fd);
    header.resize(got > 0 ? static_cast<size_t>(got) : 0);
    // The signature "!BDN" and a version the file layouts know: 14 and 15
    // (ANSI), 23 (Unicode), 36 (Unicode with 4 KiB pages).
    if (header.size() < 512 || header.compare(0, 4, "!BDN") != 0)
      Fail(MAPI_E_CORRUPT_STORE, path_ + " is no Outlook data file (PST)");
    const auto version = static_cast<unsigned>(Le(header.substr(10, 2), 2) & 0xFFFF);
    if (version != 14 && version != 15 && version != 23 && version != 36)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": unknown PST format version " + std::to_string(version));
    headerDigest_ = header;

    Error err;
    if (libpff_file_initialize(&file_, &err) != 1) Fail(MAPI_E_NOT_ENOUGH_MEMORY, err.Text());
    if (libpff_file_open(file_, path_.c_str(), LIBPFF_OPEN_READ, &err) != 1) {
      libpff_file_free(&file_, nullptr);
      file_ = nullptr;
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": damaged Outlook data file (" + err.Text() + ")");
    }
    libpff_file_get_ascii_codepage(file_, &codepage_, nullptr);
    ReadMessageStore();
    ReadFolders();
    FindStandardFolders();
  }

  Capabilities Caps() const override {
    Capabilities c;
    c.readOnly = true;
    c.associatedContents = associated_;
    return c;
  }
  const GUID& Guid() const override { return guid_; }
  std::string Path() const override { return path_; }
  std::string DisplayName() override { return nameOverride_.empty() ? ownName_ : nameOverride_; }
  std::string Kind() override { return kind_; }

  PropList StoreProps() override {
    std::lock_guard lock(mu_);
    return storeProps_;
  }
  void SetStoreProps(const PropList&) override { ReadOnly(); }
  void DeleteStoreProps(std::span<const ULONG>) override { ReadOnly(); }
  ObjId RootFolder() override { return root_; }
  std::optional<ObjId> ReceiveFolder(const std::string&, std::string* explicitClass) override {
    if (explicitClass) explicitClass->clear();
    if (!inbox_) return std::nullopt;
    return inbox_;
  }
  void SetReceiveFolder(const std::string&, std::optional<ObjId>) override { ReadOnly(); }

  std::optional<FolderInfo> GetFolder(ObjId id) override {
    std::lock_guard lock(mu_);
    auto it = folders_.find(id);
    if (it == folders_.end()) return std::nullopt;
    return it->second.info;
  }
  std::vector<ObjId> Subfolders(ObjId id) override {
    std::lock_guard lock(mu_);
    auto it = folders_.find(id);
    return it == folders_.end() ? std::vector<ObjId>{} : it->second.children;
  }
  PropList FolderProps(ObjId id) override {
    std::lock_guard lock(mu_);
    if (!folders_.count(id)) Fail(MAPI_E_NOT_FOUND, "folder not found");
    Item item = ItemById(id);
    PropList props = ReadProps(item.p, codepage_, true);
    std::erase_if(props, [](const Prop& p) { return p.id() == kIdDisplayName; });
    return props;
  }
  void SetFolderProps(ObjId, const PropList&) override { ReadOnly(); }
  void DeleteFolderProps(ObjId, std::span<const ULONG>) override { ReadOnly(); }
  ObjId CreateFolder(ObjId, const std::string&, ULONG) override { ReadOnly(); }
  void MoveFolder(ObjId, ObjId, const std::string&) override { ReadOnly(); }
  void DeleteFolderTree(ObjId, const StepFn&) override { ReadOnly(); }
  std::vector<ObjId> SubtreeFolders(ObjId id) override {
    std::lock_guard lock(mu_);
    std::vector<ObjId> out;
    if (!folders_.count(id)) return out;
    out.push_back(id);
    for (size_t k = 0; k < out.size(); ++k)
      for (ObjId c : folders_[out[k]].children) out.push_back(c);
    return out;
  }

  std::vector<ObjId> Messages(ObjId folder, bool associated) override {
    std::lock_guard lock(mu_);
    return ListMessages(folder, associated);
  }
  std::optional<MessageInfo> GetMessage(ObjId id) override {
    std::lock_guard lock(mu_);
    auto where = Locate(id);
    if (!where) return std::nullopt;
    Item item = MessageItem(id, where->first);
    MessageInfo info;
    info.id = id;
    info.folder = where->first;
    info.associated = where->second;
    RecordSet set;
    Error err;
    if (libpff_item_get_record_set_by_index(item.p, 0, &set.p, &err) == 1) {
      info.created = IntEntry(set.p, kIdCreated, PT_SYSTIME).value_or(0);
      info.modified = IntEntry(set.p, kIdModified, PT_SYSTIME).value_or(info.created);
      info.size = IntEntry(set.p, kIdMessageSize, PT_LONG).value_or(0);
      info.hasAttachments = IntEntry(set.p, kIdMessageFlags, PT_LONG).value_or(0) & MSGFLAG_HASATTACH;
    }
    return info;
  }
  PropList MessageProps(ObjId id) override {
    std::lock_guard lock(mu_);
    auto where = Locate(id);
    if (!where) Fail(MAPI_E_NOT_FOUND, "message not found");
    Item item = MessageItem(id, where->first);
    return ReadProps(item.p, MessageCodepage(item.p), false);
  }
  MessageData LoadMessage(ObjId id) override {
    std::lock_guard lock(mu_);
    auto where = Locate(id);
    if (!where) Fail(MAPI_E_NOT_FOUND, "message not found");
    Item item = MessageItem(id, where->first);
    return ReadMessage(item.p, 0);
  }
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

  Item ItemById(ObjId id) {
    Item item;
    Error err;
    if (id <= 0 || id > 0xFFFFFFFFLL ||
        libpff_file_get_item_by_identifier(file_, static_cast<std::uint32_t>(id), &item.p, &err) != 1 || !item.p)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": node " + std::to_string(id) + " cannot be read (" + err.Text() + ")");
    return item;
  }

  // A message's item: looked up among its folder's children (the file-wide
  // lookup walks the whole item tree, every node of the file, per call).
  Item MessageItem(ObjId id, ObjId folder) {
    if (folder != cachedFolderId_) {
      cachedFolder_ = ItemById(folder);
      cachedFolderId_ = folder;
    }
    Item item;
    if (libpff_item_get_sub_item_by_identifier(cachedFolder_.p, static_cast<std::uint32_t>(id), &item.p, nullptr) == 1 &&
        item.p)
      return item;
    return ItemById(id);
  }

  static ObjId IdOf(libpff_item_t* item) {
    std::uint32_t id = 0;
    if (libpff_item_get_identifier(item, &id, nullptr) != 1) return 0;
    return id;
  }

  // ---- properties ------------------------------------------------------------------

  std::optional<std::string> EntryData(libpff_record_entry_t* e) {
    size_t size = 0;
    if (libpff_record_entry_get_data_size(e, &size, nullptr) != 1) return std::nullopt;
    if (size == 0) return std::string();
    // Nothing in a file is larger than the file.
    if (size > fileSize_) return std::nullopt;
    std::string data(size, '\0');
    if (libpff_record_entry_get_data(e, reinterpret_cast<std::uint8_t*>(data.data()), size, nullptr) != 1)
      return std::nullopt;
    return data;
  }

  std::optional<std::int64_t> IntEntry(libpff_record_set_t* set, ULONG id, ULONG type) {
    Entry e;
    if (libpff_record_set_get_entry_by_type(set, id, type, &e.p, 0, nullptr) != 1 || !e.p) return std::nullopt;
    auto data = EntryData(e.p);
    const size_t n = FixedSizeOf(type);
    if (!data || data->size() < n) return std::nullopt;
    return Le(*data, n);
  }

  std::optional<std::string> BytesEntry(libpff_record_set_t* set, ULONG id, ULONG type) {
    Entry e;
    if (libpff_record_set_get_entry_by_type(set, id, type, &e.p, 0, nullptr) != 1 || !e.p) return std::nullopt;
    return EntryData(e.p);
  }

  // One record entry as a property; nullopt for what this subsystem cannot
  // keep (objects, named properties, whose numbers only the file's own map
  // gives meaning, and the file's own bookkeeping).
  std::optional<Prop> ToProp(libpff_record_entry_t* e, int codepage) {
    std::uint32_t id = 0, type = 0;
    if (libpff_record_entry_get_entry_type(e, &id, nullptr) != 1 ||
        libpff_record_entry_get_value_type(e, &type, nullptr) != 1)
      return std::nullopt;
    if (id > 0xFFFF || id >= 0x8000 || id == 0 || FileOnly(id) || type > 0xFFFF) return std::nullopt;
    const ULONG tag = PROP_TAG(type, id);
    if (type & MV_FLAG) return MultiProp(e, tag, codepage);
    if (StorageOf(type) == Storage::Unsupported || type == PT_ERROR) return std::nullopt;
    auto data = EntryData(e);
    if (!data) return std::nullopt;
    Prop p;
    p.tag = tag;
    switch (type) {
      case PT_BOOLEAN:
        p.i = std::any_of(data->begin(), data->end(), [](char c) { return c != 0; }) ? 1 : 0;
        return p;
      case PT_R4: {
        if (data->size() < 4) return std::nullopt;
        float f;
        std::memcpy(&f, data->data(), 4);
        p.d = f;
        return p;
      }
      case PT_DOUBLE: case PT_APPTIME:
        if (data->size() < 8) return std::nullopt;
        std::memcpy(&p.d, data->data(), 8);
        return p;
      case PT_STRING8:
        p.b = ToUtf8(StripNul8(std::move(*data)), codepage);
        if (id == kIdSubject && p.b.size() >= 2 && p.b[0] == '\x01') p.b.erase(0, 2);
        return p;
      case PT_UNICODE:
        p.b = StripNul16(std::move(*data));
        // A subject may begin with U+0001 and the length of its prefix
        // ("RE: "), which the file keeps for its own use.
        if (id == kIdSubject && p.b.size() >= 4 && p.b[0] == '\x01' && p.b[1] == '\0') p.b.erase(0, 4);
        return p;
      case PT_BINARY: p.b = std::move(*data); return p;
      case PT_CLSID:
        if (data->size() != 16) return std::nullopt;
        p.b = std::move(*data);
        return p;
      default: {
        const size_t n = FixedSizeOf(type);
        if (!n || data->size() < n) return std::nullopt;
        p.i = Le(*data, n);
        return p;
      }
    }
  }

  std::optional<Prop> MultiProp(libpff_record_entry_t* e, ULONG tag, int codepage) {
    const ULONG base = PROP_TYPE(tag) & ~MV_FLAG;
    const size_t fixed = FixedSizeOf(base);
    if (!fixed && base != PT_STRING8 && base != PT_UNICODE && base != PT_BINARY) return std::nullopt;
    MultiValue mv;
    Error err;
    if (libpff_record_entry_get_multi_value(e, &mv.p, &err) != 1 || !mv.p) return std::nullopt;
    int n = 0;
    if (libpff_multi_value_get_number_of_values(mv.p, &n, nullptr) != 1 || n < 0) return std::nullopt;
    std::vector<std::string> elements;
    for (int k = 0; k < n; ++k) {
      std::uint32_t type = 0;
      std::uint8_t* data = nullptr;
      size_t size = 0;
      if (libpff_multi_value_get_value(mv.p, k, &type, &data, &size, nullptr) != 1) return std::nullopt;
      if (size > fileSize_ || (size && !data)) return std::nullopt;
      std::string el(reinterpret_cast<const char*>(data), size);
      if (fixed && el.size() != fixed) return std::nullopt;
      if (base == PT_STRING8) el = ToUtf8(StripNul8(std::move(el)), codepage);
      if (base == PT_UNICODE) el = StripNul16(std::move(el));
      elements.push_back(std::move(el));
    }
    return MakeMv(PROP_TAG(MV_FLAG | base, PROP_ID(tag)), elements);
  }

  PropList SetProps(libpff_record_set_t* set, int codepage, bool translate, bool attachment) {
    PropList out;
    int n = 0;
    if (libpff_record_set_get_number_of_entries(set, &n, nullptr) != 1) return out;
    for (int k = 0; k < n; ++k) {
      Entry e;
      if (libpff_record_set_get_entry_by_index(set, k, &e.p, nullptr) != 1 || !e.p) continue;
      if (attachment) {
        std::uint32_t id = 0;
        if (libpff_record_entry_get_entry_type(e.p, &id, nullptr) == 1 && id == kIdAttachData) continue;
      }
      auto p = ToProp(e.p, codepage);
      if (!p || FindProp(out, p->id())) continue;
      if (translate) Translate(*p);
      out.push_back(std::move(*p));
    }
    return out;
  }

  PropList ReadProps(libpff_item_t* item, int codepage, bool translate, bool attachment = false) {
    RecordSet set;
    Error err;
    if (libpff_item_get_record_set_by_index(item, 0, &set.p, &err) != 1 || !set.p)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": the properties of node " + std::to_string(IdOf(item)) +
                                     " cannot be read (" + err.Text() + ")");
    return SetProps(set.p, codepage, translate, attachment);
  }

  int MessageCodepage(libpff_item_t* item) {
    RecordSet set;
    if (libpff_item_get_record_set_by_index(item, 0, &set.p, nullptr) != 1) return codepage_;
    const auto cp = IntEntry(set.p, kIdCodepage, PT_LONG);
    return cp && *cp > 0 && *cp < 65536 ? static_cast<int>(*cp) : codepage_;
  }

  // The file's entry identifier of one of its folders: four flag bytes, the
  // file's record key, the folder's node identifier.
  std::optional<ObjId> FolderOfEntryId(const std::string& eid) const {
    if (eid.size() != 24 || eid.compare(4, 16, recordKey_) != 0) return std::nullopt;
    const ObjId nid = Le(eid.substr(20, 4), 4) & 0xFFFFFFFFLL;
    if (!folders_.count(nid)) return std::nullopt;
    return nid;
  }
  // Entry identifiers of the file's folders become this subsystem's.
  void Translate(Prop& p) const {
    if (recordKey_.size() != 16) return;
    if (p.type() == PT_BINARY) {
      if (auto f = FolderOfEntryId(p.b)) p.b = MakeObjectEntryId(guid_, ObjKind::Folder, *f);
    } else if (p.type() == PT_MV_BINARY) {
      auto el = MvElements(p);
      bool changed = false;
      for (auto& e : el)
        if (auto f = FolderOfEntryId(e)) {
          e = MakeObjectEntryId(guid_, ObjKind::Folder, *f);
          changed = true;
        }
      if (changed) p = MakeMv(p.tag, el);
    }
  }

  // ---- messages ----------------------------------------------------------------------

  MessageData ReadMessage(libpff_item_t* item, int depth) {
    if (depth > kMaxEmbeddingDepth) Fail(MAPI_E_CORRUPT_STORE, path_ + ": messages embedded too deep");
    MessageData m;
    const int cp = MessageCodepage(item);
    m.props = ReadProps(item, cp, false);
    Error err;
    Item recipients;
    if (libpff_message_get_recipients(item, &recipients.p, &err) == 1 && recipients.p) {
      int n = 0;
      if (libpff_item_get_number_of_record_sets(recipients.p, &n, nullptr) == 1) {
        for (int k = 0; k < n; ++k) {
          RecordSet set;
          if (libpff_item_get_record_set_by_index(recipients.p, k, &set.p, nullptr) != 1 || !set.p) continue;
          PropList r = SetProps(set.p, cp, false, false);
          std::erase_if(r, [](const Prop& p) { return p.id() == kIdRowId; });
          r.insert(r.begin(), Prop::Int(PR_ROWID, static_cast<std::int64_t>(m.recipients.size())));
          m.recipients.push_back(std::move(r));
        }
      }
    }
    int attachments = 0;
    if (libpff_message_get_number_of_attachments(item, &attachments, nullptr) != 1) attachments = 0;
    for (int k = 0; k < attachments; ++k) {
      Item att;
      if (libpff_message_get_attachment(item, k, &att.p, &err) != 1 || !att.p)
        Fail(MAPI_E_CORRUPT_STORE, path_ + ": attachment " + std::to_string(k) + " of node " +
                                       std::to_string(IdOf(item)) + " cannot be read (" + err.Text() + ")");
      m.attachments.push_back(ReadAttachment(att.p, k, cp, depth));
    }
    return m;
  }

  PropList ReadAttachment(libpff_item_t* att, int num, int cp, int depth) {
    PropList a = ReadProps(att, cp, false, true);
    std::erase_if(a, [](const Prop& p) { return p.id() == kIdAttachNum; });
    a.insert(a.begin(), Prop::Int(PR_ATTACH_NUM, num));
    int type = 0;
    if (libpff_attachment_get_type(att, &type, nullptr) != 1) return a;
    if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
      size64_t size = 0;
      if (libpff_attachment_get_data_size(att, &size, nullptr) != 1) return a;
      if (size > fileSize_) Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment claims more bytes than the file has");
      std::string data;
      data.reserve(static_cast<size_t>(std::min<size64_t>(size, 16u << 20)));
      if (size > 0) {
        if (libpff_attachment_data_seek_offset(att, 0, SEEK_SET, nullptr) < 0)
          Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment cannot be read");
        std::string piece(kReadPiece, '\0');
        while (data.size() < size) {
          Error err;
          const ssize_t got =
              libpff_attachment_data_read_buffer(att, reinterpret_cast<std::uint8_t*>(piece.data()), piece.size(), &err);
          if (got < 0) Fail(MAPI_E_CORRUPT_STORE, path_ + ": an attachment cannot be read (" + err.Text() + ")");
          if (got == 0) break;
          data.append(piece.data(), std::min<size_t>(static_cast<size_t>(got), static_cast<size_t>(size) - data.size()));
        }
      }
      a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, std::move(data)));
    } else if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
      Item inner;
      Error err;
      if (libpff_attachment_get_item(att, &inner.p, &err) != 1 || !inner.p)
        Fail(MAPI_E_CORRUPT_STORE, path_ + ": an embedded message cannot be read (" + err.Text() + ")");
      // An embedded message is kept as the Internet message it makes, as
      // every provider of this subsystem keeps one.
      const MessageData embedded = ReadMessage(inner.p, depth + 1);
      std::erase_if(a, [](const Prop& p) { return p.id() == kIdAttachMethod; });
      a.push_back(Prop::Int(PR_ATTACH_METHOD, inet::ATTACH_EMBEDDED_MSG_METHOD));
      if (!FindProp(a, PROP_ID(PR_ATTACH_MIME_TAG_A))) a.push_back(Prop::Bytes(PR_ATTACH_MIME_TAG_A, "message/rfc822"));
      a.push_back(Prop::Bytes(PR_ATTACH_DATA_BIN, inet::ToMime(embedded)));
    }
    return a;
  }

  // The messages of a folder, noted with the folder they are in.
  std::vector<ObjId> ListMessages(ObjId folder, bool associated) {
    std::vector<ObjId> out;
    if (!folders_.count(folder) || (associated && !associated_)) return out;
    Item item = ItemById(folder);
    int n = 0;
    auto count = associated ? libpff_folder_get_number_of_sub_associated_contents : libpff_folder_get_number_of_sub_messages;
    auto get = associated ? libpff_folder_get_sub_associated_content : libpff_folder_get_sub_message;
    if (count(item.p, &n, nullptr) != 1) return out;
    for (int k = 0; k < n; ++k) {
      Item m;
      if (get(item.p, k, &m.p, nullptr) != 1 || !m.p) continue;
      const ObjId id = IdOf(m.p);
      if (!id || folders_.count(id)) continue;
      messageFolder_[id] = {folder, associated};
      out.push_back(id);
    }
    listed_.insert({folder, associated});
    return out;
  }

  // Where a message is: its folder, and whether it is associated there.
  std::optional<std::pair<ObjId, bool>> Locate(ObjId id) {
    if (auto it = messageFolder_.find(id); it != messageFolder_.end()) return it->second;
    if (folders_.count(id)) return std::nullopt;
    for (const auto& [fid, f] : folders_)
      for (bool assoc : {false, true}) {
        if (listed_.count({fid, assoc})) continue;
        ListMessages(fid, assoc);
        if (auto it = messageFolder_.find(id); it != messageFolder_.end()) return it->second;
      }
    return std::nullopt;
  }

  // ---- the store and its folders ------------------------------------------------------------

  void ReadMessageStore() {
    Item store;
    Error err;
    PropList props;
    if (libpff_file_get_message_store(file_, &store.p, &err) == 1 && store.p) {
      RecordSet set;
      if (libpff_item_get_record_set_by_index(store.p, 0, &set.p, nullptr) == 1 && set.p) {
        recordKey_ = BytesEntry(set.p, kIdRecordKey, PT_BINARY).value_or("");
        if (auto name = BytesEntry(set.p, kIdDisplayName, PT_UNICODE))
          ownName_ = Utf16ToUtf8(FromUtf16Bytes(StripNul16(*name)));
        else if (auto name8 = BytesEntry(set.p, kIdDisplayName, PT_STRING8))
          ownName_ = ToUtf8(StripNul8(*name8), codepage_);
        for (ULONG id : kStoreFolderIds)
          if (auto eid = BytesEntry(set.p, id, PT_BINARY)) storeFolderEids_[id] = *eid;
        if (auto mask = IntEntry(set.p, PROP_ID(PR_VALID_FOLDER_MASK), PT_LONG))
          storeProps_.push_back(Prop::Int(PR_VALID_FOLDER_MASK, *mask));
      }
    }
    if (recordKey_.size() == 16) {
      guid_ = GuidFromBytes(recordKey_);
    } else {
      recordKey_.clear();
      guid_ = NameBasedGuid(headerDigest_);
    }
    if (!instance_.empty()) guid_ = NameBasedGuid("pst instance " + GuidBytes(guid_) + instance_);
    // A name a profile can use: no backslash, no control characters.
    for (char& c : ownName_)
      if (c == '\\' || static_cast<unsigned char>(c) < 0x20) c = ' ';
    if (ownName_.empty()) ownName_ = std::filesystem::path(path_).stem().string();
  }

  static GUID NameBasedGuid(const std::string& name) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, name.size(), reinterpret_cast<const std::uint8_t*>(name.data()));
    std::uint8_t d[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof d, d);
    d[6] = static_cast<std::uint8_t>((d[6] & 0x0F) | 0x50);  // name-based
    d[8] = static_cast<std::uint8_t>((d[8] & 0x3F) | 0x80);
    return GuidFromBytes(std::string(reinterpret_cast<const char*>(d), 16));
  }

  FolderInfo FolderInfoOf(libpff_item_t* item, ObjId id, ObjId parent) {
    FolderInfo f;
    f.id = id;
    f.parent = parent;
    f.type = parent ? FOLDER_GENERIC : FOLDER_ROOT;
    RecordSet set;
    if (libpff_item_get_record_set_by_index(item, 0, &set.p, nullptr) == 1 && set.p) {
      if (auto name = BytesEntry(set.p, kIdDisplayName, PT_UNICODE))
        f.name = Utf16ToUtf8(FromUtf16Bytes(StripNul16(*name)));
      else if (auto name8 = BytesEntry(set.p, kIdDisplayName, PT_STRING8))
        f.name = ToUtf8(StripNul8(*name8), codepage_);
      f.created = IntEntry(set.p, kIdCreated, PT_SYSTIME).value_or(0);
      f.modified = IntEntry(set.p, kIdModified, PT_SYSTIME).value_or(f.created);
      if (parent)
        if (auto t = IntEntry(set.p, kIdFolderType, PT_LONG); t && (*t == FOLDER_GENERIC || *t == FOLDER_SEARCH))
          f.type = static_cast<ULONG>(*t);
    }
    int n = 0;
    if (libpff_folder_get_number_of_sub_messages(item, &n, nullptr) == 1) f.contentCount = n;
    n = 0;
    if (associated_ && libpff_folder_get_number_of_sub_associated_contents(item, &n, nullptr) == 1) f.assocCount = n;
    return f;
  }

  // The whole folder tree (folders only), from the root folder down.
  void ReadFolders() {
    Item root;
    Error err;
    if (libpff_file_get_root_folder(file_, &root.p, &err) != 1 || !root.p)
      Fail(MAPI_E_CORRUPT_STORE, path_ + ": the file has no root folder (" + err.Text() + ")");
    root_ = IdOf(root.p);
    if (!root_) Fail(MAPI_E_CORRUPT_STORE, path_ + ": the root folder has no identifier");
    struct Pending {
      Item item;
      ObjId id, parent;
      int depth;
    };
    std::vector<Pending> todo;
    todo.push_back({std::move(root), root_, 0, 0});
    while (!todo.empty()) {
      Pending cur = std::move(todo.back());
      todo.pop_back();
      Folder& f = folders_[cur.id];
      f.info = FolderInfoOf(cur.item.p, cur.id, cur.parent);
      if (cur.parent) folders_[cur.parent].children.push_back(cur.id);
      if (cur.depth >= kMaxFolderDepth) continue;
      int n = 0;
      if (libpff_folder_get_number_of_sub_folders(cur.item.p, &n, nullptr) != 1) continue;
      std::vector<Pending> kids;
      for (int k = 0; k < n; ++k) {
        Item child;
        if (libpff_folder_get_sub_folder(cur.item.p, k, &child.p, nullptr) != 1 || !child.p) continue;
        const ObjId id = IdOf(child.p);
        // A folder seen already (a damaged file's loop) is left out.
        if (!id || folders_.count(id) || std::any_of(todo.begin(), todo.end(), [&](const Pending& p) { return p.id == id; }) ||
            std::any_of(kids.begin(), kids.end(), [&](const Pending& p) { return p.id == id; }))
          continue;
        kids.push_back({std::move(child), id, cur.id, cur.depth + 1});
      }
      // Children in the file's order: the stack takes them last first.
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.push_back(std::move(*it));
    }
    for (auto& [id, f] : folders_) f.info.hasSubfolders = !f.children.empty();
  }

  void FindStandardFolders() {
    std::optional<ObjId> subtree;
    for (const auto& [id, eid] : storeFolderEids_) {
      auto folder = FolderOfEntryId(eid);
      if (!folder) continue;
      if (id == kIdSubtree) subtree = folder;
      storeProps_.push_back(Prop::Bytes(PROP_TAG(PT_BINARY, id), MakeObjectEntryId(guid_, ObjKind::Folder, *folder)));
    }
    if (!subtree) {
      // A file without a usable subtree entry: the first child of the root
      // that is no search folder.
      for (ObjId c : folders_[root_].children)
        if (folders_[c].info.type != FOLDER_SEARCH) {
          subtree = c;
          break;
        }
      if (!subtree) subtree = root_;
      storeProps_.push_back(Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, *subtree)));
    }
    subtree_ = *subtree;
    for (const char* name : {"Inbox", "Posteingang", "Boîte de réception", "Bandeja de entrada", "Posta in arrivo"})
      for (ObjId c : folders_[subtree_].children)
        if (!inbox_ && EqualsNoCase(folders_[c].info.name, name)) inbox_ = c;
  }

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

class PstFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "pst"; }
  std::string DisplayName() const override { return "Outlook data file"; }
  void Validate(const StoreSettings& settings) const override {
    const auto file = SettingString(settings, "file");
    if (!file || file->empty() || (*file)[0] != '/') throw std::runtime_error("a pst store needs an absolute file");
    const std::string kind = SettingString(settings, "store_kind").value_or("archive");
    if (kind != "mailbox" && kind != "archive" && kind != "public")
      throw std::runtime_error("the store_kind must be mailbox, archive or public");
    SettingString(settings, "display_name");
    SettingBool(settings, "associated");
    if (auto instance = SettingString(settings, "instance"); instance && instance->empty())
      throw std::runtime_error("the instance of a pst store must not be empty");
  }
  std::string Location(const StoreSettings& settings) const override {
    return SettingString(settings, "file").value_or("");
  }
  std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const override {
    Validate(settings);
    auto store = std::make_shared<PstStore>(*SettingString(settings, "file"),
                                            SettingString(settings, "display_name").value_or(""),
                                            SettingString(settings, "store_kind").value_or("archive"),
                                            SettingBool(settings, "associated").value_or(true),
                                            SettingString(settings, "instance").value_or(""));
    store->Open();
    return store;
  }
};

}  // namespace

const ProviderFactory& PstProviderFactory() {
  static const PstFactory factory;
  return factory;
}

}  // namespace tesk::mapi
