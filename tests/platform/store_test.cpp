// Profiles, sessions and store files.
#include <gtest/gtest.h>
#include <mapi/admin.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fixture.h"
#include "provider.h"
#include "providers/common/sqlite_db.h"
#include "providers/sqlite/sqlite_provider.h"

using namespace testing_support;
namespace admin = tesk::mapi::admin;

namespace {

const std::vector<std::string> kMailboxFolders{"Inbox",    "Outbox",   "Sent Items", "Deleted Items", "Drafts",
                                               "Calendar", "Contacts", "Journal",    "Notes",         "Tasks"};

HRESULT OpenByEntryId(IMAPISession* session, const std::string& storeEid) {
  CComPtr<IMsgStore> store;
  std::string eid = storeEid;
  return session->OpenMsgStore(0, static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr,
                               MAPI_BEST_ACCESS | MDB_NO_DIALOG, &store);
}

std::string StoreEntryId(IMAPISession* session, const std::string& name) {
  CComPtr<IMAPITable> table;
  session->GetMsgStoresTable(0, &table);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
  std::string out;
  for (ULONG k = 0; k < rows->cRows; ++k)
    if (name == rows->aRow[k].lpProps[1].Value.lpszA)
      out.assign(reinterpret_cast<char*>(rows->aRow[k].lpProps[0].Value.bin.lpb), rows->aRow[k].lpProps[0].Value.bin.cb);
  FreeProws(rows);
  return out;
}

}  // namespace

TEST(Store, MailboxTemplateHasTheStandardFolders) {
  ProfileFixture f;
  auto session = f.Logon();
  auto store = OpenStore(session, "Personal Folders");
  auto top = OpenFolder(store, "");
  EXPECT_EQ(SubfolderNames(top), kMailboxFolders);
  EXPECT_EQ(StringProp(OpenFolder(store, "Calendar"), PR_CONTAINER_CLASS_A), "IPF.Appointment");
  EXPECT_EQ(StringProp(OpenFolder(store, "Notes"), PR_CONTAINER_CLASS_A), "IPF.StickyNote");
  EXPECT_EQ(StringProp(OpenFolder(store, "Inbox"), PR_CONTAINER_CLASS_A), "");  // classless

  // Store-wide entry identifiers point at the right folders.
  EXPECT_EQ(EntryId(store, PR_IPM_OUTBOX_ENTRYID), EntryId(OpenFolder(store, "Outbox")));
  EXPECT_EQ(EntryId(store, PR_IPM_SENTMAIL_ENTRYID), EntryId(OpenFolder(store, "Sent Items")));
  EXPECT_EQ(EntryId(store, PR_IPM_WASTEBASKET_ENTRYID), EntryId(OpenFolder(store, "Deleted Items")));
  EXPECT_EQ(EntryId(store, PR_IPM_SUBTREE_ENTRYID), EntryId(top));

  // The Inbox is the receive folder and names the other special folders.
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  ASSERT_EQ(store->GetReceiveFolder(nullptr, 0, &cb, &eid, nullptr), S_OK);
  auto inbox = OpenFolder(store, "Inbox");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(eid), cb), EntryId(inbox));
  MAPIFreeBuffer(eid);
  EXPECT_EQ(EntryId(inbox, PR_IPM_APPOINTMENT_ENTRYID), EntryId(OpenFolder(store, "Calendar")));
  EXPECT_EQ(EntryId(inbox, PR_IPM_TASK_ENTRYID), EntryId(OpenFolder(store, "Tasks")));
  EXPECT_EQ(EntryId(inbox, PR_IPM_DRAFTS_ENTRYID), EntryId(OpenFolder(store, "Drafts")));
  EXPECT_EQ(EntryId(inbox, PR_REM_ONLINE_ENTRYID), "");  // no reminders folder in the template

  // A folder's store entry identifier is the stores table's, byte for byte.
  EXPECT_EQ(EntryId(inbox, PR_STORE_ENTRYID), StoreEntryId(session, "Personal Folders"));
  EXPECT_EQ(EntryId(store, PR_ENTRYID), StoreEntryId(session, "Personal Folders"));
}

