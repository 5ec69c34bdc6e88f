// The control object in-process, over a worker with fake seams: the access
// decision reaching the caller as E_ACCESSDENIED with its error information,
// null out-pointers, the log collection's three outcomes, arguments passed by
// reference, and events to a sink, which is unadvised once it is gone.
#include <windows.h>

#include <oleauto.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/service/ControlObject.h"
#include "platform/memory_config_store.h"
#include "platform/no_compression.h"
#include "tests/unit/fakes/fake_cpu_probe.h"
#include "tests/unit/fakes/fake_gateway.h"
#include "tests/unit/fakes/fake_icmp_echo.h"
#include "tests/unit/fakes/fake_memory_probe.h"
#include "tests/unit/fakes/fake_probes.h"

#ifndef HALVREN_EXE_PATH
#error "HALVREN_EXE_PATH names the built program (its type library)"
#endif

namespace {

class FakeCaller : public ICallerIdentity {
 public:
  CallerFacts facts{CallerFacts::Context::client, false, false};
  CallerFacts Identify() override { return facts; }
};

// Receives StatusChanged; answers with `reply`.
class FakeSink : public IDispatch {
 public:
  HRESULT reply = S_OK;
  std::atomic<int> calls{0};
  std::atomic<long> lastCode{0};
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (id == 2 && p && p->cArgs == 2 && V_VT(&p->rgvarg[1]) == VT_I4) lastCode = V_I4(&p->rgvarg[1]);
    ++calls;
    return reply;
  }
  std::atomic<ULONG> refs{1};
};

class ControlObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(LoadTypeLibEx(HALVREN_EXE_PATH, REGKIND_NONE, &lib), S_OK);
    worker = std::make_unique<CMainWorker>(
        WorkerSeams{store, exchange, compression, system, cpu, memory, disk, process, icmp});
    ControlObjectSeams seams;
    seams.worker = worker.get();
    seams.caller = &caller;
    seams.typeLib = lib;
    seams.collectLogs = [this](std::string& path) {
      path = collectPath;
      return collectOk;
    };
    object = CHalvren::Create(seams);
    ASSERT_NE(object, nullptr);
  }
  void TearDown() override {
    if (object) object->ReleaseByModule();
    worker.reset();
    if (lib) lib->Release();
    CoUninitialize();
  }
  std::wstring ErrorText(std::wstring* source = nullptr) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return L"(none)";
    BSTR d = nullptr, s = nullptr;
    info->GetDescription(&d);
    info->GetSource(&s);
    std::wstring text = d ? d : L"";
    if (source) *source = s ? s : L"";
    SysFreeString(d);
    SysFreeString(s);
    info->Release();
    return text;
  }

  platform::MemoryConfigStore store;
  FakeExchange exchange;
  NoCompression compression;
  FakeSystem system;
  FakeCpuProbe cpu;
  FakeMemoryProbe memory;
  FakeDiskProbe disk;
  FakeProcessProbe process;
  FakeIcmpEcho icmp;
  std::unique_ptr<CMainWorker> worker;
  FakeCaller caller;
  ITypeLib* lib = nullptr;
  CHalvren* object = nullptr;
  std::string collectPath;
  bool collectOk = true;
};

TEST_F(ControlObjectTest, AnOrdinaryUserIsRefusedWhatChangesOrRevealsTheAgent) {
  VARIANT out;
  VariantInit(&out);
  VARIANT key, name;
  VariantInit(&key);
  VariantInit(&name);
  V_VT(&key) = VT_BSTR;
  V_BSTR(&key) = SysAllocString(L"k");
  V_VT(&name) = VT_BSTR;
  V_BSTR(&name) = SysAllocString(L"n");
  struct Row {
    const char* what;
    std::function<HRESULT()> call;
  };
  const Row refused[] = {
      {"StartWork", [&] { return object->StartWork(); }},
      {"StopWork", [&] { return object->StopWork(); }},
      {"Register", [&] { return object->Register(key, name); }},
      {"UnRegister", [&] { return object->UnRegister(); }},
      {"SetProxy", [&] { return object->SetProxy(key); }},
      {"SetTrace", [&] { return object->SetTrace(VARIANT_TRUE); }},
      {"CollectLogs", [&] { return object->CollectLogs(&out); }},
      {"GetRegisteredAgentKey", [&] { return object->GetRegisteredAgentKey(&out); }},
      {"GetRegisteredEMail", [&] { return object->GetRegisteredEMail(&out); }},
  };
  for (const Row& r : refused) {
    SCOPED_TRACE(r.what);
    caller.facts = {CallerFacts::Context::client, false, false};
    EXPECT_EQ(r.call(), E_ACCESSDENIED);
    std::wstring source;
    EXPECT_EQ(ErrorText(&source), L"Access denied.");
    EXPECT_EQ(source, L"Halvren.1");
    caller.facts = {CallerFacts::Context::client, false, true};  // an administrator
    EXPECT_NE(r.call(), E_ACCESSDENIED);
    VariantClear(&out);
  }
  caller.facts = {CallerFacts::Context::client, false, false};
  LONG status = 0;
  EXPECT_EQ(object->GetStatus(&status), S_OK);
  EXPECT_EQ(object->GetRegisteredName(&out), S_OK);
  VariantClear(&out);
  EXPECT_EQ(object->GetProxy(&out), S_OK);
  VariantClear(&out);
  VariantClear(&key);
  VariantClear(&name);
}

