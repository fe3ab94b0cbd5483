// A server that asks the programs to wait, and connections that break in
// the middle of a transfer: Dovecot behind tests/imapservers/faultproxy.py
// answers with Microsoft's throttling text or [UNAVAILABLE], or cuts a
// FETCH response or an APPEND literal. Saves and restores wait (a WARNING
// line each time), connect again and finish with every message exactly
// once; a retry budget that runs out ends the run with an ERROR line, exit
// 1 and nothing claimed.
#include <gtest/gtest.h>

#include <set>

#include "profile/profile.h"

#include "imap_accounts.h"

namespace {

using namespace imap_test;
namespace mapi = tesk::mapi;

class ImapRetries : public ProxiedDovecot<ImapRetries> {
 protected:
  std::string Tree(const std::string& store) {
    std::string out;
    EXPECT_EQ(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " tree Test " + Quote(store) + " --json", &out), 0) << out;
    return out;
  }
  // Every message of each mailbox once: the digests of a listing's box.
  static std::multiset<std::string> Digests(const nlohmann::json& listing, const std::string& box) {
    std::multiset<std::string> out;
    if (const auto* b = Box(listing, box))
      for (const auto& m : (*b)["messages"]) out.insert(m["sha256"].get<std::string>());
    return out;
  }
  static int Lines(const restore_test::ProgramRun& run, const std::string& part) {
    return static_cast<int>(std::count_if(run.lines.begin(), run.lines.end(),
                                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
  }

  // A save of user's account through the proxy, restored straight (no
  // proxy) into restoreUser's: both accounts then hold the same messages.
  void SaveThroughProxyAndCompare(const std::string& user, const std::string& restoreUser, int port,
                                  const std::string& warning) {
    AddAccount("Work Mail", user, port);
    AddAccount("New Mail", restoreUser, server_->Port());
    const auto source = Listing(user);
    const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
    ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
    EXPECT_GE(Lines(save, "WARNING: " + warning), 1) << save.log;
    EXPECT_FALSE(HasLine(save, "ERROR")) << save.log;
    const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"New Mail\"");
    ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
    EXPECT_EQ(Compare(source, Listing(restoreUser)), "");
  }

  // A save of user's account straight into the archive, restored through
  // the proxy into restoreUser's.
  void RestoreThroughProxyAndCompare(const std::string& user, const std::string& restoreUser, int port,
                                     const std::string& warning) {
    AddAccount("Work Mail", user, server_->Port());
    AddAccount("New Mail", restoreUser, port);
    const auto source = Listing(user);
    const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
    ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
    const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"New Mail\"");
    ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
    EXPECT_GE(Lines(restore, "WARNING: " + warning), 1) << restore.log;
    EXPECT_FALSE(HasLine(restore, "ERROR")) << restore.log;
    const auto after = Listing(restoreUser);
    EXPECT_EQ(Compare(source, after), "");
    for (const char* box : {"INBOX", "Projects", "Sent"}) EXPECT_EQ(Digests(source, box), Digests(after, box)) << box;
  }
};

}  // namespace

TEST_F(ImapRetries, ASaveThrottledWithMicrosoftsTextWaitsAsToldAndKeepsEveryMessageOnce) {
  Seed("u1", 60);
  // Every kind of command may meet it: SELECT, LIST, STATUS, the listing,
  // the bodies.
  const int port = Proxy("--answer-no 'Request is throttled. Suggested Backoff Time: 50 milliseconds'"
                         " --after-commands 4 --answer-times 8");
  SaveThroughProxyAndCompare("u1", "u2", port,
                             "Server busy, waiting 0.05 s and trying again: ");
  EXPECT_EQ(ProxyCounts()["answered"].get<int>(), 8);
}

TEST_F(ImapRetries, ARestoreToldUnavailableUploadsEveryMessageOnce) {
  Seed("u3", 60);
  const int port = Proxy("--answer-no '[UNAVAILABLE] Try again later' --answer-match ' APPEND ' --answer-times 3");
  RestoreThroughProxyAndCompare("u3", "u4", port, "Server busy, waiting ");
  EXPECT_EQ(ProxyCounts()["answered"].get<int>(), 3);
}

