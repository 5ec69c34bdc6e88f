#include "agent/service/ControlObject.h"

#include <olectl.h>

#include "agent/service/ComDispatch.h"
#include "agent/service/ComErrors.h"
#include "platform/log_folder.h"
#include "platform/win32/wide.h"

namespace {

constexpr UINT kMaxTextLength = 256;

// A text argument as the caller meant it: scripts pass variables by
// reference, so the value is copied out of any VT_BYREF first.
class ArgumentCopy {
 public:
  explicit ArgumentCopy(const VARIANT& in) {
    VariantInit(&m_v);
    m_hr = VariantCopyInd(&m_v, const_cast<VARIANT*>(&in));
  }
  ~ArgumentCopy() { VariantClear(&m_v); }
  ArgumentCopy(const ArgumentCopy&) = delete;
  ArgumentCopy& operator=(const ArgumentCopy&) = delete;
  bool IsText() const { return SUCCEEDED(m_hr) && V_VT(&m_v) == VT_BSTR; }
  UINT Length() const { return SysStringLen(V_BSTR(&m_v)); }
  std::string Utf8() const { return win32::Narrow(V_BSTR(&m_v), static_cast<int>(Length())); }

 private:
  VARIANT m_v;
  HRESULT m_hr;
};

}  // namespace

bool IsDisconnection(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == static_cast<HRESULT>(0x800706BA) ||
         hr == static_cast<HRESULT>(0x800706BE) || hr == CO_E_OBJNOTCONNECTED;
}

CHalvren* CHalvren::Create(ControlObjectSeams seams) {
  if (seams.typeLib == nullptr || seams.worker == nullptr || seams.caller == nullptr) return nullptr;
  ITypeInfo* info = nullptr;
  if (FAILED(seams.typeLib->GetTypeInfoOfGuid(IID_IHalvren, &info))) return nullptr;
  return new CHalvren(std::move(seams), info);
}

CHalvren::CHalvren(ControlObjectSeams seams, ITypeInfo* info)
    : m_seams(std::move(seams)),
      m_info(info),
      m_events(CStatusEventQueue::Hooks{
          [this](const StatusEvent& e) { Deliver(e); },
          [this](uint64_t dropped) {
            if (m_seams.log)
              m_seams.log("Status events dropped for a slow client: " + std::to_string(dropped));
          },
          [] { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }, [] { CoUninitialize(); }}) {
  m_seams.typeLib->AddRef();
  if (g_workerExists) m_seams.worker->AddListener(&m_listener);
}

CHalvren::~CHalvren() {
  if (g_workerExists) m_seams.worker->RemoveListener(&m_listener);
  m_events.StopFor(std::chrono::milliseconds(0));
  // m_events joins its thread when it goes, before the sinks below are released.
  m_point.Clear();
  m_info->Release();
  m_seams.typeLib->Release();
}

void CHalvren::ReleaseByModule() {
  if (--m_refs == 0) delete this;
}

HRESULT CHalvren::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHalvren) {
    *ppv = static_cast<IHalvren*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *ppv = static_cast<IProvideClassInfo2*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CHalvren::AddRef() {
  if (m_seams.lockModule) m_seams.lockModule();
  return ++m_refs;
}

ULONG CHalvren::Release() {
  const ULONG left = --m_refs;
  if (m_seams.unlockModule) m_seams.unlockModule();
  if (left == 0) delete this;
  return left;
}

HRESULT CHalvren::GetTypeInfoCount(UINT* count) { return com_dispatch::TypeInfoCount(count); }

HRESULT CHalvren::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  return com_dispatch::TypeInfo(m_info, index, info);
}

HRESULT CHalvren::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return com_dispatch::IDsOfNames(m_info, riid, names, count, ids);
}

HRESULT CHalvren::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* excep, UINT* argError) {
  return com_dispatch::Invoke(m_info, static_cast<IHalvren*>(this), id, riid, flags, params, result, excep,
                              argError);
}

HRESULT CHalvren::Fail(const wchar_t* text, HRESULT hr) { return SetCallError(L"Halvren.1", text, hr); }

