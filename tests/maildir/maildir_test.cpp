// The Maildir provider on real directories: a tree written the way Dovecot
// writes it, messages stored and read back byte for byte, folders on both
// layouts, transactions undone by a rollback and by a killed writer, and the
// standard folders it finds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mapitags.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/entryid.h"
#include "fixture.h"
#include "inetmail/inetmail.h"
#include "providers/common/maildir_names.h"
#include "provider.h"
#include "providers/maildir/maildir_provider.h"

using namespace tesk::mapi;
namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void MakeMaildir(const std::string& dir, bool folderMarker) {
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir + "/" + sub);
  if (folderMarker) Write(dir + "/maildirfolder", "");
}

std::string Mime(int k) {
  return "From: Jörg <joerg@example.org>\r\nTo: anna@example.com\r\nSubject: Test " + std::to_string(k) +
         "\r\nDate: Mon, 1 Dec 2025 10:00:00 +0100\r\nMessage-ID: <t" + std::to_string(k) +
         "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: 8bit\r\n\r\nHallo " + std::to_string(k) + ", Grüße.\r\n";
}

// Every file below dir (but the provider's own) with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir, bool withTmp = true) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), dir).string();
    if (rel.rfind("tesk-", 0) == 0) continue;
    if (!withTmp && (it->path().filename() == "tmp") && it->is_directory()) {
      it.disable_recursion_pending();
      continue;
    }
    out[rel + (it->is_directory() ? "/" : "")] = it->is_regular_file() ? Read(it->path()) : "";
  }
  return out;
}

StoreSettings Settings(const std::string& dir, const char* layout = "maildir++") {
  return {{"path", {SettingValue::Type::String, dir}}, {"layout", {SettingValue::Type::String, layout}}};
}
std::shared_ptr<StoreProvider> OpenStore(const std::string& dir, const char* layout = "maildir++") {
  return MaildirProviderFactory().Open(Settings(dir, layout));
}

ObjId Top(StoreProvider& s) { return s.Subfolders(s.RootFolder()).at(0); }
ObjId Child(StoreProvider& s, ObjId parent, const std::string& name) {
  auto id = s.FindSubfolder(parent, name);
  EXPECT_TRUE(id) << name;
  return id.value_or(0);
}
std::string Eid(StoreProvider& s, ObjId folder) { return MakeObjectEntryId(s.Guid(), ObjKind::Folder, folder); }
std::string BinProp(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  return p ? p->b : std::string();
}

// The folder names of a subtree as "a/b" paths, sorted.
void Names(StoreProvider& s, ObjId f, const std::string& prefix, std::vector<std::string>& out) {
  for (ObjId c : s.Subfolders(f)) {
    const std::string n = prefix + s.GetFolder(c)->name;
    out.push_back(n);
    Names(s, c, n + "/", out);
  }
}
std::vector<std::string> Tree(StoreProvider& s) {
  std::vector<std::string> out;
  Names(s, Top(s), "", out);
  std::sort(out.begin(), out.end());
  return out;
}

// A Maildir++ tree as Dovecot leaves it.
void DovecotTree(const std::string& d) {
  MakeMaildir(d, false);
  Write(d + "/cur/1764579600.M100P10.mx:2,S", Mime(1));
  Write(d + "/new/1764579601.M101P10.mx", Mime(2));
  MakeMaildir(d + "/.Sent", true);
  Write(d + "/.Sent/cur/1764579602.M102P10.mx,S=400:2,RS", Mime(3));
  MakeMaildir(d + "/.Archive", true);
  MakeMaildir(d + "/.Archive.2025", true);
  MakeMaildir(d + "/.Entw&APw-rfe", true);
  Write(d + "/.Entw&APw-rfe/cur/1764579603.M103P10.mx:2,FSac", Mime(4));
  Write(d + "/.Entw&APw-rfe/dovecot-keywords", "0 $Work\n1 Later\n2 $Forwarded\n");
  Write(d + "/dovecot-uidlist", "3 V1 N4\n");
}

