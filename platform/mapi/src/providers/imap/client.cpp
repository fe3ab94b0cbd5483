#include "providers/imap/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "core/prop.h"

namespace tesk::mapi::imap {

namespace {

[[noreturn]] void Throw(HRESULT hr, const std::string& what) { throw MapiError(hr, what); }

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

}  // namespace

// ---- the connection's bytes -------------------------------------------------------------

class Transport final : public ByteSource {
 public:
  ~Transport() { Close(); }

  void Connect(const Endpoint& ep) {
    ep_ = ep;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(ep.port);
    const int rc = ::getaddrinfo(ep.host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) Throw(MAPI_E_NETWORK_ERROR, "cannot find the server " + ep.host + ": " + ::gai_strerror(rc));
    std::string why = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
      if (fd < 0) continue;
      if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        why = std::strerror(errno);
        ::close(fd);
        continue;
      }
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, ep.timeoutSeconds * 1000);
      int err = 0;
      socklen_t len = sizeof err;
      if (ready <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        why = ready == 0 ? "no answer within " + std::to_string(ep.timeoutSeconds) + " seconds" : std::strerror(err);
        ::close(fd);
        continue;
      }
      fd_ = fd;
      break;
    }
    ::freeaddrinfo(list);
    if (fd_ < 0) Throw(MAPI_E_NETWORK_ERROR, "cannot connect to " + ep.host + " port " + port + ": " + why);
    // Blocking from here on, with the timeout on every wait.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{ep.timeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (ep.tls == TlsMode::Implicit) StartTls();
  }

  void StartTls() {
    if (gnutls_certificate_allocate_credentials(&cred_) < 0) Throw(MAPI_E_NOT_ENOUGH_MEMORY, "TLS");
    if (gnutls_certificate_set_x509_system_trust(cred_) < 0 && ep_.caFile.empty())
      Throw(MAPI_E_NETWORK_ERROR, "the system's trusted certificates cannot be read");
    if (!ep_.caFile.empty() && gnutls_certificate_set_x509_trust_file(cred_, ep_.caFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0)
      Throw(MAPI_E_NETWORK_ERROR, "no certificate could be read from " + ep_.caFile);
    if (gnutls_init(&tls_, GNUTLS_CLIENT) < 0) Throw(MAPI_E_NOT_ENOUGH_MEMORY, "TLS");
    gnutls_set_default_priority(tls_);
    gnutls_credentials_set(tls_, GNUTLS_CRD_CERTIFICATE, cred_);
    in_addr a4{};
    in6_addr a6{};
    const bool literalAddress = ::inet_pton(AF_INET, ep_.host.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, ep_.host.c_str(), &a6) == 1;
    if (!literalAddress) gnutls_server_name_set(tls_, GNUTLS_NAME_DNS, ep_.host.data(), ep_.host.size());
    gnutls_session_set_verify_cert(tls_, ep_.host.c_str(), 0);
    gnutls_transport_set_int(tls_, fd_);
    gnutls_handshake_set_timeout(tls_, static_cast<unsigned>(ep_.timeoutSeconds) * 1000);
    int rc;
    do {
      rc = gnutls_handshake(tls_);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc < 0) {
      std::string why = gnutls_strerror(rc);
      if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        const unsigned status = gnutls_session_get_verify_cert_status(tls_);
        gnutls_datum_t out{};
        if (gnutls_certificate_verification_status_print(status, gnutls_certificate_type_get(tls_), &out, 0) == 0) {
          why = std::string(reinterpret_cast<const char*>(out.data), out.size);
          gnutls_free(out.data);
        }
      }
      Throw(MAPI_E_NETWORK_ERROR, "the TLS connection to " + ep_.host + " failed: " + why);
    }
  }

  void StartCompress() {
    zin_ = z_stream{};
    zout_ = z_stream{};
    if (inflateInit2(&zin_, -15) != Z_OK || deflateInit2(&zout_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      Throw(MAPI_E_NOT_ENOUGH_MEMORY, "deflate");
    deflate_ = true;
  }

  bool Secure() const { return tls_ != nullptr; }
  std::uint64_t BytesIn() const { return bytesIn_; }

  size_t Read(char* buf, size_t n) override {
    if (!deflate_) return RawRead(buf, n);
    while (true) {
      if (zin_.avail_in == 0) {
        zbuf_.resize(64 * 1024);
        const size_t got = RawRead(zbuf_.data(), zbuf_.size());
        if (got == 0) return 0;
        zin_.next_in = reinterpret_cast<Bytef*>(zbuf_.data());
        zin_.avail_in = static_cast<uInt>(got);
      }
      zin_.next_out = reinterpret_cast<Bytef*>(buf);
      zin_.avail_out = static_cast<uInt>(n);
      const int rc = inflate(&zin_, Z_SYNC_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END)
        Throw(MAPI_E_NETWORK_ERROR, "the server's compressed data is damaged");
      const size_t produced = n - zin_.avail_out;
      if (produced > 0) return produced;
      if (rc == Z_STREAM_END) return 0;
    }
  }

  // Small pieces are gathered; a large one (a message) goes out from where
  // it is, without a copy.
  void Write(std::string_view s) {
    if (s.size() < kDirectWrite) {
      out_.append(s);
      return;
    }
    Flush();
    Send(s.data(), s.size());
  }

  void Flush() {
    if (out_.empty()) return;
    Send(out_.data(), out_.size());
    out_.clear();
  }

  void Close() {
    if (tls_) {
      gnutls_deinit(tls_);
      tls_ = nullptr;
    }
    if (cred_) {
      gnutls_certificate_free_credentials(cred_);
      cred_ = nullptr;
    }
    if (deflate_) {
      inflateEnd(&zin_);
      deflateEnd(&zout_);
      deflate_ = false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  static constexpr size_t kDirectWrite = 64 * 1024;

  void Send(const char* p, size_t n) {
    if (!deflate_) {
      RawWrite(p, n);
      return;
    }
    zout_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p));
    zout_.avail_in = static_cast<uInt>(n);
    char chunk[64 * 1024];
    do {
      zout_.next_out = reinterpret_cast<Bytef*>(chunk);
      zout_.avail_out = sizeof chunk;
      if (deflate(&zout_, Z_SYNC_FLUSH) == Z_STREAM_ERROR) Throw(MAPI_E_CALL_FAILED, "deflate failed");
      RawWrite(chunk, sizeof chunk - zout_.avail_out);
    } while (zout_.avail_out == 0 || zout_.avail_in > 0);
  }

  void WaitReadable() {
    if (tls_ && gnutls_record_check_pending(tls_) > 0) return;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, ep_.timeoutSeconds * 1000);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
      Throw(MAPI_E_TIMEOUT, "the server " + ep_.host + " sent nothing for " + std::to_string(ep_.timeoutSeconds) + " seconds");
    if (rc < 0) Throw(MAPI_E_NETWORK_ERROR, std::string("poll: ") + std::strerror(errno));
  }

  size_t RawRead(char* buf, size_t n) {
    if (fd_ < 0) return 0;
    while (true) {
      WaitReadable();
      if (tls_) {
        const ssize_t got = gnutls_record_recv(tls_, buf, n);
        if (got >= 0) {
          bytesIn_ += static_cast<std::uint64_t>(got);
          return static_cast<size_t>(got);
        }
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) continue;
        if (got == GNUTLS_E_PREMATURE_TERMINATION) return 0;
        Throw(MAPI_E_NETWORK_ERROR, std::string("the TLS connection broke: ") + gnutls_strerror(static_cast<int>(got)));
      }
      const ssize_t got = ::recv(fd_, buf, n, 0);
      if (got >= 0) {
        bytesIn_ += static_cast<std::uint64_t>(got);
        return static_cast<size_t>(got);
      }
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ECONNRESET) return 0;
      Throw(MAPI_E_NETWORK_ERROR, std::string("the connection broke: ") + std::strerror(errno));
    }
  }

  void RawWrite(const char* p, size_t n) {
    if (fd_ < 0) Throw(MAPI_E_NETWORK_ERROR, "the connection is closed");
    while (n > 0) {
      ssize_t put;
      if (tls_) {
        put = gnutls_record_send(tls_, p, n);
        if (put == GNUTLS_E_AGAIN || put == GNUTLS_E_INTERRUPTED) continue;
        if (put < 0) Throw(MAPI_E_NETWORK_ERROR, std::string("the TLS connection broke: ") + gnutls_strerror(static_cast<int>(put)));
      } else {
        put = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
          Throw(MAPI_E_TIMEOUT, "the server " + ep_.host + " took nothing for " + std::to_string(ep_.timeoutSeconds) + " seconds");
        if (put < 0) Throw(MAPI_E_NETWORK_ERROR, std::string("the connection broke: ") + std::strerror(errno));
      }
      p += put;
      n -= static_cast<size_t>(put);
    }
  }

  Endpoint ep_;
  int fd_ = -1;
  gnutls_session_t tls_ = nullptr;
  gnutls_certificate_credentials_t cred_ = nullptr;
  bool deflate_ = false;
  z_stream zin_{};
  z_stream zout_{};
  std::string zbuf_;
  std::string out_;
  std::uint64_t bytesIn_ = 0;
};

