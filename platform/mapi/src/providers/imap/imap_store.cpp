// The IMAP store provider: the mailboxes of an account on an IMAP server as
// a MAPI store, or (kind "public") the mailboxes of the server's shared
// namespace. Messages stay on the server exactly as they are (bytes, flags,
// keywords, INTERNALDATE); what IMAP does not keep itself (the store's
// identity, stable numbers for mailboxes and messages, folder properties)
// lives in a local state file of this provider's own, which maps a
// mailbox's UIDVALIDITY and a message's UID to its number.
//
// Speed: a folder's messages are listed in one UID FETCH, their bodies
// fetched in pipelined chunks bounded in bytes, uploads go out in
// MULTIAPPEND batches (or pipelined APPENDs) while the next batch is being
// prepared, deletions are one UID STORE and one UID EXPUNGE per folder.
// Memory stays bounded by the chunks in flight, whatever the mailbox holds.
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mapitags.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>

#include "core/entryid.h"
#include "providers/imap/client.h"
#include "inetmail/inetmail.h"
#include "providers/common/store_tables.h"
#include "providers/common/maildir_names.h"
#include "provider.h"
#include "providers/imap/imap_provider.h"
#include "providers/common/standard_names.h"

namespace tesk::mapi {

namespace {

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

[[noreturn]] void Fail(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }


std::string Sha256(std::string_view bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::string d(SHA256_DIGEST_SIZE, '\0');
  sha256_digest(&ctx, SHA256_DIGEST_SIZE, reinterpret_cast<std::uint8_t*>(d.data()));
  return d;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Characters a server's mailbox names cannot hold (its hierarchy separator,
// or what its storage refuses) are written as characters that look the
// same, as the Maildir provider writes them; the state file keeps the true
// name. These are the ones some server refuses.
constexpr std::string_view kRiskyCharacters = "./\\~*%\"";

std::string LookAlike(unsigned char c) {
  std::string out;
  if (c < 0x20)
    AppendUtf8(out, 0x2400 + c);  // the control pictures
  else if (c == 0x7F)
    AppendUtf8(out, 0x2421);
  else if (c > 0x20 && c < 0x7F)
    AppendUtf8(out, maildir::LookAlike(static_cast<char>(c)));
  else
    out = std::string(1, static_cast<char>(c));
  return out;
}

bool Risky(unsigned char c) { return c < 0x20 || c == 0x7F || kRiskyCharacters.find(static_cast<char>(c)) != std::string_view::npos; }

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// ---- settings ---------------------------------------------------------------------------------

struct AccountSettings {
  imap::Endpoint endpoint;
  std::string user;
  std::string passwordFile;
  std::string tokenFile;
  std::string state;
  bool compress = false;
  int connections = 1;
};

// Reads the first line of a secret's file, which only its owner may read.
std::string ReadSecret(const std::string& path, const char* what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) Fail(MAPI_E_LOGON_FAILED, std::string("the ") + what + " file " + path + " cannot be read: " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail(MAPI_E_LOGON_FAILED, std::string("the ") + what + " file " + path + " is no regular file");
  }
  if (st.st_mode & 077) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Fail(MAPI_E_LOGON_FAILED, std::string("the ") + what + " file " + path + " may be read by others (mode " + mode +
                                  "); it is not used until only its owner may read it (chmod 600 " + path + ")");
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 65536) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  if (text.empty()) Fail(MAPI_E_LOGON_FAILED, std::string("the ") + what + " file " + path + " is empty");
  return text;
}

AccountSettings ReadSettings(const StoreSettings& s) {
  AccountSettings a;
  const std::string url = SettingString(s, "url").value_or("");
  std::string rest;
  if (url.rfind("imaps://", 0) == 0) {
    a.endpoint.tls = imap::TlsMode::Implicit;
    a.endpoint.port = 993;
    rest = url.substr(8);
  } else if (url.rfind("imap://", 0) == 0) {
    a.endpoint.tls = imap::TlsMode::StartTls;
    a.endpoint.port = 143;
    rest = url.substr(7);
  } else {
    throw std::runtime_error("an imap store needs a url imaps://HOST[:PORT] or imap://HOST[:PORT]");
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('/') != std::string::npos || rest.find('@') != std::string::npos)
    throw std::runtime_error("the url names the server only (imaps://HOST[:PORT]); the user goes in \"user\"");
  std::string host = rest, port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) throw std::runtime_error("the url's address is not closed by ]");
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') throw std::runtime_error("the url has text after its address");
      port = rest.substr(close + 2);
    }
  } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) throw std::runtime_error("the url names no server");
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
      throw std::runtime_error("the url's port must be a number from 1 to 65535");
    a.endpoint.port = std::stoi(port);
  }
  a.endpoint.host = host;
  const std::string tls = SettingString(s, "tls").value_or("");
  if (tls == "none") {
    if (a.endpoint.tls == imap::TlsMode::Implicit) throw std::runtime_error("tls = \"none\" contradicts an imaps:// url");
    if (!IsLoopback(host))
      throw std::runtime_error("tls = \"none\" is for a server on this machine only; " + host +
                               " would see the password in the clear");
    a.endpoint.tls = imap::TlsMode::None;
  } else if (!tls.empty() && tls != "starttls" && tls != "implicit") {
    throw std::runtime_error("tls must be \"none\", \"starttls\" or \"implicit\"");
  }
  a.endpoint.caFile = SettingString(s, "ca_file").value_or("");
  if (auto t = SettingInt(s, "timeout")) {
    if (*t < 1 || *t > 3600) throw std::runtime_error("timeout must be from 1 to 3600 seconds");
    a.endpoint.timeoutSeconds = static_cast<int>(*t);
  }
  a.user = SettingString(s, "user").value_or("");
  if (a.user.empty()) throw std::runtime_error("an imap store needs a user");
  a.passwordFile = SettingString(s, "password_file").value_or("");
  a.tokenFile = SettingString(s, "oauth2_token_file").value_or("");
  if (a.passwordFile.empty() && a.tokenFile.empty())
    throw std::runtime_error("an imap store needs a password_file or an oauth2_token_file");
  a.state = SettingString(s, "state").value_or("");
  if (a.state.empty() || a.state[0] != '/') throw std::runtime_error("an imap store needs the absolute path of its state file");
  // Compression costs more than it saves on this machine's own loopback.
  a.compress = SettingBool(s, "compress").value_or(!IsLoopback(host));
  if (auto c = SettingInt(s, "connections")) {
    if (*c < 1 || *c > 16) throw std::runtime_error("connections must be from 1 to 16");
    a.connections = static_cast<int>(*c);
  }
  return a;
}

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
  std::vector<Listed> msgs;
  std::unordered_map<std::uint32_t, size_t> byUid;
  std::unordered_map<ObjId, size_t> byId;
  bool createdHere = false;  // made by this process: nothing in it to skip
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

std::string MessageIdOf(std::string_view bytes) {
  // The header ends at the first empty line.
  size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos) end = bytes.find("\n\n");
  const std::string_view head = bytes.substr(0, end);
  size_t at = 0;
  while (at < head.size()) {
    size_t eol = head.find('\n', at);
    if (eol == std::string_view::npos) eol = head.size();
    std::string_view line = head.substr(at, eol - at);
    if (line.size() > 11 && EqualsNoCase(line.substr(0, 11), "message-id:")) {
      std::string v(line.substr(11));
      // Folded onto the next lines.
      size_t next = eol + 1;
      while (next < head.size() && (head[next] == ' ' || head[next] == '\t')) {
        size_t e2 = head.find('\n', next);
        if (e2 == std::string_view::npos) e2 = head.size();
        v += head.substr(next, e2 - next);
        next = e2 + 1;
      }
      std::string out;
      for (char c : v)
        if (c != ' ' && c != '\t' && c != '\r') out += c;
      return out;
    }
    at = eol + 1;
  }
  return {};
}

class ImapStore final : public StoreProvider {
 public:
  explicit ImapStore(AccountSettings a) : a_(std::move(a)) {}
  ~ImapStore() override {
    try {
      c_.Close();
    } catch (...) {
    }
  }