TEST(MaildirOpen, ReadsDovecotTreeNamesFlagsKeywordsAndKeepsIds) {
  TempDir t;
  const std::string d = t / "Mail";
  DovecotTree(d);
  const std::string uidlist = Read(d + "/dovecot-uidlist");
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  auto s = OpenStore(d);
  EXPECT_EQ(s->GetFolder(s->RootFolder())->type, static_cast<ULONG>(FOLDER_ROOT));
  EXPECT_EQ(s->GetFolder(Top(*s))->name, "Top of Personal Folders");
  EXPECT_EQ(Tree(*s), (std::vector<std::string>{"Archive", "Archive/2025", "Entwürfe", "Inbox", "Sent"}));
  const ObjId top = Top(*s), inbox = Child(*s, top, "Inbox"), sent = Child(*s, top, "Sent"),
              drafts = Child(*s, top, "Entwürfe");
  EXPECT_EQ(s->GetFolder(inbox)->contentCount, 2);
  EXPECT_EQ(s->GetFolder(sent)->contentCount, 1);
  EXPECT_EQ(s->GetFolder(Child(*s, Child(*s, top, "Archive"), "2025"))->contentCount, 0);

  auto flagsOf = [&](ObjId folder) { return inet::FlagsOf(s->LoadMessage(s->Messages(folder, false).at(0)).props); };
  EXPECT_TRUE(flagsOf(sent).seen && flagsOf(sent).answered && !flagsOf(sent).flagged);
  auto f = flagsOf(drafts);
  EXPECT_TRUE(f.seen && f.flagged && f.forwarded) << "$Forwarded as Dovecot keeps it";
  EXPECT_EQ(f.keywords, std::vector<std::string>{"$Work"});
  // Sizes come from the files, and the original bytes come back.
  const ObjId m = s->Messages(sent, false).at(0);
  EXPECT_EQ(s->GetMessage(m)->size, static_cast<std::int64_t>(Mime(3).size()));
  EXPECT_EQ(inet::ToMime(s->LoadMessage(m)), Mime(3));

  // Standard folders: the Inbox receives, Sent and Drafts are recorded.
  EXPECT_EQ(s->ReceiveFolder("IPM.Note", nullptr), inbox);
  EXPECT_EQ(BinProp(s->StoreProps(), PR_IPM_SUBTREE_ENTRYID), Eid(*s, top));
  EXPECT_EQ(BinProp(s->StoreProps(), PR_IPM_SENTMAIL_ENTRYID), Eid(*s, sent));
  EXPECT_EQ(BinProp(s->FolderProps(inbox), PR_IPM_DRAFTS_ENTRYID), Eid(*s, drafts));
  EXPECT_EQ(FindProp(s->StoreProps(), PROP_ID(PR_IPM_OUTBOX_ENTRYID)), nullptr);

  // Ids stay across opens; a message delivered from outside gets a new one.
  const auto inboxIds = s->Messages(inbox, false);
  s.reset();
  Write(d + "/new/1764579700.M200P11.mx", Mime(5));
  auto again = OpenStore(d);
  EXPECT_EQ(Top(*again), top);
  EXPECT_EQ(Child(*again, top, "Sent"), sent);
  EXPECT_EQ(Child(*again, top, "Entwürfe"), drafts);
  auto now = again->Messages(inbox, false);
  ASSERT_EQ(now.size(), 3u);
  EXPECT_EQ(std::vector<ObjId>(now.begin(), now.begin() + 2), inboxIds);
  EXPECT_GT(now[2], *std::max_element(inboxIds.begin(), inboxIds.end()));
  EXPECT_EQ(inet::ToMime(again->LoadMessage(now[2])), Mime(5));
  EXPECT_EQ(Read(d + "/dovecot-uidlist"), uidlist) << "Dovecot's files are never written";
}

