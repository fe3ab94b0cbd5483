// A small IMAP4rev1 client: one connection (TCP, TLS by GnuTLS with the
// certificate checked, COMPRESS=DEFLATE by zlib), commands written without
// waiting for the answers of those before (pipelining), literals sent
// without a round trip where LITERAL+ or LITERAL- allow, SASL PLAIN, LOGIN,
// XOAUTH2 and OAUTHBEARER.
//
// Failures are MapiErrors: the network's (MAPI_E_NETWORK_ERROR,
// MAPI_E_TIMEOUT), a refused login (MAPI_E_LOGON_FAILED), a server's NO or
// BAD (by its response code: MAPI_E_COLLISION, MAPI_E_NOT_FOUND,
// MAPI_E_NOT_ENOUGH_DISK, else MAPI_E_CALL_FAILED), each with the server's
// own text. After a network or protocol failure the connection is closed
// and every further command fails at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <mapicode.h>

#include "providers/imap/wire.h"

namespace tesk::mapi::imap {

enum class TlsMode { Implicit, StartTls, None };

struct Endpoint {
  std::string host;
  int port = 143;
  TlsMode tls = TlsMode::StartTls;
  std::string caFile;  // trusted certificates beside the system's; empty for the system's alone
  int timeoutSeconds = 120;
};

struct Credentials {
  std::string user;
  std::string password;
  std::string bearerToken;  // OAuth 2.0: XOAUTH2 or OAUTHBEARER instead of the password
};

class Transport;

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects, secures the connection as the endpoint says, logs in and
  // learns the capabilities; with compress, turns on COMPRESS=DEFLATE when
  // the server offers it.
  void Open(const Endpoint& endpoint, const Credentials& credentials, bool compress);
  bool IsOpen() const;
  void Close();  // LOGOUT when the connection still works

  // A capability ("UIDPLUS", "AUTH=PLAIN"), letters A to Z in either case.
  bool Has(std::string_view capability) const;
  std::vector<std::string> Capabilities() const { return {caps_.begin(), caps_.end()}; }
  bool Compressed() const { return compressed_; }
  bool Secure() const;

  // A command's parts: text as it goes on the wire, and literals.
  struct Part {
    std::string text;
    bool literal = false;
    const std::string* ref = nullptr;  // a literal's bytes kept by the caller, not copied
    const std::string& Bytes() const { return ref ? *ref : text; }
  };
  static Part Text(std::string s) { return Part{std::move(s), false}; }
  static Part Literal(std::string s) { return Part{std::move(s), true}; }
  // A literal whose bytes stay where they are (they must outlive Send).
  static Part LiteralOf(const std::string& s) { return Part{{}, true, &s}; }
  // An argument: an atom or quoted string where it can be, else a literal.
  static Part Arg(std::string_view s);

  // Writes a command and returns its tag without waiting for its answer
  // (a synchronizing literal waits for the server's go-ahead).
  std::string Send(std::vector<Part> parts);
  std::string Send(std::string line) { return Send(std::vector<Part>{Text(std::move(line))}); }
  // Sends what Send buffered.
  void Flush();
  // Reads responses until the command of that tag completed; untagged
  // responses go to the sink meanwhile. Returns its completion (OK, NO or
  // BAD).
  Response Wait(const std::string& tag);
  // Waits and throws the MapiError of a NO or BAD.
  Response Check(const std::string& tag, std::string_view what);
  // Throws the MapiError of a NO or BAD for what was asked.
  [[noreturn]] void Refused(const Response& r, std::string_view what) const;
  // The text of that error: what failed and the server's words.
  std::string RefusalText(const Response& r, std::string_view what) const;
  // Send, Wait and Check in one. A server's "try again later" (see Busy)
  // goes to onBusy, which waits and returns (the command is sent again)
  // or throws.
  Response Run(std::vector<Part> parts, std::string_view what);
  Response Run(std::string line, std::string_view what) { return Run(std::vector<Part>{Text(std::move(line))}, what); }
  // Reads one response and hands it on; false when it completed a command.
  void ReadOne();
  // Commands sent whose completion has not been read yet.
  size_t InFlight() const { return pending_.size(); }

  // Where untagged responses go (FETCH, LIST, SEARCH, ...); capability
  // responses and codes are kept by the client too.
  std::function<void(Response&)> sink;
  // Called with the refusal's error text (RefusalText) and the server's
  // suggested wait in seconds (negative: none).
  std::function<void(HRESULT hr, const std::string& error, double suggested)> onBusy;

  // Bytes that crossed the connection (as the server sent them, before
  // decompression).
  std::uint64_t BytesIn() const;

  // Who the server says it is: its greeting's text, and the fields of its
  // answer to ID (names lower case), once the first command after the
  // login has been answered.
  const std::string& Greeting() const { return greeting_; }
  const std::map<std::string, std::string>& ServerId() const { return serverId_; }

  // For tests: the text of the last server complaint seen.
  const std::string& LastServerText() const { return lastText_; }

 private:
  void Fail(HRESULT hr, const std::string& what);
  void ReadCapabilities(const Response& r);
  void RequestCapabilities();
  void Authenticate(const Credentials& c);
  void Sasl(const std::string& mechanism, const std::string& initial, const std::string& user);
  void Dispatch(Response& r);
  // Reads until the server's go-ahead (true) or the completion of the
  // command of that tag (false), handing on what comes between.
  bool AwaitContinuation(const std::string& tag);
  void Guard() const;

  std::unique_ptr<Transport> t_;
  std::unique_ptr<Reader> reader_;
  Endpoint endpoint_;
  std::set<std::string> caps_;
  std::set<std::string> pending_;
  std::map<std::string, Response> done_;
  std::uint64_t next_ = 0;
  bool compressed_ = false;
  bool broken_ = false;
  std::string brokenWhy_;
  std::string lastText_;
  std::string greeting_;
  std::map<std::string, std::string> serverId_;
};

// The MapiError a NO or BAD stands for (by its response code).
HRESULT ErrorOfResponse(const Response& r);

// Whether a NO is a server's "try again later" (the command was not
// carried out): Microsoft's "Request is throttled. Suggested Backoff Time:
// N milliseconds", the response codes UNAVAILABLE, LIMIT, INUSE and
// SERVERBUG. The wait it suggests in seconds, negative when it names
// none; nullopt when the NO is no such thing.
std::optional<double> Busy(const Response& r);

// Base64 of RFC 4648, as SASL wants it.
std::string Base64(std::string_view bytes);
std::string Unbase64(std::string_view text);

}  // namespace tesk::mapi::imap
