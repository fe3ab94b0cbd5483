// Saves that read an IMAP account over several connections (the store's key
// "connections"): Dovecot behind tests/imapservers/faultproxy.py, which
// counts the connections, cuts one of them in the middle of a body, answers
// "later" on every one, or (the timing case) delays everything as a distant
// server does. Each save holds exactly what the account holds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "profile/profile.h"
#include "providers/imap/imap_store.h"

#include "imap_accounts.h"

namespace {

using namespace imap_test;
namespace mapi = tesk::mapi;

class ImapConnections : public ProxiedDovecot<ImapConnections> {
 protected:
  static int Lines(const ProgramRun& run, const std::string& part) {
    return static_cast<int>(std::count_if(run.lines.begin(), run.lines.end(),
                                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
  }
  // A save of "Work Mail" into a folder of the archive that must succeed,
  // and mapiadmin verify of its snapshot against the account.
  ProgramRun SaveAndVerify(const std::string& into = "Archive") {
    if (into != "Archive") testing_support::Mapiadmin("folder create Test " + Quote(into));
    ProgramRun save = Save("\"\" \"Work Mail\" " + Quote(into));
    EXPECT_EQ(save.rc, 0) << restore_test::Describe(save);
    EXPECT_FALSE(HasLine(save, "ERROR")) << save.log;
    std::string out;
    EXPECT_EQ(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " verify Test \"Work Mail\" " +
                                              Quote(into + "\\" + SavedName(save)) + " 2>&1",
                                          &out),
              0)
        << out;
    return save;
  }
  // The snapshot restored (one connection, no proxy) into restoreUser's
  // account holds every message of user's with its bytes and flags.
  void RestoreAndCompare(const ProgramRun& save, const std::string& user, const std::string& restoreUser,
                         const std::string& from = "Archive") {
    AddAccount("New Mail", restoreUser, server_->Port());
    const ProgramRun restore = Restore("\"\" " + Quote(from + "\\" + SavedName(save)) + " \"New Mail\"");
    ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
    EXPECT_EQ(Compare(Listing(user), Listing(restoreUser)), "");
  }
};

}  // namespace

TEST(ImapConnectionSettings, FourToADistantServerOneOnLoopbackAndNeverMoreThanTheServerAllows) {
  auto settings = [](const std::string& url, std::vector<std::pair<std::string, std::string>> ints = {}) {
    mapi::StoreSettings s;
    s["url"] = {mapi::SettingValue::Type::String, url};
    s["user"] = {mapi::SettingValue::Type::String, "me"};
    s["password_file"] = {mapi::SettingValue::Type::String, "/nonexistent"};
    s["state"] = {mapi::SettingValue::Type::String, "/tmp/state.sqlite"};
    for (const auto& [k, v] : ints) s[k] = {mapi::SettingValue::Type::Integer, v};
    return mapi::imapstore::ReadSettings(s);
  };
  EXPECT_EQ(settings("imaps://mail.example.org").connections, 4);
  for (const char* local : {"imap://127.0.0.1:1143", "imap://127.3.4.5", "imap://localhost:143", "imap://[::1]:143"})
    EXPECT_EQ(settings(local).connections, 1) << local;
  EXPECT_EQ(settings("imap://127.0.0.1", {{"connections", "3"}}).connections, 3);
  EXPECT_EQ(settings("imaps://mail.example.org", {{"connections", "1"}}).connections, 1);
  EXPECT_EQ(settings("imaps://mail.example.org", {{"max_connections", "2"}}).connections, 2);
  EXPECT_THROW(settings("imaps://mail.example.org", {{"connections", "5"}, {"max_connections", "2"}}), std::runtime_error);
  EXPECT_THROW(settings("imaps://mail.example.org", {{"connections", "17"}}), std::runtime_error);
}

TEST_F(ImapConnections, ASaveOverFourConnectionsHoldsWhatTheAccountHoldsAndLoopbackDefaultsToOne) {
  Seed("u1", 400);
  const int port = Proxy("");
  AddAccount("Work Mail", "u1", port);
  const int added = ProxyCounts()["connections"].get<int>();
  // No key: one connection to a server on loopback, as with connections = 1.
  const ProgramRun plain = SaveAndVerify("Archive\\Default");
  const int byDefault = ProxyCounts()["connections"].get<int>() - added;
  SetKey("Work Mail", "connections", "1");
  SaveAndVerify("Archive\\One");
  const int one = ProxyCounts()["connections"].get<int>() - added - byDefault;
  EXPECT_EQ(byDefault, one);
  SetKey("Work Mail", "connections", "4");
  const ProgramRun four = SaveAndVerify("Archive\\Four");
  const int withFour = ProxyCounts()["connections"].get<int>() - added - byDefault - one;
  std::printf("connections of a save and a verify: by default %d, with connections = 1 %d, with 4 %d\n", byDefault, one,
              withFour);
  // The save and verify's reads each opened more than their one.
  EXPECT_GT(withFour, one + 1) << "connections: default " << byDefault << ", one " << one << ", four " << withFour;
  EXPECT_LE(withFour, 4 * one) << "connections: default " << byDefault << ", one " << one << ", four " << withFour;
  EXPECT_EQ(TreeShape("Archive\\Default\\" + SavedName(plain)), TreeShape("Archive\\Four\\" + SavedName(four)));
  RestoreAndCompare(four, "u1", "u2", "Archive\\Four");
}

TEST_F(ImapConnections, ACutInABodyOnAnotherConnectionIsMadeGoodAndEveryMessageSavedOnce) {
  Seed("u3", 300);
  // Only the other connections fetch bodies: the first two of them that do
  // are cut in the middle of one.
  const int port = Proxy("--drop-after-bytes 200000 --match ' FETCH .*BODY' --faults 2");
  AddAccount("Work Mail", "u3", port);
  SetKey("Work Mail", "connections", "4");
  const ProgramRun save = SaveAndVerify();
  EXPECT_GE(Lines(save, "WARNING: Connection lost, waiting "), 1) << save.log;
  EXPECT_EQ(ProxyCounts()["faults"].get<int>(), 2);
  RestoreAndCompare(save, "u3", "u4");
}

TEST_F(ImapConnections, TheWaitsOfAllConnectionsCountAgainstTheOneBudget) {
  Seed("u5", 200);
  const int port = Proxy("--answer-no 'Request is throttled. Suggested Backoff Time: 300 milliseconds'"
                         " --answer-match 'UID FETCH .*BODY' --answer-times 0");
  AddAccount("Work Mail", "u5", port);
  SetKey("Work Mail", "connections", "4");
  SetKey("Work Mail", "retry_budget", "1");
  const auto started = std::chrono::steady_clock::now();
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(save.rc, 1) << restore_test::Describe(save);
  EXPECT_TRUE(HasLine(save, "ERROR: MAPI error") && HasLine(save, "Copy operation failed!")) << save.log;
  EXPECT_NE(save.output.find("gave up after waiting 1 s in all (retry_budget = 1)"), std::string::npos) << save.output;
  // One second of waits in all: 0.3, 0.3, 0.3, 0.1, whichever connections
  // waited them (four budgets would allow sixteen).
  const int waits = Lines(save, "WARNING: Server busy, waiting ");
  EXPECT_GE(waits, 3) << save.log;
  EXPECT_LE(waits, 4) << save.log;
  EXPECT_LT(seconds, 20) << save.log;
  EXPECT_FALSE(HasLine(save, "successfully")) << save.log;
}

// The gain over a distant server: 50 ms each way and a 256 KiB window per
// connection. Run by hand: imap_tests --gtest_also_run_disabled_tests
// --gtest_filter='*Timing*'; IMAP_TIMING_MESSAGES sets the corpus's size,
// IMAP_TIMING_DELAY_MS the delay each way.
TEST_F(ImapConnections, DISABLED_TimingOfOneAndFourConnectionsOverADistantLink) {
  const char* n = std::getenv("IMAP_TIMING_MESSAGES");
  Seed("u6", n ? std::atoi(n) : 3000);
  const char* delay = std::getenv("IMAP_TIMING_DELAY_MS");
  const int port = Proxy(std::string("--delay-ms ") + (delay ? delay : "50") + " --window-bytes 262144");
  AddAccount("Work Mail", "u6", port);
  double took[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    SetKey("Work Mail", "connections", k == 0 ? "1" : "4");
    // Each save into an archive of its own: the second would find the
    // first one's contents there.
    const std::string into = k == 0 ? "One" : "Four";
    const std::string file = profile.dir / (into + ".store");
    testing_support::Mapiadmin("store create " + Quote(file) + " --name " + into + " --kind archive");
    testing_support::Mapiadmin("store add Test " + Quote(file));
    const auto started = std::chrono::steady_clock::now();
    const ProgramRun save = Save("\"\" \"Work Mail\" " + Quote(into));
    took[k] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  }
  std::printf("save over 1 connection: %.1f s, over 4: %.1f s (%.2fx)\n", took[0], took[1], took[0] / took[1]);
}
