// IUnknown and the link between an interface type and its identifier.
#pragma once

#include <guiddef.h>

// Method declaration helpers of the COM headers.
#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif
#ifndef STDMETHOD
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define STDAPI HRESULT
#define PURE = 0
#endif

constexpr IID IID_IUnknown = MakeOleGuid(0x00000000);
inline constexpr IID IID_IClassFactory = MakeOleGuid(0x00000001);

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

// Creates the objects of one class.
struct IClassFactory : public IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};
using LPCLASSFACTORY = IClassFactory*;
DECLARE_INTERFACE_IID(IClassFactory, IID_IClassFactory);
