#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace terminal_test {

PtyRun RunOnPty(const std::vector<std::string>& argv, const std::vector<std::string>& extra, unsigned short columns,
                const std::string& stderrFile) {
  PtyRun run;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  winsize size{};
  size.ws_row = 30;
  size.ws_col = columns;
  const auto start = std::chrono::steady_clock::now();
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) return run;
  if (pid == 0) {
    for (const auto& e : extra) ::putenv(const_cast<char*>(e.c_str()));
    if (!stderrFile.empty()) {
      const int fd = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  char buffer[4096];
  while (true) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 120000) <= 0) break;  // two minutes without a byte: give up
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO: the program and its terminal are gone
    run.arrivals.emplace_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                              run.output.size());
    run.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

std::vector<std::string> Screen(const std::string& output, size_t columns) {
  std::vector<std::u32string> lines(1);
  size_t column = 0;
  // Decodes UTF-8 into characters, one column each.
  std::u32string text;
  for (size_t k = 0; k < output.size();) {
    const auto c = static_cast<unsigned char>(output[k]);
    int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    char32_t ch = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    for (int j = 1; j < length && k + static_cast<size_t>(j) < output.size(); ++j)
      ch = (ch << 6) | (static_cast<unsigned char>(output[k + static_cast<size_t>(j)]) & 0x3F);
    text += ch;
    k += static_cast<size_t>(length);
  }
  for (size_t k = 0; k < text.size(); ++k) {
    const char32_t c = text[k];
    std::u32string& line = lines.back();
    if (c == U'\r') {
      column = 0;
    } else if (c == U'\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == U'\x1b' && k + 2 < text.size() && text[k + 1] == U'[' && text[k + 2] == U'K') {
      line.resize(std::min(line.size(), column));
      k += 2;
    } else {
      if (column == columns) {  // the terminal wraps
        lines.emplace_back();
        column = 0;
      }
      std::u32string& current = lines.back();
      if (current.size() <= column) current.resize(column + 1, U' ');
      current[column++] = c;
    }
  }
  std::vector<std::string> out;
  for (const auto& line : lines) {
    std::string s;
    for (char32_t c : line) {
      if (c < 0x80) {
        s += static_cast<char>(c);
      } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    out.push_back(s);
  }
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

bool ValidUtf8(const std::string& text) {
  for (size_t k = 0; k < text.size();) {
    const auto c = static_cast<unsigned char>(text[k]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || k + length > text.size()) return false;
    for (size_t j = 1; j < length; ++j)
      if ((static_cast<unsigned char>(text[k + j]) & 0xC0) != 0x80) return false;
    k += length;
  }
  return true;
}

}  // namespace terminal_test