TEST(MaildirMessages, StoredByteForByteWithFlagsAndKeywordsInTheName) {
  TempDir t;
  const std::string d = t / "Mail";
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, true);
  auto s = OpenStore(d);
  const ObjId top = Top(*s), inbox = Child(*s, top, "Inbox");
  EXPECT_EQ(Tree(*s), (std::vector<std::string>{"Drafts", "Inbox", "Junk", "Sent", "Trash"}));

  inet::MailFlags flags;
  flags.seen = flags.answered = flags.flagged = flags.forwarded = true;
  flags.keywords = {"$Label1"};
  const ObjId id = s->StoreMessage(inbox, false, inet::FromMime(Mime(7), flags, 0), std::nullopt);
  std::vector<std::string> files;
  for (auto& e : fs::directory_iterator(d + "/cur")) files.push_back(e.path().filename().string());
  ASSERT_EQ(files.size(), 1u);
  // Forwarded: P for Maildir readers, the keyword for Dovecot.
  EXPECT_EQ(files[0].substr(files[0].find(":2,")), ":2,FPRSab");
  EXPECT_EQ(Read(d + "/cur/" + files[0]), Mime(7));
  EXPECT_EQ(Read(d + "/dovecot-keywords"), "0 $Label1\n1 $Forwarded\n");
  EXPECT_TRUE(fs::is_empty(d + "/tmp"));
  EXPECT_EQ(inet::ToMime(s->LoadMessage(id)), Mime(7));
  EXPECT_EQ(inet::FlagsOf(s->LoadMessage(id).props), flags);

  // A change of flags replaces the file, same id, same bytes.
  MessageData m = s->LoadMessage(id);
  flags.flagged = false;
  inet::ApplyFlags(m.props, flags);
  EXPECT_EQ(s->StoreMessage(inbox, false, m, id), id);
  files.clear();
  for (auto& e : fs::directory_iterator(d + "/cur")) files.push_back(e.path().filename().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].substr(files[0].find(":2,")), ":2,PRSab");
  EXPECT_EQ(Read(d + "/cur/" + files[0]), Mime(7));

  // The visible top keeps no messages.
  try {
    s->StoreMessage(top, false, inet::FromMime(Mime(8), {}, 0), std::nullopt);
    ADD_FAILURE() << "stored into the top folder";
  } catch (const MapiError& e) {
    EXPECT_EQ(e.hr(), MAPI_E_NO_ACCESS);
  }
  // Moved and deleted messages leave no file behind.
  const ObjId sent = Child(*s, top, "Sent");
  std::vector<ObjId> one{id};
  s->MoveMessages(one, sent);
  EXPECT_EQ(s->Messages(inbox, false).size(), 0u);
  ASSERT_EQ(s->Messages(sent, false).size(), 1u);
  EXPECT_EQ(inet::ToMime(s->LoadMessage(s->Messages(sent, false)[0])), Mime(7));
  auto ids = s->Messages(sent, false);
  s->DeleteMessages(ids);
  EXPECT_TRUE(fs::is_empty(d + "/.Sent/cur"));
  EXPECT_TRUE(fs::is_empty(d + "/.Sent/tmp"));
}

struct LayoutCase {
  MaildirLayout layout;
  const char* name;
};

class MaildirFolders : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(MaildirFolders, CreateRenameDeleteWithDotsSlashesAndUmlauts) {
  TempDir t;
  const std::string d = t / "Mail";
  const bool fsl = GetParam().layout == MaildirLayout::Fs;
  CreateMaildirStore(d, "Mail", StoreKind::Archive, GetParam().layout, true);
  auto s = OpenStore(d, GetParam().name);
  const ObjId top = Top(*s);
  const ObjId a = s->CreateFolder(top, "Projekte", FOLDER_GENERIC);
  const ObjId b = s->CreateFolder(a, "Köln 2026", FOLDER_GENERIC);
  const ObjId c = s->CreateFolder(b, "Ärger.und.Punkte", FOLDER_GENERIC);
  const ObjId sl = s->CreateFolder(a, "with/slash", FOLDER_GENERIC);
  s->StoreMessage(c, false, inet::FromMime(Mime(1), {}, 0), std::nullopt);
  const std::string kb = maildir::EncodeMutf7("Köln 2026").value();
  EXPECT_EQ(kb, "K&APY-ln 2026");
  if (fsl) {
    EXPECT_TRUE(fs::is_directory(d + "/Projekte/" + kb + "/&AMQ-rger.und.Punkte/cur"));
    EXPECT_TRUE(fs::is_directory(d + "/Projekte/with&IhU-slash/cur"));
  } else {
    EXPECT_TRUE(fs::is_directory(d + "/.Projekte." + kb + ".&AMQ-rger&ICQ-und&ICQ-Punkte/cur"));
    EXPECT_TRUE(fs::is_directory(d + "/.Projekte.with&IhU-slash/cur"));
  }
  const auto names = std::vector<std::string>{"Inbox", "Projekte", "Projekte/Köln 2026",
                                              "Projekte/Köln 2026/Ärger.und.Punkte", "Projekte/with/slash"};
  auto tree = Tree(*s);
  std::erase_if(tree, [](const std::string& n) { return n == "Trash" || n == "Sent"; });
  EXPECT_EQ(tree, names);

