// Turns a folder path ("Store\Folder\Subfolder") into an open folder.
#pragma once

#include <TeskMAPI.h>

class CMAPIFolderFind {
 public:
  explicit CMAPIFolderFind(IMAPISession* session);
  virtual ~CMAPIFolderFind() = default;

  // Never returns an empty pointer; every failure is thrown.
  CComPtr<IMAPIFolder> FindFolder(CString path);

 private:
  static CString SplitPath(CString& path);
  CComPtr<IMAPIFolder> FindSubfolder(CTeskMAPIFolder folder, CString rest);

  CTeskMAPISession m_session;
};
