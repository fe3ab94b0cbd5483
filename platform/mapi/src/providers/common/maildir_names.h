// Folder names of a Maildir on disk: modified UTF-7 (RFC 3501 5.1.3), as
// Dovecot writes and reads them, and the characters each layout cannot hold.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesk::mapi::maildir {

// UTF-8 -> modified UTF-7: printable ASCII stands for itself ("&" as "&-"),
// everything else goes in base64 runs (Dovecot refuses a name with printable
// ASCII in a run). Returns nullopt for a name that is not valid UTF-8.
std::optional<std::string> EncodeMutf7(std::string_view utf8);

// Modified UTF-7 -> UTF-8; nullopt when the text is not valid modified UTF-7.
std::optional<std::string> DecodeMutf7(std::string_view mutf7);

// What a name read from disk shows: its decoded form, else the raw bytes
// when they are UTF-8 (a tool that wrote UTF-8 directly), else the bytes
// with the invalid ones replaced.
std::string DisplayNameOf(std::string_view diskName);

// The character that stands on disk for a printable ASCII character a folder
// name cannot hold there, looking the same: '.' U+2024 ONE DOT LEADER, '/'
// U+2215 DIVISION SLASH, any other its fullwidth form (U+FF01 to U+FF5E,
// '~' U+FF5E FULLWIDTH TILDE).
char16_t LookAlike(char c);

// A folder name as a directory component of the layout, in modified UTF-7,
// such that a stock Dovecot lists and opens it. What the layout cannot hold
// is written as its look-alike: Maildir++ every '.' (its separator), both
// layouts every '/', a leading '~' (Dovecot refuses a mailbox name that
// begins with one), and on fs a leading '.' (a hidden directory) and the
// first letter of a name the Maildir keeps for its own entries (cur, new,
// tmp, Dovecot's and this provider's files). The true name lives in the
// provider's index. Returns nullopt for a name that cannot be written (empty
// or not UTF-8).
std::optional<std::string> EncodeComponent(std::string_view utf8, bool fsLayout);

bool IsValidUtf8(std::string_view s);

}  // namespace tesk::mapi::maildir
