#include <mapi/admin.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "core/entryid.h"
#include "profile/profile.h"
#include "provider.h"
#include "providers/imap/imap_provider.h"
#include "providers/maildir/maildir_provider.h"
#include "providers/pst/pst_provider.h"
#include "providers/sqlite/sqlite_provider.h"
#include "transport/oauth2.h"
#include "transport/spooler.h"

#include <mapitags.h>

namespace tesk::mapi::admin {

namespace {

Profile Require(const std::string& name) {
  auto p = LoadProfile(name);
  if (!p) throw std::runtime_error("no profile named \"" + name + "\" in " + mapi::ProfileDirectory());
  return *p;
}

// An authorization's name: letters, digits, - and _.
bool ValidAuthorizationName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  return true;
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

namespace {

// Adds a store of any provider whose identity is known.
void AddToProfile(Profile& p, const StoreIdentity& id, const std::string& provider, StoreSettings settings,
                  const std::string& location, bool makeDefault) {
  for (const auto& s : p.stores) {
    if (s.guid == id.guid) throw std::runtime_error(location + " is already in profile \"" + p.name + "\"");
    if (EqualsNoCase(s.name, id.displayName))
      throw std::runtime_error("profile \"" + p.name + "\" has a store named \"" + s.name + "\" already");
  }
  ProfileStore s;
  s.name = id.displayName;
  s.guid = id.guid;
  s.kind = id.kind;
  s.isDefault = makeDefault || p.stores.empty();
  s.provider = provider;
  s.settings = std::move(settings);
  if (s.isDefault)
    for (auto& other : p.stores) other.isDefault = false;
  p.stores.push_back(std::move(s));
  SaveProfile(p);
}

// A store whose identity an earlier store of the profile has (a copy of it)
// never opens, as in a session.
void RefuseCopy(const Profile& p, const ProfileStore& store) {
  for (const auto& s : p.stores) {
    if (&s == &store) return;
    if (s.guid == store.guid)
      throw std::runtime_error("store \"" + store.name + "\" (" + store.Location() + ") has the identity of store \"" +
                               s.name + "\" (" + s.Location() + "): a copy of a store cannot be in the same profile");
  }
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  return std::filesystem::absolute(path, ec).lexically_normal().string();
}

void CheckDisplayName(const std::string& displayName) {
  if (displayName.empty() || displayName.find('\\') != std::string::npos)
    throw std::runtime_error("a store's display name must not be empty or contain a backslash");
}

StoreKind KindFromName(const std::string& kind) {
  if (kind == "mailbox") return StoreKind::Mailbox;
  if (kind == "archive") return StoreKind::Archive;
  if (kind == "public") return StoreKind::Public;
  throw std::runtime_error("unknown store kind \"" + kind + "\" (mailbox, archive or public)");
}

}  // namespace

void CreateStore(const std::string& file, const std::string& displayName, const std::string& kind) {
  const StoreKind k = KindFromName(kind);
  CheckDisplayName(displayName);
  try {
    CreateStoreFile(file, displayName, k);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, file));
  }
}


void AddStore(const std::string& profile, const std::string& file, bool makeDefault) {
  Profile p = Require(profile);
  const std::string abs = Absolute(file);
  StoreIdentity id;
  try {
    id = ReadStoreIdentity(abs);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, abs));
  }
  AddToProfile(p, id, SqliteProviderFactory().Name(), {{"file", {SettingValue::Type::String, abs}}}, abs, makeDefault);
}

void AddMaildirStore(const std::string& profile, const std::string& dir, const std::string& displayName,
                     const std::string& kind, const std::string& layout, bool create, bool makeDefault) {
  Profile p = Require(profile);
  CheckDisplayName(displayName);
  const StoreKind k = KindFromName(kind);
  MaildirLayout l;
  if (layout == "maildir++")
    l = MaildirLayout::MaildirPlusPlus;
  else if (layout == "fs")
    l = MaildirLayout::Fs;
  else
    throw std::runtime_error("unknown Maildir layout \"" + layout + "\" (maildir++ or fs)");
  const std::string abs = Absolute(dir);
  std::error_code ec;
  if (!create && !std::filesystem::is_directory(abs, ec))
    throw std::runtime_error(abs + ": no such directory (--create makes a new Maildir)");
  const StoreSettings settings{{"path", {SettingValue::Type::String, abs}},
                               {"layout", {SettingValue::Type::String, layout}}};
  StoreIdentity id;
  try {
    try {
      // A Maildir that is a store already keeps its identity and name.
      id = MaildirProviderFactory().Identify(settings);
      if (id.displayName != displayName)
        throw std::runtime_error(abs + " is the store \"" + id.displayName + "\" already");
    } catch (const MapiError& e) {
      if (e.hr() != MAPI_E_NOT_FOUND) throw;
      id = CreateMaildirStore(abs, displayName, k, l, create);
    }
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, abs));
  }
  AddToProfile(p, id, MaildirProviderFactory().Name(), settings, abs, makeDefault);
}

