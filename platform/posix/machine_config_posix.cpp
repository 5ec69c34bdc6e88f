// Natively there is no registry: the machine's store is one in-memory store per
// process, which tests and benchmarks fill. Never destroyed, like the registry,
// so that log lines written while the program exits still find it.
#include "platform/config_store.h"
#include "platform/memory_config_store.h"

namespace platform {

ConfigStore& machine_config_store() {
  static MemoryConfigStore* store = new MemoryConfigStore;
  return *store;
}

}  // namespace platform
