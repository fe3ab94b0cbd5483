// ShellExecute: opening a document, folder or address with the desktop's
// program for it. Needs no display of its own and no Qt.
#pragma once

#include "winui.h"

// Error results (all <= 32).
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_SHARE = 26;
constexpr int SE_ERR_ASSOCINCOMPLETE = 27;
constexpr int SE_ERR_DDETIMEOUT = 28;
constexpr int SE_ERR_DDEFAIL = 29;
constexpr int SE_ERR_DDEBUSY = 30;
constexpr int SE_ERR_NOASSOC = 31;
constexpr int SE_ERR_DLLNOTFOUND = 32;

// Opens lpFile with lpOperation "open" (or null) or "explore":
//  - an address (a scheme of two or more letters followed by ':', e.g.
//    "https://...", "mailto:...") or an existing file or folder that is not
//    an executable program: starts the opener with lpFile as its one
//    argument. The opener is `xdg-open`, or the program named by the
//    environment variable TESK_SHELL_OPEN when that is set and not empty
//    (tests use it to record the call instead of opening a browser);
//  - an executable file: runs it with lpParameters, split at blanks
//    (double quotes group).
// The program is started directly (fork and exec, never through a shell),
// in lpDirectory when given (a relative lpFile is taken from there too), and
// runs on after the caller; nShowCmd is ignored.
// Returns a value above 32 when the program started, else an error code
// (as HINSTANCE, as Windows does): SE_ERR_FNF (2) for a missing file or
// when the opener cannot be found, SE_ERR_PNF (3) for a missing folder,
// SE_ERR_ACCESSDENIED (5), SE_ERR_NOASSOC (31) for another operation, 0
// when no process can be made.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd);
inline HINSTANCE ShellExecute(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                              INT nShowCmd) {
  return ShellExecuteA(hwnd, lpOperation, lpFile, lpParameters, lpDirectory, nShowCmd);
}
