// Owned binary values (entry identifiers above all) and scoped holders of
// MAPI-allocated memory.
#pragma once

#include <mapiutil.h>

#include <cstring>

class CTeskBinary : public SBinary {
 public:
  CTeskBinary() : SBinary{0, nullptr} {}
  CTeskBinary(ULONG cbData, const BYTE* data) : SBinary{0, nullptr} { Assign(SBinary{cbData, const_cast<LPBYTE>(data)}); }
  CTeskBinary(const SBinary& other) : SBinary{0, nullptr} { Assign(other); }
  CTeskBinary(const CTeskBinary& other) : SBinary{0, nullptr} { Assign(other); }
  virtual ~CTeskBinary() { ReleaseBytes(); }

  CTeskBinary& operator=(const SBinary& other) {
    Assign(other);
    return *this;
  }
  CTeskBinary& operator=(const CTeskBinary& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  // Replaces the held bytes by a copy of the given ones; an allocation
  // failure leaves the holder empty.
  void Assign(const SBinary& source) {
    // Copy first: the source may be this holder's own bytes.
    LPBYTE copy = nullptr;
    const ULONG cbSource = source.cb;
    if (cbSource != 0 && source.lpb != nullptr) {
      void* buffer = nullptr;
      if (SUCCEEDED(MAPIAllocateBuffer(cbSource, &buffer))) {
        std::memcpy(buffer, source.lpb, cbSource);
        copy = static_cast<LPBYTE>(buffer);
      }
    }
    Free();
    if (copy) {
      lpb = copy;
      cb = cbSource;
    }
  }

  bool IsEqual(const SBinary& other) const {
    if (lpb == other.lpb) return true;
    if (!lpb || !other.lpb || cb != other.cb) return false;
    return std::memcmp(lpb, other.lpb, cb) == 0;
  }
  bool HasData() const { return cb != 0 && lpb != nullptr; }

  virtual void Free() { ReleaseBytes(); }

 private:
  void ReleaseBytes() {
    if (lpb) MAPIFreeBuffer(lpb);
    lpb = nullptr;
    cb = 0;
  }
};

// Holds one buffer that MAPI allocated; frees it when destroyed or reset.
template <class T = SPropValue>
class CMAPIBufferHolder {
 public:
  CMAPIBufferHolder() = default;
  explicit CMAPIBufferHolder(T* p) : p_(p) {}
  ~CMAPIBufferHolder() { Reset(); }
  CMAPIBufferHolder(const CMAPIBufferHolder&) = delete;
  CMAPIBufferHolder& operator=(const CMAPIBufferHolder&) = delete;

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T** operator&() {
    Reset();
    return &p_;
  }
  bool IsEmpty() const { return p_ == nullptr; }
  // For a property value: present and not an error value.
  bool HasValue() const
    requires std::is_same_v<T, SPropValue>
  {
    return p_ && PROP_TYPE(p_->ulPropTag) != PT_ERROR;
  }
  void Reset(T* p = nullptr) {
    if (p_) MAPIFreeBuffer(p_);
    p_ = p;
  }

 private:
  T* p_ = nullptr;
};

// Holds a row set; frees it with FreeProws.
class CRowSetHolder {
 public:
  CRowSetHolder() = default;
  ~CRowSetHolder() { Reset(); }
  CRowSetHolder(const CRowSetHolder&) = delete;
  CRowSetHolder& operator=(const CRowSetHolder&) = delete;

  LPSRowSet Get() const { return p_; }
  LPSRowSet operator->() const { return p_; }
  LPSRowSet* operator&() {
    Reset();
    return &p_;
  }
  bool IsEmpty() const { return p_ == nullptr; }
  void Reset(LPSRowSet p = nullptr) {
    if (p_) FreeProws(p_);
    p_ = p;
  }

 private:
  LPSRowSet p_ = nullptr;
};
