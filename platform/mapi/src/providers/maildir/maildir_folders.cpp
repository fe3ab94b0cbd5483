// Folders as directories: their relative names, reading the Maildir's
// folders and messages into the index, and the standard folders.
#include "providers/maildir/maildir_store.h"

namespace tesk::mapi::maildirstore {

std::optional<ObjId> MaildirStore::FolderByRel(const std::string& rel) {
  auto q = ix_.Prepare("SELECT id FROM folder WHERE rel=?");
  q.Bind(1, rel);
  if (!q.Step()) return std::nullopt;
  return q.Int(0);
}

std::string MaildirStore::RelOf(ObjId id) {
  auto q = ix_.Prepare("SELECT rel FROM folder WHERE id=?");
  q.Bind(1, id);
  if (!q.Step()) Fail(MAPI_E_NOT_FOUND, "folder not found");
  return q.Text(0);
}

std::string MaildirStore::RelOfChild(ObjId parent, const std::string& component) {
  const std::string p = RelOf(parent);
  if (p == kTopRel) return Fs() ? component : "." + component;
  if (p == kInboxRel) return Fs() ? "INBOX/" + component : ".INBOX." + component;
  return Fs() ? p + "/" + component : p + "." + component;
}

std::string MaildirStore::DirOf(const std::string& rel) const {
  if (rel == kInboxRel || rel == kTopRel || rel == kRootRel) return top_;
  if (!staged_.empty()) {
    if (auto it = staged_.find(rel); it != staged_.end()) return it->second;
    for (size_t slash = rel.rfind('/'); Fs() && slash != std::string::npos && slash > 0;
         slash = rel.rfind('/', slash - 1))
      if (auto it = staged_.find(rel.substr(0, slash)); it != staged_.end()) return it->second + rel.substr(slash);
  }
  return top_ + "/" + rel;
}

ObjId MaildirStore::EnsureFolder(const std::string& rel, ObjId parent, const std::string& name) {
  if (auto id = FolderByRel(rel)) return *id;
  const auto now = NowFiletime();
  ix_.Prepare("INSERT INTO folder(parent_id, rel, name, folder_type, created, modified) VALUES(?,?,?,?,?,?)")
      .Bind(1, parent).Bind(2, rel).Bind(3, name).Bind(4, FOLDER_GENERIC).Bind(5, now).Bind(6, now).Run();
  return ix_.LastId();
}

void MaildirStore::Scan() {
  std::set<std::string> seen{kRootRel, kTopRel};
  std::vector<std::pair<std::string, ObjId>> folders;  // (rel, id)
  if (IsDir(top_ + "/cur") || IsDir(top_ + "/new")) {
    inbox_ = EnsureFolder(kInboxRel, top_id_, "Inbox");
    seen.insert(kInboxRel);
    folders.emplace_back(kInboxRel, inbox_);
  }
  std::vector<std::string> rels;
  if (Fs()) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(top_, ec); it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (!it->is_directory() || name == "cur" || name == "new" || name == "tmp" || name.empty() || name[0] == '.') {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      rels.push_back(fs::relative(it->path(), top_).string());
    }
  } else {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(top_, ec)) {
      const std::string name = e.path().filename().string();
      if (e.is_directory() && name.size() > 1 && name[0] == '.' && name != "..") rels.push_back(name);
    }
  }
  std::sort(rels.begin(), rels.end(), [&](const std::string& a, const std::string& b) {
    return Depth(a) != Depth(b) ? Depth(a) < Depth(b) : a < b;
  });
  for (const std::string& rel : rels) {
    const std::vector<std::string> parts = Split(rel);
    if (parts.empty()) continue;
    // The chain of parents, made where the Maildir has no directory for
    // one (a folder may exist only as a path to its children).
    ObjId parent = top_id_;
    std::string prefix;
    for (size_t k = 0; k < parts.size(); ++k) {
      if (k == 0 && EqualsNoCase(parts[0], "INBOX")) {
        if (!inbox_) {
          inbox_ = EnsureFolder(kInboxRel, top_id_, "Inbox");
          seen.insert(kInboxRel);
        }
        parent = inbox_;
        prefix = Fs() ? parts[0] : "." + parts[0];
        continue;
      }
      prefix = prefix.empty() ? (Fs() ? parts[k] : "." + parts[k]) : prefix + (Fs() ? "/" : ".") + parts[k];
      parent = EnsureFolder(prefix, parent, maildir::DisplayNameOf(parts[k]));
      seen.insert(prefix);
    }
    folders.emplace_back(rel, parent);
  }
  // Folders gone from the disk go from the index too.
  std::vector<ObjId> gone;
  {
    auto q = ix_.Prepare("SELECT id, rel FROM folder");
    while (q.Step())
      if (!seen.count(q.Text(1))) gone.push_back(q.Int(0));
  }
  for (ObjId id : gone) {
    ix_.Prepare("DELETE FROM message WHERE folder_id=?").Bind(1, id).Run();
    ix_.Prepare("DELETE FROM folder_prop WHERE folder_id=?").Bind(1, id).Run();
    ix_.Prepare("DELETE FROM folder WHERE id=?").Bind(1, id).Run();
  }
  for (const auto& [rel, id] : folders) ScanMessages(DirOf(rel), id);
}

