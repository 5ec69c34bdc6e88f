// The agent program's entry: registration switches, the service or COM local
// server (CCorvaneModule), and `-console`, which runs the worker in the
// foreground for operators and tests: status events go to standard output, and
// Ctrl-C or the end of standard input stops the work in order.
#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "agent/LogWriter.h"
#include "agent/MainWorker.h"
#include "agent/service/CommandLine.h"
#include "agent/service/CorvaneModule.h"
#include "agent/service/Registration.h"
#include "agent/service/WindowsSeams.h"
#include "platform/win32/wide.h"
#include "corelib/ExLogger.h"

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

// Standard input is read on the main thread, which Ctrl-C's handler can end
// (CancelSynchronousIo, from Vista on, the oldest system the program
// supports): no reader thread of its own, which would cost as much memory as
// a monitor's check thread.
std::atomic<bool> g_quitRequested{false};
HANDLE g_reader = nullptr;  // the main thread, while it reads standard input
std::atomic<bool> g_readEnded{false};

BOOL WINAPI OnConsoleControl(DWORD) {
  g_quitRequested = true;
  // A read that begins just after one cancel is ended by the next; bounded.
  for (int i = 0; i < 100 && !g_readEnded; ++i) {
    CancelSynchronousIo(g_reader);
    Sleep(50);
  }
  return TRUE;
}

// Until standard input ends (the other way to stop) or Ctrl-C ends the read.
void ReadInputToItsEnd() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  DWORD n = 0;
  while (!g_quitRequested && ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
  }
  g_readEnded = true;
}

int RunConsole() {
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_reader, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    printf("not started: the console cannot be read (error %lu)\n", GetLastError());
    return 1;
  }
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
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ReadInputToItsEnd();
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
