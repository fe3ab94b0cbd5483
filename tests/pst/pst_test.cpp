// The Outlook data file provider on real PST files (tests/pst/data, see
// SOURCES.txt): folder trees and counts, recipients, attachments and
// embedded messages, copies into a SQLite archive and on into a Maildir,
// refused writes, and damaged files (made by truncating and flipping bits of
// the samples) that must give a MapiError and nothing worse.
#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mapitags.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "core/copy.h"
#include "core/entryid.h"
#include "fixture.h"
#include "inetmail/inetmail.h"
#include "profile/profile.h"
#include "core/progress.h"
#include "provider.h"
#include "providers/maildir/maildir_provider.h"
#include "providers/pst/pst_provider.h"
#include "providers/sqlite/sqlite_provider.h"
#include "inetmail/rtf.h"

using namespace tesk::mapi;
namespace fs = std::filesystem;
namespace inet = tesk::mapi::inet;
using testing_support::ProfileFixture;
using testing_support::TempDir;

namespace {

const char* const kSamples[] = {"java-libpst_dist-list", "java-libpst_passworded", "pstsdk_sample1",
                                "pstsdk_sample2",        "pstsdk_submessage",      "pstsdk_test_ansi",
                                "pstsdk_test_unicode",   "ruby-msg_200-recipients", "ruby-msg_attachAndInline",
                                "ruby-msg_msgInMsg"};

std::string Sample(const std::string& name) { return std::string(PST_DATA_DIR) + "/" + name + ".pst"; }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string Sha256(const std::string& data) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), reinterpret_cast<const std::uint8_t*>(data.data()));
  std::uint8_t d[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof d, d);
  return std::string(reinterpret_cast<const char*>(d), sizeof d);
}

std::shared_ptr<StoreProvider> OpenPst(const std::string& file) {
  return PstProviderFactory().Open({{"file", {SettingValue::Type::String, file}}});
}

HRESULT OpenError(const std::string& file) {
  try {
    OpenPst(file);
  } catch (const MapiError& e) {
    return e.hr();
  }
  return S_OK;
}

ObjId Subtree(StoreProvider& s) {
  const PropList props = s.StoreProps();
  const Prop* p = FindProp(props, PROP_ID(PR_IPM_SUBTREE_ENTRYID));
  EXPECT_TRUE(p);
  return p ? ParseObjectEntryId(p->b.data(), p->b.size()).value().id : 0;
}

// Every folder below f as "path normal/associated", in the file's order.
void Tree(StoreProvider& s, ObjId f, const std::string& prefix, std::vector<std::string>& out) {
  for (ObjId c : s.Subfolders(f)) {
    const auto info = s.GetFolder(c);
    const std::string path = prefix + info->name;
    out.push_back(path + " " + std::to_string(s.Messages(c, false).size()) + "/" +
                  std::to_string(s.Messages(c, true).size()));
    EXPECT_EQ(info->contentCount, static_cast<std::int64_t>(s.Messages(c, false).size())) << path;
    Tree(s, c, path + "\\", out);
  }
}

// The one message of a sample's folder.
MessageData OnlyMessage(StoreProvider& s, ObjId folder) {
  const auto ids = s.Messages(folder, false);
  EXPECT_EQ(ids.size(), 1u);
  return ids.empty() ? MessageData{} : s.LoadMessage(ids[0]);
}

std::string Utf8(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  if (!p) return {};
  return p->type() == PT_UNICODE ? Utf16ToUtf8(FromUtf16Bytes(p->b)) : p->b;
}
std::int64_t IntOf(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  return p ? p->i : -1;
}

// Walks everything a copy would touch; returns the messages read.
size_t WalkAll(StoreProvider& s) {
  size_t n = 0;
  for (ObjId f : s.SubtreeFolders(s.RootFolder())) {
    s.FolderProps(f);
    for (bool assoc : {false, true})
      for (ObjId m : s.Messages(f, assoc)) {
        if (!s.GetMessage(m)) continue;
        const MessageData d = s.LoadMessage(m);
        inet::ToMime(d);
        ++n;
      }
  }
  return n;
}

struct Parsed {
  GMimeMessage* msg = nullptr;
  ~Parsed() {
    if (msg) g_object_unref(msg);
  }
};
// Parses MIME; the number of leaf parts, and the types of them in order.
std::vector<std::string> MimeLeaves(const std::string& bytes) {
  g_mime_init();
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  Parsed p;
  p.msg = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  std::vector<std::string> out;
  if (!p.msg) return {"unparsable"};
  GMimePartIter* it = g_mime_part_iter_new(g_mime_message_get_mime_part(p.msg));
  do {
    GMimeObject* o = g_mime_part_iter_get_current(it);
    if (!o || GMIME_IS_MULTIPART(o)) continue;
    char* type = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(o));
    out.push_back(type);
    g_free(type);
  } while (g_mime_part_iter_next(it));
  g_mime_part_iter_free(it);
  return out;
}

}  // namespace

