#include "IEConnecter.h"

#include <olectl.h>

#include "BridgeModule.h"
#include "agent/service/ComDispatch.h"
#include "agent/service/ComErrors.h"

namespace {

constexpr LCID kEventLocale = 0x0400;

// An argument for the agent: a copy of the caller's, dereferenced (scripts pass
// variables by reference).
class ArgumentCopy {
 public:
  ArgumentCopy() { VariantInit(&m_v); }
  ~ArgumentCopy() { VariantClear(&m_v); }
  ArgumentCopy(const ArgumentCopy&) = delete;
  ArgumentCopy& operator=(const ArgumentCopy&) = delete;
  HRESULT From(const VARIANT& in) { return VariantCopyInd(&m_v, const_cast<VARIANT*>(&in)); }
  VARIANT& get() { return m_v; }

 private:
  VARIANT m_v;
};

// The agent's exception as this thread's error object; its HRESULT.
HRESULT RebuildError(EXCEPINFO& e) {
  if (e.pfnDeferredFillIn != nullptr) e.pfnDeferredFillIn(&e);
  HRESULT hr = e.scode;
  if (hr == S_OK) hr = E_FAIL;  // a failure never turns into a success
  SetCallError(e.bstrSource ? e.bstrSource : L"", e.bstrDescription ? e.bstrDescription : L"", hr);
  SysFreeString(e.bstrSource);
  SysFreeString(e.bstrDescription);
  SysFreeString(e.bstrHelpFile);
  return hr;
}

}  // namespace

// ---- the sink on the agent's events

CHalvrenSink::CHalvrenSink(CIEConnecter* owner) : m_owner(owner) { bridge::ObjectCreated(); }
CHalvrenSink::~CHalvrenSink() { bridge::ObjectDestroyed(); }

void CHalvrenSink::Detach() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_owner = nullptr;
}

HRESULT CHalvrenSink::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID__IHalvrenEvents) return E_NOINTERFACE;
  *ppv = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

ULONG CHalvrenSink::AddRef() { return ++m_refs; }

