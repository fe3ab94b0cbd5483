// The SQLite store as an archive of snapshots: a message's Internet bytes
// are kept once per file and shared by every copy, each copy keeps what is
// its own (flags, what a client changed), deleting one copy frees only what
// no other uses, and files of the first format open and list as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <fstream>
#include <iostream>
#include <sstream>

#include "fixture.h"
#include "inetmail/inetmail.h"
#include "provider.h"
#include "providers/common/sqlite_db.h"
#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_provider.h"
#include "scoped_env.h"

using namespace testing_support;
namespace mapi = tesk::mapi;
namespace inet = tesk::mapi::inet;

namespace {

// A message with a non-ASCII subject and sender, a text body and, for odd n,
// an attachment of some kilobytes.
std::string Mime(int n) {
  std::ostringstream m;
  m << "Received: from mx.example.com by mail.example.org; Tue, 3 Mar 2026 10:0" << n % 10 << ":00 +0000\r\n"
    << "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg@example.net>\r\n"
    << "To: Anna Berger <anna@example.com>, paul@example.org\r\n"
    << "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= " << n << "\r\n"
    << "Date: Tue, 3 Mar 2026 10:00:00 +0000\r\n"
    << "Message-ID: <archive." << n << "@example.com>\r\nMIME-Version: 1.0\r\n";
  std::string text;
  for (int k = 0; k < 40 + n; ++k) text += "Line " + std::to_string(k) + " of message " + std::to_string(n) + ".\r\n";
  if (n % 2 == 0) {
    m << "Content-Type: text/plain; charset=utf-8\r\n\r\n" << text;
    return m.str();
  }
  m << "Content-Type: multipart/mixed; boundary=\"b" << n << "\"\r\n\r\n--b" << n
    << "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" << text << "--b" << n
    << "\r\nContent-Type: text/plain; name=\"Bericht M=C3=A4rz.txt\"\r\nContent-Disposition: attachment; "
       "filename=\"report.txt\"\r\n\r\n";
  for (int k = 0; k < 200; ++k) m << "attachment row " << k << " " << n * 7919 % 1000 << "\r\n";
  m << "--b" << n << "--\r\n";
  return m.str();
}

mapi::MessageData Message(int n) {
  inet::MailFlags flags;
  flags.seen = n % 3 != 0;
  flags.flagged = n % 4 == 0;
  if (n % 5 == 0) flags.keywords = {"Work", "$Label1"};
  return inet::FromMime(Mime(n), flags, mapi::FiletimeFromUnix(1772532000 + n));
}

mapi::MessageData Normalized(mapi::MessageData m) {
  mapi::sqlite::content::Normalize(m);
  return m;
}

void ExpectSame(const mapi::MessageData& a, const mapi::MessageData& b, const std::string& what) {
  EXPECT_TRUE(Normalized(a).props == Normalized(b).props) << what << ": properties differ";
  EXPECT_TRUE(Normalized(a).recipients == Normalized(b).recipients) << what << ": recipients differ";
  EXPECT_TRUE(Normalized(a).attachments == Normalized(b).attachments) << what << ": attachments differ";
}

std::int64_t Query(const std::string& file, const std::string& sql) {
  mapi::sqlite::Db db;
  db.Open(mapi::sqlite::UriPath(file) + "?mode=ro", SQLITE_OPEN_READONLY);
  auto s = db.Prepare(sql);
  return s.Step() ? s.Int(0) : -1;
}

// The bytes of the file's pages in use.
std::int64_t Used(const std::string& file) {
  return Query(file, "SELECT (page_count - freelist_count) * page_size FROM pragma_page_count, pragma_freelist_count, pragma_page_size");
}

struct Archive {
  TempDir dir;
  std::string file = dir / "archive.store";
  std::shared_ptr<mapi::StoreProvider> store;
  mapi::ObjId top = 0;
  Archive() {
    mapi::CreateStoreFile(file, "Archive", mapi::StoreKind::Archive);
    store = mapi::OpenStoreFile(file);
    top = store->Subfolders(store->RootFolder()).front();
  }
  std::vector<mapi::ObjId> Snapshot(const std::string& name, int first, int last) {
    const mapi::ObjId folder = store->CreateFolder(top, name, FOLDER_GENERIC);
    std::vector<mapi::ObjId> ids;
    for (int n = first; n <= last; ++n) ids.push_back(store->StoreMessage(folder, false, Message(n), std::nullopt));
    return ids;
  }
  std::int64_t Contents() { return Query(file, "SELECT count(*) FROM content"); }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(Archive, SnapshotsShareContentAndEachCopyKeepsItsOwnChanges) {
  Archive a;
  const auto first = a.Snapshot("2026.03.03 10:00 Mail", 1, 30);
  ASSERT_EQ(a.Contents(), 30);
  const auto sizeAfterFirst = Used(a.file);
  const auto second = a.Snapshot("2026.03.04 10:00 Mail", 1, 30);
  EXPECT_EQ(a.Contents(), 30) << "the second snapshot's bytes are the first's";
  EXPECT_EQ(Query(a.file, "SELECT min(refs) * 1000 + max(refs) FROM content"), 2002);
  EXPECT_EQ(Query(a.file, "SELECT count(*) FROM attachment"), 0) << "attachments are derived from the bytes";
  const auto sizeAfterSecond = Used(a.file);
  EXPECT_LT(sizeAfterSecond - sizeAfterFirst, sizeAfterFirst / 10) << sizeAfterFirst << " bytes, then " << sizeAfterSecond;

  // Every copy reads back as it was stored: flags, keywords, delivery time,
  // body, recipients, attachments.
  for (int n = 1; n <= 30; ++n) {
    ExpectSame(a.store->LoadMessage(first[n - 1]), Message(n), "first " + std::to_string(n));
    ExpectSame(a.store->LoadMessage(second[n - 1]), Message(n), "second " + std::to_string(n));
    EXPECT_EQ(a.store->GetMessage(second[n - 1])->hasAttachments, n % 2 == 1);
  }

  // A client flags one copy and gives it a category: the other copy stays.
  mapi::MessageData changed = a.store->LoadMessage(second[4]);
  inet::MailFlags f = inet::FlagsOf(changed.props);
  f.flagged = true;
  f.seen = false;
  f.keywords = {"Changed"};
  inet::ApplyFlags(changed.props, f);
  std::erase_if(changed.props, [](const mapi::Prop& p) { return p.tag == PR_SENDER_NAME_A || p.tag == PR_SUBJECT_A; });
  changed.props.push_back(mapi::Prop::Bytes(PR_SUBJECT_A, "a new subject"));
  a.store->StoreMessage(a.store->GetMessage(second[4])->folder, false, changed, second[4]);
  ExpectSame(a.store->LoadMessage(second[4]), changed, "changed copy");
  EXPECT_EQ(mapi::FindProp(a.store->MessageProps(second[4]), PR_SENDER_NAME_A), nullptr);
  ExpectSame(a.store->LoadMessage(first[4]), Message(5), "the other copy");
  EXPECT_EQ(a.Contents(), 30);

  // Deleting the first snapshot keeps the second whole; a message only
  // the deleted snapshot had goes with it.
  const auto extra = a.Snapshot("2026.03.05 10:00 Mail", 31, 32);
  EXPECT_EQ(a.Contents(), 32);
  a.store->DeleteFolderTree(a.store->GetMessage(first[0])->folder, {});
  a.store->DeleteFolderTree(a.store->GetMessage(extra[0])->folder, {});
  EXPECT_EQ(a.Contents(), 30);
  EXPECT_EQ(Query(a.file, "SELECT max(refs) FROM content"), 1);
  for (int n = 1; n <= 30; ++n)
    if (n != 5) ExpectSame(a.store->LoadMessage(second[n - 1]), Message(n), "kept " + std::to_string(n));
  a.store->DeleteMessages(second);
  EXPECT_EQ(a.Contents(), 0) << "the last reference frees the content";
}

TEST(Archive, AFolderDeletedByItsCascadeFreesItsContentToo) {
  Archive a;
  a.Snapshot("Only here", 1, 5);
  a.Snapshot("Shared", 4, 6);
  a.store.reset();
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(a.file) + " 'PRAGMA foreign_keys=ON; DELETE FROM folder WHERE name=\"Only here\"'"), 0);
  EXPECT_EQ(Query(a.file, "SELECT count(*) FROM message"), 3);
  EXPECT_EQ(Query(a.file, "SELECT count(*) FROM content"), 3);
  EXPECT_EQ(Query(a.file, "SELECT count(*) FROM content_data"), 3);
  EXPECT_EQ(Query(a.file, "SELECT max(refs) FROM content"), 1);
}

