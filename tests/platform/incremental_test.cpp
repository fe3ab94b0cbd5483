// Snapshots of a Maildir into an archive, one after another: each snapshot
// is the Maildir as it is then (flags changed, messages deleted, moved,
// added, a file rewritten in place), the earlier ones stay as they were, and
// a snapshot reads only the files the archive has not seen.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <mapitags.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "core/copy.h"
#include "core/progress.h"
#include "fixture.h"
#include "inetmail/inetmail.h"
#include "provider.h"
#include "providers/common/sqlite_db.h"
#include "providers/maildir/maildir_provider.h"
#include "providers/sqlite/sqlite_content.h"
#include "providers/sqlite/sqlite_provider.h"

namespace mapi = tesk::mapi;
namespace inet = tesk::mapi::inet;
namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

std::int64_t Query(const std::string& file, const std::string& sql) {
  mapi::sqlite::Db db;
  db.Open(mapi::sqlite::UriPath(file) + "?mode=ro", SQLITE_OPEN_READONLY);
  auto s = db.Prepare(sql);
  return s.Step() ? s.Int(0) : -1;
}

// A message of some 20 KB, so that reading it shows.
std::string Mime(int n, const std::string& variant = "") {
  std::string body;
  for (int k = 0; k < 400; ++k) body += "Line " + std::to_string(k) + " of message " + std::to_string(n) + variant + ".\r\n";
  return "From: Anna <anna@example.com>\r\nTo: paul@example.org\r\nSubject: Message " + std::to_string(n) + variant +
         "\r\nDate: Mon, 1 Dec 2025 10:00:00 +0100\r\nMessage-ID: <m" + std::to_string(n) + variant +
         "@example.com>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body;
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The bytes read by this process so far.
std::uint64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

// What a folder tree holds, message by message: the folder's path, then
// each message's bytes, flags and delivery time, sorted.
using Contents = std::map<std::string, std::multiset<std::string>>;
void Collect(mapi::StoreProvider& s, mapi::ObjId folder, const std::string& path, Contents& out) {
  auto& set = out[path];
  for (mapi::ObjId id : s.Messages(folder, false)) {
    const mapi::MessageData m = s.LoadMessage(id);
    const inet::MailFlags f = inet::FlagsOf(m.props);
    std::string flags = std::string(f.seen ? "S" : "") + (f.flagged ? "F" : "") + (f.answered ? "R" : "");
    for (const auto& k : f.keywords) flags += " " + k;
    const mapi::Prop* raw = mapi::FindProp(m.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT));
    set.insert((raw ? raw->b : std::string("(no bytes)")) + "|" + flags + "|" +
               std::to_string(inet::DeliveryTimeOf(m.props)));
  }
  for (mapi::ObjId c : s.Subfolders(folder)) Collect(s, c, path + "/" + s.GetFolder(c)->name, out);
}

struct Mailbox {
  TempDir dir;
  fs::path mail = dir / "mail";
  std::string file = dir / "archive.store";
  std::shared_ptr<mapi::StoreProvider> archive;
  mapi::ObjId archiveTop = 0;
  int next = 1;

  Mailbox() {
    for (const char* sub : {"cur", "new", "tmp"}) {
      fs::create_directories(mail / sub);
      fs::create_directories(mail / ".Work" / sub);
    }
    Write(mail / ".Work/maildirfolder", "");
    for (int k = 0; k < 30; ++k) Add("", k % 3 ? "S" : "");
    for (int k = 0; k < 10; ++k) Add(".Work", "FS");
    mapi::CreateMaildirStore(mail.string(), "Mail", mapi::StoreKind::Mailbox, mapi::MaildirLayout::MaildirPlusPlus, false);
    mapi::CreateStoreFile(file, "Archive", mapi::StoreKind::Archive);
    archive = mapi::OpenStoreFile(file);
    archiveTop = archive->Subfolders(archive->RootFolder()).at(0);
  }
  fs::path Add(const std::string& folder, const std::string& flags) {
    const int n = next++;
    const fs::path p = mail / folder / "cur" / ("1764580000." + std::to_string(n) + ".host:2," + flags);
    Write(p, Mime(n));
    return p;
  }
  std::shared_ptr<mapi::StoreProvider> Mail() {
    return mapi::MaildirProviderFactory().Open({{"path", {mapi::SettingValue::Type::String, mail.string()}},
                                                {"layout", {mapi::SettingValue::Type::String, "maildir++"}}});
  }
  // A snapshot of the whole Maildir: its contents, and the bytes this
  // process read while making it.
  mapi::ObjId Save(const std::string& name, std::uint64_t* read = nullptr) {
    auto store = Mail();
    const mapi::ObjId top = store->Subfolders(store->RootFolder()).at(0);
    mapi::ProgressReporter progress(nullptr, mapi::CountWork(*store, top, true));
    const std::uint64_t before = BytesRead();
    const mapi::ObjId copy = mapi::CopyFolderTree(*store, top, *archive, archiveTop, name, true, progress);
    if (read) *read = BytesRead() - before;
    return copy;
  }
  Contents Source() {
    auto store = Mail();
    Contents out;
    Collect(*store, store->Subfolders(store->RootFolder()).at(0), "", out);
    return out;
  }
  Contents Snapshot(mapi::ObjId folder) {
    Contents out;
    Collect(*archive, folder, "", out);
    return out;
  }
  std::uint64_t MaildirBytes() {
    std::uint64_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(mail))
      if (e.is_regular_file() && e.path().filename().string().rfind("tesk-", 0) != 0) n += e.file_size();
    return n;
  }
};

}  // namespace

