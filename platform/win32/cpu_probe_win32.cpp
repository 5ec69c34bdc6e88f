#include "platform/win32/cpu_probe_win32.h"

#include <winternl.h>

#include <climits>
#include <cstddef>

#include "platform/win32/proc_address.h"

// The portable reader's offsets against the SDK's own declarations.
static_assert(sizeof(SYSTEM_BASIC_INFORMATION) == cpu_layout::kBasicInformationSize,
              "basic information size");
static_assert(offsetof(SYSTEM_BASIC_INFORMATION, NumberOfProcessors) == cpu_layout::kProcessorCountOffset,
              "processor count offset");
static_assert(sizeof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION) == cpu_layout::kProcessorTimesSize,
              "processor times size");
static_assert(offsetof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION, KernelTime) == 8 &&
                  offsetof(SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION, UserTime) == 16,
              "processor times offsets");

namespace {
constexpr ULONG kSystemBasicInformation = 0;
constexpr ULONG kSystemProcessorPerformanceInformation = 8;
}  // namespace

CpuProbeWin32::CpuProbeWin32()
    : m_query(win32::ResolveFunction<QueryFn>(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")) {}

bool CpuProbeWin32::QueryBasicInformation(std::vector<uint8_t>& out) {
  return Query(kSystemBasicInformation, cpu_layout::kBasicInformationSize, out);
}

bool CpuProbeWin32::QueryProcessorTimes(uint32_t processors, std::vector<uint8_t>& out) {
  return Query(kSystemProcessorPerformanceInformation, size_t{processors} * cpu_layout::kProcessorTimesSize,
               out);
}

bool CpuProbeWin32::Query(ULONG infoClass, size_t size, std::vector<uint8_t>& out) {
  if (m_query == nullptr || size == 0 || size > ULONG_MAX) return false;
  out.assign(size, 0);
  ULONG returned = 0;
  if (m_query(infoClass, out.data(), static_cast<ULONG>(size), &returned) < 0) return false;
  // Fewer processors than asked for (one went offline) must not read as zero
  // times: the caller sees a short buffer and refuses it.
  if (returned < size) out.resize(returned);
  return true;
}