  // A rename moves the whole subtree; ids and messages stay.
  s->MoveFolder(a, top, "Projekte.alt");
  s->MoveFolder(sl, b, "slash");
  s.reset();
  s = OpenStore(d, GetParam().name);
  tree = Tree(*s);
  std::erase_if(tree, [](const std::string& n) { return n == "Trash" || n == "Sent"; });
  EXPECT_EQ(tree, (std::vector<std::string>{"Inbox", "Projekte.alt", "Projekte.alt/Köln 2026",
                                            "Projekte.alt/Köln 2026/slash", "Projekte.alt/Köln 2026/Ärger.und.Punkte"}));
  EXPECT_EQ(Child(*s, top, "Projekte.alt"), a);
  EXPECT_EQ(Child(*s, a, "Köln 2026"), b);
  EXPECT_EQ(Child(*s, b, "slash"), sl);
  EXPECT_EQ(s->Messages(c, false).size(), 1u);

  // A directory in the way is a collision, never a silent rename.
  if (fsl)
    MakeMaildir(d + "/Neu", false);
  else
    MakeMaildir(d + "/.Neu", true);
  try {
    s->CreateFolder(top, "Neu", FOLDER_GENERIC);
    ADD_FAILURE() << "created over an existing directory";
  } catch (const MapiError& e) {
    EXPECT_EQ(e.hr(), MAPI_E_COLLISION);
  }

  s->DeleteFolderTree(a, nullptr);
  EXPECT_FALSE(s->GetFolder(a));
  EXPECT_FALSE(s->GetFolder(c));
  for (auto& e : fs::directory_iterator(d))
    EXPECT_EQ(e.path().filename().string().find("Projekte"), std::string::npos) << e.path();
}