// The trees and message counts below are what pffexport (pff-tools) reports
// for the samples: one directory per folder and per item it writes, plus
// the items it skips by type (the IPM.Post notes of pstsdk_test_*, the
// free/busy item of java-libpst: "Skipped item 1 out of 1 of type: ...").
// Associated contents, which pffexport leaves out, are counted after the
// slash; the one libpff counts in java-libpst's Reminders cannot be read
// and is not listed.
TEST(PstTree, FoldersAndMessageCountsAsPffexportReportsThem) {
  const std::map<std::string, std::vector<std::string>> expected{
      {"java-libpst_dist-list",
       {"SPAM Search Folder 2 0/0", "Top of Personal Folders 0/0", "Top of Personal Folders\\Deleted Items 0/0",
        "Top of Personal Folders\\Inbox 0/0", "Top of Personal Folders\\Outbox 0/0",
        "Top of Personal Folders\\Sent Items 0/0", "Top of Personal Folders\\Calendar 1/0",
        "Top of Personal Folders\\Contacts 2/0", "Top of Personal Folders\\Journal 0/0",
        "Top of Personal Folders\\Notes 0/0", "Top of Personal Folders\\Tasks 0/0",
        "Top of Personal Folders\\Drafts 0/0", "Top of Personal Folders\\RSS Feeds 0/0",
        "Top of Personal Folders\\Junk E-mail 0/0", "Search Root 0/0", "Search Root\\All Messages 0/0",
        "IPM_VIEWS 0/0", "IPM_COMMON_VIEWS 0/3", "Freebusy Data 1/0", "Reminders 0/0", "To-Do Search 0/0",
        "ItemProcSearch 0/0", "Tracked Mail Processing 0/0"}},
      {"pstsdk_sample1",
       {"SPAM Search Folder 2 0/0", "Top of Outlook data file 0/0", "Top of Outlook data file\\Deleted Items 0/0",
        "Top of Outlook data file\\Sample1 1/0", "Search Root 0/0", "ItemProcSearch 0/0"}},
      {"pstsdk_test_ansi",
       {"SPAM Search Folder 2 0/0", "Top of Personal Folders 0/0", "Top of Personal Folders\\Deleted Items 0/0",
        "Top of Personal Folders\\Folder 1/0", "Search Root 0/0"}},
      {"pstsdk_test_unicode",
       {"SPAM Search Folder 2 0/0", "Top of Personal Folders 1/0", "Top of Personal Folders\\Deleted Items 0/0",
        "Top of Personal Folders\\Folder 1/0", "Search Root 0/0"}},
      {"ruby-msg_200-recipients",
       {"SPAM Search Folder 2 0/0", "Outlook データ ファイルのトップ 1/0",
        "Outlook データ ファイルのトップ\\削除済みアイテム 0/0", "検索ルート 0/0"}},
  };
  for (const auto& [name, tree] : expected) {
    auto s = OpenPst(Sample(name));
    std::vector<std::string> got;
    Tree(*s, s->RootFolder(), "", got);
    EXPECT_EQ(got, tree) << name;
    EXPECT_EQ(s->GetFolder(s->RootFolder())->type, static_cast<ULONG>(FOLDER_ROOT));
  }
  // Every sample opens and reads whole; the message store names the subtree.
  size_t messages = 0;
  for (const char* name : kSamples) {
    auto s = OpenPst(Sample(name));
    EXPECT_TRUE(s->GetFolder(Subtree(*s))) << name;
    messages += WalkAll(*s);
  }
  EXPECT_EQ(messages, 32u);
}

// Identities: the store's GUID is the file's record key, the same at every
// open; ObjIds are node identifiers; the PST's own entry identifiers of the
// standard folders become this subsystem's.
TEST(PstTree, IdentityAndStandardFoldersComeFromTheFile) {
  auto a = OpenPst(Sample("java-libpst_dist-list"));
  auto b = OpenPst(Sample("java-libpst_dist-list"));
  EXPECT_EQ(GuidBytes(a->Guid()), GuidBytes(b->Guid()));
  EXPECT_NE(GuidBytes(a->Guid()), GuidBytes(OpenPst(Sample("pstsdk_sample1"))->Guid()));
  EXPECT_EQ(a->DisplayName(), "Personal Folders");
  EXPECT_EQ(a->Kind(), "archive");
  EXPECT_EQ(a->RootFolder(), 0x122);  // the PST's root folder node
  const ObjId top = Subtree(*a);
  EXPECT_EQ(top, 0x8022);
  EXPECT_EQ(a->GetFolder(top)->name, "Top of Personal Folders");
  const PropList storeProps = a->StoreProps();
  auto folderOf = [&](ULONG tag) -> std::string {
    const Prop* p = FindProp(storeProps, PROP_ID(tag));
    if (!p) return "(none)";
    auto ref = ParseObjectEntryId(p->b.data(), p->b.size());
    return ref && a->GetFolder(ref->id) ? a->GetFolder(ref->id)->name : "(bad)";
  };
  EXPECT_EQ(folderOf(PR_IPM_WASTEBASKET_ENTRYID), "Deleted Items");
  EXPECT_EQ(folderOf(PR_IPM_SENTMAIL_ENTRYID), "Sent Items");
  EXPECT_EQ(folderOf(PR_IPM_OUTBOX_ENTRYID), "Outbox");
  EXPECT_TRUE(FindProp(storeProps, PROP_ID(PR_VALID_FOLDER_MASK)));
  auto inbox = a->ReceiveFolder("IPM.Note", nullptr);
  ASSERT_TRUE(inbox);
  EXPECT_EQ(a->GetFolder(*inbox)->name, "Inbox");
  // Folder properties keep no identity of the file's own; the entry
  // identifiers of standard folders that Outlook keeps on the root and the
  // Inbox (Drafts, Calendar, Contacts, ...) name this store's folders.
  std::set<std::string> named;
  for (ObjId f : {a->RootFolder(), *inbox})
    for (const auto& p : a->FolderProps(f)) {
      EXPECT_FALSE(p.id() >= 0x6700 && p.id() <= 0x67FF) << std::hex << p.tag;
      if (p.type() != PT_BINARY || p.id() < 0x36D0 || p.id() > 0x36D7) continue;
      auto ref = ParseObjectEntryId(p.b.data(), p.b.size());
      ASSERT_TRUE(ref) << std::hex << p.tag;
      EXPECT_EQ(GuidBytes(ref->store), GuidBytes(a->Guid()));
      named.insert(a->GetFolder(ref->id)->name);
    }
  EXPECT_TRUE(named.count("Drafts") && named.count("Calendar") && named.count("Contacts"));

  // Without associated messages, the store shows none.
  auto plain = PstProviderFactory().Open({{"file", {SettingValue::Type::String, Sample("java-libpst_passworded")}},
                                          {"associated", {SettingValue::Type::Boolean, "false"}}});
  EXPECT_FALSE(plain->Caps().associatedContents);
  const ObjId plainInbox = *plain->ReceiveFolder("IPM.Note", nullptr);
  EXPECT_EQ(plain->GetFolder(plainInbox)->assocCount, 0);
  EXPECT_TRUE(plain->Messages(plainInbox, true).empty());
  EXPECT_EQ(OpenPst(Sample("java-libpst_passworded"))->GetFolder(plainInbox)->assocCount, 4);
}

