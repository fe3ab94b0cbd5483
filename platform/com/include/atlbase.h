// Counted interface pointers, threading models and the COM module of a
// server program (class objects, registration, lock count).
#pragma once

#include <objbase.h>
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <mutex>
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

// ---------------------------------------------------------------------------
// Critical sections and threading models.

class CComCriticalSection {
 public:
  HRESULT Init() { return S_OK; }
  HRESULT Term() { return S_OK; }
  HRESULT Lock() {
    m_sec.lock();
    return S_OK;
  }
  HRESULT Unlock() {
    m_sec.unlock();
    return S_OK;
  }

 private:
  std::recursive_mutex m_sec;
};

class CComAutoCriticalSection : public CComCriticalSection {};

class CComFakeCriticalSection {
 public:
  HRESULT Init() { return S_OK; }
  HRESULT Term() { return S_OK; }
  HRESULT Lock() { return S_OK; }
  HRESULT Unlock() { return S_OK; }
};

// Objects used by one thread only: plain counts, no locking.
class CComSingleThreadModel {
 public:
  static ULONG Increment(LONG* p) noexcept { return static_cast<ULONG>(++*p); }
  static ULONG Decrement(LONG* p) noexcept { return static_cast<ULONG>(--*p); }
  using AutoCriticalSection = CComFakeCriticalSection;
  using CriticalSection = CComFakeCriticalSection;
  using ThreadModelNoCS = CComSingleThreadModel;
};

// Objects shared between threads: atomic counts, real locks.
class CComMultiThreadModel {
 public:
  static ULONG Increment(LONG* p) noexcept { return static_cast<ULONG>(std::atomic_ref<LONG>(*p).fetch_add(1) + 1); }
  static ULONG Decrement(LONG* p) noexcept { return static_cast<ULONG>(std::atomic_ref<LONG>(*p).fetch_sub(1) - 1); }
  using AutoCriticalSection = CComAutoCriticalSection;
  using CriticalSection = CComCriticalSection;
  using ThreadModelNoCS = CComMultiThreadModel;
};

using CComObjectThreadModel = CComSingleThreadModel;
using CComGlobalsThreadModel = CComSingleThreadModel;

// ---------------------------------------------------------------------------
// The module: the program's table of COM classes (the object map), its lock
// count and its registration.

// One class of the object map (see BEGIN_OBJECT_MAP in atlcom.h).
struct _ATL_OBJMAP_ENTRY {
  const CLSID* pclsid;
  HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
  // Creates an object (nullptr: the class cannot be created from outside).
  HRESULT (*pfnCreateInstance)(void* pUnkOuter, REFIID riid, void** ppv);
  const char* (*pfnGetObjectDescription)();
  void (*pfnObjectMain)(bool bStarting);
  IUnknown* pCF;     // the class object while registered
  DWORD dwRegister;  // its CoRegisterClassObject cookie
};

// A replacement of registrar scripts: %szKey% stands for szData. Arrays end
// with {nullptr, nullptr}.
struct _ATL_REGMAP_ENTRY {
  const char* szKey;
  const char* szData;
};

class CComModule {
 public:
  // The module constructed first becomes _pAtlModule.
  CComModule();
  virtual ~CComModule();
  CComModule(const CComModule&) = delete;
  CComModule& operator=(const CComModule&) = delete;

  HRESULT Init(_ATL_OBJMAP_ENTRY* p, HINSTANCE h, const GUID* plibid = nullptr);
  // Revokes class objects still registered and forgets the object map.
  void Term();

  // The lock count: every live COM object holds one, and so does every
  // IClassFactory::LockServer(TRUE). A server may override Unlock to end
  // the program when the count drops to zero.
  virtual LONG Lock();
  virtual LONG Unlock();
  LONG GetLockCount() const { return m_nLockCnt.load(); }

  HINSTANCE GetModuleInstance() const { return m_hInst; }
  HINSTANCE GetResourceInstance() const { return m_hInstResource; }
  HINSTANCE GetTypeLibInstance() const { return m_hInstTypeLib; }

  // Registers a class object for every creatable class of the object map
  // with CoRegisterClassObject.
  HRESULT RegisterClassObjects(DWORD dwClsContext, DWORD dwFlags);
  HRESULT RevokeClassObjects();
  // The class object of a class of the object map.
  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

  // Runs every class's UpdateRegistry (only pCLSID's when given). There are
  // no type libraries here: bRegTypeLib changes nothing.
  HRESULT RegisterServer(BOOL bRegTypeLib = FALSE, const CLSID* pCLSID = nullptr);
  HRESULT UnregisterServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = nullptr);
  HRESULT UnregisterServer(const CLSID* pCLSID = nullptr) { return UnregisterServer(FALSE, pCLSID); }

  // Applies a registrar script (see statreg.h): the one registered for
  // nResID with RegisterRegistryScript, or the given text. %MODULE% stands
  // for the program's path; pMapEntries add replacements.
  HRESULT UpdateRegistryFromResource(UINT nResID, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries = nullptr);
  HRESULT UpdateRegistryFromResourceD(UINT nResID, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries = nullptr) {
    return UpdateRegistryFromResource(nResID, bRegister, pMapEntries);
  }
  HRESULT UpdateRegistryFromResourceS(UINT nResID, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries = nullptr) {
    return UpdateRegistryFromResource(nResID, bRegister, pMapEntries);
  }
  HRESULT UpdateRegistryFromText(const char* script, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries = nullptr);

  _ATL_OBJMAP_ENTRY* m_pObjMap = nullptr;
  HINSTANCE m_hInst = nullptr;
  HINSTANCE m_hInstResource = nullptr;
  HINSTANCE m_hInstTypeLib = nullptr;
  const GUID* m_plibid = nullptr;
  // The thread that runs the server (set by the program).
  DWORD dwThreadID = 0;

 protected:
  std::atomic<LONG> m_nLockCnt{0};
};

// The program's module (null until one exists).
extern CComModule* _pAtlModule;
