#include <windows.h>

#include "platform/local_time.h"

namespace platform {

uint32_t current_thread_id() { return GetCurrentThreadId(); }

}  // namespace platform
