// Counted interface pointers.
#pragma once

#include <unknwn.h>

#include <memory>
#include <type_traits>
#include <utility>

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept = default;
  CComPtr(std::nullptr_t) noexcept {}
  CComPtr(T* other) noexcept : p(other) {
    if (p) p->AddRef();
  }
  CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
  CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
  ~CComPtr() { Release(); }

  CComPtr& operator=(T* other) noexcept {
    if (other != p) {
      if (other) other->AddRef();
      T* old = std::exchange(p, other);
      if (old) old->Release();
    }
    return *this;
  }
  CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
  CComPtr& operator=(CComPtr&& other) noexcept {
    if (this != std::addressof(other)) {
      T* old = std::exchange(p, std::exchange(other.p, nullptr));
      if (old) old->Release();
    }
    return *this;
  }

  void Release() noexcept {
    if (T* old = std::exchange(p, nullptr)) old->Release();
  }
  // Takes over a reference the caller already owns.
  void Attach(T* other) noexcept {
    Release();
    p = other;
  }
  T* Detach() noexcept { return std::exchange(p, nullptr); }

  operator T*() const noexcept { return p; }
  T* operator->() const noexcept { return p; }
  T& operator*() const noexcept { return *p; }
  // Address for an output parameter; the pointer must be empty.
  T** operator&() noexcept { return &p; }
  bool operator!() const noexcept { return p == nullptr; }

  template <class Q>
  HRESULT QueryInterface(Q** pp) const noexcept {
    if (!p) return E_POINTER;
    return p->QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(pp));
  }

  T* p = nullptr;
};

// A counted pointer that queries for its interface when it is given a
// pointer of another interface.
template <class T>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() noexcept = default;
  CComQIPtr(std::nullptr_t) noexcept {}
  CComQIPtr(T* other) noexcept : CComPtr<T>(other) {}
  CComQIPtr(const CComQIPtr& other) noexcept : CComPtr<T>(other.p) {}
  CComQIPtr(const CComPtr<T>& other) noexcept : CComPtr<T>(other.p) {}
  template <class U>
    requires(!std::is_same_v<U, T>)
  CComQIPtr(U* other) noexcept {
    Query(other);
  }
  CComQIPtr& operator=(T* other) noexcept {
    CComPtr<T>::operator=(other);
    return *this;
  }
  CComQIPtr& operator=(const CComQIPtr& other) noexcept {
    CComPtr<T>::operator=(other.p);
    return *this;
  }
  template <class U>
    requires(!std::is_same_v<U, T>)
  CComQIPtr& operator=(U* other) noexcept {
    CComPtr<T>::Release();
    Query(other);
    return *this;
  }

 private:
  template <class U>
  void Query(U* other) noexcept {
    if (other) other->QueryInterface(uuidof<T>(), reinterpret_cast<void**>(&this->p));
  }
};
