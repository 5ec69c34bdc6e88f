#include "BridgeRegistration.h"

#include <oleauto.h>

#include "GuiBridge_h.h"
#include "agent/service/Registration.h"

using registry_script::Key;
using registry_script::Removal;
using registry_script::Root;

std::vector<Key> BridgeAppIdScript() {
  const std::wstring appId = kBridgeAppId;
  return {
      {Root::classes, L"AppID", Removal::never, false, L"", {}},
      {Root::classes, L"AppID\\" + appId, Removal::remove, true, L"GuiBridge", {}},
      {Root::classes, L"AppID\\GuiBridge.DLL", Removal::remove, false, L"", {{L"AppID", false, appId, 0}}},
  };
}

std::vector<Key> BridgeClassScript(const std::wstring& modulePath) {
  const std::wstring clsid = kBridgeClsid;
  const std::wstring base = L"CLSID\\" + clsid;
  return {
      {Root::classes, L"Halvren.IEConnecter.1", Removal::remove, true, L"IEConnecter Class", {}},
      {Root::classes, L"Halvren.IEConnecter.1\\CLSID", Removal::remove, true, clsid, {}},
      {Root::classes, L"Halvren.IEConnecter", Removal::remove, true, L"IEConnecter Class", {}},
      {Root::classes, L"Halvren.IEConnecter\\CLSID", Removal::remove, true, clsid, {}},
      {Root::classes, L"Halvren.IEConnecter\\CurVer", Removal::remove, true, L"Halvren.IEConnecter.1", {}},
      {Root::classes, L"CLSID", Removal::never, false, L"", {}},
      {Root::classes,
       base,
       Removal::forceRemove,
       true,
       L"IEConnecter Class",
       {{L"AppID", false, kBridgeAppId, 0}}},
      {Root::classes, base + L"\\ProgID", Removal::remove, true, L"Halvren.IEConnecter.1", {}},
      {Root::classes,
       base + L"\\VersionIndependentProgID",
       Removal::remove,
       true,
       L"Halvren.IEConnecter",
       {}},
      {Root::classes, base + L"\\Programmable", Removal::forceRemove, false, L"", {}},
      {Root::classes,
       base + L"\\InprocServer32",
       Removal::remove,
       true,
       modulePath,
       {{L"ThreadingModel", false, L"Free", 0}}},
      {Root::classes, base + L"\\TypeLib", Removal::remove, true, kBridgeLibId, {}},
  };
}

HRESULT RegisterBridge(const std::wstring& modulePath) {
  HRESULT hr = ApplyRegistryScript(BridgeAppIdScript(), true, false);
  if (FAILED(hr)) return hr;
  hr = ApplyRegistryScript(BridgeClassScript(modulePath), true, false);
  if (FAILED(hr)) return hr;
  ITypeLib* lib = nullptr;
  hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_REGISTER, &lib);
  if (lib != nullptr) lib->Release();
  return hr;
}

HRESULT UnregisterBridge() {
  // The type library first: its removal needs nothing of the keys below.
  const HRESULT lib = UnRegisterTypeLib(LIBID_GuiBridgeLib, 1, 0, 0, SYS_WIN64);
  HRESULT hr = ApplyRegistryScript(BridgeClassScript(std::wstring()), false, false);
  const HRESULT app = ApplyRegistryScript(BridgeAppIdScript(), false, false);
  if (SUCCEEDED(hr)) hr = app;
  if (SUCCEEDED(hr) && FAILED(lib) && lib != TYPE_E_REGISTRYACCESS && lib != TYPE_E_LIBNOTREGISTERED)
    hr = lib;
  return hr;
}
