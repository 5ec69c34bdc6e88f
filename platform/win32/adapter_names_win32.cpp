#include "platform/win32/adapter_names_win32.h"

#include <windows.h>

#include <objbase.h>
#include <wbemidl.h>

#include <cstdio>

#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

namespace {

// COM for the length of one call: joins the multithreaded apartment, or takes
// the apartment the thread already has (an STA gives RPC_E_CHANGED_MODE), and
// leaves only what it joined.
class ScopedMta {
 public:
  ScopedMta() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_joined = hr == S_OK || hr == S_FALSE;  // S_FALSE: already in it, counted once more
  }
  ~ScopedMta() {
    if (m_joined) CoUninitialize();
  }
  ScopedMta(const ScopedMta&) = delete;
  ScopedMta& operator=(const ScopedMta&) = delete;

 private:
  bool m_joined = false;
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p) p->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** Out() { return &p; }
  T* operator->() const { return p; }
  T* get() const { return p; }

 private:
  T* p = nullptr;
};

std::string Line(const char* format, HRESULT hr) {
  char text[160];
  snprintf(text, sizeof text, format, static_cast<int>(hr));
  return text;
}

}  // namespace

bool AdapterNamesWin32::List(std::vector<std::string>& names,
                             const std::function<void(const std::string&)>& log) {
  names.clear();
  ScopedMta com;
  ComPtr<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(locator.Out()));
  if (FAILED(hr)) {
    log(Line("FillNetAdapterList. CoCreateInstance failed with error %d.", hr));
    return false;
  }
  ComPtr<IWbemServices> services;
  BSTR space = SysAllocString(L"ROOT\\CIMV2");
  hr = locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Out());
  SysFreeString(space);
  if (FAILED(hr)) {
    log(Line("FillNetAdapterList. ConnectServer failed with error %d.", hr));
    return false;
  }
  hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    log(Line("FillNetAdapterList. CoSetProxyBlanket failed with error %d.", hr));
    return false;
  }
  ComPtr<IEnumWbemClassObject> objects;
  BSTR language = SysAllocString(L"WQL");
  BSTR query = SysAllocString(L"SELECT name FROM Win32_PerfRawData_Tcpip_NetworkInterface");
  hr = services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                           objects.Out());
  SysFreeString(language);
  SysFreeString(query);
  if (FAILED(hr)) {
    log(Line("FillNetAdapterList. ExecQuery failed with error %d.", hr));
    return false;
  }
  for (;;) {
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    hr = objects->Next(30000, 1, object.Out(), &returned);
    if (returned == 1 && object.get()) {
      VARIANT name;
      VariantInit(&name);
      if (SUCCEEDED(object->Get(L"Name", 0, &name, nullptr, nullptr)) && name.vt == VT_BSTR && name.bstrVal)
        names.push_back(win32::Narrow(name.bstrVal));
      VariantClear(&name);
    }
    if (hr == WBEM_S_NO_ERROR && returned == 1) continue;
    if (hr == WBEM_S_FALSE) return true;
    // A failed or timed-out enumeration is no list of the machine's adapters.
    names.clear();
    log(Line("FillNetAdapterList. error: %d, message: ", hr) + win32::ErrorText(static_cast<uint32_t>(hr)));
    return false;
  }
}
