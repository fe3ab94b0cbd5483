#pragma once

#include <nlohmann/json.hpp>

#include "folders.h"

namespace mapiadmin {

// Text as JSON can hold it: bytes outside well-formed UTF-8 become the
// characters U+0080 to U+00FF of their values.
std::string JsonText(const std::string& text);
// The folder as JSON (name, class, counts, message digests, subfolders),
// written as nlohmann::json's dump(2) writes it, the object's opening brace
// at nesting level `level` (lines deeper than 100 levels are indented no
// further). Trees of any depth: no recursion.
void FolderJson(IMAPIFolder* folder, int level, std::string& out);
std::string FolderJson(IMAPIFolder* folder);
// Hex SHA-256 of a message's own content (what a client set, its
// recipients and attachments; nothing the store assigns itself). Without
// withFlags, the message's flags and keywords are left out.
std::string MessageDigest(IMessage* message, bool associated, bool withFlags = true);
// An indented listing of the folder and what lies below it (no recursion).
void PrintTree(IMAPIFolder* folder, const std::string& name, int depth, std::string& out);

}  // namespace mapiadmin
