// FormatMessage and the system message table.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

namespace {

struct Message {
  DWORD code;
  const char* text;
};

// Win32 error codes (the English texts of the system, one line each).
constexpr Message kWin32Messages[] = {
    {0, "The operation completed successfully.\n"},
    {1, "Incorrect function.\n"},
    {2, "The system cannot find the file specified.\n"},
    {3, "The system cannot find the path specified.\n"},
    {4, "The system cannot open the file.\n"},
    {5, "Access is denied.\n"},
    {6, "The handle is invalid.\n"},
    {8, "Not enough memory resources are available to process this command.\n"},
    {13, "The data is invalid.\n"},
    {14, "Not enough storage is available to complete this operation.\n"},
    {18, "There are no more files.\n"},
    {32, "The process cannot access the file because it is being used by another process.\n"},
    {80, "The file exists.\n"},
    {87, "The parameter is incorrect.\n"},
    {112, "There is not enough space on the disk.\n"},
    {122, "The data area passed to a system call is too small.\n"},
    {183, "Cannot create a file when that file already exists.\n"},
    {234, "More data is available.\n"},
    {259, "No more data is available.\n"},
    {1010, "The configuration registry key is invalid.\n"},
    {1011, "The configuration registry key could not be opened.\n"},
    {1012, "The configuration registry key could not be read.\n"},
    {1013, "The configuration registry key could not be written.\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\n"},
    {1223, "The operation was canceled by the user.\n"},
    {1460, "This operation returned because the timeout period expired.\n"},
};

// HRESULTs of their own (those of facility WIN32 map to the codes above).
constexpr Message kHresultMessages[] = {
    {0x8000FFFFu, "Catastrophic failure\n"},
    {0x80004001u, "Not implemented\n"},
    {0x80004002u, "No such interface supported\n"},
    {0x80004003u, "Invalid pointer\n"},
    {0x80004004u, "Operation aborted\n"},
    {0x80004005u, "Unspecified error\n"},
};

const char* Find(const Message* first, const Message* last, DWORD code) {
  for (const Message* m = first; m != last; ++m) {
    if (m->code == code) return m->text;
  }
  return nullptr;
}

const char* SystemMessage(DWORD code) {
  if (const char* text = Find(std::begin(kHresultMessages), std::end(kHresultMessages), code)) return text;
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;  // HRESULT_FROM_WIN32
  if (code > 0xFFFFu) return nullptr;
  return Find(std::begin(kWin32Messages), std::end(kWin32Messages), code);
}

bool LanguageHasTexts(DWORD languageId) {
  if (languageId == 0) return true;
  const WORD primary = PRIMARYLANGID(languageId);
  return primary == LANG_NEUTRAL || primary == LANG_ENGLISH;
}

// The pointer-sized argument of insert `index` (1-based).
class Inserts {
 public:
  Inserts(DWORD flags, va_list* args) : flags_(flags), args_(args) {}
  bool Available() const { return args_ != nullptr; }
  ULONG_PTR Get(int index) const {
    if (flags_ & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
      return reinterpret_cast<const ULONG_PTR*>(args_)[index - 1];
    }
    va_list ap;
    va_copy(ap, *args_);
    ULONG_PTR value = 0;
    for (int i = 0; i < index; ++i) value = va_arg(ap, ULONG_PTR);
    va_end(ap);
    return value;
  }

 private:
  DWORD flags_;
  va_list* args_;
};

// One insert formatted with its printf conversion ("s" when none is given).
std::string FormatInsert(std::string_view insertFormat, ULONG_PTR value) {
  if (insertFormat.empty()) insertFormat = "s";
  const char conversion = insertFormat.back();
  std::string flags(insertFormat.substr(0, insertFormat.size() - 1));
  bool wide = false;
  for (std::string_view length : {"I64", "ll", "l", "h", "I32", "I"}) {
    const std::size_t at = flags.find(length);
    if (at != std::string::npos) {
      if (length == "I64" || length == "ll") wide = true;
      flags.erase(at, length.size());
    }
  }
  if (flags.find('*') != std::string::npos) flags.clear();
  std::string format = "%" + flags;
  char buf[128];
  int n = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  switch (conversion) {
    case 'd':
    case 'i':
      format += wide ? "lld" : "d";
      n = wide ? std::snprintf(buf, sizeof buf, format.c_str(), static_cast<long long>(value))
               : std::snprintf(buf, sizeof buf, format.c_str(), static_cast<int>(value));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      format += wide ? "ll" : "";
      format += conversion;
      n = wide ? std::snprintf(buf, sizeof buf, format.c_str(), static_cast<unsigned long long>(value))
               : std::snprintf(buf, sizeof buf, format.c_str(), static_cast<unsigned>(value));
      break;
    case 'c':
      format += 'c';
      n = std::snprintf(buf, sizeof buf, format.c_str(), static_cast<int>(static_cast<unsigned char>(value)));
      break;
    default: {
      const char* s = reinterpret_cast<const char*>(value);
      format += 's';
      n = std::snprintf(nullptr, 0, format.c_str(), s ? s : "(null)");
      if (n < 0) return {};
      std::string out(static_cast<std::size_t>(n), '\0');
      std::snprintf(out.data(), out.size() + 1, format.c_str(), s ? s : "(null)");
      return out;
    }
  }
#pragma GCC diagnostic pop
  if (n < 0) return {};
  return std::string(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

// Expands the escapes and inserts of a message text.
std::string Expand(std::string_view text, DWORD flags, const Inserts& inserts) {
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  const bool ignoreLineEnds = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += ignoreLineEnds ? ' ' : '\n';
      continue;
    }
    if (c != '%' || ignoreInserts || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    const char e = text[++i];
    if (e == '0') break;
    switch (e) {
      case 'n':
        out += '\n';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 't':
        out += '\t';
        continue;
      case ' ':
      case '.':
      case '!':
      case '%':
        out += e;
        continue;
      default:
        break;
    }
    if (e < '1' || e > '9') {
      out += '%';
      out += e;
      continue;
    }
    const std::size_t numberStart = i;
    int index = e - '0';
    if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') index = index * 10 + (text[++i] - '0');
    std::string_view insertFormat;
    if (i + 1 < text.size() && text[i + 1] == '!') {
      const std::size_t close = text.find('!', i + 2);
      if (close != std::string_view::npos) {
        insertFormat = text.substr(i + 2, close - (i + 2));
        i = close;
      }
    }
    if (!inserts.Available()) {
      out += '%';
      out.append(text.substr(numberStart, i + 1 - numberStart));
      continue;
    }
    out += FormatInsert(insertFormat, inserts.Get(index));
  }
  if (ignoreLineEnds) {
    while (!out.empty() && out.back() == ' ') out.pop_back();
  }
  return out;
}

}  // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
  if (lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* source = nullptr;
  if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
    source = static_cast<const char*>(lpSource);
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (!LanguageHasTexts(dwLanguageId)) {
      SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return 0;
    }
    source = SystemMessage(dwMessageId);
  }
  if (source == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }

  const std::string text = Expand(source, dwFlags, Inserts(dwFlags, Arguments));
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const std::size_t size = std::max<std::size_t>(text.size() + 1, nSize);
    auto* out = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
    if (out == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    *reinterpret_cast<LPSTR*>(lpBuffer) = out;
  } else {
    if (text.size() + 1 > nSize) {
      if (nSize > 0) *lpBuffer = '\0';
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(text.size());
}
