// The process's arguments and path as the framework sources use them.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace tesk::win {

// argv as kept by AfxSetCommandLine, else the process's own
// (/proc/self/cmdline).
std::vector<std::string> CommandLineArgs();
// The arguments as one line, each written as the Windows command-line rules
// read it back: an argument that is empty or holds a blank, a tab or a quote
// goes in quotes (quotes inside escaped with a backslash, backslashes before
// them doubled), so that no word inside a quoted argument looks like a switch.
std::string JoinArguments(const std::vector<std::string>& args, std::size_t first);
// The full path of the program (empty when it cannot be found out).
std::string ProgramPath();
// The module handle of the program.
HINSTANCE ProgramInstance();

}  // namespace tesk::win
