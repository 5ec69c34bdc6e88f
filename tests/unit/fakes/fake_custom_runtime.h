// A fake of the plugin runner's system: files and folders in memory, named
// locks counted in the process, processes played by a handler, a settable
// clock. A process either ends at once (with what the handler wrote), hangs
// on the fake clock (its waits return at once, so a time-out comes at once)
// or hangs for real until ended.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/custom_runtime.h"

class FakeCustomRuntime : public platform::ICustomRuntime {
 public:
  enum class Hang { No, FakeClock, Real };
  struct Run {
    bool started = true;
    uint32_t error = 0;
    uint32_t exitCode = 0;
    Hang hang = Hang::No;
    std::chrono::milliseconds runFor{0};  // with Hang::No: ends after this long
  };
  // Sees each start; may write files (the plugin's output) through the fake.
  std::function<Run(const platform::ProcessSpec&)> onStart = [](const platform::ProcessSpec&) {
    return Run();
  };
  std::function<bool(const std::string&, const std::string&)> onShellUnzip =
      [](const std::string&, const std::string&) { return false; };

  struct Shared {
    std::mutex lock;
    std::map<std::string, int> units;
    std::map<std::string, int> maxUnits;
  };
  class Lock : public platform::INamedLock {
   public:
    Lock(std::shared_ptr<Shared> s, std::string name) : m_s(std::move(s)), m_name(std::move(name)) {}
    bool Acquire(uint32_t) override {
      std::lock_guard<std::mutex> hold(m_s->lock);
      if (m_s->units[m_name] <= 0) return false;
      --m_s->units[m_name];
      return true;
    }
    void Release() override {
      std::lock_guard<std::mutex> hold(m_s->lock);
      if (m_s->units[m_name] < m_s->maxUnits[m_name]) ++m_s->units[m_name];
    }

   private:
    std::shared_ptr<Shared> m_s;
    std::string m_name;
  };

  class Process : public platform::IProcess {
   public:
    Process(FakeCustomRuntime& rt, Run run)
        : m_rt(rt), m_run(run), m_end(std::chrono::steady_clock::now() + run.runFor) {}
    bool Wait(uint32_t ms) override {
      if (m_run.hang == Hang::No) {
        const auto until = std::min(m_end, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
        std::this_thread::sleep_until(until);
        return std::chrono::steady_clock::now() >= m_end;
      }
      if (m_ended) return true;
      if (m_run.hang == Hang::Real) std::this_thread::sleep_for(std::chrono::milliseconds(ms > 50 ? 50 : ms));
      return m_ended.load();
    }
    uint32_t ExitCode() override { return m_run.exitCode; }
    void EndTree(uint32_t) override {
      m_ended = true;
      ++m_rt.endedTrees;
    }

   private:
    FakeCustomRuntime& m_rt;
    Run m_run;
    std::chrono::steady_clock::time_point m_end;
    std::atomic<bool> m_ended{false};
  };

  std::unique_ptr<platform::IProcess> Start(const platform::ProcessSpec& spec, uint32_t& error) override {
    if (recordStarts) {
      std::lock_guard<std::mutex> hold(lock);
      starts.push_back(spec);
    }
    const Run run = onStart(spec);
    if (!run.started) {
      error = run.error;
      return nullptr;
    }
    return std::make_unique<Process>(*this, run);
  }
  std::unique_ptr<platform::INamedLock> OpenNamedSemaphore(const std::string& name, uint32_t count) override {
    std::lock_guard<std::mutex> hold(shared->lock);
    if (!shared->maxUnits.count(name)) {
      shared->maxUnits[name] = static_cast<int>(count);
      shared->units[name] = static_cast<int>(count);
    }
    return std::make_unique<Lock>(shared, name);
  }
  std::unique_ptr<platform::INamedLock> OpenNamedMutex(const std::string& name) override {
    return OpenNamedSemaphore(name, 1);
  }
  int Units(const std::string& name) {
    std::lock_guard<std::mutex> hold(shared->lock);
    return shared->units[name];
  }
  void SetUnits(const std::string& name, int units, int max) {
    std::lock_guard<std::mutex> hold(shared->lock);
    shared->units[name] = units;
    shared->maxUnits[name] = max;
  }

  bool Exists(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    return files.count(path) != 0;
  }
  bool FolderExists(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    return folders.count(path) != 0;
  }
  bool CreateFolder(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    if (failWrites) return false;
    folders.insert(path);
    return true;
  }
  bool ReadFileData(const std::string& path, size_t limit, std::string& data, bool& cut) override {
    std::lock_guard<std::mutex> hold(lock);
    auto it = files.find(path);
    if (it == files.end()) return false;
    cut = it->second.size() > limit;
    data = it->second.substr(0, limit);
    return true;
  }
  bool WriteFileData(const std::string& path, const std::string& data) override {
    std::lock_guard<std::mutex> hold(lock);
    if (failWrites) return false;
    files[path] = data;
    return true;
  }
  void RemoveFile(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    files.erase(path);
  }
  void Put(const std::string& path, const std::string& data) {
    std::lock_guard<std::mutex> hold(lock);
    files[path] = data;
  }
  std::string Get(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock);
    auto it = files.find(path);
    return it == files.end() ? std::string("<none>") : it->second;
  }
  std::vector<platform::ProcessSpec> Starts() {
    std::lock_guard<std::mutex> hold(lock);
    return starts;
  }

  std::string AppDataFolder() override { return appData; }
  std::string SystemFolder() override { return "C:\\windows\\system32"; }
  std::string SystemWow64Folder() override { return "C:\\windows\\syswow64"; }
  std::string ProgramFolder() override { return "C:\\Program Files\\Halvren\\"; }
  std::string CommandShell() override { return "C:\\windows\\system32\\cmd.exe"; }
  bool ShellUnzip(const std::string& archive, const std::string& folder, std::string& log) override {
    log = "fake shell";
    return onShellUnzip(archive, folder);
  }
  time_t Now() override { return now.load(); }
  uint32_t RealWaitMs(uint32_t clockMs) override {
    const uint32_t ms = clockMs / waitScale;
    return ms == 0 ? 1 : ms;
  }
  uint32_t waitScale = 1;  // clock ms per real ms

  std::string appData = "C:\\Users\\svc\\AppData\\Roaming";
  std::atomic<time_t> now{1700000000};
  std::atomic<int> endedTrees{0};
  bool failWrites = false;
  bool recordStarts = true;
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::mutex lock;
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  std::vector<platform::ProcessSpec> starts;
};
