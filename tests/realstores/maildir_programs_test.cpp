// The programs on Maildir stores, as a user runs them: a Maildir saved into
// an archive and restored into an empty Maildir keeps every byte, flag and
// keyword, and a stock Dovecot serves the result; folders of any name saved
// into a Maildir are listed and opened by Dovecot and keep their names;
// generated messages saved into a Maildir are valid MIME and come back whole;
// a restore keeps the Maildir's standard folders; saves killed at random
// moments leave no partial file and no duplicate, and Dovecot never lists a
// save that has not ended.
#include <gtest/gtest.h>
#include <gmime/gmime.h>
#include <mapi/admin.h>
#include <nettle/sha2.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "fixture.h"
#include "inetmail/inetmail.h"
#include "providers/common/maildir_names.h"
#include "restore_test_util.h"

using namespace testing_support;
using restore_test::ProgramRun;
using restore_test::RunProgram;
namespace fs = std::filesystem;
namespace admin = tesk::mapi::admin;
namespace inet = tesk::mapi::inet;

namespace {

std::string Sha256(const std::string& data) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), reinterpret_cast<const std::uint8_t*>(data.data()));
  std::uint8_t d[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof d, d);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (auto b : d) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string Slurp(const fs::path& p) { return restore_test::ReadText(p.string()); }

void Spit(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

void MakeMaildirFolder(const fs::path& dir) {
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
}

// ---- what a Maildir holds, read straight from its files -------------------------

// One message as a mail client sees it: its bytes, its flags (the
// uppercase info letters) and its keywords by name.
struct Seen {
  std::string sha256;
  std::string flags;
  std::set<std::string> keywords;
  auto operator<=>(const Seen&) const = default;
};
void PrintTo(const Seen& s, std::ostream* os) {
  *os << s.sha256.substr(0, 12) << " " << s.flags;
  for (const auto& k : s.keywords) *os << " " << k;
}
// IMAP name ("INBOX", "Archive.2025") -> its messages.
using Listing = std::map<std::string, std::multiset<Seen>>;

std::map<char, std::string> Keywords(const fs::path& dir) {
  std::map<char, std::string> out;
  std::ifstream in(dir / "dovecot-keywords");
  std::string line;
  while (std::getline(in, line)) {
    const auto blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const int n = std::stoi(line.substr(0, blank));
    if (n >= 0 && n < 26) out[static_cast<char>('a' + n)] = line.substr(blank + 1);
  }
  return out;
}

// Forwarded is the letter P, or the keyword $Forwarded as Dovecot keeps it.
void ListFolder(const fs::path& dir, const std::string& name, Listing& out) {
  auto keywords = Keywords(dir);
  for (auto& [letter, keyword] : keywords)
    if (keyword == "$Forwarded") keyword = "P";
  auto& messages = out[name];
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir / sub, ec)) {
      if (!e.is_regular_file()) continue;
      const std::string file = e.path().filename().string();
      Seen s{Sha256(Slurp(e.path())), {}, {}};
      if (auto info = file.find(":2,"); info != std::string::npos) {
        for (char c : file.substr(info + 3)) {
          if (c >= 'A' && c <= 'Z') s.flags += c;
          if (c >= 'a' && c <= 'z' && keywords.count(c)) s.keywords.insert(keywords.at(c));
        }
      }
      if (s.keywords.erase("P")) s.flags += 'P';
      std::sort(s.flags.begin(), s.flags.end());
      s.flags.erase(std::unique(s.flags.begin(), s.flags.end()), s.flags.end());
      messages.insert(s);
    }
  }
}

// Every folder of a Maildir++ tree, named as IMAP names it (decoded).
Listing ListMaildir(const fs::path& top) {
  Listing out;
  ListFolder(top, "INBOX", out);
  for (const auto& e : fs::directory_iterator(top)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory() && name.size() > 1 && name[0] == '.' && name != "..")
      ListFolder(e.path(), tesk::mapi::maildir::DisplayNameOf(name.substr(1)), out);
  }
  return out;
}

