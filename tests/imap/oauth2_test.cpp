// OAuth 2.0 tokens against the tests' own authorization server on loopback
// (tests/imapservers/oauthserver.py): refresh, rotation written back,
// revocation, the device grant and the browser grant with PKCE.
#include "transport/oauth2.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "imap_accounts.h"

namespace {

namespace oauth2 = tesk::mapi::oauth2;
using imap_test::LastJsonLine;
using imap_test::Python;
using testing_support::Quote;
using testing_support::TempDir;

// One authorization server for a test, stopped at its end.
class AuthServer {
 public:
  explicit AuthServer(const std::string& options = "") {
    int rc = 0;
    const std::string out = Python("oauthserver.py", "start --state-dir " + Quote(dir_.path()) + " " + options, &rc);
    EXPECT_EQ(rc, 0) << out;
    if (rc == 0) url_ = LastJsonLine(out)["url"].get<std::string>();
  }
  ~AuthServer() { Python("oauthserver.py", "stop --state-dir " + Quote(dir_.path())); }
  const std::string& url() const { return url_; }

  // A test-only call: POSTs the form and returns the JSON answer.
  nlohmann::json Call(const std::string& path, const std::string& form = "") const {
    std::string out;
    testing_support::RunCommand(
        "python3 -c " +
            Quote("import sys,urllib.request;sys.stdout.write(urllib.request.urlopen(sys.argv[1],sys.argv[2].encode())"
                  ".read().decode())") +
            " " + Quote(url_ + path) + " " + Quote(form),
        &out);
    return nlohmann::json::parse(out, nullptr, false);
  }
  nlohmann::json Stats() const {
    std::string out;
    testing_support::RunCommand(
        "python3 -c " + Quote("import sys,urllib.request;sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())") +
            " " + Quote(url_ + "/test/stats"),
        &out);
    return nlohmann::json::parse(out, nullptr, false);
  }
  bool Active(const std::string& accessToken) const { return Call("/introspect", "token=" + accessToken)["active"] == true; }

