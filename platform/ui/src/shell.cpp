// ShellExecute: starts the desktop's opener (or a program) directly, with
// fork and exec, detached from the caller.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <shellapi.h>

namespace {

HINSTANCE Result(int code) { return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(code)); }

// "scheme:..." with a scheme of two or more characters (not "C:").
bool IsAddress(const std::string& s) {
  const std::size_t colon = s.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  if (!std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = s[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Parameters split at blanks; double quotes group (and are removed).
std::vector<std::string> SplitParameters(const char* text) {
  std::vector<std::string> out;
  if (text == nullptr) return out;
  std::string current;
  bool inQuotes = false;
  bool have = false;
  for (const char* p = text; *p; ++p) {
    if (*p == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if ((*p == ' ' || *p == '\t') && !inQuotes) {
      if (have) out.push_back(current);
      current.clear();
      have = false;
    } else {
      current += *p;
      have = true;
    }
  }
  if (have) out.push_back(current);
  return out;
}

int ErrorCode(int error) {
  switch (error) {
    case ENOENT:
      return SE_ERR_FNF;
    case ENOTDIR:
      return SE_ERR_PNF;
    case EACCES:
    case EPERM:
      return SE_ERR_ACCESSDENIED;
    case ENOEXEC:
      return 11;  // ERROR_BAD_FORMAT
    case ENOMEM:
      return SE_ERR_OOM;
    default:
      return SE_ERR_NOASSOC;
  }
}

// Starts argv in `dir` (when not empty), detached (the intermediate child
// exits at once, so no zombie stays). Returns 0 when the program runs, else
// the errno of the failed start.
int StartDetached(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return error;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::close(fds[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      const int error = errno;
      [[maybe_unused]] ssize_t n = ::write(fds[1], &error, sizeof error);
      ::_exit(1);
    }
    if (grandchild > 0) ::_exit(0);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
      const int error = errno;
      [[maybe_unused]] ssize_t n = ::write(fds[1], &error, sizeof error);
      ::_exit(127);
    }
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
      ::dup2(devnull, STDIN_FILENO);
      ::close(devnull);
    }
    ::execvp(argv[0], argv.data());
    const int error = errno;
    [[maybe_unused]] ssize_t n = ::write(fds[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  do {
    got = ::read(fds[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(fds[0]);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory, INT) {
  if (lpFile == nullptr || *lpFile == '\0') return Result(SE_ERR_FNF);
  const std::string operation = lpOperation ? lpOperation : "open";
  if (operation != "open" && operation != "explore") return Result(SE_ERR_NOASSOC);
  const std::string dir = lpDirectory ? lpDirectory : "";
  std::string file = lpFile;

  const char* override = std::getenv("TESK_SHELL_OPEN");
  const std::string opener = (override && *override) ? override : "xdg-open";

  std::vector<std::string> args;
  if (IsAddress(file)) {
    args = {opener, file};
  } else {
    std::string path = file;
    if (path[0] != '/' && !dir.empty()) path = dir + "/" + path;
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        // A missing folder on the way is "path not found".
        const std::size_t slash = path.find_last_of('/');
        struct stat parent{};
        if (slash != std::string::npos && slash > 0 && ::stat(path.substr(0, slash).c_str(), &parent) != 0) {
          return Result(SE_ERR_PNF);
        }
        return Result(SE_ERR_FNF);
      }
      return Result(ErrorCode(errno));
    }
    if (S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0 && operation == "open") {
      args.push_back(path);
      for (std::string& p : SplitParameters(lpParameters)) args.push_back(std::move(p));
    } else {
      args = {opener, path};
    }
  }
  const int error = StartDetached(args, dir);
  if (error != 0) return Result(ErrorCode(error));
  return Result(42);
}
