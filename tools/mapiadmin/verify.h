// mapiadmin verify: a snapshot compared with its source, folder by folder
// and message by message.
#pragma once

#include <iosfwd>
#include <string>

#include "folders.h"

namespace mapiadmin {

struct VerifyCounts {
  long long folders = 0, messages = 0, differences = 0;
};

// Compares the folder trees below source and snapshot (subfolders matched by
// name, ASCII letters folded; messages by their content, then by their
// Message-ID to tell a change of flags from one of content). Writes one
// line per difference to out, relative paths from the two tops. No
// recursion: trees of any depth.
VerifyCounts VerifyFolders(IMAPIFolder* source, IMAPIFolder* snapshot, std::ostream& out);

}  // namespace mapiadmin
