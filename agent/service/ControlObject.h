// CHalvren: the agent's COM control object, one per process. Its dual
// interface IHalvren validates each call and hands it to the worker; IDispatch
// goes through the type library (ITypeInfo::Invoke). Status events reach the
// clients through the one connection point for _IHalvrenEvents: the worker's
// listener only enqueues (CStatusEventQueue), and the queue's thread calls the
// sinks in turn over a snapshot, with no lock held, so a slow or dead client
// never holds up the worker and a handler may call back (GetStatus, Advise,
// Unadvise). A sink gone with its process is unadvised.
//
// Every client reference is a lock on the module (a local server ends after
// the last client); the module holds one reference of its own, which is not.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Halvren_h.h"
#include "agent/MainWorker.h"
#include "agent/StatusListener.h"
#include "agent/service/AccessPolicy.h"
#include "agent/service/ComConnectionPoint.h"
#include "agent/service/StatusEventQueue.h"

struct ControlObjectSeams {
  CMainWorker* worker = nullptr;
  ICallerIdentity* caller = nullptr;
  ITypeLib* typeLib = nullptr;  // the program's own, held by the object
  // The log collection: true with the archive's path, or with an empty path
  // when there were no logs; false when the logs could not be packed.
  std::function<bool(std::string& path)> collectLogs;
  std::function<void()> lockModule, unlockModule;
  std::function<void(const std::string&)> log;
  std::function<void()> afterUnregister;  // the credentials key is made again, protected
};

// Whether a failed call to a sink means its process or connection is gone.
bool IsDisconnection(HRESULT hr);

class CHalvren final : public IHalvren,
                       public IConnectionPointContainer,
                       public IProvideClassInfo2,
                       public ISupportErrorInfo {
 public:
  static constexpr size_t kMaxSinks = 64;

  // The object with the module's reference. Null when the type library has
  // no IHalvren.
  static CHalvren* Create(ControlObjectSeams seams);
  // Drops the module's reference (no unlock); the last one deletes.
  void ReleaseByModule();
  // Stops delivering events, waiting up to `limit` for a delivery in progress.
  bool StopEvents(std::chrono::milliseconds limit) { return m_events.StopFor(limit); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argError) override;
  // IHalvren
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

 private:
  class CListener : public IStatusListener {
   public:
    explicit CListener(CHalvren& owner) : m_owner(owner) {}
    void StatusChanged(uint32_t code, const std::string& text) override { m_owner.m_events.Push(code, text); }

   private:
    CHalvren& m_owner;
  };

  CHalvren(ControlObjectSeams seams, ITypeInfo* info);
  ~CHalvren();

  HRESULT Fail(const wchar_t* text, HRESULT hr = E_FAIL);
  HRESULT FailWith(const std::string& text);
  // E_ACCESSDENIED with "Access denied." unless the caller may make this call.
  HRESULT Admit(ControlMethod method);
  HRESULT ReturnText(VARIANT* out, const std::string& utf8);
  void Deliver(const StatusEvent& event);

  ControlObjectSeams m_seams;
  ITypeInfo* m_info;
  std::atomic<ULONG> m_refs{1};
  CConnectionPoint m_point{*this, DIID__IHalvrenEvents, kMaxSinks};

  CListener m_listener{*this};
  CStatusEventQueue m_events;  // last: its thread delivers through the members above
};

// The class object: every activation gets the one CHalvren, made on the first.
class CHalvrenFactory final : public IClassFactory {
 public:
  explicit CHalvrenFactory(ControlObjectSeams seams) : m_seams(std::move(seams)) {}
  ~CHalvrenFactory();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // The object, once made (for stopping its events at the end).
  CHalvren* Object();

 private:
  ControlObjectSeams m_seams;
  std::mutex m_lock;
  CHalvren* m_object = nullptr;
};
