// Natively there is no registry: the machine's store is one in-memory store per
// process, which tests and benchmarks fill.
#include "platform/config_store.h"
#include "platform/memory_config_store.h"

namespace platform {

ConfigStore& machine_config_store() {
  static MemoryConfigStore store;
  return store;
}

}  // namespace platform
