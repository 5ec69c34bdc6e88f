// Ends the way a test asks, to show what the logs keep:
//   exit_probe lines MARKER   appends lines to the agent log and returns from main at once
//   exit_probe fault MARKER   dies of an access violation on a worker thread, with the
//                             fault filter installed; the marker is that thread's
//                             pending exception-log text, so the fault line carries it
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "agent/LogWriter.h"
#include "corelib/ExLogger.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string marker = argv[2];
  if (std::strcmp(argv[1], "lines") == 0) {
    for (int i = 0; i < 100; ++i) agent_log().AppendLogLine(marker + " " + std::to_string(i));
    return 0;
  }
  if (std::strcmp(argv[1], "fault") == 0) {
    install_fault_filter();
    std::thread worker([&] {
      ExLogger::instance() << marker;
      volatile uintptr_t nowhere = 0x10;  // volatile: the compiler may not see the address
      *reinterpret_cast<volatile int*>(nowhere) = 1;
    });
    worker.join();
    std::puts("exit_probe: still running after the fault");
  }
  return 2;
}
