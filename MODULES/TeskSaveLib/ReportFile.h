// The run's log file and the collection of its ERROR lines.
#pragma once

#include <afx.h>
#include <TeskMAPI.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <fstream>
#include <mutex>
#include <string>

// Log levels.
constexpr int LOG_ERROR = 0;
constexpr int LOG_WARNING = 1;
constexpr int LOG_INFO = 2;

template <class TString>
class CTeskReportFileT : public std::basic_ofstream<char> {
 public:
  // Unbuffered: each line reaches the file in one write of its own (see
  // WriteWhole), whoever opened the stream.
  CTeskReportFileT() { rdbuf()->pubsetbuf(nullptr, 0); }

  // Opens the log file and writes its header. The file is always opened for
  // appending: two runs started in the same second share the name, and the
  // second one must not empty the first one's file (its ERROR lines with
  // it). Both runs' lines then stand in the file, each line whole. The
  // truncate flag is kept for the callers; it empties nothing.
  virtual bool Open(bool /*truncate*/) {
    try {
      // The file is opened here first: never through a symbolic link put in
      // its place, never inherited by a child, readable by its owner only.
      // The stream then takes the very file opened.
      const TString name = GetLogFileName();
      const int fd = ::open(static_cast<const char*>(name), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                            0600);
      if (fd < 0) return false;
      m_strOpenedName = static_cast<const char*>(name);
      open("/proc/self/fd/" + std::to_string(fd), std::ios::out | std::ios::app);
      ::close(fd);
      if (!good()) return false;
      std::string header = static_cast<const char*>(GetLogHeader());
      header += "\n";
      WriteWhole(header);
      return good();
    } catch (...) {
      return false;
    }
  }
  virtual TString GetLogFileName() = 0;
  virtual TString GetLogHeader() = 0;
  virtual TString GetLinePrefix() { return TString(); }

  virtual void Log(int level, UINT nFormatID, ...) {
    va_list args;
    va_start(args, nFormatID);
    LogV(level, nFormatID, args);
    va_end(args);
  }
  virtual void Log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, format, args);
    va_end(args);
  }
  virtual void LogV(int level, UINT nFormatID, va_list args) {
    TString format;
    format.LoadString(nFormatID);
    CTeskReportFileT::LogV(level, static_cast<const char*>(format), args);
  }
  virtual void LogV(int level, const char* format, va_list args) {
    try {
      if (!good() || level > m_nLogLevel) return;
      TString text;
      text.FormatV(format, args);
      std::string line = static_cast<const char*>(GetLinePrefix());
      line += static_cast<const char*>(text);
      line += '\n';
      WriteWhole(line);
    } catch (...) {
    }
  }

 protected:
  // Hands text to the file in one piece: with the stream unbuffered and
  // the file opened for appending, that is one write(2) at the file's end,
  // which another process appending to the same file cannot split. A short
  // write leaves the stream bad, so that no later line is written.
  void WriteWhole(const std::string& text) {
    if (rdbuf()->sputn(text.data(), static_cast<std::streamsize>(text.size())) !=
        static_cast<std::streamsize>(text.size()))
      setstate(std::ios::badbit);
    flush();
  }

  int m_nLogLevel = 2;
  // The name of the file Open opened last.
  std::string m_strOpenedName;
};

class CReportFile : public CTeskReportFileT<CString> {
 public:
  CString GetLogFileName() override;
  CString GetLogHeader() override;
  CString GetLinePrefix() override;

  void Log(int level, UINT nFormatID, ...) override;
  void Log(int level, const char* format, ...) override;
  void LogV(int level, UINT nFormatID, va_list args) override;
  void LogV(int level, const char* format, va_list args) override;

  // Opens the log next to the program; where that cannot be written (a
  // program in a system folder), in the user's state folder
  // (${XDG_STATE_HOME:-~/.local/state}/tesk), saying so on standard error.
  bool Open(bool truncate) override;
  // The file the log went to; empty while none is open.
  CString GetPath() const { return is_open() ? CString(m_strOpenedName.c_str()) : CString(); }
  // ERROR and WARNING lines are also written to standard error (on by
  // default, so a run from a terminal or cron is never blind).
  void SetEcho(bool echo) { m_bEcho = echo; }
  // What else a run draws on standard error (a batch run's progress line
  // on a terminal): it steps aside before an echoed line and comes back
  // after it, so that the two never run into each other.
  class CEchoNeighbour {
   public:
    virtual void BeforeEcho() = 0;
    virtual void AfterEcho() = 0;

   protected:
    ~CEchoNeighbour() = default;
  };
  void SetEchoNeighbour(CEchoNeighbour* neighbour) { m_pEchoNeighbour = neighbour; }

  // Logs a caught exception as one line; does not delete it.
  void ReportException(CException* e, int level = LOG_ERROR);
  bool HasErrors() const { return !m_listErrors.IsEmpty(); }
  const CStringList& Errors() const { return m_listErrors; }

  // The header of the error report mail.
  CString GetReportHeader();
  // Mails every collected ERROR line to address through the session.
  void SendReportMail(CTeskMAPISession session, CString address);

  // The program's name: its path without directory and extension.
  static CString GetProgramBaseName();
  static const char* LevelWord(int level);

 protected:
  CStringList m_listErrors;
  // A line at a time: the providers warn from the copy engine's second thread.
  std::recursive_mutex m_lock;
  // The line to the file alone.
  void WriteLine(int level, const char* format, ...);
  // Where the log goes instead of the program's folder; empty: there.
  CString m_strFolder;
  bool m_bEcho = true;
  CEchoNeighbour* m_pEchoNeighbour = nullptr;
};

// The program's one report file.
extern CReportFile theReportFile;
