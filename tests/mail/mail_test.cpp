// The error report mail, delivered through the profile's transport to a
// real SMTP server on loopback.
#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <unistd.h>

#include <ReportFile.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "fixture.h"
#include "smtp_server.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class MailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<SmtpServer>(f.dir / "maildir");
    tesk::mapi::admin::SetTransport("Test", server->Url(), "tesk@example.org", "", "", false);
    fs::create_directories(f.dir / "bin");
    program = f.dir / "bin/TeskSave";
    fs::copy_file(TESKSAVE_PATH, program);
  }
  // Runs the program; returns its exit code and the text of its log.
  int Save(const std::string& args, std::string* log) {
    for (const auto& e : fs::directory_iterator(f.dir / "bin"))
      if (e.path().extension() == ".log") fs::remove(e.path());
    int rc = RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Quote(program) + " " + args + " 2>&1");
    for (const auto& e : fs::directory_iterator(f.dir / "bin")) {
      if (e.path().extension() != ".log") continue;
      std::ifstream in(e.path());
      std::stringstream text;
      text << in.rdbuf();
      *log = text.str();
    }
    return rc;
  }
  size_t Count(const std::string& path) {
    auto session = f.Logon();
    return ContentsEntryIds(OpenFolder(OpenStore(session, "Personal Folders"), path)).size();
  }

  ProfileFixture f;
  std::unique_ptr<SmtpServer> server;
  std::string program;
};

// The plain-text body of a mail as the Maildir keeps it (with LF line
// ends), quoted-printable undone.
std::string Body(const std::string& raw) {
  std::string mail;
  for (char c : raw)
    if (c != '\r') mail += c;
  std::string qp = mail.substr(mail.find("\n\n") + 2), out;
  for (size_t k = 0; k < qp.size(); ++k) {
    if (qp[k] == '=' && k + 2 < qp.size() && qp[k + 1] == '\r' && qp[k + 2] == '\n') {
      k += 2;
    } else if (qp[k] == '=' && k + 1 < qp.size() && qp[k + 1] == '\n') {
      k += 1;
    } else if (qp[k] == '=' && k + 2 < qp.size() && std::isxdigit(static_cast<unsigned char>(qp[k + 1]))) {
      out += static_cast<char>(std::stoi(qp.substr(k + 1, 2), nullptr, 16));
      k += 2;
    } else {
      out += qp[k];
    }
  }
  return out;
}

}  // namespace

