// Fakes of the disk and process probes that replay recorded answers, with
// failure switches and call counters. Safe to use from the monitors' threads.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/disk_probe.h"
#include "platform/process_probe.h"

class FakeDiskProbe : public IDiskProbe {
 public:
  // What the system answers for one drive root. A root that was never set
  // has no drive: both calls fail with "path not found".
  struct Drive {
    uint32_t type = kDriveFixed;
    ProbeStatus bytesStatus = ProbeStatus::Ok;
    DiskBytes bytes;
    uint32_t bytesError = 0;
    bool clustersOk = true;
    DiskClusters clusters;
    uint32_t clustersError = 0;
  };

  // Drives in the order the system lists them.
  void Set(const std::string& root, const Drive& drive) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_drives.count(root)) m_order.push_back(root);
    m_drives[root] = drive;
  }
  void Remove(const std::string& root) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_drives.erase(root);
    m_order.erase(std::remove(m_order.begin(), m_order.end(), root), m_order.end());
  }
  int FreeBytesCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_freeBytesCalls;
  }
  void FailListing(uint32_t error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listError = error;
  }

  ProbeStatus FreeBytes(const std::string& root, DiskBytes& out, uint32_t& error) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_freeBytesCalls;
    auto it = m_drives.find(root);
    if (it == m_drives.end()) {
      error = kPathNotFound;
      return ProbeStatus::Failed;
    }
    if (it->second.bytesStatus == ProbeStatus::Ok) out = it->second.bytes;
    error = it->second.bytesError;
    return it->second.bytesStatus;
  }
  bool FreeClusters(const std::string& root, DiskClusters& out, uint32_t& error) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_drives.find(root);
    if (it == m_drives.end() || !it->second.clustersOk) {
      error = it == m_drives.end() ? kPathNotFound : it->second.clustersError;
      return false;
    }
    out = it->second.clusters;
    return true;
  }
  bool LogicalDrives(std::vector<std::string>& roots, uint32_t& error) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_listError != 0) {
      error = m_listError;
      return false;
    }
    roots = m_order;
    return true;
  }
  uint32_t DriveType(const std::string& root) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_drives.find(root);
    return it == m_drives.end() ? 1 : it->second.type;  // 1: no root directory
  }

  static constexpr uint32_t kPathNotFound = 3;

 private:
  std::mutex m_mutex;
  std::map<std::string, Drive> m_drives;
  std::vector<std::string> m_order;
  uint32_t m_listError = 0;
  int m_freeBytesCalls = 0;
};

class FakeProcessProbe : public IProcessProbe {
 public:
  // One process as the system shows it at the moment.
  struct Process {
    uint32_t pid = 0;
    std::string name;
    ProcessTimes times;
    ProcessMemory memory;
    ProcessRead timesRead = ProcessRead::Ok;
    ProcessRead memoryRead = ProcessRead::Ok;
  };
  static Process Named(uint32_t pid, std::string name) {
    Process p;
    p.pid = pid;
    p.name = std::move(name);
    return p;
  }

  // The running processes, in snapshot order.
  void Set(std::vector<Process> processes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_processes = std::move(processes);
  }
  // The next sample of a process already set.
  void Sample(uint32_t pid, const ProcessTimes& times, const ProcessMemory& memory = {}) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Process& p : m_processes) {
      if (p.pid != pid) continue;
      p.times = times;
      p.memory = memory;
    }
  }
  void FailSnapshot(SnapshotFailure::Step step, uint32_t error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fail = true;
    m_failure = {step, error};
  }
  void SetProcessors(uint32_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_processors = n;
  }
  int Snapshots() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_snapshots;
  }

  bool Snapshot(std::vector<ProcessEntry>& out, SnapshotFailure& failure) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_snapshots;
    if (m_fail) {
      failure = m_failure;
      return false;
    }
    out.clear();
    for (const Process& p : m_processes) out.push_back({p.pid, p.name});
    return true;
  }
  ProcessRead Times(uint32_t pid, ProcessTimes& out) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Process* p = Find(pid);
    if (!p) return ProcessRead::NotOpened;  // ended since the snapshot
    if (p->timesRead == ProcessRead::Ok) out = p->times;
    return p->timesRead;
  }
  ProcessRead Memory(uint32_t pid, ProcessMemory& out) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Process* p = Find(pid);
    if (!p) return ProcessRead::NotOpened;
    if (p->memoryRead == ProcessRead::Ok) out = p->memory;
    return p->memoryRead;
  }
  uint32_t ProcessorCount() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_processors;
  }

 private:
  const Process* Find(uint32_t pid) const {
    for (const Process& p : m_processes)
      if (p.pid == pid) return &p;
    return nullptr;
  }

  std::mutex m_mutex;
  std::vector<Process> m_processes;
  bool m_fail = false;
  SnapshotFailure m_failure;
  uint32_t m_processors = 1;
  int m_snapshots = 0;
};
