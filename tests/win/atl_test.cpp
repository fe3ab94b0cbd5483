// COM objects, the module and the registrar.
#include <atlbase.h>
#include <atlcom.h>
#include <gtest/gtest.h>
#include <statreg.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "win_test_util.h"

// Interfaces of the tests.
struct IGreeter : public IUnknown {
  virtual HRESULT Greet(int* value) = 0;

 protected:
  ~IGreeter() = default;
};
inline constexpr IID IID_IGreeter = {0x1A2B3C4D, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0x00}};
DECLARE_INTERFACE_IID(IGreeter, IID_IGreeter);

struct ICounter : public IUnknown {
  virtual ULONG Count() = 0;

 protected:
  ~ICounter() = default;
};
inline constexpr IID IID_ICounter = {0x1A2B3C4E, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0x00}};
DECLARE_INTERFACE_IID(ICounter, IID_ICounter);

inline constexpr IID IID_INotImplemented = {0x1A2B3C4F, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
inline constexpr CLSID CLSID_Greeter = {0xDB53B054, 0x046C, 0x48FD, {0x81, 0xB8, 0x01, 0x70, 0x60, 0xD7, 0x0E, 0x3A}};

constexpr UINT IDR_GREETER = 101;

namespace {

int g_destroyed = 0;
int g_finalReleased = 0;
HRESULT g_finalConstructResult = S_OK;

class CGreeter : public CComObjectRootEx<CComSingleThreadModel>,
                 public CComCoClass<CGreeter, &CLSID_Greeter>,
                 public IGreeter,
                 public ICounter {
 public:
  ~CGreeter() override { ++g_destroyed; }

  DECLARE_REGISTRY_RESOURCEID(IDR_GREETER)
  DECLARE_PROTECT_FINAL_CONSTRUCT()

  BEGIN_COM_MAP(CGreeter)
  COM_INTERFACE_ENTRY(IGreeter)
  COM_INTERFACE_ENTRY(ICounter)
  END_COM_MAP()

  HRESULT FinalConstruct() {
    constructCount = m_dwRef;  // protected: 1 while it runs
    return g_finalConstructResult;
  }
  void FinalRelease() { ++g_finalReleased; }

  HRESULT Greet(int* value) override {
    *value = 42;
    return S_OK;
  }
  ULONG Count() override {
    AddRef();  // the class's own code reaches the IUnknown methods
    return Release();
  }

  LONG constructCount = -1;
};

// An object whose allocation always fails.
class CNoMemory : public CComObjectRootEx<CComSingleThreadModel>, public IGreeter {
 public:
  BEGIN_COM_MAP(CNoMemory)
  COM_INTERFACE_ENTRY(IGreeter)
  END_COM_MAP()
  HRESULT Greet(int*) override { return E_NOTIMPL; }
  static void* operator new(std::size_t, const std::nothrow_t&) noexcept { return nullptr; }
  static void operator delete(void*, const std::nothrow_t&) noexcept {}
  static void operator delete(void*) noexcept {}
};

class CShared : public CComObjectRootEx<CComMultiThreadModel>, public ICounter {
 public:
  BEGIN_COM_MAP(CShared)
  COM_INTERFACE_ENTRY(ICounter)
  END_COM_MAP()
  ULONG Count() override { return static_cast<ULONG>(m_dwRef); }
};

class WinAtl : public ::testing::Test {
 protected:
  WinAtl() : env_("WINREG_FILE", dir_ / "registry.ini") {
    g_destroyed = 0;
    g_finalReleased = 0;
    g_finalConstructResult = S_OK;
  }
  win_test::TempDir dir_;
  win_test::ScopedEnv env_;
  CComModule module_;
};

TEST_F(WinAtl, ObjectsCountReferencesAndHoldTheModule) {
  ASSERT_EQ(_pAtlModule, &module_);
  CComObject<CGreeter>* object = nullptr;
  ASSERT_EQ(CComObject<CGreeter>::CreateInstance(&object), S_OK);
  EXPECT_EQ(object->m_dwRef, 0);
  EXPECT_EQ(object->constructCount, 1);
  EXPECT_EQ(module_.GetLockCount(), 1);

  EXPECT_EQ(object->AddRef(), 1u);
  IGreeter* greeter = nullptr;
  ASSERT_EQ(object->QueryInterface(&greeter), S_OK);
  EXPECT_EQ(object->m_dwRef, 2);
  int value = 0;
  EXPECT_EQ(greeter->Greet(&value), S_OK);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(object->Count(), 2u);

  EXPECT_EQ(greeter->Release(), 1u);
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(g_finalReleased, 1);
  EXPECT_EQ(module_.GetLockCount(), 0);
}

TEST_F(WinAtl, QueryInterfaceFollowsTheComMap) {
  CComPtr<IGreeter> greeter;
  ASSERT_EQ(CGreeter::CreateInstance(&greeter), S_OK);

  EXPECT_EQ(greeter->QueryInterface(IID_IGreeter, nullptr), E_POINTER);
  void* none = &none;
  EXPECT_EQ(greeter->QueryInterface(IID_INotImplemented, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  // IUnknown is the first entry's, whichever interface is asked.
  CComQIPtr<ICounter> counter(greeter.p);
  ASSERT_NE(counter.p, nullptr);
  IUnknown* fromGreeter = nullptr;
  IUnknown* fromCounter = nullptr;
  ASSERT_EQ(greeter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromGreeter)), S_OK);
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromCounter)), S_OK);
  EXPECT_EQ(fromGreeter, fromCounter);
  EXPECT_EQ(fromGreeter, static_cast<IUnknown*>(greeter.p));
  EXPECT_NE(static_cast<void*>(counter.p), static_cast<void*>(greeter.p));
  fromGreeter->Release();
  fromCounter->Release();
  EXPECT_EQ(counter->Count(), 2u);
  EXPECT_EQ(module_.GetLockCount(), 1);
  greeter.Release();
  counter.Release();
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(module_.GetLockCount(), 0);
}