  void OpenState(bool create, const std::string& displayName, StoreKind kind) {
    struct stat st {};
    const bool exists = ::stat(a_.state.c_str(), &st) == 0;
    if (!exists && !create) Fail(MAPI_E_NOT_FOUND, a_.state + " is missing (mapiadmin store add-imap makes it)");
    if (!exists) {
      const int fd = ::open(a_.state.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      if (fd < 0) Fail(MAPI_E_NO_ACCESS, "cannot create " + a_.state + ": " + std::strerror(errno));
      ::close(fd);
    }
    ix_.Open(a_.state, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ix_.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    if (!exists) {
      ix_.Exec(kStateSchema);
      const GUID g = NewGuid();
      ix_.Prepare("INSERT INTO info(key, value) VALUES('guid', ?)").BindBlob(1, GuidBytes(g)).Run();
      ix_.Prepare("INSERT INTO info(key, value) VALUES('name', ?)").Bind(1, displayName).Run();
      const char* k = kind == StoreKind::Mailbox ? "mailbox" : kind == StoreKind::Archive ? "archive" : "public";
      ix_.Prepare("INSERT INTO info(key, value) VALUES('kind', ?)").Bind(1, std::string(k)).Run();
      const auto now = NowFiletime();
      ix_.Prepare("INSERT INTO folder(parent_id, mailbox, name, folder_type, created, modified) VALUES(NULL, ?, '', ?, ?, ?)")
          .Bind(1, std::string(kRootBox)).Bind(2, FOLDER_ROOT).Bind(3, now).Bind(4, now).Run();
      const std::int64_t root = ix_.LastId();
      ix_.Prepare("INSERT INTO folder(parent_id, mailbox, name, folder_type, created, modified) VALUES(?, ?, ?, ?, ?, ?)")
          .Bind(1, root).Bind(2, std::string(kTopBox))
          .Bind(3, std::string(kind == StoreKind::Public ? "All Public Folders" : "Top of Personal Folders"))
          .Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
    }
    try {
      auto q = ix_.Prepare("SELECT key, value FROM info");
      while (q.Step()) info_[q.Text(0)] = q.Text(1);
    } catch (const MapiError&) {
      Fail(MAPI_E_CORRUPT_STORE, a_.state + " is not the state file of an IMAP store");
    }
    if (info_["guid"].size() != 16) Fail(MAPI_E_CORRUPT_STORE, a_.state + " holds no store identity");
    guid_ = GuidFromBytes(info_["guid"]);
    mapAll_ = info_["map_names"] == "all";
    root_ = FolderOf(kRootBox).value_or(0);
    top_ = FolderOf(kTopBox).value_or(0);
    if (!root_ || !top_) Fail(MAPI_E_CORRUPT_STORE, a_.state + " has no root folder");
  }

  void Connect() {
    imap::Credentials cred;
    cred.user = a_.user;
    if (!a_.tokenFile.empty())
      cred.bearerToken = ReadSecret(a_.tokenFile, "token");
    else
      cred.password = ReadSecret(a_.passwordFile, "password");
    c_.sink = [this](Response& r) { OnUntagged(r); };
    c_.Open(a_.endpoint, cred, a_.compress);
    LearnNamespace();
    Scan();
  }

  Client& client() { return c_; }
  const std::string& Delimiter() const { return delim_; }
  const std::string& Prefix() const { return prefix_; }
  std::vector<std::pair<std::string, std::string>> SpecialUse() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [id, b] : boxes_)
      if (!b.special.empty()) out.emplace_back(b.special, MailboxOf(id));
    return out;
  }

  // ---- the provider's interface ----------------------------------------------------

  Capabilities Caps() const override {
    Capabilities c;
    c.readOnly = false;
    c.wholeCopyInOneCommit = false;
    c.associatedContents = false;
    c.rawInternetContent = true;
    return c;
  }
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

  std::optional<FolderInfo> GetFolder(ObjId id) override {
    auto f = tables::FolderRow(ix_, id);
    if (f) {
      f->contentCount = Count(id);
      f->holdsMessages = id != root_ && id != top_ && boxes_[id].selectable;
    }
    return f;
  }
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

