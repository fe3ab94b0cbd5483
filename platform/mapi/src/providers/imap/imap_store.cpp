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
#include "providers/imap/imap_store.h"
#include <mapi/warnings.h>

#include "providers/imap/imap_pool.h"

namespace tesk::mapi::imapstore {

ImapStore::ImapStore(AccountSettings a) : a_(std::move(a)) {}

ImapStore::~ImapStore() {
  // The other connections end first (each logs out).
  pool_.reset();
  try {
    c_.Close();
  } catch (...) {
  }
}

void ImapStore::OpenState(bool create, const std::string& displayName, StoreKind kind) {
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

std::string ImapStore::AccessToken(bool force) {
  try {
    return oauth2::GetAccessToken(*a_.oauth, force).value;
  } catch (const oauth2::Error& e) {
    Fail(e.kind() == oauth2::Error::Kind::Transient ? MAPI_E_NETWORK_ERROR : MAPI_E_LOGON_FAILED, e.what());
  }
}

void ImapStore::Connect() {
  c_.sink = [this](Response& r) { OnUntagged(r); };
  c_.onBusy = [this](HRESULT hr, const std::string& error, double suggested) { Pause(hr, error, suggested, false); };
  Login();
  Resuming([&] {
    LearnNamespace();
    Scan();
  });
}

void ImapStore::Login() { OpenConnection(c_); }

void ImapStore::OpenConnection(Client& c) {
  imap::Credentials cred;
  cred.user = a_.user;
  if (a_.oauth)
    cred.bearerToken = AccessToken(false);
  else if (!a_.tokenFile.empty())
    cred.bearerToken = ReadSecret(a_.tokenFile, "token");
  else
    cred.password = ReadSecret(a_.passwordFile, "password");
  try {
    c.Open(a_.endpoint, cred, a_.compress);
  } catch (const MapiError& e) {
    // The server no longer takes the token (revoked early, or its clock runs
    // ahead of the expiry we were told): one renewal, one more try.
    if (!a_.oauth || e.hr() != MAPI_E_LOGON_FAILED) throw;
    oauth2::Forget(*a_.oauth);
    cred.bearerToken = AccessToken(true);
    c.Open(a_.endpoint, cred, a_.compress);
  }
}

std::vector<std::pair<std::string, std::string>> ImapStore::SpecialUse() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [id, b] : boxes_)
    if (!b.special.empty()) out.emplace_back(b.special, MailboxOf(id));
  return out;
}

Capabilities ImapStore::Caps() const {
  Capabilities c;
  c.readOnly = false;
  c.wholeCopyInOneCommit = false;
  c.associatedContents = false;
  c.rawInternetContent = true;
  return c;
}

std::optional<FolderInfo> ImapStore::GetFolder(ObjId id) {
  auto f = tables::FolderRow(ix_, id);
  if (f) {
    f->contentCount = Count(id);
    f->holdsMessages = id != root_ && id != top_ && boxes_[id].selectable;
    f->keptByStore = boxes_[id].untouched;
  }
  return f;
}

ObjId ImapStore::CreateFolder(ObjId parent, const std::string& name, ULONG type) {
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
    b.untouched = kept->untouched;
  }
  return id;
}

