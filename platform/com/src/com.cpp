// COM library start and stop, and the process's table of class objects.
#include <objbase.h>

#include <mutex>
#include <vector>

namespace {

thread_local int g_initCount = 0;

struct ClassObject {
  CLSID clsid;
  IUnknown* unknown;
  DWORD context;
  DWORD flags;
  DWORD cookie;
  bool used;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<ClassObject> entries;
  DWORD nextCookie = 1;
};

ClassTable& classTable() {
  static ClassTable instance;
  return instance;
}

}  // namespace

HRESULT CoInitialize(void*) {
  return g_initCount++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitializeEx(void* pvReserved, DWORD) { return CoInitialize(pvReserved); }

void CoUninitialize() {
  if (g_initCount > 0) --g_initCount;
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  ClassTable& t = classTable();
  std::lock_guard lock(t.mutex);
  pUnk->AddRef();
  const DWORD cookie = t.nextCookie++;
  t.entries.push_back({rclsid, pUnk, dwClsContext, flags, cookie, false});
  *lpdwRegister = cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* unknown = nullptr;
  {
    ClassTable& t = classTable();
    std::lock_guard lock(t.mutex);
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
      if (it->cookie == dwRegister) {
        unknown = it->unknown;
        t.entries.erase(it);
        break;
      }
    }
  }
  if (unknown == nullptr) return E_INVALIDARG;
  unknown->Release();  // outside the lock: the release may run arbitrary code
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IUnknown* unknown = nullptr;
  {
    ClassTable& t = classTable();
    std::lock_guard lock(t.mutex);
    for (ClassObject& entry : t.entries) {
      if (entry.clsid == rclsid && (entry.context & dwClsContext) != 0 &&
          !(entry.flags == REGCLS_SINGLEUSE && entry.used)) {
        entry.used = true;
        unknown = entry.unknown;
        unknown->AddRef();
        break;
      }
    }
  }
  if (unknown == nullptr) return REGDB_E_CLASSNOTREG;
  const HRESULT hr = unknown->QueryInterface(riid, ppv);
  unknown->Release();
  return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}
