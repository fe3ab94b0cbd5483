// The start and the frame of a dialog run, alike in both programs.
#pragma once

#include <afxwnd.h>

// Starts the window layer and MAPI's profile chooser. Without a display it
// writes one line on standard error, sets a non-zero exit code and answers
// false.
bool StartDialogRun();

// Runs the program's main dialog as its main window. A framework exception
// that escapes it is shown in its own message box; anything else in the box
// "Unhandled exception during copying operation".
void RunMainDialog(CDialog& dlg);
