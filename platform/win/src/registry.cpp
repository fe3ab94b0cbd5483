// The registry functions over one text file (see winreg.h for the format).
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

using tesk::win::AsciiLower;
using tesk::win::EqualNoCase;

struct HKEY__ {
  std::string path;  // "HKEY_CURRENT_USER\Software\..." as spelt in the file
  REGSAM access;
};

namespace {

// --- the content of the file ---------------------------------------------------

struct Value {
  std::string name;  // empty: the default value
  DWORD type;
  std::string data;  // REG_SZ without terminator, other types raw bytes
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

// Orders paths component by component without regard to ASCII case: a key
// comes right before its subkeys.
struct PathLess {
  bool operator()(const std::string& a, const std::string& b) const noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      const int ca = a[i] == '\\' ? -1 : static_cast<unsigned char>(AsciiLower(a[i]));
      const int cb = b[i] == '\\' ? -1 : static_cast<unsigned char>(AsciiLower(b[i]));
      if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
  }
};

using Keys = std::map<std::string, Key, PathLess>;

constexpr const char* kRoots[][2] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},   {"HKEY_CURRENT_USER", "HKCU"}, {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},           {"HKEY_CURRENT_CONFIG", "HKCC"},
};

const char* CanonicalRoot(std::string_view name) {
  for (const auto& root : kRoots) {
    if (EqualNoCase(name, root[0]) || EqualNoCase(name, root[1])) return root[0];
  }
  return nullptr;
}

bool IsRootPath(const std::string& path) { return path.find('\\') == std::string::npos; }

std::string ParentPath(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool ValidName(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// Appends the components of `sub` to `base`; empty components are skipped.
std::optional<std::string> JoinPath(const std::string& base, const char* sub) {
  std::string path = base;
  const std::string_view rest = sub ? sub : "";
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string_view::npos) end = rest.size();
    const std::string_view part = rest.substr(start, end - start);
    if (!part.empty()) {
      if (!ValidName(part)) return std::nullopt;
      path += '\\';
      path += part;
    }
    start = end + 1;
  }
  return path;
}

class Registry {
 public:
  bool Exists(const std::string& path) const { return IsRootPath(path) || keys_.count(path) != 0; }

  Key* Find(const std::string& path) {
    auto it = keys_.find(path);
    return it == keys_.end() ? nullptr : &it->second;
  }
  const Key* Find(const std::string& path) const {
    auto it = keys_.find(path);
    return it == keys_.end() ? nullptr : &it->second;
  }

  // The key with its missing parents; the spelling of existing keys stays.
  Key& Create(const std::string& path) {
    if (Key* key = Find(path)) return *key;
    std::string spelt;
    if (!IsRootPath(path)) {
      const std::string parent = ParentPath(path);
      spelt = IsRootPath(parent) ? parent : Create(parent).path;
      spelt += path.substr(parent.size());
    } else {
      spelt = path;
    }
    return keys_.emplace(path, Key{spelt, {}}).first->second;
  }

  // The spelling of an existing key's path (roots are canonical already).
  std::string Spelling(const std::string& path) const {
    const Key* key = Find(path);
    return key ? key->path : path;
  }

  std::vector<std::string> Children(const std::string& path) const {
    std::vector<std::string> names;
    for (auto it = keys_.upper_bound(path); it != keys_.end(); ++it) {
      if (!IsBelow(it->first, path)) break;
      const std::string_view rest = std::string_view(it->second.path).substr(path.size() + 1);
      if (rest.find('\\') == std::string_view::npos) names.emplace_back(rest);
    }
    return names;
  }

  bool HasChildren(const std::string& path) const {
    auto it = keys_.upper_bound(path);
    return it != keys_.end() && IsBelow(it->first, path);
  }

  // Removes the key (unless it is a root) and everything below it.
  void EraseTree(const std::string& path) {
    auto first = keys_.lower_bound(path);
    auto last = first;
    while (last != keys_.end() && (EqualNoCase(last->first, path) || IsBelow(last->first, path))) ++last;
    keys_.erase(first, last);
  }

  void Erase(const std::string& path) { keys_.erase(path); }

  const Keys& keys() const { return keys_; }

