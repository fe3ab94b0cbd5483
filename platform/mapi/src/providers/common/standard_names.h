// The names by which mail stores without folder roles of their own (a
// Maildir, an IMAP server without SPECIAL-USE) know their standard folders,
// in English and German as mail programs create them.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>

#include "core/prop.h"

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

}  // namespace tesk::mapi
