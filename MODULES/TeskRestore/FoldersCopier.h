// One restore: clears the target folder (keeping and emptying the standard
// folders of its store, deleting every other subfolder) and copies the
// source folder's messages and subfolders in, merging source folders into
// the kept standard folders of the same name.
#pragma once

#include <MessagStoresArray.h>
#include <TeskMAPI.h>

#include <list>
#include <map>
#include <string>

#include "StatusMessageReceiver.h"

class CFoldersCopier {
 public:
  CFoldersCopier(IMAPISession* session, const char* sourcePath, const char* targetPath, IMAPIProgress* progress,
                 CStatusMessageReceiver* receiver);
  virtual ~CFoldersCopier();

  // Throws the program's exceptions for what ends the run; per-folder
  // failures are logged and the run goes on.
  void Run();

 private:
  struct Located {
    CTeskMAPIFolder source, target;
    CTeskBinary sourceStoreId, targetStoreId;
    CString sourceName, targetName;
    CTeskMsgStore targetStore;
  };
  void Locate(Located& where);
  void CheckOverlap(const Located& where);
  void CollectStandardFolders(CTeskMsgStore& store);
  void ClearTarget(const Located& where);
  void RestoreInto(const Located& where);
  void Status(const char* prefix, const CString& name);

  CTeskMAPISession m_session;
  CMessagStoresArray m_openStores;
  std::list<CTeskBinary> m_standardFolderIds;
  std::map<std::string, CTeskMAPIFolder> m_standardFolders;
  CString m_strSourcePath;
  CString m_strTargetPath;
  CComPtr<IMAPIProgress> m_pProgress;
  CStatusMessageReceiver* m_pStatusReceiver;
};
