// Authorization profiles of a profile: adding one, and the first login.
#include <mapi/admin.h>

#include <stdexcept>

#include "profile.h"
#include "transport/oauth2.h"

namespace tesk::mapi::admin {

namespace {

Profile Require(const std::string& name) {
  auto p = LoadProfile(name);
  if (!p) throw std::runtime_error("no profile named \"" + name + "\" in " + mapi::ProfileDirectory());
  return *p;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  return true;
}

}  // namespace

void SetOAuth2(const std::string& profile, const std::string& name, const std::map<std::string, std::string>& keys) {
  if (!ValidName(name))
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
