#include "FolderCensus.h"

#include <string>
#include <vector>

ULONG CountMessages(IMAPIFolder* folder) {
  if (!folder) return 0;
  CComPtr<IMAPITable> contents;
  if (FAILED(folder->GetContentsTable(0, &contents)) || !contents) return 0;
  ULONG count = 0;
  if (FAILED(contents->GetRowCount(0, &count))) return 0;
  return count;
}

namespace {

// The entry identifiers of a folder's direct subfolders; none when the
// hierarchy cannot be read.
std::vector<std::string> SubfolderIds(IMAPIFolder* folder) {
  std::vector<std::string> ids;
  CComPtr<IMAPITable> table;
  if (FAILED(folder->GetHierarchyTable(0, &table)) || !table) return ids;
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  CRowSetHolder rows;
  if (FAILED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows)) ||
      rows.IsEmpty())
    return ids;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SPropValue& id = rows->aRow[k].lpProps[0];
    if (PROP_TYPE(id.ulPropTag) == PT_BINARY)
      ids.emplace_back(reinterpret_cast<const char*>(id.Value.bin.lpb), id.Value.bin.cb);
  }
  return ids;
}

}  // namespace

void WalkFolderTree(IMAPIFolder* top, const std::function<void(IMAPIFolder* folder, int depth)>& visit) {
  if (!top) return;
  // The folders from the top down to the one being visited, each with its
  // subfolders still to visit.
  struct Level {
    CComPtr<IMAPIFolder> folder;
    std::vector<std::string> children;
    size_t next = 0;
  };
  std::vector<Level> path;
  auto enter = [&](IMAPIFolder* folder) {
    visit(folder, static_cast<int>(path.size()));
    path.push_back(Level{folder, SubfolderIds(folder), 0});
  };
  enter(top);
  while (!path.empty()) {
    Level& level = path.back();
    if (level.next == level.children.size()) {
      path.pop_back();
      continue;
    }
    std::string id = level.children[level.next++];
    ULONG type = 0;
    CComPtr<IUnknown> object;
    if (FAILED(level.folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                       0, &type, &object)) ||
        !object)
      continue;
    CComQIPtr<IMAPIFolder> child(object.p);
    if (child) enter(child);
  }
}

CFolderCensus TakeFolderCensus(IMAPIFolder* top) {
  CFolderCensus census;
  WalkFolderTree(top, [&](IMAPIFolder* folder, int depth) {
    census.messages += CountMessages(folder);
    if (depth > 0) ++census.folders;
  });
  return census;
}

namespace {

bool KeptByStore(IMAPIFolder* folder) {
  CMAPIBufferHolder<> access;
  if (FAILED(HrGetOneProp(folder, PR_ACCESS, &access)) || !access.HasValue()) return false;
  return (access->Value.l & MAPI_ACCESS_DELETE) == 0;
}

}  // namespace

CFolderCensus TakeClearingCensus(IMAPIFolder* top) {
  CFolderCensus census;
  WalkFolderTree(top, [&](IMAPIFolder* folder, int depth) {
    if (depth > 0 && KeptByStore(folder)) return;
    census.messages += CountMessages(folder);
    if (depth > 0) ++census.folders;
  });
  return census;
}
