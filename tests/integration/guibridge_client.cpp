// A compiled client of GuiBridge.dll for the bridge test under Wine (cscript
// cannot sink events). One mode per run:
//   typelib          the registered type library read back
//   inproc AGENT     the bridge with a stand-in agent in this process (no
//                    agent registered yet); AGENT is the agent program, whose
//                    type library is registered halfway
//   events           against the real agent: vtable results, events to two
//                    bridges, a handler that calls back
//   disconnect FILE  connect, touch FILE, wait for the agent to go, then call
#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "GuiBridge_h.h"
#include "Halvren_h.h"

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  fflush(stdout);
  if (!ok) ++g_failures;
}

std::string Narrow(const wchar_t* w) {
  if (w == nullptr) return std::string();
  std::string out;
  for (; *w; ++w) out += static_cast<char>(*w < 128 ? *w : '?');
  return out;
}

std::string Hex(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(hr));
  return buf;
}

VARIANT Text(const std::wstring& s) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return v;
}

VARIANT Number(long n) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = n;
  return v;
}

// This thread's error object's description, taken (and so cleared).
std::string TakeError() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return "<none>";
  BSTR d = nullptr;
  info->GetDescription(&d);
  std::string out = Narrow(d);
  SysFreeString(d);
  info->Release();
  return out;
}

void SetStaleError() {
  ICreateErrorInfo* c = nullptr;
  if (FAILED(CreateErrorInfo(&c))) return;
  c->SetDescription(const_cast<LPOLESTR>(L"stale"));
  IErrorInfo* e = nullptr;
  c->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&e));
  SetErrorInfo(0, e);
  e->Release();
  c->Release();
}

IIEConnecter* CreateBridge() {
  IIEConnecter* o = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_IEConnecter, nullptr, CLSCTX_INPROC_SERVER, IID_IIEConnecter,
                                      reinterpret_cast<void**>(&o));
  if (FAILED(hr)) printf("bridge creation failed: 0x%s\n", Hex(hr).c_str());
  return o;
}

// A sink of the bridge's events: counts StatusChanged, optionally fails or
// calls back into the bridge from its handler.
class Subscriber : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IIEConnecterEvents) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on main's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (id != 2 || p == nullptr || p->cArgs != 2) return DISP_E_MEMBERNOTFOUND;
    lastCode = V_VT(&p->rgvarg[1]) == VT_I4 ? V_I4(&p->rgvarg[1]) : -1;
    lastText = V_VT(&p->rgvarg[0]) == VT_BSTR ? Narrow(V_BSTR(&p->rgvarg[0])) : "?";
    ++events;
    if (callBack != nullptr && events == 1) {
      const auto start = std::chrono::steady_clock::now();
      LONG status = 0;
      handlerStatus = callBack->GetStatus(&status);
      handlerUnadvise = point->Unadvise(cookie);
      handlerMs = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
              .count());
    }
    return answer;
  }

  bool Advise(IUnknown* o) {
    IConnectionPointContainer* c = nullptr;
    if (FAILED(o->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&c)))) return false;
    const HRESULT hr = c->FindConnectionPoint(DIID__IIEConnecterEvents, &point);
    c->Release();
    return SUCCEEDED(hr) && SUCCEEDED(point->Advise(static_cast<IDispatch*>(this), &cookie));
  }
  void Unadvise() {
    if (point == nullptr) return;
    point->Unadvise(cookie);
    point->Release();
    point = nullptr;
  }

  std::atomic<ULONG> refs{1};
  std::atomic<int> events{0};
  long lastCode = 0;
  std::string lastText;
  HRESULT answer = S_OK;
  IIEConnecter* callBack = nullptr;
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  std::atomic<HRESULT> handlerStatus{E_PENDING}, handlerUnadvise{E_PENDING};
  std::atomic<long> handlerMs{-1};
};

bool WaitFor(const std::atomic<int>& n, int atLeast, int ms) {
  for (int waited = 0; n < atLeast && waited < ms; waited += 20) Sleep(20);
  return n >= atLeast;
}

// ---- typelib

