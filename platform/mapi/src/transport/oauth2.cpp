#include "transport/oauth2.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "transport/secret_file.h"

namespace tesk::mapi::oauth2 {
namespace {

using Form = std::vector<std::pair<std::string, std::string>>;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void LocalFail(const std::string& what) { throw Error(Error::Kind::Local, what); }

bool IsLoopbackHost(const std::string& url) {
  std::string rest = url.substr(url.find("://") + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (!rest.empty() && rest[0] == '[') return rest.rfind("[::1]", 0) == 0;
  const std::string host = rest.substr(0, rest.find(':'));
  return host == "localhost" || host.rfind("127.", 0) == 0;
}

// Endpoints are HTTPS; plain HTTP only to a server on this machine (the tests' own).
void CheckEndpoint(const std::string& what, const std::string& url) {
  if (url.rfind("https://", 0) == 0 && url.size() > 8) return;
  if (url.rfind("http://", 0) == 0 && url.size() > 7 && IsLoopbackHost(url)) return;
  throw std::invalid_argument(what + " must be an https:// address (http:// only for a server on this machine): \"" +
                              url + "\"");
}

std::string ReadFirstLine(const std::string& path, const std::string& what) {
  try {
    return ReadSecretFile(path, what);
  } catch (const SecretFileError& e) {
    LocalFail(e.what());
  }
}

std::string Escape(CURL* curl, const std::string& s) {
  std::unique_ptr<char, void (*)(void*)> e(curl_easy_escape(curl, s.data(), static_cast<int>(s.size())), curl_free);
  return e ? std::string(e.get()) : std::string();
}

std::string Encode(CURL* curl, const Form& form) {
  std::string out;
  for (const auto& [k, v] : form) {
    if (!out.empty()) out += '&';
    out += Escape(curl, k) + "=" + Escape(curl, v);
  }
  return out;
}

size_t Collect(char* data, size_t size, size_t n, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() > (1u << 20)) return 0;  // no token answer is this large
  body->append(data, size * n);
  return size * n;
}

struct Reply {
  long status = 0;
  nlohmann::json json;
};

CURL* Curl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return curl_easy_init();
}

// POSTs a form and reads the JSON answer. Network failures and server errors
// (5xx, an answer that is no JSON) are transient; 4xx answers come back for
// the caller to read their "error".
Reply Post(const Settings& s, const std::string& url, const Form& form) {
  std::unique_ptr<CURL, void (*)(CURL*)> curl(Curl(), curl_easy_cleanup);
  if (!curl) LocalFail("out of memory");
  const std::string body = Encode(curl.get(), form);
  std::string answer;
  char errbuf[CURL_ERROR_SIZE] = {};
  curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> hold(headers, curl_slist_free_all);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, static_cast<long>(s.timeoutSeconds));
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "TeskSave");
  if (!s.caFile.empty()) curl_easy_setopt(curl.get(), CURLOPT_CAINFO, s.caFile.c_str());
  const CURLcode rc = curl_easy_perform(curl.get());
  if (rc != CURLE_OK)
    throw Error(Error::Kind::Transient, "the authorization server " + url + " cannot be reached: " +
                                            (errbuf[0] ? std::string(errbuf) : curl_easy_strerror(rc)));
  Reply r;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &r.status);
  r.json = nlohmann::json::parse(answer, nullptr, false);
  if (r.status >= 500 || r.json.is_discarded() || !r.json.is_object())
    throw Error(Error::Kind::Transient, "the authorization server " + url + " answered HTTP " +
                                            std::to_string(r.status) + (r.json.is_discarded() ? " without JSON" : ""));
  return r;
}

std::string Str(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t Int(const nlohmann::json& j, const char* key, std::int64_t fallback) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_string()) {  // some servers send numbers as strings
    try {
      return std::stoll(it->get<std::string>());
    } catch (...) {
    }
  }
  return fallback;
}

std::string ServerWords(const Reply& r) {
  std::string e = Str(r.json, "error");
  const std::string d = Str(r.json, "error_description");
  if (e.empty()) e = "HTTP " + std::to_string(r.status);
  return d.empty() ? e : e + ": " + d;
}