TEST(Store, ArchiveAndPublicTemplates) {
  ProfileFixture f;
  f.AddStore("Public Folders", "public");
  auto session = f.Logon();
  auto archive = OpenStore(session, "Archive");
  EXPECT_EQ(SubfolderNames(OpenFolder(archive, "")), std::vector<std::string>{"Deleted Items"});
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  EXPECT_EQ(archive->GetReceiveFolder(nullptr, 0, &cb, &eid, nullptr), MAPI_E_NOT_FOUND);
  EXPECT_EQ(EntryId(archive, PR_IPM_OUTBOX_ENTRYID), "");

  auto pub = OpenStore(session, "Public Folders");
  EXPECT_EQ(pub->GetReceiveFolder(nullptr, 0, &cb, &eid, nullptr), MAPI_E_NOT_FOUND);
  EXPECT_EQ(EntryId(pub, PR_MDB_PROVIDER), std::string(reinterpret_cast<const char*>(pbExchangeProviderPublicGuid), 16));
  EXPECT_NE(EntryId(archive, PR_MDB_PROVIDER), EntryId(pub, PR_MDB_PROVIDER));
  EXPECT_TRUE(SubfolderNames(OpenFolder(pub, "")).empty());
}

TEST(Store, EntryIdentifiersRoundTripAndAreUniqueAcrossStores) {
  ProfileFixture f;
  auto session = f.Logon();
  auto mailbox = OpenStore(session, "Personal Folders");
  auto archive = OpenStore(session, "Archive");
  auto deleted1 = OpenFolder(mailbox, "Deleted Items");
  auto deleted2 = OpenFolder(archive, "Deleted Items");
  EXPECT_NE(EntryId(deleted1), EntryId(deleted2));

  AddMessages(deleted1, 1);
  const auto ids = ContentsEntryIds(deleted1);
  ASSERT_EQ(ids.size(), 1u);
  std::string eid = ids[0];
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  ASSERT_EQ(session->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0,
                               &type, &obj),
            S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
  CComQIPtr<IMessage> msg(obj.p);
  EXPECT_EQ(StringProp(msg, PR_SUBJECT_A), "Message 0");
  EXPECT_EQ(EntryId(msg, PR_PARENT_ENTRYID), EntryId(deleted1));

  // Another store does not know it.
  obj.Release();
  EXPECT_EQ(archive->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, 0,
                               &type, &obj),
            MAPI_E_INVALID_ENTRYID);
}

TEST(Store, MessagesKeepRecipientsAndAttachments) {
  ProfileFixture f;
  auto session = f.Logon();
  auto inbox = OpenFolder(OpenStore(session, "Personal Folders"), "Inbox");
  CComPtr<IMessage> m;
  ASSERT_EQ(inbox->CreateMessage(nullptr, 0, &m), S_OK);
  SPropValue rv[3]{};
  rv[0].ulPropTag = PR_DISPLAY_NAME_A;
  rv[0].Value.lpszA = const_cast<char*>("Anna");
  rv[1].ulPropTag = PR_EMAIL_ADDRESS_A;
  rv[1].Value.lpszA = const_cast<char*>("anna@example.org");
  rv[2].ulPropTag = PR_RECIPIENT_TYPE;
  rv[2].Value.l = MAPI_TO;
  ADRLIST list{1, {{0, 3, rv}}};
  ASSERT_EQ(m->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
  CComPtr<IAttach> att;
  ULONG num = 99;
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, &att), S_OK);
  EXPECT_EQ(num, 0u);
  std::string data(100000, 'x');
  SPropValue av{};
  av.ulPropTag = PR_ATTACH_DATA_BIN;
  av.Value.bin = {static_cast<ULONG>(data.size()), reinterpret_cast<LPBYTE>(data.data())};
  ASSERT_EQ(HrSetOneProp(att, &av), S_OK);
  ASSERT_EQ(att->SaveChanges(0), S_OK);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  const std::string eid = EntryId(m);
  m.Release();
  att.Release();

  CComPtr<IUnknown> obj;
  ULONG type = 0;
  std::string e = eid;
  ASSERT_EQ(inbox->OpenEntry(static_cast<ULONG>(e.size()), reinterpret_cast<LPENTRYID>(e.data()), nullptr, 0, &type,
                             &obj),
            S_OK);
  CComQIPtr<IMessage> back(obj.p);
  CComPtr<IMAPITable> recips;
  ASSERT_EQ(back->GetRecipientTable(0, &recips), S_OK);
  ULONG count = 0;
  recips->GetRowCount(0, &count);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(back->OpenAttach(0, nullptr, 0, &att), S_OK);
  EXPECT_EQ(EntryId(att, PR_ATTACH_DATA_BIN), data);
  EXPECT_EQ(LongProp(inbox, PR_CONTENT_COUNT), 1);
}

