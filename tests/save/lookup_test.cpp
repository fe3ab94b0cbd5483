// Folder paths to open folders, and the MAPI wrappers' edge cases.
#include <gtest/gtest.h>

#include <MAPIFolderFind.h>
#include <TeskMAPI.h>

#include <string>

#include "fixture.h"

namespace {

using namespace testing_support;

std::string Text(CException* e) {
  char buf[1024];
  e->GetErrorMessage(buf, sizeof buf);
  std::string s = buf;
  if (auto* tesk = dynamic_cast<CTeskException*>(e)) s += " @" + std::string(tesk->m_strFile) + ":" + std::to_string(tesk->m_nLine);
  return s;
}

class SavePathLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    profile.AddStore("\xC3\x9C" "bersee", "archive");  // Übersee
    session = profile.Logon();
    mailbox = OpenStore(session, "Personal Folders");
    auto inbox = OpenFolder(mailbox, "Inbox");
    auto sub = CreateFolder(inbox, "Sub");
    CreateFolder(sub, "Deep");
    CreateFolder(inbox, "\xC3\x9C" "ber");  // Über
    CreateFolder(inbox, " Padded");
    CreateFolder(inbox, "a\tb");
  }

  // "=" and the entry id of the folder a path leads to, or the failure.
  std::string Find(const std::string& path) {
    try {
      CMAPIFolderFind find(session);
      CComPtr<IMAPIFolder> folder = find.FindFolder(CString(path.c_str()));
      if (!folder) return "empty";
      return "=" + EntryId(folder);
    } catch (CException* e) {
      std::string s = Text(e);
      e->Delete();
      return s;
    }
  }
  std::string Id(const std::string& store, const std::string& path) {
    return "=" + EntryId(OpenFolder(OpenStore(session, store), path));
  }

  ProfileFixture profile;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> mailbox;
};

TEST_F(SavePathLookup, SpellingsThatFindTheFolder) {
  const std::string sub = Id("Personal Folders", "Inbox\\Sub");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub"), sub);
  EXPECT_EQ(Find("personal FOLDERS\\inbox\\SUB"), sub);           // ASCII letters in any case
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub\\"), sub);         // one trailing backslash
  EXPECT_EQ(Find(" \t Personal Folders\\Inbox\\Sub\t  "), sub);   // blanks and tabs at both ends
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub\\Deep"), Id("Personal Folders", "Inbox\\Sub\\Deep"));
  EXPECT_EQ(Find("Personal Folders\\Inbox\\ Padded"), Id("Personal Folders", "Inbox\\ Padded"));
  EXPECT_EQ(Find("Personal Folders\\Inbox\\a\tb"), Id("Personal Folders", "Inbox\\a\tb"));
  EXPECT_EQ(Find("Personal Folders\\Inbox\\\xC3\x9C" "BER"), Id("Personal Folders", "Inbox\\\xC3\x9C" "ber"));

  // The store alone is its visible folder tree.
  EXPECT_EQ(Find("Personal Folders"), "=" + EntryId(mailbox, PR_IPM_SUBTREE_ENTRYID));
  EXPECT_EQ(Find("archive\\"), "=" + EntryId(OpenStore(session, "Archive"), PR_IPM_SUBTREE_ENTRYID));
  EXPECT_EQ(Find("\xC3\x9C" "BERSEE\\deleted items"), Id("\xC3\x9C" "bersee", "Deleted Items"));
}

TEST_F(SavePathLookup, FailuresNameTheMissingPart) {
  // Only ASCII letters compare without case.
  EXPECT_EQ(Find("\xC3\xBC" "bersee\\Deleted Items"), "Message store \xC3\xBC" "bersee not found! @MAPIFolderFind:98");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\\xC3\xBC" "ber"), "Subfolder \xC3\xBC" "ber not found! @MAPIFolderFind:173");

  EXPECT_EQ(Find("Nowhere\\Inbox"), "Message store Nowhere not found! @MAPIFolderFind:98");
  EXPECT_EQ(Find("\\Personal Folders\\Inbox"), "Message store  not found! @MAPIFolderFind:98");
  EXPECT_EQ(Find(""), "Message store  not found! @MAPIFolderFind:98");
  EXPECT_EQ(Find("Personal Folders \\Inbox"), "Message store Personal Folders  not found! @MAPIFolderFind:98");
  EXPECT_EQ(Find("Personal Folders\\ Inbox"), "Subfolder  Inbox not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\\\Inbox"), "Subfolder  not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub\\\\"), "Subfolder  not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Padded"), "Subfolder Padded not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Missing\\Deep"), "Subfolder Missing not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub\\Deep\\Deeper"), "Subfolder Deeper not found! @MAPIFolderFind:173");
  EXPECT_EQ(Find("Personal Folders\\Inbox\\Sub\\Deep "), Id("Personal Folders", "Inbox\\Sub\\Deep"));
}

TEST_F(SavePathLookup, NoSession) {
  CMAPIFolderFind find(nullptr);
  try {
    find.FindFolder("Personal Folders\\Inbox");
    ADD_FAILURE() << "nothing thrown";
  } catch (CException* e) {
    EXPECT_EQ(Text(e),
              "MAPI error 80040200, MAPI_E_END_OF_SESSION Message store Personal Folders not found! @MAPIFolderFind:98");
    e->Delete();
  }
}

