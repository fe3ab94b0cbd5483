// The settings of an IMAP store as a profile gives them, and the secrets
// (password, token) its files hold.
#include "providers/imap/imap_store.h"
#include "transport/secret_file.h"

namespace tesk::mapi::imapstore {

namespace {
// The special-use attributes (RFC 6154, and \Important of RFC 8457), lower case.
constexpr const char* kSpecialUses[] = {"\\all", "\\archive", "\\drafts", "\\flagged", "\\important", "\\junk", "\\sent", "\\trash"};
}  // namespace

std::string ReadSecret(const std::string& path, const char* what) {
  try {
    return ReadSecretFile(path, what);
  } catch (const SecretFileError& e) {
    Fail(MAPI_E_LOGON_FAILED, e.what());
  }
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
  if (const auto name = SettingString(s, "oauth2")) {
    std::map<std::string, std::string> keys;
    for (const auto& [k, v] : s)
      if (k.rfind("oauth2.", 0) == 0) keys[k.substr(7)] = v.text;
    if (keys.empty())
      throw std::runtime_error("oauth2 names \"" + *name + "\", but the profile has no [oauth2." + *name + "] table");
    try {
      a.oauth = oauth2::FromKeys(*name, keys);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(e.what());
    }
  }
  if (a.passwordFile.empty() && a.tokenFile.empty() && !a.oauth)
    throw std::runtime_error("an imap store needs a password_file, an oauth2 authorization or an oauth2_token_file");
  a.state = SettingString(s, "state").value_or("");
  if (a.state.empty() || a.state[0] != '/') throw std::runtime_error("an imap store needs the absolute path of its state file");
  // Compression costs more than it saves on this machine's own loopback.
  a.compress = SettingBool(s, "compress").value_or(!IsLoopback(host));
  // A save reads over several connections from a server elsewhere; on this
  // machine's own loopback one is as fast.
  a.connections = IsLoopback(host) ? 1 : 4;
  if (auto c = SettingInt(s, "connections")) {
    if (*c < 1 || *c > 16) throw std::runtime_error("connections must be from 1 to 16");
    a.connections = static_cast<int>(*c);
  }
  if (auto b = SettingInt(s, "retry_budget")) {
    if (*b < 0 || *b > 86400) throw std::runtime_error("retry_budget must be from 0 to 86400 seconds");
    a.retryBudget = static_cast<int>(*b);
  }
  if (auto list = SettingList(s, "skip_special_use")) {
    a.skipSpecialUse.emplace();
    for (const auto& item : *list) {
      const std::string use = Lower(item);
      if (std::find(std::begin(kSpecialUses), std::end(kSpecialUses), use) == std::end(kSpecialUses))
        throw std::runtime_error("skip_special_use names \"" + item +
                                 "\", which is no special-use attribute (\\All, \\Archive, \\Drafts, \\Flagged, "
                                 "\\Important, \\Junk, \\Sent, \\Trash)");
      a.skipSpecialUse->push_back(use);
    }
  }
  if (auto n = SettingInt(s, "max_connections")) {
    if (*n < 1 || *n > 1000) throw std::runtime_error("max_connections must be from 1 to 1000");
    a.maxConnections = static_cast<int>(*n);
    if (SettingInt(s, "connections") && a.connections > *n)
      throw std::runtime_error("connections (" + std::to_string(a.connections) + ") must not be more than max_connections (" +
                               std::to_string(*n) + ")");
    a.connections = std::min(a.connections, static_cast<int>(*n));
  }
  if (auto n = SettingInt(s, "max_message_size")) {
    if (*n < 0) throw std::runtime_error("max_message_size must be 0 (no limit) or more bytes");
    a.maxMessageSize = *n;
  }
  a.lookAlikeNames = SettingBool(s, "lookalike_names");
  return a;
}

ServerFamily FamilyOf(const Client& c) {
  const auto& id = c.ServerId();
  auto field = [&](const char* key) {
    auto it = id.find(key);
    return it == id.end() ? std::string() : Lower(it->second);
  };
  const std::string name = field("name"), vendor = field("vendor");
  if (c.Has("X-GM-EXT-1") || name == "gimap" || vendor.find("google") != std::string::npos) return ServerFamily::Gmail;
  if (Lower(c.Greeting()).find("microsoft exchange") != std::string::npos || name.rfind("microsoft.exchange", 0) == 0 ||
      vendor.find("microsoft") != std::string::npos)
    return ServerFamily::Microsoft;
  return ServerFamily::Other;
}

Quirks QuirksOf(const AccountSettings& a, const Client& c) {
  Quirks q;
  q.family = FamilyOf(c);
  const bool gmail = q.family == ServerFamily::Gmail, microsoft = q.family == ServerFamily::Microsoft;
  // Gmail's All Mail holds every message of the other folders once more.
  q.skipSpecialUse = a.skipSpecialUse.value_or(gmail ? std::vector<std::string>{"\\all"} : std::vector<std::string>{});
  // The providers' published limits: connections per account; Microsoft
  // 365 takes messages up to 35 MB (a server that says its limit,
  // APPENDLIMIT, is taken at its word).
  q.maxConnections = a.maxConnections.value_or(microsoft ? 20 : gmail ? 15 : 0);
  std::int64_t appendLimit = 0;
  for (const auto& cap : c.Capabilities())
    if (cap.rfind("APPENDLIMIT=", 0) == 0) appendLimit = std::atoll(cap.c_str() + 12);
  q.maxMessageSize = a.maxMessageSize.value_or(appendLimit > 0 ? appendLimit : microsoft ? std::int64_t{35} << 20 : 0);
  // Exchange refuses some characters in folder names that other servers
  // take: written as look-alikes from the start.
  q.lookAlikeNames = a.lookAlikeNames.value_or(microsoft);
  return q;
}

}  // namespace tesk::mapi::imapstore
