#include "MAPIFoldersTree.h"

#include <algorithm>

namespace {

// The text of a string column, or null when the row has none.
const char* RowText(const SPropValue& value, ULONG tag) {
  if (value.ulPropTag != tag || !value.Value.lpszA) return nullptr;
  return value.Value.lpszA;
}

bool ReadsTrue(IMAPIProp* object, ULONG tag) {
  CMAPIBufferHolder<> prop;
  if (FAILED(HrGetOneProp(object, tag, &prop)) || !prop.HasValue()) return false;
  return prop->Value.b != 0;
}

bool EqualsNoCase(const char* a, const char* b) { return CString(a).CompareNoCase(b) == 0; }

// Calls fn(row, entry identifier, name) for each row of the table that has
// both in its first two columns.
template <class Fn>
void ForEachNamedRow(IMAPITable* table, LPSPropTagArray columns, Fn fn) {
  CRowSetHolder rows;
  if (!table || FAILED(HrQueryAllRows(table, columns, nullptr, nullptr, 0, &rows)) || rows.IsEmpty()) return;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SRow& row = rows->aRow[i];
    const char* name = RowText(row.lpProps[1], PR_DISPLAY_NAME_A);
    if (row.lpProps[0].ulPropTag != PR_ENTRYID || !name) continue;
    fn(row, row.lpProps[0].Value.bin, name);
  }
}

}  // namespace

CMAPIFoldersTree::CMAPIFoldersTree() { std::fill(std::begin(m_nIcon), std::end(m_nIcon), -1); }

CMAPIFoldersTree::~CMAPIFoldersTree() {
  m_inboxId.Free();
  m_outboxId.Free();
  m_deletedId.Free();
  m_sentId.Free();
  m_images.DeleteImageList();
  m_folders.clear();
}

void CMAPIFoldersTree::SetImageSource(CMAPIFoldersTreeImagesSrc* source) {
  if (!source) return;
  m_images.DeleteImageList();
  m_images.Create(16, 16, ILC_COLOR32, 0, 1);
  COLORREF background = m_hWnd ? GetBkColor() : CLR_NONE;
  if (background == CLR_NONE) background = GetSysColor(COLOR_WINDOW);
  m_images.SetBkColor(background);

  struct SlotSource {
    int slot;
    HICON (CMAPIFoldersTreeImagesSrc::*get)();
  };
  static const SlotSource kOrder[] = {
      {kStore, &CMAPIFoldersTreeImagesSrc::GetStoreIcon},
      {kDefaultStore, &CMAPIFoldersTreeImagesSrc::GetDefaultStoreIcon},
      {kContacts, &CMAPIFoldersTreeImagesSrc::GetContactsIcon},
      {kTasks, &CMAPIFoldersTreeImagesSrc::GetTasksIcon},
      {kCalendar, &CMAPIFoldersTreeImagesSrc::GetCalendarIcon},
      {kJournal, &CMAPIFoldersTreeImagesSrc::GetJournalIcon},
      {kMailFolder, &CMAPIFoldersTreeImagesSrc::GetMailFolderIcon},
      {kNotes, &CMAPIFoldersTreeImagesSrc::GetNotesIcon},
      {kInbox, &CMAPIFoldersTreeImagesSrc::GetInboxIcon},
      {kOutbox, &CMAPIFoldersTreeImagesSrc::GetOutboxIcon},
      {kSentItems, &CMAPIFoldersTreeImagesSrc::GetSentItemsIcon},
      {kDeletedItems, &CMAPIFoldersTreeImagesSrc::GetDeletedItemsIcon},
  };
  for (const SlotSource& entry : kOrder) {
    HICON icon = (source->*entry.get)();
    if (!icon) continue;
    m_nIcon[entry.slot - 1] = m_images.ReplaceIcon(-1, icon);
    // The list keeps its own copy.
    DestroyIcon(icon);
  }
}

void CMAPIFoldersTree::SetImage(HTREEITEM hItem, int slot) {
  const int index = GetIconIndex(slot);
  SetItemImage(hItem, index, index);
}

void CMAPIFoldersTree::FillStores(CTeskMAPISession session) {
  if (m_images.GetSafeHandle()) SetImageList(&m_images, TVSIL_NORMAL);
  if (!session) return;

  CComPtr<IMAPITable> table;
  if (FAILED(session->GetMsgStoresTable(0, &table))) return;
  SizedSPropTagArray(3, columns) = {3, {PR_ENTRYID, PR_DISPLAY_NAME_A, PR_DEFAULT_STORE}};
  ForEachNamedRow(table, reinterpret_cast<LPSPropTagArray>(&columns), [&](const SRow& row, const SBinary& eid,
                                                                          const char* name) {
    const bool isDefault = row.lpProps[2].ulPropTag == PR_DEFAULT_STORE && row.lpProps[2].Value.b;
    CComPtr<IMsgStore> rawStore;
    if (FAILED(session->OpenMsgStore(0, eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMsgStore,
                                     MAPI_BEST_ACCESS, &rawStore)) ||
        !rawStore)
      return;

    CTeskMsgStore store(rawStore.p);
    // A store whose folder tree cannot be opened ends the listing here.
    CTeskMAPIFolder root(store.OpenRootFolder());
    HTREEITEM hItem = AddFolderItem(name, TVI_ROOT, root);
    if (GetImageList(TVSIL_NORMAL)) {
      int slot = kStore;
      if (isDefault && GetIconIndex(kDefaultStore) != -1) slot = kDefaultStore;
      if (GetIconIndex(slot) != -1) SetImage(hItem, slot);
    }
    if (isDefault) ReadDefaultStoreIds(rawStore);
  });
}

