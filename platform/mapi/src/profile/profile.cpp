#include "profile/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mapix.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/entryid.h"
#include "provider.h"
#include "transport/oauth2.h"

namespace tesk::mapi {

namespace fs = std::filesystem;

std::string ProfileDirectory() {
  if (const char* dir = std::getenv("MAPI_CONFIG_DIR"); dir && *dir) return dir;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.config";
  else
    base = ".config";
  return base + "/mapi";
}

bool ValidProfileName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.size() > 200) return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

std::string ProfileStore::Location() const {
  const ProviderFactory* factory = FindProvider(provider);
  return factory ? factory->Location(settings) : std::string();
}

std::string ProfilePath(const std::string& name) { return ProfileDirectory() + "/" + name + ".toml"; }

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(ProfileDirectory(), ec)) {
    if (e.path().extension() == ".toml" && e.is_regular_file()) names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// What a TOML value is, for a message about a key of the wrong type.
std::string TypeWord(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "true or false";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time: return "a date or time";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "empty";
  }
}

std::string Ordinal(size_t n) {
  const size_t tens = n % 100;
  const char* suffix = tens >= 11 && tens <= 13 ? "th" : n % 10 == 1 ? "st" : n % 10 == 2 ? "nd" : n % 10 == 3 ? "rd" : "th";
  return std::to_string(n) + suffix;
}

// Reads the keys of one profile file. Every refusal names the file, the
// line, the entry ("store \"Mail\"", "[transport]") and the key at fault.
class ProfileReader {
 public:
  explicit ProfileReader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void Fail(const toml::node* at, const std::string& entry, const std::string& what) const {
    std::string text = "profile " + path_;
    if (at && at->source().begin.line) text += ", line " + std::to_string(at->source().begin.line);
    text += ": ";
    if (!entry.empty()) text += entry + ": ";
    throw std::runtime_error(text + what);
  }

  // A key that must be a string; nullopt when it is absent.
  std::optional<std::string> String(const toml::table& t, const char* key, const std::string& entry) const {
    const toml::node* node = t.get(key);
    if (!node) return std::nullopt;
    if (auto v = node->value_exact<std::string>()) return *v;
    Fail(node, entry, std::string("the key \"") + key + "\" must be a string (it is " + TypeWord(*node) + ")");
  }
  // A key that must be true or false; nullopt when it is absent.
  std::optional<bool> Bool(const toml::table& t, const char* key, const std::string& entry) const {
    const toml::node* node = t.get(key);
    if (!node) return std::nullopt;
    if (auto v = node->value_exact<bool>()) return *v;
    Fail(node, entry, std::string("the key \"") + key + "\" must be true or false (it is " + TypeWord(*node) + ")");
  }

 private:
  std::string path_;
};

toml::table ParseProfileFile(const std::string& path) {
  try {
    return toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << "profile " << path;
    if (e.source().begin.line) msg << ", line " << e.source().begin.line;
    msg << ": not a valid TOML file: " << e.description();
    throw std::runtime_error(msg.str());
  }
}

constexpr char kGuidExample[] = "{D331DA56-D726-48B7-82F5-AA654D84A30D}";

}  // namespace

