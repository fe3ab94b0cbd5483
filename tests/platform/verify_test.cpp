// mapiadmin verify: a copy that is whole passes; a changed flag, a changed
// byte, a missing or extra message and a missing or extra folder are each
// named, and the run ends with exit 1.
#include <gtest/gtest.h>

#include "fixture.h"

using namespace testing_support;

namespace {

std::string Verify(const std::string& args, int* rc) {
  std::string out;
  *rc = RunCommand(std::string(MAPIADMIN_PATH) + " verify Test " + args + " 2>&1", &out);
  return out;
}

void SetString(IMAPIProp* obj, ULONG tag, const std::string& value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(value.c_str());
  ASSERT_EQ(obj->SetProps(1, &v, nullptr), S_OK);
  ASSERT_EQ(obj->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
}

CComPtr<IMessage> OpenMessage(IMAPIFolder* folder, const std::string& eid) {
  std::string id = eid;
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  EXPECT_EQ(folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), &IID_IMessage,
                              MAPI_MODIFY, &type, &obj),
            S_OK);
  return CComQIPtr<IMessage>(obj.p);
}

TEST(Verify, AWholeCopyPassesAndEachKindOfDifferenceIsNamed) {
  ProfileFixture f;
  auto session = f.Logon();
  {
    auto top = OpenFolder(OpenStore(session, "Personal Folders"), "");
    auto work = CreateFolder(top, "Work");
    AddMessages(work, 4);
    int n = 0;
    for (const auto& eid : ContentsEntryIds(work))
      SetString(OpenMessage(work, eid), PR_INTERNET_MESSAGE_ID_A, "<m" + std::to_string(++n) + "@example.org>");
    auto sub = CreateFolder(work, "Projects");
    AddMessages(sub, 2);
    CreateFolder(sub, "Deep");
    auto archive = OpenFolder(OpenStore(session, "Archive"), "");
    ASSERT_EQ(top->CopyFolder(static_cast<ULONG>(EntryId(work).size()),
                              reinterpret_cast<LPENTRYID>(EntryId(work).data()), &IID_IMAPIFolder, archive,
                              const_cast<char*>("Snap"), 0, nullptr, COPY_SUBFOLDERS),
              S_OK);
  }
  int rc = -1;
  std::string out = Verify("\"Personal Folders\\Work\" \"Archive\\Snap\"", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("3 folders and 6 messages compared: no differences"), std::string::npos) << out;

  {
    auto snap = OpenFolder(OpenStore(session, "Archive"), "Snap");
    const auto ids = ContentsEntryIds(snap);
    ASSERT_EQ(ids.size(), 4u);
    // One read flag more, one subject changed, one message gone.
    std::map<std::string, std::string> byMessageId;
    for (const auto& eid : ids) byMessageId[StringProp(OpenMessage(snap, eid), PR_INTERNET_MESSAGE_ID_A)] = eid;
    {
      auto m = OpenMessage(snap, byMessageId["<m1@example.org>"]);
      SPropValue v{};
      v.ulPropTag = PR_MESSAGE_FLAGS;
      v.Value.l = LongProp(m, PR_MESSAGE_FLAGS) ^ MSGFLAG_READ;
      ASSERT_EQ(m->SetProps(1, &v, nullptr), S_OK);
      ASSERT_EQ(m->SaveChanges(0), S_OK);
    }
    SetString(OpenMessage(snap, byMessageId["<m2@example.org>"]), PR_SUBJECT_A, "Message X");
    std::string gone = byMessageId["<m3@example.org>"];
    SBinary bin{static_cast<ULONG>(gone.size()), reinterpret_cast<LPBYTE>(gone.data())};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(snap->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    // A folder gone below, one more at the top.
    auto projects = OpenFolder(OpenStore(session, "Archive"), "Snap\\Projects");
    const std::string deep = EntryId(OpenFolder(OpenStore(session, "Archive"), "Snap\\Projects\\Deep"));
    ASSERT_EQ(projects->DeleteFolder(static_cast<ULONG>(deep.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(deep.data())),
                                     0, nullptr, DEL_FOLDERS | DEL_MESSAGES),
              S_OK);
    CreateFolder(snap, "Stray");
  }
  out = Verify("\"Personal Folders\\Work\" \"Archive\\Snap\"", &rc);
  EXPECT_EQ(rc, 1) << out;
  for (const char* line : {"changed message in the top folder: \"Message 0\" <m1@example.org>: its flags differ\n",
                           "changed message in the top folder: \"Message 1\" <m2@example.org>: its content differs\n",
                           "missing message in the top folder: \"Message 2\" <m3@example.org>\n",
                           "missing folder: Projects\\Deep\n", "extra folder: Stray\n",
                           "2 folders and 6 messages compared: 5 differences\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in:\n" << out;

  // A path that does not exist is an error of its own, not a difference.
  out = Verify("\"Personal Folders\\Work\" \"Archive\\Nothing\"", &rc);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_EQ(out.find("compared"), std::string::npos) << out;
}

}  // namespace