TEST_F(WinAtl, FailedCreationLeavesNothingBehind) {
  g_finalConstructResult = E_ACCESSDENIED;
  CComObject<CGreeter>* object = reinterpret_cast<CComObject<CGreeter>*>(&g_destroyed);
  EXPECT_EQ(CComObject<CGreeter>::CreateInstance(&object), E_ACCESSDENIED);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(module_.GetLockCount(), 0);

  CComObject<CNoMemory>* nothing = nullptr;
  EXPECT_EQ(CComObject<CNoMemory>::CreateInstance(&nothing), E_OUTOFMEMORY);
  EXPECT_EQ(nothing, nullptr);
  EXPECT_EQ(CComObject<CGreeter>::CreateInstance(nullptr), E_POINTER);
  IGreeter* greeter = nullptr;
  EXPECT_EQ(CComCreator<CComObject<CGreeter>>::CreateInstance(&greeter, IID_IGreeter,
                                                               reinterpret_cast<void**>(&greeter)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(module_.GetLockCount(), 0);
}

TEST_F(WinAtl, MultiThreadedObjectsCountAtomically) {
  CComObject<CShared>* object = nullptr;
  ASSERT_EQ(CComObject<CShared>::CreateInstance(&object), S_OK);
  object->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([object] {
      for (int i = 0; i < 20000; ++i) {
        object->AddRef();
        object->Release();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(object->Count(), 1u);
  object->Release();
  EXPECT_EQ(module_.GetLockCount(), 0);
}

// --- the module and its object map -----------------------------------------------------

BEGIN_OBJECT_MAP(ObjectMap)
OBJECT_ENTRY(CLSID_Greeter, CGreeter)
END_OBJECT_MAP()

BEGIN_OBJECT_MAP(EmptyMap)
END_OBJECT_MAP()

const char kGreeterScript[] = R"(HKCR
{
	NoRemove AppID
	{
		'{DB53B054-046C-48FD-81B8-017060D70E3A}' = s 'TeskSave'
		'TeskSave.EXE'
		{
			val AppID = s '{DB53B054-046C-48FD-81B8-017060D70E3A}'
		}
	}
	NoRemove CLSID
	{
		ForceRemove {DB53B054-046C-48FD-81B8-017060D70E3A} = s 'Greeter Class'
		{
			LocalServer32 = s '%MODULE%'
			val AppID = s '%APPID%'
		}
	}
}
)";

TEST_F(WinAtl, ClassObjectsCreateObjectsWhileRegistered) {
  ASSERT_EQ(module_.Init(ObjectMap, GetModuleHandleA(nullptr)), S_OK);
  CComPtr<IGreeter> greeter;
  EXPECT_EQ(CoCreateInstance(CLSID_Greeter, nullptr, CLSCTX_LOCAL_SERVER, IID_IGreeter,
                             reinterpret_cast<void**>(&greeter)),
            REGDB_E_CLASSNOTREG);

  ASSERT_EQ(module_.RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), S_OK);
  EXPECT_EQ(module_.GetLockCount(), 0);  // class objects do not keep the server alive
  EXPECT_EQ(CoCreateInstance(CLSID_Greeter, nullptr, CLSCTX_LOCAL_SERVER, IID_IGreeter,
                             reinterpret_cast<void**>(&greeter)),
            S_OK);
  EXPECT_EQ(module_.GetLockCount(), 1);
  CComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_Greeter, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(module_.GetLockCount(), 2);
  factory->LockServer(FALSE);
  factory.Release();

  ASSERT_EQ(module_.RevokeClassObjects(), S_OK);
  CComPtr<IGreeter> second;
  EXPECT_EQ(CoCreateInstance(CLSID_Greeter, nullptr, CLSCTX_LOCAL_SERVER, IID_IGreeter,
                             reinterpret_cast<void**>(&second)),
            REGDB_E_CLASSNOTREG);
  greeter.Release();
  EXPECT_EQ(module_.GetLockCount(), 0);
  module_.Term();
}

TEST_F(WinAtl, EmptyObjectMapWorks) {
  ASSERT_EQ(module_.Init(EmptyMap, nullptr), S_OK);
  EXPECT_EQ(module_.RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), S_OK);
  EXPECT_EQ(module_.RegisterServer(TRUE), S_OK);
  EXPECT_EQ(module_.UnregisterServer(TRUE), S_OK);
  EXPECT_EQ(module_.RevokeClassObjects(), S_OK);
  module_.Term();
  EXPECT_EQ(win_test::ReadFile(dir_ / "registry.ini"), "");
}

TEST_F(WinAtl, ServerRegistrationRunsTheClassScripts) {
  RegisterRegistryScript(IDR_GREETER, kGreeterScript);
  ASSERT_EQ(module_.Init(ObjectMap, nullptr), S_OK);
  // The classes' scripts get no replacements of their own: APPID is unknown.
  EXPECT_EQ(module_.RegisterServer(TRUE), DISP_E_EXCEPTION);
  EXPECT_EQ(win_test::ReadFile(dir_ / "registry.ini"), "");

  _ATL_REGMAP_ENTRY map[] = {{"APPID", "{DB53B054-046C-48FD-81B8-017060D70E3A}"}, {nullptr, nullptr}};
  ASSERT_EQ(module_.UpdateRegistryFromResource(IDR_GREETER, TRUE, map), S_OK);
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  const std::string text = win_test::ReadFile(dir_ / "registry.ini");
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CLSID\\{DB53B054-046C-48FD-81B8-017060D70E3A}\\LocalServer32]\n@=\"" +
                      std::string(path) + "\""),
            std::string::npos)
      << text;
  ASSERT_EQ(module_.UpdateRegistryFromResource(IDR_GREETER, FALSE, map), S_OK);
  EXPECT_EQ(win_test::ReadFile(dir_ / "registry.ini"),
            "[HKEY_CLASSES_ROOT\\AppID]\n\n[HKEY_CLASSES_ROOT\\CLSID]\n");
  EXPECT_EQ(module_.UpdateRegistryFromResource(999, TRUE),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  module_.Term();
}