// Between stores that keep mail as Internet bytes a message travels as its
// bytes, flags and delivery time: what the archive makes of them is what
// the converter makes, and what it gives back as bytes is only a message a
// client changed no more than the flags of.
TEST(Archive, MessagesGoAsTheirBytesWhereNothingButFlagsChanged) {
  Archive a;
  const mapi::ObjId folder = a.store->CreateFolder(a.top, "2026.03.03 10:00 Mail", FOLDER_GENERIC);
  auto bytesOf = [](int n) {
    const mapi::MessageData m = Message(n);
    return mapi::InternetMessage{Mime(n), inet::FlagsOf(m.props), inet::DeliveryTimeOf(m.props), {}, false, nullptr};
  };
  std::vector<mapi::ObjId> asBytes, asProps;
  for (int n = 1; n <= 12; ++n) {
    auto id = a.store->StoreInternet(folder, bytesOf(n));
    ASSERT_TRUE(id);
    asBytes.push_back(*id);
    asProps.push_back(a.store->StoreMessage(folder, false, Message(n), std::nullopt));
  }
  EXPECT_EQ(a.Contents(), 12) << "bytes and properties of one message share one content";
  for (int n = 1; n <= 12; ++n) {
    SCOPED_TRACE("message " + std::to_string(n));
    ExpectSame(a.store->LoadMessage(asBytes[n - 1]), Message(n), "stored as bytes");
    EXPECT_EQ(a.store->GetMessage(asBytes[n - 1])->size, a.store->GetMessage(asProps[n - 1])->size);
    EXPECT_EQ(a.store->GetMessage(asBytes[n - 1])->hasAttachments, n % 2 == 1);
    for (mapi::ObjId id : {asBytes[n - 1], asProps[n - 1]}) {
      auto back = a.store->LoadInternet(id);
      ASSERT_TRUE(back);
      EXPECT_EQ(back->bytes, Mime(n));
      EXPECT_TRUE(back->flags == bytesOf(n).flags);
      EXPECT_EQ(back->deliveryTime, bytesOf(n).deliveryTime);
    }
  }
  // A delivery time other than the headers', and no flags at all.
  mapi::InternetMessage late = bytesOf(2);
  late.flags = {};
  late.deliveryTime += 86400LL * 10000000;
  const mapi::ObjId l = *a.store->StoreInternet(folder, late);
  ExpectSame(a.store->LoadMessage(l), inet::FromMime(late.bytes, {}, late.deliveryTime), "late");
  EXPECT_EQ(a.store->LoadInternet(l)->deliveryTime, late.deliveryTime);

  // A client flags a copy: it still goes as bytes, with its new flags.
  mapi::MessageData flagged = a.store->LoadMessage(asBytes[2]);
  inet::MailFlags f = inet::FlagsOf(flagged.props);
  f.flagged = true;
  f.forwarded = true;
  f.keywords = {"Later"};
  inet::ApplyFlags(flagged.props, f);
  a.store->StoreMessage(folder, false, flagged, asBytes[2]);
  EXPECT_TRUE(a.store->LoadInternet(asBytes[2])->flags == f);
  // A client changes a subject, or takes the Message-ID away: the message
  // goes as its properties, which the bytes no longer give.
  mapi::MessageData subject = a.store->LoadMessage(asBytes[3]);
  for (auto& p : subject.props)
    if (p.tag == PR_SUBJECT_A) p.b = "a new subject";
  a.store->StoreMessage(folder, false, subject, asBytes[3]);
  EXPECT_FALSE(a.store->LoadInternet(asBytes[3]));
  mapi::MessageData noId = a.store->LoadMessage(asBytes[4]);
  std::erase_if(noId.props, [](const mapi::Prop& p) { return p.tag == inet::PR_INTERNET_MESSAGE_ID; });
  a.store->StoreMessage(folder, false, noId, asBytes[4]);
  EXPECT_FALSE(a.store->LoadInternet(asBytes[4]));
  // One a client rewrote the body of is kept as rows, never as bytes.
  mapi::MessageData body = Message(6);
  for (auto& p : body.props)
    if (p.tag == PR_BODY_A) p.b = "rewritten";
  EXPECT_FALSE(a.store->LoadInternet(a.store->StoreMessage(folder, false, body, std::nullopt)));
  ExpectSame(a.store->LoadMessage(asBytes[3]), subject, "changed subject");
  ExpectSame(a.store->LoadMessage(asProps[3]), Message(4), "the other copy");
}