HTREEITEM CMAPIFoldersTree::AddFolderItem(const char* name, HTREEITEM hParent, const CTeskMAPIFolder& folder) {
  HTREEITEM hItem = InsertItem(name, hParent, TVI_LAST);
  SetItemData(hItem, reinterpret_cast<DWORD_PTR>(folder.p));
  m_folders.push_back(folder);
  if (ReadsTrue(folder, PR_SUBFOLDERS)) {
    TVITEM item{};
    item.mask = TVIF_CHILDREN;
    item.hItem = hItem;
    item.cChildren = 1;
    SetItem(&item);
  }
  return hItem;
}

void CMAPIFoldersTree::ReadDefaultStoreIds(IMsgStore* store) {
  m_inboxId.Free();
  m_outboxId.Free();
  m_deletedId.Free();
  m_sentId.Free();
  CTeskMsgStore wrapper(store);
  wrapper.GetBinaryProp(PR_IPM_OUTBOX_ENTRYID, m_outboxId);
  wrapper.GetBinaryProp(PR_IPM_SENTMAIL_ENTRYID, m_sentId);
  wrapper.GetBinaryProp(PR_IPM_WASTEBASKET_ENTRYID, m_deletedId);
  ULONG cb = 0;
  CMAPIBufferHolder<ENTRYID> inbox;
  if (SUCCEEDED(store->GetReceiveFolder(nullptr, 0, &cb, &inbox, nullptr)) && !inbox.IsEmpty())
    m_inboxId.Assign(SBinary{cb, reinterpret_cast<LPBYTE>(inbox.Get())});
}

int CMAPIFoldersTree::ChooseFolderIcon(CTeskMAPIFolder& folder) {
  CString folderClass;
  {
    CMAPIBufferHolder<> prop;
    if (SUCCEEDED(HrGetOneProp(folder, PR_CONTAINER_CLASS_A, &prop)) && prop.HasValue() && prop->Value.lpszA)
      folderClass = prop->Value.lpszA;
  }
  static const struct {
    const char* name;
    int slot;
  } kClasses[] = {
      {"IPF.Task", kTasks},         {"IPF.Journal", kJournal}, {"IPF.Contact", kContacts},
      {"IPF.StickyNote", kNotes},   {"IPF.Note", kMailFolder}, {"IPF.Appointment", kCalendar},
  };
  for (const auto& entry : kClasses)
    if (EqualsNoCase(folderClass, entry.name)) return entry.slot;
  if (folderClass.IsEmpty()) {
    CTeskBinary entryId;
    folder.GetBinaryProp(PR_ENTRYID, entryId);
    if (entryId.HasData()) {
      if (entryId.IsEqual(m_inboxId)) return kInbox;
      if (entryId.IsEqual(m_outboxId)) return kOutbox;
      if (entryId.IsEqual(m_deletedId)) return kDeletedItems;
      if (entryId.IsEqual(m_sentId)) return kSentItems;
    }
  }
  return kMailFolder;
}

void CMAPIFoldersTree::ExpandItem(HTREEITEM hItem) {
  for (HTREEITEM child = GetChildItem(hItem); child;) {
    HTREEITEM next = GetNextSiblingItem(child);
    DeleteItem(child);
    child = next;
  }
  auto* parent = reinterpret_cast<IMAPIFolder*>(GetItemData(hItem));
  if (!parent) return;

  CComPtr<IMAPITable> table;
  if (FAILED(parent->GetHierarchyTable(0, &table))) return;
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  ForEachNamedRow(table, reinterpret_cast<LPSPropTagArray>(&columns), [&](const SRow&, const SBinary& eid,
                                                                          const char* name) {
    ULONG type = 0;
    CComPtr<IUnknown> opened;
    if (FAILED(parent->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMAPIFolder, MAPI_BEST_ACCESS,
                                 &type, &opened)) ||
        !opened)
      return;
    CTeskMAPIFolder folder(opened.p);
    if (!folder) return;
    SetImage(AddFolderItem(name, hItem, folder), ChooseFolderIcon(folder));
  });
}

void CMAPIFoldersTree::OnItemExpanding(NMHDR* pNMHDR, LRESULT* pResult) {
  auto* tv = reinterpret_cast<NMTREEVIEW*>(pNMHDR);
  if (tv->action & (TVE_EXPAND | TVE_EXPANDPARTIAL)) ExpandItem(tv->itemNew.hItem);
  *pResult = 0;
}

CString CMAPIFoldersTree::GetSelectedPath() {
  HTREEITEM hItem = GetSelectedItem();
  if (!hItem) return CString();
  CString path = GetItemText(hItem);
  for (HTREEITEM parent = GetParentItem(hItem); parent; parent = GetParentItem(parent))
    path = GetItemText(parent) + "\\" + path;
  return path;
}

HTREEITEM CMAPIFoldersTree::SelectPath(const CString& path) {
  CString rest = path;
  HTREEITEM parent = nullptr;
  while (true) {
    const int slash = rest.Find('\\');
    const CString name = slash < 0 ? rest : rest.Left(slash);
    rest = slash < 0 ? CString() : rest.Mid(slash + 1);
    // Expanding lists the level anew (OnItemExpanding).
    if (parent) Expand(parent, TVE_EXPAND);
    HTREEITEM item = parent ? GetChildItem(parent) : GetRootItem();
    while (item && GetItemText(item).CompareNoCase(name) != 0) item = GetNextSiblingItem(item);
    if (!item) return nullptr;
    if (slash < 0) {
      SelectItem(item);
      EnsureVisible(item);
      return item;
    }
    parent = item;
  }
}
