// The progress object MAPI reports to during long folder operations. In a
// dialog run it relays every value and range to the dialog's window; in a
// batch run it has no window and reports nothing, unless the run shows its
// progress on a terminal (a sink, below).
#pragma once

#include <atlbase.h>
#include <atlcom.h>
#include <mapidefs.h>
#include <windows.h>
#include <winuser.h>

constexpr UINT WM_PROGRESS_POS = WM_USER + 100;
constexpr UINT WM_PROGRESS_RANGE = WM_USER + 101;

// Where a batch run's progress object also hands what MAPI reports: the
// start of each operation (its range) and every step of it, with the units
// done and the operation's total.
class ITeskProgressSink {
 public:
  virtual void OnLimits(ULONG min, ULONG max) = 0;
  virtual void OnProgress(ULONG value, ULONG count, ULONG total) = 0;

 protected:
  ~ITeskProgressSink() = default;
};

template <class Interface>
class CTeskSaveProgressT : public Interface, public IMAPIProgress {
 public:
  void SetNotifyWindow(HWND hWnd) { m_hWndNotify = hWnd; }
  void SetSink(ITeskProgressSink* sink) { m_pSink = sink; }

  HRESULT Progress(ULONG ulValue, ULONG ulCount, ULONG ulTotal) override {
    if (m_hWndNotify) ::SendMessage(m_hWndNotify, WM_PROGRESS_POS, 0, static_cast<LPARAM>(ulValue));
    if (m_pSink) m_pSink->OnProgress(ulValue, ulCount, ulTotal);
    return S_OK;
  }
  HRESULT GetFlags(ULONG* lpulFlags) override {
    *lpulFlags |= MAPI_TOP_LEVEL;
    return S_OK;
  }
  HRESULT GetMax(ULONG* lpulMax) override {
    *lpulMax = 1000;
    return S_OK;
  }
  HRESULT GetMin(ULONG* lpulMin) override {
    *lpulMin = 1;
    return S_OK;
  }
  HRESULT SetLimits(ULONG* lpulMin, ULONG* lpulMax, ULONG*) override {
    if (m_hWndNotify)
      ::SendMessage(m_hWndNotify, WM_PROGRESS_RANGE, static_cast<WPARAM>(*lpulMin), static_cast<LPARAM>(*lpulMax));
    if (m_pSink) m_pSink->OnLimits(*lpulMin, *lpulMax);
    return S_OK;
  }

 protected:
  virtual ~CTeskSaveProgressT() = default;
  HWND m_hWndNotify = nullptr;
  ITeskProgressSink* m_pSink = nullptr;
};

struct ITeskSaveProgress : IUnknown {
 protected:
  ~ITeskSaveProgress() = default;
};
inline constexpr IID IID_ITeskSaveProgress = {0x68B7B9B6, 0x2A64, 0x4733, {0xBF, 0xA5, 0x1D, 0x5C, 0xE5, 0x28, 0xCF, 0x27}};
inline constexpr CLSID CLSID_TeskSaveProgress = {0x96B524BE, 0x0D50, 0x45DE, {0x8C, 0x66, 0xF4, 0xF0, 0x44, 0xC3, 0x17, 0xB4}};
DECLARE_INTERFACE_IID(ITeskSaveProgress, IID_ITeskSaveProgress);

class CTeskSaveProgress : public CTeskSaveProgressT<ITeskSaveProgress>,
                          public CComObjectRootEx<CComSingleThreadModel>,
                          public CComCoClass<CTeskSaveProgress, &CLSID_TeskSaveProgress> {
 public:
  BEGIN_COM_MAP(CTeskSaveProgress)
  COM_INTERFACE_ENTRY(ITeskSaveProgress)
  COM_INTERFACE_ENTRY(IMAPIProgress)
  END_COM_MAP()
};

// Creates a progress object in-process and hands out its IMAPIProgress
// (empty when it cannot be created).
template <class T>
CComPtr<IMAPIProgress> CreateProgressObject(HWND notify = nullptr, ITeskProgressSink* sink = nullptr) {
  CComObject<T>* object = nullptr;
  CComPtr<IMAPIProgress> progress;
  if (SUCCEEDED(CComObject<T>::CreateInstance(&object)) && object) {
    object->SetNotifyWindow(notify);
    object->SetSink(sink);
    progress = static_cast<IMAPIProgress*>(object);
  }
  return progress;
}
