// The IMAP provider's state file: the numbers it gives mailboxes and
// messages, transactions over it, and how folder names become mailbox
// names (look-alike characters for those a server cannot hold).
#include "providers/imap/imap_store.h"

namespace tesk::mapi::imapstore {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

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

void ImapStore::Leave(bool write, bool committed) {
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

std::optional<ObjId> ImapStore::FolderOf(const std::string& mailbox) {
  auto q = ix_.Prepare("SELECT id FROM folder WHERE mailbox=?");
  q.Bind(1, mailbox);
  if (!q.Step()) return std::nullopt;
  return q.Int(0);
}

std::string ImapStore::MailboxOf(ObjId id) {
  auto q = ix_.Prepare("SELECT mailbox FROM folder WHERE id=?");
  q.Bind(1, id);
  if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "folder not found");
  return q.Text(0);
}

std::optional<std::pair<ObjId, std::optional<std::uint32_t>>> ImapStore::RowOf(ObjId id) {
  auto q = ix_.Prepare("SELECT folder_id, uid FROM message WHERE id=?");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  std::optional<std::uint32_t> uid;
  if (!q.IsNull(1)) uid = static_cast<std::uint32_t>(q.Int(1));
  return std::make_pair(q.Int(0), uid);
}

std::string ImapStore::MapName(const std::string& name, bool all) const {
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool separator = delim_.size() == 1 && ch == delim_[0];
    out += separator || (all && Risky(c)) ? LookAlike(c) : std::string(1, ch);
  }
  return out;
}

std::string ImapStore::UnmapName(std::string name) const {
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

std::string ImapStore::ChildMailbox(ObjId parent, const std::string& name, bool all) {
  auto enc = maildir::EncodeMutf7(MapName(name, all));
  if (!enc || enc->empty()) Fail(MAPI_E_INVALID_PARAMETER, "the server cannot hold the folder name \"" + name + "\"");
  if (parent == top_) {
    if (EqualsNoCase(*enc, "INBOX")) Fail(MAPI_E_COLLISION, "a folder named " + name + " exists");
    return prefix_ + *enc;
  }
  if (delim_.empty()) Fail(MAPI_E_NO_SUPPORT, "the server keeps no folders within folders");
  return MailboxOf(parent) + delim_ + *enc;
}

std::string ImapStore::NameMailbox(ObjId parent, const std::string& name,
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

void ImapStore::Forget(ObjId f) {
  Transact([&] {
    ix_.Prepare("DELETE FROM message WHERE folder_id=?").Bind(1, f).Run();
    ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, f).Run();
    ix_.Prepare("DELETE FROM receive_folder WHERE folder_id=?").Bind(1, f).Run();
    ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, f).Run();
  });
  boxes_.erase(f);
}

}  // namespace tesk::mapi::imapstore
