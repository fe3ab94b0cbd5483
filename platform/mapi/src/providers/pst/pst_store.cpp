// The Outlook data file provider: opening a file, the provider's calls, and
// its factory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <mapitags.h>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "inetmail/rtf.h"
#include "providers/pst/pst_store.h"
#include "providers/pst/pst_provider.h"

namespace tesk::mapi::pst {

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

PstStore::PstStore(std::string path, std::string name, std::string kind, bool associated, std::string instance) : path_(std::move(path)),
        nameOverride_(std::move(name)),
        kind_(kind.empty() ? "archive" : std::move(kind)),
        associated_(associated),
        instance_(std::move(instance)) {}

PstStore::~PstStore() {
  cachedFolder_ = Item();  // items go before their file
  if (file_) {
    libpff_file_close(file_, nullptr);
    libpff_file_free(&file_, nullptr);
  }
}

void PstStore::Open() {
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

Capabilities PstStore::Caps() const {
  Capabilities c;
  c.readOnly = true;
  c.associatedContents = associated_;
  return c;
}

PropList PstStore::StoreProps() {
  std::lock_guard lock(mu_);
  return storeProps_;
}

std::optional<ObjId> PstStore::ReceiveFolder(const std::string&, std::string* explicitClass) {
  if (explicitClass) explicitClass->clear();
  if (!inbox_) return std::nullopt;
  return inbox_;
}

std::optional<FolderInfo> PstStore::GetFolder(ObjId id) {
  std::lock_guard lock(mu_);
  auto it = folders_.find(id);
  if (it == folders_.end()) return std::nullopt;
  return it->second.info;
}

std::vector<ObjId> PstStore::Subfolders(ObjId id) {
  std::lock_guard lock(mu_);
  auto it = folders_.find(id);
  return it == folders_.end() ? std::vector<ObjId>{} : it->second.children;
}

PropList PstStore::FolderProps(ObjId id) {
  std::lock_guard lock(mu_);
  if (!folders_.count(id)) Fail(MAPI_E_NOT_FOUND, "folder not found");
  Item item = ItemById(id);
  PropList props = ReadProps(item.p, codepage_, true);
  std::erase_if(props, [](const Prop& p) { return p.id() == kIdDisplayName; });
  return props;
}

std::vector<ObjId> PstStore::SubtreeFolders(ObjId id) {
  std::lock_guard lock(mu_);
  std::vector<ObjId> out;
  if (!folders_.count(id)) return out;
  out.push_back(id);
  for (size_t k = 0; k < out.size(); ++k)
    for (ObjId c : folders_[out[k]].children) out.push_back(c);
  return out;
}

std::vector<ObjId> PstStore::Messages(ObjId folder, bool associated) {
  std::lock_guard lock(mu_);
  return ListMessages(folder, associated);
}

std::optional<MessageInfo> PstStore::GetMessage(ObjId id) {
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

PropList PstStore::MessageProps(ObjId id) {
  std::lock_guard lock(mu_);
  auto where = Locate(id);
  if (!where) Fail(MAPI_E_NOT_FOUND, "message not found");
  Item item = MessageItem(id, where->first);
  return ReadProps(item.p, MessageCodepage(item.p), false);
}

MessageData PstStore::LoadMessage(ObjId id) {
  std::lock_guard lock(mu_);
  auto where = Locate(id);
  if (!where) Fail(MAPI_E_NOT_FOUND, "message not found");
  Item item = MessageItem(id, where->first);
  return ReadMessage(item.p, 0);
}

}  // namespace tesk::mapi::pst

namespace tesk::mapi {

namespace {

using pst::PstStore;

class PstFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "pst"; }
  std::string DisplayName() const override { return "Outlook data file"; }
  std::vector<SettingInfo> Settings() const override {
    using T = SettingValue::Type;
    return {{"file", T::String, true, "/home/me/outlook.pst", "the .pst file (absolute)"},
            {"display_name", T::String, false, "Old mail", "the name the store shows (default: the file's own)"},
            {"store_kind", T::String, false, "archive", "\"archive\" (the default), \"mailbox\" or \"public\""},
            {"associated", T::Boolean, false, "false", "false: the file's associated messages are not shown"},
            {"instance", T::String, false, "{0f5e2c1a-3b4d-4e6f-8a9b-0c1d2e3f4a5b}",
             "tells a copy of a file, which keeps the file's identity, from the first"}};
  }
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
