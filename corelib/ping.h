// The raw-socket ICMP echo of corelib, for when the system's ICMP service
// cannot be used. Every call has its own socket, buffers and timing, so checks
// on several threads may call it at once.
#pragma once

#include <cstdint>

#include "corelib/corelib_api.h"

// Asked between waits (at least every 200 ms); true ends the call early, the
// requests not yet answered counting as losses.
typedef bool (*ping_stop_fn)(void* context);

// Sends `count` echo requests to `host` (a name or dotted IPv4 address), each
// waiting up to `timeout` ms. results[i] receives request i's round trip in
// ms, or 0 for a loss (also for an answer measured at `timeout` or later).
// False, with `results` untouched, when count <= 0, the name does not resolve
// or no raw socket could be made.
extern "C" CORELIB_API bool ping(const char* host, uint32_t timeout, int32_t count, double* results,
                                 uint16_t size, uint16_t identifier);

// The same, ended early when `stop(context)` answers true.
extern "C" CORELIB_API bool ping_until_stopped(const char* host, uint32_t timeout, int32_t count,
                                               double* results, uint16_t size, uint16_t identifier,
                                               ping_stop_fn stop, void* context);
