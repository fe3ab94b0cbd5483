// The standard folders (Sent, Trash, Drafts, Junk, Archive) of stores
// without folder roles of their own (a Maildir, an IMAP server without
// SPECIAL-USE): found by the names mail programs give them, in English and
// German, and published as the store's and the Inbox's entry identifiers.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "provider.h"

namespace tesk::mapi {

inline bool NameIn(const std::string& name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return EqualsNoCase(name, n); });
}
inline const std::initializer_list<const char*> kSentNames{"Sent", "Sent Items", "Sent Messages", "Sent Mail",
                                                    "Gesendet", "Gesendete Objekte", "Gesendete Elemente"};
inline const std::initializer_list<const char*> kTrashNames{"Trash", "Deleted Items", "Deleted Messages", "Papierkorb",
                                                     "Gelöschte Elemente", "Gelöschte Objekte"};
inline const std::initializer_list<const char*> kDraftsNames{"Drafts", "Draft", "Entwürfe"};
inline const std::initializer_list<const char*> kJunkNames{"Junk", "Spam", "Junk-E-Mail", "Junk E-Mail"};
// Archives as mail programs name them (Thunderbird, Apple Mail, Outlook).
inline const std::initializer_list<const char*> kArchiveNames{"Archive", "Archives", "Archiv"};

// The roles, and the folder of each (0: none).
enum FolderRole { kSent, kTrash, kDrafts, kJunk, kArchive, kRoles };
using StandardFolders = std::array<ObjId, kRoles>;

// Gives each role not found yet the first of the children whose name
// (nameOf) is one of the role's names.
void FindStandardFoldersByName(StandardFolders& roles, const std::vector<ObjId>& children,
                               const std::function<std::string(ObjId)>& nameOf);

// The store's PR_IPM_SUBTREE_ENTRYID (top), PR_IPM_SENTMAIL_ENTRYID and
// PR_IPM_WASTEBASKET_ENTRYID, and the PR_IPM_DRAFTS_ENTRYID the Inbox and
// the root show.
void StandardFolderProps(const GUID& store, ObjId top, const StandardFolders& roles, PropList& storeProps,
                         PropList& inboxProps);

}  // namespace tesk::mapi