void AddClient(const Settings& s, Form& form) {
  form.emplace_back("client_id", s.clientId);
  if (!s.clientSecretFile.empty()) form.emplace_back("client_secret", ReadFirstLine(s.clientSecretFile, "client secret"));
}

// A token answer: the access token (cached) and a refresh token, if the
// server sent one, written back.
AccessToken TakeTokens(const Settings& s, const Reply& r, const std::string& oldRefresh) {
  AccessToken t;
  t.value = Str(r.json, "access_token");
  if (t.value.empty()) throw Error(Error::Kind::Transient, "the authorization server answered without an access token");
  t.expiresAt = Now() + Int(r.json, "expires_in", 3600);
  const std::string refresh = Str(r.json, "refresh_token");
  if (!refresh.empty() && refresh != oldRefresh) WriteSecretFile(s.refreshTokenFile, refresh);
  return t;
}

std::mutex cacheMutex;
std::map<std::string, AccessToken>& Cache() {
  static std::map<std::string, AccessToken> cache;
  return cache;
}
std::string CacheKey(const Settings& s) { return s.refreshTokenFile + '\n' + s.tokenEndpoint + '\n' + s.clientId; }

// Holds an exclusive lock beside the refresh token's file while it is used
// and perhaps rotated, so two runs of one profile never both spend it.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) LocalFail("the lock file " + path + ".lock cannot be opened: " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

std::string RandomText(size_t n) {
  static const char kUnreserved[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  std::string out;
  unsigned char buf[128];
  while (out.size() < n) {
    const ssize_t got = ::getrandom(buf, sizeof buf, 0);
    if (got <= 0) continue;
    for (ssize_t i = 0; i < got && out.size() < n; ++i)
      if (buf[i] < 4 * 66) out += kUnreserved[buf[i] % 66];  // no bias: 264 = 4 x 66
  }
  return out;
}

std::string Base64Url(const unsigned char* data, size_t n) {
  static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    const unsigned v = (data[i] << 16) | (i + 1 < n ? data[i + 1] << 8 : 0) | (i + 2 < n ? data[i + 2] : 0);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    if (i + 1 < n) out += k[(v >> 6) & 63];
    if (i + 2 < n) out += k[v & 63];
  }
  return out;
}

std::string S256(const std::string& verifier) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, verifier.size(), reinterpret_cast<const uint8_t*>(verifier.data()));
  unsigned char digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  return Base64Url(digest, sizeof digest);
}

