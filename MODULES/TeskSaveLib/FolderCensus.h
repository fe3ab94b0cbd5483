// How much a folder tree holds: the folders below a folder and the
// messages in it and below it. A run says with these what it will change
// (a dry run, the restore's question) and what it changed (the log).
#pragma once

#include <TeskMAPI.h>

struct CFolderCensus {
  ULONG folders = 0;   // subfolders at every depth, the folder itself not counted
  ULONG messages = 0;  // messages in the folder and in every subfolder

  CFolderCensus& operator+=(const CFolderCensus& other) {
    folders += other.folders;
    messages += other.messages;
    return *this;
  }
};

// The messages of folder itself (no associated contents); 0 when the
// contents cannot be read.
ULONG CountMessages(IMAPIFolder* folder);

// Walks folder and everything below it: one contents count and one
// hierarchy table per folder. Folders that cannot be opened are left out.
CFolderCensus TakeFolderCensus(IMAPIFolder* folder);
