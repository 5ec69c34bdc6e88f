// A compiled client of the agent's control object, for the service test under
// Wine (scripts cannot sink events). One mode per run:
//   identity                  two activations give the same object
//   validate                  argument checks through the vtable and IDispatch
//   listen N SECONDS FILE     advise, touch FILE, print N events, exit 0
//   trigger N KEY NAME        N status events (alternately 6 and 7)
//   handler                   a sink that calls GetStatus and Unadvise from its event
//   die FILE                  advise, touch FILE, end the process without unadvising
//   block FILE                advise a sink that never returns from its event
//   sleep SECONDS             stand in for another program (the front-end)
#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "Halvren_h.h"

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  fflush(stdout);
  if (!ok) ++g_failures;
}

void Touch(const char* file) {
  FILE* f = fopen(file, "w");
  if (f) fclose(f);
}

std::string Narrow(const wchar_t* w) {
  if (w == nullptr) return std::string();
  char buf[1024];
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
  return n > 0 ? std::string(buf, n - 1) : std::string();
}

IHalvren* Activate() {
  IHalvren* o = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_Halvren, nullptr, CLSCTX_LOCAL_SERVER, IID_IHalvren,
                                      reinterpret_cast<void**>(&o));
  if (FAILED(hr)) printf("activation failed: 0x%08lx\n", static_cast<unsigned long>(hr));
  return o;
}

class Sink : public IDispatch {
 public:
  enum class Mode { print, handler, block };
  Sink(Mode mode, IHalvren* object) : m_mode(mode), m_object(object) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IHalvrenEvents) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }  // lives on the stack of main
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
    const long code = V_VT(&p->rgvarg[1]) == VT_I4 ? V_I4(&p->rgvarg[1]) : -1;
    const std::string text = V_VT(&p->rgvarg[0]) == VT_BSTR ? Narrow(V_BSTR(&p->rgvarg[0])) : "?";
    {
      std::lock_guard<std::mutex> lock(m_lock);
      printf("event %ld %s\n", code, text.c_str());
      fflush(stdout);
    }
    ++events;
    if (m_mode == Mode::block) Sleep(INFINITE);
    if (m_mode == Mode::handler && events == 1) {
      const auto start = std::chrono::steady_clock::now();
      LONG status = 0;
      handlerStatus = m_object->GetStatus(&status);
      handlerUnadvise = point->Unadvise(cookie);
      handlerMs = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
              .count());
    }
    return S_OK;
  }

  std::atomic<int> events{0};
  IConnectionPoint* point = nullptr;
  DWORD cookie = 0;
  std::atomic<HRESULT> handlerStatus{E_PENDING}, handlerUnadvise{E_PENDING};
  std::atomic<long> handlerMs{-1};

 private:
  Mode m_mode;
  IHalvren* m_object;
  std::atomic<ULONG> m_refs{1};
  std::mutex m_lock;
};

bool Advise(IHalvren* o, Sink& sink) {
  IConnectionPointContainer* c = nullptr;
  if (FAILED(o->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&c)))) return false;
  const HRESULT hr = c->FindConnectionPoint(DIID__IHalvrenEvents, &sink.point);
  c->Release();
  if (FAILED(hr)) return false;
  return SUCCEEDED(sink.point->Advise(static_cast<IDispatch*>(&sink), &sink.cookie));
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

// Late binding: the error text arrives as EXCEPINFO.
std::string InvokeText(IDispatch* d, const wchar_t* method, VARIANT* args, UINT count, HRESULT& hr) {
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(method);
  hr = d->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return "no such method";
  DISPPARAMS params{args, nullptr, count, 0};
  EXCEPINFO ex{};
  VARIANT result;
  VariantInit(&result);
  hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &ex, nullptr);
  VariantClear(&result);
  std::string text;
  if (hr == DISP_E_EXCEPTION) {
    text = Narrow(ex.bstrDescription);
    hr = ex.scode;
    if (Narrow(ex.bstrSource) != "Halvren.1") text += " [source " + Narrow(ex.bstrSource) + "]";
  }
  SysFreeString(ex.bstrDescription);
  SysFreeString(ex.bstrSource);
  SysFreeString(ex.bstrHelpFile);
  return text;
}

