#include "TeskRestoreFolder.h"

#include <ReportFile.h>

namespace {

const char kModule[] = "Modules\\TeskRestore\\TeskRestoreFolder";

[[noreturn]] void Raise(HRESULT hr, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text;
  text.FormatV(format, args);
  va_end(args);
  throw new CMAPIException(hr, text, kModule, line);
}

// The same, with the failing folder's own text of the failure.
[[noreturn]] void RaiseOf(IMAPIFolder* folder, HRESULT hr, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text;
  text.FormatV(format, args);
  va_end(args);
  auto* e = new CMAPIException(hr, text, kModule, line);
  e->m_strDetail = LastErrorTextOf(folder, hr);
  throw e;
}

// An entry list of n slots in one MAPI buffer; the slots point at the
// identifiers in the row set.
HRESULT AllocateEntryList(ULONG n, const SRowSet& rows, ULONG first, LPENTRYLIST* out) {
  void* buffer = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(ENTRYLIST) + sizeof(SBinary) * (n ? n : 1)), &buffer);
  if (FAILED(hr)) return hr;
  auto* list = static_cast<LPENTRYLIST>(buffer);
  list->cValues = n;
  list->lpbin = reinterpret_cast<SBinary*>(list + 1);
  for (ULONG k = 0; k < n; ++k) {
    const SPropValue& id = rows.aRow[first + k].lpProps[0];
    list->lpbin[k] = PROP_TYPE(id.ulPropTag) == PT_BINARY ? id.Value.bin : SBinary{0, nullptr};
  }
  *out = list;
  return S_OK;
}

}  // namespace

CString FolderDisplayName(IMAPIFolder* folder) {
  CString name;
  if (!folder) return name;
  CMAPIBufferHolder<> prop;
  if (SUCCEEDED(HrGetOneProp(folder, PR_DISPLAY_NAME_A, &prop)) && prop.HasValue()) name = prop->Value.lpszA;
  return name;
}

CTeskRestoreFolder::CTeskRestoreFolder(IMAPIFolder* folder) : CTeskMAPIFolder(folder) {
  m_strName = FolderDisplayName(p);
}

void CTeskRestoreFolder::SetDestinationName(IMAPIFolder* destination) {
  if (!destination) return;
  CMAPIBufferHolder<> prop;
  if (SUCCEEDED(HrGetOneProp(destination, PR_DISPLAY_NAME_A, &prop)) && prop.HasValue())
    m_strDestName = prop->Value.lpszA;
}

void CTeskRestoreFolder::ReadContents(CRowSetHolder& rows) {
  CComPtr<IMAPITable> table;
  HRESULT hr = p->GetContentsTable(0, &table);
  if (FAILED(hr) || !table) Raise(hr, __LINE__, "GetContentsTable failed on folder '%s'", m_strName.GetString());
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
  if (FAILED(hr) || rows.IsEmpty())
    Raise(hr, __LINE__, "QueryAllRows  failed on contents table of folder '%s' table.", m_strName.GetString());
}

void CTeskRestoreFolder::DeleteAllMessages(IMAPIProgress* progress, CStatusMessageReceiver*) {
  CRowSetHolder rows;
  ReadContents(rows);
  const ULONG count = rows->cRows;
  for (ULONG first = 0; first < count; first += kDeleteBatch) {
    const ULONG n = std::min(kDeleteBatch, count - first);
    LPENTRYLIST list = nullptr;
    HRESULT hr = AllocateEntryList(n, *rows.Get(), first, &list);
    if (FAILED(hr))
      Raise(hr, __LINE__, "Not enough memory to perform deletion of %d items on folder '%s'", static_cast<int>(n),
            m_strName.GetString());
    hr = p->DeleteMessages(list, 0, progress, progress ? MESSAGE_DIALOG : 0);
    MAPIFreeBuffer(list);
    if (FAILED(hr)) Raise(hr, __LINE__, "Failed to delete messages from folder '%s'", m_strName.GetString());
  }
}

void CTeskRestoreFolder::CopyAllMessagesTo(IMAPIFolder* destination, IMAPIProgress* progress,
                                           CStatusMessageReceiver*) {
  SetDestinationName(destination);
  CRowSetHolder rows;
  ReadContents(rows);
  LPENTRYLIST list = nullptr;
  HRESULT hr = AllocateEntryList(rows->cRows, *rows.Get(), 0, &list);
  if (FAILED(hr))
    Raise(hr, __LINE__, "Not enough memory to perform copy of %d items on folder '%s'", static_cast<int>(rows->cRows),
          m_strName.GetString());
  hr = p->CopyMessages(list, nullptr, destination, 0, progress, progress ? MESSAGE_DIALOG : 0);
  MAPIFreeBuffer(list);
  if (FAILED(hr))
    RaiseOf(p, hr, __LINE__, "Failed to copy messages from folder '%s' to folder '%s'", m_strName.GetString(),
          m_strDestName.GetString());
}

void CTeskRestoreFolder::CopySubfoldersTo(IMAPIFolder* destination, IMAPIProgress* progress,
                                          CStatusMessageReceiver* receiver) {
  SetDestinationName(destination);
  CComPtr<IMAPITable> table;
  HRESULT hr = p->GetHierarchyTable(0, &table);
  if (!table) Raise(hr, __LINE__, "GetHierarchyTable failed on folder '%s'", m_strName.GetString());
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  CRowSetHolder rows;
  hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
  if (FAILED(hr) || rows.IsEmpty())
    Raise(hr, __LINE__, "QueryAllRows  failed on hierarchy table of folder '%s' table.", m_strName.GetString());

  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SRow& row = rows->aRow[k];
    CString name;
    if (row.lpProps[1].ulPropTag == PR_DISPLAY_NAME_A) name = row.lpProps[1].Value.lpszA;
    try {
      ULONG type = 0;
      CComPtr<IUnknown> object;
      hr = p->OpenEntry(row.lpProps[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(row.lpProps[0].Value.bin.lpb),
                        nullptr, MAPI_BEST_ACCESS, &type, &object);
      CTeskMAPIFolder subfolder;
      if (SUCCEEDED(hr) && object) subfolder = CTeskMAPIFolder(object.p);
      if (FAILED(hr) || !subfolder) Raise(hr, __LINE__, "Failed to open folder to copy '%s'", name.GetString());
      CTeskBinary id;
      subfolder.GetBinaryProp(PR_ENTRYID, id);
      if (receiver) {
        CString status;
        status.Format("Restoring: %s\\%s", m_strName.GetString(), name.GetString());
        receiver->ShowStatusMessage(status);
      }
      hr = p->CopyFolder(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, destination,
                         name.GetBuffer(name.GetLength()), 0, progress,
                         COPY_SUBFOLDERS | (progress ? FOLDER_DIALOG : 0));
      name.ReleaseBuffer();
      if (FAILED(hr)) RaiseOf(p, hr, __LINE__, "Failed to copy folder '%s'", name.GetString());
    } catch (CException* e) {
      theReportFile.ReportException(e);
      e->Delete();
    } catch (...) {
      theReportFile.Log(LOG_ERROR, "Unhandled exception during copying Outlook standard folder '%s'",
                        name.GetString());
    }
  }
}