// Files outside tmp/ that are not whole messages of the given set.
std::vector<std::string> StrangeFiles(const fs::path& top, const std::set<std::string>& good) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(top)) {
    if (!e.is_regular_file()) continue;
    const std::string parent = e.path().parent_path().filename().string();
    if (parent != "cur" && parent != "new") continue;
    if (!good.count(Sha256(Slurp(e.path())))) out.push_back(e.path().string());
  }
  return out;
}

// ---- a Maildir as Dovecot writes one -------------------------------------------

const char* const kPlain =
    "Return-Path: <anna@example.com>\r\n"
    "Delivered-To: jo@example.org\r\n"
    "Received: from mx.example.com by mail.example.org; Mon, 02 Feb 2026 09:14:03 +0100\r\n"
    "From: Anna Berger <anna@example.com>\r\n"
    "To: Jo <jo@example.org>\r\n"
    "Subject: Quarterly report\r\n"
    "Date: Mon, 02 Feb 2026 09:13:58 +0100\r\n"
    "Message-ID: <plain.1@example.com>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "Hallo Jo,\r\n\r\nder Bericht kommt morgen. Grüße\r\nAnna\r\n";

std::string Alternative(int k) {
  return "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg@example.net>\r\n"
         "To: jo@example.org, \"Team\" <team@example.org>\r\n"
         "Cc: boss@example.org\r\n"
         "Subject: =?utf-8?b?w5xiZXJzaWNodA==?= " + std::to_string(k) + "\r\n"
         "Date: Tue, 03 Feb 2026 1" + std::to_string(k % 10) + ":00:00 +0000\r\n"
         "Message-ID: <alt." + std::to_string(k) + "@example.net>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/alternative; boundary=\"b1\"\r\n"
         "\r\n"
         "--b1\r\n"
         "Content-Type: text/plain; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "Gr=FC=DFe, Nummer " + std::to_string(k) + "\r\n"
         "--b1\r\n"
         "Content-Type: text/html; charset=utf-8\r\n"
         "\r\n"
         "<p>Gr&uuml;&szlig;e, Nummer " + std::to_string(k) + "</p>\r\n"
         "--b1--\r\n";
}

std::string WithAttachment(int k) {
  std::string data;
  std::mt19937 rng(static_cast<unsigned>(k));
  for (int n = 0; n < 3000; ++n) data += static_cast<char>(rng() & 0xFF);
  gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size());
  std::string enc;
  const std::string all = b64;
  for (size_t p = 0; p < all.size(); p += 76) enc += all.substr(p, 76) + "\r\n";
  g_free(b64);
  return "From: scanner@example.org\r\n"
         "To: jo@example.org\r\n"
         "Subject: Scan " + std::to_string(k) + "\r\n"
         "Date: Wed, 04 Feb 2026 08:00:00 +0100\r\n"
         "Message-ID: <scan." + std::to_string(k) + "@example.org>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"mix\"\r\n"
         "\r\n"
         "This is a multi-part message in MIME format.\r\n"
         "--mix\r\n"
         "Content-Type: text/plain\r\n"
         "\r\n"
         "Scan attached.\r\n"
         "--mix\r\n"
         "Content-Type: application/octet-stream; name=\"scan.bin\"\r\n"
         "Content-Disposition: attachment; filename*=utf-8''%C3%9Cbersicht%20" + std::to_string(k) + ".bin\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n" + enc +
         "--mix--\r\n";
}

// Writes a message file as Dovecot's delivery does.
void Deliver(const fs::path& folder, int n, const std::string& bytes, const std::string& info) {
  const std::string name = std::to_string(1767000000 + n) + ".M" + std::to_string(100 + n) + "P42.testhost";
  Spit(folder / (info.empty() ? "new" : "cur") / (info.empty() ? name : name + ":2," + info), bytes);
}