TEST(Logon, ProfilesByNameDefaultAndFailure) {
  ProfileFixture f;
  admin::CreateProfile("Second", false);
  CComPtr<IMAPISession> session;
  char second[] = "Second";
  ASSERT_EQ(MAPILogonEx(0, second, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), S_OK);

  // The status table names the profile.
  CComPtr<IMAPITable> status;
  ASSERT_EQ(session->GetStatusTable(0, &status), S_OK);
  SPropValue subsystem{};
  subsystem.ulPropTag = PR_RESOURCE_TYPE;
  subsystem.Value.l = MAPI_SUBSYSTEM;
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty = {RELOP_EQ, PR_RESOURCE_TYPE, &subsystem};
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_A}};
  ASSERT_EQ(HrQueryAllRows(status, reinterpret_cast<LPSPropTagArray>(&cols), &r, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Second");
  FreeProws(rows);
  session.Release();

  char unknown[] = "Nobody";
  EXPECT_EQ(MAPILogonEx(0, unknown, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), MAPI_E_LOGON_FAILED);
  EXPECT_FALSE(session);
  // Without MAPI_USE_DEFAULT an empty name does not log on.
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED, &session), MAPI_E_LOGON_FAILED);
  admin::DeleteProfile("Test");
  admin::DeleteProfile("Second");
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), MAPI_E_LOGON_FAILED);
  EXPECT_FALSE(session);
}

