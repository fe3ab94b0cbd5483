#include "TeskAppTerminal.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FolderCensus.h"
#include "MAPIFolderFind.h"

namespace {

// Adds a folder's messages and their sizes, reading its contents table in
// chunks so that a folder of any size takes little memory.
void MeasureMessages(IMAPIFolder* folder, CTreeSize& size) {
  CComPtr<IMAPITable> contents;
  if (FAILED(folder->GetContentsTable(0, &contents)) || !contents) return;
  SizedSPropTagArray(1, columns) = {1, {PR_MESSAGE_SIZE}};
  if (FAILED(contents->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) return;
  while (true) {
    CRowSetHolder rows;
    if (FAILED(contents->QueryRows(500, 0, &rows)) || rows.IsEmpty() || rows->cRows == 0) return;
    for (ULONG k = 0; k < rows->cRows; ++k) {
      ++size.messages;
      const SPropValue& v = rows->aRow[k].lpProps[0];
      if (v.ulPropTag == PR_MESSAGE_SIZE && v.Value.l > 0) size.bytes += static_cast<std::uint64_t>(v.Value.l);
    }
  }
}

}  // namespace

CTreeSize MeasureTree(IMAPIFolder* top) {
  CTreeSize size;
  WalkFolderTree(top, [&](IMAPIFolder* folder, int) {
    ++size.folders;
    MeasureMessages(folder, size);
  });
  return size;
}

CTreeSize MeasurePath(IMAPISession* session, const char* path) {
  try {
    CMAPIFolderFind finder(session);
    CComPtr<IMAPIFolder> folder = finder.FindFolder(path);
    return MeasureTree(folder);
  } catch (CException* e) {
    e->Delete();
  } catch (...) {
  }
  return {};
}

CTerminalProgress::CTerminalProgress(bool quiet, int fd) : m_fd(fd), m_active(!quiet && ::isatty(fd) == 1) {
  const char* term = std::getenv("TERM");
  m_plain = term && std::strcmp(term, "dumb") == 0;
  if (m_active) theReportFile.SetEchoNeighbour(this);
}

CTerminalProgress::~CTerminalProgress() {
  if (!m_active) return;
  Clear();
  theReportFile.SetEchoNeighbour(nullptr);
}

void CTerminalProgress::Start(const CTreeSize& total) {
  m_total = total;
  m_started = true;
  m_copying = false;
  m_start = Clock::now();
  m_unitsBefore = m_opDone = m_opTotal = 0;
  Draw(true);
}

void CTerminalProgress::SetPhase(const std::string& text) {
  m_phase = text;
  Draw(true);
}

void CTerminalProgress::SetCounting(bool counting) { m_counting = counting; }

void CTerminalProgress::OnLimits(ULONG min, ULONG) {
  // A new operation: what the last one copied stays counted.
  if (m_opCounting) m_unitsBefore += m_opDone;
  m_opDone = m_opTotal = 0;
  m_lastValue = min;
  m_opCounting = m_counting;
  if (m_opCounting && !m_copying) {
    m_copying = true;
    m_start = Clock::now();
  }
}

void CTerminalProgress::OnProgress(ULONG value, ULONG count, ULONG total) {
  // MAPI reports a new value only when the work moved on; the same value
  // again is a sign of life during a long step (a commit), whatever count
  // it carries.
  if (value != m_lastValue) {
    m_lastValue = value;
    m_opDone = std::min<std::uint64_t>(count, total);
    m_opTotal = total;
  }
  Draw(false);
}

double CTerminalProgress::Share() const {
  const std::uint64_t done = m_unitsBefore + (m_opCounting ? m_opDone : 0);
  const std::uint64_t whole =
      std::max(m_total.folders + m_total.messages, m_unitsBefore + (m_opCounting ? m_opTotal : 0));
  if (whole == 0) return 0;
  return std::min(1.0, static_cast<double>(done) / static_cast<double>(whole));
}

double CTerminalProgress::Elapsed() const {
  return m_copying ? std::chrono::duration<double>(Clock::now() - m_start).count() : 0.0;
}

double CTerminalProgress::RunSeconds() const { return std::chrono::duration<double>(Clock::now() - m_begin).count(); }

std::string CTerminalProgress::Line() const {
  std::string line = m_phase;
  if (!m_started) return line;
  const double share = Share();
  auto part = [&](std::uint64_t whole) { return static_cast<std::uint64_t>(std::llround(share * static_cast<double>(whole))); };
  std::vector<std::string> parts;
  if (m_total.messages || m_total.folders) {
    parts.push_back(Thousands(part(m_total.messages)) + " of " + Thousands(m_total.messages) + " messages");
    parts.push_back(Thousands(part(m_total.folders)) + " of " + Thousands(m_total.folders) +
                    (m_total.folders == 1 ? " folder" : " folders"));
  } else {
    char percent[16];
    std::snprintf(percent, sizeof percent, "%.0f %%", share * 100);
    parts.emplace_back(percent);
  }
  const double elapsed = Elapsed();
  if (m_total.bytes) {
    const std::uint64_t bytes = part(m_total.bytes);
    parts.push_back(Bytes(bytes) + " of " + Bytes(m_total.bytes));
    if (elapsed >= 0.5) parts.push_back(Bytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / elapsed)) + "/s");
  }
  if (elapsed >= 1.0 && share >= 0.01 && share < 1.0) {
    const auto left = static_cast<long>(std::lround(elapsed * (1.0 - share) / share));
    char text[32];
    if (left >= 3600)
      std::snprintf(text, sizeof text, "%ld:%02ld:%02ld left", left / 3600, left / 60 % 60, left % 60);
    else
      std::snprintf(text, sizeof text, "%ld:%02ld left", left / 60, left % 60);
    parts.emplace_back(text);
  }
  for (size_t k = 0; k < parts.size(); ++k) line += (k == 0 ? "  " : ", ") + parts[k];
  return line;
}

