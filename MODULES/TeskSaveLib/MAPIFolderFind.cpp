#include "MAPIFolderFind.h"

namespace {

const char kModule[] = "MODULES\\TeskSaveLib\\MAPIFolderFind";

[[noreturn]] void ThrowText(const char* format, const CString& name, int line, const CString& detail = CString()) {
  CString text;
  text.Format(format, static_cast<const char*>(name));
  auto* e = new CTextException(text, kModule, line);
  e->m_strDetail = detail;
  throw e;
}

[[noreturn]] void ThrowMAPI(HRESULT hr, const char* format, const CString& name, int line) {
  CString text;
  text.Format(format, static_cast<const char*>(name));
  throw new CMAPIException(hr, text, kModule, line);
}

// Reads the entry identifier and 8-bit display name of every row.
HRESULT ReadNames(IMAPITable* table, CRowSetHolder& rows) {
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  return HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
}

bool NameMatches(const SRow& row, const CString& name) {
  const SPropValue& display = row.lpProps[1];
  return PROP_TYPE(display.ulPropTag) == PT_STRING8 && name.CompareNoCase(display.Value.lpszA) == 0;
}

}  // namespace

CMAPIFolderFind::CMAPIFolderFind(IMAPISession* session) : m_session(session) {}

CString CMAPIFolderFind::SplitPath(CString& path) {
  const int slash = path.Find('\\');
  CString component;
  if (slash < 0) {
    component = path;
    path.Empty();
  } else {
    component = path.Left(slash);
    path = path.Mid(slash + 1);
  }
  return component;
}

CComPtr<IMAPIFolder> CMAPIFolderFind::FindFolder(CString path) {
  path.Trim();
  const CString storeName = SplitPath(path);

  // A stores table that cannot be read is reported as the lookup's failure,
  // with the code that caused it.
  CComPtr<IMAPITable> table;
  HRESULT hr = m_session ? m_session->GetMsgStoresTable(0, &table) : MAPI_E_END_OF_SESSION;
  CRowSetHolder rows;
  if (SUCCEEDED(hr) && table) hr = ReadNames(table, rows);
  if (FAILED(hr) || rows.IsEmpty()) ThrowMAPI(hr, "Message store %s not found!", storeName, 98);

  CTeskMsgStore store;
  // Why a store of that name did not open (a refused login, a missing
  // file), for the warning after the error line.
  CString why;
  for (ULONG k = 0; k < rows->cRows && !store; ++k) {
    try {
      const SRow& row = rows->aRow[k];
      if (!NameMatches(row, storeName) || PROP_TYPE(row.lpProps[0].ulPropTag) != PT_BINARY) continue;
      CComPtr<IMsgStore> opened;
      HRESULT open = m_session->OpenMsgStore(0, row.lpProps[0].Value.bin.cb,
                                             reinterpret_cast<LPENTRYID>(row.lpProps[0].Value.bin.lpb),
                                             &IID_IMsgStore, MAPI_BEST_ACCESS, &opened);
      if (SUCCEEDED(open) && opened) store = opened;
      else if (why.IsEmpty()) why = LastErrorTextOf(m_session.p, open);
    } catch (...) {
    }
  }
  if (!store) ThrowText("Message store %s not found!", storeName, 98, why);

  CTeskBinary rootId;
  {
    CMAPIBufferHolder<> prop;
    hr = HrGetOneProp(store.p, PR_IPM_SUBTREE_ENTRYID, &prop);
    if (SUCCEEDED(hr) && prop.HasValue()) rootId.Assign(prop->Value.bin);
  }
  if (FAILED(hr) || !rootId.HasData()) ThrowMAPI(hr, "Failed to find root folder in message store %s.", storeName, 103);

  ULONG type = 0;
  CComPtr<IUnknown> object;
  hr = store->OpenEntry(rootId.cb, reinterpret_cast<LPENTRYID>(rootId.lpb), nullptr, MAPI_BEST_ACCESS, &type, &object);
  CTeskMAPIFolder root;
  if (SUCCEEDED(hr) && object) root = CTeskMAPIFolder(object.p);
  if (FAILED(hr) || !root) ThrowMAPI(hr, "Failed to open root folder in message store %s.", storeName, 115);
  return FindSubfolder(root, path);
}

CComPtr<IMAPIFolder> CMAPIFolderFind::FindSubfolder(CTeskMAPIFolder folder, CString rest) {
  if (rest.IsEmpty()) return CComPtr<IMAPIFolder>(folder.p);
  const CString name = SplitPath(rest);

  CComPtr<IMAPITable> table;
  HRESULT hr = folder->GetHierarchyTable(0, &table);
  CRowSetHolder rows;
  if (SUCCEEDED(hr) && table) hr = ReadNames(table, rows);
  if (FAILED(hr) || rows.IsEmpty()) ThrowMAPI(hr, "Subfolder %s not found!", name, 173);

  CTeskMAPIFolder found;
  for (ULONG k = 0; k < rows->cRows && !found; ++k) {
    try {
      const SRow& row = rows->aRow[k];
      if (!NameMatches(row, name) || PROP_TYPE(row.lpProps[0].ulPropTag) != PT_BINARY) continue;
      ULONG type = 0;
      CComPtr<IUnknown> object;
      HRESULT open = folder->OpenEntry(row.lpProps[0].Value.bin.cb,
                                       reinterpret_cast<LPENTRYID>(row.lpProps[0].Value.bin.lpb), nullptr,
                                       MAPI_BEST_ACCESS, &type, &object);
      if (SUCCEEDED(open) && object) found = CTeskMAPIFolder(object.p);
    } catch (...) {
    }
  }
  if (!found) ThrowText("Subfolder %s not found!", name, 173);
  return FindSubfolder(found, rest);
}
