// Resources both programs carry alike: the tree's icon source, the folder
// picker's template.
#pragma once

#include "MAPIFoldersTree.h"

// Loads each tree icon from the program's resources at the standard icon
// size, anew on every call (the tree's image list keeps its own copies).
class CTeskResourceImageSource : public CMAPIFoldersTreeImagesSrc {
 public:
  HICON GetStoreIcon() override;
  HICON GetDefaultStoreIcon() override;
  HICON GetContactsIcon() override;
  HICON GetCalendarIcon() override;
  HICON GetJournalIcon() override;
  HICON GetTasksIcon() override;
  HICON GetMailFolderIcon() override;
  HICON GetNotesIcon() override;
  HICON GetInboxIcon() override;
  HICON GetOutboxIcon() override;
  HICON GetSentItemsIcon() override;
  HICON GetDeletedItemsIcon() override;

 protected:
  static HICON Load(UINT id);
};

// Registers the folder picker's template under id, in German and, when
// asked, in English.
void RegisterFolderPickerTemplates(UINT id, bool english);

// Registers the strings both programs carry alike (counts in words, the
// refused report address, the link's messages), in German and, when asked,
// in English.
void RegisterSharedStrings(bool english);