TEST(Archive, AMessageUnlikeItsBytesIsKeptAsItIs) {
  Archive a;
  const mapi::ObjId folder = a.store->CreateFolder(a.top, "Work", FOLDER_GENERIC);
  // A body a client rewrote, and a recipient taken away: the bytes no
  // longer give the message, which keeps its own rows.
  mapi::MessageData edited = Message(3);
  for (auto& p : edited.props)
    if (p.tag == PR_BODY_A) p.b = "rewritten by a client";
  const mapi::ObjId e = a.store->StoreMessage(folder, false, edited, std::nullopt);
  mapi::MessageData fewer = Message(4);
  fewer.recipients.pop_back();
  const mapi::ObjId r = a.store->StoreMessage(folder, false, fewer, std::nullopt);
  ExpectSame(a.store->LoadMessage(e), edited, "edited body");
  ExpectSame(a.store->LoadMessage(r), fewer, "fewer recipients");
  EXPECT_EQ(a.Contents(), 0);
  // The same message as its bytes give it shares them again.
  const mapi::ObjId s = a.store->StoreMessage(folder, false, Message(3), e);
  ExpectSame(a.store->LoadMessage(s), Message(3), "replaced");
  EXPECT_EQ(a.Contents(), 1);
  EXPECT_EQ(Query(a.file, "SELECT count(DISTINCT message_id) FROM recipient"), 1) << "only the message with fewer recipients";
}