TEST_F(MailTest, FailingSaveMailsItsErrorLinesOnce) {
  server->Start();
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_NE(log.find("ERROR: Subfolder Nowhere not found!, module: MAPIFolderFind, line: 173"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("subbmition"), std::string::npos) << log;
  const auto mails = server->Mails();
  ASSERT_EQ(mails.size(), 1u);
  const std::string& mail = mails[0];
  EXPECT_NE(mail.find("Subject: TeskRestore error report"), std::string::npos);
  EXPECT_NE(mail.find("X-RcptTo: ops@example.org"), std::string::npos);
  const std::string body = Body(mail);
  EXPECT_EQ(body.rfind("-------------------------------------------------------------\n"
                       "This is TeskSave errors report mail.\n"
                       "All lines are prefixed with time of event occurence.\n"
                       "Error lines contain ERROR keyword after time stamp.\n"
                       "--------------------------------------------------------------\n",
                       0),
            0u)
      << body;
  EXPECT_TRUE(std::regex_search(body, std::regex("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d :ERROR: Subfolder Nowh")));
  // A copy is kept in Sent Items; the Outbox is empty again.
  EXPECT_EQ(Count("Sent Items"), 1u);
  EXPECT_EQ(Count("Outbox"), 0u);
}

TEST_F(MailTest, NothingIsSentWithoutErrorsOrAddress) {
  server->Start();
  Mapiadmin("folder create Test " + Quote("Personal Folders\\Inbox\\Sub"));
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Inbox' Archive", &log), 0) << log;
  // A start without paths wants its window (there is no display): nothing
  // is mailed.
  EXPECT_EQ(Save("-mailto:ops@example.org", &log), 2) << log;
  // An empty address sends nothing even when the run fails.
  EXPECT_EQ(Save("-mailto: '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_TRUE(server->Mails().empty());
  EXPECT_EQ(Count("Outbox"), 0u);
}

TEST_F(MailTest, FailedLogonCannotSend) {
  server->Start();
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org Nobody 'Personal Folders\\Inbox' Archive", &log), 1);
  EXPECT_NE(log.find(":ERROR: MAPI error 80040111, MAPI_E_LOGON_FAILED Failed to logon to MAPI., module: TeskSave, "
                     "line: 114\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(":ERROR: Cannot send report mail. MAPI session not provided., module: ReportFile, line: 215\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(server->Mails().empty());
}

TEST_F(MailTest, StoreWithoutOutbox) {
  server->Start();
  {
    auto session = f.Logon();
    auto store = OpenStore(session, "Personal Folders");
    SizedSPropTagArray(1, tags) = {1, {PR_IPM_OUTBOX_ENTRYID}};
    ASSERT_EQ(store->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr), S_OK);
  }
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_TRUE(std::regex_search(log, std::regex(":ERROR: MAPI error 8004010f, MAPI_E_NOT_FOUND Failed to obtain "
                                                "PR_IPM_OUTBOX_ENTRYID from MsgStore\\., module: TeskMsgStoreT\\.h, "
                                                "line: \\d+\n")))
      << log;
  EXPECT_TRUE(server->Mails().empty());
}

TEST_F(MailTest, ServerDownKeepsTheReportInTheOutboxUntilSent) {
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_TRUE(std::regex_search(log, std::regex(":ERROR: MAPI error 80040115, MAPI_E_NETWORK_ERROR Message "
                                                "subbmition failed, module: TeskMailMessageT\\.h, line: \\d+\n")))
      << log;
  // Why it failed, in the transport's words, right after the ERROR line.
  EXPECT_TRUE(std::regex_search(log, std::regex("line: \\d+\n[0-9. :]+:WARNING: [^\n]*(connect|Connect)[^\n]*\n")))
      << log;
  EXPECT_EQ(Count("Outbox"), 1u);
  EXPECT_NE(Mapiadmin("outbox Test").find("waiting  TeskRestore error report  to ops@example.org"), std::string::npos);

  server->Start();
  EXPECT_NE(Mapiadmin("outbox Test --send").find("1 message sent"), std::string::npos);
  EXPECT_EQ(server->Mails().size(), 1u);
  EXPECT_EQ(Count("Outbox"), 0u);
  EXPECT_EQ(Count("Sent Items"), 1u);
  // Nothing is sent twice.
  EXPECT_NE(Mapiadmin("outbox Test --send").find("0 messages sent"), std::string::npos);
  EXPECT_EQ(server->Mails().size(), 1u);
}

TEST_F(MailTest, UnsafeAddressesNeverReachTheServer) {
  server->Start();
  std::string log;
  // A line break would smuggle a second recipient into the SMTP dialogue.
  EXPECT_EQ(Save(std::string("-mailto:") + Quote("ops@example.org\r\nRCPT TO:<evil@example.org>") +
                     " '' 'Personal Folders\\Nowhere' Archive",
                 &log),
            1);
  EXPECT_NE(log.find(":ERROR: MAPI error 80070057, The parameter is incorrect.\n CreateOneOff failed., module: "
                     "TeskMailMessageT.h"),
            std::string::npos)
      << log;
  EXPECT_EQ(Save("-mailto:no-at-sign '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_NE(log.find("CreateOneOff failed."), std::string::npos) << log;
  EXPECT_TRUE(server->Mails().empty());
  EXPECT_EQ(Count("Outbox"), 0u);
}

// The report body in-process: long lines in pieces of at most 65
// characters, line breaks inside a line turned into blanks.
TEST_F(MailTest, ReportBodyPieces) {
  server->Start();
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
  {
    CReportFile report;
    // With its 21-character time prefix the collected line is 150 long.
    const std::string longLine(129, 'x');
    report.Log(LOG_ERROR, "%s", longLine.c_str());
    report.Log(LOG_WARNING, "a warning");
    report.Log(LOG_ERROR, "first\nsecond\rthird");
    CTeskMAPISession session;
    ASSERT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), S_OK);
    report.SendReportMail(session, "ops@example.org");
  }
  MAPIUninitialize();
  const auto mails = server->Mails();
  ASSERT_EQ(mails.size(), 1u);
  const std::string body = Body(mails[0]);
  std::vector<std::string> lines;
  std::stringstream in(body);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5u + 3 + 1);
  EXPECT_EQ(lines[5].size(), 65u);
  EXPECT_EQ(lines[6].size(), 65u);
  EXPECT_EQ(lines[7].size(), 20u);
  EXPECT_TRUE(lines[8].ends_with(":first second third")) << lines[8];
  EXPECT_EQ(body.find("a warning"), std::string::npos);
}

// Mail composed by the transport: non-ASCII subjects are encoded, bodies
// go out as UTF-8 text with CR LF line ends.
TEST_F(MailTest, MessagesFollowTheMailStandards) {
  server->Start();
  auto session = f.Logon();
  auto store = OpenStore(session, "Personal Folders");
  auto outbox = OpenFolder(store, "Outbox");
  CComPtr<IMessage> m;
  ASSERT_EQ(outbox->CreateMessage(nullptr, 0, &m), S_OK);
  CComPtr<IAddrBook> book;
  ASSERT_EQ(session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &book), S_OK);
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  char name[] = "Jörg", type[] = "SMTP", address[] = "joerg@example.org";
  ASSERT_EQ(book->CreateOneOff(name, type, address, MAPI_SEND_NO_RICH_INFO, &cb, &eid), S_OK);
  SPropValue r[3]{};
  r[0].ulPropTag = PR_ENTRYID;
  r[0].Value.bin = {cb, reinterpret_cast<LPBYTE>(eid)};
  r[1].ulPropTag = PR_RECIPIENT_TYPE;
  r[1].Value.l = MAPI_TO;
  r[2].ulPropTag = PR_DISPLAY_NAME_A;
  r[2].Value.lpszA = name;
  ADRLIST list{1, {{0, 3, r}}};
  ASSERT_EQ(m->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
  MAPIFreeBuffer(eid);
  SPropValue p[3]{};
  p[0].ulPropTag = PR_SUBJECT_A;
  p[0].Value.lpszA = const_cast<char*>("Grüße aus Köln");
  p[1].ulPropTag = PR_BODY_A;
  p[1].Value.lpszA = const_cast<char*>("Zeile eins\nZeile zwei – Ü");
  p[2].ulPropTag = PR_DELETE_AFTER_SUBMIT;
  p[2].Value.b = 1;
  ASSERT_EQ(m->SetProps(3, p, nullptr), S_OK);
  ASSERT_EQ(m->SubmitMessage(FORCE_SUBMIT), S_OK);
  const auto mails = server->Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_TRUE(std::regex_search(mails[0], std::regex("Subject: =\\?(utf|UTF)-8\\?[bBqQ]\\?"))) << mails[0];
  EXPECT_NE(mails[0].find("charset=utf-8"), std::string::npos);
  EXPECT_NE(Body(mails[0]).find("Zeile eins\nZeile zwei – Ü"), std::string::npos) << Body(mails[0]);
  // Deleted after submission: neither in the Outbox nor in Sent Items.
  EXPECT_EQ(ContentsEntryIds(outbox).size(), 0u);
  EXPECT_EQ(ContentsEntryIds(OpenFolder(store, "Sent Items")).size(), 0u);
}

namespace {

TEST_F(MailTest, APasswordOthersMayReadIsNeverUsed) {
  server->Start();
  const std::string password = f.dir / "smtp-password";
  std::ofstream(password) << "secret\n";
  ::chmod(password.c_str(), 0644);
  // mapiadmin refuses it when the transport is set up ...
  std::string out;
  EXPECT_NE(RunCommand(std::string(MAPIADMIN_PATH) + " transport Test --smtp " + Quote(server->Url()) +
                           " --from tesk@example.org --user tesk --password-file " + Quote(password) + " 2>&1",
                       &out),
            0);
  EXPECT_NE(out.find("may be read by others"), std::string::npos) << out;
  // ... and when its mode changes later, the transport sends nothing.
  ::chmod(password.c_str(), 0600);
  tesk::mapi::admin::SetTransport("Test", server->Url(), "tesk@example.org", "tesk", password, false);
  ::chmod(password.c_str(), 0640);
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_TRUE(std::regex_search(log, std::regex(":ERROR: MAPI error 8004011c, MAPI_E_UNCONFIGURED Message subbmition "
                                                "failed, module: TeskMailMessageT\\.h, line: \\d+\n[0-9. :]+:WARNING: the "
                                                "password file [^\n]* may be read by others")))
      << log;
  EXPECT_TRUE(server->Mails().empty());
  EXPECT_EQ(Count("Outbox"), 1u) << "the report waits in the Outbox";
}

TEST_F(MailTest, CredentialsNeverCrossTheNetworkUnencrypted) {
  const std::string password = f.dir / "smtp-password";
  std::ofstream(password) << "secret\n";
  ::chmod(password.c_str(), 0600);
  // A server elsewhere over plain smtp:// without STARTTLS: refused before
  // any connection (the name does not even resolve).
  tesk::mapi::admin::SetTransport("Test", "smtp://mail.example.invalid:2525", "tesk@example.org", "tesk", password,
                                  false);
  std::string log;
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_NE(log.find("WARNING: the login for smtp://mail.example.invalid:2525 would be sent unencrypted"),
            std::string::npos)
      << log;
  // To a server on this machine the login may go as it is.
  server->Start();
  tesk::mapi::admin::SetTransport("Test", server->Url(), "tesk@example.org", "tesk", password, false);
  EXPECT_EQ(Save("-mailto:ops@example.org '' 'Personal Folders\\Nowhere' Archive", &log), 1);
  EXPECT_EQ(log.find("would be sent unencrypted"), std::string::npos) << log;
}

}  // namespace
