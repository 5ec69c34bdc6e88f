// CCorvaneModule: the agent program's module object. It reads the switches,
// registers and unregisters the program, and otherwise runs it under the
// Service Control Manager or as a plain COM local server: it builds the one
// worker, opens the control object's class object and pumps the main thread's
// messages until it is told to quit. The service's stop runs on a thread of
// its own and is bounded: the main loop ends at the stop's deadline whatever
// the stop thread is doing, and a stop still running then ends the process
// without destroying the worker.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/LogCollection.h"
#include "agent/MainWorker.h"
#include "agent/service/CommandLine.h"
#include "agent/service/ControlObject.h"
#include "agent/service/ServiceNotices.h"
#include "agent/service/WindowsSeams.h"

class CCorvaneModule {
 public:
  CCorvaneModule();
  ~CCorvaneModule();
  CCorvaneModule(const CCorvaneModule&) = delete;
  CCorvaneModule& operator=(const CCorvaneModule&) = delete;

  // The program entry after the switches were read.
  int Main(ProgramAction action);

  // COM server locks: client references to the control object and LockServer.
  void Lock();
  void Unlock();

 private:
  HRESULT Registration(ProgramAction action);
  int Start();
  static void WINAPI ServiceMainThunk(DWORD argc, LPWSTR* argv);
  static void WINAPI HandlerThunk(DWORD control);
  void ServiceMain();
  void Handler(DWORD control);
  HRESULT Run();
  bool BuildWorker();
  void PumpMessages();
  void StopProcedure();
  // Ends the run: false when something is still running that the process
  // must not wait for (the stop, a delivery to a client, an exchange).
  bool FinishRun();
  void SetServiceState(DWORD state, DWORD exitCode = NO_ERROR, DWORD checkPoint = 0, DWORD waitHint = 0);
  void LogEvent(const std::wstring& text);
  void MonitorShutdown();

  std::wstring m_serviceName;
  std::wstring m_description;
  std::wstring m_modulePath;
  std::unique_ptr<CServiceNotices> m_notices;

  SERVICE_STATUS m_status{};
  SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
  std::mutex m_statusLock;  // SetServiceStatus from the handler, the stop and the main thread
  bool m_isService = true;
  DWORD m_mainThreadId = 0;
  bool m_delayShutdown = true;

  std::atomic<long> m_lockCount{0};
  std::mutex m_monitorLock;
  std::condition_variable m_monitorWake;
  bool m_activity = false;
  bool m_monitorStop = false;
  std::thread m_monitor;

  // The stop: requested once; its deadline ends the main loop.
  std::mutex m_runLock;  // guards the worker's construction against a stop
  bool m_stopRequested = false;
  std::atomic<ULONGLONG> m_stopDeadline{0};
  std::atomic<bool> m_stopDone{false};
  std::thread m_stopThread;

  std::unique_ptr<WindowsSeams> m_windows;
  std::unique_ptr<CMainWorker> m_worker;
  std::unique_ptr<ICallerIdentity> m_caller;
  std::unique_ptr<ILogCollectionSeams> m_collectionSeams;
  std::unique_ptr<CLogCollector> m_collector;
  ITypeLib* m_typeLib = nullptr;
  std::unique_ptr<CHalvrenFactory> m_factory;
  DWORD m_classCookie = 0;
};

// The process's module.
CCorvaneModule& corvane_module();
