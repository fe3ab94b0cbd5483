// The server's mailboxes as folders: its namespaces, the LIST of an
// account, message counts and the standard folders.
#include "providers/imap/imap_store.h"
#include <mapi/warnings.h>

namespace tesk::mapi::imapstore {

void ImapStore::LearnNamespace() {
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

void ImapStore::Scan() {
  // By now the server has answered ID (a command after the login was).
  quirks_ = QuirksOf(a_, c_);
  if (quirks_.lookAlikeNames) mapAll_ = true;
  if (quirks_.maxConnections > 0) a_.connections = std::min(a_.connections, quirks_.maxConnections);
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
    // Special-use mailboxes the store leaves out (Gmail's All Mail) are not
    // folders; they stay as they are, also when the folders are cleared.
    if (auto skip = std::find_first_of(e.attrs.begin(), e.attrs.end(), quirks_.skipSpecialUse.begin(),
                                       quirks_.skipSpecialUse.end());
        skip != e.attrs.end() && !isInbox) {
      kept_[e.name] = Kept{*skip, std::find(e.attrs.begin(), e.attrs.end(), "\\noselect") == e.attrs.end(), true};
      // Said once a store: on Gmail, a message archived without a label is
      // in All Mail only, and a save leaves it out.
      if (leftOutTold_.insert(e.name).second)
        Warn("The mailbox " + e.name + " (" + SpecialUseName(*skip) + ") is left out (skip_special_use)" +
             (*skip == "\\all" ? "; messages archived without a label are only there: set skip_special_use = [] to keep them"
                                : ""));
      continue;
    }
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
            a == "\\flagged" || a == "\\important")
          b.special = a;
      b.untouched = IsVirtualSpecialUse(b.special);
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

size_t ImapStore::ParentCut(const std::string& mailbox) const {
  if (delim_.empty()) return std::string::npos;
  const size_t cut = mailbox.rfind(delim_);
  if (cut == std::string::npos || cut < prefix_.size() + 1) return std::string::npos;
  return cut;
}

ObjId ImapStore::InsertFolder(ObjId parent, const std::string& mailbox, const std::string& name) {
  const auto now = NowFiletime();
  ix_.Prepare("INSERT INTO folder(parent_id, mailbox, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
      .Bind(1, parent).Bind(2, mailbox).Bind(3, name).Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
  return ix_.LastId();
}

ObjId ImapStore::EnsureFolders(const std::string& mailbox, std::map<std::string, ObjId>& ensured, std::set<ObjId>& keep) {
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

void ImapStore::CountAll() {
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

void ImapStore::CheckUidValidity(ObjId folder, std::uint32_t validity) {
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

void ImapStore::FindStandardFolders() {
  StandardFolders roles{};
  for (const auto& [id, b] : boxes_) {
    if (b.special == "\\sent" && !roles[kSent]) roles[kSent] = id;
    if (b.special == "\\trash" && !roles[kTrash]) roles[kTrash] = id;
    if (b.special == "\\drafts" && !roles[kDrafts]) roles[kDrafts] = id;
    if (b.special == "\\junk" && !roles[kJunk]) roles[kJunk] = id;
  }
  // A server without SPECIAL-USE: the well-known names.
  FindStandardFoldersByName(roles, Subfolders(top_), [&](ObjId f) { return GetFolderName(f); });
  junk_ = roles[kJunk];
  StandardFolderProps(guid_, top_, roles, standardProps_, inboxProps_);
}

std::string ImapStore::GetFolderName(ObjId f) {
  auto q = ix_.Prepare("SELECT name FROM folder WHERE id=?");
  q.Bind(1, f);
  return q.Step() ? q.Text(0) : std::string();
}

std::int64_t ImapStore::Count(ObjId folder) {
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

}  // namespace tesk::mapi::imapstore
