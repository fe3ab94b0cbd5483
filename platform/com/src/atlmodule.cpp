// CComModule: the object map's class objects, registration, lock count.
#include <atlbase.h>
#include <statreg.h>

#include <atomic>
#include <string>

CComModule* _pAtlModule = nullptr;

namespace {

// The class object of one class of the object map. Class objects do not
// lock the module (only LockServer does).
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(HRESULT (*create)(void*, REFIID, void**)) : create_(create) {}
  virtual ~ClassFactory() = default;
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      AddRef();
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
  }
  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    return create_(pUnkOuter, riid, ppvObject);
  }
  HRESULT LockServer(BOOL fLock) override {
    if (_pAtlModule) {
      if (fLock) {
        _pAtlModule->Lock();
      } else {
        _pAtlModule->Unlock();
      }
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  HRESULT (*create_)(void*, REFIID, void**);
};

}  // namespace

CComModule::CComModule() {
  if (_pAtlModule == nullptr) _pAtlModule = this;
}

CComModule::~CComModule() {
  if (_pAtlModule == this) _pAtlModule = nullptr;
}

HRESULT CComModule::Init(_ATL_OBJMAP_ENTRY* p, HINSTANCE h, const GUID* plibid) {
  m_pObjMap = p;
  m_hInst = m_hInstResource = m_hInstTypeLib = h;
  m_plibid = plibid;
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pfnObjectMain) e->pfnObjectMain(true);
  }
  return S_OK;
}

void CComModule::Term() {
  RevokeClassObjects();
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pfnObjectMain) e->pfnObjectMain(false);
  }
  m_pObjMap = nullptr;
}

LONG CComModule::Lock() { return ++m_nLockCnt; }

LONG CComModule::Unlock() { return --m_nLockCnt; }

HRESULT CComModule::RegisterClassObjects(DWORD dwClsContext, DWORD dwFlags) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pfnCreateInstance == nullptr || e->pCF != nullptr) continue;
    auto* factory = new ClassFactory(e->pfnCreateInstance);
    const HRESULT hr = CoRegisterClassObject(*e->pclsid, factory, dwClsContext, dwFlags, &e->dwRegister);
    if (FAILED(hr)) {
      factory->Release();
      return hr;
    }
    e->pCF = factory;
  }
  return S_OK;
}

HRESULT CComModule::RevokeClassObjects() {
  HRESULT result = S_OK;
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pCF == nullptr) continue;
    const HRESULT hr = CoRevokeClassObject(e->dwRegister);
    if (FAILED(hr)) result = hr;
    e->pCF->Release();
    e->pCF = nullptr;
    e->dwRegister = 0;
  }
  return result;
}

HRESULT CComModule::GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pfnCreateInstance == nullptr || !IsEqualGUID(*e->pclsid, rclsid)) continue;
    if (e->pCF) return e->pCF->QueryInterface(riid, ppv);
    auto* factory = new ClassFactory(e->pfnCreateInstance);
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CComModule::RegisterServer(BOOL, const CLSID* pCLSID) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (pCLSID && !IsEqualGUID(*pCLSID, *e->pclsid)) continue;
    if (e->pfnUpdateRegistry) {
      const HRESULT hr = e->pfnUpdateRegistry(TRUE);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CComModule::UnregisterServer(BOOL, const CLSID* pCLSID) {
  for (_ATL_OBJMAP_ENTRY* e = m_pObjMap; e && e->pclsid; ++e) {
    if (pCLSID && !IsEqualGUID(*pCLSID, *e->pclsid)) continue;
    if (e->pfnUpdateRegistry) {
      const HRESULT hr = e->pfnUpdateRegistry(FALSE);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CComModule::UpdateRegistryFromResource(UINT nResID, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries) {
  std::string script;
  if (!FindRegistryScript(nResID, script)) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  return UpdateRegistryFromText(script.c_str(), bRegister, pMapEntries);
}

HRESULT CComModule::UpdateRegistryFromText(const char* script, BOOL bRegister, _ATL_REGMAP_ENTRY* pMapEntries) {
  CRegObject registrar;
  char path[4096];
  const DWORD n = GetModuleFileNameA(m_hInst, path, sizeof path);
  if (n > 0 && n < sizeof path) {
    registrar.AddReplacement("MODULE", path);
    registrar.AddReplacement("MODULE_RAW", path);
  }
  for (_ATL_REGMAP_ENTRY* e = pMapEntries; e && e->szKey; ++e) registrar.AddReplacement(e->szKey, e->szData);
  return bRegister ? registrar.StringRegister(script) : registrar.StringUnregister(script);
}
