// String tables, the UI language and the message box handler.
#include <afxwin.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "resources.h"
#include "text.h"

namespace {

struct Tables {
  std::mutex mutex;
  std::map<std::string, std::map<UINT, std::string>> byLanguage;
};

Tables& tables() {
  static Tables instance;
  return instance;
}

// The framework's own prompts, used when no table has the id.
const char* FrameworkString(UINT id) {
  switch (id) {
    case AFX_IDP_NO_ERROR_AVAILABLE:
      return "No error message is available.";
    default:
      return nullptr;
  }
}

std::atomic<MessageBoxHandler> g_messageBoxHandler{&DefaultMessageBoxHandler};

}  // namespace

namespace tesk::win {

bool LookupString(UINT id, std::string& text) {
  {
    Tables& t = tables();
    std::lock_guard lock(t.mutex);
    auto current = t.byLanguage.find(CurrentUiLanguage());
    if (current != t.byLanguage.end()) {
      auto it = current->second.find(id);
      if (it != current->second.end()) {
        text = it->second;
        return true;
      }
    }
    for (const auto& [language, strings] : t.byLanguage) {
      auto it = strings.find(id);
      if (it != strings.end()) {
        text = it->second;
        return true;
      }
    }
  }
  if (const char* builtIn = FrameworkString(id)) {
    text = builtIn;
    return true;
  }
  return false;
}

}  // namespace tesk::win

void RegisterStringTable(const char* language, const StringTableEntry* strings, std::size_t count) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  auto& table = t.byLanguage[language ? language : ""];
  for (std::size_t i = 0; i < count; ++i) table[strings[i].first] = strings[i].second ? strings[i].second : "";
}

void RegisterStringTable(const char* language, std::initializer_list<StringTableEntry> strings) {
  RegisterStringTable(language, strings.begin(), strings.size());
}

void ClearStringTables() {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  t.byLanguage.clear();
}

const char* CurrentUiLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return (value[0] == 'd' && value[1] == 'e') ? "de" : "en";
    }
  }
  return "en";
}

int LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) return 0;
  std::string text;
  if (!tesk::win::LookupString(uID, text)) {
    *lpBuffer = '\0';
    return 0;
  }
  return static_cast<int>(tesk::win::CopyTruncated(lpBuffer, static_cast<std::size_t>(cchBufferMax), text));
}

// --- message boxes -------------------------------------------------------------

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return g_messageBoxHandler.exchange(handler ? handler : &DefaultMessageBoxHandler);
}

int DefaultMessageBoxHandler(HWND, const char* text, const char* caption, UINT type) {
  // Without a caption: the application's name, else "Error".
  if (caption == nullptr) caption = AfxGetAppName();
  std::string line = caption ? caption : "Error";
  line += ": ";
  const std::string_view body = text ? text : "";
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' || body[i] == '\n') {
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += body[i];
    }
  }
  line += '\n';
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);

  // The buttons of each box type, left to right; the default one answers.
  static constexpr int kButtons[][3] = {
      {IDOK, 0, 0},                       // MB_OK
      {IDOK, IDCANCEL, 0},                // MB_OKCANCEL
      {IDABORT, IDRETRY, IDIGNORE},       // MB_ABORTRETRYIGNORE
      {IDYES, IDNO, IDCANCEL},            // MB_YESNOCANCEL
      {IDYES, IDNO, 0},                   // MB_YESNO
      {IDRETRY, IDCANCEL, 0},             // MB_RETRYCANCEL
      {IDCANCEL, IDTRYAGAIN, IDCONTINUE}  // MB_CANCELTRYCONTINUE
  };
  const UINT kind = type & MB_TYPEMASK;
  if (kind >= sizeof kButtons / sizeof kButtons[0]) return IDOK;
  const UINT button = (type & MB_DEFMASK) >> 8;
  // A default button the box does not have falls back to the first one.
  const int answer = button < 3 ? kButtons[kind][button] : 0;
  return answer != 0 ? answer : kButtons[kind][0];
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return g_messageBoxHandler.load()(hWnd, lpText ? lpText : "", lpCaption, uType);
}