ULONG CHalvrenSink::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CHalvrenSink::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CHalvrenSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT CHalvrenSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT CHalvrenSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
  if (id == 1) return E_NOTIMPL;  // TestListChanged
  if (id != 2) return DISP_E_MEMBERNOTFOUND;
  // The event's parameter types come from the agent's registered type library;
  // without it the event is dropped.
  ITypeLib* lib = nullptr;
  if (FAILED(LoadRegTypeLib(LIBID_CorvaneLib, 1, 0, 0, &lib))) return S_OK;
  ITypeInfo* info = nullptr;
  const HRESULT found = lib->GetTypeInfoOfGuid(DIID__IHalvrenEvents, &info);
  lib->Release();
  if (FAILED(found)) return S_OK;
  info->Release();
  if (params == nullptr || params->cArgs != 2 || params->rgvarg == nullptr) return DISP_E_BADPARAMCOUNT;

  VARIANT args[2];  // reverse order: the text is argument 0, the code argument 1
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  HRESULT hr = VariantChangeType(&args[1], &params->rgvarg[1], 0, VT_I4);
  if (SUCCEEDED(hr)) hr = VariantCopyInd(&args[0], &params->rgvarg[0]);
  if (FAILED(hr)) {
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    return DISP_E_TYPEMISMATCH;
  }

  std::vector<IDispatch*> subscribers;
  {
    // The bridge's destructor clears m_owner under this lock, so the owner is
    // alive while its subscribers are copied.
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_owner != nullptr) subscribers = m_owner->Subscribers();
  }
  HRESULT last = S_OK;
  for (IDispatch* s : subscribers) {
    VARIANT copy[2];
    VariantInit(&copy[0]);
    VariantInit(&copy[1]);
    VariantCopy(&copy[0], &args[0]);
    VariantCopy(&copy[1], &args[1]);
    DISPPARAMS dp{copy, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    last = s->Invoke(2, IID_NULL, kEventLocale, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
    VariantClear(&result);
    VariantClear(&copy[0]);
    VariantClear(&copy[1]);
    s->Release();
  }
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  return last;
}

// ---- the bridge object

HRESULT CIEConnecter::Create(IUnknown* outer, IUnknown** inner) {
  *inner = nullptr;
  ITypeLib* lib = bridge::TypeLibrary();
  if (lib == nullptr) return E_UNEXPECTED;
  ITypeInfo* info = nullptr;
  if (FAILED(lib->GetTypeInfoOfGuid(IID_IIEConnecter, &info))) {
    lib->Release();
    return E_UNEXPECTED;
  }
  CIEConnecter* object = new (std::nothrow) CIEConnecter(outer, lib, info);
  if (object == nullptr) {
    info->Release();
    lib->Release();
    return E_OUTOFMEMORY;
  }
  object->Connect();
  *inner = &object->m_inner;
  return S_OK;
}

CIEConnecter::CIEConnecter(IUnknown* outer, ITypeLib* lib, ITypeInfo* info)
    : m_outer(outer != nullptr ? outer : &m_inner), m_lib(lib), m_info(info) {
  bridge::ObjectCreated();
}

void CIEConnecter::Connect() {
  IDispatch* agent = nullptr;
  if (FAILED(CoCreateInstance(CLSID_Halvren, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvren,
                              reinterpret_cast<void**>(&agent))) ||
      agent == nullptr)
    return;  // unconnected for life
  m_agent = agent;
  m_sink = new CHalvrenSink(this);
  IConnectionPointContainer* container = nullptr;
  if (SUCCEEDED(
          m_agent->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
    if (SUCCEEDED(container->FindConnectionPoint(DIID__IHalvrenEvents, &m_agentPoint))) {
      DWORD cookie = CHalvrenSink::kNoCookie;
      // Without events the methods still work: the result is not acted on.
      if (SUCCEEDED(m_agentPoint->Advise(static_cast<IDispatch*>(m_sink), &cookie))) m_cookie = cookie;
    }
    container->Release();
  }
}

CIEConnecter::~CIEConnecter() {
  if (m_sink != nullptr) {
    m_sink->Detach();  // waits for an event copying the subscribers
    if (m_agentPoint != nullptr && m_cookie != CHalvrenSink::kNoCookie) m_agentPoint->Unadvise(m_cookie);
    m_cookie = CHalvrenSink::kNoCookie;
    CoDisconnectObject(static_cast<IDispatch*>(m_sink), 0);
  }
  if (m_agentPoint != nullptr) m_agentPoint->Release();
  if (m_agent != nullptr) m_agent->Release();
  if (m_sink != nullptr) m_sink->Release();
  m_point.Clear();
  m_info->Release();
  m_lib->Release();
  bridge::ObjectDestroyed();
}

HRESULT CIEConnecter::CInner::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CIEConnecter& o = m_owner;
  if (riid == IID_IUnknown) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  if (riid == IID_IDispatch || riid == IID_IIEConnecter) {
    *ppv = static_cast<IIEConnecter*>(&o);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(&o);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *ppv = static_cast<IProvideClassInfo2*>(&o);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(&o);
  } else {
    return E_NOINTERFACE;
  }
  o.AddRef();  // through the controlling unknown
  return S_OK;
}

ULONG CIEConnecter::CInner::AddRef() { return ++m_owner.m_refs; }

ULONG CIEConnecter::CInner::Release() {
  const ULONG left = --m_owner.m_refs;
  if (left == 0) delete &m_owner;
  return left;
}

HRESULT CIEConnecter::GetTypeInfoCount(UINT* count) { return com_dispatch::TypeInfoCount(count); }

HRESULT CIEConnecter::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  return com_dispatch::TypeInfo(m_info, index, info);
}

HRESULT CIEConnecter::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return com_dispatch::IDsOfNames(m_info, riid, names, count, ids);
}

HRESULT CIEConnecter::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* excep, UINT* argError) {
  return com_dispatch::Invoke(m_info, static_cast<IIEConnecter*>(this), id, riid, flags, params, result,
                              excep, argError);
}

HRESULT CIEConnecter::Forward(DISPID id, VARIANT* args, UINT count, VARIANT* result) {
  if (m_agent == nullptr) {
    ClearCallError();
    return E_FAIL;
  }
  DISPPARAMS dp{args, nullptr, count, 0};
  EXCEPINFO e{};
  UINT argError = 0;
  const HRESULT hr =
      m_agent->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, result, &e, &argError);
  if (hr == DISP_E_EXCEPTION) return RebuildError(e);
  return hr;  // as the agent or the connection gave it
}

HRESULT CIEConnecter::ForwardOut(DISPID id, VARIANT* out) {
  VARIANT local;
  VariantInit(&local);
  VARIANT* target = out != nullptr ? out : &local;
  VariantInit(target);
  const HRESULT hr = Forward(id, nullptr, 0, target);
  VariantClear(&local);
  return hr;
}

HRESULT CIEConnecter::ForwardValue(DISPID id, const VARIANT& in) {
  if (m_agent == nullptr) return Forward(id, nullptr, 0, nullptr);
  ArgumentCopy arg;
  if (HRESULT hr = arg.From(in); FAILED(hr)) return hr;
  return Forward(id, &arg.get(), 1, nullptr);
}

HRESULT CIEConnecter::StartWork() { return Forward(1, nullptr, 0, nullptr); }
HRESULT CIEConnecter::StopWork() { return Forward(2, nullptr, 0, nullptr); }