// INBOX, Sent, Drafts, Trash, Archive with Archive.2025 and a folder whose
// name Dovecot keeps in modified UTF-7 ("Entwürfe alt").
void WriteDovecotMaildir(const fs::path& top) {
  MakeMaildirFolder(top);
  for (const char* f : {".Sent", ".Drafts", ".Trash", ".Archive", ".Archive.2025", ".Entw&APw-rfe alt"}) {
    MakeMaildirFolder(top / f);
    Spit(top / f / "maildirfolder", "");
  }
  Spit(top / "dovecot-keywords", "0 $Label1\n1 Work\n");
  Spit(top / ".Archive.2025" / "dovecot-keywords", "0 Project\n");
  Spit(top / "subscriptions", "Sent\nDrafts\nTrash\nArchive\n");
  int n = 0;
  Deliver(top, ++n, kPlain, "S");
  Deliver(top, ++n, Alternative(1), "RS");
  Deliver(top, ++n, Alternative(2), "FSa");
  Deliver(top, ++n, WithAttachment(3), "");
  Deliver(top, ++n, WithAttachment(4), "Sab");
  Deliver(top / ".Sent", ++n, Alternative(5), "S");
  Deliver(top / ".Drafts", ++n, "From: jo@example.org\r\nSubject: unfinished\r\n\r\nto be continued", "DS");
  Deliver(top / ".Trash", ++n, kPlain, "ST");
  for (int k = 0; k < 6; ++k) Deliver(top / ".Archive.2025", ++n, Alternative(10 + k), k % 2 ? "Sa" : "S");
  Deliver(top / ".Archive", ++n, "Subject: no body, LF only\n\n", "S");
  Deliver(top / ".Entw&APw-rfe alt", ++n, WithAttachment(20), "P");
}

// ---- the test's profile -----------------------------------------------------------

class MaildirPrograms : public ::testing::Test {
 protected:
  std::string AddMaildir(const std::string& display, const std::string& kind, bool create) {
    const std::string dir = profile.dir / (display + ".maildir");
    admin::AddMaildirStore("Test", dir, display, kind, "maildir++", create, false);
    return dir;
  }
  ProgramRun Save(const std::string& args) { return RunProgram(TESKSAVE_PATH, profile.dir / "bin", args); }
  ProgramRun Restore(const std::string& args) { return RunProgram(TESKRESTORE_PATH, profile.dir / "bin", args); }
  // The name of the folder a save created (from its log).
  static std::string SavedName(const ProgramRun& run) {
    const std::string prefix = "Preparing to copy structure into folder <";
    for (const auto& l : run.lines)
      if (l.rfind(prefix, 0) == 0 && l.back() == '>') return l.substr(prefix.size(), l.size() - prefix.size() - 1);
    return {};
  }
  // What a stock Dovecot serves from a Maildir (from a copy the dovecot
  // user owns): {"mailboxes": {name: messages}, "refused": {name: answer}}.
  nlohmann::json Served(const fs::path& maildir, const std::string& layout = "maildir++") {
    static int run = 0;
    const fs::path served = profile.dir / ("served" + std::to_string(++run));
    fs::copy(maildir, served, fs::copy_options::recursive);
    EXPECT_EQ(RunCommand("chown -R dovecot:dovecot " + Quote(served.string())), 0);
    ::chmod(profile.dir.path().c_str(), 0755);  // the dovecot user passes through the test's folder
    std::string json;
    const fs::path work = profile.dir / ("dovecot" + std::to_string(run));
    EXPECT_EQ(RunCommand("python3 " + Quote(IMAP_LISTING_PATH) + " " + Quote(served.string()) + " " + Quote(work) +
                             " --layout " + layout + " 2>" + Quote(work.string() + ".err"),
                         &json),
              0)
        << json << restore_test::ReadText(work.string() + ".err");
    return nlohmann::json::parse(json.empty() ? "{}" : json);
  }

