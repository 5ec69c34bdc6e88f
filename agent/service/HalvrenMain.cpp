// The agent program's entry: registration switches, the service or COM local
// server (CCorvaneModule), and `-console`, which runs the worker in the
// foreground for operators and tests: status events go to standard output, and
// Ctrl-C or the end of standard input stops the work in order.
#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/LogWriter.h"
#include "agent/MainWorker.h"
#include "agent/service/CommandLine.h"
#include "agent/service/CorvaneModule.h"
#include "agent/service/Registration.h"
#include "agent/service/WindowsSeams.h"
#include "platform/win32/wide.h"
#include "corelib/ExLogger.h"
#include "platform/win32/proc_address.h"

namespace {

class ConsoleListener : public IStatusListener {
 public:
  void StatusChanged(uint32_t code, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    printf("status %u: %s\n", code, text.c_str());
    fflush(stdout);
  }

 private:
  std::mutex m_mutex;
};

std::mutex g_quitLock;
std::condition_variable g_quit;
bool g_quitRequested = false;

void RequestQuit() {
  std::lock_guard<std::mutex> lock(g_quitLock);
  g_quitRequested = true;
  g_quit.notify_all();
}

// Standard input is read on the main thread where the system can end a read
// from another thread; a reader thread of its own would cost as much memory
// as a monitor's check thread. Ctrl-C ends the read.
using CancelSynchronousIoFn = BOOL(WINAPI*)(HANDLE);
CancelSynchronousIoFn g_cancelRead = nullptr;
HANDLE g_reader = nullptr;  // the main thread, while it reads standard input
std::atomic<bool> g_readEnded{false};

BOOL WINAPI OnConsoleControl(DWORD) {
  RequestQuit();
  // A read that begins just after one cancel is ended by the next; bounded.
  for (int i = 0; i < 100 && g_reader != nullptr && !g_readEnded; ++i) {
    g_cancelRead(g_reader);
    Sleep(50);
  }
  return TRUE;
}

bool QuitRequested() {
  std::lock_guard<std::mutex> lock(g_quitLock);
  return g_quitRequested;
}

void ReadInputToItsEnd() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  DWORD n = 0;
  while (!QuitRequested() && ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
  }
}

int RunConsole() {
  ProtectAgentKey();
  WindowsSeams windows;
  ConsoleListener listener;
  WorkerSeams seams = windows.Seams();
  seams.initialListener = &listener;
  auto worker = std::make_unique<CMainWorker>(seams);
  std::string message;
  if (worker->GetWorkState() == CMainWorker::Stopped && !worker->StartWork(&message)) {
    printf("not started: %s\n", message.c_str());
    return 1;
  }
  g_cancelRead =
      win32::ResolveFunction<CancelSynchronousIoFn>(GetModuleHandleW(L"kernel32.dll"), "CancelSynchronousIo");
  if (g_cancelRead != nullptr && DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                                 &g_reader, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Standard input closing is the other way to stop.
    ReadInputToItsEnd();
    g_readEnded = true;
    RequestQuit();
  } else {
    // No way to end a read from elsewhere (before Vista): a reader thread,
    // left behind when Ctrl-C ends the wait, which is harmless at exit.
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    std::thread([] {
      ReadInputToItsEnd();
      RequestQuit();
    }).detach();
  }
  {
    std::unique_lock<std::mutex> lock(g_quitLock);
    g_quit.wait(lock, [] { return g_quitRequested; });
  }
  std::string stopMessage;
  int rc = worker->StopAllWorks(&stopMessage) ? 0 : 1;
  if (worker->ExchangeStillRunning()) {
    // A call that closing its handles did not end (Wine does not end them):
    // the work has stopped, so the process ends without waiting for it.
    agent_log().Stop();
    fflush(stdout);
    ExitProcess(static_cast<UINT>(rc));
  }
  worker.reset();
  agent_log().Stop();
  return rc;
}

// The arguments after the program's name, as the system splits the command line.
std::vector<std::string> ProgramArguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(win32::Narrow(argv[i]));
  LocalFree(argv);
  return args;
}

}  // namespace

int main() {
  RestrictDllSearchPath();
  // A machine fault is recorded and then ends the process: carrying on after
  // one would run on corrupted state; the service's restart brings it back.
  install_fault_filter();
  const ProgramAction action = ParseProgramArguments(ProgramArguments());
  if (action == ProgramAction::Console) return RunConsole();
  CCorvaneModule module;
  return module.Main(action);
}