  ObjId CreateFolder(ObjId parent, const std::string& name, ULONG type) override {
    Settle();
    if (parent == root_) Fail(MAPI_E_NO_ACCESS, "the folders of an IMAP account live below its top folder");
    // A mailbox kept when its folder was deleted (a special-use mailbox, a
    // parent of one) is taken again by a folder of its name.
    std::optional<Kept> kept;
    std::string mailbox;
    for (bool all : {mapAll_, true}) {
      const std::string candidate = ChildMailbox(parent, name, all);
      if (auto k = kept_.find(candidate); k != kept_.end()) {
        kept = k->second;
        mailbox = candidate;
        kept_.erase(k);
        break;
      }
    }
    if (!kept) {
      mailbox = NameMailbox(
          parent, name, [](const std::string& box) { return std::vector<Client::Part>{Client::Text("CREATE "), Client::Arg(box)}; },
          "creating the mailbox");
    }
    const auto now = NowFiletime();
    ix_.Prepare("INSERT INTO folder(parent_id, mailbox, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
        .Bind(1, parent).Bind(2, mailbox).Bind(3, name).Bind(4, type).Bind(5, now).Bind(6, now).Run();
    const ObjId id = ix_.LastId();
    Box& b = boxes_[id];
    b.count = 0;
    b.createdHere = true;
    if (kept) {
      b.special = kept->special;
      b.selectable = kept->selectable;
    }
    return id;
  }

  void MoveFolder(ObjId id, ObjId newParent, const std::string& newName) override {
    Settle();
    if (id == root_ || id == top_ || id == inbox_) Fail(MAPI_E_NO_ACCESS, "the folder stays");
    if (newParent == root_) Fail(MAPI_E_NO_ACCESS, "the folders of an IMAP account live below its top folder");
    if (IsKept(newParent, newName)) return MoveIntoKept(id, newParent, newName);
    const std::string from = MailboxOf(id);
    const bool same = ChildMailbox(newParent, newName, mapAll_) == from || ChildMailbox(newParent, newName, true) == from;
    if (!same) {
      Unselect(id);
      const std::string to = NameMailbox(
          newParent, newName,
          [&](const std::string& box) {
            return std::vector<Client::Part>{Client::Text("RENAME "), Client::Arg(from), Client::Text(" "), Client::Arg(box)};
          },
          "renaming the mailbox " + from + " to");
      // The server renamed the mailboxes below it too.
      for (ObjId f : SubtreeFolders(id)) {
        const std::string old = MailboxOf(f);
        ix_.Prepare("UPDATE folder SET mailbox=? WHERE id=?").Bind(1, to + old.substr(from.size())).Bind(2, f).Run();
      }
    }
    ix_.Prepare("UPDATE folder SET parent_id=?, name=?, modified=? WHERE id=?").Bind(1, newParent).Bind(2, newName).Bind(3, NowFiletime()).Bind(4, id).Run();
  }

  // Special-use mailboxes (and, on a server without SPECIAL-USE, the Junk
  // folder found by its name) are emptied and kept rather than deleted, and
  // so are the parents they need: the server's and its clients' own
  // folders stay the same mailboxes. They leave the store's tree until a
  // folder of their name is made again (a restore copying them back).
  bool IsKept(ObjId parent, const std::string& name) {
    for (bool all : {mapAll_, true})
      if (kept_.count(ChildMailbox(parent, name, all))) return true;
    return false;
  }

  // A folder that takes the name of a kept mailbox (a copy built under
  // another name, then named): the kept mailbox takes its messages and
  // subfolders, and the folder, keeping its number, is that mailbox from
  // then on.
  void MoveIntoKept(ObjId id, ObjId newParent, const std::string& newName) {
    const auto info = tables::FolderRow(ix_, id);
    const ObjId into = CreateFolder(newParent, newName, info ? info->type : FOLDER_GENERIC);
    if (boxes_[id].selectable) MoveMessages(Messages(id, false), into);
    for (ObjId child : Subfolders(id)) MoveFolder(child, into, GetFolderName(child));
    Unselect(id);
    Unselect(into);
    const std::string from = MailboxOf(id), to = MailboxOf(into);
    const Response r = c_.Wait(c_.Send({Client::Text("DELETE "), Client::Arg(from)}));
    // (A parent that was never a mailbox of its own may be gone already.)
    if (!r.Ok() && (boxes_[id].selectable || imap::ErrorOfResponse(r) != MAPI_E_NOT_FOUND)) c_.Refused(r, "deleting the mailbox " + from);
    Transact([&] {
      ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, into).Run();
      ix_.Prepare("UPDATE message SET folder_id=? WHERE folder_id=?").Bind(1, id).Bind(2, into).Run();
      ix_.Prepare("UPDATE folder SET parent_id=? WHERE parent_id=?").Bind(1, id).Bind(2, into).Run();
      ix_.Prepare("UPDATE folder SET uidvalidity=(SELECT uidvalidity FROM folder WHERE id=?) WHERE id=?").Bind(1, into).Bind(2, id).Run();
      ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, into).Run();
      ix_.Prepare("UPDATE folder SET mailbox=?, parent_id=?, name=?, modified=? WHERE id=?")
          .Bind(1, to).Bind(2, newParent).Bind(3, newName).Bind(4, NowFiletime()).Bind(5, id).Run();
    });
    Box moved = std::move(boxes_[into]);
    boxes_.erase(into);
    moved.listed = false;
    moved.count = -1;
    boxes_[id] = std::move(moved);
  }
  void DeleteFolderTree(ObjId id, const StepFn& step) override {
    Settle();
    std::uint64_t done = 0;
    auto folders = SubtreeFolders(id);
    std::reverse(folders.begin(), folders.end());  // children first
    std::set<ObjId> parentsOfKept;
    for (ObjId f : folders) {
      const bool stays = f == root_ || f == top_ || f == inbox_;
      if (stays) {
        auto ids = Messages(f, false);
        DeleteMessages(ids);
        done += ids.size();
      } else {
        done += static_cast<std::uint64_t>(Count(f));
        const std::string mailbox = MailboxOf(f);
        const Box b = boxes_[f];
        const bool keep = !b.special.empty() || f == junk_ || parentsOfKept.count(f);
        if (keep) {
          if (b.selectable) DeleteMessages(Messages(f, false));
          kept_[mailbox] = Kept{b.special, b.selectable};
          if (auto info = tables::FolderRow(ix_, f)) parentsOfKept.insert(info->parent);
        } else {
          Unselect(f);
          const Response r = c_.Wait(c_.Send({Client::Text("DELETE "), Client::Arg(mailbox)}));
          if (!r.Ok()) c_.Refused(r, "deleting the mailbox " + mailbox);
        }
        Forget(f);
      }
      if (step && !step(done)) Fail(MAPI_E_USER_CANCEL, "cancelled");
    }
  }

  std::vector<ObjId> SubtreeFolders(ObjId id) override {
    std::vector<ObjId> out{id};
    for (size_t k = 0; k < out.size(); ++k)
      for (ObjId c : Subfolders(out[k])) out.push_back(c);
    return out;
  }

  std::vector<ObjId> Messages(ObjId folder, bool associated) override {
    if (associated) return {};
    Settle();
    Box& b = List(folder);
    std::vector<ObjId> out;
    out.reserve(b.msgs.size());
    for (const auto& m : b.msgs) out.push_back(m.id);
    return out;
  }

  std::optional<MessageInfo> GetMessage(ObjId id) override {
    if (auto p = FindPending(id, false)) {
      const std::int64_t t = FiletimeFromUnix(p->date);
      return MessageInfo{id, p->folder, false, t, t, p->size, false};
    }
    Settle();
    auto row = RowOf(id);
    if (!row) return std::nullopt;
    Box& b = Listing(row->first);
    auto it = b.byId.find(id);
    if (it == b.byId.end()) return std::nullopt;
    const Listed& m = b.msgs[it->second];
    const std::int64_t t = FiletimeFromUnix(m.date);
    return MessageInfo{id, row->first, false, t, t, m.size, false};
  }
  PropList MessageProps(ObjId id) override { return LoadMessage(id).props; }

  MessageData LoadMessage(ObjId id) override {
    if (auto p = FindPending(id, true)) return inet::FromMime(p->bytes, p->flags, FiletimeFromUnix(p->date));
    Settle();
    auto row = RowOf(id);
    if (!row || !row->second) Fail(MAPI_E_NOT_FOUND, "message not found");
    const ObjId folder = row->first;
    const std::uint32_t uid = *row->second;
    Box& b = Listing(folder);
    auto at = b.byUid.find(uid);
    if (at == b.byUid.end()) Fail(MAPI_E_NOT_FOUND, "the message is no longer in " + MailboxOf(folder));
    if (cacheFolder_ != folder || !cache_.count(uid)) {
      Select(folder);
      Request(folder, at->second);
    }
    while (!cache_.count(uid)) {
      const bool covered = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& f) {
        return std::find(f.uids.begin(), f.uids.end(), uid) != f.uids.end();
      });
      if (!covered) Fail(MAPI_E_NOT_FOUND, "the message is no longer in " + MailboxOf(folder));
      WaitFetch();
    }
    Fetched f = std::move(cache_[uid]);
    cache_.erase(uid);
    // Keep the next chunks coming while this one is converted.
    Request(folder, at->second + 1);
    return inet::FromMime(f.bytes, f.flags, FiletimeFromUnix(f.date));
  }

  ObjId StoreMessage(ObjId folder, bool associated, const MessageData& data, std::optional<ObjId> replace) override {
    if (associated) Fail(MAPI_E_NO_SUPPORT, "an IMAP account keeps no associated messages");
    if (folder == root_ || folder == top_) Fail(MAPI_E_NO_ACCESS, "the top of an IMAP account holds no messages");
    if (!boxes_[folder].selectable) Fail(MAPI_E_NO_ACCESS, MailboxOf(folder) + " holds no messages");
    PendingAppend p;
    p.folder = folder;
    p.bytes = inet::ToMime(data);
    p.size = static_cast<std::int64_t>(p.bytes.size());
    p.flags = inet::FlagsOf(data.props);
    std::int64_t delivered = inet::DeliveryTimeOf(data.props);
    p.date = delivered ? UnixFromFiletime(delivered) : std::time(nullptr);
    if (replace) {
      Settle();
      auto row = RowOf(*replace);
      if (row && row->second && row->first == folder) {
        // A message whose bytes did not change (a flag did) keeps its
        // copy on the server: only its flags are set.
        const Prop* raw = FindProp(data.props, inet::PR_TESK_INTERNET_CONTENT);
        if (raw && raw->b == p.bytes) {
          Select(folder);
          c_.Run("UID STORE " + std::to_string(*row->second) + " FLAGS.SILENT " + FlagsText(p.flags),
                 "setting the flags of a message in " + MailboxOf(folder));
          Box& b = boxes_[folder];
          if (auto it = b.byId.find(*replace); it != b.byId.end()) b.msgs[it->second].flags = p.flags;
          return *replace;
        }
        p.replaces = replace;
        p.replacedUid = *row->second;
        p.id = *replace;
      }
    }
    if (!p.replaces) {
      ix_.Prepare("INSERT INTO message(folder_id, uid) VALUES(?, NULL)").Bind(1, folder).Run();
      p.id = ix_.LastId();
    }
    pendingBytes_ += p.bytes.size();
    const ObjId id = p.id;
    pending_.push_back(std::move(p));
    if (pendingBytes_ >= kAppendBatchBytes || pending_.size() >= kAppendBatchMessages) SendAppends();
    return id;
  }

  void DeleteMessages(std::span<const ObjId> ids) override {
    Settle();
    std::map<ObjId, std::vector<std::pair<std::uint32_t, ObjId>>> byFolder;
    for (ObjId id : ids) {
      auto row = RowOf(id);
      if (!row) continue;
      if (!row->second) {
        ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
        continue;
      }
      byFolder[row->first].emplace_back(*row->second, id);
    }
    for (auto& [folder, list] : byFolder) {
      std::sort(list.begin(), list.end());
      std::vector<std::uint32_t> uids;
      for (const auto& [uid, id] : list) uids.push_back(uid);
      Select(folder);
      Expunge(folder, uids);
      Transact([&] {
        for (const auto& [uid, id] : list) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
      });
      Box& b = boxes_[folder];
      if (b.count >= 0) b.count = std::max<std::int64_t>(0, b.count - static_cast<std::int64_t>(list.size()));
      Drop(b, list);
    }
  }

  void MoveMessages(std::span<const ObjId> ids, ObjId folder) override {
    Settle();
    if (folder == root_ || folder == top_) Fail(MAPI_E_NO_ACCESS, "the top of an IMAP account holds no messages");
    std::map<ObjId, std::vector<std::pair<std::uint32_t, ObjId>>> byFolder;
    for (ObjId id : ids) {
      auto row = RowOf(id);
      if (row && row->second && row->first != folder) byFolder[row->first].emplace_back(*row->second, id);
    }
    const std::string dest = MailboxOf(folder);
    for (auto& [from, list] : byFolder) {
      std::sort(list.begin(), list.end());
      std::vector<std::uint32_t> uids;
      for (const auto& [uid, id] : list) uids.push_back(uid);
      Select(from);
      copyUid_.clear();
      const bool move = c_.Has("MOVE");
      const Response r = c_.Run({Client::Text(move ? "UID MOVE " : "UID COPY "), Client::Text(imap::UidSet(uids)),
                                 Client::Text(" "), Client::Arg(dest)},
                                std::string(move ? "moving" : "copying") + " messages to " + dest);
      if (copyUid_.empty()) copyUid_ = r.code;
      if (!move) Expunge(from, uids);
      // The messages keep their numbers in their new mailbox.
      auto newUids = CopiedUids(copyUid_, uids.size());
      Transact([&] {
        for (size_t k = 0; k < list.size(); ++k) {
          if (newUids)
            ix_.Prepare("UPDATE message SET folder_id=?, uid=? WHERE id=?").Bind(1, folder).Bind(2, (*newUids)[k]).Bind(3, list[k].second).Run();
          else
            ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, list[k].second).Run();
        }
      });
      Box& fb = boxes_[from];
      if (fb.count >= 0) fb.count -= static_cast<std::int64_t>(list.size());
      Drop(fb, list);
      Box& tb = boxes_[folder];
      tb.listed = false;
      if (tb.count >= 0) tb.count += static_cast<std::int64_t>(list.size());
    }
  }

  bool CopyMessagesFrom(StoreProvider& src, std::span<const ObjId> ids, ObjId destFolder, const StepFn& step) override {
    // Within one account, the server copies.
    if (&src != this || ids.empty() || destFolder == root_ || destFolder == top_) return false;
    Settle();
    std::map<ObjId, std::vector<std::uint32_t>> byFolder;
    for (ObjId id : ids) {
      auto row = RowOf(id);
      if (!row || !row->second) return false;
      byFolder[row->first].push_back(*row->second);
    }
    const std::string dest = MailboxOf(destFolder);
    std::uint64_t done = 0;
    for (auto& [from, uids] : byFolder) {
      std::sort(uids.begin(), uids.end());
      Select(from);
      c_.Run({Client::Text("UID COPY "), Client::Text(imap::UidSet(uids)), Client::Text(" "), Client::Arg(dest)},
             "copying messages to " + dest);
      done += uids.size();
      if (step) step(done);
    }
    Box& b = boxes_[destFolder];
    b.listed = false;
    b.count = -1;
    return true;
  }

  bool CopyTreeFrom(StoreProvider& src, ObjId srcFolder, ObjId destParent, const std::string& name, bool subfolders,
                    const StepFn& step, ObjId* newFolder) override {
    // Within one account the server copies: the folders are made anew, the
    // messages go by UID COPY without crossing the connection.
    if (&src != this || destParent == root_ || srcFolder == root_ || srcFolder == top_) return false;
    Settle();
    auto info = GetFolder(srcFolder);
    if (!info) Fail(MAPI_E_NOT_FOUND, "source folder vanished");
    const ObjId top = CreateFolder(destParent, name, info->type);
    SetFolderProps(top, FolderProps(srcFolder));
    std::deque<std::pair<ObjId, ObjId>> todo{{srcFolder, top}};
    std::uint64_t done = 0;
    while (!todo.empty()) {
      const auto [from, to] = todo.front();
      todo.pop_front();
      if (boxes_[from].selectable) {
        Select(from);
        if (exists_ > 0) {
          const std::string dest = MailboxOf(to);
          c_.Run({Client::Text("UID COPY 1:* "), Client::Arg(dest)}, "copying messages to " + dest);
          done += exists_;
          Box& b = boxes_[to];
          b.listed = false;
          b.count = static_cast<std::int64_t>(exists_);
          b.createdHere = false;
        }
      }
      ++done;
      if (step && !step(done)) Fail(MAPI_E_USER_CANCEL, "cancelled");
      if (!subfolders) continue;
      for (ObjId child : Subfolders(from)) {
        if (child == top) continue;  // the copy itself, made below its source
        auto c = GetFolder(child);
        if (!c) continue;
        const ObjId made = CreateFolder(to, c->name, c->type);
        SetFolderProps(made, FolderProps(child));
        todo.emplace_back(child, made);
      }
    }
    if (newFolder) *newFolder = top;
    return true;
  }

  std::unique_ptr<Transaction> BeginWrite() override { return std::make_unique<ImapTx>(*this, true); }
  std::unique_ptr<Transaction> BeginRead() override { return std::make_unique<ImapTx>(*this, false); }

  // ---- transactions: uploads go out batch by batch ------------------------------------

  void Enter(bool write) {
    if (write) ++writeDepth_;
  }
  void Leave(bool write, bool committed) {
    if (!write) return;
    const int level = --writeDepth_;
    if (committed) {
      SendAppends();
      if (level == 0) Settle();
      return;
    }
    // Not committed: what has not gone out stays here; what went out is
    // on the server already and keeps its number.
    for (const auto& p : pending_)
      if (!p.replaces) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, p.id).Run();
    pending_.clear();
    pendingBytes_ = 0;
    if (level == 0) {
      try {
        Settle();
      } catch (const std::exception&) {
      }
    }
  }

 private:
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

  std::optional<ObjId> FolderOf(const std::string& mailbox) {
    auto q = ix_.Prepare("SELECT id FROM folder WHERE mailbox=?");
    q.Bind(1, mailbox);
    if (!q.Step()) return std::nullopt;
    return q.Int(0);
  }
  std::string MailboxOf(ObjId id) {
    auto q = ix_.Prepare("SELECT mailbox FROM folder WHERE id=?");
    q.Bind(1, id);
    if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "folder not found");
    return q.Text(0);
  }
  // The folder and (once the server gave one) UID of a message.
  std::optional<std::pair<ObjId, std::optional<std::uint32_t>>> RowOf(ObjId id) {
    auto q = ix_.Prepare("SELECT folder_id, uid FROM message WHERE id=?");
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    std::optional<std::uint32_t> uid;
    if (!q.IsNull(1)) uid = static_cast<std::uint32_t>(q.Int(1));
    return std::make_pair(q.Int(0), uid);
  }

  // A folder name as the server's mailbox name below parent: the separator
  // always, and with all also every character some servers refuse, written
  // as a character that looks the same.
  std::string MapName(const std::string& name, bool all) const {
    std::string out;
    for (const char ch : name) {
      const auto c = static_cast<unsigned char>(ch);
      const bool separator = delim_.size() == 1 && ch == delim_[0];
      out += separator || (all && Risky(c)) ? LookAlike(c) : std::string(1, ch);
    }
    return out;
  }
  // A mailbox name the state file does not know, as a folder name: the
  // look-alikes this store writes stand for the characters again.
  std::string UnmapName(std::string name) const {
    auto back = [&](unsigned char c) {
      const std::string look = LookAlike(c);
      for (size_t at = name.find(look); at != std::string::npos; at = name.find(look, at + 1))
        name.replace(at, look.size(), 1, static_cast<char>(c));
    };
    if (delim_.size() == 1) back(static_cast<unsigned char>(delim_[0]));
    if (mapAll_)
      for (const char c : kRiskyCharacters) back(static_cast<unsigned char>(c));
    return name;
  }
  std::string DecodeName(const std::string& leaf) const {
    return UnmapName(maildir::DecodeMutf7(leaf).value_or(leaf));
  }

  // The server's name of a new folder below parent.
  std::string ChildMailbox(ObjId parent, const std::string& name, bool all) {
    auto enc = maildir::EncodeMutf7(MapName(name, all));
    if (!enc || enc->empty()) Fail(MAPI_E_INVALID_PARAMETER, "the server cannot hold the folder name \"" + name + "\"");
    if (parent == top_) {
      if (EqualsNoCase(*enc, "INBOX")) Fail(MAPI_E_COLLISION, "a folder named " + name + " exists");
      return prefix_ + *enc;
    }
    if (delim_.empty()) Fail(MAPI_E_NO_SUPPORT, "the server keeps no folders within folders");
    return MailboxOf(parent) + delim_ + *enc;
  }

  // Runs a command that names a new mailbox (CREATE, RENAME) for folder
  // name below parent. A server that refuses the name while it holds
  // characters some servers cannot take is asked again with those written
  // as look-alikes, and from then on every name is written so. Returns the
  // mailbox name the server took.
  std::string NameMailbox(ObjId parent, const std::string& name,
                          const std::function<std::vector<Client::Part>(const std::string&)>& command,
                          const std::string& what) {
    const std::string first = ChildMailbox(parent, name, mapAll_);
    if (FolderOf(first)) Fail(MAPI_E_COLLISION, "a folder named " + name + " exists");
    const Response r = c_.Wait(c_.Send(command(first)));
    if (r.Ok()) return first;
    const std::string second = mapAll_ ? first : ChildMailbox(parent, name, true);
    if (second != first && imap::ErrorOfResponse(r) != MAPI_E_COLLISION && !FolderOf(second)) {
      if (c_.Wait(c_.Send(command(second))).Ok()) {
        mapAll_ = true;
        ix_.Prepare("INSERT OR REPLACE INTO info(key, value) VALUES('map_names', 'all')").Run();
        return second;
      }
    }
    c_.Refused(r, what + " " + first);
  }

  void Forget(ObjId f) {
    Transact([&] {
      ix_.Prepare("DELETE FROM message WHERE folder_id=?").Bind(1, f).Run();
      ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, f).Run();
      ix_.Prepare("DELETE FROM receive_folder WHERE folder_id=?").Bind(1, f).Run();
      ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, f).Run();
    });
    boxes_.erase(f);
  }

  // ---- the server's mailboxes -----------------------------------------------------------

  void LearnNamespace() {
    const bool pub = Kind() == "public";
    std::string personalPrefix, personalDelim, sharedPrefix, sharedDelim;
    bool haveShared = false;
    if (c_.Has("NAMESPACE")) {
      namespaces_.clear();
      c_.Run("NAMESPACE", "NAMESPACE");
      // (personal) (other users) (shared), each NIL or a list of (prefix delimiter).
      auto first = [](const Value& v, std::string& prefix, std::string& delim) {
        if (!v.IsList() || v.items.empty() || !v.items[0].IsList() || v.items[0].items.size() < 2) return false;
        prefix = v.items[0].items[0].Str();
        delim = v.items[0].items[1].Str();
        return true;
      };
      if (namespaces_.size() >= 4) {
        first(namespaces_[1], personalPrefix, personalDelim);
        haveShared = first(namespaces_[3], sharedPrefix, sharedDelim);
        for (size_t k = 2; k <= 3; ++k)
          if (namespaces_[k].IsList())
            for (const auto& ns : namespaces_[k].items)
              if (ns.IsList() && !ns.items.empty() && !ns.items[0].Str().empty()) foreign_.push_back(ns.items[0].Str());
      }
    }
    if (personalDelim.empty() && !pub) {
      listed_.clear();
      c_.Run("LIST \"\" \"\"", "LIST");
      if (!listed_.empty()) personalDelim = listed_[0].delim;
    }
    if (pub) {
      if (!haveShared) Fail(MAPI_E_NOT_FOUND, "the server " + a_.endpoint.host + " has no public (shared) namespace");
      prefix_ = sharedPrefix;
      delim_ = sharedDelim;
      std::erase(foreign_, sharedPrefix);
    } else {
      prefix_ = personalPrefix;
      delim_ = personalDelim;
    }
  }

  struct ListEntry {
    std::string name;
    std::string delim;
    std::vector<std::string> attrs;  // lower case
  };

  // Reads the server's mailboxes into the state file: new ones get numbers,
  // vanished ones lose theirs.
  void Scan() {
    listed_.clear();
    statuses_.clear();
    const bool special = c_.Has("SPECIAL-USE") && c_.Has("LIST-EXTENDED");
    const bool listStatus = c_.Has("LIST-STATUS") && c_.Has("LIST-EXTENDED");
    std::string cmd = "LIST \"\" ";
    const std::string pattern = prefix_ + "*";
    cmd += imap::QuoteArgument(pattern).value_or("\"*\"");
    if (special || listStatus) {
      cmd += " RETURN (";
      if (special) cmd += "SPECIAL-USE";
      if (listStatus) cmd += std::string(special ? " " : "") + "STATUS (MESSAGES UIDVALIDITY)";
      cmd += ")";
    }
    c_.Run(cmd, "listing the mailboxes");
    if (Kind() != "public") {
      // INBOX is the account's whatever its namespace's prefix.
      bool inbox = std::any_of(listed_.begin(), listed_.end(), [](const ListEntry& e) { return EqualsNoCase(e.name, "INBOX"); });
      if (!inbox) {
        c_.Run("LIST \"\" INBOX", "listing the Inbox");
      }
    }
    std::vector<ListEntry> entries;
    std::set<std::string> seen;
    for (auto& e : listed_) {
      if (!seen.insert(e.name).second) continue;
      const bool isInbox = EqualsNoCase(e.name, "INBOX") && Kind() != "public";
      if (!isInbox) {
        if (e.name.size() <= prefix_.size() || e.name.compare(0, prefix_.size(), prefix_) != 0) continue;
        // Another namespace's mailboxes, and its prefix listed as a mailbox.
        if (std::any_of(foreign_.begin(), foreign_.end(), [&](const std::string& f) {
              return !f.empty() && (e.name.compare(0, f.size(), f) == 0 ||
                                    (!delim_.empty() && e.name + delim_ == f));
            }))
          continue;
      }
      if (std::find(e.attrs.begin(), e.attrs.end(), "\\nonexistent") != e.attrs.end()) continue;
      entries.push_back(e);
    }
    // Parents before children.
    auto depth = [&](const ListEntry& e) {
      return delim_.empty() ? 0 : std::count(e.name.begin(), e.name.end(), delim_[0]);
    };
    std::stable_sort(entries.begin(), entries.end(), [&](const ListEntry& x, const ListEntry& y) { return depth(x) < depth(y); });
    std::set<ObjId> keep{root_, top_};
    std::map<std::string, ObjId> ensured;  // mailbox -> folder, this scan
    inbox_ = 0;
    Transact([&] {
      for (const auto& e : entries) {
        const bool isInbox = EqualsNoCase(e.name, "INBOX") && Kind() != "public";
        const std::string stored = isInbox ? std::string("INBOX") : e.name;
        // Its parents first: listed ones were met already (parents come
        // first), the others are hierarchy gaps (\NonExistent, or not
        // listed at all), shown as folders without messages.
        ObjId parent = top_;
        std::string leaf = stored.substr(isInbox ? 0 : prefix_.size());
        if (!isInbox) {
          if (const size_t cut = ParentCut(stored); cut != std::string::npos) {
            parent = EnsureFolders(stored.substr(0, cut), ensured, keep);
            leaf = stored.substr(cut + delim_.size());
          }
        }
        ObjId id;
        if (auto known = FolderOf(stored)) {
          id = *known;
          // (A state file written before gaps were kept may have lost it.)
          ix_.Prepare("UPDATE folder SET parent_id=? WHERE id=? AND parent_id IS NOT ?").Bind(1, parent).Bind(2, id).Bind(3, parent).Run();
        } else {
          const std::string name = isInbox ? std::string("Inbox") : DecodeName(leaf);
          id = InsertFolder(parent, stored, name);
        }
        keep.insert(id);
        ensured[stored] = id;
        Box& b = boxes_[id];
        b.selectable = std::find(e.attrs.begin(), e.attrs.end(), "\\noselect") == e.attrs.end();
        b.special.clear();
        for (const auto& a : e.attrs)
          if (a == "\\sent" || a == "\\drafts" || a == "\\trash" || a == "\\junk" || a == "\\archive" || a == "\\all" ||
              a == "\\flagged")
            b.special = a;
        if (auto st = statuses_.find(e.name); st != statuses_.end()) {
          b.count = st->second.first;
          CheckUidValidity(id, st->second.second);
        }
        if (isInbox) inbox_ = id;
      }
      // Mailboxes the server no longer has.
      std::vector<ObjId> gone;
      {
        auto q = ix_.Prepare("SELECT id FROM folder");
        while (q.Step())
          if (!keep.count(q.Int(0))) gone.push_back(q.Int(0));
      }
      for (ObjId f : gone) Forget(f);
    });
    if (!listStatus) CountAll();
    FindStandardFolders();
  }

  // Where the parent's name ends in a mailbox name of the store's namespace
  // (npos: a mailbox of the top level).
  size_t ParentCut(const std::string& mailbox) const {
    if (delim_.empty()) return std::string::npos;
    const size_t cut = mailbox.rfind(delim_);
    if (cut == std::string::npos || cut < prefix_.size() + 1) return std::string::npos;
    return cut;
  }

  ObjId InsertFolder(ObjId parent, const std::string& mailbox, const std::string& name) {
    const auto now = NowFiletime();
    ix_.Prepare("INSERT INTO folder(parent_id, mailbox, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
        .Bind(1, parent).Bind(2, mailbox).Bind(3, name).Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
    return ix_.LastId();
  }

  // The folder of a mailbox and of every mailbox above it, made where the
  // server did not list them (hierarchy gaps: folders that hold no
  // messages). Walks up to the first one this scan met, then down again,
  // without recursion however deep the names go.
  ObjId EnsureFolders(const std::string& mailbox, std::map<std::string, ObjId>& ensured, std::set<ObjId>& keep) {
    std::vector<std::string> chain;  // the mailbox first, then its parents
    ObjId parent = top_;
    for (std::string at = mailbox;;) {
      if (auto it = ensured.find(at); it != ensured.end()) {
        parent = it->second;
        break;
      }
      chain.push_back(at);
      const size_t cut = ParentCut(at);
      if (cut == std::string::npos) break;
      at = at.substr(0, cut);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const std::string& box = *it;
      ObjId id;
      if (auto known = FolderOf(box)) {
        id = *known;
        ix_.Prepare("UPDATE folder SET parent_id=? WHERE id=? AND parent_id IS NOT ?").Bind(1, parent).Bind(2, id).Bind(3, parent).Run();
      } else {
        const size_t cut = ParentCut(box);
        const std::string leaf = cut == std::string::npos ? box.substr(prefix_.size()) : box.substr(cut + delim_.size());
        id = InsertFolder(parent, box, DecodeName(leaf));
      }
      keep.insert(id);
      ensured[box] = id;
      Box& b = boxes_[id];
      b.selectable = false;
      b.count = 0;
      parent = id;
    }
    return parent;
  }

  // Message counts of every mailbox in one round of pipelined STATUS commands.
  void CountAll() {
    std::vector<std::pair<ObjId, std::string>> tags;
    auto q = ix_.Prepare("SELECT id, mailbox FROM folder");
    std::vector<std::pair<ObjId, std::string>> all;
    while (q.Step()) all.emplace_back(q.Int(0), q.Text(1));
    for (const auto& [id, mailbox] : all) {
      if (id == root_ || id == top_ || !boxes_[id].selectable) continue;
      tags.emplace_back(id, c_.Send({Client::Text("STATUS "), Client::Arg(mailbox), Client::Text(" (MESSAGES UIDVALIDITY)")}));
    }
    for (const auto& [id, tag] : tags) c_.Wait(tag);
    for (const auto& [id, mailbox] : all) {
      auto st = statuses_.find(mailbox);
      if (st == statuses_.end()) continue;
      boxes_[id].count = st->second.first;
      CheckUidValidity(id, st->second.second);
    }
  }

  // A mailbox whose UIDVALIDITY changed holds other messages under the
  // same UIDs: its messages get new numbers.
  void CheckUidValidity(ObjId folder, std::uint32_t validity) {
    if (!validity) return;
    auto q = ix_.Prepare("SELECT uidvalidity FROM folder WHERE id=?");
    q.Bind(1, folder);
    if (!q.Step()) return;
    const bool known = !q.IsNull(0);
    const auto old = static_cast<std::uint32_t>(q.Int(0));
    if (known && old == validity) return;
    if (known) {
      ix_.Prepare("DELETE FROM message WHERE folder_id=? AND uid IS NOT NULL").Bind(1, folder).Run();
      boxes_[folder].listed = false;
    }
    ix_.Prepare("UPDATE folder SET uidvalidity=? WHERE id=?").Bind(1, static_cast<std::int64_t>(validity)).Bind(2, folder).Run();
  }

  void FindStandardFolders() {
    ObjId sent = 0, trash = 0, drafts = 0, junk = 0;
    for (const auto& [id, b] : boxes_) {
      if (b.special == "\\sent" && !sent) sent = id;
      if (b.special == "\\trash" && !trash) trash = id;
      if (b.special == "\\drafts" && !drafts) drafts = id;
      if (b.special == "\\junk" && !junk) junk = id;
    }
    // A server without SPECIAL-USE: the well-known names.
    for (ObjId f : Subfolders(top_)) {
      auto info = GetFolderName(f);
      if (!sent && NameIn(info, kSentNames)) sent = f;
      if (!trash && NameIn(info, kTrashNames)) trash = f;
      if (!drafts && NameIn(info, kDraftsNames)) drafts = f;
      if (!junk && NameIn(info, kJunkNames)) junk = f;
    }
    junk_ = junk;
    standardProps_ = {Prop::Bytes(PR_IPM_SUBTREE_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, top_))};
    if (sent) standardProps_.push_back(Prop::Bytes(PR_IPM_SENTMAIL_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, sent)));
    if (trash)
      standardProps_.push_back(Prop::Bytes(PR_IPM_WASTEBASKET_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, trash)));
    inboxProps_.clear();
    if (drafts) inboxProps_.push_back(Prop::Bytes(PR_IPM_DRAFTS_ENTRYID, MakeObjectEntryId(guid_, ObjKind::Folder, drafts)));
  }
  std::string GetFolderName(ObjId f) {
    auto q = ix_.Prepare("SELECT name FROM folder WHERE id=?");
    q.Bind(1, f);
    return q.Step() ? q.Text(0) : std::string();
  }

  std::int64_t Count(ObjId folder) {
    if (folder == root_ || folder == top_) return 0;
    Box& b = boxes_[folder];
    if (!b.selectable) return 0;
    std::int64_t pendingHere = 0;
    for (const auto& p : pending_)
      if (p.folder == folder) ++pendingHere;
    for (const auto& a : appends_)
      if (a.folder == folder) pendingHere += static_cast<std::int64_t>(a.msgs.size());
    if (b.listed) return static_cast<std::int64_t>(b.msgs.size()) + pendingHere;
    if (b.count < 0) {
      Settle();
      statuses_.clear();
      const std::string mailbox = MailboxOf(folder);
      c_.Run({Client::Text("STATUS "), Client::Arg(mailbox), Client::Text(" (MESSAGES UIDVALIDITY)")}, "STATUS " + mailbox);
      if (auto st = statuses_.find(mailbox); st != statuses_.end()) b.count = st->second.first;
      pendingHere = 0;
    }
    return std::max<std::int64_t>(0, b.count) + pendingHere;
  }

  // ---- selecting and listing ----------------------------------------------------------------

  void Select(ObjId folder) {
    if (selected_ == folder) return;
    DrainFetches();
    const std::string mailbox = MailboxOf(folder);
    exists_ = 0;
    uidValidity_ = 0;
    c_.Run({Client::Text("SELECT "), Client::Arg(mailbox)}, "opening the mailbox " + mailbox);
    selected_ = folder;
    CheckUidValidity(folder, uidValidity_);
    boxes_[folder].count = static_cast<std::int64_t>(exists_);
  }
  void Unselect(ObjId folder) {
    if (selected_ != folder) return;
    DrainFetches();
    if (c_.Has("UNSELECT"))
      c_.Run("UNSELECT", "UNSELECT");
    else
      c_.Run("EXAMINE INBOX", "EXAMINE");
    selected_ = 0;
  }

  Box& Listing(ObjId folder) {
    Box& b = boxes_[folder];
    if (!b.listed) List(folder);
    return boxes_[folder];
  }

  // Lists a folder's messages (UID, flags, INTERNALDATE, size) and maps
  // their UIDs to numbers.
  Box& List(ObjId folder) {
    Box& b = boxes_[folder];
    b.msgs.clear();
    b.byUid.clear();
    b.byId.clear();
    if (folder == root_ || folder == top_ || !b.selectable) {
      b.listed = true;
      return b;
    }
    Select(folder);
    if (exists_ > 0) {
      listing_ = &b.msgs;
      try {
        c_.Run("UID FETCH 1:* (UID FLAGS INTERNALDATE RFC822.SIZE)", "listing the messages of " + MailboxOf(folder));
      } catch (...) {
        listing_ = nullptr;
        throw;
      }
      listing_ = nullptr;
    }
    std::sort(b.msgs.begin(), b.msgs.end(), [](const Listed& x, const Listed& y) { return x.uid < y.uid; });
    b.msgs.erase(std::unique(b.msgs.begin(), b.msgs.end(), [](const Listed& x, const Listed& y) { return x.uid == y.uid; }),
                 b.msgs.end());
    std::unordered_map<std::uint32_t, ObjId> known;
    {
      auto q = ix_.Prepare("SELECT uid, id FROM message WHERE folder_id=? AND uid IS NOT NULL");
      q.Bind(1, folder);
      while (q.Step()) known.emplace(static_cast<std::uint32_t>(q.Int(0)), q.Int(1));
    }
    Transact([&] {
      for (auto& m : b.msgs) {
        auto it = known.find(m.uid);
        if (it != known.end()) {
          m.id = it->second;
          known.erase(it);
        } else {
          ix_.Prepare("INSERT INTO message(folder_id, uid) VALUES(?, ?)").Bind(1, folder).Bind(2, static_cast<std::int64_t>(m.uid)).Run();
          m.id = ix_.LastId();
        }
      }
      for (const auto& [uid, id] : known) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
      // Uploads whose UID the server did not say (no UIDPLUS) got theirs
      // in this listing.
      ix_.Prepare("DELETE FROM message WHERE folder_id=? AND uid IS NULL").Bind(1, folder).Run();
    });
    for (size_t k = 0; k < b.msgs.size(); ++k) {
      b.byUid[b.msgs[k].uid] = k;
      b.byId[b.msgs[k].id] = k;
    }
    b.count = static_cast<std::int64_t>(b.msgs.size());
    b.listed = true;
    if (cacheFolder_ == folder) requestedUpTo_ = 0;
    return b;
  }

  void Drop(Box& b, const std::vector<std::pair<std::uint32_t, ObjId>>& gone) {
    if (!b.listed) return;
    std::set<std::uint32_t> uids;
    for (const auto& g : gone) uids.insert(g.first);
    std::erase_if(b.msgs, [&](const Listed& m) { return uids.count(m.uid) > 0; });
    b.byUid.clear();
    b.byId.clear();
    for (size_t k = 0; k < b.msgs.size(); ++k) {
      b.byUid[b.msgs[k].uid] = k;
      b.byId[b.msgs[k].id] = k;
    }
    requestedUpTo_ = 0;
  }

  // ---- fetching bodies ----------------------------------------------------------------------

  // Asks for the bodies from position at of the folder's listing on, chunk
  // by chunk, while fewer than kFetchesInFlight are on their way.
  void Request(ObjId folder, size_t at) {
    Box& b = boxes_[folder];
    if (cacheFolder_ != folder) {
      DrainFetches();
      cache_.clear();
      cacheFolder_ = folder;
      requestedUpTo_ = 0;
    }
    if (at < b.msgs.size() && at < requestedUpTo_ && !cache_.count(b.msgs[at].uid)) {
      const bool covered = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& f) {
        return std::find(f.uids.begin(), f.uids.end(), b.msgs[at].uid) != f.uids.end();
      });
      if (!covered) requestedUpTo_ = at;  // read again, out of order
    }
    size_t next = std::max(at, requestedUpTo_);
    while (fetches_.size() < kFetchesInFlight && next < b.msgs.size()) {
      FetchInFlight f;
      f.folder = folder;
      std::uint64_t bytes = 0;
      while (next < b.msgs.size() && f.uids.size() < kFetchChunkMessages && (f.uids.empty() || bytes < kFetchChunkBytes)) {
        bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(0, b.msgs[next].size));
        f.uids.push_back(b.msgs[next].uid);
        ++next;
      }
      std::vector<std::uint32_t> sorted = f.uids;
      std::sort(sorted.begin(), sorted.end());
      f.tag = c_.Send("UID FETCH " + imap::UidSet(sorted) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
      fetches_.push_back(std::move(f));
    }
    requestedUpTo_ = next;
    c_.Flush();
  }

  void WaitFetch() {
    // The chunk stays listed while its responses come: they are wanted.
    const std::string tag = fetches_.front().tag;
    const ObjId folder = fetches_.front().folder;
    Response r;
    try {
      r = c_.Wait(tag);
    } catch (...) {
      fetches_.clear();
      throw;
    }
    fetches_.pop_front();
    if (!r.Ok())
      Fail(imap::ErrorOfResponse(r), "fetching messages of " + MailboxOf(folder) + " failed: the server said " + r.status + " " +
                                         r.text + " (" + a_.endpoint.host + ")");
  }
  void DrainFetches() {
    while (!fetches_.empty()) WaitFetch();
    cache_.clear();
  }

  // ---- uploading ------------------------------------------------------------------------------

  // A message not yet on the server: waiting (with its bytes) or, unless
  // the bytes are wanted, on its way.
  const PendingAppend* FindPending(ObjId id, bool withBytes) const {
    for (const auto& p : pending_)
      if (p.id == id) return &p;
    if (!withBytes)
      for (const auto& a : appends_)
        for (const auto& p : a.msgs)
          if (p.id == id) return &p;
    return nullptr;
  }

  // Everything sent is answered and nothing waits: the state other calls see.
  void Settle() {
    if (settling_) return;
    settling_ = true;
    try {
      SendAppends();
      while (!appends_.empty()) WaitAppend();
    } catch (...) {
      settling_ = false;
      throw;
    }
    settling_ = false;
  }

  std::string FlagsText(const inet::MailFlags& f) {
    std::vector<std::string> list;
    if (f.seen) list.push_back("\\Seen");
    if (f.answered) list.push_back("\\Answered");
    if (f.flagged) list.push_back("\\Flagged");
    if (f.deleted) list.push_back("\\Deleted");
    if (f.draft) list.push_back("\\Draft");
    if (f.forwarded) list.push_back("$Forwarded");
    for (const auto& k : f.keywords) {
      auto q = imap::QuoteArgument(k);
      // A keyword is an atom; one that cannot be is left behind.
      if (q && *q == k && k.find('\\') == std::string::npos && k.find('/') == std::string::npos) list.push_back(k);
    }
    return imap::FlagList(list);
  }

  // Sends the messages waiting for upload, a command per mailbox and batch.
  void SendAppends() {
    while (!pending_.empty()) {
      const ObjId folder = pending_.front().folder;
      AppendInFlight a;
      a.folder = folder;
      std::uint64_t bytes = 0;
      while (!pending_.empty() && pending_.front().folder == folder &&
             (a.msgs.empty() || (c_.Has("MULTIAPPEND") && bytes + pending_.front().bytes.size() <= kAppendBatchBytes &&
                                 a.msgs.size() < kAppendBatchMessages))) {
        bytes += pending_.front().bytes.size();
        pendingBytes_ -= pending_.front().bytes.size();
        a.msgs.push_back(std::move(pending_.front()));
        pending_.pop_front();
      }
      SkipUploaded(a);
      if (a.msgs.empty()) continue;
      const std::string mailbox = MailboxOf(folder);
      std::vector<Client::Part> cmd{Client::Text("APPEND "), Client::Arg(mailbox)};
      for (auto& m : a.msgs) {
        cmd.push_back(Client::Text(" " + FlagsText(m.flags) + " \"" + imap::FormatInternalDate(m.date) + "\" "));
        // The command takes the bytes: nothing keeps a second copy.
        cmd.push_back(Client::Literal(std::move(m.bytes)));
      }
      try {
        a.tag = c_.Send(std::move(cmd));
        c_.Flush();
      } catch (const MapiError& e) {
        Broke(a, e);
      }
      appends_.push_back(std::move(a));
      while (appends_.size() > kAppendsInFlight) WaitAppend();
    }
  }

  // A rerun after an upload that broke off: messages the mailbox holds
  // already (the same Message-ID, size and bytes) are not sent again.
  void SkipUploaded(AppendInFlight& a) {
    Box& b = boxes_[a.folder];
    if (b.createdHere) return;
    if (!b.dupesLoaded) {
      b.dupesLoaded = true;
      b.existing.clear();
      Select(a.folder);
      if (exists_ > 0) {
        headers_ = &b.existing;
        try {
          c_.Run("UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])", "reading the Message-IDs of " + MailboxOf(a.folder));
        } catch (...) {
          headers_ = nullptr;
          throw;
        }
        headers_ = nullptr;
      }
    }
    if (b.existing.empty()) return;
    std::vector<PendingAppend> keep;
    for (auto& m : a.msgs) {
      if (m.replaces) {
        keep.push_back(std::move(m));
        continue;
      }
      const std::string mid = MessageIdOf(m.bytes);
      bool skipped = false;
      if (!mid.empty()) {
        const std::string key = mid + '\0' + std::to_string(m.bytes.size());
        auto range = b.existing.equal_range(key);
        for (auto it = range.first; it != range.second; ++it) {
          if (Sha256(BodyOf(a.folder, it->second)) != Sha256(m.bytes)) continue;
          // The message keeps the number this upload gave it.
          ix_.Prepare("DELETE FROM message WHERE folder_id=? AND uid=?").Bind(1, a.folder).Bind(2, static_cast<std::int64_t>(it->second)).Run();
          ix_.Prepare("UPDATE message SET uid=? WHERE id=?").Bind(1, static_cast<std::int64_t>(it->second)).Bind(2, m.id).Run();
          ++skippedUploads_;
          b.existing.erase(it);
          b.listed = false;
          skipped = true;
          break;
        }
      }
      if (!skipped) keep.push_back(std::move(m));
    }
    a.msgs = std::move(keep);
  }

  std::string BodyOf(ObjId folder, std::uint32_t uid) {
    Select(folder);
    DrainFetches();
    cacheFolder_ = folder;
    FetchInFlight f;
    f.folder = folder;
    f.uids = {uid};
    f.tag = c_.Send("UID FETCH " + std::to_string(uid) + " (UID FLAGS INTERNALDATE BODY.PEEK[])");
    fetches_.push_back(std::move(f));
    WaitFetch();
    std::string bytes = std::move(cache_[uid].bytes);
    cache_.erase(uid);
    return bytes;
  }

  void WaitAppend() {
    AppendInFlight a = std::move(appends_.front());
    appends_.pop_front();
    Response r;
    try {
      r = c_.Wait(a.tag);
    } catch (const MapiError& e) {
      Broke(a, e);
    }
    if (!r.Ok()) {
      const MapiError e(imap::ErrorOfResponse(r), "uploading to " + MailboxOf(a.folder) + " failed: the server said " + r.status +
                                                      (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text);
      Broke(a, e);
    }
    auto uids = AppendedUids(r.code, a.msgs.size());
    Transact([&] {
      for (size_t k = 0; k < a.msgs.size(); ++k) {
        if (uids)
          ix_.Prepare("UPDATE message SET uid=? WHERE id=?").Bind(1, static_cast<std::int64_t>((*uids)[k])).Bind(2, a.msgs[k].id).Run();
      }
    });
    uploaded_ += a.msgs.size();
    Box& b = boxes_[a.folder];
    b.listed = false;
    if (b.count >= 0) b.count += static_cast<std::int64_t>(a.msgs.size());
    // A message written in place of another: the old copy goes, the number stays.
    std::vector<std::uint32_t> replaced;
    for (const auto& m : a.msgs)
      if (m.replaces) replaced.push_back(m.replacedUid);
    if (!replaced.empty()) {
      std::sort(replaced.begin(), replaced.end());
      Select(a.folder);
      Expunge(a.folder, replaced);
      if (b.count >= 0) b.count -= static_cast<std::int64_t>(replaced.size());
      if (!uids)
        for (const auto& m : a.msgs)
          if (m.replaces) ix_.Prepare("UPDATE message SET uid=NULL WHERE id=?").Bind(1, m.id).Run();
    }
  }

  // An upload that broke off: its messages lose their numbers, and the
  // error says how far the uploads of this store came.
  [[noreturn]] void Broke(AppendInFlight& a, const MapiError& e) {
    // A message meant to replace another leaves the other as it was.
    std::vector<ObjId> lost;
    size_t notSent = 0;
    auto lose = [&](const PendingAppend& m) {
      ++notSent;
      if (!m.replaces) lost.push_back(m.id);
    };
    for (const auto& m : a.msgs) lose(m);
    for (const auto& other : appends_)
      for (const auto& m : other.msgs) lose(m);
    for (const auto& m : pending_) lose(m);
    appends_.clear();
    pending_.clear();
    pendingBytes_ = 0;
    for (ObjId id : lost) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, id).Run();
    throw MapiError(e.hr(), std::string(e.what()) + "; " + std::to_string(uploaded_) + " messages went up to " +
                                a_.endpoint.host + " before (a rerun skips them), " + std::to_string(notSent) +
                                " did not");
  }

  static std::optional<std::vector<std::uint32_t>> AppendedUids(const std::string& code, size_t count) {
    // APPENDUID uidvalidity uid-set
    if (code.size() < 10 || !EqualsNoCase(code.substr(0, 10), "APPENDUID ")) return std::nullopt;
    const size_t sp = code.find(' ', 10);
    if (sp == std::string::npos) return std::nullopt;
    auto uids = imap::ParseUidSet(code.substr(sp + 1), count);
    if (!uids || uids->size() != count) return std::nullopt;
    return uids;
  }
  static std::optional<std::vector<std::uint32_t>> CopiedUids(const std::string& code, size_t count) {
    // COPYUID uidvalidity source-set destination-set
    if (code.size() < 8 || !EqualsNoCase(code.substr(0, 8), "COPYUID ")) return std::nullopt;
    const size_t a = code.find(' ', 8);
    const size_t b = a == std::string::npos ? a : code.find(' ', a + 1);
    if (b == std::string::npos) return std::nullopt;
    auto uids = imap::ParseUidSet(code.substr(b + 1), count);
    if (!uids || uids->size() != count) return std::nullopt;
    return uids;
  }

  // Removes messages: \Deleted, then UID EXPUNGE of exactly those.
  void Expunge(ObjId folder, const std::vector<std::uint32_t>& uids) {
    if (uids.empty()) return;
    const std::string set = imap::UidSet(uids);
    const std::string mailbox = MailboxOf(folder);
    if (c_.Has("UIDPLUS")) {
      const std::string store = c_.Send("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
      const std::string expunge = c_.Send("UID EXPUNGE " + set);
      c_.Check(store, "deleting messages of " + mailbox);
      c_.Check(expunge, "deleting messages of " + mailbox);
      return;
    }
    // Without UIDPLUS an EXPUNGE removes every \Deleted message: only when
    // those are ours.
    search_.clear();
    c_.Run("UID SEARCH DELETED", "searching " + mailbox);
    std::set<std::uint32_t> mine(uids.begin(), uids.end());
    for (std::uint32_t u : search_)
      if (!mine.count(u))
        Fail(MAPI_E_NO_SUPPORT, mailbox + " holds messages marked deleted by someone else, and the server " + a_.endpoint.host +
                                    " cannot expunge single messages (no UIDPLUS)");
    c_.Run("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", "deleting messages of " + mailbox);
    c_.Run("EXPUNGE", "deleting messages of " + mailbox);
  }

  // ---- untagged responses ------------------------------------------------------------------------

  void OnUntagged(Response& r) {
    if (r.IsStatus()) {
      const std::string code = r.code;
      if (code.size() > 12 && EqualsNoCase(code.substr(0, 12), "UIDVALIDITY ")) {
        Value v;
        v.text = code.substr(12);
        uidValidity_ = static_cast<std::uint32_t>(v.Number().value_or(0));
      } else if (code.size() > 8 && EqualsNoCase(code.substr(0, 8), "COPYUID ")) {
        copyUid_ = code;
      }
      return;
    }
    const std::string word = r.Word();
    if (word == "EXISTS") {
      exists_ = r.Number();
    } else if (word == "EXPUNGE" || word == "VANISHED") {
      if (selected_ && !listing_) boxes_[selected_].listed = false;
    } else if (word == "FETCH") {
      if (r.data.size() >= 3) OnFetch(r.data[2]);
    } else if (word == "LIST") {
      // LIST (attributes) delimiter name [extended data]
      if (r.data.size() < 4 || !r.data[1].IsList()) return;
      ListEntry e;
      for (const auto& a : r.data[1].items) e.attrs.push_back(Lower(a.Str()));
      e.delim = r.data[2].Str();
      e.name = r.data[3].Str();
      listed_.push_back(std::move(e));
    } else if (word == "STATUS") {
      // STATUS name (MESSAGES n UIDVALIDITY v)
      if (r.data.size() < 3 || !r.data[2].IsList()) return;
      std::uint64_t messages = 0, validity = 0;
      const auto& items = r.data[2].items;
      for (size_t k = 0; k + 1 < items.size(); k += 2) {
        if (items[k].IsAtom("MESSAGES")) messages = items[k + 1].Number().value_or(0);
        if (items[k].IsAtom("UIDVALIDITY")) validity = items[k + 1].Number().value_or(0);
      }
      statuses_[r.data[1].Str()] = {static_cast<std::int64_t>(messages), static_cast<std::uint32_t>(validity)};
    } else if (word == "NAMESPACE") {
      namespaces_ = r.data;
    } else if (word == "SEARCH") {
      for (size_t k = 1; k < r.data.size(); ++k)
        if (auto n = r.data[k].Number(); n && *n <= 0xFFFFFFFFu) search_.push_back(static_cast<std::uint32_t>(*n));
    }
  }

  void OnFetch(Value& list) {
    if (!list.IsList()) return;
    std::optional<std::uint32_t> uid;
    inet::MailFlags flags;
    bool haveFlags = false;
    std::int64_t date = 0, size = -1;
    Value* body = nullptr;
    Value* header = nullptr;
    auto& items = list.items;
    for (size_t k = 0; k + 1 < items.size(); k += 2) {
      Value& key = items[k];
      Value& val = items[k + 1];
      if (key.IsAtom("UID")) {
        if (auto n = val.Number(); n && *n > 0 && *n <= 0xFFFFFFFFu) uid = static_cast<std::uint32_t>(*n);
      } else if (key.IsAtom("FLAGS") && val.IsList()) {
        haveFlags = true;
        for (const auto& f : val.items) {
          const std::string l = Lower(f.Str());
          if (l == "\\seen") flags.seen = true;
          else if (l == "\\answered") flags.answered = true;
          else if (l == "\\flagged") flags.flagged = true;
          else if (l == "\\deleted") flags.deleted = true;
          else if (l == "\\draft") flags.draft = true;
          else if (l == "$forwarded") flags.forwarded = true;
          else if (l == "\\recent" || l.empty() || l[0] == '\\') continue;
          else flags.keywords.push_back(f.Str());
        }
      } else if (key.IsAtom("INTERNALDATE")) {
        date = imap::ParseInternalDate(val.Str()).value_or(0);
      } else if (key.IsAtom("RFC822.SIZE")) {
        size = static_cast<std::int64_t>(val.Number().value_or(0));
      } else if (key.IsAtom("BODY[]")) {
        body = &val;
      } else if (key.kind == Value::Kind::Atom && key.text.size() > 5 && EqualsNoCase(key.text.substr(0, 5), "BODY[") &&
                 key.text.find("HEADER.FIELDS") != std::string::npos) {
        header = &val;
      }
    }
    if (!uid) return;
    if (listing_ && !body && !header) {
      Listed m;
      m.uid = *uid;
      m.size = size < 0 ? 0 : size;
      m.date = date;
      m.flags = flags;
      listing_->push_back(std::move(m));
      return;
    }
    if (header && headers_) {
      const std::string mid = MessageIdOf(header->Str() + "\r\n");
      if (!mid.empty() && size >= 0) headers_->emplace(mid + '\0' + std::to_string(size), *uid);
      return;
    }
    if (body) {
      const bool wanted = std::any_of(fetches_.begin(), fetches_.end(), [&](const FetchInFlight& f) {
        return std::find(f.uids.begin(), f.uids.end(), *uid) != f.uids.end();
      });
      if (!wanted) return;
      Fetched& f = cache_[*uid];
      f.bytes = std::move(body->text);
      f.flags = flags;
      f.date = date;
      return;
    }
    // Flags changed by someone else meanwhile.
    if (haveFlags && selected_) {
      Box& b = boxes_[selected_];
      if (auto it = b.byUid.find(*uid); it != b.byUid.end()) b.msgs[it->second].flags = flags;
    }
  }

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
  };
  std::map<std::string, Kept> kept_;
  // Whether every character some servers refuse is written as a look-alike
  // (this server refused one).
  bool mapAll_ = false;

  // What the untagged responses of the running command fill.
  std::vector<Value> namespaces_;
  std::vector<ListEntry> listed_;
  std::map<std::string, std::pair<std::int64_t, std::uint32_t>> statuses_;
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

  std::deque<PendingAppend> pending_;
  std::uint64_t pendingBytes_ = 0;
  std::deque<AppendInFlight> appends_;
  std::uint64_t uploaded_ = 0;
  std::uint64_t skippedUploads_ = 0;
  bool settling_ = false;
  int writeDepth_ = 0;
};

