// CIEConnecter: the GUI bridge's object, in the UI's process. It creates the
// agent's control object (a local server) and forwards the fifteen methods to
// it through IDispatch::Invoke, so the agent's error texts come back as
// EXCEPINFO and are rebuilt as this thread's error object. The agent's status
// events reach CHalvrenSink, which re-fires them to the bridge's own
// subscribers over a snapshot taken under the lock, called with none held.
//
// The sink outlives the bridge when COM still holds it (its stub, an event on
// an RPC thread): it has its own reference count, and once the bridge has
// cleared its owner pointer an event is answered S_OK and dropped.
//
// Unconnected (the agent could not be created) the object stays so for life
// and every method fails with E_FAIL and no error object.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "GuiBridge_h.h"
#include "Halvren_h.h"
#include "agent/service/ComConnectionPoint.h"

class CIEConnecter;

class CHalvrenSink final : public IDispatch {
 public:
  static constexpr DWORD kSinkId = 0x8000;
  static constexpr DWORD kNoCookie = 0xFEFEFEFE;

  explicit CHalvrenSink(CIEConnecter* owner);
  // The bridge is going: later events are dropped.
  void Detach();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argError) override;

 private:
  ~CHalvrenSink();
  std::atomic<ULONG> m_refs{1};
  std::mutex m_lock;  // guards m_owner; the bridge's destructor waits on it
  CIEConnecter* m_owner;
};

class CIEConnecter final : public IIEConnecter,
                           public IConnectionPointContainer,
                           public IProvideClassInfo2,
                           public ISupportErrorInfo {
 public:
  static constexpr size_t kMaxSubscribers = 64;

  // A new object with one reference on its non-delegating unknown, which is
  // returned; `outer` is the controlling unknown when aggregated.
  static HRESULT Create(IUnknown* outer, IUnknown** inner);

  // IUnknown (delegating)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return m_outer->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_outer->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_outer->Release(); }
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argError) override;
  // IIEConnecter
  HRESULT STDMETHODCALLTYPE StartWork() override;
  HRESULT STDMETHODCALLTYPE StopWork() override;
  HRESULT STDMETHODCALLTYPE GetStatus(LONG* newStatus) override;
  HRESULT STDMETHODCALLTYPE GetCurrentTestsList(LONG testType, VARIANT* testsList) override;
  HRESULT STDMETHODCALLTYPE Register(VARIANT newKey, VARIANT newName) override;
  HRESULT STDMETHODCALLTYPE GetRegisteredEMail(VARIANT* regEMail) override;
  HRESULT STDMETHODCALLTYPE GetRegisteredAgentKey(VARIANT* regKey) override;
  HRESULT STDMETHODCALLTYPE GetRegisteredName(VARIANT* regName) override;
  HRESULT STDMETHODCALLTYPE UnRegister() override;
  HRESULT STDMETHODCALLTYPE SetProxy(VARIANT newProxy) override;
  HRESULT STDMETHODCALLTYPE GetProxy(VARIANT* currProxy) override;
  HRESULT STDMETHODCALLTYPE IsTraceOn(VARIANT_BOOL* traceOn) override;
  HRESULT STDMETHODCALLTYPE SetTrace(VARIANT_BOOL trace) override;
  HRESULT STDMETHODCALLTYPE GetTracePath(VARIANT* tracePath) override;
  HRESULT STDMETHODCALLTYPE CollectLogs(VARIANT* zipFilePath) override;
  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;
  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // The subscribers, each with a reference the caller releases.
  std::vector<IDispatch*> Subscribers();

 private:
  class CInner : public IUnknown {
   public:
    explicit CInner(CIEConnecter& owner) : m_owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    CIEConnecter& m_owner;
  };

  CIEConnecter(IUnknown* outer, ITypeLib* lib, ITypeInfo* info);
  ~CIEConnecter();
  void Connect();
  // The agent's method `id` with `args` (in reverse order); `result` may be null.
  HRESULT Forward(DISPID id, VARIANT* args, UINT count, VARIANT* result);
  HRESULT ForwardOut(DISPID id, VARIANT* out);
  HRESULT ForwardValue(DISPID id, const VARIANT& in);

  std::atomic<ULONG> m_refs{1};
  CInner m_inner{*this};
  IUnknown* m_outer;
  ITypeLib* m_lib;
  ITypeInfo* m_info;
  CConnectionPoint m_point{*this, DIID__IIEConnecterEvents, kMaxSubscribers};

  IDispatch* m_agent = nullptr;              // null: unconnected for life
  IConnectionPoint* m_agentPoint = nullptr;  // the agent's events point, for Unadvise
  CHalvrenSink* m_sink = nullptr;
  DWORD m_cookie = CHalvrenSink::kNoCookie;
};

class CIEConnecterFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};