std::string QueryValue(const std::string& query, const std::string& key) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t end = query.find('&', pos);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(pos, end - pos);
    const size_t eq = part.find('=');
    if (part.substr(0, eq) == key && eq != std::string::npos) {
      std::string v = part.substr(eq + 1);
      for (char& c : v)
        if (c == '+') c = ' ';
      std::unique_ptr<CURL, void (*)(CURL*)> curl(Curl(), curl_easy_cleanup);
      int len = 0;
      std::unique_ptr<char, void (*)(void*)> d(curl_easy_unescape(curl.get(), v.data(), static_cast<int>(v.size()), &len),
                                               curl_free);
      return d ? std::string(d.get(), static_cast<size_t>(len)) : std::string();
    }
    pos = end + 1;
  }
  return {};
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void Answer(int fd, const char* status, const std::string& text) {
  const std::string page = std::string("HTTP/1.1 ") + status +
                           "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(text.size()) + "\r\n\r\n" + text;
  size_t done = 0;
  while (done < page.size()) {
    const ssize_t n = ::send(fd, page.data() + done, page.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

const std::vector<Preset>& Presets() {
  static const std::vector<Preset> presets = {
      {"microsoft365", "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
       "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
       "https://login.microsoftonline.com/common/oauth2/v2.0/token",
       "https://outlook.office.com/IMAP.AccessAsUser.All offline_access", true},
      // Google grants the mail scope to installed applications by the
      // authorization code only, never by the device grant.
      {"google", "", "https://accounts.google.com/o/oauth2/v2/auth", "https://oauth2.googleapis.com/token",
       "https://mail.google.com/", false},
  };
  return presets;
}

const Preset* FindPreset(const std::string& name) {
  for (const Preset& p : Presets())
    if (name == p.name) return &p;
  return nullptr;
}

const std::vector<std::string>& SettingKeys() {
  static const std::vector<std::string> keys = {"preset",    "token_endpoint", "device_endpoint",    "authorize_endpoint",
                                                "client_id", "client_secret_file", "scope", "refresh_token_file",
                                                "ca_file",   "timeout"};
  return keys;
}

Settings FromKeys(const std::string& name, const std::map<std::string, std::string>& keys) {
  for (const auto& [k, v] : keys) {
    bool known = false;
    for (const std::string& key : SettingKeys()) known = known || key == k;
    if (!known) throw std::invalid_argument("[oauth2." + name + "] has an unknown key \"" + k + "\"");
  }
  auto get = [&](const char* k) {
    const auto it = keys.find(k);
    return it == keys.end() ? std::string() : it->second;
  };
  Settings s;
  s.name = name;
  s.preset = get("preset");
  s.tokenEndpoint = get("token_endpoint");
  s.deviceEndpoint = get("device_endpoint");
  s.authorizeEndpoint = get("authorize_endpoint");
  s.clientId = get("client_id");
  s.clientSecretFile = get("client_secret_file");
  s.scope = get("scope");
  s.refreshTokenFile = get("refresh_token_file");
  s.caFile = get("ca_file");
  if (!s.preset.empty()) {
    const Preset* p = FindPreset(s.preset);
    if (!p) {
      std::string names;
      for (const Preset& q : Presets()) names += std::string(names.empty() ? "" : ", ") + q.name;
      throw std::invalid_argument("[oauth2." + name + "] names an unknown preset \"" + s.preset + "\" (known: " + names +
                                  ")");
    }
    if (s.tokenEndpoint.empty()) s.tokenEndpoint = p->tokenEndpoint;
    if (s.deviceEndpoint.empty()) s.deviceEndpoint = p->deviceEndpoint;
    if (s.authorizeEndpoint.empty()) s.authorizeEndpoint = p->authorizeEndpoint;
    if (s.scope.empty()) s.scope = p->scope;
  }
  const std::string where = "[oauth2." + name + "] ";
  if (s.tokenEndpoint.empty()) throw std::invalid_argument(where + "needs a token_endpoint or a preset");
  if (s.clientId.empty()) throw std::invalid_argument(where + "needs a client_id (your own registration)");
  if (s.refreshTokenFile.empty() || s.refreshTokenFile[0] != '/')
    throw std::invalid_argument(where + "needs the absolute path of its refresh_token_file");
  if (!s.clientSecretFile.empty() && s.clientSecretFile[0] != '/')
    throw std::invalid_argument(where + "needs the absolute path of its client_secret_file");
  CheckEndpoint(where + "token_endpoint", s.tokenEndpoint);
  if (!s.deviceEndpoint.empty()) CheckEndpoint(where + "device_endpoint", s.deviceEndpoint);
  if (!s.authorizeEndpoint.empty()) CheckEndpoint(where + "authorize_endpoint", s.authorizeEndpoint);
  if (const std::string t = get("timeout"); !t.empty()) {
    int v = 0;
    try {
      v = std::stoi(t);
    } catch (...) {
    }
    if (v < 1 || v > 3600) throw std::invalid_argument(where + "timeout must be from 1 to 3600 seconds");
    s.timeoutSeconds = v;
  }
  return s;
}

void WriteSecretFile(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string tmp = dir + "/." + path.substr(slash + 1) + ".new-" + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) LocalFail("the token file " + tmp + " cannot be written: " + std::strerror(errno));
  const std::string line = text + "\n";
  bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
            ::fsync(fd) == 0;
  const int err = errno;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(ok ? errno : err);
    ::unlink(tmp.c_str());
    LocalFail("the token file " + path + " cannot be written: " + why);
  }
  if (const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
    ::fsync(d);
    ::close(d);
  }
}

AccessToken GetAccessToken(const Settings& s, bool forceRefresh) {
  const std::string key = CacheKey(s);
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    const auto it = Cache().find(key);
    if (!forceRefresh && it != Cache().end() && it->second.expiresAt - 60 > Now()) return it->second;
  }
  // One refresh at a time for this token, in this process and between processes.
  static std::mutex refreshMutex;
  std::lock_guard<std::mutex> one(refreshMutex);
  FileLock fileLock(s.refreshTokenFile);
  const std::string refresh = ReadFirstLine(s.refreshTokenFile, "refresh token");
  Form form = {{"grant_type", "refresh_token"}, {"refresh_token", refresh}};
  AddClient(s, form);
  if (!s.scope.empty()) form.emplace_back("scope", s.scope);
  const Reply r = Post(s, s.tokenEndpoint, form);
  if (r.status != 200) {
    const std::string e = Str(r.json, "error");
    if (e == "invalid_grant" || e == "invalid_client" || e == "unauthorized_client" || r.status == 400 || r.status == 401)
      throw Error(Error::Kind::Refused, "the authorization server refused the refresh token of [oauth2." + s.name +
                                            "] (" + ServerWords(r) + "); log in again: mapiadmin oauth2 login PROFILE " +
                                            s.name);
    throw Error(Error::Kind::Transient, "the authorization server answered " + ServerWords(r));
  }
  const AccessToken t = TakeTokens(s, r, refresh);
  std::lock_guard<std::mutex> lock(cacheMutex);
  Cache()[key] = t;
  return t;
}

