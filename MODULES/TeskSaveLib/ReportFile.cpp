#include "ReportFile.h"

#include <afxwin.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

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

// Whether the program lives in one of the system's program folders (a
// package installed it): such a folder is no place for logs, writable or
// not (root may write /usr/bin).
bool InSystemFolder() {
  const CString stem = ProgramStem();
  const int slash = stem.ReverseFind('/');
  if (slash <= 0) return false;
  char* real = ::realpath(std::string(stem.GetString(), static_cast<size_t>(slash)).c_str(), nullptr);
  if (!real) return false;
  const std::string folder(real);
  std::free(real);
  for (const char* system : {"/usr/bin", "/usr/sbin", "/usr/games", "/usr/local/bin", "/usr/local/sbin",
                             "/usr/local/games", "/bin", "/sbin"})
    if (folder == system) return true;
  return false;
}

}  // namespace

CString CReportFile::GetLogFileName() {
  CString name = ProgramStem();
  if (!m_strFolder.IsEmpty()) name = m_strFolder + "/" + GetProgramBaseName();
  name += " ";
  name += LocalTime("%Y%m%d_%H%M%S");
  name += ".log";
  return name;
}

namespace {

// ${XDG_STATE_HOME:-~/.local/state}/tesk, made (owner only) where missing;
// empty when there is no such folder to be had.
std::string StateFolder() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  std::string folder;
  for (std::size_t at = 0; at != std::string::npos;) {
    at = base.find('/', at + 1);
    folder = base.substr(0, at);
    ::mkdir(folder.c_str(), 0700);
  }
  folder += "/tesk";
  ::mkdir(folder.c_str(), 0700);
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return folder;
}

}  // namespace

bool CReportFile::Open(bool truncate) {
  m_strFolder.Empty();
  const CString program = GetProgramBaseName();
  // An installed program's log goes to the state folder as a rule, and
  // nothing is said about it; never next to the program.
  if (InSystemFolder()) {
    const std::string folder = StateFolder();
    if (!folder.empty()) {
      m_strFolder = folder.c_str();
      if (CTeskReportFileT<CString>::Open(truncate)) return true;
    }
    std::string what = "(there is no state folder)";
    if (!folder.empty()) what = std::string(GetLogFileName().GetString()) + " (" + std::strerror(errno) + ")";
    std::fprintf(stderr, "%s: cannot write the log %s; ERROR and WARNING lines go to standard error only\n",
                 program.GetString(), what.c_str());
    std::fflush(stderr);
    return false;
  }
  if (CTeskReportFileT<CString>::Open(truncate)) return true;
  const int why = errno;
  const CString first = GetLogFileName();
  const std::string folder = StateFolder();
  if (!folder.empty()) {
    m_strFolder = folder.c_str();
    if (CTeskReportFileT<CString>::Open(truncate)) {
      std::fprintf(stderr, "%s: cannot write the log %s (%s); writing it to %s\n", program.GetString(),
                   first.GetString(), std::strerror(why), m_strOpenedName.c_str());
      std::fflush(stderr);
      return true;
    }
  }
  std::fprintf(stderr, "%s: cannot write the log %s (%s)%s; ERROR and WARNING lines go to standard error only\n",
               program.GetString(), first.GetString(), std::strerror(why),
               folder.empty() ? ", and there is no state folder" : " nor one in the state folder");
  std::fflush(stderr);
  return false;
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

void CReportFile::WriteLine(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CTeskReportFileT<CString>::LogV(level, format, args);
  va_end(args);
}

void CReportFile::LogV(int level, const char* format, va_list args) {
  if (level > m_nLogLevel) return;
  std::lock_guard<std::recursive_mutex> hold(m_lock);
  try {
    CString text;
    text.FormatV(format, args);
    WriteLine(level, "%s", text.GetString());
    if (level > LOG_WARNING) return;
    CString line = GetLinePrefix();
    line += text;
    if (m_bEcho) {
      if (m_pEchoNeighbour) m_pEchoNeighbour->BeforeEcho();
      std::fprintf(stderr, "%s\n", line.GetString());
      std::fflush(stderr);
      if (m_pEchoNeighbour) m_pEchoNeighbour->AfterEcho();
    }
    if (level == LOG_ERROR) m_listErrors.AddTail(line);
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
      // What the messaging subsystem knows of the failure follows as a warning.
      if (!tesk->m_strDetail.IsEmpty()) Log(1, "%s: %s", LevelWord(1), static_cast<const char*>(tesk->m_strDetail));
    } else {
      Log(level, "%s: %s", LevelWord(level), text);
    }
  } catch (...) {
  }
}

CString CReportFile::GetReportHeader() {
  CString header;
  header.Format(
      "-------------------------------------------------------------\n"
      "This is %s errors report mail.\n"
      "All lines are prefixed with time of event occurence.\n"
      "Error lines contain ERROR keyword after time stamp.\n"
      "--------------------------------------------------------------\n",
      GetProgramBaseName().GetString());
  return header;
}

namespace {

// The length of the piece of at most max bytes that starts text, never
// ending inside a UTF-8 sequence.
int PieceLength(const CString& text, int max) {
  const int length = text.GetLength();
  if (length <= max) return length;
  int cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  if (cut == 0) {  // one sequence longer than a piece: keep it whole
    cut = 1;
    while (cut < length && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
  }
  return cut;
}

const char kReportModule[] = "MODULES\\TeskSaveLib\\ReportFile";

}  // namespace

void CReportFile::SendReportMail(CTeskMAPISession session, CString address) {
  if (!session) throw new CTextException("Cannot send report mail. MAPI session not provided.", kReportModule, 215);
  CTeskMsgStore store(session.OpenDefaultMsgStore());
  CTeskMailMessage message = store.CreateMailMessage();
  CComPtr<IAddrBook> addressBook;
  HRESULT hr = session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &addressBook);
  if (FAILED(hr) || !addressBook)
    throw new CMAPIException(hr, "Cannot send report mail. Failed to open address book.", kReportModule, 222);
  CString type("SMTP");
  message.AddRecipient(addressBook, address.GetBuffer(address.GetLength()), type.GetBuffer(type.GetLength()),
                       address.GetBuffer(address.GetLength()));
  address.ReleaseBuffer();
  type.ReleaseBuffer();
  if (message) {
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT_A;
    subject.Value.lpszA = const_cast<char*>("TeskRestore error report");
    HrSetOneProp(message.p, &subject);
  }
  CString body = GetReportHeader();
  for (POSITION pos = m_listErrors.GetHeadPosition(); pos;) {
    CString line = m_listErrors.GetNext(pos);
    line.Replace('\n', ' ');
    line.Replace('\r', ' ');
    while (!line.IsEmpty()) {
      const int n = PieceLength(line, 65);
      body += line.Left(n);
      body += "\r\n";
      line = line.Mid(n);
    }
  }
  if (message) {
    SPropValue value{};
    value.ulPropTag = PR_BODY_A;
    value.Value.lpszA = body.GetBuffer(body.GetLength());
    HrSetOneProp(message.p, &value);
    body.ReleaseBuffer();
  }
  message.Submit(TRUE);
}