TEST(IncrementalSnapshots, EachSnapshotIsTheMaildirAsItIsAndReadsOnlyWhatChanged) {
  Mailbox s;
  std::uint64_t firstRead = 0;
  const mapi::ObjId first = s.Save("2026.03.01 10:00 Mail", &firstRead);
  const Contents before = s.Source();
  ASSERT_EQ(s.Snapshot(first), before);
  EXPECT_GT(firstRead, s.MaildirBytes()) << "the first snapshot reads every file";

  // Unchanged: nothing of the messages is read again.
  std::uint64_t read = 0;
  const mapi::ObjId same = s.Save("2026.03.02 10:00 Mail", &read);
  EXPECT_EQ(s.Snapshot(same), before);
  EXPECT_LT(read, s.MaildirBytes() / 4) << "an unchanged Maildir of " << s.MaildirBytes() << " bytes";

  // A reader flags one message and reads another (a new name, the same
  // file), one is deleted, one moved to another folder, two arrive, and
  // one is rewritten in place with other bytes of the same size.
  const fs::path cur = s.mail / "cur";
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(cur)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  fs::rename(files[0], cur / (files[0].stem().string() + ".host:2,FS"));
  fs::rename(files[1], cur / (files[1].filename().string().substr(0, files[1].filename().string().find(':')) + ":2,S"));
  fs::remove(files[2]);
  fs::rename(files[3], s.mail / ".Work/cur" / files[3].filename());
  const std::string old4 = [&] {
    std::ifstream in(files[4], std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  std::string rewritten = old4;
  rewritten.replace(rewritten.find("Line 7 of"), 9, "Line 7 OF");
  ASSERT_EQ(rewritten.size(), old4.size());
  Write(files[4], rewritten);
  // An hour later than it was, so that its delivery time shows the rewrite.
  struct stat was {};
  ASSERT_EQ(::stat(files[4].c_str(), &was), 0);
  const struct timespec later[2] = {{was.st_mtim.tv_sec + 3600, 0}, {was.st_mtim.tv_sec + 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, files[4].c_str(), later, 0), 0);
  const std::string rewrittenTime = std::to_string((was.st_mtim.tv_sec + 3600 + 11644473600LL) * 10000000LL);
  s.Add("", "");
  s.Add(".Work", "S");

  const mapi::ObjId after = s.Save("2026.03.03 10:00 Mail", &read);
  const Contents now = s.Source();
  ASSERT_NE(now, before);
  EXPECT_EQ(s.Snapshot(after), now);
  EXPECT_LT(read, s.MaildirBytes() / 4) << "only the new and the rewritten files are read";
  bool sawRewritten = false;
  for (const auto& [folder, messages] : s.Snapshot(after))
    for (const auto& m : messages)
      if (m.rfind(rewritten + "|", 0) == 0) {
        sawRewritten = true;
        EXPECT_EQ(m.substr(m.rfind('|') + 1), rewrittenTime) << "delivered when it was written anew";
      }
  EXPECT_TRUE(sawRewritten) << "the file rewritten in place is read again";
  // The earlier snapshots are as they were.
  EXPECT_EQ(s.Snapshot(first), before);
  EXPECT_EQ(s.Snapshot(same), before);
  // Each snapshot goes as bytes again, and deleting the earlier ones
  // leaves the last one whole.
  s.archive->DeleteFolderTree(first, {});
  s.archive->DeleteFolderTree(same, {});
  EXPECT_EQ(s.Snapshot(after), now);
  const mapi::ObjId again = s.Save("2026.03.04 10:00 Mail", &read);
  EXPECT_EQ(s.Snapshot(again), now);
  EXPECT_LT(read, s.MaildirBytes() / 4);
}

// A key the archive knows stands for bytes it still holds: once the last
// snapshot that used a content is deleted, the content goes with its keys,
// and the next snapshot reads the files again rather than point at nothing.
TEST(IncrementalSnapshots, KeysGoWithTheirContent) {
  Mailbox s;
  const mapi::ObjId first = s.Save("2026.03.01 10:00 Mail");
  const Contents before = s.Source();
  s.archive->DeleteFolderTree(first, {});
  std::uint64_t read = 0;
  const mapi::ObjId second = s.Save("2026.03.02 10:00 Mail", &read);
  EXPECT_EQ(s.Snapshot(second), before);
  EXPECT_GT(read, s.MaildirBytes());
}

// A message kept whole (an Outlook file's, named by its key) and an
// Internet message whose bytes are exactly its encoding are two contents:
// each reads back as itself, also after a copy between store files, which
// goes by digest, into a file that held the other first.
TEST(IncrementalSnapshots, AMessageKeptWholeAndBytesEqualToItsEncodingStayApart) {
  TempDir dir;
  auto open = [&](const std::string& name) {
    const std::string file = dir / (name + ".store");
    mapi::CreateStoreFile(file, name, mapi::StoreKind::Archive);
    auto s = mapi::OpenStoreFile(file);
    const mapi::ObjId top = s->Subfolders(s->RootFolder()).at(0);
    return std::make_pair(s, s->CreateFolder(top, "Outlook", FOLDER_GENERIC));
  };
  auto [a, fa] = open("a");
  auto [b, fb] = open("b");
  mapi::MessageData kept;
  kept.props = {mapi::Prop::Bytes(PR_SUBJECT_A, "Kept whole"), mapi::Prop::Int(PR_MESSAGE_FLAGS, MSGFLAG_READ)};
  kept.recipients = {{mapi::Prop::Int(PR_ROWID, 0), mapi::Prop::Bytes(PR_DISPLAY_NAME_A, "Bob")}};
  const std::string encoding = mapi::sqlite::content::EncodeMessage(kept);
  const mapi::MessageData bytes = inet::FromMime(encoding, {}, mapi::FiletimeFromUnix(1764580000));
  ASSERT_TRUE(mapi::FindProp(bytes.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT)));

  ASSERT_TRUE(a->StoreWhole(fa, kept, "pst node 1"));
  a->StoreMessage(fa, false, bytes, std::nullopt);
  b->StoreMessage(fb, false, bytes, std::nullopt);
  auto subject = [](const mapi::MessageData& m) {
    const mapi::Prop* p = mapi::FindProp(m.props, PROP_ID(PR_SUBJECT_A));
    return p ? p->b : std::string("(none)");
  };
  auto same = [&](mapi::StoreProvider& s, mapi::ObjId folder) {
    int whole = 0, internet = 0;
    for (mapi::ObjId id : s.Messages(folder, false)) {
      const mapi::MessageData m = s.LoadMessage(id);
      if (mapi::FindProp(m.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT))) {
        ++internet;
        EXPECT_EQ(mapi::FindProp(m.props, PROP_ID(inet::PR_TESK_INTERNET_CONTENT))->b, encoding);
      } else {
        ++whole;
        EXPECT_EQ(subject(m), "Kept whole");
        EXPECT_EQ(m.recipients.size(), 1u);
      }
    }
    return std::make_pair(whole, internet);
  };
  EXPECT_EQ(same(*a, fa), std::make_pair(1, 1));
  // Into b, which holds the Internet message already.
  mapi::ProgressReporter progress(nullptr, mapi::CountWork(*a, fa, true));
  const mapi::ObjId copied = mapi::CopyFolderTree(*a, fa, *b, b->Subfolders(b->RootFolder()).at(0), "Copy", true, progress);
  EXPECT_EQ(same(*b, copied), std::make_pair(1, 1));
  EXPECT_EQ(same(*b, fb), std::make_pair(0, 1));
}

