// The tree of the session's message stores and their folders, from which
// the user picks a source or a target folder. Stores form the top level;
// each level of folders is read when its item expands, and read again on
// every later expansion.
#pragma once

#include <afxcmn.h>
#include <TeskMAPI.h>

#include <vector>

// Where the tree gets its icons from. Each program has its own, loading
// the icons from its own resources; a null icon means none for that role.
class CMAPIFoldersTreeImagesSrc {
 public:
  virtual ~CMAPIFoldersTreeImagesSrc() = default;
  virtual HICON GetStoreIcon() = 0;
  virtual HICON GetDefaultStoreIcon() = 0;
  virtual HICON GetContactsIcon() = 0;
  virtual HICON GetCalendarIcon() = 0;
  virtual HICON GetJournalIcon() = 0;
  virtual HICON GetTasksIcon() = 0;
  virtual HICON GetMailFolderIcon() = 0;
  virtual HICON GetNotesIcon() = 0;
  virtual HICON GetInboxIcon() = 0;
  virtual HICON GetOutboxIcon() = 0;
  virtual HICON GetSentItemsIcon() = 0;
  virtual HICON GetDeletedItemsIcon() = 0;
};

class CMAPIFoldersTree : public CTreeCtrl {
 public:
  // The icon slots, numbered as the source's operations.
  enum IconSlot {
    kStore = 1,
    kDefaultStore,
    kContacts,
    kCalendar,
    kJournal,
    kTasks,
    kMailFolder,
    kNotes,
    kInbox,
    kOutbox,
    kSentItems,
    kDeletedItems,
  };

  CMAPIFoldersTree();
  ~CMAPIFoldersTree() override;

  // Builds the image list from the source (nothing for null). Call it
  // before FillStores; the source may go afterwards.
  void SetImageSource(CMAPIFoldersTreeImagesSrc* source);
  // Lists the session's stores as top-level items (once, on an empty tree).
  void FillStores(CTeskMAPISession session);
  // (Re)lists the direct subfolders of the item's folder.
  void ExpandItem(HTREEITEM hItem);
  // The selected item as a folder path: the store name and the folder
  // names, each behind a backslash. Empty without a selection.
  CString GetSelectedPath();
  // Expands the tree down to the folder of path (names compared as the
  // path lookup of a run compares them, the first match of each level) and
  // selects it and scrolls it into view. Answers the item, or null when the
  // path leads nowhere (the levels found stay expanded, nothing selected).
  HTREEITEM SelectPath(const CString& path);

  // The image-list index of an icon slot (-1: none).
  int GetIconIndex(int slot) const { return slot >= 1 && slot <= 15 ? m_nIcon[slot - 1] : -1; }

 protected:
  void OnItemExpanding(NMHDR* pNMHDR, LRESULT* pResult) override;

 private:
  void SetImage(HTREEITEM hItem, int slot);
  int ChooseFolderIcon(CTeskMAPIFolder& folder);
  void ReadDefaultStoreIds(IMsgStore* store);
  // Inserts a folder (or a store's root) that the tree keeps open while it
  // shows it, with the children flag when it has subfolders.
  HTREEITEM AddFolderItem(const char* name, HTREEITEM hParent, const CTeskMAPIFolder& folder);

  std::vector<CTeskMAPIFolder> m_folders;
  CImageList m_images;
  int m_nIcon[15];
  CTeskBinary m_inboxId;
  CTeskBinary m_outboxId;
  CTeskBinary m_deletedId;
  CTeskBinary m_sentId;
};
