// Test helpers: a private profile folder with real store files.
#pragma once

#include <atlbase.h>
#include <mapiutil.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace testing_support {

// A profile "Test" in its own folder (MAPI_CONFIG_DIR) with a mailbox store
// "Personal Folders" (default) and an archive store "Archive".
class ProfileFixture {
 public:
  ProfileFixture();
  ~ProfileFixture();
  TempDir dir;
  std::string mailboxFile, archiveFile;

  // Adds a further store file to the profile.
  std::string AddStore(const std::string& displayName, const std::string& kind);
  // Logs on (MAPIInitialize is called once per fixture).
  CComPtr<IMAPISession> Logon();
};

// Runs a command line; returns its exit status and fills out with stdout.
int RunCommand(const std::string& command, std::string* out = nullptr);
std::string Mapiadmin(const std::string& args);  // fails the test on error
std::string Quote(const std::string& s);

// Opens a store of the session by display name, and a folder by path
// below the IPM subtree ("Inbox\\Sub").
CComPtr<IMsgStore> OpenStore(IMAPISession* session, const std::string& displayName);
CComPtr<IMAPIFolder> OpenFolder(IMsgStore* store, const std::string& path);
CComPtr<IMAPIFolder> CreateFolder(IMAPIFolder* parent, const std::string& name);
std::string EntryId(IMAPIProp* obj, ULONG tag = PR_ENTRYID);
std::string StringProp(IMAPIProp* obj, ULONG tag);
LONG LongProp(IMAPIProp* obj, ULONG tag);
// Creates n simple messages (subject "Message k") in folder.
void AddMessages(IMAPIFolder* folder, int n, bool associated = false);
std::vector<std::string> ContentsEntryIds(IMAPIFolder* folder, bool associated = false);
std::vector<std::string> SubfolderNames(IMAPIFolder* folder);

}  // namespace testing_support
