// Building a typical CPU result (type 44: five doubles, status, text and four
// per-processor records) with CMonResult2, against appending the same values to
// a plain byte vector. Printing the record for the log is timed on its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_timer.h"
#include "corelib/MonResult2.h"
#include "corelib/udc.h"

namespace {

constexpr int kProcessors = 4;
const char* const kText = "Total CPU load: 37.5% (kernel 12.5%). Threshold: 90%.";

void build_record(CMonResult2& r) {
  r.create(0, 4, 1, 0, 5, 1);
  r.init(44, 1234, 5678);
  r.add(uint32_t{0});
  for (int i = 0; i < 5; ++i) r.add(37.5 + i);
  r.add(kText);
  for (uint32_t cpu = 0; cpu < kProcessors; ++cpu) {
    CMonResult2 sub;
    sub.create(0, 2, 0, 0, 2, 1);
    sub.add(cpu);
    sub.add(uint32_t{0});
    sub.add(30.0 + cpu);
    sub.add(10.0 + cpu);
    sub.add("CPU 0 load: 30.0%");
    r.add(sub);
  }
}

template <typename T>
void put(std::vector<uint8_t>& v, T value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  v.insert(v.end(), p, p + sizeof value);
}

void build_baseline(std::vector<uint8_t>& v) {
  v.clear();
  put(v, int64_t{1700000000});
  put(v, uint32_t{44});
  put(v, uint32_t{1234});
  put(v, uint32_t{5678});
  put(v, uint32_t{0});
  for (int i = 0; i < 5; ++i) put(v, 37.5 + i);
  v.insert(v.end(), kText, kText + strlen(kText) + 1);
  for (uint32_t cpu = 0; cpu < kProcessors; ++cpu) {
    put(v, cpu);
    put(v, uint32_t{0});
    put(v, 30.0 + cpu);
    put(v, 10.0 + cpu);
    const char* t = "CPU 0 load: 30.0%";
    v.insert(v.end(), t, t + strlen(t) + 1);
  }
}

}  // namespace

int main() {
  double builder = bench::ops_per_second([] {
    CMonResult2 r;
    build_record(r);
    bench::keep(r.get_size());
  });
  double baseline = bench::ops_per_second([] {
    std::vector<uint8_t> v;  // a fresh vector each time, like a fresh record
    build_baseline(v);
    bench::keep(v.size());
  });
  CMonResult2 r;
  build_record(r);
  _U_D_C_W_* w = nullptr;
  udcw_from_udc(const_cast<_U_D_C_*>(static_cast<const _U_D_C_*>(r.get_pointer())), &w);
  double printing = bench::ops_per_second([w] {
    char* text = nullptr;
    uint64_t capacity = 0, length = 0;
    udcw_print_data(w, &text, &capacity, &length);
    bench::keep(length);
    udcw_free_print_data(&text);
  });
  w->udc = nullptr;
  udcw_free(&w);

  printf("record build (CMonResult2):   %12.0f records/s\n", builder);
  printf("baseline (std::vector append): %12.0f records/s\n", baseline);
  printf("baseline / builder ratio:      %12.2f  (target: at most 3.00)\n", baseline / builder);
  printf("record print (udcw_print_data): %11.0f records/s\n", printing);
  return baseline / builder <= 3.0 ? 0 : 1;
}
