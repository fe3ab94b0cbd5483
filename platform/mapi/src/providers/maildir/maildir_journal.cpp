// The Maildir provider's write transactions: the store's lock, the journal
// of what an open write transaction made, moved aside or renamed, and how a
// transaction that did not commit (or a killed process) is undone.
#include "providers/maildir/maildir_store.h"

namespace tesk::mapi::maildirstore {

int MaildirStore::EnterTx(bool write) {
  const int level = depth_++;
  if (level == 0 && write) {
    Lock();
    try {
      ix_.Exec("BEGIN IMMEDIATE");
    } catch (...) {
      --depth_;
      Unlock();
      throw;
    }
    writing_ = true;
    keptAtBegin_ = kept_;
    rolesAtBegin_ = roles_;
  } else if (write && writing_) {
    ix_.Exec("SAVEPOINT sp" + std::to_string(level));
    marks_[level] = changes_;
  }
  return level;
}

void MaildirStore::CommitTx(int level, bool write) {
  if (!write || !writing_) return;
  if (level > 0) {
    ix_.Exec("RELEASE sp" + std::to_string(level));
    return;
  }
  if (doomed_) Fail(MAPI_E_CALL_FAILED, "a part of the transaction failed; nothing of it is kept");
  for (const auto& d : dirtyDirs_) SyncDir(d);
  dirtyDirs_.clear();
  PublishStaged();
  if (journalFd_ >= 0)
    ix_.Prepare("INSERT OR REPLACE INTO info(key, value) VALUES('journal', ?)").Bind(1, journalToken_).Run();
  ix_.Exec("COMMIT");
  FinishJournal(top_ + "/" + kJournalName);
  ClearJournal();
}

void MaildirStore::LeaveTx(int level, bool write, bool committed) {
  --depth_;
  if (!write || !writing_) return;
  if (level > 0) {
    const auto mark = marks_.find(level);
    const bool changedFiles = mark != marks_.end() && changes_ > mark->second;
    if (mark != marks_.end()) marks_.erase(mark);
    if (!committed) {
      // An inner transaction that failed: its rows go back to the
      // savepoint; files it changed cannot go back alone, so then the
      // outer transaction cannot commit and undoes everything.
      if (changedFiles) doomed_ = true;
      try {
        ix_.Exec("ROLLBACK TO sp" + std::to_string(level) + "; RELEASE sp" + std::to_string(level));
      } catch (...) {
      }
    }
    return;
  }
  if (!committed) {
    try {
      ix_.Exec("ROLLBACK");
    } catch (...) {
    }
    RollBackJournal();
    dirtyDirs_.clear();
    kept_ = keptAtBegin_;
    roles_ = rolesAtBegin_;
    PublishStandardFolders();
  }
  staged_.clear();
  writing_ = false;
  doomed_ = false;
  marks_.clear();
  Unlock();
}

void MaildirStore::Lock() {
  if (lockFd_ < 0 || locked_ > 0) {
    ++locked_;
    return;
  }
  // Another process's write transaction (a long copy) ends within ten
  // minutes, like the SQLite store's busy wait.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) FailErrno("cannot lock " + top_);
    if (std::chrono::steady_clock::now() > deadline) Fail(MAPI_E_BUSY, top_ + " is busy in another process");
    ::usleep(20000);
  }
  ++locked_;
}

void MaildirStore::OpenJournal() {
  if (journalFd_ >= 0) return;
  journalFd_ = ::open((top_ + "/" + kJournalName).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (journalFd_ < 0) FailErrno("cannot write the journal of " + top_);
  static std::atomic<unsigned> serial{0};
  journalToken_ = std::to_string(::getpid()) + "." +
                  std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) + "." +
                  std::to_string(++serial);
  asides_ = 0;
  const std::string head = "T " + journalToken_ + "\n";
  if (::write(journalFd_, head.data(), head.size()) != static_cast<ssize_t>(head.size()))
    FailErrno("cannot write the journal of " + top_);
}

void MaildirStore::Journal(char kind, const std::string& path, const std::string& second) {
  OpenJournal();
  std::string line = std::string(1, kind) + " " + path;
  if (!second.empty()) line += "\t" + second;
  line += "\n";
  if (::write(journalFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fdatasync(journalFd_) != 0)
    FailErrno("cannot write the journal of " + top_);
  ++changes_;
}

void MaildirStore::PutAside(const std::string& path) {
  const bool dir = IsDir(path);
  const std::string parent = TmpOf(dir ? top_ : fs::path(path).parent_path().parent_path().string());
  OpenJournal();
  const std::string aside = parent + "/tesk-del." + journalToken_ + "." + std::to_string(++asides_);
  Journal('X', path, aside);
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    if (errno == ENOENT) return;
    FailErrno("cannot delete " + path);
  }
  dirtyDirs_.insert(fs::path(path).parent_path().string());
}

