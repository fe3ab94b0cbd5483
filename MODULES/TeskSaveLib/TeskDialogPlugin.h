// The dialog road of a program lives in a plugin library next to the
// program, so that a batch run needs neither the window layer nor Qt: only a
// dialog run loads it.
#pragma once

#include <string>

#include "TeskCmdLineInfo.h"

// What a dialog plugin exports under kTeskDialogEntry.
using TeskDialogEntry = void (*)(CTeskCmdLineInfo& info);
inline constexpr char kTeskDialogEntry[] = "TeskRunDialogs";

// Loads the plugin (file name, e.g. "TeskSaveDialogs.so") from the program's
// folder, else from builtDir (where it was built), and runs its dialog road.
// Without a display, or when the plugin cannot be loaded, it writes one line
// on standard error and sets the exit code 2.
void RunDialogPlugin(const char* plugin, const char* builtDir, CTeskCmdLineInfo& info);

// Whether the window layer will find a display, decided without loading
// any of it; why says what is missing when it will not.
bool DialogDisplayAvailable(std::string* why);