std::optional<Profile> LoadProfile(const std::string& name) {
  if (!ValidProfileName(name)) return std::nullopt;
  const std::string path = ProfilePath(name);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  const toml::table t = ParseProfileFile(path);
  const ProfileReader read(path);
  Profile p;
  p.name = name;
  p.isDefault = read.Bool(t, "default", "").value_or(false);
  if (const toml::node* oauthNode = t.get("oauth2")) {
    const toml::table* all = oauthNode->as_table();
    if (!all) read.Fail(oauthNode, "", "\"oauth2\" must hold [oauth2.NAME] tables (it is " + TypeWord(*oauthNode) + ")");
    for (const auto& [nameKey, node] : *all) {
      const std::string entry = "[oauth2." + std::string(nameKey.str()) + "]";
      const toml::table* a = node.as_table();
      if (!a) read.Fail(&node, "", entry + " must be a table (it is " + TypeWord(node) + ")");
      std::map<std::string, std::string> keys;
      for (const auto& [key, value] : *a) {
        if (auto text = value.value_exact<std::string>())
          keys[std::string(key.str())] = *text;
        else if (auto n = value.value_exact<std::int64_t>())
          keys[std::string(key.str())] = std::to_string(*n);
        else
          read.Fail(&value, entry, "the key \"" + std::string(key.str()) + "\" must be a string (it is " + TypeWord(value) + ")");
      }
      try {
        oauth2::FromKeys(std::string(nameKey.str()), keys);
      } catch (const std::invalid_argument& e) {
        read.Fail(a, "", e.what());
      }
      p.oauth2[std::string(nameKey.str())] = std::move(keys);
    }
  }
  if (const toml::node* storesNode = t.get("store")) {
    const toml::array* stores = storesNode->as_array();
    if (!stores)
      read.Fail(storesNode, "", "\"store\" must be a list of [[store]] tables (it is " + TypeWord(*storesNode) + ")");
    size_t number = 0;
    for (const toml::node& node : *stores) {
      ++number;
      const toml::table* s = node.as_table();
      if (!s) read.Fail(&node, "", "the " + Ordinal(number) + " store is not a [[store]] table");
      // The entry as messages name it: by its name where it has one.
      std::string entry = "the " + Ordinal(number) + " [[store]]";
      if (auto n = s->get("name"); n && n->is_string()) entry = "store \"" + *n->value_exact<std::string>() + "\"";
      ProfileStore ps;
      ps.name = read.String(*s, "name", entry).value_or(std::string());
      ps.kind = read.String(*s, "kind", entry).value_or(std::string("mailbox"));
      if (ps.kind != "mailbox" && ps.kind != "archive" && ps.kind != "public")
        read.Fail(s->get("kind"), entry, "the key \"kind\" must be \"mailbox\", \"archive\" or \"public\" (it is \"" +
                                             ps.kind + "\")");
      ps.isDefault = read.Bool(*s, "default", entry).value_or(false);
      ps.provider = read.String(*s, "provider", entry).value_or(std::string("sqlite"));
      const std::optional<std::string> guidText = read.String(*s, "guid", entry);
      if (!guidText)
        read.Fail(s, entry, std::string("the key \"guid\" is missing (the store's identity, such as \"") + kGuidExample +
                                "\"; mapiadmin store add writes it)");
      auto guid = GuidFromString(*guidText);
      if (!guid)
        read.Fail(s->get("guid"), entry, "the key \"guid\" is no identity: \"" + *guidText + "\" (one is written as \"" +
                                             kGuidExample + "\")");
      ps.guid = *guid;
      for (const auto& [key, value] : *s) {
        const std::string k(key.str());
        if (k == "name" || k == "kind" || k == "default" || k == "provider" || k == "guid") continue;
        SettingValue v;
        if (auto text = value.value_exact<std::string>()) {
          v = {SettingValue::Type::String, *text};
        } else if (auto b = value.value_exact<bool>()) {
          v = {SettingValue::Type::Boolean, *b ? "true" : "false"};
        } else if (auto n = value.value_exact<std::int64_t>()) {
          v = {SettingValue::Type::Integer, std::to_string(*n)};
        } else if (const toml::array* list = value.as_array()) {
          v = {SettingValue::Type::List, ""};
          for (const toml::node& item : *list) {
            auto line = item.value_exact<std::string>();
            if (!line || line->find('\n') != std::string::npos)
              read.Fail(&item, entry, "the key \"" + k + "\" must be a list of strings, each a line of text");
            v.text += *line + "\n";
          }
        } else {
          read.Fail(&value, entry, "the key \"" + k + "\" must be a string, an integer, true or false or a list of strings (it is " +
                                       TypeWord(value) + ")");
        }
        ps.settings[k] = std::move(v);
      }
      if (const auto named = SettingString(ps.settings, "oauth2")) {
        const auto a = p.oauth2.find(*named);
        if (a == p.oauth2.end())
          read.Fail(s->get("oauth2"), entry, "the key \"oauth2\" names \"" + *named + "\", but the profile has no [oauth2." +
                                                 *named + "] table (mapiadmin oauth2 add writes one)");
        for (const auto& [k, v] : a->second) ps.settings["oauth2." + k] = {SettingValue::Type::String, v};
      }
      const ProviderFactory* factory = FindProvider(ps.provider);
      if (!factory) {
        std::string known;
        for (const ProviderFactory* f : Providers()) known += (known.empty() ? "" : ", ") + f->Name();
        read.Fail(s->get("provider"), entry, "the key \"provider\" names an unknown provider \"" + ps.provider +
                                                 "\" (known: " + known + ")");
      }
      try {
        factory->Validate(ps.settings);
      } catch (const std::runtime_error& e) {
        read.Fail(s, entry, e.what());
      }
      p.stores.push_back(std::move(ps));
    }
  }
  if (const toml::node* transportNode = t.get("transport")) {
    const toml::table* tr = transportNode->as_table();
    if (!tr) read.Fail(transportNode, "", "\"transport\" must be a [transport] table (it is " + TypeWord(*transportNode) + ")");
    const std::string entry = "[transport]";
    ProfileTransport pt;
    pt.smtp = read.String(*tr, "smtp", entry).value_or(std::string());
    pt.from = read.String(*tr, "from", entry).value_or(std::string());
    pt.user = read.String(*tr, "user", entry).value_or(std::string());
    pt.passwordFile = read.String(*tr, "password_file", entry).value_or(std::string());
    pt.startTls = read.Bool(*tr, "starttls", entry).value_or(false);
    if (pt.smtp.empty()) read.Fail(tr, entry, "the key \"smtp\" is missing (smtp://host:port or smtps://host:port)");
    if (pt.from.empty()) read.Fail(tr, entry, "the key \"from\" is missing (the sender's address)");
    p.transport = pt;
  }
  return p;
}