int Validate() {
  IHalvren* o = Activate();
  if (o == nullptr) return 1;
  const std::wstring k256(256, L'k'), k257(257, L'k');
  const std::string keyLength = "The length of the Agent Key cannot be 0 or more than 256 symbols.";
  const std::string nameLength = "The length of the Agent Name cannot be 0 or more than 256 symbols.";
  struct Row {
    const char* what;
    VARIANT key, name;
    HRESULT hr;
    std::string text;
  };
  Row rows[] = {
      {"key of 257", Text(k257), Text(L"n"), E_FAIL, keyLength},
      {"key of 257 before a bad name", Text(k257), Number(5), E_FAIL, keyLength},
      {"empty key", Text(L""), Text(L"n"), E_FAIL, keyLength},
      {"number as key", Number(7), Text(L"n"), E_FAIL, "The Agent Key should be a text."},
      {"number as name", Text(L"KEY-IT-1"), Number(7), E_FAIL, "The Agent Name should be a text."},
      {"empty name", Text(L"KEY-IT-1"), Text(L""), E_FAIL, nameLength},
      {"key and name of 256", Text(k256), Text(std::wstring(256, L'n')), S_OK, ""},
  };
  for (Row& r : rows) {
    // Through the vtable: the HRESULT.
    Check(o->Register(r.key, r.name) == r.hr, std::string("vtable Register: ") + r.what);
    // Late bound: the text. Arguments in reverse order.
    VARIANT args[2] = {r.name, r.key};
    HRESULT hr = S_OK;
    const std::string text = InvokeText(o, L"Register", args, 2, hr);
    Check(hr == r.hr && text == r.text, std::string("Invoke Register: ") + r.what + " -> " + text);
    VariantClear(&r.key);
    VariantClear(&r.name);
  }
  {
    VARIANT p = Text(std::wstring(257, L'p'));
    HRESULT hr = S_OK;
    const std::string text = InvokeText(o, L"SetProxy", &p, 1, hr);
    Check(hr == E_FAIL && text == "The length of the Proxy Server Name cannot be 0 or more than 256 symbols.",
          "SetProxy of 257 -> " + text);
    VariantClear(&p);
    VARIANT n = Number(3);
    const std::string notText = InvokeText(o, L"SetProxy", &n, 1, hr);
    Check(hr == E_FAIL && notText == "The Proxy Server Name should be a text.", "SetProxy of a number");
    VARIANT empty = Text(L"");
    Check(o->SetProxy(empty) == S_OK, "SetProxy of an empty text clears it");
    VariantClear(&empty);
  }
  {
    // The worker's name comes back unchanged, non-ASCII letters included.
    VARIANT key = Text(L"KEY-IT-1"), name = Text(L"agent-it");
    Check(o->Register(key, name) == S_OK, "Register the test's key again");
    VariantClear(&key);
    VariantClear(&name);
    VARIANT got;
    VariantInit(&got);
    Check(o->GetRegisteredName(&got) == S_OK && V_VT(&got) == VT_BSTR && Narrow(V_BSTR(&got)) == "agent-it",
          "GetRegisteredName");
    VariantClear(&got);
  }
  {
    // The type library turns a VARIANT_BOOL argument of 1 into VARIANT_TRUE
    // through late binding; through the vtable 1 is "off".
    Check(o->SetTrace(1) == S_OK, "SetTrace(1) through the vtable");
    VARIANT_BOOL on = VARIANT_TRUE;
    Check(o->IsTraceOn(&on) == S_OK && on == VARIANT_FALSE, "... switches tracing off");
    Check(o->SetTrace(VARIANT_TRUE) == S_OK && o->IsTraceOn(&on) == S_OK && on == VARIANT_TRUE,
          "SetTrace(-1) switches it on");
    LONG status = 0;
    Check(o->GetStatus(&status) == S_OK && status >= 1 && status <= 11, "GetStatus");
    // A null pointer for a number or a flag is refused (by the proxy or the object).
    const HRESULT nullStatus = o->GetStatus(nullptr);
    const HRESULT nullTrace = o->IsTraceOn(nullptr);
    Check(FAILED(nullStatus) && FAILED(nullTrace), "null out-pointers are refused");
    Check(o->StartWork() == S_OK, "StartWork on a running agent");
  }
  o->Release();
  return g_failures == 0 ? 0 : 1;
}

