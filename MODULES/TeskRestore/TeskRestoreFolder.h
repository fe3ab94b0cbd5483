// Whole-folder operations of the restore: delete all messages of a folder,
// copy all its messages, copy all its subfolders. Normal contents only:
// associated messages are neither deleted nor copied.
#pragma once

#include <TeskMAPI.h>

#include "StatusMessageReceiver.h"

class CTeskRestoreFolder : public CTeskMAPIFolder {
 public:
  explicit CTeskRestoreFolder(IMAPIFolder* folder);
  ~CTeskRestoreFolder() override = default;

  void SetDestinationName(IMAPIFolder* destination);
  void DeleteAllMessages(IMAPIProgress* progress, CStatusMessageReceiver* receiver);
  void CopyAllMessagesTo(IMAPIFolder* destination, IMAPIProgress* progress, CStatusMessageReceiver* receiver);
  void CopySubfoldersTo(IMAPIFolder* destination, IMAPIProgress* progress, CStatusMessageReceiver* receiver);

  // Entry identifiers per DeleteMessages call.
  static constexpr ULONG kDeleteBatch = 1000;

  CString m_strName;
  CString m_strDestName;

 private:
  // Reads every row's PR_ENTRYID of the contents table into rows.
  void ReadContents(CRowSetHolder& rows);
};

// The display name of a folder, or an empty text when it cannot be read.
CString FolderDisplayName(IMAPIFolder* folder);