void SaveProfile(const Profile& profile) {
  const std::string dir = ProfileDirectory();
  std::error_code ec;
  fs::create_directories(dir, ec);
  ::chmod(dir.c_str(), 0700);
  toml::table t;
  t.insert("default", profile.isDefault);
  toml::array stores;
  for (const auto& s : profile.stores) {
    toml::table st;
    st.insert("name", s.name);
    if (s.provider != "sqlite") st.insert("provider", s.provider);
    for (const auto& [key, value] : s.settings) {
      if (key.rfind("oauth2.", 0) == 0) continue;  // the [oauth2.NAME] table's, written there
      switch (value.type) {
        case SettingValue::Type::String: st.insert(key, value.text); break;
        case SettingValue::Type::Boolean: st.insert(key, value.text == "true"); break;
        case SettingValue::Type::Integer: st.insert(key, static_cast<std::int64_t>(std::stoll(value.text))); break;
        case SettingValue::Type::List: {
          toml::array list;
          const auto items = SettingList(s.settings, key).value_or(std::vector<std::string>{});
          for (const auto& item : items) list.push_back(item);
          st.insert(key, std::move(list));
          break;
        }
      }
    }
    st.insert("guid", GuidToString(s.guid));
    st.insert("kind", s.kind);
    st.insert("default", s.isDefault);
    stores.push_back(std::move(st));
  }
  t.insert("store", std::move(stores));
  if (profile.transport) {
    toml::table tr;
    tr.insert("smtp", profile.transport->smtp);
    tr.insert("from", profile.transport->from);
    if (!profile.transport->user.empty()) tr.insert("user", profile.transport->user);
    if (!profile.transport->passwordFile.empty()) tr.insert("password_file", profile.transport->passwordFile);
    tr.insert("starttls", profile.transport->startTls);
    t.insert("transport", std::move(tr));
  }
  if (!profile.oauth2.empty()) {
    toml::table all;
    for (const auto& [name, keys] : profile.oauth2) {
      toml::table a;
      for (const auto& [key, value] : keys) {
        if (key == "timeout")
          a.insert(key, static_cast<std::int64_t>(std::stoll(value)));
        else
          a.insert(key, value);
      }
      all.insert(name, std::move(a));
    }
    t.insert("oauth2", std::move(all));
  }
  std::ostringstream text;
  text << "# MAPI profile \"" << profile.name << "\" (edit with care; see mapiadmin)\n"
       << toml::toml_formatter(t) << "\n";
  const std::string body = text.str();

  const std::string path = ProfilePath(profile.name);
  const std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
  bool ok = ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
}

