// Profiles: one human-editable TOML file per profile in the profile folder.
#pragma once

#include <guiddef.h>

#include <optional>
#include <string>
#include <vector>

namespace tesk::mapi {

struct ProfileStore {
  std::string name;  // display name, as the store file gives it
  std::string file;  // absolute path of the store file
  GUID guid{};
  std::string kind;  // mailbox, archive or public
  bool isDefault = false;
};

struct Profile {
  std::string name;
  bool isDefault = false;
  std::vector<ProfileStore> stores;
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
std::optional<std::string> DefaultProfileName();

}  // namespace tesk::mapi
