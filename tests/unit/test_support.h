// Helpers of the tests that use the machine's configuration store (the registry
// under Wine, the process's in-memory store natively) and real files.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/config_store.h"
#include "platform/config_values.h"

namespace test {

// The test prefix belongs to the test run: a test that changes the machine's
// store starts and ends with no "SOFTWARE\Halvren" at all, whatever an earlier,
// interrupted run left behind. ctest's halvren_registry lock keeps such tests
// from overlapping.
class MachineStoreScope {
 public:
  MachineStoreScope() { clear(); }
  ~MachineStoreScope() { clear(); }
  MachineStoreScope(const MachineStoreScope&) = delete;
  MachineStoreScope& operator=(const MachineStoreScope&) = delete;

  platform::ConfigStore& store() { return platform::machine_config_store(); }

  // Writes exactly `bytes`, creating the key. The registry adds the zero that a
  // string's writer left out when the character after the data is zero (Wine
  // does, and says Windows does too): a non-zero character after the data keeps
  // a string without its terminator as given.
  void put(const std::string& path, const std::string& name, uint32_t type, const std::string& bytes) {
    std::unique_ptr<platform::ConfigKey> key;
    if (store().create_key(path, key) != platform::kConfigOk) throw std::runtime_error("create_key " + path);
    const std::string padded = bytes + "\xFF\xFF";
    if (key->write(name, type, padded.data(), bytes.size()) != platform::kConfigOk) {
      throw std::runtime_error("write " + name);
    }
  }

  void set_trace(uint32_t level) {
    auto data = platform::encode_dword(level);
    put(platform::kSettingsKeyPath, platform::kTraceValueName, platform::kTypeDword,
        std::string(data.begin(), data.end()));
  }

 private:
  void clear() { store().delete_tree("SOFTWARE", "Halvren"); }
};

// UTF-16LE bytes of ASCII text, without a terminating zero.
inline std::string utf16le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// A fresh folder below the temporary folder, removed with its files at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    m_path = std::filesystem::temp_directory_path() / ("halvren-test-" + std::to_string(random()));
    std::filesystem::create_directories(m_path);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // With a trailing separator, as the log folder comes.
  std::string path() const { return (m_path / "").string(); }
  std::string file(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline size_t file_count(const std::string& folder) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) count += entry.is_regular_file();
  return count;
}

// Polls `done` until it holds or `limit` has passed; returns whether it held.
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace test