TEST(Archive, ACopyBetweenFilesTakesEachContentOnce) {
  Archive src, dest;
  const auto ids = src.Snapshot("Mail", 1, 12);
  for (const char* name : {"2026.03.03 10:00 Mail", "2026.03.04 10:00 Mail"}) {
    const mapi::ObjId folder = dest.store->CreateFolder(dest.top, name, FOLDER_GENERIC);
    ASSERT_TRUE(dest.store->CopyMessagesFrom(*src.store, ids, folder, {}));
  }
  EXPECT_EQ(dest.Contents(), 12);
  EXPECT_EQ(Query(dest.file, "SELECT min(refs) * 1000 + max(refs) FROM content"), 2002);
  // Within one file, too.
  const mapi::ObjId again = dest.store->CreateFolder(dest.top, "Again", FOLDER_GENERIC);
  const auto destIds = dest.store->Messages(dest.store->FindSubfolder(dest.top, "2026.03.03 10:00 Mail").value(), false);
  ASSERT_TRUE(dest.store->CopyMessagesFrom(*dest.store, destIds, again, {}));
  EXPECT_EQ(dest.Contents(), 12);
  EXPECT_EQ(Query(dest.file, "SELECT min(refs) FROM content"), 3);
  const auto copied = dest.store->Messages(again, false);
  ASSERT_EQ(copied.size(), 12u);
  for (int n = 1; n <= 12; ++n) ExpectSame(dest.store->LoadMessage(copied[n - 1]), Message(n), std::to_string(n));
}