HRESULT CHalvren::FailWith(const std::string& text) {
  const std::wstring wide = text.empty() ? std::wstring(L"Unknown Error") : win32::Widen(text);
  return Fail(wide.c_str());
}

HRESULT CHalvren::Admit(ControlMethod method) {
  if (!RequiresAdministrator(method)) return S_OK;
  if (MayCall(method, m_seams.caller->Identify())) return S_OK;
  return Fail(L"Access denied.", E_ACCESSDENIED);
}

HRESULT CHalvren::ReturnText(VARIANT* out, const std::string& utf8) {
  if (out == nullptr) return S_OK;
  // The caller's previous content is not cleared: an out-parameter carries none.
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = SysAllocString(win32::Widen(utf8).c_str());
  return S_OK;
}

HRESULT CHalvren::StartWork() {
  if (HRESULT hr = Admit(ControlMethod::StartWork); FAILED(hr)) return hr;
  std::string message;
  if (m_seams.worker->StartWork(&message)) return S_OK;
  return FailWith(message);
}

HRESULT CHalvren::StopWork() {
  if (HRESULT hr = Admit(ControlMethod::StopWork); FAILED(hr)) return hr;
  std::string message;
  if (m_seams.worker->StopAllWorks(&message)) return S_OK;
  return FailWith(message);
}

HRESULT CHalvren::GetStatus(LONG* newStatus) {
  if (newStatus == nullptr) return E_POINTER;
  *newStatus = static_cast<LONG>(m_seams.worker->GetLastStatusCode());
  return S_OK;
}

HRESULT CHalvren::GetCurrentTestsList(LONG, VARIANT*) { return S_OK; }

HRESULT CHalvren::Register(VARIANT newKey, VARIANT newName) {
  if (HRESULT hr = Admit(ControlMethod::Register); FAILED(hr)) return hr;
  ArgumentCopy key(newKey), name(newName);
  if (!key.IsText()) return Fail(L"The Agent Key should be a text.");
  if (key.Length() < 1 || key.Length() > kMaxTextLength)
    return Fail(L"The length of the Agent Key cannot be 0 or more than 256 symbols.");
  if (!name.IsText()) return Fail(L"The Agent Name should be a text.");
  if (name.Length() < 1 || name.Length() > kMaxTextLength)
    return Fail(L"The length of the Agent Name cannot be 0 or more than 256 symbols.");
  if (!m_seams.worker->SetRegistration(key.Utf8().c_str(), name.Utf8().c_str()))
    return FailWith(std::string());
  return S_OK;
}

HRESULT CHalvren::GetRegisteredEMail(VARIANT* regEMail) {
  if (HRESULT hr = Admit(ControlMethod::GetRegisteredEMail); FAILED(hr)) return hr;
  return ReturnText(regEMail, m_seams.worker->GetEMail());
}

HRESULT CHalvren::GetRegisteredAgentKey(VARIANT* regKey) {
  if (HRESULT hr = Admit(ControlMethod::GetRegisteredAgentKey); FAILED(hr)) return hr;
  return ReturnText(regKey, m_seams.worker->GetAgentKey());
}

HRESULT CHalvren::GetRegisteredName(VARIANT* regName) {
  return ReturnText(regName, m_seams.worker->GetAgentName());
}

HRESULT CHalvren::UnRegister() {
  if (HRESULT hr = Admit(ControlMethod::UnRegister); FAILED(hr)) return hr;
  m_seams.worker->ForgetRegistration();
  if (m_seams.afterUnregister) m_seams.afterUnregister();
  return S_OK;
}

HRESULT CHalvren::SetProxy(VARIANT newProxy) {
  if (HRESULT hr = Admit(ControlMethod::SetProxy); FAILED(hr)) return hr;
  ArgumentCopy proxy(newProxy);
  if (!proxy.IsText()) return Fail(L"The Proxy Server Name should be a text.");
  if (proxy.Length() == 0) {
    m_seams.worker->SetProxy(nullptr);
    return S_OK;
  }
  if (proxy.Length() > kMaxTextLength)
    return Fail(L"The length of the Proxy Server Name cannot be 0 or more than 256 symbols.");
  m_seams.worker->SetProxy(proxy.Utf8().c_str());
  return S_OK;
}