TEST(Logon, FilesAreReadableByTheOwnerOnly) {
  ProfileFixture f;
  struct stat st {};
  ASSERT_EQ(::stat(f.mailboxFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((f.dir / "config/Test.toml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Store, BadFilesFailCleanly) {
  ProfileFixture f;
  const std::string pf = StoreEntryId(f.Logon(), "Personal Folders");
  const std::string original = f.dir / "original.store";
  std::filesystem::copy_file(f.mailboxFile, original);

  auto expect = [&](HRESULT code, const char* what) {
    auto session = f.Logon();
    EXPECT_EQ(OpenByEntryId(session, pf), code) << what;
  };
  // Missing.
  std::filesystem::remove(f.mailboxFile);
  expect(MAPI_E_NOT_FOUND, "missing");
  // Not a store at all.
  std::ofstream(f.mailboxFile) << "this is no store";
  expect(MAPI_E_CORRUPT_STORE, "foreign");
  // Truncated.
  std::filesystem::copy_file(original, f.mailboxFile, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(f.mailboxFile, std::filesystem::file_size(original) / 2);
  expect(MAPI_E_CORRUPT_STORE, "truncated");
  // A database of some other program.
  std::filesystem::remove(f.mailboxFile);
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(f.mailboxFile) + " 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'"), 0);
  expect(MAPI_E_CORRUPT_STORE, "other database");
  // A newer format.
  std::filesystem::copy_file(original, f.mailboxFile, std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(RunCommand("sqlite3 " + Quote(f.mailboxFile) + " 'PRAGMA user_version=99;' >/dev/null"), 0);
  expect(MAPI_E_VERSION, "newer");
  // Unreadable (root reads everything, so only check as another user).
  if (::geteuid() != 0) {
    std::filesystem::copy_file(original, f.mailboxFile, std::filesystem::copy_options::overwrite_existing);
    ::chmod(f.mailboxFile.c_str(), 0);
    expect(MAPI_E_NO_ACCESS, "unreadable");
  }
  // The other store of the profile still opens.
  auto session = f.Logon();
  EXPECT_EQ(OpenByEntryId(session, StoreEntryId(session, "Archive")), S_OK);
}

TEST(Mapiadmin, RefusesCountsAndNamesOutOfRangeBeforeDoingAnything) {
  testing_support::ProfileFixture f;
  for (const char* args : {"generate Test 'Personal Folders\\Inbox' --messages -1",
                           "generate Test 'Personal Folders\\Inbox' --messages 0",
                           "generate Test 'Personal Folders\\Inbox' --messages 18446744073709551615",
                           "generate Test 'Personal Folders\\Inbox' --messages 3 --seed -4",
                           "store create /nonexistent/x.store --name ''",
                           "store create /nonexistent/x.store --name 'a\\b'"}) {
    std::string out;
    const int rc = testing_support::RunCommand(std::string(MAPIADMIN_PATH) + " " + args + " 2>&1", &out);
    EXPECT_NE(rc, 0) << args;
    EXPECT_NE(out.find("Run with --help"), std::string::npos) << args << ": " << out;
  }
  // Nothing was generated.
  auto session = f.Logon();
  EXPECT_TRUE(testing_support::ContentsEntryIds(
                  testing_support::OpenFolder(testing_support::OpenStore(session, "Personal Folders"), "Inbox"))
                  .empty());
}

TEST(Logon, AStoreWithTheIdentityOfAnotherNeverOpens) {
  testing_support::ProfileFixture f;
  // A copy of the archive's file, added to the profile by hand.
  const std::string copy = f.dir / "copy.store";
  std::filesystem::copy_file(f.archiveFile, copy);
  {
    std::ifstream in(f.dir / "config/Test.toml");
    std::stringstream text;
    text << in.rdbuf();
    std::string profile = text.str();
    const auto at = profile.find("[[store]]", profile.find("Archive") - 200);
    std::string entry = profile.substr(at, profile.find("[[store]]", at + 1) == std::string::npos
                                               ? std::string::npos
                                               : profile.find("[[store]]", at + 1) - at);
    entry.replace(entry.find(f.archiveFile), f.archiveFile.size(), copy);
    entry.replace(entry.find("name = 'Archive'") != std::string::npos ? entry.find("name = 'Archive'")
                                                                      : entry.find("name = \"Archive\""),
                  16, "name = 'Archive Copy'");
    std::ofstream(f.dir / "config/Test.toml", std::ios::app) << "\n" << entry;
  }
  auto session = f.Logon();
  CComPtr<IMAPITable> table;
  ASSERT_EQ(session->GetMsgStoresTable(0, &table), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  ASSERT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  std::set<std::string> ids;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    ids.emplace(reinterpret_cast<const char*>(b.lpb), b.cb);
    CComPtr<IMsgStore> store;
    const HRESULT hr = session->OpenMsgStore(0, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, 0, &store);
    if (std::string(rows->aRow[k].lpProps[1].Value.lpszA) == "Archive Copy") {
      EXPECT_EQ(hr, MAPI_E_CORRUPT_STORE);
      LPMAPIERROR error = nullptr;
      ASSERT_EQ(session->GetLastError(hr, 0, &error), S_OK);
      ASSERT_TRUE(error);
      EXPECT_NE(std::string(error->lpszError).find("has the identity of store \"Archive\""), std::string::npos)
          << error->lpszError;
      MAPIFreeBuffer(error);
    } else {
      EXPECT_EQ(hr, S_OK);
    }
  }
  FreeProws(rows);
  EXPECT_EQ(ids.size(), 3u) << "every row its own identifier";
}

TEST(Store, AForeignFileWithOurMarkIsRefusedUntouched) {
  testing_support::TempDir dir;
  const std::string file = dir / "foreign.store";
  ASSERT_EQ(testing_support::RunCommand("sqlite3 " + testing_support::Quote(file) +
                                        " 'PRAGMA application_id=1414745933; PRAGMA user_version=1; "
                                        "CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT); "
                                        "INSERT INTO notes(text) VALUES (\"mine\");'"),
            0);
  auto header = [&] {
    std::ifstream in(file, std::ios::binary);
    std::string h(100, '\0');
    in.read(h.data(), 100);
    return h;
  };
  const std::string before = header();
  ASSERT_EQ(before[18], 1) << "rollback journal, as written";
  EXPECT_THROW(tesk::mapi::OpenStoreFile(file), tesk::mapi::MapiError);
  try {
    tesk::mapi::OpenStoreFile(file);
  } catch (const tesk::mapi::MapiError& e) {
    EXPECT_EQ(e.hr(), MAPI_E_CORRUPT_STORE);
  }
  EXPECT_EQ(header(), before);
  EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
}

TEST(Store, AStoreOnAReadOnlyMountOpensReadOnlyAsASource) {
  testing_support::ProfileFixture f;
  testing_support::Mapiadmin("generate Test 'Archive\\Old' --messages 5");
  std::string out;
  if (testing_support::RunCommand("unshare -m true 2>&1", &out) != 0) GTEST_SKIP() << "no mount namespace: " << out;
  // The archive's folder mounted read-only, the mailbox moved out of it.
  const std::string ro = f.dir / "ro";
  std::filesystem::create_directories(ro);
  const std::string archive = ro + "/archive.store";
  std::filesystem::rename(f.archiveFile, archive);
  std::string profile;
  {
    std::ifstream in(f.dir / "config/Test.toml");
    std::stringstream text;
    text << in.rdbuf();
    profile = text.str();
  }
  profile.replace(profile.find(f.archiveFile), f.archiveFile.size(), archive);
  std::ofstream(f.dir / "config/Test.toml") << profile;
  const std::string script = "mount --bind " + testing_support::Quote(ro) + " " + testing_support::Quote(ro) +
                             " && mount -o remount,bind,ro " + testing_support::Quote(ro) + " && " +
                             "touch " + testing_support::Quote(ro + "/probe") + " 2>/dev/null; " +
                             "[ ! -e " + testing_support::Quote(ro + "/probe") + " ] && " + MAPIADMIN_PATH +
                             " tree Test 'Archive\\Old' --json && " + MAPIADMIN_PATH +
                             " folder create Test 'Archive\\New'";
  const int rc = testing_support::RunCommand("unshare -m sh -c " + testing_support::Quote(script) + " 2>&1", &out);
  EXPECT_NE(rc, 0) << "the folder cannot be created: " << out;
  EXPECT_NE(out.find("\"messages\": 5"), std::string::npos) << out;
  EXPECT_NE(out.find("MAPI_E_NO_ACCESS"), std::string::npos) << out;
}

TEST(Mapiadmin, TreeJsonShowsNamesThatAreNoUtf8) {
  testing_support::ProfileFixture f;
  {
    auto session = f.Logon();
    auto inbox = testing_support::OpenFolder(testing_support::OpenStore(session, "Personal Folders"), "Inbox");
    testing_support::CreateFolder(inbox, "Caf\xE9 \xFF\xC3");
  }
  const auto tree = nlohmann::json::parse(testing_support::Mapiadmin("tree Test 'Personal Folders\\Inbox' --json"));
  ASSERT_EQ(tree["folders"].size(), 1u);
  EXPECT_EQ(tree["folders"][0]["name"], "Caf\xC3\xA9 \xC3\xBF\xC3\x83");
  EXPECT_NO_THROW(nlohmann::json::parse(testing_support::Mapiadmin("tree Test --json")));
}

// A message's keywords are a set: the digests of tree --json do not depend
// on the order a store gives them in (a Maildir numbers them in its own).
TEST(Mapiadmin, TreeJsonDigestsTakeKeywordsAsASet) {
  testing_support::ProfileFixture f;
  {
    auto session = f.Logon();
    auto inbox = testing_support::OpenFolder(testing_support::OpenStore(session, "Personal Folders"), "Inbox");
    const std::vector<std::vector<const char*>> sets{{"Work", "Later"}, {"Later", "Work"}, {"Work"}};
    for (size_t k = 0; k < sets.size(); ++k) {
      auto folder = testing_support::CreateFolder(inbox, "F" + std::to_string(k));
      CComPtr<IMessage> m;
      ASSERT_EQ(folder->CreateMessage(nullptr, 0, &m), S_OK);
      std::vector<LPSTR> words;
      for (const char* w : sets[k]) words.push_back(const_cast<LPSTR>(w));
      SPropValue props[2]{};
      props[0].ulPropTag = PR_SUBJECT_A;
      props[0].Value.lpszA = const_cast<LPSTR>("Tagged");
      props[1].ulPropTag = PROP_TAG(PT_MV_STRING8, 0x6792);
      props[1].Value.MVszA.cValues = static_cast<ULONG>(words.size());
      props[1].Value.MVszA.lppszA = words.data();
      ASSERT_EQ(m->SetProps(2, props, nullptr), S_OK);
      ASSERT_EQ(m->SaveChanges(0), S_OK);
    }
  }
  auto digests = [](const std::string& folder) {
    return nlohmann::json::parse(
        testing_support::Mapiadmin("tree Test 'Personal Folders\\Inbox\\" + folder + "' --json"))["digests"];
  };
  EXPECT_EQ(digests("F0"), digests("F1"));
  EXPECT_NE(digests("F0"), digests("F2"));
}

namespace {

// Copying, deleting and emptying one small folder does the same work in a
// store of a hundred messages as in one of thousands: a restore calls them
// once per subfolder, and work that grows with the store there makes the
// whole restore grow with the square of its folders.
TEST(StoreWork, SmallFolderCallsDoNotGrowWithTheStore) {
  const auto workOnce = [](int others) {
    ProfileFixture profile;
    CComPtr<IMAPISession> session = profile.Logon();
    CComPtr<IMsgStore> mailbox = OpenStore(session, "Personal Folders");
    CComPtr<IMsgStore> archive = OpenStore(session, "Archive");
    CComPtr<IMAPIFolder> top = OpenFolder(mailbox, "");
    AddMessages(CreateFolder(top, "Bulk"), others);
    CComPtr<IMAPIFolder> small = CreateFolder(top, "Small");
    AddMessages(small, 2);
    AddMessages(CreateFolder(small, "Sub"), 1);
    CComPtr<IMAPIFolder> archiveTop = OpenFolder(archive, "");
    AddMessages(CreateFolder(archiveTop, "Bulk"), others);
    const std::string smallId = EntryId(small);

    const std::uint64_t before = tesk::mapi::sqlite::FullScanSteps();
    char name[] = "Copied";
    EXPECT_EQ(top->CopyFolder(static_cast<ULONG>(smallId.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(smallId.data())),
                              nullptr, archiveTop, name, 0, nullptr, COPY_SUBFOLDERS),
              S_OK);
    CComPtr<IMAPIFolder> copied = OpenFolder(archive, "Copied");
    std::vector<std::string> ids = ContentsEntryIds(small);
    std::vector<SBinary> bins;
    for (std::string& id : ids) bins.push_back({static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(id.data())});
    SBinaryArray list{static_cast<ULONG>(bins.size()), bins.data()};
    EXPECT_EQ(small->CopyMessages(&list, nullptr, copied, 0, nullptr, 0), S_OK);
    EXPECT_EQ(copied->EmptyFolder(0, nullptr, 0), S_OK);
    const std::string copiedId = EntryId(copied);
    copied.Release();
    EXPECT_EQ(archiveTop->DeleteFolder(static_cast<ULONG>(copiedId.size()),
                                       reinterpret_cast<LPENTRYID>(const_cast<char*>(copiedId.data())), 0, nullptr,
                                       DEL_FOLDERS | DEL_MESSAGES),
              S_OK);
    return tesk::mapi::sqlite::FullScanSteps() - before;
  };
  const std::uint64_t small = workOnce(50);
  const std::uint64_t large = workOnce(2000);
  EXPECT_LE(large, small + 50) << "50 other messages: " << small << " rows scanned, 2000: " << large;
}

}  // namespace

namespace {

// The reason MAPIGetLogonError gives for the calling thread's last logon.
std::string LogonError() {
  LPMAPIERROR error = nullptr;
  EXPECT_EQ(MAPIGetLogonError(&error), S_OK);
  std::string text = error && error->lpszError ? error->lpszError : "";
  MAPIFreeBuffer(error);
  return text;
}

// The 1-based number of the line of text where the n-th (0-based) match of
// what begins.
int LineOf(const std::string& text, const std::string& what, int n = 0) {
  size_t at = text.find(what);
  while (at != std::string::npos && n-- > 0) at = text.find(what, at + 1);
  EXPECT_NE(at, std::string::npos) << what;
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// A profile that does not load fails the logon with MAPI_E_LOGON_FAILED as
// always, and MAPIGetLogonError says why: the profile file, the line, the
// store entry and the key at fault.
TEST(Logon, AProfileThatDoesNotLoadSaysWhy) {
  ProfileFixture f;
  const std::string file = f.dir / "config/Test.toml";
  const std::string good = ReadText(file);
  auto logonFails = [&](const char* name) {
    CComPtr<IMAPISession> session;
    std::string n = name;
    EXPECT_EQ(MAPILogonEx(0, n.empty() ? nullptr : n.data(), nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session),
              MAPI_E_LOGON_FAILED);
    EXPECT_FALSE(session);
    return LogonError();
  };
  // The profile with one line of the archive's entry replaced.
  auto edited = [&](const std::string& line, const std::string& with) {
    std::string text = good;
    const size_t archive = text.find("[[store]]", text.find("[[store]]") + 1);
    const size_t at = text.find(line, archive);
    EXPECT_NE(at, std::string::npos) << line;
    text.replace(at, text.find('\n', at) - at, with);
    std::ofstream(file, std::ios::trunc) << text;
    return text;
  };
  const std::string where = "profile " + file + ", line ";

  // The user's case: a store entry without its guid, in the default profile.
  std::string text = edited("guid = ", "");
  EXPECT_EQ(logonFails(""), where + std::to_string(LineOf(text, "[[store]]", 1)) +
                                ": store \"Archive\": the key \"guid\" is missing (the store's identity, such as "
                                "\"{D331DA56-D726-48B7-82F5-AA654D84A30D}\"; mapiadmin store add writes it)");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "[[store]]", 1)) +
                                    ": store \"Archive\": the key \"guid\" is missing (the store's identity, such as "
                                    "\"{D331DA56-D726-48B7-82F5-AA654D84A30D}\"; mapiadmin store add writes it)");
  text = edited("guid = ", "guid = 'archive'");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "guid = 'archive'")) +
                                    ": store \"Archive\": the key \"guid\" is no identity: \"archive\" (one is written as "
                                    "\"{D331DA56-D726-48B7-82F5-AA654D84A30D}\")");
  // Keys of the wrong type, which used to read as their defaults.
  text = edited("default = ", "default = 'yes'");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "default = 'yes'")) +
                                    ": store \"Archive\": the key \"default\" must be true or false (it is a string)");
  text = edited("kind = ", "kind = 2");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "kind = 2")) +
                                    ": store \"Archive\": the key \"kind\" must be a string (it is an integer)");
  text = edited("kind = ", "kind = 'archiv'");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "kind = 'archiv'")) +
                                    ": store \"Archive\": the key \"kind\" must be \"mailbox\", \"archive\" or "
                                    "\"public\" (it is \"archiv\")");
  text = edited("name = ", "name = 7");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "name = 7")) +
                                    ": the 2nd [[store]]: the key \"name\" must be a string (it is an integer)");
  text = edited("file = ", "file = 1.5");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "file = 1.5")) +
                                    ": store \"Archive\": the key \"file\" must be a string, an integer, true or false "
                                    "or a list of strings (it is a number with a fraction)");
  // A list holds strings only, and only where the provider takes a list.
  text = edited("file = ", "file = ['a', 2]");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "file = ['a', 2]")) +
                                    ": store \"Archive\": the key \"file\" must be a list of strings, each a line of text");
  text = edited("file = ", "file = ['/tmp/a.store']");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "[[store]]", 1)) +
                                    ": store \"Archive\": the store key \"file\" must be a string");
  text = edited("file = ", "file = ''");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "[[store]]", 1)) +
                                    ": store \"Archive\": a sqlite store needs a file");
  text = edited("file = ", "provider = 'mbox'");
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(text, "provider = 'mbox'")) +
                                    ": store \"Archive\": the key \"provider\" names an unknown provider \"mbox\" "
                                    "(known: sqlite, maildir, imap, pst)");
  // A file that is no TOML: the line of the fault.
  text = edited("file = ", "file = '/unterminated");
  const std::string syntax = logonFails("Test");
  EXPECT_TRUE(syntax.starts_with(where + std::to_string(LineOf(text, "file = '/unterminated")) +
                                 ": not a valid TOML file: "))
      << syntax;
  // Not tables where tables belong.
  std::ofstream(file, std::ios::trunc) << "default = true\nstore = 'Personal Folders'\n";
  EXPECT_EQ(logonFails("Test"),
            where + "2: \"store\" must be a list of [[store]] tables (it is a string)");
  std::ofstream(file, std::ios::trunc) << "default = 1\n";
  EXPECT_EQ(logonFails("Test"), where + "1: the key \"default\" must be true or false (it is an integer)");
  std::ofstream(file, std::ios::trunc) << good << "\n[transport]\nsmtp = 'smtp://localhost:25'\n";
  EXPECT_EQ(logonFails("Test"), where + std::to_string(LineOf(good + "\n[transport]", "[transport]")) +
                                    ": [transport]: the key \"from\" is missing (the sender's address)");

  // No such profile, and no default one.
  std::ofstream(file, std::ios::trunc) << good;
  EXPECT_EQ(logonFails("Nobody"),
            "there is no profile \"Nobody\" (no file " + (f.dir / "config/Nobody.toml") + ")");
  EXPECT_TRUE(logonFails("../Test").starts_with("\"../Test\" is no profile name"));
  std::ofstream(file, std::ios::trunc) << "default = false\n";
  EXPECT_EQ(logonFails(""), "no profile in " + (f.dir / "config") + " is the default one (default = true)");
  // A default profile that cannot be read cannot say it is the default.
  std::ofstream(file, std::ios::trunc) << "default = true\n[[store]\n";
  const std::string unread = logonFails("");
  EXPECT_TRUE(unread.starts_with("no profile in " + (f.dir / "config") + " is the default one (default = true); " +
                                 where + "2: not a valid TOML file: "))
      << unread;

  // A logon that succeeds has nothing to say.
  std::ofstream(file, std::ios::trunc) << good;
  EXPECT_TRUE(f.Logon());
  EXPECT_EQ(LogonError(), "");
}

