#include "TeskException.h"

#include <cstring>

const MAPIErrorName MAPIErrorNames[] = {
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT"},
    {MAPI_E_BAD_CHARWIDTH, "MAPI_E_BAD_CHARWIDTH"},
    {MAPI_E_STRING_TOO_LONG, "MAPI_E_STRING_TOO_LONG"},
    {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS"},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID"},
    {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT"},
    {MAPI_E_OBJECT_CHANGED, "MAPI_E_OBJECT_CHANGED"},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED"},
    {MAPI_E_BUSY, "MAPI_E_BUSY"},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK"},
    {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES"},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
    {MAPI_E_VERSION, "MAPI_E_VERSION"},
    {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED"},
    {MAPI_E_SESSION_LIMIT, "MAPI_E_SESSION_LIMIT"},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL"},
    {MAPI_E_UNABLE_TO_ABORT, "MAPI_E_UNABLE_TO_ABORT"},
    {MAPI_E_NETWORK_ERROR, "MAPI_E_NETWORK_ERROR"},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR"},
    {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX"},
    {MAPI_E_BAD_COLUMN, "MAPI_E_BAD_COLUMN"},
    {MAPI_E_EXTENDED_ERROR, "MAPI_E_EXTENDED_ERROR"},
    {MAPI_E_COMPUTED, "MAPI_E_COMPUTED"},
    {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA"},
    {MAPI_E_UNCONFIGURED, "MAPI_E_UNCONFIGURED"},
    {MAPI_E_FAILONEPROVIDER, "MAPI_E_FAILONEPROVIDER"},
    {MAPI_E_UNKNOWN_CPID, "MAPI_E_UNKNOWN_CPID"},
    {MAPI_E_UNKNOWN_LCID, "MAPI_E_UNKNOWN_LCID"},
    {MAPI_E_PASSWORD_CHANGE_REQUIRED, "MAPI_E_PASSWORD_CHANGE_REQUIRED"},
    {MAPI_E_PASSWORD_EXPIRED, "MAPI_E_PASSWORD_EXPIRED"},
    {MAPI_E_INVALID_WORKSTATION_ACCOUNT, "MAPI_E_INVALID_WORKSTATION_ACCOUNT"},
    {MAPI_E_INVALID_ACCESS_TIME, "MAPI_E_INVALID_ACCESS_TIME"},
    {MAPI_E_ACCOUNT_DISABLED, "MAPI_E_ACCOUNT_DISABLED"},
    {MAPI_E_END_OF_SESSION, "MAPI_E_END_OF_SESSION"},
    {MAPI_E_UNKNOWN_ENTRYID, "MAPI_E_UNKNOWN_ENTRYID"},
    {MAPI_E_MISSING_REQUIRED_COLUMN, "MAPI_E_MISSING_REQUIRED_COLUMN"},
    {MAPI_W_NO_SERVICE, "MAPI_W_NO_SERVICE"},
    {MAPI_E_BAD_VALUE, "MAPI_E_BAD_VALUE"},
    {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE"},
    {MAPI_E_TYPE_NO_SUPPORT, "MAPI_E_TYPE_NO_SUPPORT"},
    {MAPI_E_UNEXPECTED_TYPE, "MAPI_E_UNEXPECTED_TYPE"},
    {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG"},
    {MAPI_E_DECLINE_COPY, "MAPI_E_DECLINE_COPY"},
    {MAPI_E_UNEXPECTED_ID, "MAPI_E_UNEXPECTED_ID"},
    {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED"},
    {MAPI_E_UNABLE_TO_COMPLETE, "MAPI_E_UNABLE_TO_COMPLETE"},
    {MAPI_E_TIMEOUT, "MAPI_E_TIMEOUT"},
    {MAPI_E_TABLE_EMPTY, "MAPI_E_TABLE_EMPTY"},
    {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG"},
    {MAPI_E_INVALID_BOOKMARK, "MAPI_E_INVALID_BOOKMARK"},
    {MAPI_W_POSITION_CHANGED, "MAPI_W_POSITION_CHANGED"},
    {MAPI_W_APPROX_COUNT, "MAPI_W_APPROX_COUNT"},
    {MAPI_E_WAIT, "MAPI_E_WAIT"},
    {MAPI_E_CANCEL, "MAPI_E_CANCEL"},
    {MAPI_E_NOT_ME, "MAPI_E_NOT_ME"},
    {MAPI_W_CANCEL_MESSAGE, "MAPI_W_CANCEL_MESSAGE"},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE"},
    {MAPI_E_NOT_IN_QUEUE, "MAPI_E_NOT_IN_QUEUE"},
    {MAPI_E_NO_SUPPRESS, "MAPI_E_NO_SUPPRESS"},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION"},
    {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED"},
    {MAPI_E_NON_STANDARD, "MAPI_E_NON_STANDARD"},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS"},
    {MAPI_E_SUBMITTED, "MAPI_E_SUBMITTED"},
    {MAPI_E_HAS_FOLDERS, "MAPI_E_HAS_FOLDERS"},
    {MAPI_E_HAS_MESSAGES, "MAPI_E_HAS_MESSAGES"},
    {MAPI_E_FOLDER_CYCLE, "MAPI_E_FOLDER_CYCLE"},
    {MAPI_W_PARTIAL_COMPLETION, "MAPI_W_PARTIAL_COMPLETION"},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP"},
    {0, nullptr},
};

CString GetMAPIErrorName(HRESULT hr) {
  if (hr == 0) return CString();
  for (const MAPIErrorName* row = MAPIErrorNames; row->name; ++row)
    if (row->hr == hr) return CString(row->name);
  return CString();
}

CString GetSystemErrorText(HRESULT hr) {
  LPSTR buffer = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  CString text;
  if (n && buffer) text = buffer;
  if (buffer) LocalFree(buffer);
  return text;
}

void CopyErrorText(const CString& text, LPTSTR lpszError, UINT nMaxError) {
  if (!lpszError || nMaxError == 0) return;
  const UINT length = static_cast<UINT>(text.GetLength());
  const UINT copied = (nMaxError < length + 1 ? nMaxError : length + 1) - 1;
  std::memcpy(lpszError, static_cast<const char*>(text), copied);
  lpszError[copied] = '\0';
}

namespace {
CString StripDirectory(const char* file) {
  CString f(file);
  int cut = f.ReverseFind('\\');
  if (cut < 0) cut = f.ReverseFind('/');
  return cut < 0 ? f : f.Mid(cut + 1);
}
}  // namespace

CTeskException::CTeskException(const char* file, int line) : m_strFile(StripDirectory(file)), m_nLine(line) {}

int CTeskException::ReportError(UINT nType, UINT nMessageID) {
  char text[4095];
  if (GetErrorMessage(text, sizeof text, nullptr)) return AfxMessageBox(text, nType);
  if (nMessageID != 0) {
    CString resource;
    resource.LoadString(nMessageID);
    return AfxMessageBox(resource, nType);
  }
  CString prompt;
  prompt.LoadString(AFX_IDP_NO_ERROR_AVAILABLE);
  return AfxMessageBox(prompt, nType);
}
