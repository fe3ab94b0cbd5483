// IUnknown and the link between an interface type and its identifier.
#pragma once

#include <guiddef.h>

constexpr IID IID_IUnknown = MakeOleGuid(0x00000000);

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

// uuidof<I>() gives the identifier of interface I; every interface declares
// its identifier with DECLARE_INTERFACE_IID next to its definition.
template <class I>
struct InterfaceTraits;

#define DECLARE_INTERFACE_IID(I, iid)          \
  template <>                                  \
  struct InterfaceTraits<I> {                  \
    static const IID& Iid() { return iid; }    \
  }

DECLARE_INTERFACE_IID(IUnknown, IID_IUnknown);

template <class I>
const IID& uuidof() {
  return InterfaceTraits<I>::Iid();
}