// --- the wrappers --------------------------------------------------------------------

class SaveWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    session = profile.Logon();
    mailbox = OpenStore(session, "Personal Folders");
    archive = OpenStore(session, "Archive");
  }
  ProfileFixture profile;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> mailbox, archive;
};

TEST_F(SaveWrappers, EmptyWrappersGiveNothing) {
  CTeskMAPISession none;
  std::string id = EntryId(mailbox);
  EXPECT_FALSE(none.OpenMsgStoreByEntryID(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data())));
  EXPECT_FALSE(none.OpenDefaultMsgStore());
  CTeskMsgStore noStore;
  EXPECT_FALSE(noStore.OpenRootFolder());
  EXPECT_FALSE(noStore.OpenInboxFolder());
  EXPECT_FALSE(noStore.OpenOutboxFolder());
  CTeskMAPIFolder noFolder;
  std::string bytes = "stale";
  CTeskBinary value(SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())});
  EXPECT_EQ(noFolder.GetBinaryProp(PR_ENTRYID, value), E_FAIL);
  EXPECT_FALSE(value.HasData());
}

TEST_F(SaveWrappers, StoreByExactEntryIdOnly) {
  CTeskMAPISession wrapped(session.p);
  const std::string id = EntryId(archive);
  ASSERT_GT(id.size(), 1u);
  auto open = [&](std::string eid) {
    return wrapped.OpenMsgStoreByEntryID(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()));
  };
  CComPtr<IMsgStore> found = open(id);
  ASSERT_TRUE(found);
  EXPECT_EQ(StringProp(found, PR_DISPLAY_NAME_A), "Archive");
  EXPECT_EQ(StringProp(open(EntryId(mailbox)), PR_DISPLAY_NAME_A), "Personal Folders");

  EXPECT_FALSE(open(id.substr(0, id.size() - 1)));  // a prefix of a real identifier
  EXPECT_FALSE(open(id.substr(0, 1)));
  EXPECT_FALSE(open(id + "x"));
  std::string changed = id;
  changed.back() = static_cast<char>(changed.back() ^ 1);
  EXPECT_FALSE(open(changed));
  EXPECT_FALSE(wrapped.OpenMsgStoreByEntryID(0, nullptr));

  CComPtr<IMsgStore> def = wrapped.OpenDefaultMsgStore();
  ASSERT_TRUE(def);
  EXPECT_EQ(StringProp(def, PR_DISPLAY_NAME_A), "Personal Folders");
}

TEST_F(SaveWrappers, WellKnownFolders) {
  CTeskMsgStore store(mailbox.p);
  CComPtr<IMAPIFolder> root = store.OpenRootFolder();
  ASSERT_TRUE(root);
  EXPECT_EQ(EntryId(root), EntryId(mailbox, PR_IPM_SUBTREE_ENTRYID));
  CComPtr<IMAPIFolder> inbox = store.OpenInboxFolder();
  ASSERT_TRUE(inbox);
  EXPECT_EQ(StringProp(inbox, PR_DISPLAY_NAME_A), "Inbox");
  CComPtr<IMAPIFolder> outbox = store.OpenOutboxFolder();
  ASSERT_TRUE(outbox);
  EXPECT_EQ(StringProp(outbox, PR_DISPLAY_NAME_A), "Outbox");

  CTeskMAPIFolder folder(inbox.p);
  CTeskBinary id;
  EXPECT_EQ(folder.GetBinaryProp(PR_ENTRYID, id), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id.lpb), id.cb), EntryId(inbox));
  EXPECT_EQ(folder.GetBinaryProp(PR_IPM_OUTBOX_ENTRYID, id), MAPI_E_NOT_FOUND);
  EXPECT_FALSE(id.HasData());
}

TEST_F(SaveWrappers, ArchiveWithoutOutbox) {
  CTeskMsgStore store(archive.p);
  EXPECT_TRUE(store.OpenRootFolder());
  try {
    store.OpenOutboxFolder();
    ADD_FAILURE() << "nothing thrown";
  } catch (CException* e) {
    auto* mapi = dynamic_cast<CMAPIException*>(e);
    ASSERT_NE(mapi, nullptr);
    EXPECT_EQ(mapi->m_hr, MAPI_E_NOT_FOUND);
    EXPECT_EQ(std::string(mapi->m_strMAPIText), "Failed to obtain PR_IPM_OUTBOX_ENTRYID from MsgStore.");
    EXPECT_EQ(std::string(mapi->m_strFile), "TeskMsgStoreT.h");
    EXPECT_EQ(Text(e).substr(0, Text(e).find(" @")),
              "MAPI error 8004010f, MAPI_E_NOT_FOUND Failed to obtain PR_IPM_OUTBOX_ENTRYID from MsgStore.");
    e->Delete();
  }
  try {
    store.OpenInboxFolder();
    ADD_FAILURE() << "nothing thrown";
  } catch (CException* e) {
    auto* mapi = dynamic_cast<CMAPIException*>(e);
    ASSERT_NE(mapi, nullptr);
    EXPECT_EQ(mapi->m_hr, MAPI_E_NOT_FOUND);
    EXPECT_EQ(std::string(mapi->m_strFile), "TeskMsgStoreT.h");
    e->Delete();
  }
}

}  // namespace
