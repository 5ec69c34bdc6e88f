// The agent program's entry. `-console` runs the worker in the foreground for
// operators and tests: status events go to standard output, and Ctrl-C or the
// end of standard input stops the work in order.
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/LogWriter.h"
#include "agent/MainWorker.h"
#include "corelib/ExLogger.h"
#include "platform/win32/disk_probe_win32.h"
#include "platform/win32/process_probe_win32.h"
#include "platform/win32/registry_store.h"
#include "platform/win32/system_info_win32.h"
#include "platform/win32/winhttp_exchange.h"
#include "platform/win32/zlib_library.h"

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

BOOL WINAPI OnConsoleControl(DWORD) {
  RequestQuit();
  return TRUE;
}

int RunConsole() {
  platform::RegistryStore registry;
  WinHttpExchange exchange;
  ZlibLibrary zlib;
  SystemInfoWin32 system;
  DiskProbeWin32 disk;
  ProcessProbeWin32 process;
  ConsoleListener listener;
  int rc = 0;
  {
    WorkerSeams seams{registry, exchange, zlib, system,
                      disk, process};
    seams.initialListener = &listener;
    CMainWorker worker(seams);
    std::string message;
    if (worker.GetWorkState() == CMainWorker::Stopped && !worker.StartWork(&message)) {
      printf("not started: %s\n", message.c_str());
      return 1;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Standard input closing is the other way to stop; the reader is left
    // behind when Ctrl-C ends the wait, which is harmless at exit.
    std::thread([] {
      HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
      char buf[256];
      DWORD n = 0;
      while (ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
      }
      RequestQuit();
    }).detach();
    {
      std::unique_lock<std::mutex> lock(g_quitLock);
      g_quit.wait(lock, [] { return g_quitRequested; });
    }
    std::string stopMessage;
    if (!worker.StopAllWorks(&stopMessage)) rc = 1;
  }
  agent_log().Stop();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  RestrictDllSearchPath();
  // A machine fault is recorded and then ends the process: carrying on after
  // one would run on corrupted state; the service's restart brings it back.
  install_fault_filter();
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (*a == '-' || *a == '/') ++a;
    if (_stricmp(a, "console") == 0) return RunConsole();
  }
  fprintf(stderr, "usage: Halvren.exe -console\n");
  return 2;
}
