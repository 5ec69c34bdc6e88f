// Dies of an access violation on a worker thread, with the fault filter
// installed. The text streamed first is that thread's pending record, so the
// fault line carries the marker given on the command line.
#include <cstdint>
#include <cstdio>
#include <thread>

#include "corelib/ExLogger.h"

int main(int argc, char** argv) {
  install_fault_filter();
  std::thread worker([&] {
    ExLogger::instance() << (argc > 1 ? argv[1] : "fault_probe");
    volatile uintptr_t nowhere = 0x10;  // volatile: the compiler may not see the address
    *reinterpret_cast<volatile int*>(nowhere) = 1;
  });
  worker.join();
  std::puts("fault_probe: still running after the fault");
  return 0;
}