TEST_F(ControlObjectTest, NullOutPointers) {
  caller.facts = {CallerFacts::Context::none, false, false};
  EXPECT_EQ(object->GetStatus(nullptr), E_POINTER);
  EXPECT_EQ(object->IsTraceOn(nullptr), E_POINTER);
  EXPECT_EQ(object->GetRegisteredName(nullptr), S_OK);  // a VARIANT getter skips it
  EXPECT_EQ(object->GetProxy(nullptr), S_OK);
}

TEST_F(ControlObjectTest, CollectLogsOutcomes) {
  caller.facts = {CallerFacts::Context::none, false, false};
  VARIANT out;
  VariantInit(&out);
  collectPath = "C:\\ProgramData\\Halvren\\logs\\monlogs_2026_01_02_03_04_05.zip";
  ASSERT_EQ(object->CollectLogs(&out), S_OK);
  ASSERT_EQ(V_VT(&out), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&out), L"C:\\ProgramData\\Halvren\\logs\\monlogs_2026_01_02_03_04_05.zip");
  VariantClear(&out);
  collectPath.clear();  // no logs: a null string
  ASSERT_EQ(object->CollectLogs(&out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_BSTR);
  EXPECT_EQ(V_BSTR(&out), nullptr);
  collectOk = false;
  EXPECT_EQ(object->CollectLogs(&out), E_FAIL);
  EXPECT_EQ(ErrorText(), L"The log files could not be packed.");
}

TEST_F(ControlObjectTest, ArgumentsByReferenceAreTheirValues) {
  caller.facts = {CallerFacts::Context::none, false, false};
  BSTR k = SysAllocString(L"KEY-REF"), n = SysAllocString(L"name-ref");
  VARIANT key, name;
  VariantInit(&key);
  VariantInit(&name);
  V_VT(&key) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&key) = &k;
  V_VT(&name) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&name) = &n;
  EXPECT_EQ(object->Register(key, name), S_OK);
  EXPECT_EQ(worker->GetAgentKey(), "KEY-REF");
  EXPECT_EQ(worker->GetAgentName(), "name-ref");
  SysFreeString(k);
  SysFreeString(n);
}

TEST_F(ControlObjectTest, EventsReachSinksAndAGoneSinkIsUnadvised) {
  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
            S_OK);
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(container->FindConnectionPoint(DIID__IHalvrenEvents, &point), S_OK);
  FakeSink alive, gone;
  gone.reply = static_cast<HRESULT>(0x800706BA);  // the RPC server is unavailable
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(point->Advise(&alive, &c1), S_OK);
  ASSERT_EQ(point->Advise(&gone, &c2), S_OK);
  worker->NotifyStatus(9, std::string("one"));
  worker->NotifyStatus(10, std::string("two"));
  for (int i = 0; i < 200 && alive.calls < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(alive.calls.load(), 2);
  EXPECT_EQ(alive.lastCode.load(), 10);
  EXPECT_EQ(gone.calls.load(), 1);  // unadvised after its first failure
  EXPECT_EQ(point->Unadvise(c2), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(c1), S_OK);
  EXPECT_TRUE(IsDisconnection(RPC_E_DISCONNECTED) && IsDisconnection(CO_E_OBJNOTCONNECTED) &&
              IsDisconnection(static_cast<HRESULT>(0x800706BE)) && !IsDisconnection(E_FAIL));
  point->Release();
  container->Release();
}

}  // namespace
