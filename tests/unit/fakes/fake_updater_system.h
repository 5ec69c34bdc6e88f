// The Updater's system in memory: services, processes, registry keys, files
// and the shell, with failure switches. A process that was told to end keeps
// its files locked until someone waits for it, as a real image stays mapped
// after an asynchronous termination.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "updater/UpdaterSeams.h"

class FakeUpdaterSystem : public updater::IUpdateLog,
                          public updater::IServices,
                          public updater::IProcesses,
                          public updater::IRegistry,
                          public updater::IFiles,
                          public updater::IShell {
 public:
  // --- log
  std::vector<std::string> lines;
  void Line(const std::string& text) override { lines.push_back(text); }
  bool Logged(const std::string& text) const { return std::count(lines.begin(), lines.end(), text) > 0; }

  // --- services
  struct Service {
    uint32_t state = 4;  // SERVICE_RUNNING
    uint32_t processId = 0;
    int pollsUntilStopped = 1;
    uint32_t stopError = 0, queryError = 0, startError = 0, deleteError = 0;
    bool deleted = false, stopped = false;
    int starts = 0;
  };
  std::map<std::string, Service> services;
  uint32_t managerError = 0;
  int managerOpens = 0;

  class ServiceHandle : public updater::IService {
   public:
    ServiceHandle(FakeUpdaterSystem& s, std::string name) : m_s(s), m_name(std::move(name)) {}
    Service& S() { return m_s.services[m_name]; }
    uint32_t Stop() override {
      if (S().stopError) return S().stopError;
      S().stopped = true;
      return 0;
    }
    uint32_t Query(updater::ServiceStatus& status) override {
      if (S().queryError) return S().queryError;
      if (S().stopped && S().pollsUntilStopped-- <= 0) {
        S().state = updater::kServiceStopped;
        S().processId = 0;
      }
      status.state = S().state;
      status.processId = S().processId;
      return 0;
    }
    uint32_t Delete() override {
      if (S().deleteError) return S().deleteError;
      S().deleted = true;
      return 0;
    }
    uint32_t Start() override {
      ++S().starts;
      return S().startError;
    }

   private:
    FakeUpdaterSystem& m_s;
    std::string m_name;
  };
  class Manager : public updater::IServiceManager {
   public:
    explicit Manager(FakeUpdaterSystem& s) : m_s(s) {}
    std::unique_ptr<updater::IService> Open(const std::string& name, updater::ServiceAccess,
                                            uint32_t& error) override {
      auto it = m_s.services.find(name);
      if (it == m_s.services.end() || it->second.deleted) {
        error = updater::kErrorServiceDoesNotExist;
        return nullptr;
      }
      return std::make_unique<ServiceHandle>(m_s, name);
    }

   private:
    FakeUpdaterSystem& m_s;
  };
  std::unique_ptr<updater::IServiceManager> OpenManager(uint32_t& error) override {
    ++managerOpens;
    if (managerError) {
      error = managerError;
      return nullptr;
    }
    return std::make_unique<Manager>(*this);
  }

  // --- processes
  struct Process {
    std::string exe;
    uint32_t id = 0;
    std::string lockedFile;  // "in use" while the process runs or ends
    bool ending = false, ended = false;
  };
  std::vector<Process> processes;
  std::vector<std::string> terminated;
  class ProcessHandle : public updater::IRunningProcess {
   public:
    ProcessHandle(FakeUpdaterSystem& s, size_t index) : m_s(s), m_index(index) {}
    uint32_t Terminate(uint32_t) override {
      m_s.processes[m_index].ending = true;
      m_s.terminated.push_back(m_s.processes[m_index].exe);
      return 0;
    }
    bool WaitForExit(uint32_t) override {
      Process& p = m_s.processes[m_index];
      if (p.ending || p.id == m_s.serviceProcessExitsOnWait) p.ended = true;
      return p.ended;
    }

   private:
    FakeUpdaterSystem& m_s;
    size_t m_index;
  };
  uint32_t serviceProcessExitsOnWait = 0;
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  std::unique_ptr<updater::IRunningProcess> OpenFirstNamed(const std::string& exe) override {
    for (size_t i = 0; i < processes.size(); ++i)
      if (!processes[i].ended && !processes[i].ending && Lower(processes[i].exe) == Lower(exe))
        return std::make_unique<ProcessHandle>(*this, i);
    return nullptr;
  }
  std::unique_ptr<updater::IRunningProcess> OpenForWait(uint32_t id) override {
    for (size_t i = 0; i < processes.size(); ++i)
      if (processes[i].id == id && !processes[i].ended) return std::make_unique<ProcessHandle>(*this, i);
    return nullptr;
  }
  bool Locked(const std::string& path) const {
    for (const Process& p : processes)
      if (!p.ended && p.lockedFile == path) return true;
    return false;
  }

  // --- registry: each key's values in order; sub-keys follow from the paths
  std::map<std::string, std::vector<updater::RegistryValue>> keys;
  std::set<std::string> failingValues;  // names whose write fails
  class Key : public updater::IRegistryKey {
   public:
    Key(FakeUpdaterSystem& s, std::string path) : m_s(s), m_path(std::move(path)) {}
    uint32_t SubKey(uint32_t index, std::string& name) override {
      const std::vector<std::string> children = m_s.Children(m_path);
      if (index >= children.size()) return updater::kErrorNoMoreItems;
      name = children[index];
      return 0;
    }
    uint32_t Value(uint32_t index, updater::RegistryValue& value) override {
      const auto& values = m_s.keys[m_path];
      if (index >= values.size()) return updater::kErrorNoMoreItems;
      value = values[index];
      return 0;
    }
    uint32_t SetValue(const updater::RegistryValue& value) override {
      if (m_s.failingValues.count(value.name)) return updater::kErrorAccessDenied;
      auto& values = m_s.keys[m_path];
      for (auto& v : values)
        if (v.name == value.name) {
          v = value;
          return 0;
        }
      values.push_back(value);
      return 0;
    }

   private:
    FakeUpdaterSystem& m_s;
    std::string m_path;
  };
  std::vector<std::string> Children(const std::string& path) const {
    std::vector<std::string> names;
    const std::string prefix = path + "\\";
    for (const auto& k : keys)
      if (k.first.compare(0, prefix.size(), prefix) == 0 &&
          k.first.find('\\', prefix.size()) == std::string::npos)
        names.push_back(k.first.substr(prefix.size()));
    return names;
  }
  void AddKey(const std::string& path) {
    // Parents exist with their children, as in the registry.
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
      keys[path.substr(0, at)];
    keys[path];
  }
  std::string ValueOf(const std::string& path, const std::string& name) {
    for (const auto& v : keys[path])
      if (v.name == name) return v.data;
    return "<none>";
  }
  std::unique_ptr<updater::IRegistryKey> Create(const std::string& path, uint32_t&) override {
    AddKey(path);
    return std::make_unique<Key>(*this, path);
  }
  std::unique_ptr<updater::IRegistryKey> OpenForReading(const std::string& path, uint32_t& error) override {
    if (!keys.count(path)) {
      error = updater::kErrorFileNotFound;
      return nullptr;
    }
    return std::make_unique<Key>(*this, path);
  }
  uint32_t DeleteLeaf(const std::string& path) override {
    if (!keys.count(path)) return updater::kErrorFileNotFound;
    if (!Children(path).empty()) return updater::kErrorAccessDenied;
    keys.erase(path);
    return 0;
  }

  // --- files: folders and files by full path
  struct File {
    std::string data;
    uint32_t attributes = 0;
  };
  std::map<std::string, File> files;
  std::set<std::string> folders;
  std::map<std::string, uint32_t> failingCopies;  // destination -> error, every time
  int copyAttempts = 0;
  void PutFile(const std::string& path, const std::string& data, uint32_t attributes = 0) {
    files[path] = File{data, attributes};
    folders.insert(path.substr(0, path.rfind('\\')));
  }
  uint32_t List(const std::string& folder, std::vector<updater::FolderEntry>& entries) override {
    if (!folders.count(folder)) return updater::kErrorFileNotFound;
    entries = {{".", true, false}, {"..", true, false}};
    const std::string prefix = folder + "\\";
    auto child = [&](const std::string& path) {
      return path.compare(0, prefix.size(), prefix) == 0 &&
             path.find('\\', prefix.size()) == std::string::npos;
    };
    for (const auto& f : folders)
      if (child(f)) entries.push_back({f.substr(prefix.size()), true, links.count(f) != 0});
    for (const auto& f : files)
      if (child(f.first))
        entries.push_back({f.first.substr(prefix.size()), false, links.count(f.first) != 0});
    return 0;
  }
  std::set<std::string> links;
  uint32_t CreateFolder(const std::string& path) override {
    folders.insert(path);
    return 0;
  }
  bool Attributes(const std::string& path, uint32_t& attributes) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    attributes = it->second.attributes;
    return true;
  }
  uint32_t SetNormal(const std::string& path) override {
    files[path].attributes = 0;
    return 0;
  }
  uint32_t Copy(const std::string& from, const std::string& to) override {
    ++copyAttempts;
    auto source = files.find(from);
    if (source == files.end()) return updater::kErrorFileNotFound;
    if (failingCopies.count(to)) return failingCopies[to];
    if (Locked(to)) return updater::kErrorSharingViolation;
    auto dest = files.find(to);
    if (dest != files.end() && (dest->second.attributes & updater::kAttributeReadOnly))
      return updater::kErrorAccessDenied;
    files[to] = source->second;
    return 0;
  }
  bool ReadHead(const std::string& path, size_t limit, std::string& data) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    data = it->second.data.substr(0, limit);
    return true;
  }
  uint32_t Remove(const std::string& path) override {
    return files.erase(path) ? 0 : updater::kErrorFileNotFound;
  }

  // --- shell
  std::string startMenu = "C:\\ProgramData\\Start Menu";
  std::map<std::string, std::string> shortcuts;  // path -> what was written
  std::vector<std::string> opened;
  int notifications = 0;
  bool CommonStartMenu(std::string& folder) override {
    folder = startMenu;
    return !folder.empty();
  }
  uint32_t WriteInternetShortcut(const std::string& path, const std::string& url, const std::string& icon,
                                 const std::string& index) override {
    shortcuts[path] = "url " + url + " " + icon + " " + index;
    files[path] = File{shortcuts[path], 0};
    return 0;
  }
  uint32_t CreateShellLink(const std::string& path, const std::string& target, const std::string& icon,
                           int index) override {
    shortcuts[path] = "link " + target + " " + icon + " " + std::to_string(index);
    files[path] = File{shortcuts[path], 0};
    return 0;
  }
  void NotifyChanged() override { ++notifications; }
  uint32_t Open(const std::string& file, const std::string& parameters) override {
    opened.push_back(file + " " + parameters);
    return 0;
  }
};