 private:
  TempDir dir_;
  std::string url_;
};

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

oauth2::Settings SettingsFor(const AuthServer& server, const std::string& tokenFile) {
  return oauth2::FromKeys("test", {{"token_endpoint", server.url() + "/token"},
                                   {"device_endpoint", server.url() + "/device"},
                                   {"authorize_endpoint", server.url() + "/authorize"},
                                   {"client_id", "tesk-test-client"},
                                   {"scope", "mail offline_access"},
                                   {"refresh_token_file", tokenFile}});
}

TEST(OAuth2, RefreshCachesRenewsAndWritesARotatedTokenBack) {
  AuthServer server("--rotate");
  TempDir dir;
  const std::string file = dir / "refresh";
  const std::string first = server.Call("/test/grant", "user=alice")["refresh_token"].get<std::string>();
  oauth2::WriteSecretFile(file, first);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const oauth2::Settings s = SettingsFor(server, file);
  const oauth2::AccessToken a = oauth2::GetAccessToken(s);
  EXPECT_TRUE(server.Active(a.value));
  const std::string rotated = ReadLine(file);
  EXPECT_NE(rotated, first) << "the rotated refresh token must replace the old one";
  EXPECT_EQ(oauth2::GetAccessToken(s).value, a.value) << "a valid access token is reused";

  // The server lets every access token expire: a forced renewal gets a new one
  // with the written-back refresh token, which the server rotates again.
  server.Call("/test/expire");
  EXPECT_FALSE(server.Active(a.value));
  const oauth2::AccessToken b = oauth2::GetAccessToken(s, true);
  EXPECT_NE(b.value, a.value);
  EXPECT_TRUE(server.Active(b.value));
  EXPECT_NE(ReadLine(file), rotated);
  EXPECT_EQ(server.Stats()["refresh"], 2);
}

TEST(OAuth2, ARevokedRefreshTokenIsRefusedAndTheFileStays) {
  AuthServer server;
  TempDir dir;
  const std::string file = dir / "refresh";
  const std::string token = server.Call("/test/grant", "user=bob")["refresh_token"].get<std::string>();
  oauth2::WriteSecretFile(file, token);
  server.Call("/test/revoke", "refresh_token=" + token);
  try {
    oauth2::GetAccessToken(SettingsFor(server, file), true);
    FAIL() << "a revoked token was accepted";
  } catch (const oauth2::Error& e) {
    EXPECT_EQ(e.kind(), oauth2::Error::Kind::Refused);
    EXPECT_NE(std::string(e.what()).find("mapiadmin oauth2 login PROFILE test"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadLine(file), token);
}

TEST(OAuth2, BadSettingsAndFilesOthersMayReadAreRefusedBeforeAnyRequest) {
  AuthServer server;
  TempDir dir;
  const std::string file = dir / "refresh";
  EXPECT_THROW(oauth2::FromKeys("x", {{"client_id", "c"}, {"refresh_token_file", file}}), std::invalid_argument);
  EXPECT_THROW(oauth2::FromKeys("x", {{"token_endpoint", "http://example.org/token"},
                                      {"client_id", "c"},
                                      {"refresh_token_file", file}}),
               std::invalid_argument)
      << "plain HTTP to another machine";
  EXPECT_THROW(oauth2::FromKeys("x", {{"preset", "yahoo"}, {"client_id", "c"}, {"refresh_token_file", file}}),
               std::invalid_argument);
  EXPECT_THROW(oauth2::FromKeys("x", {{"preset", "google"}, {"client_id", "c"}, {"refresh_token_file", "rel"}}),
               std::invalid_argument);
  const oauth2::Settings google =
      oauth2::FromKeys("g", {{"preset", "google"}, {"client_id", "c"}, {"refresh_token_file", file}});
  EXPECT_EQ(google.scope, "https://mail.google.com/");
  EXPECT_TRUE(google.deviceEndpoint.empty());

  oauth2::WriteSecretFile(file, server.Call("/test/grant", "user=alice")["refresh_token"].get<std::string>());
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  try {
    oauth2::GetAccessToken(SettingsFor(server, file), true);
    FAIL();
  } catch (const oauth2::Error& e) {
    EXPECT_EQ(e.kind(), oauth2::Error::Kind::Local);
    EXPECT_NE(std::string(e.what()).find("chmod 600"), std::string::npos) << e.what();
  }
  EXPECT_EQ(server.Stats()["refresh"], 0);
}

TEST(OAuth2, AServerThatCannotBeReachedIsTransient) {
  TempDir dir;
  const std::string file = dir / "refresh";
  oauth2::WriteSecretFile(file, "rt-x");
  // Port 1 of this machine: nothing listens there.
  const oauth2::Settings s = oauth2::FromKeys(
      "t", {{"token_endpoint", "http://127.0.0.1:1/token"}, {"client_id", "c"}, {"refresh_token_file", file}});
  try {
    oauth2::GetAccessToken(s, true);
    FAIL();
  } catch (const oauth2::Error& e) {
    EXPECT_EQ(e.kind(), oauth2::Error::Kind::Transient) << e.what();
  }
}

TEST(OAuth2, TheDeviceGrantWaitsForTheUsersApproval) {
  AuthServer server;
  TempDir dir;
  const std::string file = dir / "refresh";
  const oauth2::Settings s = SettingsFor(server, file);
  std::thread approver;
  oauth2::DevicePrompt seen;
  oauth2::DeviceLogin(s, [&](const oauth2::DevicePrompt& p) {
    seen = p;
    approver = std::thread([&server, code = p.userCode] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the user takes a moment
      server.Call("/test/approve", "user=alice&user_code=" + code);
    });
  });
  approver.join();
  EXPECT_NE(seen.verificationUri.find("/verify"), std::string::npos);
  EXPECT_FALSE(seen.userCode.empty());
  const std::string refresh = ReadLine(file);
  EXPECT_EQ(refresh.rfind("rt-", 0), 0u);
  EXPECT_TRUE(server.Active(oauth2::GetAccessToken(s).value));
  EXPECT_EQ(server.Stats()["slow_down"], 0) << "polled faster than the server's interval";

  // A denied login ends with an error and writes nothing.
  const std::string other = dir / "other";
  std::thread denier;
  try {
    oauth2::DeviceLogin(SettingsFor(server, other), [&](const oauth2::DevicePrompt& p) {
      denier = std::thread([&server, code = p.userCode] { server.Call("/test/deny", "user_code=" + code); });
    });
    FAIL();
  } catch (const oauth2::Error& e) {
    EXPECT_EQ(e.kind(), oauth2::Error::Kind::Refused);
  }
  denier.join();
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST(OAuth2, TheBrowserGrantTakesTheCodeOnALoopbackPort) {
  AuthServer server;
  TempDir dir;
  const std::string file = dir / "refresh";
  const oauth2::Settings s = SettingsFor(server, file);
  std::thread browser;
  std::string shown;
  oauth2::BrowserLogin(
      s, "bob",
      [&](const std::string& url) {
        shown = url;
        // The browser: the authorization server sends it back to our port.
        browser = std::thread([url] {
          testing_support::RunCommand("python3 -c " +
                                      Quote("import sys,urllib.request;urllib.request.urlopen(sys.argv[1]).read()") + " " +
                                      Quote(url));
        });
      },
      30);
  browser.join();
  EXPECT_NE(shown.find("code_challenge_method=S256"), std::string::npos) << shown;
  EXPECT_NE(shown.find("login_hint=bob"), std::string::npos) << shown;
  const nlohmann::json info = server.Call("/introspect", "token=" + oauth2::GetAccessToken(s).value);
  EXPECT_EQ(info["username"], "bob");
  EXPECT_EQ(server.Stats()["authorization_code"], 1);
}

// A Dovecot that checks bearer tokens with the authorization server: stores
// that name an authorization log in with tokens they renew themselves.
class OAuth2Accounts : public ::testing::Test, public imap_test::Accounts {
 protected:
  void SetUp() override {
    ASSERT_FALSE(auth_.url().empty());
    imap_.Start("dovecot", false, "tesk", "--oauth2 " + Quote(auth_.url()));
    ASSERT_TRUE(imap_.up) << imap_.why;
    server_ = &imap_;
    tokenFile_ = profile.dir / "refresh";
    tesk::mapi::admin::SetOAuth2("Test", "work",
                                 {{"token_endpoint", auth_.url() + "/token"},
                                  {"client_id", "tesk-test-client"},
                                  {"scope", "mail"},
                                  {"refresh_token_file", tokenFile_}});
  }
  void TearDown() override { imap_.Stop(); }
  void AddOAuthAccount(const std::string& display, const std::string& user) {
    oauth2::WriteSecretFile(tokenFile_, auth_.Call("/test/grant", "user=" + user)["refresh_token"].get<std::string>());
    tesk::mapi::admin::ImapAccount a;
    a.url = "imap://127.0.0.1:" + std::to_string(imap_.Port());
    a.displayName = display;
    a.user = user;
    a.oauth2 = "work";
    a.tls = "none";
    tesk::mapi::admin::AddImapStore("Test", a, false);
  }

  AuthServer auth_{"--rotate"};
  imap_test::Server imap_;
  std::string tokenFile_;
};

TEST_F(OAuth2Accounts, ASaveRenewsAnExpiredTokenAndARevokedOneFailsWithNothingWritten) {
  Seed("u1", 12);
  AddOAuthAccount("Work Mail", "u1");
  const std::string profileText = [&] {
    std::ifstream in(tesk::mapi::admin::ProfileDirectory() + "/Test.toml");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  EXPECT_NE(profileText.find("[oauth2.work]"), std::string::npos) << profileText;
  EXPECT_EQ(profileText.find("oauth2.token_endpoint"), std::string::npos) << "the authorization's keys belong to its table";

  // Every access token handed out so far has run out: the run gets a new one
  // (and the server's rotated refresh token is kept for the next run).
  auth_.Call("/test/expire");
  const std::string before = ReadLine(tokenFile_);
  const imap_test::ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  EXPECT_NE(ReadLine(tokenFile_), before);
  EXPECT_GE(auth_.Stats()["refresh"].get<int>(), 1);
  const nlohmann::json tree = nlohmann::json::parse(testing_support::Mapiadmin("tree Test " +
                                                                               Quote("Archive\\" + SavedName(save)) + " --json"));
  int messages = 0;
  std::function<void(const nlohmann::json&)> count = [&](const nlohmann::json& f) {
    messages += f.value("messages", 0);
    for (const auto& c : f["folders"]) count(c);
  };
  count(tree);
  EXPECT_EQ(messages, 12) << tree.dump(1);
  // The snapshot holds what the account holds, message by message.
  std::string verified;
  EXPECT_EQ(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " verify Test \"Work Mail\" " +
                                            Quote("Archive\\" + SavedName(save)) + " 2>&1",
                                        &verified),
            0)
      << verified;
  EXPECT_NE(verified.find(" 12 messages compared: no differences"), std::string::npos) << verified;

  // The user revoked the application: the run fails at the login, says how
  // to log in again, and writes no snapshot.
  auth_.Call("/test/revoke", "refresh_token=" + ReadLine(tokenFile_));
  auth_.Call("/test/expire");
  const std::string archiveBefore = testing_support::Mapiadmin("tree Test Archive --json");
  const imap_test::ProgramRun failed = Save("\"\" \"Work Mail\" Archive");
  EXPECT_NE(failed.rc, 0) << restore_test::Describe(failed);
  EXPECT_TRUE(std::any_of(failed.lines.begin(), failed.lines.end(),
                          [](const std::string& l) { return l.rfind("ERROR", 0) == 0; }))
      << restore_test::Describe(failed);
  EXPECT_NE(failed.log.find("mapiadmin oauth2 login PROFILE work"), std::string::npos) << restore_test::Describe(failed);
  EXPECT_EQ(testing_support::Mapiadmin("tree Test Archive --json"), archiveBefore);
}

TEST(OAuth2Admin, AddAndLoginByDeviceCodeThroughMapiadmin) {
  AuthServer server;
  testing_support::ProfileFixture profile;
  const std::string admin = std::string(MAPIADMIN_PATH);
  std::string out;
  ASSERT_EQ(testing_support::RunCommand(admin + " oauth2 add Test work --client-id tesk-test-client --token-endpoint " +
                                            Quote(server.url() + "/token") + " --device-endpoint " +
                                            Quote(server.url() + "/device") + " --scope mail 2>&1",
                                        &out),
            0)
      << out;
  EXPECT_NE(out.find("mapiadmin oauth2 login Test work"), std::string::npos) << out;
  // Plain HTTP to another machine, and a preset nobody knows, are refused.
  EXPECT_NE(testing_support::RunCommand(admin + " oauth2 add Test x --client-id c --token-endpoint http://example.org/t 2>&1", &out), 0);
  EXPECT_NE(out.find("https://"), std::string::npos) << out;
  EXPECT_NE(testing_support::RunCommand(admin + " oauth2 add Test x --client-id c --preset yahoo 2>&1", &out), 0);

  // The user reads the code from the terminal and approves it elsewhere.
  const std::string log = profile.dir / "login.out";
  const std::string script =
      admin + " oauth2 login Test work > " + Quote(log) + " 2>&1 & pid=$!; code=; for i in $(seq 100); do " +
      "code=$(sed -n 's/.*enter the code \\([A-Z0-9-]*\\).*/\\1/p' " + Quote(log) + "); [ -n \"$code\" ] && break; sleep 0.1; done; " +
      "python3 -c 'import sys,urllib.request;urllib.request.urlopen(sys.argv[1],sys.argv[2].encode()).read()' " +
      Quote(server.url() + "/test/approve") + " \"user=alice&user_code=$code\"; wait $pid";
  ASSERT_EQ(testing_support::RunCommand("sh -c " + Quote(script)), 0);
  std::ifstream in(log);
  const std::string said((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(said.find("Logged in; the refresh token is in " + tesk::mapi::admin::ProfileDirectory() + "/oauth2/Test-work.token"),
            std::string::npos)
      << said;
  struct stat st {};
  ASSERT_EQ(::stat((tesk::mapi::admin::ProfileDirectory() + "/oauth2/Test-work.token").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(server.Stats()["device"], 1);
}

}  // namespace