int Identity() {
  IHalvren* a = Activate();
  IHalvren* b = Activate();
  if (a == nullptr || b == nullptr) return 1;
  IUnknown *ua = nullptr, *ub = nullptr;
  a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua));
  b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub));
  Check(ua != nullptr && ua == ub, "two activations give one object");
  IProvideClassInfo2* info = nullptr;
  GUID source{};
  Check(SUCCEEDED(a->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&info))) &&
            SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source)) &&
            source == DIID__IHalvrenEvents,
        "the default source is _IHalvrenEvents");
  if (info) info->Release();
  ua->Release();
  ub->Release();
  a->Release();
  b->Release();
  return g_failures == 0 ? 0 : 1;
}

int Listen(int count, int seconds, const char* ready) {
  IHalvren* o = Activate();
  if (o == nullptr) return 1;
  Sink sink(Sink::Mode::print, o);
  if (!Advise(o, sink)) return 1;
  Touch(ready);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (sink.events < count && std::chrono::steady_clock::now() < end) Sleep(50);
  sink.point->Unadvise(sink.cookie);
  sink.point->Release();
  o->Release();
  return sink.events >= count ? 0 : 1;
}

int Trigger(int count, const wchar_t* key, const wchar_t* name) {
  IHalvren* o = Activate();
  if (o == nullptr) return 1;
  for (int i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      VARIANT p = Text(L"");
      o->SetProxy(p);
      VariantClear(&p);
    } else {
      VARIANT k = Text(key), n = Text(name);
      o->Register(k, n);
      VariantClear(&k);
      VariantClear(&n);
    }
  }
  o->Release();
  return 0;
}

int Handler() {
  IHalvren* o = Activate();
  if (o == nullptr) return 1;
  Sink sink(Sink::Mode::handler, o);
  if (!Advise(o, sink)) return 1;
  VARIANT p = Text(L"");
  for (int i = 0; i < 3; ++i) o->SetProxy(p);
  VariantClear(&p);
  for (int i = 0; i < 100 && sink.handlerMs < 0; ++i) Sleep(50);
  Sleep(500);  // later events would have arrived by now
  Check(sink.handlerStatus == S_OK && sink.handlerUnadvise == S_OK,
        "GetStatus and Unadvise from the handler");
  Check(sink.handlerMs >= 0 && sink.handlerMs < 1000,
        "... returned within 1 s (" + std::to_string(sink.handlerMs.load()) + " ms)");
  Check(sink.events == 1,
        "no event after the handler unadvised (" + std::to_string(sink.events.load()) + ")");
  sink.point->Release();
  o->Release();
  return g_failures == 0 ? 0 : 1;
}

int AdviseAnd(Sink::Mode mode, const char* ready, bool die) {
  IHalvren* o = Activate();
  if (o == nullptr) return 1;
  Sink sink(mode, o);
  if (!Advise(o, sink)) return 1;
  Touch(ready);
  if (die) TerminateProcess(GetCurrentProcess(), 9);
  Sleep(120000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "sleep") {
    Sleep(static_cast<DWORD>(atoi(argc > 2 ? argv[2] : "60")) * 1000);
    return 0;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  int rc = 2;
  if (mode == "identity")
    rc = Identity();
  else if (mode == "validate")
    rc = Validate();
  else if (mode == "listen" && argc >= 5)
    rc = Listen(atoi(argv[2]), atoi(argv[3]), argv[4]);
  else if (mode == "trigger" && argc >= 5) {
    wchar_t key[300], name[300];
    MultiByteToWideChar(CP_UTF8, 0, argv[3], -1, key, 300);
    MultiByteToWideChar(CP_UTF8, 0, argv[4], -1, name, 300);
    rc = Trigger(atoi(argv[2]), key, name);
  } else if (mode == "handler")
    rc = Handler();
  else if (mode == "die" && argc >= 3)
    rc = AdviseAnd(Sink::Mode::print, argv[2], true);
  else if (mode == "block" && argc >= 3)
    rc = AdviseAnd(Sink::Mode::block, argv[2], false);
  CoUninitialize();
  return rc;
}