ImapTx::ImapTx(ImapStore& s, bool write) : s_(s), write_(write) { s_.Enter(write_); }
ImapTx::~ImapTx() {
  if (!done_) s_.Leave(write_, false);
}
void ImapTx::Commit() {
  if (done_) return;
  done_ = true;
  s_.Leave(write_, true);
}

class ImapFactory final : public ProviderFactory {
 public:
  std::string Name() const override { return "imap"; }
  std::string DisplayName() const override { return "IMAP account"; }
  void Validate(const StoreSettings& settings) const override { ReadSettings(settings); }
  std::string Location(const StoreSettings& settings) const override {
    try {
      const auto a = ReadSettings(settings);
      return std::string(a.endpoint.tls == imap::TlsMode::Implicit ? "imaps://" : "imap://") + a.user + "@" + a.endpoint.host +
             ":" + std::to_string(a.endpoint.port);
    } catch (const std::exception&) {
      return SettingString(settings, "url").value_or("");
    }
  }
  std::shared_ptr<StoreProvider> Open(const StoreSettings& settings) const override {
    auto store = std::make_shared<ImapStore>(ReadSettingsOrThrow(settings));
    store->OpenState(false, {}, StoreKind::Mailbox);
    store->Connect();
    return store;
  }
  StoreIdentity Identify(const StoreSettings& settings) const override {
    ImapStore store(ReadSettingsOrThrow(settings));
    store.OpenState(false, {}, StoreKind::Mailbox);
    return StoreIdentity{store.Guid(), store.DisplayName(), store.Kind()};
  }