// The store file of the first format (tests/platform/fixtures, made by
// make_v1_store.sh with a build of that format) is migrated when it opens
// and lists the same folders and messages as before.
TEST(Archive, AFileOfTheFirstFormatIsMigratedAndListsAsBefore) {
  TempDir dir;
  const std::string fixtures = std::string(FIXTURES_DIR);
  const std::string file = dir / "v1.store";
  std::filesystem::copy_file(fixtures + "/v1.store", file);
  ASSERT_EQ(Query(file, "PRAGMA user_version"), 1);

  // A migration that fails half-way (a table of the new format's name is
  // in the way) leaves the file as it was.
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(file) + " 'CREATE TABLE content(x)'"), 0);
  EXPECT_THROW(mapi::OpenStoreFile(file), mapi::MapiError);
  EXPECT_EQ(Query(file, "PRAGMA user_version"), 1);
  EXPECT_EQ(Query(file, "SELECT count(*) FROM pragma_table_info('message') WHERE name='content_id'"), 0);
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(file) + " 'DROP TABLE content'"), 0);

  ScopedEnv config("MAPI_CONFIG_DIR", dir / "config");
  Mapiadmin("profile create Fixture --default");
  Mapiadmin("store add Fixture " + Quote(file));
  const std::string tree = Mapiadmin("tree Fixture Archive --json");
  EXPECT_EQ(Query(file, "PRAGMA user_version"), 4);
  EXPECT_EQ(tree, ReadFile(fixtures + "/v1.tree.json"));

  // What is written now shares content; the old rows stay as they are.
  auto store = mapi::OpenStoreFile(file);
  const mapi::ObjId top = store->Subfolders(store->RootFolder()).front();
  const mapi::ObjId folder = store->CreateFolder(top, "New", FOLDER_GENERIC);
  const mapi::ObjId id = store->StoreMessage(folder, false, Message(7), std::nullopt);
  ExpectSame(store->LoadMessage(id), Message(7), "new message");
  EXPECT_EQ(Query(file, "SELECT count(*) FROM content"), 1);
}

// A file of the first format that cannot be written is read as it is.
TEST(Archive, AFileOfTheFirstFormatOnAReadOnlyMountIsReadAsItIs) {
  std::string out;
  if (RunCommand("unshare -m true 2>&1", &out) != 0) GTEST_SKIP() << "no mount namespace: " << out;
  TempDir dir;
  const std::string fixtures = std::string(FIXTURES_DIR);
  const std::string ro = dir / "ro";
  std::filesystem::create_directories(ro);
  const std::string file = ro + "/v1.store";
  std::filesystem::copy_file(fixtures + "/v1.store", file);
  ScopedEnv config("MAPI_CONFIG_DIR", dir / "config");
  Mapiadmin("profile create Fixture --default");
  Mapiadmin("store add Fixture " + Quote(file));  // opens the file, and migrates it
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix);
  std::filesystem::copy_file(fixtures + "/v1.store", file);
  const std::string script = "mount --bind " + Quote(ro) + " " + Quote(ro) + " && mount -o remount,bind,ro " + Quote(ro) +
                             " && " + MAPIADMIN_PATH + " tree Fixture Archive --json > " + Quote(dir / "tree.json") +
                             " && " + MAPIADMIN_PATH + " check Fixture Archive";
  EXPECT_EQ(RunCommand("unshare -m sh -c " + Quote(script) + " 2>&1", &out), 0) << out;
  EXPECT_EQ(ReadFile(dir / "tree.json"), ReadFile(fixtures + "/v1.tree.json"));
  EXPECT_EQ(Query(file, "PRAGMA user_version"), 1) << "not migrated";
}

namespace {

// A profile of its own (MAPI_CONFIG_DIR in dir) with the archive file as
// store "Archive".
struct ArchiveProfile {
  explicit ArchiveProfile(const TempDir& dir, const std::string& file) : config("MAPI_CONFIG_DIR", dir / "config") {
    Mapiadmin("profile create Arch --default");
    Mapiadmin("store add Arch " + Quote(file));
  }
  ScopedEnv config;
};

int Admin(const std::string& args, std::string* out) {
  return RunCommand(std::string(MAPIADMIN_PATH) + " " + args + " 2>&1", out);
}

}  // namespace