// --- the registrar -------------------------------------------------------------------

class WinRegistrar : public WinAtl {
 protected:
  std::string Text() { return win_test::ReadFile(dir_ / "registry.ini"); }
  HRESULT Register(const char* script) { return registrar_.StringRegister(script); }
  HRESULT Unregister(const char* script) { return registrar_.StringUnregister(script); }
  CRegObject registrar_;
};

const char kAppIdScript[] = R"(HKCR
{
	NoRemove AppID
	{
		'{DB53B054-046C-48FD-81B8-017060D70E3A}' = s 'TeskSave'
		'TeskSave.EXE'
		{
			val AppID = s '{DB53B054-046C-48FD-81B8-017060D70E3A}'
		}
	}
}
)";

TEST_F(WinRegistrar, RegistersIdempotentlyAndUnregistersAroundNoRemove) {
  // Someone else's key below AppID must survive.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "AppID\\Other.EXE", &other), ERROR_SUCCESS);
  RegCloseKey(other);

  ASSERT_EQ(Register(kAppIdScript), S_OK);
  const std::string registered = Text();
  EXPECT_EQ(registered,
            "[HKEY_CLASSES_ROOT\\AppID]\n\n"
            "[HKEY_CLASSES_ROOT\\AppID\\Other.EXE]\n\n"
            "[HKEY_CLASSES_ROOT\\AppID\\TeskSave.EXE]\n"
            "\"AppID\"=\"{DB53B054-046C-48FD-81B8-017060D70E3A}\"\n\n"
            "[HKEY_CLASSES_ROOT\\AppID\\{DB53B054-046C-48FD-81B8-017060D70E3A}]\n"
            "@=\"TeskSave\"\n");
  ASSERT_EQ(Register(kAppIdScript), S_OK);
  EXPECT_EQ(Text(), registered);

  ASSERT_EQ(Unregister(kAppIdScript), S_OK);
  EXPECT_EQ(Text(), "[HKEY_CLASSES_ROOT\\AppID]\n\n[HKEY_CLASSES_ROOT\\AppID\\Other.EXE]\n");
  ASSERT_EQ(Unregister(kAppIdScript), S_OK);  // nothing left to remove is fine
}

