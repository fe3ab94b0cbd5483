// OAuth 2.0 for server mailboxes: access tokens renewed from a refresh token
// (RFC 6749 section 6), the first refresh token got by the device
// authorization grant (RFC 8628) or by the authorization code grant with
// PKCE and a loopback redirect (RFC 7636, RFC 8252).
//
// A profile names authorization profiles as [oauth2.NAME] tables; a store
// points at one with oauth2 = "NAME". The refresh token lives in its own
// file (first line), which only its owner may read, as passwords do. Access
// tokens are kept in memory for the process only, until shortly before they
// expire.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tesk::mapi::oauth2 {

struct Settings {
  std::string name;               // NAME of [oauth2.NAME], for messages
  std::string preset;             // "microsoft365", "google" or empty
  std::string tokenEndpoint;      // https:// (http:// only on this machine)
  std::string deviceEndpoint;     // device authorization endpoint, optional
  std::string authorizeEndpoint;  // authorization endpoint, optional
  std::string clientId;
  std::string clientSecretFile;  // optional: first line is the client secret
  std::string scope;
  std::string refreshTokenFile;  // absolute path
  std::string caFile;            // optional CA bundle for the endpoints
  int timeoutSeconds = 60;
};

// The public endpoints and scopes of the big providers. The client id is the
// user's own registration and never part of a preset.
struct Preset {
  const char* name;
  const char* deviceEndpoint;
  const char* authorizeEndpoint;
  const char* tokenEndpoint;
  const char* scope;
  bool deviceGrant;  // false: the provider does not grant mail scopes that way
};
const std::vector<Preset>& Presets();
const Preset* FindPreset(const std::string& name);

// The keys an [oauth2.NAME] table may hold, in the order a profile writes them.
const std::vector<std::string>& SettingKeys();

// Settings from an [oauth2.NAME] table's keys (strings and one integer,
// timeout); a preset fills the endpoints and scope the table leaves out.
// Throws std::invalid_argument with a sentence naming what is wrong.
Settings FromKeys(const std::string& name, const std::map<std::string, std::string>& keys);

// What went wrong talking to the authorization server.
class Error : public std::runtime_error {
 public:
  enum class Kind {
    Refused,    // the server refused the grant (revoked or expired refresh token, denied login)
    Transient,  // the server could not be reached or answered with a server error: try again later
    Local,      // a file of ours cannot be read or written, bad settings
  };
  Error(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct AccessToken {
  std::string value;
  std::int64_t expiresAt = 0;  // Unix seconds
};

// A valid access token: the cached one while it stays valid for at least
// another minute (unless forceRefresh), else a new one by the refresh grant.
// A refresh token the server rotates is written back to its file atomically
// before the new access token is returned. Thread-safe.
AccessToken GetAccessToken(const Settings& settings, bool forceRefresh = false);

// Forgets the cached access token (a server refused it).
void Forget(const Settings& settings);

// The device authorization grant: asks for a user code, calls show with the
// verification address and the code, polls until the user has approved or
// denied it or the code expired, and writes the refresh token file.
struct DevicePrompt {
  std::string verificationUri;
  std::string verificationUriComplete;
  std::string userCode;
  int expiresIn = 0;
};
void DeviceLogin(const Settings& settings, const std::function<void(const DevicePrompt&)>& show);

// The authorization code grant with PKCE: listens on a loopback port, calls
// show with the address the user opens in a browser, waits (at most
// waitSeconds) for the browser to come back with the code, exchanges it and
// writes the refresh token file.
void BrowserLogin(const Settings& settings, const std::string& loginHint,
                  const std::function<void(const std::string& url)>& show, int waitSeconds = 300);

// Writes text as the first line of path atomically, readable by its owner
// only (a temporary file in the same folder, fsync, rename).
void WriteSecretFile(const std::string& path, const std::string& text);

}  // namespace tesk::mapi::oauth2
