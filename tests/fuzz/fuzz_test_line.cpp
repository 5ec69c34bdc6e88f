// A test line of the gateway's reply as one local monitor receives it: the
// first byte picks the CPU, memory, disk or process monitor, the rest is the
// line. Each input gets fresh monitors over the fake probes; a parsed test is
// checked once, so the values it carries reach the check code too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/Plugins/cpu_mon.h"
#include "agent/Plugins/disk_mon.h"
#include "agent/Plugins/mem_mon.h"
#include "agent/Plugins/proc_mon.h"
#include "corelib/MonResult2.h"
#include "corelib/udc.h"
#include "tests/unit/fakes/fake_cpu_probe.h"
#include "tests/unit/fakes/fake_memory_probe.h"
#include "tests/unit/fakes/fake_probes.h"
#include "tests/unit/fakes/manual_monitor.h"

namespace {

// The worker as the monitors see it: every record must be one the gateway takes.
class CheckingOwner {
 public:
  void AddToCache(const CMonResult2* r) {
    uint64_t size = 0, offset = 0;
    const char* reason = nullptr;
    if (!udc_validate(static_cast<const uint8_t*>(r->get_pointer()), r->get_size(), &size, &offset,
                      &reason) ||
        size != r->get_size())
      __builtin_trap();
  }
  bool IsWorking() const { return true; }
  void NotifyStatus(uint32_t, const std::string&) {}
};

template <class Monitor, class Probe>
void Feed(Probe& probe, const std::string& line) {
  CheckingOwner owner;
  ManualMonitor<Monitor> mon(probe);
  mon.SetOwner(&owner);
  if (mon.ProcessTest(line.c_str())) mon.MakeCheck();
  mon.Stop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: {
      FakeCpuProbe probe;
      Feed<CCPUmon<CheckingOwner>>(probe, line);
      break;
    }
    case 1: {
      FakeMemoryProbe probe;
      Feed<CMemMon<CheckingOwner>>(probe, line);
      break;
    }
    case 2: {
      FakeDiskProbe probe;
      FakeDiskProbe::Drive drive;
      drive.bytes = {100ull << 30, 40ull << 30};
      probe.Set("C:\\", drive);
      Feed<CDiskMon<CheckingOwner>>(probe, line);
      break;
    }
    default: {
      FakeProcessProbe probe;
      Feed<CProcMon<CheckingOwner>>(probe, line);
      break;
    }
  }
  return 0;
}