void Forget(const Settings& s) {
  std::lock_guard<std::mutex> lock(cacheMutex);
  Cache().erase(CacheKey(s));
}

void DeviceLogin(const Settings& s, const std::function<void(const DevicePrompt&)>& show) {
  if (s.deviceEndpoint.empty())
    throw Error(Error::Kind::Local, "[oauth2." + s.name +
                                        "] has no device_endpoint; this provider is logged in with a browser (--browser)");
  Form form;
  AddClient(s, form);
  if (!s.scope.empty()) form.emplace_back("scope", s.scope);
  const Reply start = Post(s, s.deviceEndpoint, form);
  if (start.status != 200)
    throw Error(Error::Kind::Refused, "the authorization server refused a device login: " + ServerWords(start));
  DevicePrompt prompt;
  prompt.verificationUri = Str(start.json, "verification_uri");
  if (prompt.verificationUri.empty()) prompt.verificationUri = Str(start.json, "verification_url");  // Google's word
  prompt.verificationUriComplete = Str(start.json, "verification_uri_complete");
  prompt.userCode = Str(start.json, "user_code");
  prompt.expiresIn = static_cast<int>(Int(start.json, "expires_in", 600));
  const std::string deviceCode = Str(start.json, "device_code");
  if (deviceCode.empty() || prompt.userCode.empty() || prompt.verificationUri.empty())
    throw Error(Error::Kind::Transient, "the authorization server's device answer lacks a code or an address");
  show(prompt);
  std::int64_t interval = std::max<std::int64_t>(1, Int(start.json, "interval", 5));
  const std::int64_t deadline = Now() + prompt.expiresIn;
  while (true) {
    std::this_thread::sleep_for(std::chrono::seconds(interval));
    if (Now() > deadline) throw Error(Error::Kind::Refused, "the code " + prompt.userCode + " expired before the login");
    Form poll = {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"device_code", deviceCode}};
    AddClient(s, poll);
    Reply r;
    try {
      r = Post(s, s.tokenEndpoint, poll);
    } catch (const Error& e) {
      if (e.kind() != Error::Kind::Transient) throw;
      interval += 5;  // a server that stumbles is asked less often
      continue;
    }
    if (r.status == 200) {
      if (Str(r.json, "refresh_token").empty())
        throw Error(Error::Kind::Refused, "the authorization server gave no refresh token (is offline access in the scope?)");
      const AccessToken t = TakeTokens(s, r, "");
      std::lock_guard<std::mutex> lock(cacheMutex);
      Cache()[CacheKey(s)] = t;
      return;
    }
    const std::string e = Str(r.json, "error");
    if (e == "authorization_pending") continue;
    if (e == "slow_down") {
      interval += 5;
      continue;
    }
    if (e == "access_denied") throw Error(Error::Kind::Refused, "the login was denied");
    if (e == "expired_token") throw Error(Error::Kind::Refused, "the code " + prompt.userCode + " expired before the login");
    throw Error(Error::Kind::Refused, "the authorization server refused the device login: " + ServerWords(r));
  }
}

