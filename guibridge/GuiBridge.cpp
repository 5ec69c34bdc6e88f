// GuiBridge.dll's entry points and module state.
#include <windows.h>

#include <olectl.h>

#include <atomic>
#include <mutex>

#include "BridgeModule.h"
#include "BridgeRegistration.h"
#include "IEConnecter.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
CIEConnecterFactory g_factory;

std::mutex g_libLock;
ITypeLib* g_lib = nullptr;  // released when the DLL is unloaded

}  // namespace

namespace bridge {

HMODULE Module() { return g_module; }

std::wstring ModulePath() {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(g_module, path, static_cast<DWORD>(sizeof path / sizeof path[0]));
  if (n == 0 || n >= sizeof path / sizeof path[0]) return std::wstring();
  return std::wstring(path, n);
}

ITypeLib* TypeLibrary() {
  std::lock_guard<std::mutex> lock(g_libLock);
  if (g_lib == nullptr) {
    const std::wstring path = ModulePath();
    if (path.empty() || FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &g_lib))) g_lib = nullptr;
  }
  if (g_lib != nullptr) g_lib->AddRef();
  return g_lib;
}

void ObjectCreated() { ++g_objects; }
void ObjectDestroyed() { --g_objects; }
void Lock() { ++g_locks; }
void Unlock() {
  if (--g_locks < 0) ++g_locks;  // an unbalanced unlock is ignored
}
bool CanUnload() { return g_objects.load() == 0 && g_locks.load() == 0; }

}  // namespace bridge

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_lib != nullptr) {
    g_lib->Release();  // a FreeLibrary, not the process's end
    g_lib = nullptr;
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return bridge::CanUnload() ? S_OK : S_FALSE; }

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_IEConnecter) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  const std::wstring path = bridge::ModulePath();
  if (path.empty()) return E_UNEXPECTED;
  return RegisterBridge(path);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return UnregisterBridge(); }