int TypeLib() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_GuiBridgeLib, 1, 0, 0, &lib);
  Check(SUCCEEDED(hr), "the type library is registered by LIBID (" + Hex(hr) + ")");
  if (FAILED(hr)) return 1;
  BSTR doc = nullptr;
  lib->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr);
  Check(Narrow(doc) == "GuiBridge 1.0 Type Library", "library help string");
  SysFreeString(doc);
  struct Type {
    const GUID* guid;
    TYPEKIND kind;
    const char* help;
  } types[] = {{&IID_IIEConnecter, TKIND_DISPATCH, "IIEConnecter Interface"},
               {&DIID__IIEConnecterEvents, TKIND_DISPATCH, "_IIEConnecterEvents Interface"},
               {&CLSID_IEConnecter, TKIND_COCLASS, "IEConnecter Class"}};
  for (const Type& t : types) {
    ITypeInfo* info = nullptr;
    hr = lib->GetTypeInfoOfGuid(*t.guid, &info);
    bool ok = SUCCEEDED(hr);
    if (ok) {
      TYPEATTR* attr = nullptr;
      info->GetTypeAttr(&attr);
      ok = attr->typekind == t.kind;
      info->ReleaseTypeAttr(attr);
      BSTR help = nullptr;
      info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
      ok = ok && Narrow(help) == t.help;
      SysFreeString(help);
      info->Release();
    }
    Check(ok, std::string("type ") + t.help);
  }
  // The dual interface's vtable part: fifteen methods after IDispatch's seven.
  ITypeInfo* disp = nullptr;
  lib->GetTypeInfoOfGuid(IID_IIEConnecter, &disp);
  HREFTYPE ref = 0;
  ITypeInfo* vt = nullptr;
  if (disp == nullptr || FAILED(disp->GetRefTypeOfImplType(-1, &ref)) ||
      FAILED(disp->GetRefTypeInfo(ref, &vt))) {
    Check(false, "the dual interface's vtable part");
    return 1;
  }
  struct Method {
    const char* name;
    std::vector<const char*> params;
  } methods[] = {{"StartWork", {}},
                 {"StopWork", {}},
                 {"GetStatus", {"newStatus"}},
                 {"GetCurrentTestsList", {"testType", "testsList"}},
                 {"Register", {"newKey", "newName"}},
                 {"GetRegisteredEMail", {"regEMail"}},
                 {"GetRegisteredAgentKey", {"regKey"}},
                 {"GetRegisteredName", {"regName"}},
                 {"UnRegister", {}},
                 {"SetProxy", {"newProxy"}},
                 {"GetProxy", {"currProxy"}},
                 {"IsTraceOn", {"traceOn"}},
                 {"SetTrace", {"trace"}},
                 {"GetTracePath", {"tracePath"}},
                 {"CollectLogs", {"zipFilePath"}}};
  TYPEATTR* attr = nullptr;
  vt->GetTypeAttr(&attr);
  Check(attr->cFuncs == 15 && (attr->wTypeFlags & TYPEFLAG_FDUAL) &&
            (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) && (attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE),
        "fifteen methods, dual, oleautomation, nonextensible");
  vt->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < 15; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(vt->GetFuncDesc(i, &f))) {
      Check(false, std::string("method ") + methods[i].name);
      continue;
    }
    BSTR names[8] = {};
    UINT count = 0;
    vt->GetNames(f->memid, names, 8, &count);
    BSTR help = nullptr;
    vt->GetDocumentation(f->memid, nullptr, &help, nullptr, nullptr);
    bool ok = f->memid == static_cast<MEMBERID>(i + 1) && Narrow(names[0]) == methods[i].name &&
              count == methods[i].params.size() + 1 &&
              Narrow(help) == std::string("method ") + methods[i].name &&
              f->oVft == static_cast<SHORT>((7 + i) * sizeof(void*));
    for (UINT p = 0; ok && p < methods[i].params.size(); ++p)
      ok = Narrow(names[p + 1]) == methods[i].params[p];
    Check(ok, std::string("method ") + methods[i].name + " (DISPID, parameters, help, vtable slot)");
    for (BSTR& n : names) SysFreeString(n);
    SysFreeString(help);
    vt->ReleaseFuncDesc(f);
  }
  vt->Release();
  disp->Release();
  lib->Release();
  return g_failures == 0 ? 0 : 1;
}

// ---- inproc: a stand-in agent registered in this process