void BrowserLogin(const Settings& s, const std::string& loginHint, const std::function<void(const std::string&)>& show,
                  int waitSeconds) {
  if (s.authorizeEndpoint.empty())
    throw Error(Error::Kind::Local, "[oauth2." + s.name + "] has no authorize_endpoint for a browser login");
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) LocalFail(std::string("no socket for the browser's answer: ") + std::strerror(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener.get(), 4) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    LocalFail(std::string("cannot listen on a loopback port for the browser's answer: ") + std::strerror(errno));
  const std::string redirect = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
  const std::string verifier = RandomText(64);
  const std::string state = RandomText(24);
  std::unique_ptr<CURL, void (*)(CURL*)> curl(Curl(), curl_easy_cleanup);
  Form q = {{"response_type", "code"},     {"client_id", s.clientId},     {"redirect_uri", redirect},
            {"scope", s.scope},            {"state", state},              {"code_challenge", S256(verifier)},
            {"code_challenge_method", "S256"}};
  if (!loginHint.empty()) q.emplace_back("login_hint", loginHint);
  if (s.preset == "google") {  // Google gives a refresh token only when asked so
    q.emplace_back("access_type", "offline");
    q.emplace_back("prompt", "consent");
  }
  const std::string sep = s.authorizeEndpoint.find('?') == std::string::npos ? "?" : "&";
  show(s.authorizeEndpoint + sep + Encode(curl.get(), q));

  const std::int64_t deadline = Now() + waitSeconds;
  std::string code;
  while (code.empty()) {
    const std::int64_t left = deadline - Now();
    if (left <= 0) throw Error(Error::Kind::Refused, "no answer from the browser within " + std::to_string(waitSeconds) + " s");
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 1000) * 1000)) <= 0) continue;
    Fd c(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (c.get() < 0) continue;
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      pollfd rp{c.get(), POLLIN, 0};
      if (::poll(&rp, 1, 5000) <= 0) break;
      const ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    if (request.rfind("GET /", 0) != 0) {
      Answer(c.get(), "400 Bad Request", "Not a login answer.\n");
      continue;
    }
    const std::string target = request.substr(4, request.find(' ', 4) - 4);
    const size_t qm = target.find('?');
    if (target.substr(0, qm) != "/") {  // a browser's favicon and the like
      Answer(c.get(), "404 Not Found", "Not here.\n");
      continue;
    }
    const std::string query = qm == std::string::npos ? "" : target.substr(qm + 1);
    if (QueryValue(query, "state") != state) {
      Answer(c.get(), "400 Bad Request", "This answer does not belong to the login that waits here.\n");
      continue;
    }
    if (const std::string e = QueryValue(query, "error"); !e.empty()) {
      Answer(c.get(), "200 OK", "The login failed: " + e + "\n");
      const std::string d = QueryValue(query, "error_description");
      throw Error(Error::Kind::Refused, "the login failed: " + e + (d.empty() ? "" : ": " + d));
    }
    code = QueryValue(query, "code");
    Answer(c.get(), "200 OK", code.empty() ? "The answer holds no code.\n"
                                           : "Logged in. You may close this window and go back to the terminal.\n");
  }
  Form form = {{"grant_type", "authorization_code"},
               {"code", code},
               {"redirect_uri", redirect},
               {"code_verifier", verifier}};
  AddClient(s, form);
  const Reply r = Post(s, s.tokenEndpoint, form);
  if (r.status != 200) throw Error(Error::Kind::Refused, "the authorization server refused the login: " + ServerWords(r));
  if (Str(r.json, "refresh_token").empty())
    throw Error(Error::Kind::Refused, "the authorization server gave no refresh token (is offline access in the scope?)");
  const AccessToken t = TakeTokens(s, r, "");
  std::lock_guard<std::mutex> lock(cacheMutex);
  Cache()[CacheKey(s)] = t;
}

}  // namespace tesk::mapi::oauth2