  // Starts a save of a source into Mail that the test may stop and kill.
  pid_t StartSave(const std::string& source) {
    const fs::path bin = profile.dir / "killbin";
    if (!fs::exists(bin / "TeskSave")) {
      fs::create_directories(bin);
      fs::copy_file(TESKSAVE_PATH, bin / "TeskSave");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      const std::string exe = (bin / "TeskSave").string();
      ::execl(exe.c_str(), exe.c_str(), "", source.c_str(), "Mail", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }

  ProfileFixture profile;
};

TEST_F(MaildirPrograms, SaveAndRestoreKeepEveryByteFlagAndKeywordAndDovecotServesTheResult) {
  const fs::path source = profile.dir / "Mail.maildir";
  WriteDovecotMaildir(source);
  AddMaildir("Mail", "mailbox", false);
  const Listing before = ListMaildir(source);
  ASSERT_EQ(before.size(), 7u);
  ASSERT_EQ(before.at("Archive.2025").size(), 6u);

  ProgramRun save = Save("-t \"\" Mail Archive");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  EXPECT_TRUE(save.Has("Structure successfully copied.")) << save.log;
  // Saving changed nothing in the Maildir.
  EXPECT_EQ(ListMaildir(source), before);

  const fs::path restored = AddMaildir("Restored", "mailbox", true);
  ProgramRun restore = Restore("\"\" \"Archive\\Mail\" Restored");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);
  // The new mailbox's Junk folder, which the archive does not have, is kept
  // empty.
  Listing withJunk = before;
  withJunk["Junk"];
  EXPECT_EQ(ListMaildir(restored), withJunk);

  // What Dovecot serves from the restored folder: the same folders, the same
  // bytes, flags and keywords.
  const auto served = Served(restored);
  EXPECT_TRUE(served["refused"].empty()) << served["refused"].dump();
  const auto& imap = served["mailboxes"];
  // IMAP sends lines ending in CR LF: a file with bare LF is served so.
  std::map<std::string, std::string> served_sha;
  for (const auto& e : fs::recursive_directory_iterator(source)) {
    if (!e.is_regular_file() || (e.path().parent_path().filename() != "cur" && e.path().parent_path().filename() != "new"))
      continue;
    const std::string bytes = Slurp(e.path());
    std::string crlf;
    for (size_t k = 0; k < bytes.size(); ++k) {
      if (bytes[k] == '\n' && (k == 0 || bytes[k - 1] != '\r')) crlf += '\r';
      crlf += bytes[k];
    }
    served_sha[Sha256(bytes)] = Sha256(crlf);
  }
  std::set<std::string> names;
  for (const auto& [name, messages] : imap.items()) {
    names.insert(name);
    if (!before.count(name)) continue;
    std::multiset<Seen> got, want;
    for (const auto& m : messages) {
      Seen seen{m["sha256"], {}, {}};
      for (const auto& f : m["flags"]) {
        const std::string t = f;
        static const std::map<std::string, char> letters{{"\\Seen", 'S'},    {"\\Answered", 'R'}, {"\\Flagged", 'F'},
                                                         {"\\Deleted", 'T'}, {"\\Draft", 'D'},    {"$Forwarded", 'P'}};
        if (letters.count(t))
          seen.flags += letters.at(t);
        else
          seen.keywords.insert(t);
      }
      std::sort(seen.flags.begin(), seen.flags.end());
      got.insert(seen);
    }
    for (Seen s : before.at(name)) {
      if (served_sha.count(s.sha256)) s.sha256 = served_sha.at(s.sha256);
      want.insert(s);
    }
    EXPECT_EQ(got, want) << name;
  }
  std::set<std::string> expected{"Junk"};
  for (const auto& [name, messages] : before) expected.insert(name);
  EXPECT_EQ(names, expected);
}

// Reads what the conversion maps, from a message of a session.
std::map<std::string, std::string> Mapped(IMAPIFolder* folder, const std::string& eid) {
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  std::string id = eid;
  EXPECT_EQ(folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type,
                              &obj),
            S_OK);
  CComQIPtr<IMessage> m(obj.p);
  std::map<std::string, std::string> out;
  if (!m) return out;
  for (ULONG tag : {PR_SUBJECT_A, PR_BODY_A, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A, inet::PR_INTERNET_MESSAGE_ID})
    out[std::to_string(tag)] = StringProp(m, tag);
  out["html"] = EntryId(m, PR_HTML);
  out["importance"] = std::to_string(LongProp(m, PR_IMPORTANCE));
  out["read"] = std::to_string(LongProp(m, PR_MESSAGE_FLAGS) & MSGFLAG_READ);
  for (ULONG tag : {inet::PR_CLIENT_SUBMIT_TIME}) {
    LPSPropValue v = nullptr;
    if (SUCCEEDED(HrGetOneProp(m, tag, &v))) {
      const auto t = (static_cast<std::uint64_t>(v->Value.ft.dwHighDateTime) << 32) | v->Value.ft.dwLowDateTime;
      out["time" + std::to_string(tag)] = std::to_string(t / 10000000ULL);
      MAPIFreeBuffer(v);
    }
  }
  CComPtr<IMAPITable> rt;
  EXPECT_EQ(m->GetRecipientTable(0, &rt), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(3, rc) = {3, {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_RECIPIENT_TYPE}};
  EXPECT_EQ(HrQueryAllRows(rt, reinterpret_cast<LPSPropTagArray>(&rc), nullptr, nullptr, 0, &rows), S_OK);
  std::set<std::string> recips;
  for (ULONG r = 0; rows && r < rows->cRows; ++r)
    recips.insert(std::string(rows->aRow[r].lpProps[0].Value.lpszA) + "|" + rows->aRow[r].lpProps[1].Value.lpszA + "|" +
                  std::to_string(rows->aRow[r].lpProps[2].Value.l));
  FreeProws(rows);
  for (const auto& r : recips) out["to"] += r + ";";
  CComPtr<IMAPITable> at;
  EXPECT_EQ(m->GetAttachmentTable(0, &at), S_OK);
  SizedSPropTagArray(1, an) = {1, {PR_ATTACH_NUM}};
  rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(at, reinterpret_cast<LPSPropTagArray>(&an), nullptr, nullptr, 0, &rows), S_OK);
  std::set<std::string> atts;
  for (ULONG r = 0; rows && r < rows->cRows; ++r) {
    CComPtr<IAttach> a;
    EXPECT_EQ(m->OpenAttach(static_cast<ULONG>(rows->aRow[r].lpProps[0].Value.l), nullptr, 0, &a), S_OK);
    if (a)
      atts.insert(StringProp(a, PR_ATTACH_LONG_FILENAME_A) + "|" + StringProp(a, PR_ATTACH_MIME_TAG_A) + "|" +
                  Sha256(EntryId(a, PR_ATTACH_DATA_BIN)));
  }
  FreeProws(rows);
  for (const auto& a : atts) out["att"] += a + ";";
  return out;
}

