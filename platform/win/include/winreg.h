// The registry, kept in one human-editable text file in the .reg style:
//
//   [HKEY_CLASSES_ROOT\AppID\TeskSave.EXE]
//   @="default value"
//   "AppID"="{DB53B054-046C-48FD-81B8-017060D70E3A}"
//   "Count"=dword:0000001f
//   "Blob"=hex:01,02,ff
//
// The file is $WINREG_FILE when that is set, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/winreg/registry.ini. Every call reads
// the file afresh (another process may have changed it); every change
// rewrites it whole through a temporary file and a rename, under a lock file
// beside it. A missing file is an empty registry; lines that make no sense
// are skipped. Key and value names compare case-insensitively (ASCII).
// Strings with line ends are kept as hex(1): bytes; other types than
// REG_SZ, REG_DWORD and REG_BINARY as hex(<type>): bytes.
#pragma once

#include "windows.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define HKEY_CLASSES_ROOT reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u))
#define HKEY_CURRENT_USER reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u))
#define HKEY_LOCAL_MACHINE reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u))
#define HKEY_USERS reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u))
#define HKEY_CURRENT_CONFIG reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000005u))

// Access rights. A handle without KEY_SET_VALUE refuses value changes, one
// without KEY_CREATE_SUB_KEY refuses creating subkeys, one without
// KEY_QUERY_VALUE refuses reading values (ERROR_ACCESS_DENIED).
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
constexpr DWORD REG_OPTION_VOLATILE = 0x1;
constexpr DWORD REG_CREATED_NEW_KEY = 0x1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 0x2;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Opens `lpSubKey` below `hKey`, creating it (and missing keys on the way)
// when needed; creating needs KEY_CREATE_SUB_KEY on `hKey`.
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
// Opens an existing key (ERROR_FILE_NOT_FOUND when missing). A null or
// empty `lpSubKey` opens a new handle of `hKey` itself.
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegFlushKey(HKEY hKey);

// Sets a value; a null or empty name is the key's default value ("@").
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
// Reads a value. Without `lpData` only the size is reported; when *lpcbData
// is too small the call fails with ERROR_MORE_DATA and reports the size
// needed. Strings are returned with their terminator (counted in the size).
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some); as
// on Windows the rights of `hKey` play no part.
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes a key with all its subkeys; a null `lpSubKey` empties `hKey` (its
// values and subkeys) and keeps it. Needs DELETE, KEY_ENUMERATE_SUB_KEYS and
// KEY_QUERY_VALUE on `hKey`, as on Windows.
LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
// Subkeys and values by index (subkeys in name order, values in file
// order); ERROR_NO_MORE_ITEMS past the end. *lpcchName is the buffer size
// on entry and the length without terminator on return.
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime);
LSTATUS RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

inline LSTATUS RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                              REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                              LPDWORD lpdwDisposition) {
  return RegCreateKeyExA(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired, lpSecurityAttributes, phkResult,
                         lpdwDisposition);
}
inline LSTATUS RegCreateKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return RegCreateKeyA(hKey, lpSubKey, phkResult);
}
inline LSTATUS RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}
inline LSTATUS RegOpenKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) { return RegOpenKeyA(hKey, lpSubKey, phkResult); }
inline LSTATUS RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                             DWORD cbData) {
  return RegSetValueExA(hKey, lpValueName, Reserved, dwType, lpData, cbData);
}
inline LSTATUS RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                               LPDWORD lpcbData) {
  return RegQueryValueExA(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}
inline LSTATUS RegDeleteValue(HKEY hKey, LPCSTR lpValueName) { return RegDeleteValueA(hKey, lpValueName); }
inline LSTATUS RegDeleteKey(HKEY hKey, LPCSTR lpSubKey) { return RegDeleteKeyA(hKey, lpSubKey); }
inline LSTATUS RegDeleteTree(HKEY hKey, LPCSTR lpSubKey) { return RegDeleteTreeA(hKey, lpSubKey); }
inline LSTATUS RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                            LPSTR lpClass, LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime) {
  return RegEnumKeyExA(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}
inline LSTATUS RegEnumKey(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  return RegEnumKeyA(hKey, dwIndex, lpName, cchName);
}
inline LSTATUS RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                            LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return RegEnumValueA(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

// The path of the registry file as the functions above use it now.
const char* RegistryFilePath();
