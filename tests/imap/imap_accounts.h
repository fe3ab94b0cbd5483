// Helpers of the tests against real IMAP servers on loopback: a server of
// the test process's own (tests/imapservers/imapserver.py), accounts added
// to a profile, corpora seeded into them, listings of what they hold, and
// runs of the programs.
#pragma once

#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "profile/profile.h"

#include "fixture.h"
#include "restore_test_util.h"

namespace imap_test {

namespace fs = std::filesystem;
using restore_test::ProgramRun;
using testing_support::Quote;
using testing_support::RunCommand;

inline std::string Python(const std::string& script, const std::string& args, int* rc = nullptr) {
  std::string out;
  const int r = RunCommand("python3 " + Quote(std::string(IMAP_SERVERS_DIR) + "/" + script) + " " + args + " 2>&1", &out);
  if (rc) *rc = r;
  return out;
}

inline nlohmann::json LastJsonLine(const std::string& out) {
  const size_t at = out.rfind("\n{");
  return nlohmann::json::parse(at == std::string::npos ? out : out.substr(at + 1));
}

// One server, with accounts u1 ... u12 (password "pwN" for uN).
struct Server {
  std::string kind, config;
  fs::path dir;
  nlohmann::json info;
  bool up = false;
  std::string why;

  void Start(const std::string& k, bool tls, const std::string& c = "tesk", const std::string& extra = "") {
    kind = k;
    config = c;
    dir = fs::temp_directory_path() / ("tesk-imap-" + k + "-" + c + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    std::string users;
    for (int i = 1; i <= 12; ++i) users += (i > 1 ? "," : "") + std::string("u") + std::to_string(i) + ":pw" + std::to_string(i);
    int rc = 0;
    const std::string out = Python("imapserver.py", "start --kind " + k + " --config " + c + " --dir " + Quote(dir.string()) +
                                                        (tls ? " --tls" : "") + " --users " + users + " " + extra,
                                   &rc);
    if (rc != 0) {
      why = out;
      return;
    }
    info = LastJsonLine(out);
    up = true;
  }
  void Stop() {
    if (!dir.empty()) Python("imapserver.py", "stop --dir " + Quote(dir.string()));
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  int Port() const { return info["port"].get<int>(); }
  std::string Json() const { return (dir / "server.json").string(); }
  std::string Delimiter() const { return info["delimiter"].get<std::string>(); }
};

// What the tests do with accounts of one server, in the profile "Test".
class Accounts {
 public:
  // A password file only its owner may read.
  std::string PasswordFile(const std::string& password) {
    const std::string path = profile.dir / ("pw" + std::to_string(++files_));
    std::ofstream(path) << password << "\n";
    ::chmod(path.c_str(), 0600);
    return path;
  }
  void AddAccount(const std::string& display, const std::string& user, int port, const std::string& kind = "mailbox",
                  const std::string& password = "") {
    tesk::mapi::admin::ImapAccount a;
    a.url = "imap://127.0.0.1:" + std::to_string(port);
    a.displayName = display;
    a.user = user;
    a.passwordFile = PasswordFile(password.empty() ? "pw" + user.substr(1) : password);
    a.kind = kind;
    a.tls = "none";
    tesk::mapi::admin::AddImapStore("Test", a, false);
  }
  // Fills an account with a generated corpus (nested folders, a non-ASCII
  // name, flags, keywords, attachments).
  void Seed(const std::string& user, int messages, const std::string& into = "") {
    const std::string corpus = profile.dir / ("corpus-" + user);
    std::string out;
    ASSERT_EQ(RunCommand("python3 " + Quote(BENCH_DIR "/maildir_corpus.py") + " generate " + Quote(corpus) +
                             " --messages " + std::to_string(messages) + " --max-attachment 150000 2>&1",
                         &out),
              0)
        << out;
    int rc = 0;
    out = Python("seed.py", "--server " + Quote(server_->Json()) + " --user " + user + " --corpus " + Quote(corpus) +
                                (into.empty() ? "" : " --into " + Quote(into)),
                 &rc);
    ASSERT_EQ(rc, 0) << out;
  }
  nlohmann::json Listing(const std::string& user, const std::string& extra = "") {
    int rc = 0;
    const std::string out = Python("listing.py", "--server " + Quote(server_->Json()) + " --user " + user + " " + extra, &rc);
    EXPECT_EQ(rc, 0) << out;
    return LastJsonLine(out);
  }
  // The differences listing.py finds between two listings (none: empty).
  std::string Compare(const nlohmann::json& a, const nlohmann::json& b, const std::string& skip = "Public") {
    return Compare(a, b, std::vector<std::string>{skip});
  }
  // Leaving out the mailboxes whose names start with any of skip.
  std::string Compare(const nlohmann::json& a, const nlohmann::json& b, const std::vector<std::string>& skip) {
    const std::string fa = profile.dir / "a.json", fb = profile.dir / "b.json";
    std::ofstream(fa) << a.dump();
    std::ofstream(fb) << b.dump();
    std::string args = "compare " + Quote(fa) + " " + Quote(fb);
    for (const auto& s : skip) args += " --skip-prefix " + Quote(s);
    int rc = 0;
    const std::string out = Python("listing.py", args, &rc);
    return rc == 0 ? std::string() : out;
  }
  static const nlohmann::json* Box(const nlohmann::json& listing, const std::string& name) {
    for (const auto& m : listing["mailboxes"])
      if (m["name"] == name) return &m;
    return nullptr;
  }
  ProgramRun Save(const std::string& args) { return restore_test::RunProgram(TESKSAVE_PATH, profile.dir / "bin", args); }
  ProgramRun Restore(const std::string& args) {
    return restore_test::RunProgram(TESKRESTORE_PATH, profile.dir / "bin", args);
  }
  static std::string SavedName(const ProgramRun& run) {
    const std::string prefix = "Preparing to copy structure into folder <";
    for (const auto& l : run.lines)
      if (l.rfind(prefix, 0) == 0 && l.back() == '>') return l.substr(prefix.size(), l.size() - prefix.size() - 1);
    return {};
  }
  // A folder tree as names and message counts, children sorted.
  static nlohmann::json Shape(const nlohmann::json& tree) {
    nlohmann::json out = nlohmann::json::object();
    out["messages"] = tree.value("messages", 0);
    nlohmann::json sub = nlohmann::json::object();
    for (const auto& f : tree["folders"]) sub[f["name"].get<std::string>()] = Shape(f);
    out["folders"] = sub;
    return out;
  }
  static nlohmann::json TreeShape(const std::string& path) {
    return Shape(nlohmann::json::parse(testing_support::Mapiadmin("tree Test " + Quote(path) + " --json")));
  }
  static bool HasLine(const ProgramRun& run, const std::string& part) {
    return std::any_of(run.lines.begin(), run.lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

  testing_support::ProfileFixture profile;
  Server* server_ = nullptr;

 private:
  int files_ = 0;
};

// A suite with a private Dovecot of its own (Suite: the test class, so that
// each suite has its own) and, per test, a fault proxy in front of it.
template <class Suite>
class ProxiedDovecot : public ::testing::Test, public Accounts {
 protected:
  static Server& Dovecot() {
    static Server s;
    return s;
  }
  static void SetUpTestSuite() { Dovecot().Start("dovecot", false, "tesk"); }
  static void TearDownTestSuite() { Dovecot().Stop(); }

  void SetUp() override {
    server_ = &Dovecot();
    if (!server_->up) FAIL() << "dovecot did not start:\n" << server_->why;
    proxyDir_ = profile.dir / "proxy";
    fs::create_directories(proxyDir_);
  }
  void TearDown() override { Python("faultproxy.py", "stop --state-dir " + Quote(proxyDir_.string())); }

  // A fault proxy in front of the server (faultproxy.py's options); its port.
  int Proxy(const std::string& args) {
    int rc = 0;
    const std::string out = Python("faultproxy.py", "--target 127.0.0.1:" + std::to_string(server_->Port()) + " " + args +
                                                        " --state-dir " + Quote(proxyDir_.string()) + " --daemon",
                                   &rc);
    EXPECT_EQ(rc, 0) << out;
    return rc == 0 ? LastJsonLine(out)["port"].get<int>() : 0;
  }
  nlohmann::json ProxyCounts() {
    return LastJsonLine(Python("faultproxy.py", "status --state-dir " + Quote(proxyDir_.string())));
  }
  // Sets an integer key of a store of the profile.
  void SetKey(const std::string& store, const std::string& key, const std::string& value) {
    auto p = tesk::mapi::LoadProfile("Test");
    ASSERT_TRUE(p);
    for (auto& s : p->stores)
      if (s.name == store) s.settings[key] = {tesk::mapi::SettingValue::Type::Integer, value};
    tesk::mapi::SaveProfile(*p);
  }

  fs::path proxyDir_;
};

}  // namespace imap_test