TEST(Archive, CheckReadsEveryContentBackAndNamesWhatIsDamaged) {
  Archive a;
  a.Snapshot("2026.03.03 10:00 Mail", 1, 6);
  a.Snapshot("2026.03.04 10:00 Mail", 1, 6);
  a.store.reset();
  ArchiveProfile profile(a.dir, a.file);
  std::string out;
  EXPECT_EQ(Admin("check Arch Archive", &out), 0) << out;
  EXPECT_NE(out.find("6 contents read back"), std::string::npos) << out;

  // Bytes of one stored content overwritten (the row stays readable to
  // SQLite), and one reference count wrong.
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(a.file) +
                       " \"UPDATE content_data SET data = substr(data, 1, 40) || x'5a5a5a5a' || substr(data, 45)"
                       " WHERE id = (SELECT min(id) FROM content_data); UPDATE content SET refs = 5 WHERE id ="
                       " (SELECT max(id) FROM content)\""),
            0);
  EXPECT_EQ(Admin("check Arch Archive", &out), 1) << out;
  EXPECT_NE(out.find("content 1: its bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("in folder \"2026.03.03 10:00 Mail\""), std::string::npos) << out;
  EXPECT_NE(out.find("in folder \"2026.03.04 10:00 Mail\""), std::string::npos) << out;
  EXPECT_NE(out.find("content 6: counted 5 references, 2 messages use it"), std::string::npos) << out;
  EXPECT_NE(out.find("2 problems found"), std::string::npos) << out;
}

TEST(Archive, StatsCountSharingAndPruneGivesTheSpaceBack) {
  Archive a;
  for (int day = 3; day <= 6; ++day) a.Snapshot("2026.03.0" + std::to_string(day) + " 10:00 Mail", 1, 20);
  a.Snapshot("Kept by hand", 21, 40);
  a.store.reset();
  ArchiveProfile profile(a.dir, a.file);
  std::string out;
  ASSERT_EQ(Admin("stats Arch Archive", &out), 0) << out;
  EXPECT_NE(out.find("(4 snapshots)"), std::string::npos) << out;
  EXPECT_NE(out.find("messages:           100 (100 with shared content)"), std::string::npos) << out;
  EXPECT_NE(out.find("sharing ratio:      2."), std::string::npos) << out;  // 100 references to 40 contents
  ASSERT_EQ(Admin("stats Arch Archive \"2026.03.05 10:00 Mail\"", &out), 0) << out;
  EXPECT_NE(out.find("messages:           20 "), std::string::npos) << out;
  EXPECT_NE(Admin("stats Arch Archive Nowhere", &out), 0);
  EXPECT_NE(out.find("has no folder \"Nowhere\""), std::string::npos) << out;

  const auto before = std::filesystem::file_size(a.file);
  ASSERT_EQ(Admin("prune Arch 'Archive' --keep-last 1", &out), 0) << out;
  EXPECT_NE(out.find("1 snapshot kept, 3 snapshots deleted"), std::string::npos) << out;
  EXPECT_NE(out.find("given back"), std::string::npos) << out;
  EXPECT_EQ(Query(a.file, "SELECT count(*) FROM content"), 40) << "every content is still used";
  ASSERT_EQ(Admin("check Arch Archive", &out), 0) << out;
  ASSERT_EQ(Admin("compact Arch Archive", &out), 0) << out;
  EXPECT_LE(std::filesystem::file_size(a.file), before);
  EXPECT_EQ(Query(a.file, "PRAGMA freelist_count"), 0);
}