void AddImapStore(const std::string& profile, const ImapAccount& account, bool makeDefault) {
  Profile p = Require(profile);
  CheckDisplayName(account.displayName);
  const StoreKind k = KindFromName(account.kind);
  StoreSettings settings{{"url", {SettingValue::Type::String, account.url}},
                         {"user", {SettingValue::Type::String, account.user}}};
  auto put = [&](const char* key, const std::string& value) {
    if (!value.empty()) settings[key] = {SettingValue::Type::String, value};
  };
  if (!account.passwordFile.empty()) put("password_file", Absolute(account.passwordFile));
  if (!account.tokenFile.empty()) put("oauth2_token_file", Absolute(account.tokenFile));
  if (!account.oauth2.empty()) {
    const auto a = p.oauth2.find(account.oauth2);
    if (a == p.oauth2.end())
      throw std::runtime_error("profile \"" + p.name + "\" has no [oauth2." + account.oauth2 + "] (mapiadmin oauth2 add)");
    put("oauth2", account.oauth2);
    for (const auto& [key, value] : a->second) put(("oauth2." + key).c_str(), value);  // as a loaded profile gives them
  }
  if (!account.caFile.empty()) put("ca_file", Absolute(account.caFile));
  put("tls", account.tls);
  for (const auto& [key, value] : account.keys) {
    const auto described = ImapProviderFactory().Settings();
    auto info = std::find_if(described.begin(), described.end(), [&](const SettingInfo& i) { return i.key == key; });
    if (info == described.end() || key == "state" || settings.count(key))
      throw std::runtime_error("--set takes no key \"" + key + "\" (the other options set the login and the server)");
    SettingValue v{info->type, value};
    if (info->type == SettingValue::Type::Integer &&
        (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos))
      throw std::runtime_error("--set " + key + " takes a whole number, not \"" + value + "\"");
    if (info->type == SettingValue::Type::Boolean && value != "true" && value != "false")
      throw std::runtime_error("--set " + key + " takes true or false, not \"" + value + "\"");
    if (info->type == SettingValue::Type::List) {
      v.text.clear();
      for (size_t at = 0; !value.empty() && at <= value.size();) {
        const size_t comma = std::min(value.find(',', at), value.size());
        v.text += value.substr(at, comma - at) + "\n";
        at = comma + 1;
      }
    }
    settings[key] = v;
  }
  // The state file lives with the profiles, named after the new store.
  const std::string dir = ProfileDirectory() + "/imap";
  std::filesystem::create_directories(dir);
  ::chmod(dir.c_str(), 0700);
  const std::string state = dir + "/" + GuidToString(NewGuid()) + ".sqlite";
  put("state", state);
  for (const auto& s : p.stores)
    if (EqualsNoCase(s.name, account.displayName))
      throw std::runtime_error("profile \"" + p.name + "\" has a store named \"" + s.name + "\" already");
  StoreIdentity id;
  try {
    const ProviderFactory& factory = ImapProviderFactory();
    factory.Validate(settings);
    id = CreateImapState(settings, account.displayName, k);
    if (account.check) factory.Check(settings);
  } catch (const std::exception& e) {
    ::unlink(state.c_str());
    ::unlink((state + "-wal").c_str());
    ::unlink((state + "-shm").c_str());
    throw std::runtime_error(account.user + " at " + account.url + ": " + e.what());
  }
  AddToProfile(p, id, ImapProviderFactory().Name(), settings, account.url, makeDefault);
}