// mapiadmin says the same when it cannot log on.
TEST(Mapiadmin, SaysWhyAProfileDoesNotLoad) {
  ProfileFixture f;
  const std::string file = f.dir / "config/Test.toml";
  std::string text = ReadText(file);
  const size_t archive = text.find("[[store]]", text.find("[[store]]") + 1);
  const size_t guid = text.find("guid = ", archive);
  text.erase(guid, text.find('\n', guid) + 1 - guid);
  std::ofstream(file, std::ios::trunc) << text;
  std::string out;
  EXPECT_EQ(RunCommand(std::string(MAPIADMIN_PATH) + " tree Test 2>&1", &out), 1);
  EXPECT_EQ(out, "mapiadmin: cannot log on to profile \"Test\": MAPI_E_LOGON_FAILED: profile " + file + ", line " +
                     std::to_string(LineOf(text, "[[store]]", 1)) +
                     ": store \"Archive\": the key \"guid\" is missing (the store's identity, such as "
                     "\"{D331DA56-D726-48B7-82F5-AA654D84A30D}\"; mapiadmin store add writes it)\n");
}

// tree --json writes its JSON as it walks the tree, in the very form of
// nlohmann::json's dump(2) (what scripts comparing two trees have seen):
// messages, classes, names beyond ASCII and quotes, a store that does not
// open, no stores at all.
TEST(Mapiadmin, TreeJsonIsTheFormOfAnIndentedDump) {
  ProfileFixture f;
  Mapiadmin("generate Test 'Personal Folders\\Inbox\\Sub\\Deeper' --messages 4 --seed 3 --attachments");
  Mapiadmin("folder create Test 'Archive\\Gr\xC3\xBC\xC3\x9F" "e \"quoted\"\\x' --class IPF.Note");
  Mapiadmin("generate Test 'Archive\\Gr\xC3\xBC\xC3\x9F" "e \"quoted\"' --messages 2 --seed 4");
  const std::string gone = f.AddStore("Gone", "archive");
  std::filesystem::remove(gone);
  for (const char* args : {"tree Test --json", "tree Test 'Personal Folders' --json", "tree Test 'Archive' --json"}) {
    const std::string out = Mapiadmin(args);
    EXPECT_EQ(out, nlohmann::json::parse(out).dump(2) + "\n") << args;
  }
  EXPECT_NE(Mapiadmin("tree Test --json").find("\"error\": \"opening store \\\"Gone\\\" failed: MAPI_E_NOT_FOUND\""),
            std::string::npos);
  admin::RemoveStore("Test", "Personal Folders");
  admin::RemoveStore("Test", "Archive");
  admin::RemoveStore("Test", "Gone");
  EXPECT_EQ(Mapiadmin("tree Test --json"), "{\n  \"stores\": []\n}\n");
}
