// COM object templates: a class implements its interfaces, derives from
// CComObjectRootEx (reference count, construction hooks) and CComCoClass
// (its class id and creator), lists its interfaces in a COM map, and is
// created as CComObject<Class>:
//
//   class CThing : public CComObjectRootEx<CComSingleThreadModel>,
//                  public CComCoClass<CThing, &CLSID_Thing>,
//                  public IThing {
//    public:
//     DECLARE_REGISTRY_RESOURCEID(IDR_THING)
//     BEGIN_COM_MAP(CThing)
//       COM_INTERFACE_ENTRY(IThing)
//     END_COM_MAP()
//     HRESULT FinalConstruct();  // optional
//     void FinalRelease();       // optional
//     ...
//   };
//
// Interfaces named in COM_INTERFACE_ENTRY need DECLARE_INTERFACE_IID. Class
// ids used as template arguments should be `inline constexpr` so that every
// source file means the same object. Aggregation is not supported.
#pragma once

#include <atlbase.h>

#include <limits>
#include <new>

// ---------------------------------------------------------------------------
// The interface map.

// One interface of a COM map: its id and the casts of the object to it.
template <class T>
struct AtlInterfaceEntry {
  const IID* piid;
  void* (*pfnCast)(T* pThis);
  IUnknown* (*pfnUnknown)(T* pThis);
};

// QueryInterface over a COM map: IID_IUnknown answers with the first entry.
template <class T>
HRESULT AtlInternalQueryInterface(T* pThis, const AtlInterfaceEntry<T>* entries, REFIID iid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (entries[0].piid == nullptr) return E_NOINTERFACE;
  if (IsEqualIID(iid, IID_IUnknown)) {
    IUnknown* unknown = entries[0].pfnUnknown(pThis);
    unknown->AddRef();
    *ppvObject = unknown;
    return S_OK;
  }
  for (const AtlInterfaceEntry<T>* e = entries; e->piid != nullptr; ++e) {
    if (IsEqualIID(*e->piid, iid)) {
      e->pfnUnknown(pThis)->AddRef();
      *ppvObject = e->pfnCast(pThis);
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

#define BEGIN_COM_MAP(x)                                         \
 public:                                                         \
  using _ComMapClass = x;                                        \
  static const ::AtlInterfaceEntry<x>* _GetEntries() {           \
    static const ::AtlInterfaceEntry<x> _entries[] = {

// Interface `x` answering to id `iid`.
#define COM_INTERFACE_ENTRY_IID(iid, x)                                         \
  {&(iid), [](_ComMapClass* p) -> void* { return static_cast<x*>(p); },       \
   [](_ComMapClass* p) -> ::IUnknown* { return static_cast<x*>(p); }},

#define COM_INTERFACE_ENTRY(x) COM_INTERFACE_ENTRY_IID(::uuidof<x>(), x)

// Interface `x` reached through `x2` (when the class derives from x twice).
#define COM_INTERFACE_ENTRY2_IID(iid, x, x2)                                                     \
  {&(iid), [](_ComMapClass* p) -> void* { return static_cast<x*>(static_cast<x2*>(p)); },      \
   [](_ComMapClass* p) -> ::IUnknown* { return static_cast<x*>(static_cast<x2*>(p)); }},

#define COM_INTERFACE_ENTRY2(x, x2) COM_INTERFACE_ENTRY2_IID(::uuidof<x>(), x, x2)

// Also declares the IUnknown methods once for the whole class, so that its
// own code can call AddRef/Release/QueryInterface; CComObject defines them.
#define END_COM_MAP()                                                        \
  {nullptr, nullptr, nullptr}};                                              \
  return _entries;                                                           \
  }                                                                          \
  HRESULT _InternalQueryInterface(REFIID iid, void** ppvObject) {            \
    return ::AtlInternalQueryInterface(this, _GetEntries(), iid, ppvObject); \
  }                                                                          \
  ::IUnknown* GetUnknown() { return _GetEntries()[0].pfnUnknown(this); }     \
  virtual ULONG AddRef() = 0;                                                \
  virtual ULONG Release() = 0;                                               \
  virtual HRESULT QueryInterface(REFIID iid, void** ppvObject) = 0;

// ---------------------------------------------------------------------------
// Object roots.

class CComObjectRootBase {
 public:
  CComObjectRootBase() = default;
  virtual ~CComObjectRootBase() = default;
  CComObjectRootBase(const CComObjectRootBase&) = delete;
  CComObjectRootBase& operator=(const CComObjectRootBase&) = delete;

  // Hooks a class may hide with its own: FinalConstruct runs right after
  // construction (a failure destroys the object), FinalRelease right before
  // destruction.
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}
  HRESULT _AtlInitialConstruct() { return S_OK; }
  void InternalFinalConstructAddRef() {}
  void InternalFinalConstructRelease() {}
  void SetVoid(void*) {}
  static void ObjectMain(bool) {}

  LONG m_dwRef = 0;
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
 public:
  using _ThreadModel = ThreadModel;
  using _CritSec = typename ThreadModel::AutoCriticalSection;

  ULONG InternalAddRef() { return ThreadModel::Increment(&m_dwRef); }
  ULONG InternalRelease() { return ThreadModel::Decrement(&m_dwRef); }
  // The object's own lock (a no-op in the single-thread model).
  void Lock() { m_critsec.Lock(); }
  void Unlock() { m_critsec.Unlock(); }

 private:
  _CritSec m_critsec;
};

using CComObjectRoot = CComObjectRootEx<CComObjectThreadModel>;

// Keeps the object alive (count 1) while FinalConstruct runs.
#define DECLARE_PROTECT_FINAL_CONSTRUCT()                               \
  void InternalFinalConstructAddRef() { this->InternalAddRef(); }      \
  void InternalFinalConstructRelease() { this->InternalRelease(); }

// ---------------------------------------------------------------------------
// Objects.

// The created object: Base with the IUnknown methods. While it exists it
// holds a lock on the module (_pAtlModule).
template <class Base>
class CComObject : public Base {
 public:
  using _BaseClass = Base;

  explicit CComObject(void* = nullptr) {
    if (_pAtlModule) _pAtlModule->Lock();
  }
  ~CComObject() override {
    this->m_dwRef = -(std::numeric_limits<LONG>::max() / 2);  // no resurrection from FinalRelease
    this->FinalRelease();
    if (_pAtlModule) _pAtlModule->Unlock();
  }

  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    const ULONG count = this->InternalRelease();
    if (count == 0) delete this;
    return count;
  }
  HRESULT QueryInterface(REFIID iid, void** ppvObject) override {
    return this->_InternalQueryInterface(iid, ppvObject);
  }
  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(pp));
  }

  // A new object with count 0 after FinalConstruct succeeded; E_OUTOFMEMORY
  // when it cannot be allocated, FinalConstruct's error when that fails.
  static HRESULT CreateInstance(CComObject<Base>** pp);
};

