#include "oauth2_cmd.h"

#include <mapi/admin.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace mapiadmin {

namespace admin = tesk::mapi::admin;

namespace {

struct Options {
  std::string profile, name, preset, clientId, clientSecretFile, tokenEndpoint, deviceEndpoint, authorizeEndpoint, scope,
      refreshTokenFile, caFile, loginHint;
  int timeout = 0;
  bool browser = false;
};

std::string Absolute(const std::string& path) {
  return path.empty() ? path : std::filesystem::absolute(path).lexically_normal().string();
}

}  // namespace

std::function<std::optional<int>()> AddOAuth2Commands(CLI::App& app) {
  auto o = std::make_shared<Options>();
  auto* cmd = app.add_subcommand("oauth2", "OAuth 2.0 authorizations for stores that log in without a password");
  cmd->require_subcommand(1);
  auto* add = cmd->add_subcommand("add", "Add (or replace) an authorization [oauth2.NAME] in a profile");
  add->add_option("PROFILE", o->profile, "profile name")->required();
  add->add_option("NAME", o->name, "the authorization's name (stores say oauth2 = \"NAME\")")->required();
  add->add_option("--preset", o->preset, "the provider's endpoints and scope")
      ->check(CLI::IsMember({"microsoft365", "google"}));
  add->add_option("--client-id", o->clientId, "your application's registration at the provider")->required();
  add->add_option("--client-secret-file", o->clientSecretFile, "file whose first line is the client secret (mode 600)");
  add->add_option("--token-endpoint", o->tokenEndpoint, "token endpoint (https://...), unless a preset gives it");
  add->add_option("--device-endpoint", o->deviceEndpoint, "device authorization endpoint");
  add->add_option("--authorize-endpoint", o->authorizeEndpoint, "authorization endpoint (browser login)");
  add->add_option("--scope", o->scope, "the scopes asked for, unless a preset gives them");
  add->add_option("--refresh-token-file", o->refreshTokenFile,
                  "where the refresh token is kept (default: oauth2/PROFILE-NAME.token in the profile folder)");
  add->add_option("--ca-file", o->caFile, "trusted certificates (PEM) for the endpoints");
  add->add_option("--timeout", o->timeout, "seconds a request to the endpoints may take")->check(CLI::Range(1, 3600));
  auto* login = cmd->add_subcommand("login", "Log in once and keep the refresh token (device code or browser)");
  login->add_option("PROFILE", o->profile, "profile name")->required();
  login->add_option("NAME", o->name, "the authorization's name")->required();
  login->add_flag("--browser", o->browser, "log in with a browser on this machine (authorization code, PKCE)");
  login->add_option("--login-hint", o->loginHint, "the account to log in as, for the provider's login page");

  return [o, add, login]() -> std::optional<int> {
    if (add->parsed()) {
      std::string tokenFile = Absolute(o->refreshTokenFile);
      if (tokenFile.empty()) {
        const std::string dir = admin::ProfileDirectory() + "/oauth2";
        std::filesystem::create_directories(dir);
        ::chmod(dir.c_str(), 0700);
        tokenFile = dir + "/" + o->profile + "-" + o->name + ".token";
      }
      std::map<std::string, std::string> keys = {{"preset", o->preset},
                                                 {"client_id", o->clientId},
                                                 {"client_secret_file", Absolute(o->clientSecretFile)},
                                                 {"token_endpoint", o->tokenEndpoint},
                                                 {"device_endpoint", o->deviceEndpoint},
                                                 {"authorize_endpoint", o->authorizeEndpoint},
                                                 {"scope", o->scope},
                                                 {"refresh_token_file", tokenFile},
                                                 {"ca_file", Absolute(o->caFile)}};
      if (o->timeout) keys["timeout"] = std::to_string(o->timeout);
      admin::SetOAuth2(o->profile, o->name, keys);
      std::cout << "Added [oauth2." << o->name << "]; log in once with: mapiadmin oauth2 login " << o->profile << " "
                << o->name << "\n";
      return 0;
    }
    if (login->parsed()) {
      admin::OAuth2Login(o->profile, o->name, o->browser, o->loginHint,
                         [](const std::string& text) { std::cout << text << std::endl; });
      return 0;
    }
    return std::nullopt;
  };
}

}  // namespace mapiadmin