HRESULT __stdcall FillIn(EXCEPINFO* e) {
  e->bstrDescription = SysAllocString(L"deferred text");
  e->bstrSource = SysAllocString(L"Halvren.1");
  return S_OK;
}

class FakeAgent : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHalvren)
      *ppv = static_cast<IDispatch*>(this);
    else if (riid == IID_IConnectionPointContainer)
      *ppv = static_cast<IConnectionPointContainer*>(this);
    else if (riid == IID_IConnectionPoint)
      *ppv = static_cast<IConnectionPoint*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT* result,
                                   EXCEPINFO* e, UINT*) override {
    lastId = id;
    lastFlags = flags;
    args.clear();
    for (UINT i = 0; p != nullptr && i < p->cArgs; ++i) {
      VARIANT copy;
      VariantInit(&copy);
      VariantCopy(&copy, &p->rgvarg[i]);
      args.push_back(copy);
    }
    switch (id) {
      case 1: return static_cast<HRESULT>(0x800706BA);
      case 3:
        if (result) *result = Number(42);
        return S_OK;
      case 5:
        if (e == nullptr) return E_FAIL;
        *e = EXCEPINFO{};
        e->scode = E_FAIL;
        e->pfnDeferredFillIn = FillIn;
        return DISP_E_EXCEPTION;
      case 11:
        if (result) *result = Text(L"proxy:8080");
        return S_OK;
      case 12:
        if (result) {
          VariantInit(result);
          V_VT(result) = VT_BOOL;
          V_BOOL(result) = VARIANT_TRUE;
        }
        return S_OK;
      default: return S_OK;
    }
  }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (riid != DIID__IHalvrenEvents) return CONNECT_E_NOCONNECTION;
    AddRef();
    *point = static_cast<IConnectionPoint*>(this);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* s, DWORD* cookie) override {
    if (FAILED(s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink)))) return E_FAIL;
    *cookie = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    unadvised = cookie;
    if (sink) sink->Release();
    sink = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  std::atomic<ULONG> refs{1};
  DISPID lastId = 0;
  WORD lastFlags = 0;
  std::vector<VARIANT> args;
  IDispatch* sink = nullptr;
  DWORD unadvised = 0;
};

class FakeFactory : public IClassFactory {
 public:
  explicit FakeFactory(FakeAgent& agent) : m_agent(agent) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return m_agent.QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  FakeAgent& m_agent;
};

class Outer : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

HRESULT StatusEvent(IDispatch* sink, long code, const wchar_t* text) {
  VARIANT args[2] = {Text(text), Number(code)};
  DISPPARAMS p{args, nullptr, 2, 0};
  const HRESULT hr = sink->Invoke(2, IID_NULL, 0x0400, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr);
  VariantClear(&args[0]);
  return hr;
}