TEST(PstMessages, RecipientsAttachmentsAndEmbeddedMessagesStayWhole) {
  {
    auto s = OpenPst(Sample("ruby-msg_200-recipients"));
    const MessageData m = OnlyMessage(*s, Subtree(*s));
    ASSERT_EQ(m.recipients.size(), 200u);
    std::set<std::int64_t> rows;
    for (const auto& r : m.recipients) {
      rows.insert(IntOf(r, PR_ROWID));
      EXPECT_FALSE(Utf8(r, PR_DISPLAY_NAME).empty());
    }
    EXPECT_EQ(rows.size(), 200u);
    // The composed message names every one.
    const std::string mime = inet::ToMime(m);
    EXPECT_EQ(MimeLeaves(mime).front().rfind("text/", 0), 0u);
  }
  {
    auto s = OpenPst(Sample("ruby-msg_attachAndInline"));
    const MessageData m = OnlyMessage(*s, Subtree(*s));
    EXPECT_EQ(Utf8(m.props, PR_SUBJECT), "Attach and inline");  // without the file's prefix marker
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(IntOf(m.attachments[0], PR_ATTACH_NUM), 0);
    EXPECT_EQ(IntOf(m.attachments[1], PR_ATTACH_NUM), 1);
    EXPECT_EQ(Utf8(m.attachments[0], PR_ATTACH_LONG_FILENAME), "attach.png");
    EXPECT_EQ(Utf8(m.attachments[1], inet::PR_ATTACH_CONTENT_ID).rfind("image001.png@", 0), 0u);
    for (const auto& a : m.attachments) {
      const Prop* data = FindProp(a, PROP_ID(PR_ATTACH_DATA_BIN));
      ASSERT_TRUE(data);
      EXPECT_EQ(data->b.substr(1, 3), "PNG");
    }
    // Only compressed RTF holds the HTML: it comes out as HTML with the
    // inline image beside it and the other attachment after both.
    const std::string mime = inet::ToMime(m);
    EXPECT_EQ(MimeLeaves(mime), (std::vector<std::string>{"text/html", "image/png", "application/octet-stream"}));
    EXPECT_NE(mime.find("multipart/related"), std::string::npos);
    EXPECT_NE(mime.find("filename=attach.png"), std::string::npos);
    EXPECT_EQ(inet::ToMime(m), mime);  // the same bytes every time
  }
  for (const char* name : {"ruby-msg_msgInMsg", "pstsdk_submessage"}) {
    auto s = OpenPst(Sample(name));
    ObjId folder = Subtree(*s);
    if (s->Messages(folder, false).empty()) folder = s->Subfolders(folder).back();
    const MessageData m = OnlyMessage(*s, folder);
    size_t embedded = 0;
    for (const auto& a : m.attachments) {
      if (IntOf(a, PR_ATTACH_METHOD) != inet::ATTACH_EMBEDDED_MSG_METHOD) continue;
      ++embedded;
      const Prop* data = FindProp(a, PROP_ID(PR_ATTACH_DATA_BIN));
      ASSERT_TRUE(data);
      EXPECT_NE(MimeLeaves(data->b).front(), "unparsable");
      EXPECT_NE(data->b.find("Subject:"), std::string::npos);
    }
    EXPECT_GE(embedded, 1u) << name;
    EXPECT_NE(inet::ToMime(m).find("message/rfc822"), std::string::npos) << name;
  }
}