std::vector<std::map<std::string, std::string>> AllMapped(IMAPIFolder* folder) {
  std::vector<std::map<std::string, std::string>> out;
  for (const auto& eid : ContentsEntryIds(folder)) out.push_back(Mapped(folder, eid));
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(MaildirPrograms, GeneratedMessagesSavedIntoAMaildirAreValidMimeAndComeBackWhole) {
  restore_test::Generate("Personal Folders\\Inbox\\Gen", 60, 7, true);
  const fs::path mail = AddMaildir("Mail", "archive", true);
  ProgramRun save = Save("\"\" \"Personal Folders\\Inbox\\Gen\" Mail");
  ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
  const std::string name = SavedName(save);
  ASSERT_FALSE(name.empty());

  // Every file is valid MIME to GMime and to Python's email package, with
  // its text, HTML and attachments.
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(mail))
    if (e.is_regular_file() && e.path().parent_path().filename() == "cur") files.push_back(e.path());
  ASSERT_EQ(files.size(), 60u);
  g_mime_init();
  size_t withAttachments = 0;
  for (const auto& f : files) {
    const std::string bytes = Slurp(f);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_TRUE(msg) << f;
    EXPECT_TRUE(g_mime_message_get_subject(msg)) << f;
    g_object_unref(msg);
    g_object_unref(parser);
    g_object_unref(stream);
    if (bytes.find("Content-Disposition: attachment") != std::string::npos) ++withAttachments;
  }
  EXPECT_GT(withAttachments, 0u);
  const std::string check =
      "import email, email.policy, sys\n"
      "bad = 0\n"
      "for path in sys.argv[1:]:\n"
      "    m = email.message_from_binary_file(open(path, 'rb'), policy=email.policy.default)\n"
      "    kinds = {p.get_content_type() for p in m.walk()}\n"
      "    defects = [d for p in m.walk() for d in p.defects]\n"
      "    if defects or 'text/plain' not in kinds or 'text/html' not in kinds:\n"
      "        print(path, kinds, defects); bad += 1\n"
      "print('checked', len(sys.argv) - 1)\n"
      "sys.exit(1 if bad else 0)\n";
  const std::string script = profile.dir / "check.py";
  Spit(script, check);
  std::string args;
  for (const auto& f : files) args += " " + Quote(f.string());
  std::string out;
  EXPECT_EQ(RunCommand("python3 " + Quote(script) + args + " 2>&1", &out), 0) << out;

  // Back into a new store file: everything the conversion maps is as it was.
  profile.AddStore("Back", "archive");
  ProgramRun back = Save("\"\" \"Mail\\" + name + "\" Back");
  ASSERT_EQ(back.rc, 0) << restore_test::Describe(back);
  auto session = profile.Logon();
  auto original = OpenFolder(OpenStore(session, "Personal Folders"), "Inbox\\Gen");
  auto returned = OpenFolder(OpenStore(session, "Back"), SavedName(back));
  ASSERT_TRUE(original && returned);
  EXPECT_EQ(AllMapped(returned), AllMapped(original));
}