 private:
  static bool IsBelow(const std::string& candidate, const std::string& path) {
    return candidate.size() > path.size() && candidate[path.size()] == '\\' &&
           EqualNoCase(std::string_view(candidate).substr(0, path.size()), path);
  }

  Keys keys_;
};

Value* FindValue(Key& key, std::string_view name) {
  for (Value& v : key.values) {
    if (EqualNoCase(v.name, name)) return &v;
  }
  return nullptr;
}

// --- reading the file ----------------------------------------------------------

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A "quoted" string starting at s[pos]; pos ends after the closing quote.
bool ParseQuoted(std::string_view s, std::size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (std::size_t i = pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[++i];
    } else if (s[i] == '"') {
      pos = i + 1;
      return true;
    } else {
      out += s[i];
    }
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view s, std::string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    const int hi = HexDigit(s[i]);
    const int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size()) {
      if (s[i] != ',') return false;
      ++i;
    }
  }
  return true;
}

bool ParseUnsignedHex(std::string_view s, std::size_t maxDigits, DWORD& value) {
  if (s.empty() || s.size() > maxDigits) return false;
  value = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    value = value * 16 + static_cast<DWORD>(d);
  }
  return true;
}

// The data after '=' of a value line.
std::optional<Value> ParseData(std::string_view data) {
  Value v{{}, REG_SZ, {}};
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    if (!ParseQuoted(data, pos, v.data) || !TrimBlanks(data.substr(pos)).empty()) return std::nullopt;
    return v;
  }
  if (data.substr(0, 6) == "dword:") {
    DWORD n = 0;
    if (!ParseUnsignedHex(TrimBlanks(data.substr(6)), 8, n)) return std::nullopt;
    v.type = REG_DWORD;
    v.data.assign(reinterpret_cast<const char*>(&n), sizeof n);
    return v;
  }
  if (data.substr(0, 3) == "hex") {
    std::size_t colon = data.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view kind = data.substr(3, colon - 3);
    if (kind.empty()) {
      v.type = REG_BINARY;
    } else if (kind.size() >= 3 && kind.front() == '(' && kind.back() == ')') {
      if (!ParseUnsignedHex(kind.substr(1, kind.size() - 2), 8, v.type)) return std::nullopt;
    } else {
      return std::nullopt;
    }
    if (!ParseHexBytes(data.substr(colon + 1), v.data)) return std::nullopt;
    if (v.type == REG_SZ) v.data = std::string(v.data.c_str());  // up to the terminator
    return v;
  }
  return std::nullopt;
}

void Parse(std::string_view text, Registry& reg) {
  Key* current = nullptr;
  std::size_t pos = 0;
  auto nextLine = [&](std::string_view& line) {
    if (pos >= text.size()) return false;
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    line = TrimBlanks(text.substr(pos, end - pos));
    pos = end + 1;
    return true;
  };
  std::string_view line;
  while (nextLine(line)) {
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      current = nullptr;
      const std::size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      const std::string_view name = line.substr(1, close - 1);
      const std::size_t slash = name.find('\\');
      const char* root = CanonicalRoot(name.substr(0, slash));
      if (root == nullptr) continue;
      const std::string sub(slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1));
      if (auto path = JoinPath(root, sub.c_str())) current = &reg.Create(*path);
      continue;
    }
    if (current == nullptr) continue;
    std::string name;
    std::size_t at = 0;
    if (line.front() == '@') {
      at = 1;
    } else if (!ParseQuoted(line, at, name)) {
      continue;
    }
    std::string_view rest = TrimBlanks(line.substr(at));
    if (rest.empty() || rest.front() != '=') continue;
    std::string data(TrimBlanks(rest.substr(1)));
    // Hex data may go on over lines ending in a backslash.
    while (data.substr(0, 3) == "hex" && !data.empty() && data.back() == '\\') {
      data.pop_back();
      std::string_view more;
      if (!nextLine(more)) break;
      data += more;
    }
    std::optional<Value> value = ParseData(data);
    if (!value) continue;
    value->name = std::move(name);
    if (Value* existing = FindValue(*current, value->name)) {
      *existing = std::move(*value);
    } else {
      current->values.push_back(std::move(*value));
    }
  }
}

