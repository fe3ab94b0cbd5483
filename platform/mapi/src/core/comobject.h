// Reference counting and interface lookup for the subsystem's objects.
#pragma once

#include <unknwn.h>

#include <atomic>
#include <utility>

namespace tesk::mapi {

// Identifier under which every object of this subsystem hands out a pointer
// to its implementation (ObjectBase*), so that a folder passed in as an
// interface pointer can be recognised as one of ours.
constexpr IID IID_TeskObjectImpl = {0x7E5C0B11, 0x3A52, 0x4C19, {0x9D, 0x10, 0x52, 0x45, 0x53, 0x4B, 0x4F, 0x42}};

class ObjectBase {
 public:
  virtual ~ObjectBase() = default;
};

// Implements IUnknown for a class deriving from one interface chain Top.
// Interfaces lists every identifier the object answers to with this
// pointer (the chain's bases). New objects start with a count of one.
template <class Top, class... Bases>
class UnknownImpl : public Top, public ObjectBase {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_TeskObjectImpl)) {
      *ppv = static_cast<ObjectBase*>(this);
    } else if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, uuidof<Top>()) ||
               ((IsEqualIID(riid, uuidof<Bases>())) || ...)) {
      *ppv = static_cast<Top*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  UnknownImpl() = default;
  ~UnknownImpl() override = default;

 private:
  std::atomic<ULONG> refs_{1};
};

// Finds our implementation behind any interface pointer, or nullptr.
template <class T>
T* ImplOf(IUnknown* p) {
  if (!p) return nullptr;
  void* impl = nullptr;
  if (FAILED(p->QueryInterface(IID_TeskObjectImpl, &impl)) || !impl) return nullptr;
  auto* base = static_cast<ObjectBase*>(impl);
  T* t = dynamic_cast<T*>(base);
  p->Release();  // balance the reference taken by QueryInterface
  return t;
}

// Hands a new object to an output parameter as interface I.
template <class I, class T>
HRESULT Deliver(T* obj, REFIID requested, void** out) {
  HRESULT hr = obj->QueryInterface(requested, out);
  obj->Release();
  return hr;
}

}  // namespace tesk::mapi