namespace {

// A generated Maildir as the profile's default store "Mail", saved into the
// archive by a copy of TeskSave of its own (exe).
struct SavedMaildir {
  SavedMaildir(Archive& a, int messages, int seed, int maxAttachment) : profile(a.dir, a.file) {
    EXPECT_EQ(RunCommand("python3 " + Quote(std::string(BENCH_DIR) + "/maildir_corpus.py") + " generate " +
                         Quote(a.dir / "mail") + " --messages " + std::to_string(messages) + " --seed " +
                         std::to_string(seed) + " --max-attachment " + std::to_string(maxAttachment) + " >/dev/null"),
              0);
    Mapiadmin("store add-maildir Arch " + Quote(a.dir / "mail") + " --name Mail --kind mailbox --layout maildir++ --default");
    std::filesystem::create_directories(a.dir / "bin");
    exe = a.dir / "bin/TeskSave";
    std::filesystem::copy_file(TESKSAVE_PATH, exe);
  }
  ArchiveProfile profile;
  std::string exe;
};

pid_t StartSave(const std::string& exe, const std::string& zone) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("TZ", zone.c_str(), 1);
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(v);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(exe.c_str(), "TeskSave", "", "Mail", "Archive", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// The snapshot folders below the archive's top, each's tree without its name.
std::map<std::string, nlohmann::json> Snapshots() {
  std::map<std::string, nlohmann::json> out;
  const auto tree = nlohmann::json::parse(Mapiadmin("tree Arch Archive --json"));
  for (auto f : tree["folders"]) {
    const std::string name = f["name"];
    if (name == "Deleted Items") continue;
    f.erase("name");
    out[name] = f;
  }
  return out;
}

}  // namespace

// Saves of a Maildir (messages with their Internet bytes) into an archive
// that shares their content with an earlier snapshot, killed at moments
// spread over the run: each leaves a file that passes the check, with the
// whole snapshot or none of it.
TEST(Archive, AKilledSaveLeavesTheWholeSnapshotOrNoneAndAWholeFile) {
  Archive a;
  a.store.reset();
  SavedMaildir mail(a, 400, 9, 40000);
  const std::string& exe = mail.exe;

  const auto t0 = std::chrono::steady_clock::now();
  int status = 0;
  const pid_t first = StartSave(exe, "Etc/GMT+1");
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << [&] {
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(a.dir / "bin"))
      if (e.path().extension() == ".log") log += ReadFile(e.path());
    return log;
  }();
  const auto duration = std::chrono::steady_clock::now() - t0;
  auto snapshots = Snapshots();
  ASSERT_EQ(snapshots.size(), 1u) << Mapiadmin("tree Arch");
  const nlohmann::json whole = snapshots.begin()->second;
  const auto contents = Query(a.file, "SELECT count(*) FROM content");
  ASSERT_GT(contents, 300);

  int killed = 0;
  for (int k = 0; k < 8; ++k) {
    const auto delay = duration * (k + 1) / 9;
    SCOPED_TRACE("killed after " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()) + " ms");
    const pid_t pid = StartSave(exe, "Etc/GMT+" + std::to_string(k + 2));
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) ++killed;
    std::string out;
    EXPECT_EQ(Admin("check Arch Archive", &out), 0) << out;
    for (const auto& [name, tree] : Snapshots()) EXPECT_EQ(tree, whole) << name << " is not whole";
    EXPECT_EQ(Query(a.file, "SELECT count(*) FROM content"), contents) << "content of a killed save stayed";
  }
  EXPECT_GT(killed, 0);
}

// Prunes killed at moments spread over their run: each leaves a file that
// passes the check, where every snapshot is whole or gone, and the kept one
// always whole.
TEST(Archive, AKilledPruneLeavesWholeSnapshotsOrNoneAndAWholeFile) {
  Archive a;
  a.store.reset();
  SavedMaildir mail(a, 300, 4, 20000);
  const std::string& exe = mail.exe;
  // Six snapshots; the files of the fourth differ (a new message), so that
  // a prune frees content too.
  for (int k = 0; k < 6; ++k) {
    if (k == 3) {
      ASSERT_EQ(RunCommand("python3 " + Quote(std::string(BENCH_DIR) + "/maildir_corpus.py") + " generate " +
                           Quote(a.dir / "more") + " --messages 20 --seed 5 >/dev/null && cp " +
                           Quote(a.dir / "more") + "/cur/* " + Quote(a.dir / "mail") + "/cur/"),
                0);
    }
    int status = 0;
    const pid_t pid = StartSave(exe, "Etc/GMT+" + std::to_string(k + 1));
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const auto whole = Snapshots();
  ASSERT_EQ(whole.size(), 6u);
  a.store.reset();
  const std::string keep = a.dir / "before.store";
  std::filesystem::copy_file(a.file, keep);  // no WAL left: the saves ended
  auto prune = [&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(MAPIADMIN_PATH, "mapiadmin", "prune", "Arch", "Archive", "--keep-last", "1", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  int status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = prune();
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto duration = std::chrono::steady_clock::now() - t0;
  ASSERT_EQ(Snapshots().size(), 1u);
  const std::string newest = whole.rbegin()->first;
  int killed = 0;
  for (int k = 0; k < 6; ++k) {
    std::filesystem::remove(a.file + "-wal");
    std::filesystem::remove(a.file + "-shm");
    std::filesystem::copy_file(keep, a.file, std::filesystem::copy_options::overwrite_existing);
    const auto delay = duration * (k + 1) / 7;
    SCOPED_TRACE("killed after " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()) + " ms");
    pid = prune();
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) ++killed;
    std::string out;
    EXPECT_EQ(Admin("check Arch Archive", &out), 0) << out;
    const auto left = Snapshots();
    EXPECT_TRUE(left.count(newest)) << "the kept snapshot";
    for (const auto& [name, tree] : left) EXPECT_EQ(tree, whole.at(name)) << name << " is not whole";
  }
  EXPECT_GT(killed, 0);
}

TEST(Archive, BytesThatDoNotCompressAreKeptAsTheyAre) {
  std::string noise;
  std::uint64_t x = 88172645463325252ULL;
  for (int k = 0; k < 20000; ++k) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    noise += static_cast<char>(x & 0xFF);
  }
  namespace content = mapi::sqlite::content;
  const auto packed = content::Pack(noise);
  EXPECT_EQ(packed.codec, content::kStored);
  EXPECT_EQ(content::Unpack(packed.codec, packed.data, static_cast<std::int64_t>(noise.size())), noise);
  const std::string text(20000, 'a');
  const auto small = content::Pack(text);
  EXPECT_EQ(small.codec, content::kZstd);
  EXPECT_LT(small.data.size(), 200u);
  EXPECT_EQ(content::Unpack(small.codec, small.data, 20000), text);
  EXPECT_THROW(content::Unpack(small.codec, small.data.substr(0, small.data.size() - 3), 20000), mapi::MapiError);
}

