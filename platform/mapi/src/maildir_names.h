// Folder names of a Maildir on disk: modified UTF-7 (RFC 3501 5.1.3), as
// Dovecot writes them, and the characters each layout cannot hold.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesk::mapi::maildir {

// UTF-8 -> modified UTF-7. The printable ASCII characters listed in
// alsoEncode are written in a base64 run too (and the first character when
// encodeFirst), so that a name never holds a layout's separator. Returns
// nullopt for a name that is not valid UTF-8.
std::optional<std::string> EncodeMutf7(std::string_view utf8, std::string_view alsoEncode = {},
                                       bool encodeFirst = false);

// Modified UTF-7 -> UTF-8; nullopt when the text is not valid modified UTF-7.
std::optional<std::string> DecodeMutf7(std::string_view mutf7);

// What a name read from disk shows: its decoded form, else the raw bytes
// when they are UTF-8 (a tool that wrote UTF-8 directly), else the bytes
// with the invalid ones replaced.
std::string DisplayNameOf(std::string_view diskName);

// A folder name as a directory component of the layout: Maildir++ cannot
// hold '.' or '/', fs cannot hold '/', a leading '.', nor the names of the
// Maildir's own entries (cur, new, tmp, Dovecot's and this provider's
// files). Returns nullopt for a name that cannot be written (empty or not
// UTF-8).
std::optional<std::string> EncodeComponent(std::string_view utf8, bool fsLayout);

bool IsValidUtf8(std::string_view s);

}  // namespace tesk::mapi::maildir
