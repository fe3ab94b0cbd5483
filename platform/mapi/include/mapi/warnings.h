// Warnings of the messaging subsystem for the program's log: what a
// provider gets over without failing (a server that asked it to wait, a
// connection it made again) but the user should see. The program hands
// its log in once at start; until then, and without one, the text goes
// to standard error. Any thread may warn.
#pragma once

#include <functional>
#include <string>

namespace tesk::mapi {

using WarningSink = std::function<void(const std::string& text)>;

// Where warnings go from now on; an empty sink: standard error again.
void SetWarningSink(WarningSink sink);

// One warning, a line of text without the level word.
void Warn(const std::string& text);

}  // namespace tesk::mapi