int InProc(const wchar_t* agentPath) {
  // Unconnected: no agent is registered yet.
  IIEConnecter* o = CreateBridge();
  Check(o != nullptr, "unconnected: creation succeeds");
  if (o == nullptr) return 1;
  using Call = HRESULT (*)(IIEConnecter*);
  VARIANT v;
  VariantInit(&v);
  static VARIANT out;
  static LONG n;
  static VARIANT_BOOL b;
  const std::pair<const char*, Call> calls[] = {
      {"StartWork", [](IIEConnecter* x) { return x->StartWork(); }},
      {"StopWork", [](IIEConnecter* x) { return x->StopWork(); }},
      {"GetStatus", [](IIEConnecter* x) { return x->GetStatus(&n); }},
      {"GetCurrentTestsList", [](IIEConnecter* x) { return x->GetCurrentTestsList(0, &out); }},
      {"Register", [](IIEConnecter* x) { return x->Register(Number(1), Number(2)); }},
      {"GetRegisteredEMail", [](IIEConnecter* x) { return x->GetRegisteredEMail(&out); }},
      {"GetRegisteredAgentKey", [](IIEConnecter* x) { return x->GetRegisteredAgentKey(&out); }},
      {"GetRegisteredName", [](IIEConnecter* x) { return x->GetRegisteredName(&out); }},
      {"UnRegister", [](IIEConnecter* x) { return x->UnRegister(); }},
      {"SetProxy", [](IIEConnecter* x) { return x->SetProxy(Number(3)); }},
      {"GetProxy", [](IIEConnecter* x) { return x->GetProxy(&out); }},
      {"IsTraceOn", [](IIEConnecter* x) { return x->IsTraceOn(&b); }},
      {"SetTrace", [](IIEConnecter* x) { return x->SetTrace(VARIANT_TRUE); }},
      {"GetTracePath", [](IIEConnecter* x) { return x->GetTracePath(&out); }},
      {"CollectLogs", [](IIEConnecter* x) { return x->CollectLogs(&out); }},
  };
  for (const auto& c : calls) {
    SetStaleError();
    const HRESULT hr = c.second(o);
    Check(hr == E_FAIL && TakeError() == "<none>",
          std::string("unconnected ") + c.first + ": E_FAIL, no stale error");
  }
  // Late bound too: E_FAIL comes back as the call's result.
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"GetStatus");
  VARIANT r;
  VariantInit(&r);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO ex{};
  const bool named = o->GetIDsOfNames(IID_NULL, &name, 1, 0, &id) == S_OK && id == 3;
  const HRESULT late = o->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, &r, &ex, nullptr);
  Check(named && late == DISP_E_EXCEPTION && ex.scode == E_FAIL,
        "unconnected: IDispatch::Invoke of GetStatus gives E_FAIL as its exception (" + Hex(late) + ")");
  SysFreeString(ex.bstrDescription);
  SysFreeString(ex.bstrSource);
  SysFreeString(ex.bstrHelpFile);
  ISupportErrorInfo* sei = nullptr;
  o->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei));
  Check(sei && sei->InterfaceSupportsErrorInfo(IID_IIEConnecter) == S_OK &&
            sei->InterfaceSupportsErrorInfo(IID_IDispatch) == S_FALSE,
        "ISupportErrorInfo for IIEConnecter only");
  if (sei) sei->Release();
  IProvideClassInfo2* pci = nullptr;
  GUID source{};
  o->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&pci));
  Check(pci && pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source) == S_OK &&
            source == DIID__IIEConnecterEvents,
        "IProvideClassInfo2: the default source");
  if (pci) pci->Release();

  // The module's counts.
  HMODULE dll = GetModuleHandleW(L"GuiBridge.dll");
  auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  Check(canUnload && canUnload() == S_FALSE, "DllCanUnloadNow: S_FALSE with an object");
  o->Release();
  Check(canUnload && canUnload() == S_OK, "DllCanUnloadNow: S_OK with none");
  IClassFactory* factory = nullptr;
  CoGetClassObject(CLSID_IEConnecter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                   reinterpret_cast<void**>(&factory));
  Check(factory != nullptr, "the class object");
  if (factory == nullptr) return 1;
  factory->LockServer(TRUE);
  Check(canUnload() == S_FALSE, "DllCanUnloadNow: S_FALSE while locked");
  factory->LockServer(FALSE);
  Check(canUnload() == S_OK, "DllCanUnloadNow: S_OK after the unlock");

  // Aggregation: the outer unknown only with IID_IUnknown.
  Outer outer;
  void* p = nullptr;
  Check(factory->CreateInstance(&outer, IID_IIEConnecter, &p) == CLASS_E_NOAGGREGATION && p == nullptr,
        "aggregation asking for IIEConnecter: CLASS_E_NOAGGREGATION");
  IUnknown* inner = nullptr;
  Check(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)) == S_OK && inner,
        "aggregation with IID_IUnknown");
  if (inner) {
    IIEConnecter* viaInner = nullptr;
    inner->QueryInterface(IID_IIEConnecter, reinterpret_cast<void**>(&viaInner));
    Check(viaInner && outer.refs == 2, "an aggregated interface counts on the outer unknown");
    IUnknown* back = nullptr;
    if (viaInner) {
      viaInner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back));
      Check(back == nullptr && outer.refs == 2, "... and delegates its QueryInterface to it");
      viaInner->Release();
    }
    inner->Release();
    Check(canUnload() == S_OK && outer.refs == 1, "the aggregated object is gone with its inner unknown");
  }
  factory->Release();

  // Connected to a stand-in agent in this process.
  FakeAgent agent;
  FakeFactory agentFactory(agent);
  DWORD reg = 0;
  HRESULT hr =
      CoRegisterClassObject(CLSID_Halvren, &agentFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &reg);
  Check(SUCCEEDED(hr), "stand-in agent registered (" + Hex(hr) + ")");
  o = CreateBridge();
  Check(o && agent.sink != nullptr, "connected: the sink is advised on the agent");
  if (o == nullptr || agent.sink == nullptr) return 1;

  VARIANT key = Text(std::wstring(257, L'k')), keyRef;
  VariantInit(&keyRef);
  V_VT(&keyRef) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&keyRef) = &key;
  SetStaleError();
  hr = o->Register(keyRef, Number(5));
  Check(hr == E_FAIL && TakeError() == "deferred text",
        "Register: the agent's exception as E_FAIL and its text");
  Check(agent.lastId == 5 && agent.lastFlags == DISPATCH_METHOD && agent.args.size() == 2 &&
            V_VT(&agent.args[1]) == VT_BSTR && SysStringLen(V_BSTR(&agent.args[1])) == 257 &&
            V_VT(&agent.args[0]) == VT_I4 && V_I4(&agent.args[0]) == 5,
        "Register: DISPID 5, arguments reversed and dereferenced");
  VariantClear(&key);
  LONG status = 0;
  Check(o->GetStatus(&status) == S_OK && status == 42 && agent.lastId == 3, "GetStatus: the agent's long");
  VARIANT_BOOL trace = VARIANT_FALSE;
  Check(o->IsTraceOn(&trace) == S_OK && trace == VARIANT_TRUE, "IsTraceOn: the agent's VARIANT_BOOL");
  Check(o->SetTrace(VARIANT_TRUE) == S_OK && agent.args.size() == 1 && V_VT(&agent.args[0]) == VT_BOOL &&
            V_BOOL(&agent.args[0]) == VARIANT_TRUE,
        "SetTrace: a VT_BOOL argument");
  Check(o->GetCurrentTestsList(3, &out) == S_OK && agent.args.size() == 1 && V_VT(&agent.args[0]) == VT_I4 &&
            V_I4(&agent.args[0]) == 3,
        "GetCurrentTestsList: a VT_I4 argument");
  VariantClear(&out);
  VARIANT proxy;
  VariantInit(&proxy);
  Check(o->GetProxy(&proxy) == S_OK && V_VT(&proxy) == VT_BSTR && Narrow(V_BSTR(&proxy)) == "proxy:8080",
        "GetProxy: the agent's VARIANT");
  VariantClear(&proxy);
  Check(o->GetProxy(nullptr) == S_OK, "GetProxy with no out-parameter");
  Check(o->StartWork() == static_cast<HRESULT>(0x800706BA), "another failure comes back unchanged");

  // The sink.
  IDispatch* sink = agent.sink;
  sink->AddRef();
  Subscriber a, bsub;
  Check(a.Advise(o) && bsub.Advise(o), "two subscribers advised");
  Check(sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr) == E_NOTIMPL,
        "sink: TestListChanged is E_NOTIMPL");
  IUnknown* unk = nullptr;
  Check(sink->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&unk)) == E_NOINTERFACE,
        "sink: no other interface");
  Check(StatusEvent(sink, 6, L"six") == S_OK && a.events == 0 && bsub.events == 0,
        "sink: without the agent's type library the event is answered S_OK and dropped");
  ITypeLib* agentLib = nullptr;
  hr = LoadTypeLibEx(agentPath, REGKIND_REGISTER, &agentLib);
  Check(SUCCEEDED(hr), "the agent's type library registered (" + Hex(hr) + ")");
  if (agentLib) agentLib->Release();
  a.answer = E_FAIL;
  bsub.answer = DISP_E_MEMBERNOTFOUND;
  hr = StatusEvent(sink, 6, L"six");
  Check(a.events == 1 && bsub.events == 1 && a.lastCode == 6 && bsub.lastText == "six",
        "sink: re-fired to every subscriber, a failing one not stopping the next");
  Check(hr == DISP_E_MEMBERNOTFOUND, "sink: the last subscriber's result goes back");
  a.Unadvise();
  bsub.Unadvise();

  // The bridge goes while the sink is still referenced (a stub, a late event).
  o->Release();
  Check(agent.unadvised == 7, "the bridge unadvised its sink on the agent");
  Check(StatusEvent(sink, 6, L"late") == S_OK && a.events == 1, "a late event: S_OK, dropped");
  sink->Release();
  Check(canUnload() == S_OK, "after the last reference nothing is left");
  Check(agent.refs == 1, "the agent released");
  CoRevokeClassObject(reg);
  for (VARIANT& x : agent.args) VariantClear(&x);
  return g_failures == 0 ? 0 : 1;
}