void CTerminalProgress::Draw(bool force) {
  if (!m_active) return;
  const Clock::time_point now = Clock::now();
  // At most ten times a second.
  if (!force && m_shown && now - m_lastDraw < std::chrono::milliseconds(100)) return;
  m_lastDraw = now;
  const std::string line = Fit(Line(), Columns() - 1);
  std::string out = "\r" + line;
  if (m_plain) {
    if (m_drawnLength > line.size()) out += std::string(m_drawnLength - line.size(), ' ') + "\r" + line;
  } else {
    out += "\x1b[K";
  }
  Write(out);
  m_drawnLength = line.size();
  m_shown = true;
}

void CTerminalProgress::Clear() {
  if (!m_active || !m_shown) return;
  Write(m_plain ? "\r" + std::string(m_drawnLength, ' ') + "\r" : std::string("\r\x1b[K"));
  m_shown = false;
  m_drawnLength = 0;
}

void CTerminalProgress::BeforeEcho() { Clear(); }

void CTerminalProgress::AfterEcho() {
  if (!m_phase.empty() || m_started) Draw(true);
}

void CTerminalProgress::Finish(const std::string& summary) {
  if (!m_active) return;
  Clear();
  if (!summary.empty()) Write(summary + "\n");
  m_phase.clear();
  m_started = false;
}

void CTerminalProgress::Write(const std::string& text) const {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(m_fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a terminal that went away: the run goes on
    p += n;
    left -= static_cast<size_t>(n);
  }
}

size_t CTerminalProgress::Columns() const {
  winsize ws{};
  if (::ioctl(m_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

std::string CTerminalProgress::Count(std::uint64_t n, const char* one, const char* many) {
  return Thousands(n) + " " + (n == 1 ? one : many);
}

std::string CTerminalProgress::LogNote() {
  const CString path = theReportFile.GetPath();
  return path.IsEmpty() ? std::string() : std::string("; log: ") + path.GetString();
}

std::string CTerminalProgress::Thousands(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

std::string CTerminalProgress::Bytes(std::uint64_t n) {
  static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(n);
  size_t unit = 0;
  while (value >= 999.5 && unit + 1 < std::size(units)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  if (unit == 0 || value >= 99.95)
    std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
  else if (value >= 9.995)
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  else
    std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
  return text;
}

std::string CTerminalProgress::Duration(double seconds) {
  char text[32];
  if (seconds < 59.95) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 3599.5) {
    const long s = std::lround(seconds);
    std::snprintf(text, sizeof text, "%ld min %02ld s", s / 60, s % 60);
  } else {
    const long m = std::lround(seconds / 60);
    std::snprintf(text, sizeof text, "%ld h %02ld min", m / 60, m % 60);
  }
  return text;
}

std::string CTerminalProgress::Fit(const std::string& text, size_t columns) {
  size_t used = 0;
  for (size_t k = 0; k < text.size(); ++k) {
    // A character begins at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) {
      if (used == columns) return text.substr(0, k);
      ++used;
    }
  }
  return text;
}