// ANSI files keep their strings in a code page; they arrive as UTF-8.
TEST(PstMessages, AnsiAndUnicodeFilesGiveTheSameText) {
  auto ansi = OpenPst(Sample("pstsdk_test_ansi"));
  auto uni = OpenPst(Sample("pstsdk_test_unicode"));
  const ObjId fa = *ansi->FindSubfolder(Subtree(*ansi), "Folder"), fu = *uni->FindSubfolder(Subtree(*uni), "Folder");
  const MessageData a = OnlyMessage(*ansi, fa), u = OnlyMessage(*uni, fu);
  EXPECT_EQ(FindProp(a.props, PROP_ID(PR_SUBJECT))->type(), static_cast<ULONG>(PT_STRING8));
  EXPECT_EQ(FindProp(u.props, PROP_ID(PR_SUBJECT))->type(), static_cast<ULONG>(PT_UNICODE));
  EXPECT_FALSE(Utf8(a.props, PR_SUBJECT).empty());
  EXPECT_EQ(Utf8(a.props, PR_SUBJECT), Utf8(u.props, PR_SUBJECT));
  EXPECT_EQ(ansi->GetFolder(fa)->name, uni->GetFolder(fu)->name);
}

// Each sample into a SQLite archive through the copy engine, and from there
// into a Maildir: every message arrives, embedded messages stay embedded,
// and every Maildir file is MIME that parses.
TEST(PstCopy, EverySampleIntoASqliteArchiveAndOnIntoAMaildir) {
  TempDir dir;
  size_t files = 0;
  for (const char* name : kSamples) {
    auto pst = OpenPst(Sample(name));
    const std::string archive = dir / (std::string(name) + ".store");
    CreateStoreFile(archive, name, StoreKind::Archive);
    auto sqlite = OpenStoreFile(archive);
    const ObjId top = Subtree(*pst);
    ProgressReporter progress(nullptr, CountWork(*pst, top, true));
    const ObjId copied = CopyFolderTree(*pst, top, *sqlite, sqlite->Subfolders(sqlite->RootFolder()).at(0), "PST",
                                        true, progress);
    // The same tree and counts, and the same messages with their parts.
    const auto from = pst->SubtreeFolders(top), to = sqlite->SubtreeFolders(copied);
    ASSERT_EQ(from.size(), to.size()) << name;
    for (size_t k = 0; k < from.size(); ++k) {
      EXPECT_EQ(pst->GetFolder(from[k])->name, k ? sqlite->GetFolder(to[k])->name : pst->GetFolder(from[k])->name);
      for (bool assoc : {false, true}) {
        const auto a = pst->Messages(from[k], assoc), b = sqlite->Messages(to[k], assoc);
        ASSERT_EQ(a.size(), b.size()) << name;
        for (size_t j = 0; j < a.size(); ++j) {
          const MessageData x = pst->LoadMessage(a[j]), y = sqlite->LoadMessage(b[j]);
          EXPECT_EQ(x.recipients.size(), y.recipients.size());
          ASSERT_EQ(x.attachments.size(), y.attachments.size());
          for (size_t i = 0; i < x.attachments.size(); ++i)
            EXPECT_EQ(IntOf(x.attachments[i], PR_ATTACH_METHOD), IntOf(y.attachments[i], PR_ATTACH_METHOD));
          EXPECT_EQ(inet::ToMime(x), inet::ToMime(y));
        }
      }
    }
    // On into a Maildir, folder by folder (a Maildir keeps no associated
    // messages).
    const std::string md = dir / (std::string(name) + ".maildir");
    CreateMaildirStore(md, name, StoreKind::Archive, MaildirLayout::MaildirPlusPlus, true);
    auto maildir = MaildirProviderFactory().Open(
        {{"path", {SettingValue::Type::String, md}}, {"layout", {SettingValue::Type::String, "maildir++"}}});
    const ObjId mdTop = maildir->Subfolders(maildir->RootFolder()).at(0);
    for (ObjId f : to) {
      const auto ids = sqlite->Messages(f, false);
      if (ids.empty()) continue;
      const ObjId target = maildir->CreateFolder(mdTop, "F" + std::to_string(f), FOLDER_GENERIC);
      ProgressReporter p2(nullptr, ids.size());
      CopyMessageList(*sqlite, ids, *maildir, target, p2);
    }
    for (const auto& e : fs::recursive_directory_iterator(md)) {
      if (!e.is_regular_file() || e.path().parent_path().filename() != "cur") continue;
      const auto leaves = MimeLeaves(Read(e.path()));
      EXPECT_NE(leaves.front(), "unparsable") << e.path();
      ++files;
    }
  }
  EXPECT_EQ(files, 14u);  // every normal message of the subtrees
}

namespace {

std::int64_t Count(const std::string& file, const std::string& table) {
  std::string out;
  EXPECT_EQ(testing_support::RunCommand("sqlite3 " + testing_support::Quote(file) + " 'SELECT count(*) FROM " + table +
                                            "'",
                                        &out),
            0);
  return std::atoll(out.c_str());
}

}  // namespace

