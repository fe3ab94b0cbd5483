// The exceptions through which every failure of the programs travels, and
// the texts they give.
#pragma once

#include <afx.h>
#include <mapix.h>

#include <string>

// The published name of a MAPI code, or an empty text.
CString GetMAPIErrorName(HRESULT hr);
// The system's message text for a code (with its line end), or an empty text.
CString GetSystemErrorText(HRESULT hr);

struct MAPIErrorName {
  HRESULT hr;
  const char* name;
};
// 69 codes and their names, then a row with a null name.
extern const MAPIErrorName MAPIErrorNames[];

// Copies text into a caller's buffer the way the exceptions do: at most
// nMaxError characters including the terminating zero.
void CopyErrorText(const CString& text, LPTSTR lpszError, UINT nMaxError);

class CTeskException : public CException {
 public:
  CTeskException(const char* file, int line);
  int ReportError(UINT nType = MB_OK, UINT nMessageID = 0) override;

  CString m_strFile;  // the source file name without its directory
  int m_nLine;
  // What the messaging subsystem said about the failure (its GetLastError
  // text), when it said anything: logged as a WARNING after the ERROR line.
  CString m_strDetail;
};

template <class TBase, class TString>
class CTextExceptionT : public TBase {
 public:
  CTextExceptionT(const char* text, const char* file, int line) : TBase(file, line), m_strText(text) {}
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT = nullptr) override {
    CopyErrorText(m_strText, lpszError, nMaxError);
    return TRUE;
  }
  TString m_strText;
};

template <class TBase, class TString>
class COLEExceptionT : public TBase {
 public:
  COLEExceptionT(HRESULT hr, const char* text, const char* file, int line)
      : TBase(file, line), m_hr(hr), m_strText(text) {}
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT = nullptr) override {
    TString text = GetSystemErrorText(m_hr);
    if (!m_strText.IsEmpty()) {
      text += "\n";
      text += m_strText;
    }
    CopyErrorText(text, lpszError, nMaxError);
    return TRUE;
  }
  HRESULT m_hr;
  TString m_strText;
};

template <class TBase, class TString>
class CMAPIExceptionT : public TBase {
 public:
  CMAPIExceptionT(HRESULT hr, const char* text, const char* file, int line)
      : TBase(hr, text, file, line), m_strMAPIText(text) {}
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT = nullptr) override {
    TString name = GetMAPIErrorName(this->m_hr);
    if (name.IsEmpty()) name = GetSystemErrorText(this->m_hr);
    TString text;
    text.Format("MAPI error %x, %s", static_cast<unsigned>(this->m_hr), static_cast<const char*>(name));
    if (!m_strMAPIText.IsEmpty()) {
      text += " ";
      text += m_strMAPIText;
    }
    CopyErrorText(text, lpszError, nMaxError);
    return TRUE;
  }
  TString m_strMAPIText;
};

using CTextException = CTextExceptionT<CTeskException, CString>;
using COLEException = COLEExceptionT<CTeskException, CString>;
using CMAPIException = CMAPIExceptionT<COLEException, CString>;

// Thrown by value inside the MAPI wrappers and converted at their edge.
class CTeskMAPILibException {
 public:
  CTeskMAPILibException(HRESULT hr, const char* message, const char* file, int line)
      : m_hr(hr), m_strMessage(message ? message : ""), m_strFile(file ? file : ""), m_nLine(line) {}
  virtual ~CTeskMAPILibException() = default;
  CTeskMAPILibException(const CTeskMAPILibException&) = default;
  CTeskMAPILibException& operator=(const CTeskMAPILibException&) = default;

  HRESULT m_hr;
  std::string m_strMessage;
  std::string m_strFile;
  int m_nLine;
  std::string m_strDetail;  // the object's own text of the failure
};

struct CMFCMAPIExceptionTraits {
  [[noreturn]] static void ThrowMAPIException(HRESULT hr, const char* text, const char* file, int line,
                                              const char* detail = nullptr) {
    auto* e = new CMAPIException(hr, text, file, line);
    if (detail) e->m_strDetail = detail;
    throw e;
  }
  [[noreturn]] static void ThrowUnknownException(const char* file, int line) {
    throw new CTextException("Uncought exception in TeskMAPI library", file, line);
  }
};

// The guarded body of a wrapper operation: a CTeskMAPILibException becomes
// the traits' MAPI exception, anything else the unknown exception.
#define TESK_MAPI_TRY try {
#define TESK_MAPI_CATCH(Traits)                                                                        \
  }                                                                                                    \
  catch (const CTeskMAPILibException& caught) {                                                        \
    CTeskMAPILibException e(caught);                                                                   \
    Traits::ThrowMAPIException(e.m_hr, e.m_strMessage.c_str(), e.m_strFile.c_str(), e.m_nLine,        \
                               e.m_strDetail.c_str());                                                 \
  }                                                                                                    \
  catch (...) {                                                                                        \
    Traits::ThrowUnknownException(__FILE__, __LINE__);                                                 \
  }

#define TESK_MAPI_FAIL(hr, message) throw CTeskMAPILibException((hr), (message), __FILE__, __LINE__)
// The same, with the text the failing object gives for it.
#define TESK_MAPI_FAIL_OF(obj, hr, message) throw TeskMAPIFailureOf((obj), (hr), (message), __FILE__, __LINE__)

// The object's own text of its last failure (its GetLastError), empty when
// it said nothing.
template <class Object>
CString LastErrorTextOf(Object* obj, HRESULT hr) {
  CString text;
  LPMAPIERROR error = nullptr;
  if (obj && SUCCEEDED(obj->GetLastError(hr, 0, &error)) && error) {
    if (error->lpszError) text = error->lpszError;
    MAPIFreeBuffer(error);
  }
  return text;
}

// A failure of a MAPI object's call, with the object's own text of it.
template <class Object>
CTeskMAPILibException TeskMAPIFailureOf(Object* obj, HRESULT hr, const char* message, const char* file, int line) {
  CTeskMAPILibException e(hr, message, file, line);
  LPMAPIERROR error = nullptr;
  if (obj && SUCCEEDED(obj->GetLastError(hr, 0, &error)) && error) {
    if (error->lpszError) e.m_strDetail = error->lpszError;
    MAPIFreeBuffer(error);
  }
  return e;
}
