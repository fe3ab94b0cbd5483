// One restore: clears the target folder (keeping and emptying the standard
// folders of its store, deleting every other subfolder) and copies the
// source folder's messages and subfolders in, merging source folders into
// the kept standard folders of the same name.
#pragma once

#include <FolderCensus.h>
#include <MessagStoresArray.h>
#include <TeskMAPI.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "StatusMessageReceiver.h"

class CFoldersCopier {
 public:
  CFoldersCopier(IMAPISession* session, const char* sourcePath, const char* targetPath, IMAPIProgress* progress,
                 CStatusMessageReceiver* receiver);
  virtual ~CFoldersCopier();

  // What a restore will do to the target, as found before it starts.
  struct Plan {
    struct Folder {
      CString name;
      CFolderCensus census;  // what is in and below it
    };
    CString sourceName, targetName;
    ULONG targetMessages = 0;     // in the target folder itself: deleted
    std::vector<Folder> kept;     // standard folders: emptied, kept
    std::vector<Folder> deleted;  // every other subfolder: deleted whole
    std::vector<CString> merged;  // source subfolders merged into a kept one
    CFolderCensus source;         // what is copied in (folders below SOURCE)
    // What the clearing removes, as its log lines count it: outside the
    // kept folders every other subfolder with the folders below it and the
    // messages of the target and of those folders; inside the kept ones
    // their messages and every folder below them.
    ULONG DeletedFolders() const;   // outside the kept folders
    ULONG DeletedMessages() const;  // outside the kept folders
    ULONG KeptSubfolders() const;   // below the kept folders (deleted)
    ULONG KeptMessages() const;     // in and below them (deleted too)
  };

  // Throws the program's exceptions for what ends the run; per-folder
  // failures are logged and the run goes on.
  void Run();
  // Finds and checks what Run would, without reading every message, and
  // says what the run would change.
  Plan Preview();
  // A dry run: finds and checks everything Run would (the source read
  // through), logs what would be deleted, emptied, kept and copied, and
  // changes nothing.
  void DryRun();

 private:
  struct Located {
    CTeskMAPIFolder source, target;
    CTeskBinary sourceStoreId, targetStoreId;
    CString sourceName, targetName;
    CTeskMsgStore targetStore;
  };
  // Finds both folders; logs the "path found" lines unless quiet.
  void Locate(Located& where, bool quiet = false);
  void CheckOverlap(const Located& where);
  void CollectStandardFolders(CTeskMsgStore& store);
  bool IsStandardFolder(const CTeskBinary& id) const;
  // Refuses associated messages that a copy would take into a target that
  // cannot keep them; after CollectStandardFolders.
  void CheckAssociated(const Located& where);
  // Refuses messages of the source folder itself where the target folder
  // takes none (the top of a Maildir or of a server account).
  void CheckOwnMessages(const Located& where);
  Plan Survey(const Located& where, const CFolderCensus& source);
  void ClearTarget(const Located& where);
  void RestoreInto(const Located& where);
  void LogEnd(const Located& where, const CFolderCensus& source, int errorsBefore);
  void Status(const char* prefix, const CString& name);

  CTeskMAPISession m_session;
  CMessagStoresArray m_openStores;
  std::list<CTeskBinary> m_standardFolderIds;
  std::map<std::string, CTeskMAPIFolder> m_standardFolders;
  CString m_strSourcePath;
  CString m_strTargetPath;
  CComPtr<IMAPIProgress> m_pProgress;
  CStatusMessageReceiver* m_pStatusReceiver;
};