TEST_F(ImapRetries, ASaveWhoseConnectionDropsInAFetchResponseConnectsAgainAndGoesOn) {
  Seed("u5", 60);
  const int port = Proxy("--drop-after-bytes 300000 --match ' FETCH .*BODY' --faults 2");
  SaveThroughProxyAndCompare("u5", "u6", port, "Connection lost, waiting ");
  EXPECT_EQ(ProxyCounts()["faults"].get<int>(), 2);
}

TEST_F(ImapRetries, ARestoreWhoseConnectionDropsInAnAppendLiteralLeavesNoMessageTwice) {
  Seed("u7", 60);
  // The first two connections that upload are cut in the middle of a
  // message; what went up before the cut (the batches before it, answered
  // or not) is found on the server and not sent again.
  const int port = Proxy("--direction client-to-server --drop-after-bytes 150000 --match ' APPEND ' --faults 2");
  RestoreThroughProxyAndCompare("u7", "u8", port, "Connection lost, waiting ");
  EXPECT_EQ(ProxyCounts()["faults"].get<int>(), 2);
}

TEST_F(ImapRetries, ARestoreWhoseUploadArrivedButWhoseAnswerWasLostDoesNotSendItAgain) {
  Seed("u12", 60);
  // The server takes the upload; its OK never reaches the client.
  const int port = Proxy("--match 'OK \\[APPENDUID' --drop-after-bytes 0 --cut-before --faults 2");
  RestoreThroughProxyAndCompare("u12", "u1", port, "Connection lost, waiting ");
  EXPECT_EQ(ProxyCounts()["faults"].get<int>(), 2);
}

TEST_F(ImapRetries, ABudgetThatRunsOutFailsTheSaveWithTheServersWordsAndClaimsNothing) {
  Seed("u9", 30);
  const int port = Proxy("--answer-no 'Request is throttled. Suggested Backoff Time: 300 milliseconds'"
                         " --answer-match 'UID FETCH .*BODY' --answer-times 0");
  AddAccount("Work Mail", "u9", port);
  SetKey("Work Mail", "retry_budget", "1");
  const std::string before = Tree("Archive");
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  EXPECT_EQ(save.rc, 1) << restore_test::Describe(save);
  EXPECT_TRUE(HasLine(save, "ERROR: MAPI error") && HasLine(save, "Copy operation failed!")) << save.log;
  // A second of waits in 0.3 s steps, each one said, then the server's words.
  EXPECT_GE(Lines(save, "WARNING: Server busy, waiting 0.3 s and trying again: "), 3) << save.log;
  EXPECT_NE(save.output.find("Request is throttled. Suggested Backoff Time: 300 milliseconds (127.0.0.1); gave up after waiting 1 s"),
            std::string::npos)
      << save.output;
  EXPECT_EQ(before, Tree("Archive"));
}

TEST_F(ImapRetries, ABudgetThatRunsOutFailsTheRestoreAndNoMessageIsReportedOrLeftAsArrived) {
  Seed("u10", 20);
  const int port = Proxy("--answer-no '[UNAVAILABLE] Try again later' --answer-match ' APPEND ' --answer-times 0");
  AddAccount("Work Mail", "u10", server_->Port());
  AddAccount("New Mail", "u11", port);
  SetKey("New Mail", "retry_budget", "1");
  const ProgramRun save = Save("\"\" \"Work Mail\" Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const ProgramRun restore = Restore("\"\" \"Archive\\" + SavedName(save) + "\" \"New Mail\"");
  EXPECT_EQ(restore.rc, 1) << restore_test::Describe(restore);
  EXPECT_TRUE(HasLine(restore, "ERROR:")) << restore.log;
  EXPECT_GE(Lines(restore, "WARNING: Server busy, waiting "), 1) << restore.log;
  EXPECT_NE(restore.output.find("[UNAVAILABLE] Try again later (127.0.0.1); gave up after waiting 1 s"), std::string::npos)
      << restore.output;
  EXPECT_FALSE(HasLine(restore, "successfully")) << restore.log;
  // The server refused every upload: the account holds none of them.
  int messages = 0;
  const auto listing = Listing("u11", "--no-bodies");
  for (const auto& b : listing.at("mailboxes")) messages += b.value("count", 0);
  EXPECT_EQ(messages, 0);
}
