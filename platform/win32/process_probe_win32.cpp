#include "platform/win32/process_probe_win32.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace {

uint64_t FileTimeValue(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

}  // namespace

bool ProcessProbeWin32::Snapshot(std::vector<ProcessEntry>& out, SnapshotFailure& failure) {
  win32::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    failure = {SnapshotFailure::Create, GetLastError()};
    return false;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snapshot.get(), &entry)) {
    failure = {SnapshotFailure::First, GetLastError()};
    return false;
  }
  out.clear();
  do {
    out.push_back({entry.th32ProcessID, win32::Narrow(entry.szExeFile)});
    entry.dwSize = sizeof entry;
  } while (Process32NextW(snapshot.get(), &entry));
  return true;
}

ProcessRead ProcessProbeWin32::Times(uint32_t pid, ProcessTimes& out) {
  win32::unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return ProcessRead::NotOpened;
  FILETIME now, creation, exit, kernel, user;
  GetSystemTimeAsFileTime(&now);
  if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) return ProcessRead::Failed;
  out.sampleMs = static_cast<int64_t>((FileTimeValue(now) - kUnixEpochIn100ns) / 10000);
  out.kernel = FileTimeValue(kernel);
  out.user = FileTimeValue(user);
  return ProcessRead::Ok;
}

ProcessRead ProcessProbeWin32::Memory(uint32_t pid, ProcessMemory& out) {
  win32::unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return ProcessRead::NotOpened;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) return ProcessRead::Failed;
  out.workingSet = counters.WorkingSetSize;
  out.pagefile = counters.PagefileUsage;
  return ProcessRead::Ok;
}

uint32_t ProcessProbeWin32::ProcessorCount() {
  // Process times add up over every processor group the process runs in, so
  // the share is taken of all of them, not only of the caller's group.
  DWORD all = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (all != 0) return all;
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}
