#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "entryid.h"
#include "provider.h"

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

std::optional<Profile> LoadProfile(const std::string& name) {
  if (!ValidProfileName(name)) return std::nullopt;
  const std::string path = ProfilePath(name);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  toml::table t;
  try {
    t = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << "profile " << path << " cannot be read: " << e.description() << " (line " << e.source().begin.line << ")";
    throw std::runtime_error(msg.str());
  }
  Profile p;
  p.name = name;
  p.isDefault = t["default"].value_or(false);
  if (auto* stores = t["store"].as_array()) {
    for (auto& node : *stores) {
      auto* s = node.as_table();
      if (!s) throw std::runtime_error("profile " + path + ": every [[store]] must be a table");
      ProfileStore ps;
      ps.name = (*s)["name"].value_or(std::string());
      ps.kind = (*s)["kind"].value_or(std::string("mailbox"));
      ps.isDefault = (*s)["default"].value_or(false);
      ps.provider = (*s)["provider"].value_or(std::string("sqlite"));
      auto guid = GuidFromString((*s)["guid"].value_or(std::string()));
      if (!guid) throw std::runtime_error("profile " + path + ": store \"" + ps.name + "\" needs a guid");
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
        } else {
          throw std::runtime_error("profile " + path + ": store \"" + ps.name + "\": the key \"" + k +
                                   "\" must be a string, an integer or true or false");
        }
        ps.settings[k] = std::move(v);
      }
      const ProviderFactory* factory = FindProvider(ps.provider);
      if (!factory)
        throw std::runtime_error("profile " + path + ": store \"" + ps.name + "\" names an unknown provider \"" +
                                 ps.provider + "\"");
      try {
        factory->Validate(ps.settings);
      } catch (const std::runtime_error& e) {
        throw std::runtime_error("profile " + path + ": store \"" + ps.name + "\": " + e.what());
      }
      p.stores.push_back(std::move(ps));
    }
  }
  if (auto* tr = t["transport"].as_table()) {
    ProfileTransport pt;
    pt.smtp = (*tr)["smtp"].value_or(std::string());
    pt.from = (*tr)["from"].value_or(std::string());
    pt.user = (*tr)["user"].value_or(std::string());
    pt.passwordFile = (*tr)["password_file"].value_or(std::string());
    pt.startTls = (*tr)["starttls"].value_or(false);
    if (pt.smtp.empty() || pt.from.empty())
      throw std::runtime_error("profile " + path + ": [transport] needs smtp and from");
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
      switch (value.type) {
        case SettingValue::Type::String: st.insert(key, value.text); break;
        case SettingValue::Type::Boolean: st.insert(key, value.text == "true"); break;
        case SettingValue::Type::Integer: st.insert(key, static_cast<std::int64_t>(std::stoll(value.text))); break;
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

std::optional<std::string> DefaultProfileName() {
  for (const auto& name : ProfileNames()) {
    try {
      auto p = LoadProfile(name);
      if (p && p->isDefault) return name;
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

}  // namespace tesk::mapi