namespace {

// A store of the profile by its display name, and its provider.
struct NamedStore {
  ProfileStore config;
  const ProviderFactory* factory = nullptr;
};

NamedStore FindNamedStore(const std::string& profile, const std::string& displayName) {
  Profile p = Require(profile);
  for (const auto& s : p.stores) {
    if (!EqualsNoCase(s.name, displayName)) continue;
    RefuseCopy(p, s);
    const ProviderFactory* f = FindProvider(s.provider);
    if (!f) throw std::runtime_error("store \"" + s.name + "\" names an unknown provider");
    return {s, f};
  }
  throw std::runtime_error("profile \"" + profile + "\" has no store \"" + displayName + "\"");
}

}  // namespace

std::vector<std::string> CheckStore(const std::string& profile, const std::string& displayName) {
  const auto [s, f] = FindNamedStore(profile, displayName);
  std::vector<std::string> lines;
  try {
    lines = f->Check(s.settings);
  } catch (const std::exception& e) {
    throw std::runtime_error(f->ErrorText(e, s.name, s.settings));
  }
  if (!lines.empty()) lines.front() = s.name + ": " + lines.front();
  return lines;
}

namespace {

// A store of the profile that keeps its own file, opened for its upkeep.
struct Upkeep {
  std::shared_ptr<StoreProvider> store;
  StoreMaintenance* maintenance = nullptr;
  std::string name;
};

Upkeep OpenForUpkeep(const std::string& profile, const std::string& displayName) {
  const auto [s, f] = FindNamedStore(profile, displayName);
  Upkeep u;
  u.name = s.name;
  try {
    u.store = f->Open(s.settings);
  } catch (const std::exception& e) {
    throw std::runtime_error(f->ErrorText(e, s.name, s.settings));
  }
  u.maintenance = u.store->Maintenance();
  if (!u.maintenance)
    throw std::runtime_error("store \"" + s.name + "\" (" + f->DisplayName() +
                             ") keeps no file of its own to check, count or compact");
  return u;
}

}  // namespace

std::vector<std::string> CheckStoreData(const std::string& profile, const std::string& displayName,
                                        const std::function<void(std::uint64_t)>& progress) {
  Upkeep u = OpenForUpkeep(profile, displayName);
  return u.maintenance->Check([&](std::uint64_t done) {
    if (progress) progress(done);
    return true;
  });
}

StoreStatistics StoreStats(const std::string& profile, const std::string& displayName, const std::string& folderPath) {
  Upkeep u = OpenForUpkeep(profile, displayName);
  std::optional<ObjId> folder;
  if (!folderPath.empty()) {
    // Below the top of the store's folders, names separated by backslashes.
    ObjId at = 0;
    const PropList props = u.store->StoreProps();
    if (const Prop* top = FindProp(props, PR_IPM_SUBTREE_ENTRYID))
      if (auto ref = ParseObjectEntryId(top->b.data(), top->b.size())) at = ref->id;
    if (!at) at = u.store->RootFolder();
    std::string rest = folderPath;
    while (!rest.empty()) {
      const auto cut = rest.find('\\');
      const std::string name = rest.substr(0, cut);
      rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
      if (name.empty()) continue;
      auto next = u.store->FindSubfolder(at, name);
      if (!next) throw std::runtime_error("store \"" + u.name + "\" has no folder \"" + folderPath + "\"");
      at = *next;
    }
    folder = at;
  }
  const auto st = u.maintenance->Statistics(folder);
  StoreStatistics out;
  out.folders = st.folders;
  out.snapshots = st.snapshots;
  out.messages = st.messages;
  out.sharedMessages = st.sharedMessages;
  out.logicalBytes = st.logicalBytes;
  out.referencedBytes = st.referencedBytes;
  out.contents = st.contents;
  out.contentBytes = st.contentBytes;
  out.packedBytes = st.packedBytes;
  out.ownBytes = st.ownBytes;
  out.fileBytes = st.fileBytes;
  out.freeBytes = st.freeBytes;
  return out;
}

std::uint64_t CompactStore(const std::string& profile, const std::string& displayName) {
  return OpenForUpkeep(profile, displayName).maintenance->Compact();
}

namespace {

// Whether two paths name one file (by a link, too); paths that do not lead
// to a file are compared as they are written.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return Absolute(a) == Absolute(b);
}

}  // namespace

