// How much a folder tree holds: the folders below a folder and the
// messages in it and below it. A run says with these what it will change
// (a dry run, the restore's question) and what it changed (the log).
#pragma once

#include <TeskMAPI.h>

#include <functional>

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

// Visits top and every folder below it, parents before their subfolders,
// with its depth (0 for top). A tree of any depth is walked without
// recursion, one subfolder open at a time on each level; folders that
// cannot be opened are left out.
void WalkFolderTree(IMAPIFolder* top, const std::function<void(IMAPIFolder* folder, int depth)>& visit);

// Walks folder and everything below it: one contents count and one
// hierarchy table per folder. Folders that cannot be opened are left out.
CFolderCensus TakeFolderCensus(IMAPIFolder* folder);

// What deleting the folder's subfolders and messages removes: the census
// without the subfolders the store keeps whatever is deleted around them
// (their PR_ACCESS lacks MAPI_ACCESS_DELETE), nor what they hold.
CFolderCensus TakeClearingCensus(IMAPIFolder* folder);