// ---- events: the real agent behind two bridges

int Events() {
  IIEConnecter* one = CreateBridge();
  IIEConnecter* two = CreateBridge();
  if (one == nullptr || two == nullptr) return 1;
  // Through the vtable: the agent's HRESULT, and its text as this thread's error.
  VARIANT key = Text(std::wstring(257, L'k')), name = Text(L"n");
  HRESULT hr = one->Register(key, name);
  const std::string text = TakeError();
  Check(hr == E_FAIL && text == "The length of the Agent Key cannot be 0 or more than 256 symbols.",
        "vtable Register of 257: E_FAIL with the agent's text (" + Hex(hr) + " " + text + ")");
  VariantClear(&key);
  VariantClear(&name);
  LONG status = -1;
  hr = one->GetStatus(&status);
  Check(hr == S_OK && status >= 0, "vtable GetStatus (" + Hex(hr) + ")");

  Subscriber a, b;
  Check(a.Advise(one) && b.Advise(two), "a subscriber on each bridge");
  VARIANT proxy = Text(L"proxy.example:3128");
  hr = one->SetProxy(proxy);
  Check(hr == S_OK, "SetProxy (" + Hex(hr) + ")");
  VariantClear(&proxy);
  Check(WaitFor(a.events, 1, 10000) && WaitFor(b.events, 1, 10000) && a.lastCode == 6 && b.lastCode == 6,
        "both bridges re-fire StatusChanged 6");
  a.Unadvise();
  b.Unadvise();

  // A handler that calls back into its bridge returns promptly.
  Subscriber h;
  h.callBack = two;
  Check(h.Advise(two), "a calling-back subscriber");
  VARIANT empty = Text(L"");
  two->SetProxy(empty);
  VariantClear(&empty);
  for (int waited = 0; h.handlerMs < 0 && waited < 10000; waited += 20) Sleep(20);
  Check(h.handlerStatus == S_OK && h.handlerUnadvise == S_OK && h.handlerMs >= 0 && h.handlerMs < 5000,
        "the handler's GetStatus and Unadvise return (" + std::to_string(h.handlerMs) + " ms)");
  if (h.point) h.point->Release();
  one->Release();
  two->Release();
  return g_failures == 0 ? 0 : 1;
}

