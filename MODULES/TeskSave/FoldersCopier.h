// One save: the source folder with everything below it is copied into the
// target as one new folder, in a single CopyFolder call.
#pragma once

#include <MessagStoresArray.h>
#include <TeskMAPI.h>

class CFoldersCopier {
 public:
  explicit CFoldersCopier(IMAPISession* session);
  virtual ~CFoldersCopier();

  // Throws the program's exceptions on failure.
  void Copy(const char* sourcePath, const char* targetPath, BOOL noTimeStamp, IMAPIProgress* progress);

  // A dry run: finds and checks everything Copy would, logs what it would
  // copy, changes nothing; throws what Copy would throw before copying.
  void DryRun(const char* sourcePath, const char* targetPath, BOOL noTimeStamp);

  // The name of the folder the last Copy made.
  const CString& GetFolderName() const { return m_strFolderName; }

  // The name of the new top folder for a source path at the current time.
  static CString TargetFolderName(const char* sourcePath, BOOL noTimeStamp);

 private:
  struct Planned {
    CTeskMAPIFolder source, target, parent;
    CTeskBinary entryId;
    CString name;
  };
  // Finds the folders and the source's parent and names the new folder.
  Planned Plan(const char* sourcePath, const char* targetPath, BOOL noTimeStamp);

  CTeskMAPISession m_session;
  CMessagStoresArray m_stores;
  CString m_strFolderName;
};
