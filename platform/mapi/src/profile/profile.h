// Profiles: one human-editable TOML file per profile in the profile folder.
#pragma once

#include <guiddef.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "provider.h"

namespace tesk::mapi {

struct ProfileStore {
  std::string name;  // display name, as the store gives it
  GUID guid{};
  std::string kind;  // mailbox, archive or public
  bool isDefault = false;
  std::string provider = "sqlite";  // the provider that opens it (FindProvider)
  StoreSettings settings;           // the provider's own keys (sqlite: file; maildir: path, layout)
  // Where the store lives, for messages to the user.
  std::string Location() const;
};

// How the profile sends mail.
struct ProfileTransport {
  std::string smtp;          // smtp://host:port or smtps://host:port
  std::string from;          // sender address
  std::string user;          // optional login
  std::string passwordFile;  // file whose first line is the password
  bool startTls = false;
};

struct Profile {
  std::string name;
  bool isDefault = false;
  std::vector<ProfileStore> stores;
  std::optional<ProfileTransport> transport;
  // Authorization profiles, [oauth2.NAME] tables: NAME -> key -> value. A
  // store that says oauth2 = "NAME" gets that table's keys among its
  // settings as "oauth2.KEY" when the profile is loaded (never saved so).
  std::map<std::string, std::map<std::string, std::string>> oauth2;
};

// $MAPI_CONFIG_DIR, else ${XDG_CONFIG_HOME:-$HOME/.config}/mapi.
std::string ProfileDirectory();
std::string ProfilePath(const std::string& name);
bool ValidProfileName(const std::string& name);
std::vector<std::string> ProfileNames();
// nullopt when there is no such profile; throws std::runtime_error when the
// file cannot be read or parsed.
std::optional<Profile> LoadProfile(const std::string& name);
void SaveProfile(const Profile& profile);  // written atomically, owner-only
// The profile whose file says default = true. Files that cannot be read
// (not TOML) cannot say it: with unreadable, the reason for each is added.
std::optional<std::string> DefaultProfileName(std::vector<std::string>* unreadable = nullptr);

// Why the calling thread's last MAPILogonEx failed (MAPIGetLogonError); the
// logon sets it, empty when it succeeded.
void SetLogonError(std::string text);
const std::string& LogonError();

struct TransportSettings;
// The settings a session sends with (the password read from its file).
TransportSettings LoadTransport(const ProfileTransport& transport);
// Why a password file must not be used (others may read it), or nothing.
std::string PasswordFileProblem(const std::string& file);

}  // namespace tesk::mapi