TEST_F(WinRegistrar, RemovalFlagsAndValueTypes) {
  HKEY stale = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Tesk\\Fresh\\Stale", &stale), ERROR_SUCCESS);
  RegCloseKey(stale);
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Tesk\\Old", &stale), ERROR_SUCCESS);
  RegCloseKey(stale);

  ASSERT_EQ(Register("HKEY_CURRENT_USER { NoRemove Software { NoRemove Tesk {\n"
                     "  ForceRemove Fresh { val Count = d '31' val Hex = d '0x20' val Bytes = b '00ff10' }\n"
                     "  Delete Old\n"
                     "  'It''s' = s 'quote''s %% sign'\n"
                     "  val Direct = s 'on Tesk'\n"
                     "} } }"),
            S_OK);
  EXPECT_EQ(Text(),
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tesk]\n"
            "\"Direct\"=\"on Tesk\"\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tesk\\Fresh]\n"
            "\"Count\"=dword:0000001f\n"
            "\"Hex\"=dword:00000020\n"
            "\"Bytes\"=hex:00,ff,10\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tesk\\It's]\n"
            "@=\"quote's % sign\"\n");

  // Values named inside NoRemove keys go, the keys stay.
  ASSERT_EQ(Unregister("HKCU { NoRemove Software { NoRemove Tesk { Fresh val Direct = s 'x' 'It''s' Delete Gone } } }"),
            S_OK);
  EXPECT_EQ(Text(), "[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Tesk]\n");
}

TEST_F(WinRegistrar, ReplacementsAndSyntaxErrors) {
  registrar_.AddReplacement("PATH", "/opt/o'brien/tesk");
  ASSERT_EQ(Register("HKLM { Software { Tesk = s '%PATH%' } val P = s '100%%' }"), S_OK);
  const std::string registered = Text();
  EXPECT_EQ(registered,
            "[HKEY_LOCAL_MACHINE]\n"
            "\"P\"=\"100%\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Tesk]\n"
            "@=\"/opt/o'brien/tesk\"\n");

  // A script with an error anywhere changes nothing.
  for (const char* bad : {"HKCU { A } HKCR {", "HKXX { A }", "HKCR { A = q 'x' }", "HKCR { A = d '12z' }",
                          "HKCR { A = d '4294967296' }", "HKCR { 'unterminated }", "HKCR { A = s '%UNKNOWN%' }",
                          "HKCR { A } }", "HKCR { = s 'x' }", "HKCR { val = s 'x' }", "HKCR { A = b '0' }",
                          "HKCR { A = s '50% off' }", "'HKCR' { A }"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Register(bad), DISP_E_EXCEPTION);
    EXPECT_EQ(Unregister(bad), DISP_E_EXCEPTION);
    EXPECT_EQ(Text(), registered);
  }

  ASSERT_EQ(Unregister("HKLM { Software { Tesk = s '%PATH%' } val P = s '100%%' }"), S_OK);
  EXPECT_EQ(Text(), "");
}

}  // namespace