void AddPstStore(const std::string& profile, const std::string& file, const std::string& displayName,
                 const std::string& kind, bool makeDefault, bool associated) {
  Profile p = Require(profile);
  KindFromName(kind);
  if (!displayName.empty()) CheckDisplayName(displayName);
  const std::string abs = Absolute(file);
  StoreSettings settings{{"file", {SettingValue::Type::String, abs}},
                         {"store_kind", {SettingValue::Type::String, kind}}};
  if (!displayName.empty()) settings["display_name"] = {SettingValue::Type::String, displayName};
  if (!associated) settings["associated"] = {SettingValue::Type::Boolean, "false"};
  StoreIdentity id;
  try {
    id = PstProviderFactory().Identify(settings);
  } catch (const MapiError& e) {
    switch (e.hr()) {
      case MAPI_E_NOT_FOUND: throw std::runtime_error(abs + ": no such file");
      case MAPI_E_NO_ACCESS: throw std::runtime_error(abs + ": permission denied");
      default: throw std::runtime_error(e.what());
    }
  }
  for (const auto& s : p.stores)
    if (s.provider == PstProviderFactory().Name() && SameFile(SettingString(s.settings, "file").value_or(""), abs))
      throw std::runtime_error(abs + " is already in profile \"" + p.name + "\" as \"" + s.name + "\"");
  // Copies of a file keep its record key, and so its identity, also when
  // they go apart: another file of an identity the profile has already
  // becomes a store of its own through an instance the profile keeps.
  if (std::any_of(p.stores.begin(), p.stores.end(), [&](const ProfileStore& s) { return s.guid == id.guid; })) {
    settings["instance"] = {SettingValue::Type::String, GuidToString(NewGuid())};
    try {
      id = PstProviderFactory().Identify(settings);
    } catch (const MapiError& e) {
      throw std::runtime_error(e.what());
    }
  }
  AddToProfile(p, id, PstProviderFactory().Name(), settings, abs, makeDefault);
}

std::vector<StoreSummary> ProfileStores(const std::string& profile) {
  std::vector<StoreSummary> out;
  for (const auto& s : Require(profile).stores) out.push_back({s.name, s.Location(), s.kind, s.isDefault, s.provider});
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
    if (const std::string problem = PasswordFileProblem(password); !problem.empty()) throw std::runtime_error(problem);
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
  RefuseCopy(p, *def);
  OutboxPlace place;
  try {
    const ProviderFactory* factory = FindProvider(def->provider);
    if (!factory) throw MapiError(MAPI_E_NOT_FOUND, "unknown store provider " + def->provider);
    place.store = factory->Open(def->settings);
  } catch (const MapiError& e) {
    throw std::runtime_error(StoreErrorText(e, def->Location()));
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

void SetOAuth2(const std::string& profile, const std::string& name, const std::map<std::string, std::string>& keys) {
  if (!ValidAuthorizationName(name))
    throw std::runtime_error("an authorization's name is made of letters, digits, - and _ (not \"" + name + "\")");
  Profile p = Require(profile);
  std::map<std::string, std::string> clean;
  for (const auto& [k, v] : keys)
    if (!v.empty()) clean[k] = v;
  try {
    oauth2::FromKeys(name, clean);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
  p.oauth2[name] = clean;
  SaveProfile(p);
}

void OAuth2Login(const std::string& profile, const std::string& name, bool browser, const std::string& loginHint,
                 const std::function<void(const std::string&)>& say) {
  const Profile p = Require(profile);
  const auto a = p.oauth2.find(name);
  if (a == p.oauth2.end())
    throw std::runtime_error("profile \"" + profile + "\" has no [oauth2." + name + "] (mapiadmin oauth2 add)");
  oauth2::Settings s;
  try {
    s = oauth2::FromKeys(name, a->second);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
  try {
    if (browser || s.deviceEndpoint.empty()) {
      oauth2::BrowserLogin(s, loginHint, [&](const std::string& url) {
        say("Open this address in a browser on this machine and log in:\n  " + url + "\nWaiting for the answer ...");
      });
    } else {
      oauth2::DeviceLogin(s, [&](const oauth2::DevicePrompt& d) {
        say("Open " + d.verificationUri + " in a browser (on any device) and enter the code " + d.userCode +
            (d.verificationUriComplete.empty() ? "" : "\n  (or open " + d.verificationUriComplete + ")") +
            "\nWaiting for the login ...");
      });
    }
  } catch (const oauth2::Error& e) {
    throw std::runtime_error(std::string("[oauth2.") + name + "]: " + e.what());
  }
  say("Logged in; the refresh token is in " + s.refreshTokenFile);
}

}  // namespace tesk::mapi::admin
