#include "agent/service/Registration.h"

#include <sddl.h>

#include <memory>

namespace {

using registry_script::Key;
using registry_script::Removal;
using registry_script::Root;

constexpr REGSAM kView = KEY_WOW64_64KEY;

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* out() { return &m_key; }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

HKEY RootKey(Root root, bool perUser) {
  if (root == Root::localMachine) return HKEY_LOCAL_MACHINE;
  return perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring FullPath(const Key& key, bool perUser) {
  (void)perUser;
  if (key.root == Root::classes) return L"Software\\Classes\\" + key.path;
  return key.path;
}

LONG DeleteTree(HKEY root, const std::wstring& path) {
  const LONG rc = RegDeleteTreeW(root, path.c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  const LONG gone = RegDeleteKeyExW(root, path.c_str(), kView, 0);
  return gone == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : gone;
}

LONG SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

HRESULT ApplyRegistryScript(const std::vector<Key>& keys, bool registering, bool perUser) {
  if (registering) {
    for (const Key& key : keys) {
      HKEY root = RootKey(key.root, perUser);
      const std::wstring path = FullPath(key, perUser);
      if (key.removal == Removal::forceRemove) {
        const LONG rc = DeleteTree(root, path);
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
      }
      ScopedKey k;
      LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr, k.out(),
                                nullptr);
      if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
      if (key.hasDefault && (rc = SetText(k.get(), nullptr, key.defaultValue)) != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
      for (const auto& value : key.values) {
        if (value.isDword) {
          rc = RegSetValueExW(k.get(), value.name.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD));
        } else {
          rc = SetText(k.get(), value.name.c_str(), value.text);
        }
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
      }
    }
    return S_OK;
  }
  // Deepest first, so a removed parent never strands a listed child.
  HRESULT result = S_OK;
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
    if (it->removal == Removal::never) continue;
    const LONG rc = DeleteTree(RootKey(it->root, perUser), FullPath(*it, perUser));
    if (rc != ERROR_SUCCESS && result == S_OK) result = HRESULT_FROM_WIN32(rc);
  }
  return result;
}

namespace {

registry_script::Replacements ReplacementsFor(const RegistrationContext& c) {
  return {kAppId, L"\"" + c.modulePath + L"\"", c.modulePath};
}

std::wstring AppIdPath(bool perUser) {
  (void)perUser;
  return std::wstring(L"Software\\Classes\\AppID\\") + kAppId;
}

HRESULT DeleteLocalService(bool perUser) {
  ScopedKey key;
  const LONG rc = RegOpenKeyExW(RootKey(Root::classes, perUser), AppIdPath(perUser).c_str(), 0,
                                KEY_SET_VALUE | kView, key.out());
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  const LONG del = RegDeleteValueW(key.get(), L"LocalService");
  return (del == ERROR_SUCCESS || del == ERROR_FILE_NOT_FOUND) ? S_OK : HRESULT_FROM_WIN32(del);
}

}  // namespace

HRESULT RegisterAppId(const RegistrationContext& c, bool asService) {
  HRESULT hr = c.installer->Uninstall(c.serviceName);
  if (FAILED(hr)) return hr;
  hr = ApplyRegistryScript(registry_script::AppIdScript(ReplacementsFor(c)), true, c.perUser);
  if (FAILED(hr)) return hr;
  ScopedKey appId;
  LONG rc = RegCreateKeyExW(RootKey(Root::classes, c.perUser), AppIdPath(c.perUser).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | kView, nullptr, appId.out(), nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  RegDeleteValueW(appId.get(), L"LocalService");
  if (!asService) return S_OK;
  if ((rc = SetText(appId.get(), L"LocalService", c.serviceName)) != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(rc);
  hr = c.installer->Install(c.serviceName, c.modulePath);
  if (FAILED(hr)) return hr;
  return c.installer->Reconfigure(c.serviceName, c.description);
}

HRESULT UnregisterAppId(const RegistrationContext& c) {
  HRESULT hr = c.installer->Uninstall(c.serviceName);
  if (FAILED(hr)) return hr;
  hr = DeleteLocalService(c.perUser);
  if (FAILED(hr)) return hr;
  return ApplyRegistryScript(registry_script::AppIdScript(ReplacementsFor(c)), false, c.perUser);
}

namespace {

// The per-user type-library calls, looked up in oleaut32 at run time (the
// headers of this tool chain do not declare them).
using RegisterForUser = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUser = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <typename F>
F OleAutomationEntry(const char* name) {
  HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
  if (oleaut == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(oleaut, name)));
}

HRESULT RegisterTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* help) {
  auto entry = OleAutomationEntry<RegisterForUser>("RegisterTypeLibForUser");
  return entry != nullptr ? entry(lib, path, help) : E_NOTIMPL;
}

HRESULT UnRegisterTypeLibForUser(REFGUID guid, WORD major, WORD minor, LCID lcid, SYSKIND kind) {
  auto entry = OleAutomationEntry<UnregisterForUser>("UnRegisterTypeLibForUser");
  return entry != nullptr ? entry(guid, major, minor, lcid, kind) : E_NOTIMPL;
}

}  // namespace

HRESULT RegisterClassAndTypeLibrary(const RegistrationContext& c) {
  HRESULT hr = ApplyRegistryScript(registry_script::ClassScript(ReplacementsFor(c)), true, c.perUser);
  if (FAILED(hr)) return hr;
  ITypeLib* lib = nullptr;
  hr = LoadTypeLibEx(c.modulePath.c_str(), REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  std::wstring path = c.modulePath;
  std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  if (c.perUser) {
    hr = RegisterTypeLibForUser(lib, &path[0], folder.empty() ? nullptr : &folder[0]);
  } else {
    hr = RegisterTypeLib(lib, &path[0], folder.empty() ? nullptr : &folder[0]);
  }
  lib->Release();
  return hr;
}

HRESULT UnregisterClassAndTypeLibrary(const RegistrationContext& c) {
  HRESULT hr = ApplyRegistryScript(registry_script::ClassScript(ReplacementsFor(c)), false, c.perUser);
  ITypeLib* lib = nullptr;
  HRESULT load = LoadTypeLibEx(c.modulePath.c_str(), REGKIND_NONE, &lib);
  if (SUCCEEDED(load)) {
    TLIBATTR* attr = nullptr;
    if (SUCCEEDED(lib->GetLibAttr(&attr))) {
      // Its result is not the unregistration's: a library registered by no
      // one (or already removed) fails here, and its key goes below anyway.
      if (c.perUser) {
        UnRegisterTypeLibForUser(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                 attr->syskind);
      } else {
        UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
      }
      lib->ReleaseTLibAttr(attr);
    }
    lib->Release();
  }
  // The library's key, in case the unregistration above left it (or the
  // program file could not be read).
  DeleteTree(RootKey(Root::classes, c.perUser), std::wstring(L"Software\\Classes\\TypeLib\\") + kLibIdText);
  return hr;
}

HRESULT ProtectAgentKey() {
  ScopedKey key;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvren\\Agent", 0, nullptr, 0, WRITE_DAC | kView,
                            nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)",
                                                            SDDL_REVISION_1, &sd, nullptr))
    return HRESULT_FROM_WIN32(GetLastError());
  rc = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd);
  LocalFree(sd);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

bool ReadLocalService(std::wstring& name, LONG& error) {
  name.clear();
  ScopedKey key;
  error = RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"AppID\\") + kAppId).c_str(), 0, KEY_READ | kView,
                        key.out());
  if (error != ERROR_SUCCESS) return false;
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD type = 0;
  DWORD bytes = MAX_PATH * sizeof(wchar_t);
  const LONG rc =
      RegQueryValueExW(key.get(), L"LocalService", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return true;
  buffer[MAX_PATH] = L'\0';
  name.assign(buffer, wcsnlen(buffer, bytes / sizeof(wchar_t)));
  if (name.empty()) name = L" ";  // present, even when empty
  return true;
}
