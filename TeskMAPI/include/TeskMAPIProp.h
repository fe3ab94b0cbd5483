// The property access that every MAPI wrapper shares.
#pragma once

#include "TeskBinary.h"

template <class T>
class CTeskMAPIProp {
 public:
  virtual ~CTeskMAPIProp() = default;

  // Reads one binary property of the wrapped object into value.
  HRESULT GetBinaryProp(ULONG ulPropTag, CTeskBinary& value) const {
    value.Free();
    IMAPIProp* object = static_cast<const T*>(this)->p;
    if (!object) return E_FAIL;
    CMAPIBufferHolder<> prop;
    HRESULT hr = HrGetOneProp(object, ulPropTag, &prop);
    if (FAILED(hr)) return hr;
    if (prop.HasValue()) value.Assign(prop->Value.bin);
    return S_OK;
  }
};