// Daily snapshots of an Outlook file: the second one reads no message of
// the file again (each message's key from the listing, its node and
// modification time, its size and read and follow-up state, names what the
// archive holds since the first, so the copy loads none of them), keeps
// no content twice, and gives every message as the first one did. A client's
// change to a message of one snapshot does not show in the other, and
// deleting the first leaves the second whole.
TEST(PstCopy, ASecondSnapshotReadsNoMessageOfTheFileAgain) {
  ProfileFixture profile;
  auto archive = OpenStoreFile(profile.archiveFile);
  const ObjId archiveTop = archive->Subfolders(archive->RootFolder()).at(0);
  // The samples with the most to read: attachments, embedded messages, 200
  // recipients.
  for (const char* name : {"ruby-msg_attachAndInline", "ruby-msg_msgInMsg", "ruby-msg_200-recipients",
                           "pstsdk_submessage", "pstsdk_test_unicode"}) {
    SCOPED_TRACE(name);
    auto pst = OpenPst(Sample(name));
    const ObjId top = Subtree(*pst);
    auto save = [&](const std::string& snapshot) {
      ProgressReporter progress(nullptr, CountWork(*pst, top, true));
      return CopyFolderTree(*pst, top, *archive, archiveTop, snapshot, true, progress);
    };
    const ObjId first = save(std::string(name) + " 1");
    const std::int64_t contents = Count(profile.archiveFile, "content");
    const std::int64_t keys = Count(profile.archiveFile, "content_key");
    EXPECT_GT(keys, 0);
    for (ObjId f : pst->SubtreeFolders(top)) {
      const auto listed = pst->ListInternet(f);
      ASSERT_TRUE(listed);
      ASSERT_EQ(listed->size(), pst->Messages(f, false).size());
      std::vector<std::string> named;
      for (const auto& m : *listed) named.push_back(m.head.key);
      for (const auto& k : named) EXPECT_FALSE(k.empty());
      {
        auto tx = archive->BeginWrite();
        const std::vector<bool> held = archive->HeldKeys(named);
        EXPECT_EQ(std::count(held.begin(), held.end(), true), static_cast<std::ptrdiff_t>(named.size()))
            << "the archive holds every message";
      }
    }
    const ObjId second = save(std::string(name) + " 2");
    EXPECT_EQ(Count(profile.archiveFile, "content"), contents) << "nothing new to keep";
    EXPECT_EQ(Count(profile.archiveFile, "content_key"), keys);

    const auto from = pst->SubtreeFolders(top), a = archive->SubtreeFolders(first),
               b = archive->SubtreeFolders(second);
    ASSERT_EQ(from.size(), b.size());
    ObjId changed = 0, itsTwin = 0;
    std::string twinMime;
    for (size_t k = 0; k < from.size(); ++k) {
      const auto src = pst->Messages(from[k], false), x = archive->Messages(a[k], false),
                 y = archive->Messages(b[k], false);
      ASSERT_EQ(src.size(), y.size());
      for (size_t j = 0; j < y.size(); ++j) {
        const MessageData m = pst->LoadMessage(src[j]), m1 = archive->LoadMessage(x[j]), m2 = archive->LoadMessage(y[j]);
        EXPECT_EQ(inet::ToMime(m2), inet::ToMime(m));
        EXPECT_EQ(m2.props, m1.props);
        EXPECT_EQ(m2.recipients, m1.recipients);
        EXPECT_EQ(m2.attachments, m1.attachments);
        EXPECT_EQ(archive->GetMessage(y[j])->hasAttachments, !m.attachments.empty());
        if (!changed) {
          changed = y[j];
          itsTwin = x[j];
          twinMime = inet::ToMime(m1);
        }
      }
    }
    ASSERT_TRUE(changed);
    MessageData edited = archive->LoadMessage(changed);
    std::erase_if(edited.props, [](const Prop& p) { return p.id() == PROP_ID(PR_SUBJECT_W); });
    edited.props.push_back(Prop::Bytes(PR_SUBJECT_W, Utf16Bytes(Utf8ToUtf16("Changed by hand"))));
    archive->StoreMessage(archive->GetMessage(changed)->folder, false, edited, changed);
    EXPECT_EQ(Utf8(archive->LoadMessage(changed).props, PR_SUBJECT_W), "Changed by hand");
    EXPECT_EQ(inet::ToMime(archive->LoadMessage(itsTwin)), twinMime);

    archive->DeleteFolderTree(first, {});
    for (size_t k = 0; k < from.size(); ++k)
      EXPECT_EQ(archive->Messages(b[k], false).size(), pst->Messages(from[k], false).size());
    for (ObjId f : b)
      for (ObjId m : archive->Messages(f, false)) archive->LoadMessage(m);
    archive->DeleteFolderTree(second, {});
  }
  archive.reset();
  EXPECT_EQ(tesk::mapi::admin::CheckStoreData("Test", "Archive"), std::vector<std::string>{});
  EXPECT_EQ(Count(profile.archiveFile, "content"), 0) << "every snapshot gone, and its contents with it";
  EXPECT_EQ(Count(profile.archiveFile, "content_key"), 0);
}

