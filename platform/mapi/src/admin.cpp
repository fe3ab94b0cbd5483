#include <mapi/admin.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "entryid.h"
#include "profile.h"
#include "provider.h"

namespace tesk::mapi::admin {

namespace {

Profile Require(const std::string& name) {
  auto p = LoadProfile(name);
  if (!p) throw std::runtime_error("no profile named \"" + name + "\" in " + mapi::ProfileDirectory());
  return *p;
}

std::string StoreErrorText(const MapiError& e, const std::string& file) {
  switch (e.hr()) {
    case MAPI_E_NOT_FOUND: return file + ": no such store file";
    case MAPI_E_NO_ACCESS: return file + ": permission denied";
    case MAPI_E_VERSION: return file + ": written by a newer version of the store format";
    case MAPI_E_CORRUPT_STORE: return file + ": not a store file, or damaged (" + e.what() + ")";
    case MAPI_E_COLLISION: return e.what();
    default: return file + ": " + e.what();
  }
}

}  // namespace

std::string ProfileDirectory() { return mapi::ProfileDirectory(); }

void CreateProfile(const std::string& name, bool makeDefault) {
  if (!ValidProfileName(name)) throw std::runtime_error("invalid profile name \"" + name + "\"");
  if (LoadProfile(name)) throw std::runtime_error("a profile named \"" + name + "\" exists already");
  Profile p;
  p.name = name;
  const bool first = ProfileNames().empty();
  SaveProfile(p);
  if (makeDefault || first) SetDefaultProfile(name);
}

std::vector<ProfileSummary> ListProfiles() {
  std::vector<ProfileSummary> out;
  for (const auto& name : ProfileNames()) {
    auto p = LoadProfile(name);
    if (p) out.push_back({p->name, p->isDefault, p->stores.size()});
  }
  return out;
}

void SetDefaultProfile(const std::string& name) {
  Profile target = Require(name);
  for (const auto& other : ProfileNames()) {
    if (other == name) continue;
    auto p = LoadProfile(other);
    if (p && p->isDefault) {
      p->isDefault = false;
      SaveProfile(*p);
    }
  }
  target.isDefault = true;
  SaveProfile(target);
}

void DeleteProfile(const std::string& name) {
  Require(name);
  if (::unlink(ProfilePath(name).c_str()) != 0) throw std::runtime_error("cannot delete profile \"" + name + "\"");
}

void CreateStore(const std::string& file, const std::string& displayName, const std::string& kind) {
  StoreKind k;
  if (kind == "mailbox")
    k = StoreKind::Mailbox;
  else if (kind == "archive")
    k = StoreKind::Archive;
  else if (kind == "public")
    k = StoreKind::Public;
  else
    throw std::runtime_error("unknown store kind \"" + kind + "\" (mailbox, archive or public)");
  if (displayName.empty() || displayName.find('\\') != std::string::npos)
    throw std::runtime_error("a store's display name must not be empty or contain a backslash");
  try {
    CreateStoreFile(file, displayName, k);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, file));
  }
}

void AddStore(const std::string& profile, const std::string& file, bool makeDefault) {
  Profile p = Require(profile);
  std::error_code ec;
  const std::string abs = std::filesystem::absolute(file, ec).lexically_normal().string();
  StoreIdentity id;
  try {
    id = ReadStoreIdentity(abs);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, abs));
  }
  for (const auto& s : p.stores) {
    if (s.guid == id.guid) throw std::runtime_error(abs + " is already in profile \"" + profile + "\"");
  }
  ProfileStore s{id.displayName, abs, id.guid, id.kind, makeDefault || p.stores.empty()};
  if (s.isDefault)
    for (auto& other : p.stores) other.isDefault = false;
  p.stores.push_back(std::move(s));
  SaveProfile(p);
}

std::vector<StoreSummary> ProfileStores(const std::string& profile) {
  std::vector<StoreSummary> out;
  for (const auto& s : Require(profile).stores) out.push_back({s.name, s.file, s.kind, s.isDefault});
  return out;
}

void RemoveStore(const std::string& profile, const std::string& displayName) {
  Profile p = Require(profile);
  auto it = std::find_if(p.stores.begin(), p.stores.end(), [&](const ProfileStore& s) { return s.name == displayName; });
  if (it == p.stores.end())
    throw std::runtime_error("profile \"" + profile + "\" has no store named \"" + displayName + "\"");
  p.stores.erase(it);
  SaveProfile(p);
}

}  // namespace tesk::mapi::admin
