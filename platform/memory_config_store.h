// An in-memory configuration store that behaves like the registry where the
// core can tell: keys must exist to be opened, names are case-insensitive, a
// read-only handle cannot write, a handle of a deleted key fails with
// ERROR_KEY_DELETED. Failure switches make every call of a kind fail with a
// given code; counters show whether handles are closed again. Thread-safe.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config_store.h"

namespace platform {

class MemoryConfigStore : public ConfigStore {
 public:
  long open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) override;
  long create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) override;
  long delete_tree(const std::string& parent, const std::string& name) override;

  // 0 switches a failure off.
  void fail_open(long code) { m_failOpen = code; }
  void fail_read(long code) { m_failRead = code; }
  void fail_write(long code) { m_failWrite = code; }
  void fail_delete(long code) { m_failDelete = code; }

  int open_handles() const { return m_openHandles; }
  bool key_exists(const std::string& path) const;

 private:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  struct Node {
    std::map<std::string, Value> values;  // by lower-case name
  };
  class Key;

  std::shared_ptr<Node> find(const std::string& path) const;

  mutable std::mutex m_mutex;
  std::map<std::string, std::shared_ptr<Node>> m_keys;  // by lower-case path
  std::atomic<long> m_failOpen{0}, m_failRead{0}, m_failWrite{0}, m_failDelete{0};
  std::atomic<int> m_openHandles{0};
};

}  // namespace platform