// Through the MAPI objects: a PST store of a profile says it is read-only,
// refuses every write, and the profile's other stores and the file stay as
// they were.
TEST(PstProfile, WritesAreRefusedAndNothingElseChanges) {
  ProfileFixture profile;
  const std::string file = profile.dir / "old.pst";
  fs::copy_file(Sample("java-libpst_dist-list"), file);
  tesk::mapi::admin::AddPstStore("Test", file, "Old Outlook", "archive", false);
  EXPECT_THROW(tesk::mapi::admin::AddPstStore("Test", file, "Again", "archive", false), std::runtime_error);
  const auto stores = tesk::mapi::admin::ProfileStores("Test");
  ASSERT_EQ(stores.size(), 3u);
  EXPECT_EQ(stores[2].provider, "pst");
  const std::string before = Sha256(Read(profile.mailboxFile)) + Sha256(Read(profile.archiveFile)) + Sha256(Read(file));
  {
    auto session = profile.Logon();
    auto store = testing_support::OpenStore(session, "Old Outlook");
    ASSERT_TRUE(store);
    EXPECT_TRUE(testing_support::LongProp(store, PR_STORE_SUPPORT_MASK) & STORE_READONLY);
    EXPECT_FALSE(testing_support::LongProp(store, PR_STORE_SUPPORT_MASK) & STORE_MODIFY_OK);
    auto inbox = testing_support::OpenFolder(store, "Inbox");
    ASSERT_TRUE(inbox);
    EXPECT_EQ(testing_support::LongProp(inbox, PR_ACCESS), static_cast<LONG>(MAPI_ACCESS_READ));
    CComPtr<IMAPIFolder> sub;
    std::string name = "X";
    EXPECT_EQ(inbox->CreateFolder(FOLDER_GENERIC, name.data(), nullptr, nullptr, 0, &sub), MAPI_E_NO_ACCESS);
    CComPtr<IMessage> msg;
    EXPECT_EQ(inbox->CreateMessage(nullptr, 0, &msg), MAPI_E_NO_ACCESS);
    auto contacts = testing_support::OpenFolder(store, "Contacts");
    EXPECT_EQ(testing_support::ContentsEntryIds(contacts).size(), 2u);
  }
  EXPECT_EQ(Sha256(Read(profile.mailboxFile)) + Sha256(Read(profile.archiveFile)) + Sha256(Read(file)), before);
  // The provider refuses on its own too.
  auto s = OpenPst(file);
  const ObjId top = Subtree(*s);
  const ObjId any = s->Subfolders(top).at(0);
  const ObjId ids[] = {any};
  auto refused = [](auto&& f) {
    try {
      f();
    } catch (const MapiError& e) {
      return e.hr() == MAPI_E_NO_ACCESS;
    }
    return false;
  };
  EXPECT_TRUE(refused([&] { s->CreateFolder(top, "New", FOLDER_GENERIC); }));
  EXPECT_TRUE(refused([&] { s->StoreMessage(any, false, MessageData{}, std::nullopt); }));
  EXPECT_TRUE(refused([&] { s->DeleteMessages(ids); }));
  EXPECT_TRUE(refused([&] { s->MoveMessages(ids, top); }));
  EXPECT_TRUE(refused([&] { s->DeleteFolderTree(any, {}); }));
  EXPECT_TRUE(refused([&] { s->MoveFolder(any, top, "Other"); }));
  EXPECT_TRUE(refused([&] { s->SetFolderProps(any, {}); }));
  EXPECT_TRUE(refused([&] { s->SetStoreProps({}); }));
  EXPECT_TRUE(refused([&] { s->SetReceiveFolder("IPM", any); }));
  EXPECT_TRUE(refused([&] { s->BeginWrite(); }));
  EXPECT_TRUE(s->Caps().readOnly);
  EXPECT_EQ(Sha256(Read(file)), before.substr(64));
}

namespace {

// Every store of the profile by name: its entry identifier and its top
// folder's, or that it does not open.
using StoreIds = std::pair<std::string, std::string>;
const StoreIds kDoesNotOpen{"does not open", ""};
std::map<std::string, StoreIds> Identities(ProfileFixture& profile) {
  auto session = profile.Logon();
  CComPtr<IMAPITable> table;
  EXPECT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  std::map<std::string, StoreIds> out;
  for (ULONG k = 0; rows && k < rows->cRows; ++k) {
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    CComPtr<IMsgStore> store;
    const std::string name = rows->aRow[k].lpProps[1].Value.lpszA;
    if (session->OpenMsgStore(0, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, MAPI_BEST_ACCESS, &store) != S_OK) {
      out[name] = kDoesNotOpen;
      continue;
    }
    EXPECT_EQ(testing_support::StringProp(store, PR_DISPLAY_NAME_A), name);
    out[name] = {std::string(reinterpret_cast<const char*>(b.lpb), b.cb),
                 testing_support::EntryId(testing_support::OpenFolder(store, ""))};
  }
  FreeProws(rows);
  return out;
}

void SetStoreFile(const std::string& store, const std::string& file) {
  auto p = *tesk::mapi::LoadProfile("Test");
  for (auto& s : p.stores)
    if (s.name == store) s.settings["file"].text = file;
  tesk::mapi::SaveProfile(p);
}

}  // namespace