// Messages without Internet bytes (made through MAPI) in a store file are
// kept whole by the snapshots taken of it: each equal message is one
// content however many snapshots and copies use it, each copy reads back
// as its source, a change to one copy stays in it, and what must stay rows
// (associated messages, a message whose rows differ from its bytes) does.
TEST(IncrementalSnapshots, MessagesMadeThroughMapiAreKeptWholeBySnapshotsOfThem) {
  TempDir dir;
  auto open = [&](const std::string& name, mapi::StoreKind kind) {
    const std::string file = dir / (name + ".store");
    mapi::CreateStoreFile(file, name, kind);
    auto s = mapi::OpenStoreFile(file);
    return std::make_pair(file, s);
  };
  auto [srcFile, src] = open("mailbox", mapi::StoreKind::Mailbox);
  auto [file, archive] = open("archive", mapi::StoreKind::Archive);
  const mapi::ObjId mail = src->CreateFolder(src->Subfolders(src->RootFolder()).at(0), "Mail", FOLDER_GENERIC);
  auto made = [](const std::string& subject, int attachments) {
    mapi::MessageData m;
    m.props = {mapi::Prop::Bytes(PR_SUBJECT_A, subject), mapi::Prop::Bytes(PR_BODY_A, subject + ": the text, line by line\r\n"),
               mapi::Prop::Int(PR_MESSAGE_FLAGS, MSGFLAG_READ)};
    m.recipients = {{mapi::Prop::Int(PR_ROWID, 0), mapi::Prop::Bytes(PR_DISPLAY_NAME_A, "Bob")},
                    {mapi::Prop::Int(PR_ROWID, 1), mapi::Prop::Bytes(PR_DISPLAY_NAME_A, "Carol")}};
    for (int k = 0; k < attachments; ++k)
      m.attachments.push_back({mapi::Prop::Int(PR_ATTACH_NUM, k), mapi::Prop::Bytes(PR_ATTACH_DATA_BIN, std::string(5000 + k, 'a' + k))});
    return m;
  };
  src->StoreMessage(mail, false, made("First", 2), std::nullopt);
  src->StoreMessage(mail, false, made("Second", 0), std::nullopt);
  src->StoreMessage(mail, false, made("First", 2), std::nullopt);  // equal to the first
  src->StoreMessage(mail, true, made("Settings", 0), std::nullopt);
  // A body (larger than what is kept beside a content) a client rewrote.
  mapi::MessageData edited = inet::FromMime(Mime(1), {}, mapi::FiletimeFromUnix(1764580000));
  for (auto& p : edited.props)
    if (p.tag == PR_BODY_A) p.b = std::string(2000, 'x');
  src->StoreMessage(mail, false, edited, std::nullopt);

  const mapi::ObjId top = archive->Subfolders(archive->RootFolder()).at(0);
  std::vector<mapi::ObjId> snapshots;
  for (const char* name : {"2026.12.09 10:00 Mail", "2026.12.10 10:00 Mail"}) {
    mapi::ProgressReporter progress(nullptr, mapi::CountWork(*src, mail, true));
    snapshots.push_back(mapi::CopyFolderTree(*src, mail, *archive, top, name, true, progress));
    // Two contents kept whole (First, Second), one of Internet bytes (Edited keeps rows beside them).
    EXPECT_EQ(Query(file, "SELECT count(*) FROM content WHERE codec & 2"), 2) << name;
    for (bool associated : {false, true}) {
      const auto from = src->Messages(mail, associated), to = archive->Messages(snapshots.back(), associated);
      ASSERT_EQ(from.size(), to.size());
      for (size_t k = 0; k < from.size(); ++k) {
        const mapi::MessageData a = src->LoadMessage(from[k]), b = archive->LoadMessage(to[k]);
        EXPECT_TRUE(a.props == b.props && a.recipients == b.recipients && a.attachments == b.attachments)
            << name << ": message " << k << (associated ? " (associated)" : "");
      }
    }
  }
  EXPECT_EQ(Query(file, "SELECT max(refs) FROM content WHERE codec & 2"), 4);
  EXPECT_EQ(Query(file, "SELECT count(*) FROM message WHERE content_id IS NULL"), 4) << "associated and edited, twice";
  EXPECT_EQ(Query(srcFile, "SELECT count(*) FROM content WHERE codec & 2"), 0) << "the source is as it was";

  // One copy changed; the other snapshot's stays as it was.
  const auto first = archive->Messages(snapshots[0], false), second = archive->Messages(snapshots[1], false);
  mapi::MessageData changed = archive->LoadMessage(first[0]);
  for (auto& p : changed.props)
    if (p.tag == PR_SUBJECT_A) p.b = "Changed in one snapshot";
  archive->StoreMessage(snapshots[0], false, changed, first[0]);
  EXPECT_EQ(mapi::FindProp(archive->LoadMessage(second[0]).props, PROP_ID(PR_SUBJECT_A))->b, "First");
  EXPECT_EQ(mapi::FindProp(archive->LoadMessage(first[0]).props, PROP_ID(PR_SUBJECT_A))->b, "Changed in one snapshot");

  // A message given whole without a key shares the content of its equal.
  const mapi::ObjId loose = archive->CreateFolder(top, "Loose", FOLDER_GENERIC);
  ASSERT_TRUE(archive->StoreWhole(loose, made("Second", 0), ""));
  EXPECT_EQ(Query(file, "SELECT count(*) FROM content WHERE codec & 2"), 2);
  EXPECT_EQ(Query(file, "SELECT count(*) FROM content_key"), 0);

  archive->DeleteFolderTree(snapshots[0], {});
  for (mapi::ObjId id : second) EXPECT_NO_THROW(archive->LoadMessage(id));
  EXPECT_EQ(archive->Maintenance()->Check({}), std::vector<std::string>{});
  archive->DeleteFolderTree(snapshots[1], {});
  archive->DeleteFolderTree(loose, {});
  EXPECT_EQ(Query(file, "SELECT count(*) FROM content"), 0);
}
