// The progress object of the tests: records what an operation reports and,
// with cancel set, asks it to stop at its first report. onProgress (when
// set) hears every value too (store_tool prints them for its parent).
#pragma once

#include <mapix.h>

#include <functional>
#include <vector>

namespace testing_support {

class CountingProgress final : public IMAPIProgress {
 public:
  std::vector<ULONG> values;  // every value reported, in order
  int progressCalls = 0;
  int limits = 0;  // SetLimits calls
  bool cancel = false;
  std::function<void(ULONG)> onProgress;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    *ppv = IsEqualIID(riid, IID_IMAPIProgress) || IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  // Lives on the test's stack: references are not counted.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT Progress(ULONG value, ULONG, ULONG) override {
    ++progressCalls;
    values.push_back(value);
    if (onProgress) onProgress(value);
    return cancel ? MAPI_E_USER_CANCEL : S_OK;
  }
  HRESULT GetFlags(ULONG* flags) override {
    *flags |= MAPI_TOP_LEVEL;
    return S_OK;
  }
  HRESULT GetMax(ULONG* max) override {
    *max = 1000;
    return S_OK;
  }
  HRESULT GetMin(ULONG* min) override {
    *min = 1;
    return S_OK;
  }
  HRESULT SetLimits(ULONG*, ULONG*, ULONG*) override {
    ++limits;
    return S_OK;
  }
};

}  // namespace testing_support