HRESULT CIEConnecter::GetStatus(LONG* newStatus) {
  if (m_agent == nullptr) return Forward(3, nullptr, 0, nullptr);
  if (newStatus == nullptr) return E_POINTER;
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Forward(3, nullptr, 0, &result);
  if (SUCCEEDED(hr)) {
    hr = VariantChangeType(&result, &result, 0, VT_I4);
    if (SUCCEEDED(hr)) *newStatus = V_I4(&result);
  }
  VariantClear(&result);
  return hr;
}

HRESULT CIEConnecter::GetCurrentTestsList(LONG testType, VARIANT* testsList) {
  VARIANT arg;
  VariantInit(&arg);
  V_VT(&arg) = VT_I4;
  V_I4(&arg) = testType;
  VARIANT local;
  VariantInit(&local);
  VARIANT* target = testsList != nullptr ? testsList : &local;
  VariantInit(target);
  const HRESULT hr = Forward(4, &arg, 1, target);
  VariantClear(&local);
  return hr;
}

HRESULT CIEConnecter::Register(VARIANT newKey, VARIANT newName) {
  if (m_agent == nullptr) return Forward(5, nullptr, 0, nullptr);
  ArgumentCopy key, name;
  if (HRESULT hr = key.From(newKey); FAILED(hr)) return hr;
  if (HRESULT hr = name.From(newName); FAILED(hr)) return hr;
  VARIANT args[2];
  args[0] = name.get();  // reverse order; the copies keep ownership
  args[1] = key.get();
  return Forward(5, args, 2, nullptr);
}

HRESULT CIEConnecter::GetRegisteredEMail(VARIANT* regEMail) { return ForwardOut(6, regEMail); }
HRESULT CIEConnecter::GetRegisteredAgentKey(VARIANT* regKey) { return ForwardOut(7, regKey); }
HRESULT CIEConnecter::GetRegisteredName(VARIANT* regName) { return ForwardOut(8, regName); }
HRESULT CIEConnecter::UnRegister() { return Forward(9, nullptr, 0, nullptr); }
HRESULT CIEConnecter::SetProxy(VARIANT newProxy) { return ForwardValue(10, newProxy); }
HRESULT CIEConnecter::GetProxy(VARIANT* currProxy) { return ForwardOut(11, currProxy); }

HRESULT CIEConnecter::IsTraceOn(VARIANT_BOOL* traceOn) {
  if (m_agent == nullptr) return Forward(12, nullptr, 0, nullptr);
  if (traceOn == nullptr) return E_POINTER;
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Forward(12, nullptr, 0, &result);
  if (SUCCEEDED(hr)) {
    hr = VariantChangeType(&result, &result, 0, VT_BOOL);
    if (SUCCEEDED(hr)) *traceOn = V_BOOL(&result);
  }
  VariantClear(&result);
  return hr;
}

HRESULT CIEConnecter::SetTrace(VARIANT_BOOL trace) {
  VARIANT arg;
  VariantInit(&arg);
  V_VT(&arg) = VT_BOOL;
  V_BOOL(&arg) = trace;
  return Forward(13, &arg, 1, nullptr);
}

HRESULT CIEConnecter::GetTracePath(VARIANT* tracePath) { return ForwardOut(14, tracePath); }
HRESULT CIEConnecter::CollectLogs(VARIANT* zipFilePath) { return ForwardOut(15, zipFilePath); }

HRESULT CIEConnecter::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (points != nullptr) *points = nullptr;
  return E_NOTIMPL;
}

HRESULT CIEConnecter::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (riid != DIID__IIEConnecterEvents) return CONNECT_E_NOCONNECTION;
  m_point.AddRef();
  *point = &m_point;
  return S_OK;
}

HRESULT CIEConnecter::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return m_lib->GetTypeInfoOfGuid(CLSID_IEConnecter, info);
}

HRESULT CIEConnecter::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = DIID__IIEConnecterEvents;
  return S_OK;
}

HRESULT CIEConnecter::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IIEConnecter ? S_OK : S_FALSE;
}

std::vector<IDispatch*> CIEConnecter::Subscribers() {
  std::vector<IDispatch*> out;
  for (const CConnectionPoint::Connection& c : m_point.Snapshot()) out.push_back(c.sink);
  return out;
}

// ---- the class object

HRESULT CIEConnecterFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory*>(this);
  return S_OK;
}

HRESULT CIEConnecterFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  IUnknown* inner = nullptr;
  HRESULT hr = CIEConnecter::Create(outer, &inner);
  if (FAILED(hr)) return hr;
  hr = inner->QueryInterface(riid, ppv);
  inner->Release();
  return hr;
}

HRESULT CIEConnecterFactory::LockServer(BOOL lock) {
  if (lock)
    bridge::Lock();
  else
    bridge::Unlock();
  return S_OK;
}