int Disconnect(const char* file) {
  IIEConnecter* o = CreateBridge();
  if (o == nullptr) return 1;
  LONG status = 0;
  Check(o->GetStatus(&status) == S_OK, "connected");
  FILE* f = fopen(file, "w");
  if (f) fclose(f);
  HRESULT hr = S_OK;
  for (int i = 0; i < 300 && SUCCEEDED(hr = o->GetStatus(&status)); ++i) Sleep(100);
  // Wine answers 800706B5 (interface unknown) while the ending process still
  // holds its endpoint, 800706BA once it is gone.
  Check(hr == RPC_E_DISCONNECTED || hr == static_cast<HRESULT>(0x800706BA) ||
            hr == static_cast<HRESULT>(0x800706BE) || hr == static_cast<HRESULT>(0x800706B5) ||
            hr == CO_E_OBJNOTCONNECTED,
        "after the agent ended: its disconnection HRESULT (" + Hex(hr) + ")");
  o->Release();
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int rc = 2;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "typelib") {
    rc = TypeLib();
  } else if (mode == "inproc" && argc > 2) {
    std::wstring path(argv[2], argv[2] + strlen(argv[2]));
    rc = InProc(path.c_str());
  } else if (mode == "events") {
    rc = Events();
  } else if (mode == "disconnect" && argc > 2) {
    rc = Disconnect(argv[2]);
  } else {
    fprintf(stderr, "usage: guibridge_client typelib|inproc AGENT|events|disconnect FILE\n");
  }
  CoUninitialize();
  return rc;
}