// Outlook gives a file its record key when it makes it, and copies of a file
// keep it (the two java-libpst samples are such copies, gone apart since).
// Each file is a store of its own: both are added to one profile and open,
// each with entry identifiers of its own that stay the same from run to run,
// also when the file moves; one file is not added twice, and another file in
// its place is not taken for it.
TEST(PstProfile, TwoFilesWithOneRecordKeyAreTwoStores) {
  ProfileFixture profile;
  const std::string first = profile.dir / "dist-list.pst", second = profile.dir / "passworded.pst";
  fs::copy_file(Sample("java-libpst_dist-list"), first);
  fs::copy_file(Sample("java-libpst_passworded"), second);
  ASSERT_EQ(GuidBytes(OpenPst(first)->Guid()), GuidBytes(OpenPst(second)->Guid()));
  tesk::mapi::admin::AddPstStore("Test", first, "Old Outlook", "archive", false);
  std::string out;
  ASSERT_EQ(testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " store add-pst Test " +
                                            testing_support::Quote(second) + " --name Locked 2>&1",
                                        &out),
            0)
      << out;
  const auto before = Identities(profile);
  ASSERT_EQ(before.size(), 4u);
  EXPECT_NE(before.at("Old Outlook"), kDoesNotOpen);
  EXPECT_NE(before.at("Locked"), kDoesNotOpen);
  EXPECT_NE(before.at("Old Outlook").first, before.at("Locked").first);
  EXPECT_NE(before.at("Old Outlook").second, before.at("Locked").second);
  // The first file keeps the identity it gives itself, as in profiles
  // written before a second file of that record key came along.
  const auto written = tesk::mapi::LoadProfile("Test");
  ASSERT_TRUE(written);
  for (const auto& s : written->stores) {
    if (s.name == "Old Outlook") {
      EXPECT_EQ(GuidBytes(s.guid), GuidBytes(OpenPst(first)->Guid()));
    }
  }
  EXPECT_EQ(Identities(profile), before) << "the next run";

  // The same file again, by its own path or another one, is refused.
  fs::create_symlink(second, profile.dir / "link.pst");
  for (const std::string& again : {first, second, profile.dir / "link.pst"}) {
    try {
      tesk::mapi::admin::AddPstStore("Test", again, "Again", "archive", false);
      ADD_FAILURE() << again << " added twice";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("already in profile"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(tesk::mapi::admin::ProfileStores("Test").size(), 4u);

  // A file moved, and the profile told so, is the same store.
  fs::rename(second, profile.dir / "moved.pst");
  SetStoreFile("Locked", profile.dir / "moved.pst");
  EXPECT_EQ(Identities(profile), before);
  // Another file in its place is another store.
  fs::copy_file(Sample("pstsdk_sample1"), profile.dir / "moved.pst", fs::copy_options::overwrite_existing);
  EXPECT_EQ(Identities(profile).at("Locked"), kDoesNotOpen);
  EXPECT_EQ(Identities(profile).at("Old Outlook"), before.at("Old Outlook"));
}

TEST(PstBadFiles, MissingEmptyForeignTruncatedAndPasswordedFiles) {
  TempDir dir;
  EXPECT_EQ(OpenError(dir / "missing.pst"), MAPI_E_NOT_FOUND);
  Write(dir / "empty.pst", "");
  EXPECT_EQ(OpenError(dir / "empty.pst"), MAPI_E_CORRUPT_STORE);
  std::mt19937 rng(7);
  std::string noise(300000, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  Write(dir / "noise.pst", noise);
  EXPECT_EQ(OpenError(dir / "noise.pst"), MAPI_E_CORRUPT_STORE);
  Write(dir / "signature.pst", "!BDN" + noise);
  EXPECT_EQ(OpenError(dir / "signature.pst"), MAPI_E_CORRUPT_STORE);
  const std::string sample = Read(Sample("pstsdk_sample1"));
  Write(dir / "half.pst", sample.substr(0, 100));
  EXPECT_EQ(OpenError(dir / "half.pst"), MAPI_E_CORRUPT_STORE);
  fs::create_directories(dir / "dir.pst");
  EXPECT_EQ(OpenError(dir / "dir.pst"), MAPI_E_CORRUPT_STORE);
  if (::geteuid() != 0) {
    Write(dir / "locked.pst", sample);
    ::chmod((dir / "locked.pst").c_str(), 0);
    EXPECT_EQ(OpenError(dir / "locked.pst"), MAPI_E_NO_ACCESS);
  }
  // The password of a file guards nothing in it: such a file reads like any
  // other (and stays read-only).
  auto s = OpenPst(Sample("java-libpst_passworded"));
  EXPECT_EQ(s->DisplayName(), "Personal Folders");
  EXPECT_EQ(WalkAll(*s), 16u);
  auto admin = OpenPst(Sample("pstsdk_test_ansi"));
  EXPECT_EQ(WalkAll(*admin), 1u);
  // A profile names the cause.
  ProfileFixture profile;
  try {
    tesk::mapi::admin::AddPstStore("Test", dir / "noise.pst", "", "archive", false);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no Outlook data file"), std::string::npos) << e.what();
  }
}

// Truncated and bit-flipped copies of every sample (fixed seeds): each
// opens and reads through, or fails with a MapiError; nothing crashes.
TEST(PstBadFiles, DamagedCopiesOfTheSamplesFailCleanly) {
  TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  size_t variants = 0, opened = 0, failed = 0;
  for (const char* name : kSamples) {
    const std::string sample = Read(Sample(name));
    std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(name) & 0xFFFF));
    for (int k = 0; k < 32; ++k) {
      std::string bytes = sample;
      if (k < 8) {
        bytes.resize(static_cast<size_t>(rng() % sample.size()));
      } else {
        // Bits flipped: a few anywhere, or many in one block (a node or a
        // page of the file's trees).
        const int flips = k < 20 ? 1 + static_cast<int>(rng() % 8) : 64;
        const size_t base = rng() % sample.size();
        for (int f = 0; f < flips; ++f) {
          const size_t at = k < 20 ? rng() % sample.size() : (base + rng() % 512) % sample.size();
          bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
        }
      }
      const std::string file = dir / "damaged.pst";
      Write(file, bytes);
      ++variants;
      try {
        auto s = OpenPst(file);
        WalkAll(*s);
        ++opened;
      } catch (const MapiError& e) {
        EXPECT_TRUE(e.hr() == MAPI_E_CORRUPT_STORE || e.hr() == MAPI_E_NOT_FOUND) << std::hex << e.hr() << " " << e.what();
        ++failed;
      }
    }
  }
  EXPECT_EQ(variants, 320u);
  EXPECT_GT(opened, 0u);
  EXPECT_GT(failed, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(5));
  std::printf("damaged files: %zu, read through %zu, refused %zu\n", variants, opened, failed);
}

// Compressed RTF, as the only body of a message.
TEST(PstConversion, CompressedRtfGivesItsHtmlOrText) {
  // Uncompressed ("MELA") and compressed ("LZFu", the example of the
  // format's documentation) values.
  const std::string raw = "{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag64 <p>}Gr\\'fc\\'dfe{\\*\\htmltag72 </p>}"
                          "\\htmlrtf {\\b x}\\htmlrtf0 \\u8364?}";
  std::string mela(16, '\0');
  auto put = [&](size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) mela[at + static_cast<size_t>(k)] = static_cast<char>(v >> (8 * k));
  };
  put(0, static_cast<std::uint32_t>(raw.size() + 12));
  put(4, static_cast<std::uint32_t>(raw.size()));
  put(8, 0x414C454D);
  mela += raw;
  ASSERT_EQ(rtf::Decompress(mela), raw);
  EXPECT_EQ(rtf::HtmlFromRtf(raw), "<p>Grüße</p>€");
  const std::string lzfu("\x2d\x00\x00\x00\x2b\x00\x00\x00\x4c\x5a\x46\x75\xf1\xc5\xc7\xa7\x03\x00\x0a\x00\x72\x63"
                         "\x70\x67\x31\x32\x35\x42\x32\x0a\xf3\x20\x68\x65\x6c\x09\x00\x20\x62\x77\x05\xb0\x6c\x64"
                         "\x7d\x0a\x80\x0f\xa0",
                         49);
  const auto text = rtf::Decompress(lzfu);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  EXPECT_FALSE(rtf::HtmlFromRtf(*text));
  EXPECT_EQ(rtf::TextFromRtf(*text), "hello world");
  EXPECT_FALSE(rtf::Decompress("short"));
  EXPECT_FALSE(rtf::Decompress(std::string(16, 'x')));
  // A message with nothing but compressed RTF composes as HTML.
  MessageData m;
  m.props = {Prop::Bytes(PR_SUBJECT_A, "RTF only"), Prop::Bytes(PR_RTF_COMPRESSED, mela)};
  const std::string mime = inet::ToMime(m);
  EXPECT_EQ(MimeLeaves(mime), std::vector<std::string>{"text/html"});
}

