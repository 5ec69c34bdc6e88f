// A fake of the upgrade's system: the GET plays a scripted reply and body,
// files and folders live in memory.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/upgrade_host.h"

class FakeUpgradeHost : public platform::IUpgradeHost {
 public:
  // What the next GET answers.
  platform::PackageGetReply reply{platform::PackageGetStep::None, 0, false, 200, -1};
  std::vector<std::string> body;       // the pieces Read hands out, in order
  bool endlessBody = false;            // after the pieces, the last one again and again
  std::chrono::milliseconds pieceDelay{0};
  bool blockUntilAborted = false;      // Read waits for Abort
  bool failTempFile = false, failUnpackFolder = false;
  std::string agentFolder = "C:\\Program Files\\Halvren\\";

  std::mutex lock;
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  std::vector<platform::PackageGetSpec> gets;
  std::atomic<int> aborts{0};
  int tempCount = 0;

  class Get : public platform::IPackageGet {
   public:
    explicit Get(FakeUpgradeHost& host) : host_(host) {}
    platform::PackageGetReply Send(const platform::PackageGetSpec& spec) override {
      std::lock_guard<std::mutex> hold(host_.lock);
      host_.gets.push_back(spec);
      return host_.reply;
    }
    bool Read(char* into, uint32_t size, uint32_t& got, uint32_t& error) override {
      if (host_.blockUntilAborted) {
        while (!aborted_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (aborted_) {
        error = 12017;
        return false;
      }
      std::this_thread::sleep_for(host_.pieceDelay);
      got = 0;
      if (next_ >= host_.body.size()) {
        if (!host_.endlessBody || host_.body.empty()) return true;
        next_ = host_.body.size() - 1;
      }
      const std::string& piece = host_.body[next_++];
      got = static_cast<uint32_t>(std::min<size_t>(piece.size(), size));
      std::copy(piece.data(), piece.data() + got, into);
      return true;
    }
    void Abort() override {
      aborted_ = true;
      ++host_.aborts;
    }

   private:
    FakeUpgradeHost& host_;
    size_t next_ = 0;
    std::atomic<bool> aborted_{false};
  };

  class File : public platform::IArchiveFile {
   public:
    File(FakeUpgradeHost& host, std::string path) : host_(host), path_(std::move(path)) {}
    bool Write(const char* data, uint32_t size, uint32_t&) override {
      std::lock_guard<std::mutex> hold(host_.lock);
      host_.files[path_].append(data, size);
      return true;
    }

   private:
    FakeUpgradeHost& host_;
    std::string path_;
  };

  std::unique_ptr<platform::IPackageGet> NewGet() override { return std::make_unique<Get>(*this); }
  std::string UserProxy() override { return userProxy; }
  std::string ErrorText(uint32_t error) override { return "Error " + std::to_string(error); }
  bool MakeTempFile(std::string& path, uint32_t& error) override {
    std::lock_guard<std::mutex> hold(lock);
    if (failTempFile) {
      error = 5;
      return false;
    }
    path = "C:\\Temp\\mon" + std::to_string(++tempCount) + ".tmp";
    files[path];
    return true;
  }
  std::unique_ptr<platform::IArchiveFile> CreateArchive(const std::string& path, uint32_t&) override {
    std::lock_guard<std::mutex> hold(lock);
    files[path].clear();
    return std::make_unique<File>(*this, path);
  }
  void RemoveArchive(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    files.erase(path);
  }
  bool CreateUnpackFolder(const std::string& path, uint32_t& error) override {
    std::lock_guard<std::mutex> hold(lock);
    if (failUnpackFolder || folders.count(path)) {
      error = 183;
      return false;
    }
    folders.insert(path);
    return true;
  }
  bool IsFile(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    return files.count(path) != 0;
  }
  void DeleteTree(const std::string& path) override {
    std::lock_guard<std::mutex> hold(lock);
    folders.erase(path);
    for (auto it = files.begin(); it != files.end();)
      it = it->first.rfind(path + "\\", 0) == 0 ? files.erase(it) : std::next(it);
  }
  std::string AgentFolder() override { return agentFolder; }

  std::string userProxy;

  // Paths of "mon*.tmp" files left in the temporary folder.
  std::vector<std::string> Archives() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> left;
    for (auto& f : files)
      if (f.first.rfind("C:\\Temp\\mon", 0) == 0) left.push_back(f.first);
    return left;
  }
  void Put(const std::string& path, const std::string& data) {
    std::lock_guard<std::mutex> hold(lock);
    files[path] = data;
  }
  std::vector<platform::PackageGetSpec> Gets() {
    std::lock_guard<std::mutex> hold(lock);
    return gets;
  }
  bool HasFolder(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock);
    return folders.count(path) != 0;
  }
};