std::string MaildirStore::TmpOf(const std::string& maildir) {
  const std::string tmp = maildir + "/tmp";
  if (!IsDir(tmp)) {
    Journal('D', tmp);
    std::error_code ec;
    fs::create_directories(tmp, ec);
  }
  return tmp;
}

void MaildirStore::Restage(const std::string& oldRel, const std::string& newRel) {
  const char sep = Fs() ? '/' : '.';
  std::vector<std::pair<std::string, std::string>> moved;
  for (auto it = staged_.lower_bound(oldRel); it != staged_.end() && it->first.starts_with(oldRel);) {
    if (it->first.size() == oldRel.size() || it->first[oldRel.size()] == sep) {
      moved.emplace_back(newRel + it->first.substr(oldRel.size()), it->second);
      it = staged_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& m : moved) staged_.insert(std::move(m));
  if (!moved.empty()) ++changes_;
}

void MaildirStore::PublishStaged() {
  std::vector<std::pair<std::string, std::string>> order(staged_.begin(), staged_.end());  // parents first
  if (!Fs()) std::reverse(order.begin(), order.end());
  std::set<std::string> parents;
  for (const auto& [rel, staging] : order) {
    const std::string final = top_ + "/" + rel;
    Journal('R', staging, final);
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST || errno == ENOTEMPTY) Fail(MAPI_E_COLLISION, final + " was made by another program meanwhile");
      FailErrno("cannot rename " + staging + " to " + final);
    }
    parents.insert(fs::path(final).parent_path().string());
  }
  for (const auto& p : parents) SyncDir(p);
}

void MaildirStore::RemoveStrayStaging() {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(top_ + "/tmp", ec))
    if (e.path().filename().string().starts_with("tesk-new.")) fs::remove_all(e.path(), ec);
}

std::vector<MaildirStore::JournalLine> MaildirStore::ReadJournal(const std::string& path, std::string* token) {
  std::vector<JournalLine> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 3 || line[1] != ' ') continue;
    if (line[0] == 'T') {
      *token = line.substr(2);
      continue;
    }
    JournalLine j{line[0], line.substr(2), {}};
    if (auto tab = j.a.find('\t'); tab != std::string::npos) {
      j.b = j.a.substr(tab + 1);
      j.a.resize(tab);
    }
    // Only paths inside this Maildir.
    auto inside = [&](const std::string& p) {
      return p.empty() || (p.rfind(top_ + "/", 0) == 0 && p.find("/../") == std::string::npos);
    };
    if (inside(j.a) && inside(j.b)) out.push_back(std::move(j));
  }
  return out;
}

void MaildirStore::FinishJournal(const std::string& path) {
  std::string token;
  std::error_code ec;
  const auto lines = ReadJournal(path, &token);
  for (size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].kind != 'X' || lines[k].b.empty()) continue;
    std::string aside = lines[k].b;
    for (size_t r = k + 1; r < lines.size(); ++r)
      if (lines[r].kind == 'R' && aside.starts_with(lines[r].a + "/"))
        aside = lines[r].b + aside.substr(lines[r].a.size());
    fs::remove_all(aside, ec);
  }
}

void MaildirStore::ClearJournal() {
  if (journalFd_ >= 0) {
    ::close(journalFd_);
    journalFd_ = -1;
  }
  ::unlink((top_ + "/" + kJournalName).c_str());
}

void MaildirStore::RollBackJournal() {
  const std::string path = top_ + "/" + kJournalName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  std::string token;
  const auto lines = ReadJournal(path, &token);
  std::string committed;
  {
    auto q = ix_.Prepare("SELECT value FROM info WHERE key='journal'");
    if (q.Step()) committed = q.Text(0);
  }
  if (!token.empty() && token == committed) {
    // The transaction committed; only its removals were left to do.
    FinishJournal(path);
  } else {
    // Undone last change first, so every path is where the line saw it.
    std::error_code ec;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      switch (it->kind) {
        case 'F': ::unlink(it->a.c_str()); break;
        case 'D': fs::remove_all(it->a, ec); break;
        case 'X':
          if (!it->b.empty() && fs::exists(it->b)) ::rename(it->b.c_str(), it->a.c_str());
          break;
        case 'R':
          if (IsDir(it->b) && !fs::exists(it->a)) ::rename(it->b.c_str(), it->a.c_str());
          break;
        default: break;
      }
    }
  }
  if (journalFd_ >= 0) {
    ::close(journalFd_);
    journalFd_ = -1;
  }
  ::unlink(path.c_str());
  SyncDir(top_);
}

}  // namespace tesk::mapi::maildirstore
