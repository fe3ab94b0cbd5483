// The process's arguments and path as the framework sources use them.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace tesk::win {

// argv as kept by AfxSetCommandLine, else the process's own
// (/proc/self/cmdline).
std::vector<std::string> CommandLineArgs();
// The full path of the program (empty when it cannot be found out).
std::string ProgramPath();
// The module handle of the program.
HINSTANCE ProgramInstance();

}  // namespace tesk::win
