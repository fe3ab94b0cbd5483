#include "ReportFile.h"

#include <afxwin.h>

#include <ctime>

CReportFile theReportFile;

namespace {

CString LocalTime(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, format, &local);
  return CString(buffer);
}

// The program's full path without the extension of its file name (a dot in
// a folder name is never cut).
CString ProgramStem() {
  char path[1024] = {};
  GetModuleFileNameA(nullptr, path, 1023);
  CString stem(path);
  const int dot = stem.ReverseFind('.');
  const int slash = std::max(stem.ReverseFind('/'), stem.ReverseFind('\\'));
  if (dot > slash) stem = stem.Left(dot);
  return stem;
}

}  // namespace

CString CReportFile::GetLogFileName() {
  CString name = ProgramStem();
  name += " ";
  name += LocalTime("%Y%m%d_%H%M%S");
  name += ".log";
  return name;
}

CString CReportFile::GetProgramBaseName() {
  CString stem = ProgramStem();
  const int slash = std::max(stem.ReverseFind('/'), stem.ReverseFind('\\'));
  return slash < 0 ? stem : stem.Mid(slash + 1);
}

CString CReportFile::GetLogHeader() {
  CString header;
  header.Format(
      "-----------------------------------------------------------------------------\n"
      "This is %s log file.\n"
      "All lines are prefixed with time of event occurence.\n"
      "Error lines contain ERROR keyword after time stamp.\n"
      "-----------------------------------------------------------------------------\n",
      static_cast<const char*>(GetProgramBaseName()));
  return header;
}

CString CReportFile::GetLinePrefix() { return LocalTime("%d.%m.%Y %H:%M:%S :"); }

void CReportFile::Log(int level, UINT nFormatID, ...) {
  va_list args;
  va_start(args, nFormatID);
  LogV(level, nFormatID, args);
  va_end(args);
}

void CReportFile::Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, format, args);
  va_end(args);
}

void CReportFile::LogV(int level, UINT nFormatID, va_list args) {
  CString format;
  format.LoadString(nFormatID);
  LogV(level, static_cast<const char*>(format), args);
}

void CReportFile::LogV(int level, const char* format, va_list args) {
  va_list forFile;
  va_copy(forFile, args);
  CTeskReportFileT<CString>::LogV(level, format, forFile);
  va_end(forFile);
  if (level != LOG_ERROR) return;
  try {
    CString text;
    va_list forList;
    va_copy(forList, args);
    text.FormatV(format, forList);
    va_end(forList);
    CString line = GetLinePrefix();
    line += text;
    m_listErrors.AddTail(line);
  } catch (...) {
  }
}

const char* CReportFile::LevelWord(int level) {
  return level == LOG_WARNING ? "WARNING" : level == LOG_INFO ? "INFO" : "ERROR";
}

void CReportFile::ReportException(CException* e, int level) {
  try {
    char text[1024] = {};
    e->GetErrorMessage(text, 1023, nullptr);
    if (auto* tesk = dynamic_cast<CTeskException*>(e)) {
      Log(level, "%s: %s, module: %s, line: %d", LevelWord(level), text, static_cast<const char*>(tesk->m_strFile),
          tesk->m_nLine);
    } else {
      Log(level, "%s: %s", LevelWord(level), text);
    }
  } catch (...) {
  }
}
