// No plugin runner natively: tests hand in their own runtime.
#include "platform/custom_runtime.h"

namespace platform {

ICustomRuntime* system_custom_runtime() { return nullptr; }

}  // namespace platform
