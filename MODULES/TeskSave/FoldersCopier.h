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

  // The name of the new top folder for a source path at the current time.
  static CString TargetFolderName(const char* sourcePath, BOOL noTimeStamp);

 private:
  CTeskMAPISession m_session;
  CMessagStoresArray m_stores;
};