namespace {

// The host of an smtp:// or smtps:// URL ("[::1]" without its brackets).
std::string UrlHost(const std::string& url) {
  const auto scheme = url.find("://");
  std::string rest = scheme == std::string::npos ? url : url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest[0] == '[') return rest.substr(1, rest.find(']') - 1);
  return rest.substr(0, rest.find(':'));
}

bool LoopbackHost(const std::string& host) {
  return EqualsNoCase(host, "localhost") || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

std::string PasswordFileProblem(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return "the password file " + file + " cannot be read";
  if (st.st_mode & 077)
    return "the password file " + file + " may be read by others; it is not used until only its owner can (chmod 600 " +
           file + ")";
  return {};
}

TransportSettings LoadTransport(const ProfileTransport& transport) {
  TransportSettings s{transport.smtp, transport.from, transport.user, {}, transport.startTls, {}};
  if (!transport.passwordFile.empty()) {
    s.refusal = PasswordFileProblem(transport.passwordFile);
    if (s.refusal.empty()) {
      std::ifstream in(transport.passwordFile);
      std::getline(in, s.password);
      if (!s.password.empty() && s.password.back() == '\r') s.password.pop_back();
    }
  }
  // Credentials cross the network only encrypted: smtps://, or smtp:// with
  // STARTTLS required; a server on this machine may take them plainly.
  const bool plain = transport.smtp.rfind("smtp://", 0) == 0 && !transport.startTls;
  if (s.refusal.empty() && !transport.user.empty() && plain && !LoopbackHost(UrlHost(transport.smtp)))
    s.refusal = "the login for " + transport.smtp +
                " would be sent unencrypted; use smtps:// or require STARTTLS (starttls = true)";
  return s;
}

std::optional<std::string> DefaultProfileName(std::vector<std::string>* unreadable) {
  // Only the top-level key counts: a default profile with a damaged store
  // entry is still the default (and says why it does not load when it is
  // loaded).
  for (const auto& name : ProfileNames()) {
    try {
      const toml::table t = ParseProfileFile(ProfilePath(name));
      if (ProfileReader(ProfilePath(name)).Bool(t, "default", "").value_or(false)) return name;
    } catch (const std::exception& e) {
      if (unreadable) unreadable->push_back(e.what());
    }
  }
  return std::nullopt;
}

namespace {
thread_local std::string t_logonError;
}  // namespace

void SetLogonError(std::string text) { t_logonError = std::move(text); }
const std::string& LogonError() { return t_logonError; }

}  // namespace tesk::mapi

HRESULT MAPIGetLogonError(LPMAPIERROR* lppMAPIError) {
  if (!lppMAPIError) return MAPI_E_INVALID_PARAMETER;
  *lppMAPIError = nullptr;
  const std::string& text = tesk::mapi::LogonError();
  if (text.empty()) return S_OK;
  void* buf = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(MAPIERROR) + text.size() + 1), &buf)))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  char* copy = static_cast<char*>(buf) + sizeof(MAPIERROR);
  std::memcpy(copy, text.c_str(), text.size() + 1);
  *static_cast<MAPIERROR*>(buf) = MAPIERROR{MAPI_ERROR_VERSION, copy, nullptr, 0, 0};
  *lppMAPIError = static_cast<MAPIERROR*>(buf);
  return S_OK;
}
