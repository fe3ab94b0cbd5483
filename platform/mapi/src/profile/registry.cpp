// The store providers this subsystem knows, and the settings they read from
// a profile's [[store]] tables.
#include <mapiguid.h>

#include <stdexcept>

#include "provider.h"
#include "providers/imap/imap_provider.h"
#include "providers/maildir/maildir_provider.h"
#include "providers/pst/pst_provider.h"
#include "providers/sqlite/sqlite_provider.h"

namespace tesk::mapi {

namespace {

const SettingValue* Find(const StoreSettings& s, const std::string& key, SettingValue::Type type) {
  auto it = s.find(key);
  if (it == s.end()) return nullptr;
  if (it->second.type != type) {
    const char* want = type == SettingValue::Type::String    ? "a string"
                       : type == SettingValue::Type::Integer ? "an integer"
                       : type == SettingValue::Type::List    ? "a list of strings"
                                                             : "true or false";
    throw std::runtime_error("the store key \"" + key + "\" must be " + want);
  }
  return &it->second;
}

}  // namespace

std::optional<std::string> SettingString(const StoreSettings& s, const std::string& key) {
  const SettingValue* v = Find(s, key, SettingValue::Type::String);
  return v ? std::optional<std::string>(v->text) : std::nullopt;
}

std::optional<bool> SettingBool(const StoreSettings& s, const std::string& key) {
  const SettingValue* v = Find(s, key, SettingValue::Type::Boolean);
  return v ? std::optional<bool>(v->text == "true") : std::nullopt;
}

std::optional<std::int64_t> SettingInt(const StoreSettings& s, const std::string& key) {
  const SettingValue* v = Find(s, key, SettingValue::Type::Integer);
  return v ? std::optional<std::int64_t>(std::stoll(v->text)) : std::nullopt;
}

std::optional<std::vector<std::string>> SettingList(const StoreSettings& s, const std::string& key) {
  const SettingValue* v = Find(s, key, SettingValue::Type::List);
  if (!v) return std::nullopt;
  std::vector<std::string> out;
  for (size_t at = 0; at < v->text.size();) {
    const size_t end = v->text.find('\n', at);
    out.push_back(v->text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

std::string ProviderFactory::ProviderUid(const std::string& kind) const {
  const BYTE* uid = kind == "public" ? pbExchangeProviderPublicGuid : TESK_LOCAL_STORE_PROVIDER_UID;
  return std::string(reinterpret_cast<const char*>(uid), 16);
}

StoreIdentity ProviderFactory::Identify(const StoreSettings& settings) const {
  auto store = Open(settings);
  return StoreIdentity{store->Guid(), store->DisplayName(), store->Kind()};
}

std::vector<std::string> ProviderFactory::Check(const StoreSettings& settings) const {
  auto store = Open(settings);
  return {DisplayName() + " at " + Location(settings) + " opens" + (store->Caps().readOnly ? " (read-only)" : "")};
}

std::string ProviderFactory::ErrorText(const std::exception& e, const std::string& /*storeName*/,
                                       const StoreSettings& settings) const {
  if (auto* m = dynamic_cast<const MapiError*>(&e)) return StoreErrorText(*m, Location(settings));
  return e.what();
}

std::string StoreErrorText(const MapiError& e, const std::string& location) {
  switch (e.hr()) {
    case MAPI_E_NOT_FOUND: return location + ": no such store file";
    case MAPI_E_NO_ACCESS: return location + ": permission denied";
    case MAPI_E_VERSION: return location + ": written by a newer version of the store format";
    case MAPI_E_CORRUPT_STORE: return location + ": not a store file, or damaged (" + e.what() + ")";
    case MAPI_E_COLLISION: return e.what();
    default: return location + ": " + e.what();
  }
}

std::string StoreProvider::ProviderUid() {
  const BYTE* uid = Kind() == "public" ? pbExchangeProviderPublicGuid : TESK_LOCAL_STORE_PROVIDER_UID;
  return std::string(reinterpret_cast<const char*>(uid), 16);
}

std::optional<ObjId> StoreProvider::FindSubfolder(ObjId parent, const std::string& name) {
  for (ObjId child : Subfolders(parent)) {
    auto info = GetFolder(child);
    if (info && EqualsNoCase(info->name, name)) return child;
  }
  return std::nullopt;
}

const ProviderFactory* FindProvider(const std::string& name) {
  for (const ProviderFactory* f : Providers())
    if (f->Name() == name) return f;
  return nullptr;
}

std::vector<const ProviderFactory*> Providers() {
  return {&SqliteProviderFactory(), &MaildirProviderFactory(), &ImapProviderFactory(), &PstProviderFactory()};
}

std::uint64_t MessageBytes(const MessageData& m) {
  std::uint64_t n = 0;
  auto add = [&](const PropList& props) {
    for (const auto& p : props) n += 16 + p.b.size();
  };
  add(m.props);
  for (const auto& r : m.recipients) add(r);
  for (const auto& a : m.attachments) add(a);
  return n;
}

}  // namespace tesk::mapi
