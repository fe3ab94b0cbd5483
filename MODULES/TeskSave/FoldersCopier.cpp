#include "FoldersCopier.h"

#include <FolderCensus.h>
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

CFoldersCopier::Planned CFoldersCopier::Plan(const char* sourcePath, const char* targetPath, BOOL noTimeStamp) {
  Planned plan;
  CMAPIFolderFind finder(m_session);
  plan.source = CTeskMAPIFolder(finder.FindFolder(sourcePath));
  plan.target = CTeskMAPIFolder(finder.FindFolder(targetPath));
  theReportFile.Log(LOG_INFO, "Source path found %s", sourcePath);
  theReportFile.Log(LOG_INFO, "Target path found %s", targetPath);

  CTeskBinary parentId, storeId;
  HRESULT hr = plan.source.GetBinaryProp(PR_PARENT_ENTRYID, parentId);
  if (FAILED(hr) || !parentId.HasData())
    throw new CMAPIException(hr, "Invalid PR_PARENT_ENTRYID on source folder!", kModule, 59);
  hr = plan.source.GetBinaryProp(PR_STORE_ENTRYID, storeId);
  if (FAILED(hr) || !storeId.HasData())
    throw new CMAPIException(hr, "Invalid PR_STORE_ENTRYID on source folder!", kModule, 62);
  hr = plan.source.GetBinaryProp(PR_ENTRYID, plan.entryId);
  if (FAILED(hr) || !plan.entryId.HasData())
    throw new CMAPIException(hr, "Invalid PR_ENTRYID on source folder!", kModule, 65);

  CTeskMsgStore store(m_session.OpenMsgStoreByEntryID(storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb)));
  if (!store) throw new CTextException("Failed to get message store from source folder!", kModule, 73);

  ULONG type = 0;
  CComPtr<IUnknown> object;
  hr = store->OpenEntry(parentId.cb, reinterpret_cast<LPENTRYID>(parentId.lpb), nullptr, MAPI_BEST_ACCESS, &type,
                        &object);
  if (SUCCEEDED(hr) && object) plan.parent = CTeskMAPIFolder(object.p);
  if (FAILED(hr) || !plan.parent) throw new CMAPIException(hr, "Failed to open source folder parent!", kModule, 90);

  plan.name = TargetFolderName(sourcePath, noTimeStamp);
  theReportFile.Log(LOG_INFO, "Preparing to copy structure into folder <%s>", static_cast<const char*>(plan.name));
  return plan;
}

void CFoldersCopier::Copy(const char* sourcePath, const char* targetPath, BOOL noTimeStamp, IMAPIProgress* progress) {
  Planned plan = Plan(sourcePath, targetPath, noTimeStamp);
  const ULONG flags = COPY_SUBFOLDERS | (progress ? FOLDER_DIALOG : 0);
  HRESULT hr = plan.parent->CopyFolder(plan.entryId.cb, reinterpret_cast<LPENTRYID>(plan.entryId.lpb), nullptr,
                                       static_cast<IMAPIFolder*>(plan.target.p),
                                       plan.name.GetBuffer(plan.name.GetLength()), 0, progress, flags);
  plan.name.ReleaseBuffer();
  if (FAILED(hr)) {
    // What the store said of it (a server's reply, a broken connection)
    // follows the error line.
    auto* e = new CMAPIException(hr, "Copy operation failed!", kModule, 145);
    e->m_strDetail = LastErrorTextOf(static_cast<IMAPIFolder*>(plan.parent.p), hr);
    throw e;
  }
  m_strFolderName = plan.name;
  theReportFile.Log(LOG_INFO, "Structure successfully copied.");
}

void CFoldersCopier::DryRun(const char* sourcePath, const char* targetPath, BOOL noTimeStamp) {
  theReportFile.Log(LOG_INFO, "Dry run: nothing will be changed.");
  Planned plan = Plan(sourcePath, targetPath, noTimeStamp);
  // What the copy itself would refuse: a target that takes no folders, and
  // a name that is taken there already (names compare as the store does,
  // ASCII letters without regard to case).
  CMAPIBufferHolder<> access;
  if (HrGetOneProp(plan.target, PR_ACCESS, &access) == S_OK && access.HasValue() &&
      !(access->Value.l & MAPI_ACCESS_CREATE_HIERARCHY))
    throw new CMAPIException(MAPI_E_NO_ACCESS, "Copy operation failed!", kModule, 145);
  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  SizedSPropTagArray(1, columns) = {1, {PR_DISPLAY_NAME_A}};
  if (SUCCEEDED(plan.target->GetHierarchyTable(0, &table)) && table &&
      SUCCEEDED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows)) &&
      !rows.IsEmpty()) {
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SPropValue& name = rows->aRow[k].lpProps[0];
      if (name.ulPropTag == PR_DISPLAY_NAME_A && plan.name.CompareNoCase(name.Value.lpszA) == 0)
        throw new CMAPIException(MAPI_E_COLLISION, "Copy operation failed!", kModule, 145);
    }
  }
  const CFolderCensus census = TakeFolderCensus(plan.source);
  theReportFile.Log(LOG_INFO, "Would copy %s with %lu subfolders and %lu messages into the new folder <%s> of %s.",
                    sourcePath, static_cast<unsigned long>(census.folders), static_cast<unsigned long>(census.messages),
                    plan.name.GetString(), targetPath);
  theReportFile.Log(LOG_INFO, "Dry run ended, nothing was changed.");
}