template <class Base>
HRESULT CComObject<Base>::CreateInstance(CComObject<Base>** pp) {
  if (pp == nullptr) return E_POINTER;
  *pp = nullptr;
  CComObject<Base>* p = nullptr;
  try {
    p = new (std::nothrow) CComObject<Base>();
  } catch (const std::bad_alloc&) {
    p = nullptr;
  }
  if (p == nullptr) return E_OUTOFMEMORY;
  p->SetVoid(nullptr);
  p->InternalFinalConstructAddRef();
  HRESULT hr = p->_AtlInitialConstruct();
  if (SUCCEEDED(hr)) hr = p->FinalConstruct();
  p->InternalFinalConstructRelease();
  if (FAILED(hr)) {
    delete p;
    return hr;
  }
  *pp = p;
  return hr;
}

// Creates an object of T1 (a CComObject) and asks it for riid.
template <class T1>
class CComCreator {
 public:
  static HRESULT CreateInstance(void* pUnkOuter, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    T1* p = nullptr;
    HRESULT hr = T1::CreateInstance(&p);
    if (FAILED(hr)) return hr;
    p->AddRef();
    hr = p->QueryInterface(riid, ppv);
    p->Release();
    return hr;
  }
};

#define DECLARE_NOT_AGGREGATABLE(x) \
 public:                            \
  using _CreatorClass = ::CComCreator<::CComObject<x>>;
#define DECLARE_AGGREGATABLE(x) DECLARE_NOT_AGGREGATABLE(x)
#define DECLARE_CLASSFACTORY()

// The class's registration: the registrar script registered for resource x.
#define DECLARE_REGISTRY_RESOURCEID(x)                                                       \
  static HRESULT UpdateRegistry(BOOL bRegister) {                                            \
    return ::_pAtlModule ? ::_pAtlModule->UpdateRegistryFromResource(x, bRegister) : E_UNEXPECTED; \
  }
#define DECLARE_NO_REGISTRY() \
  static HRESULT UpdateRegistry(BOOL) { return S_OK; }

// The class id and creator of a creatable class.
template <class T, const CLSID* pclsid = &CLSID_NULL>
class CComCoClass {
 public:
  DECLARE_AGGREGATABLE(T)

  static const CLSID& GetObjectCLSID() { return *pclsid; }
  static const char* GetObjectDescription() { return nullptr; }

  // A new object of T, asked for interface Q.
  template <class Q>
  static HRESULT CreateInstance(Q** pp) {
    return T::_CreatorClass::CreateInstance(nullptr, uuidof<Q>(), reinterpret_cast<void**>(pp));
  }
};

// ---------------------------------------------------------------------------
// The object map of the module (see CComModule::Init).
#define BEGIN_OBJECT_MAP(x) static _ATL_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, class_name)                                                        \
  {&(clsid), &class_name::UpdateRegistry, &class_name::_CreatorClass::CreateInstance,         \
   &class_name::GetObjectDescription, &class_name::ObjectMain, nullptr, 0},
// A class that is registered but not created from outside.
#define OBJECT_ENTRY_NON_CREATEABLE(class_name)                                                \
  {&CLSID_NULL, &class_name::UpdateRegistry, nullptr, nullptr, &class_name::ObjectMain, nullptr, 0},
#define END_OBJECT_MAP() \
  {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0}};