  static AccountSettings ReadSettingsOrThrow(const StoreSettings& settings) {
    try {
      return ReadSettings(settings);
    } catch (const std::runtime_error& e) {
      if (dynamic_cast<const MapiError*>(&e)) throw;
      throw MapiError(MAPI_E_INVALID_PARAMETER, e.what());
    }
  }
};

}  // namespace

const ProviderFactory& ImapProviderFactory() {
  static const ImapFactory factory;
  return factory;
}

StoreIdentity CreateImapState(const StoreSettings& settings, const std::string& displayName, StoreKind kind) {
  ImapStore store(ReadSettings(settings));
  store.OpenState(true, displayName, kind);
  return StoreIdentity{store.Guid(), store.DisplayName(), store.Kind()};
}

ImapCheck CheckImapStore(const StoreSettings& settings) {
  auto store = std::make_shared<ImapStore>(ReadSettings(settings));
  store->OpenState(false, {}, StoreKind::Mailbox);
  store->Connect();
  ImapCheck out;
  out.capabilities = store->client().Capabilities();
  out.secure = store->client().Secure();
  out.compressed = store->client().Compressed();
  out.prefix = store->Prefix();
  out.delimiter = store->Delimiter();
  out.specialUse = store->SpecialUse();
  return out;
}

}  // namespace tesk::mapi
