// A reply body of the gateway, as the worker executes it: test definitions for
// every monitor and commands, one a line. Each input gets a fresh worker whose
// local monitors sit on fake probes, over an in-memory registry; nothing runs
// on a thread of its own (no work was started), and the stop afterwards frees
// every test, so an input does the same each time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/memory_config_store.h"
#include "tests/unit/fakes/worker_fakes.h"

namespace {

class FuzzWorker : public CMainWorker {
 public:
  using CMainWorker::CMainWorker;
  void Begin() {
    for (CMonitor* monitor : m_monitors) monitor->SetOwner(this);  // as StartWork does
    SetWorkState(Working);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  platform::MemoryConfigStore store;
  CreateAgentKeys(store);
  WorkerFakes fakes;
  WorkerSeams seams = fakes.SeamsOver(store);
  seams.now = [] { return time_t{1700000000}; };
  FuzzWorker worker(seams);
  worker.Begin();
  worker.ProcessCommands(std::string(reinterpret_cast<const char*>(data), size));
  worker.StopAllWorks();
  return 0;
}
