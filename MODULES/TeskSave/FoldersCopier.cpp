#include "FoldersCopier.h"

#include <MAPIFolderFind.h>
#include <ReportFile.h>

#include <ctime>

namespace {
const char kModule[] = "Modules\\TeskSave\\FoldersCopier";
}

CFoldersCopier::CFoldersCopier(IMAPISession* session) : m_session(session) { m_stores.Fill(session); }

CFoldersCopier::~CFoldersCopier() {
  m_stores.Clear();
  m_session.Release();
}

CString CFoldersCopier::TargetFolderName(const char* sourcePath, BOOL noTimeStamp) {
  // A backslash in a folder name could never be reached by a path again:
  // the separators become underscores with or without the time stamp.
  CString path(sourcePath);
  path.Replace('\\', '_');
  if (noTimeStamp) return path;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y.%m.%d %H:%M", &local);
  CString name;
  name.Format("%s %s", stamp, static_cast<const char*>(path));
  return name;
}

void CFoldersCopier::Copy(const char* sourcePath, const char* targetPath, BOOL noTimeStamp, IMAPIProgress* progress) {
  CMAPIFolderFind finder(m_session);
  CTeskMAPIFolder source(finder.FindFolder(sourcePath));
  CTeskMAPIFolder target(finder.FindFolder(targetPath));
  theReportFile.Log(LOG_INFO, "Source path found %s", sourcePath);
  theReportFile.Log(LOG_INFO, "Target path found %s", targetPath);

  CTeskBinary parentId, storeId, entryId;
  HRESULT hr = source.GetBinaryProp(PR_PARENT_ENTRYID, parentId);
  if (FAILED(hr) || !parentId.HasData())
    throw new CMAPIException(hr, "Invalid PR_PARENT_ENTRYID on source folder!", kModule, 59);
  hr = source.GetBinaryProp(PR_STORE_ENTRYID, storeId);
  if (FAILED(hr) || !storeId.HasData())
    throw new CMAPIException(hr, "Invalid PR_STORE_ENTRYID on source folder!", kModule, 62);
  hr = source.GetBinaryProp(PR_ENTRYID, entryId);
  if (FAILED(hr) || !entryId.HasData())
    throw new CMAPIException(hr, "Invalid PR_ENTRYID on source folder!", kModule, 65);

  CTeskMsgStore store(m_session.OpenMsgStoreByEntryID(storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb)));
  if (!store) throw new CTextException("Failed to get message store from source folder!", kModule, 73);

  ULONG type = 0;
  CComPtr<IUnknown> object;
  hr = store->OpenEntry(parentId.cb, reinterpret_cast<LPENTRYID>(parentId.lpb), nullptr, MAPI_BEST_ACCESS, &type,
                        &object);
  CTeskMAPIFolder parent;
  if (SUCCEEDED(hr) && object) parent = CTeskMAPIFolder(object.p);
  if (FAILED(hr) || !parent) throw new CMAPIException(hr, "Failed to open source folder parent!", kModule, 90);

  CString name = TargetFolderName(sourcePath, noTimeStamp);
  theReportFile.Log(LOG_INFO, "Preparing to copy structure into folder <%s>", static_cast<const char*>(name));

  const ULONG flags = COPY_SUBFOLDERS | (progress ? FOLDER_DIALOG : 0);
  hr = parent->CopyFolder(entryId.cb, reinterpret_cast<LPENTRYID>(entryId.lpb), nullptr,
                          static_cast<IMAPIFolder*>(target.p), name.GetBuffer(name.GetLength()), 0, progress, flags);
  name.ReleaseBuffer();
  if (FAILED(hr)) throw new CMAPIException(hr, "Copy operation failed!", kModule, 145);
  theReportFile.Log(LOG_INFO, "Structure successfully copied.");
}