// ---- base64 ---------------------------------------------------------------------------------

std::string Base64(std::string_view in) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t k = 0;
  for (; k + 2 < in.size(); k += 3) {
    const unsigned v = (static_cast<unsigned char>(in[k]) << 16) | (static_cast<unsigned char>(in[k + 1]) << 8) |
                       static_cast<unsigned char>(in[k + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (k < in.size()) {
    unsigned v = static_cast<unsigned char>(in[k]) << 16;
    if (k + 1 < in.size()) v |= static_cast<unsigned char>(in[k + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += k + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Unbase64(std::string_view in) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// ---- the client -------------------------------------------------------------------------------

HRESULT ErrorOfResponse(const Response& r) {
  const std::string code = Upper(r.code.substr(0, r.code.find(' ')));
  if (code == "ALREADYEXISTS") return MAPI_E_COLLISION;
  if (code == "NONEXISTENT" || code == "TRYCREATE") return MAPI_E_NOT_FOUND;
  if (code == "OVERQUOTA" || code == "LIMIT") return MAPI_E_NOT_ENOUGH_DISK;
  if (code == "AUTHENTICATIONFAILED" || code == "AUTHORIZATIONFAILED" || code == "EXPIRED") return MAPI_E_LOGON_FAILED;
  if (code == "NOPERM" || code == "READ-ONLY") return MAPI_E_NO_ACCESS;
  if (code == "INUSE" || code == "UNAVAILABLE") return MAPI_E_BUSY;
  // Microsoft's throttling comes without a code.
  if (code.empty() && r.status == "NO" && Upper(r.text).find("REQUEST IS THROTTLED") != std::string::npos) return MAPI_E_BUSY;
  return MAPI_E_CALL_FAILED;
}

std::optional<double> Busy(const Response& r) {
  if (r.status != "NO") return std::nullopt;
  const std::string code = Upper(r.code.substr(0, r.code.find(' ')));
  const std::string text = Upper(r.text);
  std::optional<double> wait;
  if (code == "UNAVAILABLE" || code == "LIMIT" || code == "INUSE" || code == "SERVERBUG") wait = -1.0;
  if (text.find("REQUEST IS THROTTLED") != std::string::npos) wait = -1.0;
  // "Suggested Backoff Time: 1500 milliseconds"
  constexpr std::string_view kSuggested = "SUGGESTED BACKOFF TIME:";
  if (const size_t at = text.find(kSuggested); at != std::string::npos) {
    size_t k = at + kSuggested.size();
    while (k < text.size() && text[k] == ' ') ++k;
    double ms = 0;
    bool digits = false;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9' && ms < 1e9) {
      ms = ms * 10 + (text[k++] - '0');
      digits = true;
    }
    if (digits) wait = ms / 1000.0;
  }
  return wait;
}

Client::Client() = default;
Client::~Client() = default;

bool Client::IsOpen() const { return t_ && !broken_; }
bool Client::Secure() const { return t_ && t_->Secure(); }
std::uint64_t Client::BytesIn() const { return t_ ? t_->BytesIn() : 0; }

void Client::Guard() const {
  if (!t_) Throw(MAPI_E_NETWORK_ERROR, "not connected to the server");
  if (broken_) Throw(MAPI_E_NETWORK_ERROR, brokenWhy_);
}

void Client::Fail(HRESULT hr, const std::string& what) {
  broken_ = true;
  brokenWhy_ = what;
  if (t_) t_->Close();
  Throw(hr, what);
}

bool Client::Has(std::string_view capability) const { return caps_.count(Upper(capability)) > 0; }

Client::Part Client::Arg(std::string_view s) {
  if (auto q = QuoteArgument(s)) return Text(*q);
  return Literal(std::string(s));
}

void Client::ReadCapabilities(const Response& r) {
  caps_.clear();
  for (size_t k = 1; k < r.data.size(); ++k) caps_.insert(Upper(r.data[k].text));
}

void Client::Dispatch(Response& r) {
  if (r.IsStatus()) {
    if (r.code.size() > 11 && Upper(r.code.substr(0, 11)) == "CAPABILITY ") {
      Response c;
      c.data.emplace_back();
      std::string rest = r.code.substr(11);
      size_t at = 0;
      while (at < rest.size()) {
        const size_t sp = rest.find(' ', at);
        Value v;
        v.text = rest.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
        if (!v.text.empty()) c.data.push_back(std::move(v));
        if (sp == std::string::npos) break;
        at = sp + 1;
      }
      ReadCapabilities(c);
    }
    if (r.type == Response::Type::Tagged) {
      if (!r.Ok()) lastText_ = r.text;
      pending_.erase(r.tag);
      done_[r.tag] = std::move(r);
      return;
    }
    if (r.status == "BYE") {
      lastText_ = r.text;
      brokenWhy_ = "the server closed the connection: " + r.text;
    } else if (r.status != "OK") {
      lastText_ = r.text;
    }
  } else if (r.Word() == "CAPABILITY") {
    ReadCapabilities(r);
    return;
  } else if (r.Word() == "ID") {
    // ID ("name" "GImap" "vendor" "Google, Inc." ...) or ID NIL
    if (r.data.size() > 1 && r.data[1].IsList())
      for (size_t k = 0; k + 1 < r.data[1].items.size(); k += 2) {
        std::string key = r.data[1].items[k].Str();
        for (char& c : key)
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        serverId_[key] = r.data[1].items[k + 1].Str();
      }
    return;
  }
  if (sink) sink(r);
}

void Client::ReadOne() {
  Guard();
  Response r;
  try {
    r = reader_->Next();
  } catch (const ProtocolError& e) {
    Fail(MAPI_E_NETWORK_ERROR, brokenWhy_.empty() ? std::string(e.what()) + " (" + endpoint_.host + ")" : brokenWhy_);
  } catch (const MapiError& e) {
    Fail(e.hr(), e.what());
  }
  if (r.type == Response::Type::Continuation) {
    // Only a synchronizing literal or SASL waits for one, each reading it
    // itself; one out of turn is a server's fault.
    Fail(MAPI_E_NETWORK_ERROR, "the server asked for data nobody was sending (" + endpoint_.host + ")");
  }
  Dispatch(r);
}

void Client::Flush() {
  Guard();
  try {
    t_->Flush();
  } catch (const MapiError& e) {
    Fail(e.hr(), e.what());
  }
}

bool Client::AwaitContinuation(const std::string& tag) {
  while (true) {
    Response r;
    try {
      r = reader_->Next();
    } catch (const ProtocolError& e) {
      Fail(MAPI_E_NETWORK_ERROR, e.what());
    }
    if (r.type == Response::Type::Continuation) return true;
    const bool mine = r.type == Response::Type::Tagged && r.tag == tag;
    Dispatch(r);
    if (mine) return false;
  }
}

std::string Client::Send(std::vector<Part> parts) {
  Guard();
  const std::string tag = "T" + std::to_string(++next_);
  pending_.insert(tag);
  try {
    t_->Write(tag);
    t_->Write(" ");
    const bool plus = Has("LITERAL+");
    const bool minus = Has("LITERAL-");
    for (const auto& p : parts) {
      if (!p.literal) {
        t_->Write(p.text);
        continue;
      }
      const std::string& bytes = p.Bytes();
      if (plus || (minus && bytes.size() <= 4096)) {
        t_->Write("{" + std::to_string(bytes.size()) + "+}\r\n");
        t_->Write(bytes);
        continue;
      }
      t_->Write("{" + std::to_string(bytes.size()) + "}\r\n");
      t_->Flush();
      // The command may be refused instead of the go-ahead.
      if (!AwaitContinuation(tag)) return tag;
      t_->Write(bytes);
    }
    t_->Write("\r\n");
  } catch (const MapiError& e) {
    if (!broken_) Fail(e.hr(), e.what());
    throw;
  }
  return tag;
}

Response Client::Wait(const std::string& tag) {
  Flush();
  while (!done_.count(tag)) {
    if (!pending_.count(tag)) Throw(MAPI_E_CALL_FAILED, "no command " + tag + " was sent");
    ReadOne();
  }
  Response r = std::move(done_[tag]);
  done_.erase(tag);
  return r;
}

Response Client::Check(const std::string& tag, std::string_view what) {
  Response r = Wait(tag);
  if (!r.Ok()) Refused(r, what);
  return r;
}

std::string Client::RefusalText(const Response& r, std::string_view what) const {
  return std::string(what) + " failed: the server said " + r.status + (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text +
         " (" + endpoint_.host + ")";
}

void Client::Refused(const Response& r, std::string_view what) const { Throw(ErrorOfResponse(r), RefusalText(r, what)); }

Response Client::Run(std::vector<Part> parts, std::string_view what) {
  while (true) {
    // A refused command goes again as it was.
    Response r = Wait(onBusy ? Send(parts) : Send(std::move(parts)));
    if (r.Ok()) return r;
    const auto busy = Busy(r);
    if (!busy || !onBusy) Refused(r, what);
    onBusy(ErrorOfResponse(r), RefusalText(r, what), *busy);
  }
}

void Client::RequestCapabilities() { Run("CAPABILITY", "CAPABILITY"); }

void Client::Sasl(const std::string& mechanism, const std::string& initial, const std::string& user) {
  const bool ir = Has("SASL-IR");
  std::string line = "AUTHENTICATE " + mechanism;
  if (ir) line += " " + (initial.empty() ? std::string("=") : Base64(initial));
  const std::string tag = Send(line);
  Flush();
  bool sentInitial = ir;
  while (AwaitContinuation(tag)) {
    // The initial response; after it, a challenge is the server's error
    // report (XOAUTH2, OAUTHBEARER), answered empty so that it completes
    // with NO.
    t_->Write(sentInitial ? std::string("\r\n") : Base64(initial) + "\r\n");
    sentInitial = true;
    Flush();
  }
  Response done = std::move(done_[tag]);
  done_.erase(tag);
  if (!done.Ok())
    Throw(MAPI_E_LOGON_FAILED, "the server " + endpoint_.host + " refused the login of " + user + ": " + done.status +
                                   (done.code.empty() ? "" : " [" + done.code + "]") + " " + done.text);
  if (Upper(done.code.substr(0, 10)) != "CAPABILITY") caps_.clear();
}

void Client::Authenticate(const Credentials& c) {
  if (!c.bearerToken.empty()) {
    if (Has("AUTH=OAUTHBEARER")) {
      const std::string gs2 = "n,a=" + c.user + ",\x01" "host=" + endpoint_.host + "\x01" "port=" +
                              std::to_string(endpoint_.port) + "\x01" "auth=Bearer " + c.bearerToken + "\x01\x01";
      Sasl("OAUTHBEARER", gs2, c.user);
    } else if (Has("AUTH=XOAUTH2")) {
      Sasl("XOAUTH2", "user=" + c.user + "\x01" "auth=Bearer " + c.bearerToken + "\x01\x01", c.user);
    } else {
      Throw(MAPI_E_LOGON_FAILED, "the server " + endpoint_.host + " offers no OAuth 2.0 login (XOAUTH2, OAUTHBEARER)");
    }
    return;
  }
  if (Has("AUTH=PLAIN")) {
    Sasl("PLAIN", std::string(1, '\0') + c.user + std::string(1, '\0') + c.password, c.user);
    return;
  }
  if (Has("LOGINDISABLED"))
    Throw(MAPI_E_LOGON_FAILED, "the server " + endpoint_.host + " allows no password login on this connection");
  const std::string tag = Send({Text("LOGIN "), Arg(c.user), Text(" "), Arg(c.password)});
  Response r = Wait(tag);
  if (!r.Ok())
    Throw(MAPI_E_LOGON_FAILED, "the server " + endpoint_.host + " refused the login of " + c.user + ": " + r.status +
                                   (r.code.empty() ? "" : " [" + r.code + "]") + " " + r.text);
  if (r.code.empty() || Upper(r.code.substr(0, 10)) != "CAPABILITY") caps_.clear();
}

void Client::Open(const Endpoint& endpoint, const Credentials& credentials, bool compress) {
  endpoint_ = endpoint;
  broken_ = false;
  brokenWhy_.clear();
  pending_.clear();
  done_.clear();
  caps_.clear();
  compressed_ = false;
  greeting_.clear();
  serverId_.clear();
  t_ = std::make_unique<Transport>();
  reader_ = std::make_unique<Reader>(*t_);
  try {
    t_->Connect(endpoint);
  } catch (const MapiError& e) {
    Fail(e.hr(), e.what());
  }
  Response greeting;
  try {
    greeting = reader_->Next();
  } catch (const std::exception& e) {
    Fail(MAPI_E_NETWORK_ERROR, "the server " + endpoint.host + " sent no greeting: " + e.what());
  }
  if (greeting.type != Response::Type::Untagged || (greeting.status != "OK" && greeting.status != "PREAUTH"))
    Fail(MAPI_E_NETWORK_ERROR, "the server " + endpoint.host + " does not take us: " + greeting.status + " " + greeting.text);
  greeting_ = greeting.text;
  Dispatch(greeting);
  if (caps_.empty()) RequestCapabilities();
  if (!Has("IMAP4rev1") && !Has("IMAP4rev2"))
    Fail(MAPI_E_NETWORK_ERROR, "the server " + endpoint.host + " does not speak IMAP4rev1");
  if (endpoint.tls == TlsMode::StartTls) {
    if (!Has("STARTTLS"))
      Fail(MAPI_E_NETWORK_ERROR, "the server " + endpoint.host + " offers no STARTTLS; the password would go in the clear");
    Run("STARTTLS", "STARTTLS");
    // Everything the server said before the handshake is forgotten.
    reader_ = std::make_unique<Reader>(*t_);
    try {
      t_->StartTls();
    } catch (const MapiError& e) {
      Fail(e.hr(), e.what());
    }
    caps_.clear();
    RequestCapabilities();
  }
  if (greeting.status != "PREAUTH") Authenticate(credentials);
  if (caps_.empty()) RequestCapabilities();
  if (compress && Has("COMPRESS=DEFLATE")) {
    Run("COMPRESS DEFLATE", "COMPRESS");
    t_->StartCompress();
    reader_ = std::make_unique<Reader>(*t_);
    compressed_ = true;
  }
  if (Has("ID")) {
    // Who we are, for the server's log; the server's answer is of no use.
    Send("ID (\"name\" \"TeskSave\" \"vendor\" \"Tesk\")");
  }
}

void Client::Close() {
  if (IsOpen()) {
    try {
      const std::string tag = Send("LOGOUT");
      Wait(tag);
    } catch (const std::exception&) {
    }
  }
  if (t_) t_->Close();
  broken_ = true;
  brokenWhy_ = "the connection is closed";
}

}  // namespace tesk::mapi::imap