// --- writing the file ----------------------------------------------------------

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string HexBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ',';
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string DataText(const Value& v) {
  char buf[32];
  switch (v.type) {
    case REG_SZ:
      if (v.data.find_first_of(std::string_view("\r\n", 2)) == std::string::npos) return Quote(v.data);
      return "hex(1):" + HexBytes(std::string_view(v.data.c_str(), v.data.size() + 1));
    case REG_DWORD:
      if (v.data.size() == sizeof(DWORD)) {
        DWORD n = 0;
        std::memcpy(&n, v.data.data(), sizeof n);
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
        return buf;
      }
      break;
    case REG_BINARY:
      return "hex:" + HexBytes(v.data);
    default:
      break;
  }
  std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
  return buf + HexBytes(v.data);
}

std::string Serialize(const Registry& reg) {
  std::string out;
  for (const auto& [folded, key] : reg.keys()) {
    if (IsRootPath(key.path) && key.values.empty()) continue;
    if (!out.empty()) out += '\n';
    out += '[' + key.path + "]\n";
    for (const Value& v : key.values) {
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += '=';
      out += DataText(v);
      out += '\n';
    }
  }
  return out;
}

// --- the file --------------------------------------------------------------------

std::string FilePath() {
  if (const char* file = std::getenv("WINREG_FILE"); file && *file) return file;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeDir = home && *home ? home : "";
    if (homeDir.empty()) {
      struct passwd pw;
      struct passwd* found = nullptr;
      char buf[4096];
      if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found) homeDir = found->pw_dir;
    }
    config = homeDir + "/.config";
  }
  return config + "/winreg/registry.ini";
}

LSTATUS Load(const std::string& file, Registry& reg) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : ERROR_CANTREAD;
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return ERROR_CANTREAD;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  Parse(text, reg);
  return ERROR_SUCCESS;
}

