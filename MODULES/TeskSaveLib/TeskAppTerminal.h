// A batch run's progress on a terminal. While the run copies, one line on
// standard error says how far it is (folders and messages done of the
// total, bytes, rate, time left), redrawn at most ten times a second; at the
// end one line says what the run did and where its log is. Only where
// standard error is a terminal and the run was not asked to be quiet (-q):
// cron mails, redirected output and the log stay as they are.
#pragma once

#include <TeskMAPI.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "ReportFile.h"
#include "TeskSaveProgressT.h"

// What a folder tree holds: the folder itself and every folder below it,
// their messages and the messages' size.
struct CTreeSize {
  std::uint64_t folders = 0;
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
};

// Walks a folder tree (without recursion, as deep as it is) reading each
// folder's message count and sizes from its contents table, in chunks.
// Folders that cannot be opened are left out; nothing is logged.
CTreeSize MeasureTree(IMAPIFolder* top);
// The same for a folder path; empty when the path does not resolve (the
// run itself then says why).
CTreeSize MeasurePath(IMAPISession* session, const char* path);

class CTerminalProgress : public ITeskProgressSink, public CReportFile::CEchoNeighbour {
 public:
  // Active when fd is a terminal and quiet is false; an inactive one draws
  // nothing and costs nothing.
  explicit CTerminalProgress(bool quiet, int fd = STDERR_FILENO);
  virtual ~CTerminalProgress();
  CTerminalProgress(const CTerminalProgress&) = delete;
  CTerminalProgress& operator=(const CTerminalProgress&) = delete;

  bool Active() const { return m_active; }

  // The copying starts: what it copies in all (folders, messages, bytes;
  // zero where unknown). Time and rate count from here.
  void Start(const CTreeSize& total);
  // What the run does now, shown in front of the counts ("Saving",
  // "Clearing Inbox", "Restoring Projects").
  void SetPhase(const std::string& text);
  // Whether the operations MAPI reports from now on copy what Start
  // announced (a restore's clearing does not).
  void SetCounting(bool counting);

  // The run ended: the progress line goes; a summary that is not empty
  // stands in its place.
  void Finish(const std::string& summary);

  // What was copied so far, as a share of the whole (0 to 1).
  double Share() const;
  // Seconds since the first operation that copies began (rate, time left).
  double Elapsed() const;
  // Seconds since the run began (the object was made).
  double RunSeconds() const;
  const CTreeSize& Total() const { return m_total; }
  // The line as it is drawn now (also while inactive).
  std::string Line() const;

  void OnLimits(ULONG min, ULONG max) override;
  void OnProgress(ULONG value, ULONG count, ULONG total) override;
  void BeforeEcho() override;
  void AfterEcho() override;

  // "1 message", "10,000 messages"
  static std::string Count(std::uint64_t n, const char* one, const char* many);
  // "; log: PATH", or nothing when the run has no log file.
  static std::string LogNote();
  // 10,000
  static std::string Thousands(std::uint64_t n);
  // 329 MB, 41.2 MB, 812 kB, 17 B (decimal units, three digits at most)
  static std::string Bytes(std::uint64_t n);
  // 6.6 s, 2 min 05 s, 1 h 02 min
  static std::string Duration(double seconds);
  // The part of text that fits in columns terminal columns, never cutting
  // a UTF-8 sequence (each character counts as one column).
  static std::string Fit(const std::string& text, size_t columns);

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(bool force);
  void Clear();
  void Write(const std::string& text) const;
  size_t Columns() const;

  int m_fd;
  bool m_active;
  bool m_plain;  // a terminal without cursor controls (TERM=dumb)
  bool m_shown = false;
  size_t m_drawnLength = 0;
  std::string m_phase;
  CTreeSize m_total;
  bool m_started = false;
  bool m_counting = true;
  bool m_copying = false;
  Clock::time_point m_begin = Clock::now();
  Clock::time_point m_start;
  Clock::time_point m_lastDraw;
  // Units of the operations already ended, and of the one running now.
  std::uint64_t m_unitsBefore = 0;
  std::uint64_t m_opDone = 0;
  std::uint64_t m_opTotal = 0;
  ULONG m_lastValue = 0;
  bool m_opCounting = true;
};