HRESULT CHalvren::GetProxy(VARIANT* currProxy) { return ReturnText(currProxy, m_seams.worker->GetProxy()); }

HRESULT CHalvren::IsTraceOn(VARIANT_BOOL* traceOn) {
  if (traceOn == nullptr) return E_POINTER;
  *traceOn = m_seams.worker->GetTrace() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CHalvren::SetTrace(VARIANT_BOOL trace) {
  if (HRESULT hr = Admit(ControlMethod::SetTrace); FAILED(hr)) return hr;
  m_seams.worker->SetTrace(trace == VARIANT_TRUE);
  return S_OK;
}

HRESULT CHalvren::GetTracePath(VARIANT* tracePath) {
  return ReturnText(tracePath, platform::log_folder_path());
}

HRESULT CHalvren::CollectLogs(VARIANT* zipFilePath) {
  if (HRESULT hr = Admit(ControlMethod::CollectLogs); FAILED(hr)) return hr;
  std::string path;
  if (!m_seams.collectLogs || !m_seams.collectLogs(path)) return Fail(L"The log files could not be packed.");
  if (zipFilePath == nullptr) return S_OK;
  if (path.empty()) {
    V_VT(zipFilePath) = VT_BSTR;
    V_BSTR(zipFilePath) = nullptr;  // no log files
    return S_OK;
  }
  return ReturnText(zipFilePath, path);
}

HRESULT CHalvren::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points != nullptr) *points = nullptr;
  return E_NOTIMPL;
}

HRESULT CHalvren::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (riid != DIID__IHalvrenEvents) return CONNECT_E_NOCONNECTION;
  m_point.AddRef();
  *point = &m_point;
  return S_OK;
}

HRESULT CHalvren::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return m_seams.typeLib->GetTypeInfoOfGuid(CLSID_Halvren, info);
}

HRESULT CHalvren::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = DIID__IHalvrenEvents;
  return S_OK;
}

HRESULT CHalvren::InterfaceSupportsErrorInfo(REFIID riid) { return riid == IID_IHalvren ? S_OK : S_FALSE; }

void CHalvren::Deliver(const StatusEvent& event) {
  std::vector<CConnectionPoint::Connection> snapshot = m_point.Snapshot();
  const std::wstring text = win32::Widen(event.text);
  for (CConnectionPoint::Connection& s : snapshot) {
    // Arguments in reverse order: the text is argument 0, the code argument 1.
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[0]) = VT_BSTR;
    V_BSTR(&args[0]) = SysAllocString(text.c_str());
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = static_cast<LONG>(event.code);
    DISPPARAMS params{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr =
        s.sink->Invoke(2, IID_NULL, 0x0400, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    VariantClear(&result);
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    if (IsDisconnection(hr)) {
      if (m_seams.log)
        m_seams.log("A client's event sink is gone; unadvised (" + std::to_string(s.cookie) + ")");
      m_point.Remove(s.cookie);
    }
    s.sink->Release();
  }
}

CHalvrenFactory::~CHalvrenFactory() {
  if (m_object != nullptr) m_object->ReleaseByModule();
}

HRESULT CHalvrenFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory*>(this);
  return S_OK;
}

HRESULT CHalvrenFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  CHalvren* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_object == nullptr) m_object = CHalvren::Create(m_seams);
    object = m_object;
  }
  if (object == nullptr) return E_OUTOFMEMORY;
  return object->QueryInterface(riid, ppv);
}

HRESULT CHalvrenFactory::LockServer(BOOL lock) {
  if (lock) {
    if (m_seams.lockModule) m_seams.lockModule();
  } else if (m_seams.unlockModule) {
    m_seams.unlockModule();
  }
  return S_OK;
}

CHalvren* CHalvrenFactory::Object() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_object;
}
