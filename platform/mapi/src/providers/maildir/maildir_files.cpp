// Message files: unique names, synced writes, and the info letters and
// Dovecot keywords that hold a message's flags.
#include "providers/maildir/maildir_store.h"

namespace tesk::mapi::maildirstore {

[[noreturn]] void FailErrno(const std::string& what) {
  const int e = errno;
  Fail(e == ENOSPC ? MAPI_E_NOT_ENOUGH_DISK : e == EACCES || e == EPERM || e == EROFS ? MAPI_E_NO_ACCESS
                                                                                        : MAPI_E_DISK_ERROR,
       what + ": " + std::strerror(e));
}

void SyncDir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool IsDir(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeMaildir(const std::string& dir, bool marker) {
  std::error_code ec;
  for (const char* sub : {"cur", "new", "tmp"}) {
    fs::create_directories(dir + "/" + sub, ec);
    if (ec) {
      errno = ec.value();
      FailErrno("cannot create " + dir + "/" + sub);
    }
  }
  if (marker) {
    const int fd = ::open((dir + "/maildirfolder").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) FailErrno("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string HostName() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::string h = host[0] ? host : "localhost";
  // Maildir file names cannot hold '/' or ':'.
  for (char& c : h)
    if (c == '/' || c == ':') c = '_';
  return h;
}

std::string MaildirStore::UniqueBase(size_t size) {
  using namespace std::chrono;
  const auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  static std::atomic<std::uint64_t> counter{0};
  static const std::string host = HostName();
  return std::to_string(now / 1000000) + ".M" + std::to_string(now % 1000000) + "P" + std::to_string(::getpid()) +
         "Q" + std::to_string(++counter) + "." + host + ",S=" + std::to_string(size);
}

void MaildirStore::WriteSynced(const std::string& path, const std::string& bytes, std::int64_t mtime) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) FailErrno("cannot write " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      ::unlink(path.c_str());
      FailErrno("cannot write " + path);
    }
    done += static_cast<size_t>(n);
  }
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ::futimens(fd, times);
  if (::fsync(fd) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    FailErrno("cannot write " + path);
  }
  ::close(fd);
}

std::map<int, std::string> MaildirStore::Keywords(const std::string& dir) {
  std::map<int, std::string> out;
  std::ifstream in(dir + "/dovecot-keywords");
  std::string line;
  while (std::getline(in, line)) {
    const auto blank = line.find(' ');
    if (blank == std::string::npos) continue;
    try {
      const int n = std::stoi(line.substr(0, blank));
      if (n >= 0 && n < 26) out[n] = line.substr(blank + 1);
    } catch (...) {
    }
  }
  return out;
}

inet::MailFlags MaildirStore::FlagsOfName(const std::string& dir, const std::string& file,
                                          std::optional<std::map<int, std::string>>* known) {
  inet::MailFlags f;
  const auto info = file.find(":2,");
  if (info == std::string::npos) return f;
  std::optional<std::map<int, std::string>> own;
  std::optional<std::map<int, std::string>>& keywords = known ? *known : own;
  for (char c : file.substr(info + 3)) {
    switch (c) {
      case 'S': f.seen = true; break;
      case 'R': f.answered = true; break;
      case 'F': f.flagged = true; break;
      case 'T': f.deleted = true; break;
      case 'D': f.draft = true; break;
      case 'P': f.forwarded = true; break;
      default:
        if (c >= 'a' && c <= 'z') {
          if (!keywords) keywords = Keywords(dir);
          if (auto it = keywords->find(c - 'a'); it != keywords->end()) {
            // Dovecot keeps $Forwarded as a keyword; Maildir's own letter is P.
            if (EqualsNoCase(it->second, kForwarded))
              f.forwarded = true;
            else
              f.keywords.push_back(it->second);
          }
        }
    }
  }
  return f;
}

std::string MaildirStore::InfoLetters(const std::string& dir, const inet::MailFlags& f) {
  std::string letters;
  if (f.draft) letters += 'D';
  if (f.flagged) letters += 'F';
  if (f.forwarded) letters += 'P';
  if (f.answered) letters += 'R';
  if (f.seen) letters += 'S';
  if (f.deleted) letters += 'T';
  std::vector<std::string> wanted = f.keywords;
  if (f.forwarded && std::none_of(wanted.begin(), wanted.end(), [](const auto& k) { return EqualsNoCase(k, kForwarded); }))
    wanted.push_back(kForwarded);
  if (wanted.empty()) return letters;
  auto keywords = Keywords(dir);
  bool changed = false;
  std::string extra;
  for (const auto& k : wanted) {
    if (k.empty() || k.find_first_of(" \r\n") != std::string::npos) continue;
    int n = -1;
    for (const auto& [num, name] : keywords)
      if (name == k) n = num;
    if (n < 0) {
      for (int c = 0; c < 26 && n < 0; ++c)
        if (!keywords.count(c)) n = c;
      if (n < 0) continue;  // 26 keywords is all a folder can name
      keywords[n] = k;
      changed = true;
    }
    extra += static_cast<char>('a' + n);
  }
  if (changed) {
    std::string text;
    for (const auto& [num, name] : keywords) text += std::to_string(num) + " " + name + "\n";
    const std::string tmp = dir + "/tmp/dovecot-keywords.tesk";
    WriteSynced(tmp, text, std::time(nullptr));
    if (::rename(tmp.c_str(), (dir + "/dovecot-keywords").c_str()) != 0) FailErrno("cannot write keywords");
  }
  std::sort(extra.begin(), extra.end());
  extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
  return letters + extra;
}

}  // namespace tesk::mapi::maildirstore