void ImapStore::MoveFolder(ObjId id, ObjId newParent, const std::string& newName) {
  ForgetStatesAhead();  // what this store writes moves states on
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

void ImapStore::RefuseVirtual(ObjId folder, const char* what) {
  auto b = boxes_.find(folder);
  if (b == boxes_.end() || !b->second.untouched) return;
  // As RFC 6154 writes it: \All, \Flagged.
  std::string use = b->second.special;
  if (use.size() > 1 && use[1] >= 'a' && use[1] <= 'z') use[1] = static_cast<char>(use[1] - 'a' + 'A');
  const std::string mailbox = MailboxOf(folder);
  Fail(MAPI_E_NO_ACCESS, IsVirtualSpecialUse(b->second.special)
                             ? "the server fills " + mailbox + " (" + use + ") from the other mailboxes itself; the store " +
                                   what + " it"
                             : mailbox + " (" + use + ") is left out of the store (skip_special_use); the store " + what +
                                   " it");
}

bool ImapStore::IsKept(ObjId parent, const std::string& name) {
  for (bool all : {mapAll_, true})
    if (kept_.count(ChildMailbox(parent, name, all))) return true;
  return false;
}

void ImapStore::MoveIntoKept(ObjId id, ObjId newParent, const std::string& newName) {
  const auto info = tables::FolderRow(ix_, id);
  const ObjId into = CreateFolder(newParent, newName, info ? info->type : FOLDER_GENERIC);
  // A mailbox the server fills itself keeps what it holds: the messages
  // copied for it go with the copy's mailbox.
  const bool untouched = boxes_[into].untouched;
  if (boxes_[id].selectable && !untouched) MoveMessages(Messages(id, false), into);
  if (untouched && boxes_[id].selectable) {
    const auto left = Messages(id, false).size();
    if (left)
      Warn(std::to_string(left) + (left == 1 ? " message" : " messages") + " of " + newName + " not written into " +
           MailboxOf(into) + " (" + SpecialUseName(boxes_[into].special) +
           "): the server fills that mailbox itself from the other folders");
  }
  for (ObjId child : Subfolders(id)) MoveFolder(child, into, GetFolderName(child));
  Unselect(id);
  Unselect(into);
  const std::string from = MailboxOf(id), to = MailboxOf(into);
  const Response r = c_.Wait(c_.Send({Client::Text("DELETE "), Client::Arg(from)}));
  // (A parent that was never a mailbox of its own may be gone already.)
  if (!r.Ok() && (boxes_[id].selectable || imap::ErrorOfResponse(r) != MAPI_E_NOT_FOUND)) c_.Refused(r, "deleting the mailbox " + from);
  Transact([&] {
    if (untouched) ix_.Prepare("DELETE FROM message WHERE folder_id=?").Bind(1, id).Run();
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
  moved.dupesLoaded = false;
  boxes_[id] = std::move(moved);
}

void ImapStore::DeleteFolderTree(ObjId id, const StepFn& step) {
  ForgetStatesAhead();  // what this store writes moves states on
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
        if (b.selectable && !b.untouched) DeleteMessages(Messages(f, false));
        kept_[mailbox] = Kept{b.special, b.selectable, b.untouched};
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

std::vector<ObjId> ImapStore::SubtreeFolders(ObjId id) {
  std::vector<ObjId> out{id};
  for (size_t k = 0; k < out.size(); ++k)
    for (ObjId c : Subfolders(out[k])) out.push_back(c);
  return out;
}

bool ImapStore::CopyMessagesFrom(StoreProvider& src, std::span<const ObjId> ids, ObjId destFolder, const StepFn& step) {
  ForgetStatesAhead();  // what this store writes moves states on
  // Within one account, the server copies.
  if (&src != this || ids.empty() || destFolder == root_ || destFolder == top_) return false;
  RefuseVirtual(destFolder, "writes nothing into");
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

// Within one account the server copies: the copy engine makes the
// folders, and each one's messages go by UID COPY without crossing the
// connection.
class ImapStore::FolderCopy final : public StoreProvider::FolderCopier {
 public:
  explicit FolderCopy(ImapStore& self) : self_(self) {}
  bool CopyContents(ObjId srcFolder, ObjId destFolder, const StepFn& step) override {
    return self_.CopyFolderContents(srcFolder, destFolder, step);
  }

 private:
  ImapStore& self_;
};

std::unique_ptr<StoreProvider::FolderCopier> ImapStore::BeginFolderCopy(StoreProvider& src, ObjId srcFolder,
                                                                        ObjId destParent) {
  if (&src != this || destParent == root_ || srcFolder == root_ || srcFolder == top_) return nullptr;
  return std::make_unique<FolderCopy>(*this);
}

bool ImapStore::CopyFolderContents(ObjId from, ObjId to, const StepFn& step) {
  if (from == root_ || from == top_) return false;
  // Messages stored before (in other folders of this copy) go out first.
  Settle();
  if (!boxes_[from].selectable) return true;  // holds no messages
  Select(from);
  if (exists_ == 0) return true;
  const std::string dest = MailboxOf(to);
  c_.Run({Client::Text("UID COPY 1:* "), Client::Arg(dest)}, "copying messages to " + dest);
  Box& b = boxes_[to];
  b.listed = false;
  b.count = static_cast<std::int64_t>(exists_);
  b.createdHere = false;
  if (step && !step(exists_)) Fail(MAPI_E_USER_CANCEL, "cancelled");
  return true;
}

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
  std::vector<SettingInfo> Settings() const override {
    using T = SettingValue::Type;
    return {
        {"url", T::String, true, "imaps://mail.example.org", "imaps://HOST[:PORT], or imap://HOST[:PORT] with STARTTLS"},
        {"user", T::String, true, "me@example.org", "the account's login name"},
        {"state", T::String, true, "/home/me/.config/tesk/imap/state.sqlite",
         "the provider's state file (absolute): the store's identity and the numbers it gave"},
        {"password_file", T::String, false, "/home/me/.imap-password",
         "the password's file (its first line; only its owner may read it)"},
        {"oauth2_token_file", T::String, false, "/home/me/.imap-token", "an OAuth 2.0 bearer token's file, instead"},
        {"ca_file", T::String, false, "/etc/ssl/private-ca.pem", "certificates trusted beside the system's"},
        {"tls", T::String, false, "starttls", "\"none\" for a server on this machine without TLS"},
        {"compress", T::Boolean, false, "true", "COMPRESS=DEFLATE where offered (default: on, off on loopback)"},
        {"timeout", T::Integer, false, "120", "seconds without a byte from the server (1 to 3600)"},
        {"connections", T::Integer, false, "4",
         "connections a save reads over, 1 to 16 (default: 4, 1 to a server on this machine; never more than "
         "max_connections)"},
        {"retry_budget", T::Integer, false, "600",
         "seconds a run may wait for a busy server or a lost connection (0: none; default 600)"},
        {"skip_special_use", T::List, false, "\\All\n",
         "special-use mailboxes a save leaves out and a restore leaves alone (default: [\"\\\\All\"] on Gmail, else none)"},
        {"max_connections", T::Integer, false, "20",
         "connections the server allows at once (default: 20 on Microsoft 365, 15 on Gmail, else no limit)"},
        {"max_message_size", T::Integer, false, "36700160",
         "bytes of the largest message the server takes, 0 for no limit (default: its APPENDLIMIT, 35 MB on "
         "Microsoft 365)"},
        {"lookalike_names", T::Boolean, false, "true",
         "write the characters some servers refuse in folder names as look-alikes from the start (default: on for "
         "Microsoft 365)"},
    };
  }
  std::vector<std::string> Check(const StoreSettings& settings) const override {
    const ImapCheck c = CheckImapStore(settings);
    std::string caps;
    for (const auto& cap : c.capabilities) caps += (caps.empty() ? "" : " ") + cap;
    std::vector<std::string> lines{"logged in to " + Location(settings) + (c.secure ? " over TLS" : " without TLS") +
                                   (c.compressed ? ", compressed" : "")};
    lines.push_back("capabilities: " + caps);
    lines.push_back("namespace: \"" + c.prefix + "\", hierarchy separator \"" + c.delimiter + "\"");
    for (const auto& [use, mailbox] : c.specialUse) lines.push_back("special-use " + use + ": " + mailbox);
    lines.push_back(c.quirks);
    return lines;
  }
  // A login's failures say what the server or the settings said.
  std::string ErrorText(const std::exception& e, const std::string& storeName, const StoreSettings&) const override {
    return storeName + ": " + e.what();
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

}  // namespace tesk::mapi::imapstore

namespace tesk::mapi {

using namespace imapstore;

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
  const Quirks& q = store->ServerQuirks();
  std::string skip;
  for (const auto& use : q.skipSpecialUse) skip += std::string(skip.empty() ? "\"" : ", \"") + "\\" + use + "\"";
  auto limit = [](std::int64_t n) { return n > 0 ? std::to_string(n) : std::string("none"); };
  out.quirks = std::string("server: ") +
               (q.family == ServerFamily::Gmail ? "Gmail" : q.family == ServerFamily::Microsoft ? "Microsoft 365" : "other") +
               "; skip_special_use = [" + skip + "], max_connections = " + limit(q.maxConnections) +
               ", max_message_size = " + limit(q.maxMessageSize) + ", lookalike_names = " + (q.lookAlikeNames ? "true" : "false");
  return out;
}

}  // namespace tesk::mapi
