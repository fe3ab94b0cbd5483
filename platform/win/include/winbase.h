// Process services: last error, local memory, the system message table,
// the command line and the module path.
#pragma once

#include <cstdarg>

#include "windows.h"

// The calling thread's last error code.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// Local memory (malloc underneath). LocalFree returns nullptr on success.
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

// Language identifiers.
#define MAKELANGID(p, s) static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define PRIMARYLANGID(lgid) static_cast<WORD>(static_cast<WORD>(lgid) & 0x3FF)
#define SUBLANGID(lgid) static_cast<WORD>(static_cast<WORD>(lgid) >> 10)
#define LANG_NEUTRAL 0x00
#define LANG_GERMAN 0x07
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_GERMAN 0x01
#define LANG_USER_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
#define LANG_SYSTEM_DEFAULT MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)

// FormatMessage.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

// Formats a message of the system table (FORMAT_MESSAGE_FROM_SYSTEM: Win32
// error codes and HRESULTs, English texts ending in a line end) or a given
// string (FORMAT_MESSAGE_FROM_STRING). Inserts %1..%99 take pointer-sized
// arguments from `Arguments` (or an array with FORMAT_MESSAGE_ARGUMENT_ARRAY),
// optionally with a printf conversion: %1!d!. Returns the number of chars
// stored without the terminator, or 0 with the last error set: unknown
// message (ERROR_MR_MID_NOT_FOUND), language without texts
// (ERROR_RESOURCE_LANG_NOT_FOUND), buffer too small. With
// FORMAT_MESSAGE_ALLOCATE_BUFFER `lpBuffer` is really an LPSTR* that
// receives a LocalAlloc'ed text (at least nSize chars); free it with LocalFree.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
inline DWORD FormatMessage(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                           DWORD nSize, va_list* Arguments) {
  return FormatMessageA(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments);
}

// The program path and its arguments joined by single blanks (no quoting).
// The arguments are those handed to AfxWinMain/AfxSetCommandLine, else the
// process's own. The text stays valid for the life of the process.
LPSTR GetCommandLineA();
inline LPSTR GetCommandLine() { return GetCommandLineA(); }

// The program's full path. A path longer than nSize-1 is truncated and
// terminated; the function then returns nSize and sets
// ERROR_INSUFFICIENT_BUFFER, as Windows does.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
inline DWORD GetModuleFileName(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  return GetModuleFileNameA(hModule, lpFilename, nSize);
}
// The one module of the process (the program) for a null name.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
inline HMODULE GetModuleHandle(LPCSTR lpModuleName) { return GetModuleHandleA(lpModuleName); }
