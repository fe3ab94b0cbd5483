#include "FolderCensus.h"

ULONG CountMessages(IMAPIFolder* folder) {
  if (!folder) return 0;
  CComPtr<IMAPITable> contents;
  if (FAILED(folder->GetContentsTable(0, &contents)) || !contents) return 0;
  ULONG count = 0;
  if (FAILED(contents->GetRowCount(0, &count))) return 0;
  return count;
}

CFolderCensus TakeFolderCensus(IMAPIFolder* folder) {
  CFolderCensus census;
  if (!folder) return census;
  census.messages = CountMessages(folder);
  CComPtr<IMAPITable> table;
  if (FAILED(folder->GetHierarchyTable(0, &table)) || !table) return census;
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  CRowSetHolder rows;
  if (FAILED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows)) ||
      rows.IsEmpty())
    return census;
  // One subfolder open at a time, however many siblings there are.
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SPropValue& id = rows->aRow[k].lpProps[0];
    if (PROP_TYPE(id.ulPropTag) != PT_BINARY) continue;
    ULONG type = 0;
    CComPtr<IUnknown> object;
    if (FAILED(folder->OpenEntry(id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), nullptr, 0, &type,
                                 &object)) ||
        !object)
      continue;
    CComQIPtr<IMAPIFolder> child(object.p);
    if (!child) continue;
    ++census.folders;
    census += TakeFolderCensus(child);
  }
  return census;
}