TEST_F(MaildirPrograms, RestoreKeepsTheMaildirsStandardFoldersAndEmptiesThem) {
  const fs::path mail = profile.dir / "Mail.maildir";
  WriteDovecotMaildir(mail);
  MakeMaildirFolder(mail / ".Junk");
  Deliver(mail / ".Junk", 90, kPlain, "S");
  const std::string uidlist = "3 V1767000999 N2\n1 1767000090.M190P42.testhost\n";
  Spit(mail / ".Junk" / "dovecot-uidlist", uidlist);
  AddMaildir("Mail", "mailbox", false);
  std::map<std::string, std::string> ids;
  auto inode = [&](const char* dir) {
    struct stat st {};
    return ::stat((mail / dir).c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const auto sentInode = inode(".Sent"), junkInode = inode(".Junk"), archiveInode = inode(".Archive");
  {
    auto session = profile.Logon();
    auto store = OpenStore(session, "Mail");
    for (const char* f : {"Inbox", "Sent", "Drafts", "Trash"}) ids[f] = EntryId(OpenFolder(store, f));
  }
  restore_test::Generate("Archive\\Snap\\Inbox", 5, 3);
  restore_test::Generate("Archive\\Snap\\Projects", 4, 4);
  restore_test::Generate("Archive\\Snap\\Junk", 2, 5);
  ProgramRun restore = Restore("\"\" \"Archive\\Snap\" Mail");
  ASSERT_EQ(restore.rc, 0) << restore_test::Describe(restore);

  auto session = profile.Logon();
  auto store = OpenStore(session, "Mail");
  for (const auto& [name, eid] : ids) EXPECT_EQ(EntryId(OpenFolder(store, name)), eid) << name;
  EXPECT_EQ(ContentsEntryIds(OpenFolder(store, "Inbox")).size(), 5u);
  for (const char* f : {"Sent", "Drafts", "Trash"}) EXPECT_TRUE(ContentsEntryIds(OpenFolder(store, f)).empty()) << f;
  auto top = OpenFolder(store, "");
  auto names = SubfolderNames(top);
  std::sort(names.begin(), names.end());
  // Junk and Archive, which the restore deleted, are there again: Junk
  // copied back from the archive, Archive emptied.
  EXPECT_EQ(names, (std::vector<std::string>{"Archive", "Drafts", "Inbox", "Junk", "Projects", "Sent", "Trash"}));
  // The same directories (and Dovecot's UIDVALIDITY in them), emptied or
  // refilled, and the others gone.
  EXPECT_EQ(inode(".Sent"), sentInode);
  EXPECT_EQ(inode(".Junk"), junkInode);
  EXPECT_EQ(inode(".Archive"), archiveInode);
  EXPECT_EQ(Slurp(mail / ".Junk" / "dovecot-uidlist"), uidlist);
  EXPECT_FALSE(fs::exists(mail / ".Archive.2025"));
  EXPECT_TRUE(fs::exists(mail / ".Projects" / "cur"));
  const Listing after = ListMaildir(mail);
  EXPECT_EQ(after.at("Projects").size(), 4u);
  EXPECT_EQ(after.at("Junk").size(), 2u);
  EXPECT_EQ(after.at("Archive").size(), 0u);
}

TEST_F(MaildirPrograms, SavesKilledAtRandomMomentsLeaveNoPartialFileAndNoDuplicate) {
  restore_test::Generate("Personal Folders\\Inbox\\Big", 400, 11, true);
  const fs::path mail = AddMaildir("Mail", "archive", true);

  // A whole save first: the files every later one may write, and how long it takes.
  const fs::path reference = AddMaildir("Reference", "archive", true);
  const auto t0 = std::chrono::steady_clock::now();
  ProgramRun whole = Save("\"\" \"Personal Folders\\Inbox\\Big\" Reference");
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_EQ(whole.rc, 0) << restore_test::Describe(whole);
  std::set<std::string> good;
  for (const auto& [name, messages] : ListMaildir(reference))
    for (const auto& s : messages) good.insert(s.sha256);
  ASSERT_EQ(good.size(), 400u);

  std::mt19937 rng(2026);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  int killed = 0;
  for (int round = 0; round < 20; ++round) {
    const pid_t pid = StartSave("Personal Folders\\Inbox\\Big");
    ASSERT_GE(pid, 0);
    // Most kills fall while the copy writes (its journal is there), some
    // before it started.
    if (round % 4 != 0) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!fs::exists(mail / "tesk-journal") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<long>(0, span / 3)(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    EXPECT_EQ(StrangeFiles(mail, good), std::vector<std::string>{}) << "round " << round;
  }
  EXPECT_GE(killed, 10);

  // A run to the end: one copy, whole; what killed runs began is gone.
  ProgramRun last = Save("\"\" \"Personal Folders\\Inbox\\Big\" Mail");
  // A killed run that got to its end within the same minute has taken the name.
  if (last.rc != 0) {
    ASSERT_TRUE(last.HasMatch(".*MAPI_E_COLLISION.*")) << restore_test::Describe(last);
  }
  auto session = profile.Logon();
  auto top = OpenFolder(OpenStore(session, "Mail"), "");
  size_t total = 0;
  for (const auto& name : SubfolderNames(top)) {
    const size_t n = ContentsEntryIds(OpenFolder(OpenStore(session, "Mail"), name)).size();
    if (name.find("Personal Folders") != std::string::npos) {
      EXPECT_EQ(n, 400u) << name;
      total += n;
    }
  }
  std::multiset<std::string> files;
  for (const auto& [name, messages] : ListMaildir(mail))
    for (const auto& s : messages) files.insert(s.sha256);
  EXPECT_EQ(files.size(), total);
  EXPECT_EQ(StrangeFiles(mail, good), std::vector<std::string>{});
}

// How Dovecot shows a folder name that a layout cannot hold as it is.
std::string Shown(const std::string& name, bool fsLayout) {
  auto fullwidth = [](char c) {
    const unsigned u = 0xFEE0u + static_cast<unsigned char>(c);
    return std::string{static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (u & 0x3F))};
  };
  std::string out;
  for (size_t k = 0; k < name.size(); ++k) {
    if (name[k] == '/')
      out += "\u2215";
    else if (name[k] == '.' && (!fsLayout || k == 0))
      out += "\u2024";
    else if (k == 0 && (name[k] == '~' || (fsLayout && (name == "cur" || name == "tmp" || name.starts_with("dovecot") ||
                                                        name.starts_with("tesk-")))))
      out += fullwidth(name[k]);
    else
      out += name[k];
  }
  return out;
}

void Names(const nlohmann::json& tree, const std::string& prefix, std::set<std::string>& out) {
  for (const auto& sub : tree["folders"]) {
    out.insert(prefix + std::string(sub["name"]));
    Names(sub, prefix + std::string(sub["name"]) + "\\", out);
  }
}

TEST_F(MaildirPrograms, FoldersOfAnyNameSavedIntoAMaildirAreListedAndOpenedByDovecotAndKeepTheirNames) {
  const std::vector<std::string> names{"a.b",  "x/y", "~tilde", ".hidden", "..", "cur",    "tmp", "dovecot-keywords",
                                       "tesk-index.sqlite", "A&B", "Tab\there", "Ärger.und.Punkte", "q\"uote",
                                       "back\\slash", "*%", "new folder."};
  std::set<std::string> exact;
  {
    auto session = profile.Logon();
    auto top = CreateFolder(OpenFolder(OpenStore(session, "Personal Folders"), "Inbox"), "Names");
    for (const auto& name : names) {
      auto folder = CreateFolder(top, name);
      AddMessages(folder, 1);
      AddMessages(CreateFolder(folder, name), 1);
      exact.insert({name, name + "\\" + name});
    }
  }
  for (const std::string layout : {"maildir++", "fs"}) {
    const bool fsLayout = layout == "fs";
    const std::string store = "Mail " + layout;
    const fs::path dir = profile.dir / (layout + ".maildir");
    admin::AddMaildirStore("Test", dir, store, "archive", layout, true, false);
    ProgramRun save = Save("\"\" \"Personal Folders\\Inbox\\Names\" " + Quote(store));
    ASSERT_EQ(save.rc, 0) << restore_test::Describe(save);
    const std::string snap = SavedName(save);

    // This store shows every name as it was.
    std::set<std::string> kept;
    Names(restore_test::Tree(store + "\\" + snap), "", kept);
    EXPECT_EQ(kept, exact) << layout;

    // Dovecot lists and opens every folder, each with its message.
    const auto served = Served(dir, layout);
    EXPECT_TRUE(served["refused"].empty()) << layout << ": " << served["refused"].dump();
    const std::string sep = fsLayout ? "/" : ".", shownSnap = Shown(snap, fsLayout);
    std::set<std::string> want{"INBOX", shownSnap}, got;
    for (const auto& name : names) {
      want.insert(shownSnap + sep + Shown(name, fsLayout));
      want.insert(shownSnap + sep + Shown(name, fsLayout) + sep + Shown(name, fsLayout));
    }
    for (const auto& [name, messages] : served["mailboxes"].items()) {
      got.insert(name);
      EXPECT_EQ(messages.size(), name == "INBOX" || name == shownSnap ? 0u : 1u) << name;
    }
    EXPECT_EQ(got, want) << layout;
  }
}

// How many messages a running save has written (its journal's file lines).
size_t JournaledFiles(const fs::path& maildir) {
  const std::string journal = Slurp(maildir / "tesk-journal");
  size_t n = 0;
  for (size_t at = journal.find("\nF "); at != std::string::npos; at = journal.find("\nF ", at + 1)) ++n;
  return n;
}

TEST_F(MaildirPrograms, DovecotNeverListsASaveThatHasNotEndedAndTheRunAfterAKilledOneSucceeds) {
  restore_test::Generate("Personal Folders\\Inbox\\Big", 600, 5, true);
  restore_test::Generate("Personal Folders\\Inbox\\Big\\Sub", 20, 6);
  const fs::path mail = AddMaildir("Mail", "archive", true);
  const auto before = Served(mail);
  ASSERT_EQ(before["mailboxes"].size(), 1u);
  const pid_t pid = StartSave("Personal Folders\\Inbox\\Big");
  ASSERT_GE(pid, 0);
  // Stopped while it writes its messages, then killed: Dovecot lists
  // nothing of it either time.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (JournaledFiles(mail) < 100 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ::kill(pid, SIGSTOP);
  EXPECT_GE(JournaledFiles(mail), 100u);
  EXPECT_EQ(Served(mail), before);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Served(mail), before);

  ProgramRun rerun = Save("\"\" \"Personal Folders\\Inbox\\Big\" Mail");
  ASSERT_EQ(rerun.rc, 0) << restore_test::Describe(rerun);
  const auto after = Served(mail)["mailboxes"];
  const std::string snap = Shown(SavedName(rerun), false);
  EXPECT_EQ(after.size(), 3u) << after.dump().substr(0, 2000);
  EXPECT_EQ(after.value(snap, nlohmann::json::array()).size(), 600u);
  EXPECT_EQ(after.value(snap + ".Sub", nlohmann::json::array()).size(), 20u);
}

}  // namespace
