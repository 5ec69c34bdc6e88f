#include <sys/syscall.h>
#include <unistd.h>

#include "platform/local_time.h"

namespace platform {

uint32_t current_thread_id() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace platform
