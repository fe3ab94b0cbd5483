// Process services: last error, local memory, thread and process ids, the
// command line and the program path.
#include <afxwin.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>

#include "process.h"

namespace {

thread_local DWORD t_lastError = 0;

struct CommandLine {
  std::mutex mutex;
  bool set = false;
  std::vector<std::string> args;
  // Every text handed out stays valid: a new command line adds a new one.
  std::vector<std::unique_ptr<std::string>> texts;
};

CommandLine& commandLine() {
  static CommandLine instance;
  return instance;
}

std::vector<std::string> ReadProcCmdline() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return args;
}

// A distinct address serves as the program's module handle.
char g_moduleTag;

}  // namespace

namespace tesk::win {

std::vector<std::string> CommandLineArgs() {
  CommandLine& c = commandLine();
  {
    std::lock_guard lock(c.mutex);
    if (c.set) return c.args;
  }
  return ReadProcCmdline();
}

std::string ProgramPath() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

HINSTANCE ProgramInstance() { return reinterpret_cast<HINSTANCE>(&g_moduleTag); }

std::string JoinArguments(const std::vector<std::string>& args, std::size_t first) {
  std::string text;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (i > first) text += ' ';
    const std::string& a = args[i];
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
      text += a;
      continue;
    }
    text += '"';
    std::size_t backslashes = 0;
    for (char c : a) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes count only in front of a quote: there they are doubled.
      text.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      text += c;
    }
    text.append(backslashes * 2, '\\');  // before the closing quote
    text += '"';
  }
  return text;
}

}  // namespace tesk::win

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  // malloc(0) may give nullptr; a successful LocalAlloc never does.
  const SIZE_T size = uBytes ? uBytes : 1;
  void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

void AfxSetCommandLine(int argc, const char* const* argv) {
  CommandLine& c = commandLine();
  std::lock_guard lock(c.mutex);
  c.args.clear();
  for (int i = 0; i < argc && argv != nullptr; ++i) c.args.emplace_back(argv[i] ? argv[i] : "");
  c.set = true;
}

LPSTR GetCommandLineA() {
  std::string text = tesk::win::JoinArguments(tesk::win::CommandLineArgs(), 0);
  CommandLine& c = commandLine();
  std::lock_guard lock(c.mutex);
  if (c.texts.empty() || *c.texts.back() != text) c.texts.push_back(std::make_unique<std::string>(std::move(text)));
  return c.texts.back()->data();
}

DWORD GetModuleFileNameA(HMODULE, LPSTR lpFilename, DWORD nSize) {
  if (lpFilename == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string path = tesk::win::ProgramPath();
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return tesk::win::ProgramInstance();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}
