// A small side-by-side timer for the benchmark programs: runs a body in batches
// until enough time has passed and reports operations per second.
#pragma once

#include <chrono>
#include <cstdint>

namespace bench {

template <typename Body>
double ops_per_second(Body&& body, double min_seconds = 0.5) {
  using clock = std::chrono::steady_clock;
  uint64_t ops = 0;
  uint64_t batch = 64;
  auto start = clock::now();
  double elapsed = 0;
  while (elapsed < min_seconds) {
    for (uint64_t i = 0; i < batch; ++i) body();
    ops += batch;
    batch *= 2;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  }
  return ops / elapsed;
}

// Keeps the optimiser from dropping a computed value.
template <typename T>
inline void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

}  // namespace bench