LSTATUS Save(const std::string& file, const Registry& reg) {
  const std::string text = Serialize(reg);
  std::string tmp = file + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return ERROR_CANTWRITE;
  struct stat st;
  ::fchmod(fd, ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

// Serializes changes between processes: a lock file beside the registry.
class FileLock {
 public:
  explicit FileLock(const std::string& file) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// --- handles ---------------------------------------------------------------------

std::mutex g_mutex;  // guards the handles and orders the file accesses of this process

std::set<HKEY>& handles() {
  static std::set<HKEY> instance;
  return instance;
}

const char* PredefinedRoot(HKEY h) {
  switch (reinterpret_cast<ULONG_PTR>(h)) {
    case 0x80000000u:
      return "HKEY_CLASSES_ROOT";
    case 0x80000001u:
      return "HKEY_CURRENT_USER";
    case 0x80000002u:
      return "HKEY_LOCAL_MACHINE";
    case 0x80000003u:
      return "HKEY_USERS";
    case 0x80000005u:
      return "HKEY_CURRENT_CONFIG";
    default:
      return nullptr;
  }
}

struct Resolved {
  std::string path;
  REGSAM access = 0;
};

// The key behind a handle; call with g_mutex held.
LSTATUS Resolve(HKEY h, Resolved& out) {
  if (const char* root = PredefinedRoot(h)) {
    out.path = root;
    out.access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (h == nullptr || handles().count(h) == 0) return ERROR_INVALID_HANDLE;
  out.path = h->path;
  out.access = h->access;
  return ERROR_SUCCESS;
}

HKEY NewHandle(std::string path, REGSAM access) {
  HKEY h = new HKEY__{std::move(path), access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY)};
  handles().insert(h);
  return h;
}

// Runs `op` on the current content; `op` returns an LSTATUS and sets
// `changed` when the content must be written back.
template <class Op>
LSTATUS Modify(Op op) {
  const std::string file = FilePath();
  FileLock lock(file);
  if (!lock.Locked()) return ERROR_CANTWRITE;
  Registry reg;
  if (LSTATUS rc = Load(file, reg); rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  LSTATUS rc = op(reg, changed);
  if (rc == ERROR_SUCCESS && changed) rc = Save(file, reg);
  return rc;
}

template <class Op>
LSTATUS Read(Op op) {
  Registry reg;
  if (LSTATUS rc = Load(FilePath(), reg); rc != ERROR_SUCCESS) return rc;
  return op(static_cast<const Registry&>(reg));
}

std::string StoredBytes(const Value& v) {
  return v.type == REG_SZ ? std::string(v.data.c_str(), v.data.size() + 1) : v.data;
}

// Copies a value's bytes with the size rules of RegQueryValueEx.
LSTATUS CopyData(const Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const std::string bytes = StoredBytes(v);
  if (lpType) *lpType = v.type;
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
  }
  if (lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  if (*lpcbData < bytes.size()) {
    *lpcbData = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  if (!bytes.empty()) std::memcpy(lpData, bytes.data(), bytes.size());
  *lpcbData = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

// Copies a name with the rules of the enumeration functions.
LSTATUS CopyName(const std::string& name, LPSTR buf, LPDWORD cch) {
  if (buf == nullptr || cch == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  std::memcpy(buf, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

const char* RegistryFilePath() {
  thread_local std::string path;
  path = FilePath();
  return path.c_str();
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::lock_guard lock(g_mutex);
  Resolved base;
  if (LSTATUS rc = Resolve(hKey, base); rc != ERROR_SUCCESS) return rc;
  const std::optional<std::string> path = JoinPath(base.path, lpSubKey);
  if (!path) return ERROR_INVALID_PARAMETER;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  std::string spelt;
  const LSTATUS rc = Modify([&](Registry& reg, bool& changed) -> LSTATUS {
    if (!reg.Exists(base.path)) return ERROR_KEY_DELETED;
    if (!reg.Exists(*path)) {
      if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
      reg.Create(*path);
      disposition = REG_CREATED_NEW_KEY;
      changed = true;
    }
    spelt = reg.Spelling(*path);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = NewHandle(spelt, samDesired);
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, phkResult,
                         nullptr);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  std::lock_guard lock(g_mutex);
  Resolved base;
  if (LSTATUS rc = Resolve(hKey, base); rc != ERROR_SUCCESS) return rc;
  const std::optional<std::string> path = JoinPath(base.path, lpSubKey);
  if (!path) return ERROR_FILE_NOT_FOUND;
  std::string spelt;
  const LSTATUS rc = Read([&](const Registry& reg) -> LSTATUS {
    if (!reg.Exists(base.path)) return ERROR_KEY_DELETED;
    if (!reg.Exists(*path)) return ERROR_FILE_NOT_FOUND;
    spelt = reg.Spelling(*path);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = NewHandle(spelt, samDesired);
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (PredefinedRoot(hKey)) return ERROR_SUCCESS;
  std::lock_guard lock(g_mutex);
  if (hKey == nullptr || handles().erase(hKey) == 0) return ERROR_INVALID_HANDLE;
  delete hKey;
  return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
  std::lock_guard lock(g_mutex);
  Resolved key;
  return Resolve(hKey, key);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData > 0) return ERROR_INVALID_PARAMETER;
  const std::string_view name = lpValueName ? lpValueName : "";
  if (!ValidName(name)) return ERROR_INVALID_PARAMETER;
  Value value{std::string(name), dwType, std::string(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0)};
  if (dwType == REG_SZ) value.data = std::string(value.data.c_str(), ::strnlen(value.data.c_str(), value.data.size()));
  std::lock_guard lock(g_mutex);
  Resolved key;
  if (LSTATUS rc = Resolve(hKey, key); rc != ERROR_SUCCESS) return rc;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return Modify([&](Registry& reg, bool& changed) -> LSTATUS {
    if (!reg.Exists(key.path)) return ERROR_KEY_DELETED;
    Key& k = reg.Create(key.path);
    if (Value* existing = FindValue(k, name)) {
      if (existing->type == value.type && existing->data == value.data) return ERROR_SUCCESS;
      existing->type = value.type;
      existing->data = std::move(value.data);
    } else {
      k.values.push_back(std::move(value));
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const std::string_view name = lpValueName ? lpValueName : "";
  std::lock_guard lock(g_mutex);
  Resolved key;
  if (LSTATUS rc = Resolve(hKey, key); rc != ERROR_SUCCESS) return rc;
  if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return Read([&](const Registry& reg) -> LSTATUS {
    if (!reg.Exists(key.path)) return ERROR_KEY_DELETED;
    const Key* k = reg.Find(key.path);
    if (k == nullptr) return ERROR_FILE_NOT_FOUND;
    for (const Value& v : k->values) {
      if (EqualNoCase(v.name, name)) return CopyData(v, lpType, lpData, lpcbData);
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  const std::string_view name = lpValueName ? lpValueName : "";
  std::lock_guard lock(g_mutex);
  Resolved key;
  if (LSTATUS rc = Resolve(hKey, key); rc != ERROR_SUCCESS) return rc;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return Modify([&](Registry& reg, bool& changed) -> LSTATUS {
    if (!reg.Exists(key.path)) return ERROR_KEY_DELETED;
    Key* k = reg.Find(key.path);
    if (k == nullptr) return ERROR_FILE_NOT_FOUND;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (EqualNoCase(it->name, name)) {
        k->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(g_mutex);
  Resolved base;
  if (LSTATUS rc = Resolve(hKey, base); rc != ERROR_SUCCESS) return rc;
  const std::optional<std::string> path = JoinPath(base.path, lpSubKey);
  if (!path) return ERROR_FILE_NOT_FOUND;
  if (IsRootPath(*path)) return ERROR_ACCESS_DENIED;
  return Modify([&](Registry& reg, bool& changed) -> LSTATUS {
    if (!reg.Exists(base.path)) return ERROR_KEY_DELETED;
    if (!reg.Exists(*path)) return ERROR_FILE_NOT_FOUND;
    if (reg.HasChildren(*path)) return ERROR_ACCESS_DENIED;
    reg.Erase(*path);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  std::lock_guard lock(g_mutex);
  Resolved base;
  if (LSTATUS rc = Resolve(hKey, base); rc != ERROR_SUCCESS) return rc;
  constexpr REGSAM kNeeded = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
  if ((base.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
  const bool wholeKey = lpSubKey != nullptr && *lpSubKey != '\0';
  const std::optional<std::string> path = JoinPath(base.path, lpSubKey);
  if (!path) return ERROR_FILE_NOT_FOUND;
  return Modify([&](Registry& reg, bool& changed) -> LSTATUS {
    if (!reg.Exists(base.path)) return ERROR_KEY_DELETED;
    if (!reg.Exists(*path)) return ERROR_FILE_NOT_FOUND;
    if (wholeKey && !IsRootPath(*path)) {
      reg.EraseTree(*path);
      changed = true;
      return ERROR_SUCCESS;
    }
    // Empty the key and keep it.
    for (const std::string& child : reg.Children(*path)) {
      reg.EraseTree(*path + '\\' + child);
      changed = true;
    }
    if (Key* k = reg.Find(*path); k && !k->values.empty()) {
      k->values.clear();
      changed = true;
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime) {
  std::lock_guard lock(g_mutex);
  Resolved key;
  if (LSTATUS rc = Resolve(hKey, key); rc != ERROR_SUCCESS) return rc;
  if (!(key.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  return Read([&](const Registry& reg) -> LSTATUS {
    if (!reg.Exists(key.path)) return ERROR_KEY_DELETED;
    const std::vector<std::string> children = reg.Children(key.path);
    if (dwIndex >= children.size()) return ERROR_NO_MORE_ITEMS;
    if (LSTATUS rc = CopyName(children[dwIndex], lpName, lpcchName); rc != ERROR_SUCCESS) return rc;
    if (lpClass && lpcchClass && *lpcchClass > 0) {
      *lpClass = '\0';
      *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  return RegEnumKeyExA(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  std::lock_guard lock(g_mutex);
  Resolved key;
  if (LSTATUS rc = Resolve(hKey, key); rc != ERROR_SUCCESS) return rc;
  if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return Read([&](const Registry& reg) -> LSTATUS {
    if (!reg.Exists(key.path)) return ERROR_KEY_DELETED;
    const Key* k = reg.Find(key.path);
    if (k == nullptr || dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = k->values[dwIndex];
    if (LSTATUS rc = CopyName(v.name, lpValueName, lpcchValueName); rc != ERROR_SUCCESS) return rc;
    return CopyData(v, lpType, lpData, lpcbData);
  });
}