TEST_P(MaildirFolders, NewFolderAppearsUnderItsNameOnlyWhenItsTransactionCommits) {
  TempDir t;
  const std::string d = t / "Mail";
  const bool fsl = GetParam().layout == MaildirLayout::Fs;
  CreateMaildirStore(d, "Mail", StoreKind::Archive, GetParam().layout, true);
  auto s = OpenStore(d, GetParam().name);
  const ObjId top = Top(*s);
  const auto before = Snapshot(d, false);
  {
    auto tx = s->BeginWrite();
    const ObjId snap = s->CreateFolder(top, "2026.12.09 13:13 Alice Mail", FOLDER_GENERIC);
    const ObjId sub = s->CreateFolder(top, "Sub", FOLDER_GENERIC);
    const ObjId first = s->StoreMessage(snap, false, inet::FromMime(Mime(1), {}, 0), std::nullopt);
    s->StoreMessage(snap, false, s->LoadMessage(first), first);  // the first file goes
    s->StoreMessage(sub, false, inet::FromMime(Mime(2), {}, 0), std::nullopt);
    s->MoveFolder(sub, snap, "Sub 2");
    s->StoreMessage(s->CreateFolder(sub, "Deep", FOLDER_GENERIC), false, inet::FromMime(Mime(3), {}, 0), std::nullopt);
    EXPECT_EQ(Snapshot(d, false), before) << "a reader sees nothing of the copy yet";
    EXPECT_EQ(inet::ToMime(s->LoadMessage(s->Messages(sub, false).at(0))), Mime(2));
    tx->Commit();
  }
  const std::string snapDir = d + (fsl ? "/2026.12.09 13:13 Alice Mail" : "/.2026&ICQ-12&ICQ-09 13:13 Alice Mail");
  const std::string sep = fsl ? "/" : ".";
  for (const auto& dir : {snapDir, snapDir + sep + "Sub 2", snapDir + sep + "Sub 2" + sep + "Deep"}) {
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/cur"), {}), 1) << dir;
    EXPECT_TRUE(fs::is_empty(dir + "/tmp")) << dir;
  }

  // A directory of the name that another program made meanwhile fails the
  // commit; what it made stays, what the transaction made goes.
  const std::string other = d + (fsl ? "/Neu" : "/.Neu");
  {
    auto tx = s->BeginWrite();
    s->StoreMessage(s->CreateFolder(top, "Neu", FOLDER_GENERIC), false, inet::FromMime(Mime(3), {}, 0), std::nullopt);
    MakeMaildir(other, !fsl);
    Write(other + "/cur/1764579700.M1P1.mx:2,S", Mime(4));
    EXPECT_THROW(tx->Commit(), MapiError);
  }
  EXPECT_FALSE(s->FindSubfolder(top, "Neu"));
  EXPECT_EQ(Read(other + "/cur/1764579700.M1P1.mx:2,S"), Mime(4));
  EXPECT_EQ(std::distance(fs::directory_iterator(other + "/cur"), {}), 1);
  // What a lost journal left waiting in tmp/ goes at the next open.
  MakeMaildir(d + "/tmp/tesk-new.1.2", !fsl);
  Write(d + "/tmp/tesk-new.1.2/cur/1764579701.M1P1.mx:2,", Mime(5));
  s.reset();
  s = OpenStore(d, GetParam().name);
  EXPECT_TRUE(fs::is_empty(d + "/tmp"));
  EXPECT_EQ(s->GetFolder(Child(*s, top, "Neu"))->contentCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MaildirFolders,
                         ::testing::Values(LayoutCase{MaildirLayout::MaildirPlusPlus, "maildir++"},
                                           LayoutCase{MaildirLayout::Fs, "fs"}),
                         [](const auto& p) { return p.param.layout == MaildirLayout::Fs ? "fs" : "maildirpp"; });

TEST(MaildirJournal, WriteTransactionWithoutCommitLeavesTheTreeAsItWas) {
  TempDir t;
  const std::string d = t / "Mail";
  DovecotTree(d);
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  auto s = OpenStore(d);
  const ObjId top = Top(*s), inbox = Child(*s, top, "Inbox"), sent = Child(*s, top, "Sent");
  const auto before = Snapshot(d);
  const auto inboxBefore = s->Messages(inbox, false);
  {
    auto tx = s->BeginWrite();
    for (int k = 0; k < 20; ++k) s->StoreMessage(inbox, false, inet::FromMime(Mime(100 + k), {}, 0), std::nullopt);
    const ObjId f = s->CreateFolder(top, "Neu", FOLDER_GENERIC);
    s->StoreMessage(f, false, inet::FromMime(Mime(200), {}, 0), std::nullopt);
    auto sentIds = s->Messages(sent, false);
    s->DeleteMessages(sentIds);
    s->MoveFolder(Child(*s, top, "Archive"), f, "Archiv");
    std::vector<ObjId> first{inboxBefore[0]};
    s->MoveMessages(first, f);
    EXPECT_EQ(s->Messages(inbox, false).size(), 21u);
  }  // no commit
  EXPECT_EQ(Snapshot(d), before);
  EXPECT_EQ(s->Messages(inbox, false), inboxBefore);
  EXPECT_EQ(Tree(*s), (std::vector<std::string>{"Archive", "Archive/2025", "Entwürfe", "Inbox", "Sent"}));
  s.reset();
  EXPECT_EQ(Snapshot(d), before);
  EXPECT_EQ(OpenStore(d)->Messages(inbox, false), inboxBefore);
}

TEST(MaildirJournal, FailedInnerTransactionThatWroteFilesUndoesTheOuterOne) {
  TempDir t;
  const std::string d = t / "Mail";
  DovecotTree(d);
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  auto s = OpenStore(d);
  const ObjId inbox = Child(*s, Top(*s), "Inbox");
  const auto before = Snapshot(d);
  {
    auto outer = s->BeginWrite();
    { auto empty = s->BeginWrite(); }  // wrote nothing: harmless
    {
      auto inner = s->BeginWrite();
      s->StoreMessage(inbox, false, inet::FromMime(Mime(9), {}, 0), std::nullopt);
    }
    try {
      outer->Commit();
      ADD_FAILURE() << "committed a transaction whose part failed";
    } catch (const MapiError& e) {
      EXPECT_EQ(e.hr(), MAPI_E_CALL_FAILED);
    }
  }
  EXPECT_EQ(Snapshot(d), before);
  EXPECT_EQ(s->Messages(inbox, false).size(), 2u);
  // The next transaction commits as usual.
  s->StoreMessage(inbox, false, inet::FromMime(Mime(10), {}, 0), std::nullopt);
  EXPECT_EQ(OpenStore(d)->Messages(inbox, false).size(), 3u);
}

TEST(MaildirJournal, WriterKilledInTheMiddleLeavesNothingAfterTheNextOpen) {
  TempDir t;
  const std::string d = t / "Mail";
  DovecotTree(d);
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  const auto before = Snapshot(d, false);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    auto s = OpenStore(d);
    const ObjId top = Top(*s);
    auto tx = s->BeginWrite();
    const ObjId f = s->CreateFolder(top, "Kopie", FOLDER_GENERIC);
    const ObjId inbox = Child(*s, top, "Inbox");
    auto ids = s->Messages(Child(*s, top, "Sent"), false);
    s->DeleteMessages(ids);
    std::string big(200000, 'x');
    for (int k = 0;; ++k) {
      s->StoreMessage(k % 2 ? f : inbox, false, inet::FromMime(Mime(k) + big, {}, 0), std::nullopt);
      if (k == 50) (void)!::write(ready[1], "x", 1);
    }
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::usleep(100000);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ::close(ready[0]);

  auto s = OpenStore(d);
  EXPECT_EQ(Tree(*s), (std::vector<std::string>{"Archive", "Archive/2025", "Entwürfe", "Inbox", "Sent"}));
  const ObjId top = Top(*s);
  EXPECT_EQ(s->GetFolder(Child(*s, top, "Inbox"))->contentCount, 2);
  EXPECT_EQ(s->GetFolder(Child(*s, top, "Sent"))->contentCount, 1);
  EXPECT_EQ(Snapshot(d, false), before);
}

TEST(MaildirStandardFolders, GermanNamesFoundAndKeptByEntryId) {
  TempDir t;
  const std::string d = t / "Mail";
  MakeMaildir(d, false);
  for (const char* name : {"Gesendete Objekte", "Gelöschte Elemente", "Entwürfe", "Junk-E-Mail", "Postausgang"})
    MakeMaildir(d + "/." + maildir::EncodeMutf7(name).value(), true);
  CreateMaildirStore(d, "Post", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  std::string sentEid, trashEid, draftsEid;
  {
    auto s = OpenStore(d);
    const ObjId top = Top(*s);
    sentEid = BinProp(s->StoreProps(), PR_IPM_SENTMAIL_ENTRYID);
    trashEid = BinProp(s->StoreProps(), PR_IPM_WASTEBASKET_ENTRYID);
    draftsEid = BinProp(s->FolderProps(s->RootFolder()), PR_IPM_DRAFTS_ENTRYID);
    EXPECT_EQ(sentEid, Eid(*s, Child(*s, top, "Gesendete Objekte")));
    EXPECT_EQ(trashEid, Eid(*s, Child(*s, top, "Gelöschte Elemente")));
    EXPECT_EQ(draftsEid, Eid(*s, Child(*s, top, "Entwürfe")));
  }
  auto s = OpenStore(d);
  EXPECT_EQ(BinProp(s->StoreProps(), PR_IPM_SENTMAIL_ENTRYID), sentEid);
  EXPECT_EQ(BinProp(s->StoreProps(), PR_IPM_WASTEBASKET_ENTRYID), trashEid);
  EXPECT_EQ(Eid(*s, Child(*s, Top(*s), "Gelöschte Elemente")), trashEid);
}

TEST(MaildirStandardFolders, DeletedJunkIsEmptiedAndKeptUntilAFolderOfItsNameTakesItAgain) {
  TempDir t;
  const std::string d = t / "Mail";
  DovecotTree(d);
  MakeMaildir(d + "/.Junk", true);
  Write(d + "/.Junk/cur/1764579610.M110P10.mx:2,S", Mime(11));
  CreateMaildirStore(d, "Mail", StoreKind::Mailbox, MaildirLayout::MaildirPlusPlus, false);
  auto s = OpenStore(d);
  const ObjId top = Top(*s);
  struct stat before {}, after {};
  ASSERT_EQ(::stat((d + "/.Junk").c_str(), &before), 0);
  {
    auto tx = s->BeginWrite();
    s->DeleteFolderTree(Child(*s, top, "Junk"), nullptr);
  }  // no commit: nothing happened
  EXPECT_EQ(s->GetFolder(Child(*s, top, "Junk"))->contentCount, 1);
  s->DeleteFolderTree(Child(*s, top, "Junk"), nullptr);
  EXPECT_FALSE(s->FindSubfolder(top, "Junk"));
  EXPECT_TRUE(fs::is_empty(d + "/.Junk/cur"));
  s->StoreMessage(s->CreateFolder(top, "Junk", FOLDER_GENERIC), false, inet::FromMime(Mime(12), {}, 0), std::nullopt);
  ASSERT_EQ(::stat((d + "/.Junk").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(std::distance(fs::directory_iterator(d + "/.Junk/cur"), {}), 1);
}

TEST(MaildirNames, ModifiedUtf7BothWays) {
  EXPECT_EQ(maildir::EncodeMutf7("Entwürfe").value(), "Entw&APw-rfe");
  EXPECT_EQ(maildir::EncodeMutf7("a&b").value(), "a&-b");
  // What a layout cannot hold is written as a look-alike, never as printable
  // ASCII in a base64 run (Dovecot refuses such a name).
  for (const auto& [name, onDisk] : std::vector<std::pair<std::string, std::string>>{
           {"a.b/c", "a\u2024b\u2215c"}, {"~x.", "\uFF5Ex\u2024"}, {"a~", "a~"}, {"A&B", "A&B"}})
    EXPECT_EQ(maildir::DecodeMutf7(maildir::EncodeComponent(name, false).value()), onDisk) << name;
  for (const auto& [name, onDisk] : std::vector<std::pair<std::string, std::string>>{
           {"a.b/c", "a.b\u2215c"}, {".x", "\u2024x"}, {"~x", "\uFF5Ex"}, {"cur", "\uFF43ur"}, {"tesk-x", "\uFF54esk-x"}})
    EXPECT_EQ(maildir::DecodeMutf7(maildir::EncodeComponent(name, true).value()), onDisk) << name;
  EXPECT_EQ(maildir::EncodeComponent("a.b", false).value(), "a&ICQ-b");
  EXPECT_EQ(maildir::EncodeComponent("cur", true).value(), "&,0M-ur");
  for (const char* n : {"Entwürfe", "日本語", "a&b", "😀 x", "Tab\tand\x7f"})
    EXPECT_EQ(maildir::DecodeMutf7(maildir::EncodeComponent(n, false).value()).value(), n);
  EXPECT_FALSE(maildir::DecodeMutf7("a&AGM"));
  EXPECT_FALSE(maildir::EncodeMutf7("\xff"));
  EXPECT_EQ(maildir::DisplayNameOf("Grüße"), "Grüße") << "UTF-8 written directly by another tool";
  // An encoded NUL would cut the name short: the name stays as written.
  EXPECT_FALSE(maildir::DecodeMutf7("Bad&AAA-Name"));
  EXPECT_EQ(maildir::DisplayNameOf("Bad&AAA-Name"), "Bad&AAA-Name");
}

}  // namespace