std::vector<std::string> MaildirStore::Split(const std::string& rel) const {
  std::vector<std::string> parts;
  const char sep = Fs() ? '/' : '.';
  size_t start = Fs() ? 0 : 1;
  while (start <= rel.size()) {
    const size_t end = rel.find(sep, start);
    const std::string part = rel.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) parts.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

void MaildirStore::ScanMessages(const std::string& dir, ObjId folder) {
  std::map<std::string, std::pair<std::string, std::pair<std::int64_t, std::int64_t>>> files;  // base -> file, size, mtime
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir + "/" + sub, ec)) {
      if (!e.is_regular_file()) continue;
      const std::string name = e.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      const auto info = name.find(":2,");
      struct stat st {};
      if (::stat(e.path().c_str(), &st) != 0) continue;
      files[name.substr(0, info)] = {std::string(sub) + "/" + name, {st.st_size, st.st_mtime}};
    }
  }
  struct Known {
    ObjId id;
    std::string file;
    std::pair<std::int64_t, std::int64_t> sizeAndTime;
  };
  std::map<std::string, Known> known;  // base -> what the index says
  {
    auto q = ix_.Prepare("SELECT base, id, file, size, mtime FROM message WHERE folder_id=?");
    q.Bind(1, folder);
    while (q.Step()) known[q.Text(0)] = {q.Int(1), q.Text(2), {q.Int(3), q.Int(4)}};
  }
  for (const auto& [base, entry] : known)
    if (!files.count(base)) ix_.Prepare("DELETE FROM message WHERE id=?").Bind(1, entry.id).Run();
  for (const auto& [base, f] : files) {
    auto it = known.find(base);
    if (it == known.end()) {
      ix_.Prepare("INSERT INTO message(folder_id, base, file, size, mtime) VALUES(?,?,?,?,?)")
          .Bind(1, folder).Bind(2, base).Bind(3, f.first).Bind(4, f.second.first).Bind(5, f.second.second).Run();
    } else if (it->second.file != f.first || it->second.sizeAndTime != f.second) {
      // Renamed for its flags, or written anew in place: its delivery
      // time is the file's time as it is now.
      ix_.Prepare("UPDATE message SET file=?, size=?, mtime=? WHERE id=?")
          .Bind(1, f.first).Bind(2, f.second.first).Bind(3, f.second.second).Bind(4, it->second.id).Run();
    }
  }
}

void MaildirStore::FindStandardFolders() {
  if (!inbox_) inbox_ = FolderByRel(kInboxRel).value_or(0);
  roles_ = {};
  FindStandardFoldersByName(roles_, Subfolders(top_id_), [&](ObjId f) {
    auto info = GetFolder(f);
    return info ? info->name : std::string();
  });
  PublishStandardFolders();
}

void MaildirStore::PublishStandardFolders() { StandardFolderProps(guid_, top_id_, roles_, standardProps_, inboxProps_); }

}  // namespace tesk::mapi::maildirstore