// The migration of the first format's fixture, killed at moments spread
// over a run of `mapiadmin store add` (which opens the file for writing):
// each time the file is of the old format or the new one, whole, and lists
// as before once it is opened again.
TEST(Archive, AMigrationKilledAtAnyMomentLeavesTheOldFileOrTheNewOne) {
  TempDir dir;
  const std::string fixtures = std::string(FIXTURES_DIR);
  const std::string want = ReadFile(fixtures + "/v1.tree.json");
  ScopedEnv config("MAPI_CONFIG_DIR", dir / "config");
  auto start = [&](const std::string& profile, const std::string& file) {
    Mapiadmin("profile create " + profile);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(MAPIADMIN_PATH, "mapiadmin", "store", "add", profile.c_str(), file.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  const std::string timed = dir / "timed.store";
  std::filesystem::copy_file(fixtures + "/v1.store", timed);
  const auto t0 = std::chrono::steady_clock::now();
  int status = 0;
  const pid_t first = start("Timed", timed);
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto duration = std::chrono::steady_clock::now() - t0;
  ASSERT_EQ(Query(timed, "PRAGMA user_version"), 4);

  std::map<std::int64_t, int> versions;
  int journals = 0;  // runs killed with a transaction open
  for (int k = 0; k < 10; ++k) {
    const auto delay = duration * (k + 1) / 11;
    SCOPED_TRACE("killed after " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(delay).count()) + " us");
    const std::string file = dir / ("v1-" + std::to_string(k) + ".store");
    std::filesystem::copy_file(fixtures + "/v1.store", file);
    const pid_t pid = start("Killed" + std::to_string(k), file);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (std::filesystem::exists(file + "-journal") || std::filesystem::exists(file + "-wal")) ++journals;
    // What a reader finds before anything opens the file for writing again
    // (a journal left behind is rolled back by that reader).
    const std::int64_t version = Query(file, "PRAGMA user_version");
    ++versions[version];
    EXPECT_TRUE(version == 1 || version == 4) << version;
    if (version == 1) {
      EXPECT_EQ(Query(file, "SELECT count(*) FROM pragma_table_info('message') WHERE name='content_id'"), 0);
    }
    // Opened again: migrated, and the same folders and messages as before.
    const std::string profile = "Again" + std::to_string(k);
    Mapiadmin("profile create " + profile);
    Mapiadmin("store add " + profile + " " + Quote(file));
    EXPECT_EQ(Mapiadmin("tree " + profile + " Archive --json"), want);
    std::string out;
    EXPECT_EQ(Admin("check " + profile + " Archive", &out), 0) << out;
  }
  for (const auto& [version, n] : versions) std::cout << n << " killed runs left format " << version << "\n";
  std::cout << journals << " left a journal behind\n";
}
