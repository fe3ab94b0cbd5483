#include <mapi/admin.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "entryid.h"
#include "profile.h"
#include "provider.h"
#include "spooler.h"

#include <mapitags.h>

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

void SetTransport(const std::string& profile, const std::string& smtpUrl, const std::string& from,
                  const std::string& user, const std::string& passwordFile, bool startTls) {
  Profile p = Require(profile);
  if (smtpUrl.rfind("smtp://", 0) != 0 && smtpUrl.rfind("smtps://", 0) != 0)
    throw std::runtime_error("the transport URL must begin with smtp:// or smtps://");
  if (!SafeAddressText(from)) throw std::runtime_error("\"" + from + "\" is no mail address");
  std::string password;
  if (!passwordFile.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(passwordFile, ec))
      throw std::runtime_error("no password file " + passwordFile);
    password = std::filesystem::absolute(passwordFile, ec).string();
  }
  p.transport = ProfileTransport{smtpUrl, from, user, password, startTls};
  SaveProfile(p);
}

namespace {

// The default store of a profile and its Outbox folder.
struct OutboxPlace {
  std::shared_ptr<StoreProvider> store;
  ObjId folder = 0;
};

OutboxPlace OpenOutbox(const Profile& p) {
  const ProfileStore* def = nullptr;
  for (const auto& s : p.stores)
    if (s.isDefault) def = &s;
  if (!def) throw std::runtime_error("profile \"" + p.name + "\" has no default store");
  OutboxPlace place;
  try {
    place.store = OpenStoreFile(def->file);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, def->file));
  }
  const PropList storeProps = place.store->StoreProps();
  const Prop* outbox = FindProp(storeProps, PROP_ID(PR_IPM_OUTBOX_ENTRYID));
  auto ref = outbox ? ParseObjectEntryId(outbox->b.data(), outbox->b.size()) : std::nullopt;
  if (!ref || !place.store->GetFolder(ref->id)) throw std::runtime_error("the default store has no Outbox");
  place.folder = ref->id;
  return place;
}

}  // namespace

std::vector<OutboxMessage> Outbox(const std::string& profile) {
  const Profile p = Require(profile);
  OutboxPlace place = OpenOutbox(p);
  std::vector<OutboxMessage> out;
  for (ObjId id : place.store->Messages(place.folder, false)) {
    MessageData m = place.store->LoadMessage(id);
    OutboxMessage entry;
    if (const Prop* s = FindProp(m.props, PROP_ID(PR_SUBJECT))) entry.subject = ConvertTo(*s, PT_STRING8)->b;
    const Prop* f = FindProp(m.props, PROP_ID(PR_MESSAGE_FLAGS));
    entry.submitted = f && (f->i & MSGFLAG_SUBMIT);
    for (const auto& r : m.recipients) {
      std::string name, type, address;
      const Prop* e = FindProp(r, PROP_ID(PR_ENTRYID));
      if (e && ParseOneOff(e->b, &name, &type, &address)) {
        if (!entry.recipients.empty()) entry.recipients += ", ";
        entry.recipients += address;
      }
    }
    out.push_back(std::move(entry));
  }
  return out;
}

size_t SendOutbox(const std::string& profile, std::vector<std::string>& failures) {
  const Profile p = Require(profile);
  if (!p.transport) throw std::runtime_error("profile \"" + profile + "\" has no transport (see mapiadmin transport)");
  const TransportSettings transport = LoadTransport(*p.transport);
  OutboxPlace place = OpenOutbox(p);
  size_t sent = 0;
  for (ObjId id : place.store->Messages(place.folder, false)) {
    const PropList props = place.store->MessageProps(id);
    const Prop* f = FindProp(props, PROP_ID(PR_MESSAGE_FLAGS));
    if (!f || !(f->i & MSGFLAG_SUBMIT)) continue;
    std::string error;
    HRESULT hr = DeliverSubmitted(*place.store, id, transport, &error);
    if (SUCCEEDED(hr)) {
      ++sent;
    } else {
      const Prop* s = FindProp(props, PROP_ID(PR_SUBJECT));
      failures.push_back("\"" + (s ? ConvertTo(*s, PT_STRING8)->b : std::string()) + "\": " +
                         (error.empty() ? "cannot be delivered" : error));
    }
  }
  return sent;
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