// Text in code pages: ANSI strings of a file, PR_HTML in the message's
// Internet code page.
TEST(PstConversion, CodePagesBecomeUtf8) {
  EXPECT_EQ(rtf::CodepageToUtf8("Gr\xfc\xdf\x80", 1252), "Grüß€");
  EXPECT_EQ(rtf::CodepageToUtf8("\x93\xfa\x96\x7b", 932), "日本");
  EXPECT_EQ(rtf::CodepageToUtf8("\xc4\xe5", 1251), "Де");
  EXPECT_EQ(rtf::CodepageToUtf8("a\x81" "b", 1252), "a\xEF\xBF\xBD" "b");  // 0x81 is no character of 1252
  EXPECT_EQ(rtf::CodepageToUtf8("plain", 99999), "plain");
  MessageData m;
  m.props = {Prop::Bytes(PR_SUBJECT_A, "html"), Prop::Bytes(PR_HTML, "<p>Gr\xfc\xdf" "e</p>"),
             Prop::Int(inet::PR_INTERNET_CPID, 1252)};
  const std::string mime = inet::ToMime(m);
  g_mime_init();
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(mime.data(), mime.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
  ASSERT_TRUE(msg);
  GMimeObject* part = g_mime_message_get_mime_part(msg);
  ASSERT_TRUE(GMIME_IS_TEXT_PART(part));
  char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
  EXPECT_STREQ(text, "<p>Grüße</p>");
  g_free(text);
  g_object_unref(msg);
  g_object_unref(parser);
  g_object_unref(stream);
}
