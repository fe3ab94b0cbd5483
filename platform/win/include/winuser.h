// Message boxes and string resources.
#pragma once

#include <initializer_list>
#include <utility>

#include "windows.h"

// Message box styles.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_CANCELTRYCONTINUE = 0x00000006;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_DEFBUTTON1 = 0x00000000;
constexpr UINT MB_DEFBUTTON2 = 0x00000100;
constexpr UINT MB_DEFBUTTON3 = 0x00000200;
constexpr UINT MB_DEFBUTTON4 = 0x00000300;
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;
constexpr UINT MB_HELP = 0x00004000;
constexpr UINT MB_SETFOREGROUND = 0x00010000;
constexpr UINT MB_DEFAULT_DESKTOP_ONLY = 0x00020000;
constexpr UINT MB_TOPMOST = 0x00040000;
constexpr UINT MB_RIGHT = 0x00080000;
constexpr UINT MB_SERVICE_NOTIFICATION = 0x00200000;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr UINT MB_DEFMASK = 0x00000F00;

// Message box results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

// Every message box of the program goes through one replaceable handler;
// the UI layer installs one that shows a real dialog. The handler gets the
// caption as given (null when the caller gave none).
using MessageBoxHandler = int (*)(HWND hWnd, const char* text, const char* caption, UINT type);
// Installs `handler` (null: the default one) and returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
// The default handler: writes "<caption>: <text>" as one line to stderr
// (for a null caption the application's name, else "Error"; line ends in
// the text become blanks) and
// answers with the box's default button: IDOK for MB_OK/MB_OKCANCEL, IDYES
// for MB_YESNO/MB_YESNOCANCEL, the second or third button with
// MB_DEFBUTTON2/MB_DEFBUTTON3.
int DefaultMessageBoxHandler(HWND hWnd, const char* text, const char* caption, UINT type);

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
inline int MessageBox(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return MessageBoxA(hWnd, lpText, lpCaption, uType);
}

// String resources. The program registers its string tables at start-up,
// one per language ("en", "de", ...); registering an id again replaces its
// text. The texts are copied.
//   RegisterStringTable("en", {{IDS_HELLO, "Hello"}, {IDS_BYE, "Bye"}});
//   RegisterStringTable("de", {{IDS_HELLO, "Hallo"}});
// LoadString looks in the table of the current UI language first, then in
// every other registered table, then among the framework's own prompts.
using StringTableEntry = std::pair<UINT, const char*>;
void RegisterStringTable(const char* language, std::initializer_list<StringTableEntry> strings);
void RegisterStringTable(const char* language, const StringTableEntry* strings, std::size_t count);
// Removes every registered table (tests start from a clean slate with it).
void ClearStringTables();

// "de" when the first non-empty of LC_ALL, LC_MESSAGES, LANG begins with
// "de", else "en". Read from the environment on every call.
const char* CurrentUiLanguage();

// Copies string resource `uID` into `lpBuffer`, truncated to cchBufferMax-1
// bytes without splitting a UTF-8 sequence, and returns the number of bytes
// copied; 0 (and an empty buffer) when the id is unknown.
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
inline int LoadString(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  return LoadStringA(hInstance, uID, lpBuffer, cchBufferMax);
}

// Ends the program's run with exit code `nExitCode`: the application's
// ExitInstance returns it (see CWinApp).
void PostQuitMessage(int nExitCode);

// ---------------------------------------------------------------------------
// Window messages. The UI layer owns the windows and installs the function
// that delivers a message to one synchronously; until it does (a program
// without windows), SendMessage delivers nothing and returns 0.
using WindowMessageDispatcher = LRESULT (*)(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
WindowMessageDispatcher SetWindowMessageDispatcher(WindowMessageDispatcher dispatcher);
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
inline LRESULT SendMessage(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return SendMessageA(hWnd, Msg, wParam, lParam);
}
