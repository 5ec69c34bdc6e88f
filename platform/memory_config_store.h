// An in-memory configuration store that behaves like the registry where the
// core can tell: keys must exist to be opened, names are case-insensitive, a
// read-only handle cannot write, a handle of a deleted key fails with
// ERROR_KEY_DELETED. Failure switches make every call of a kind fail with a
// given code; counters show whether handles are closed again. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/config_store.h"

namespace platform {

class MemoryConfigStore : public ConfigStore {
 public:
  long open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) override;
  long create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) override;
  long delete_tree(const std::string& parent, const std::string& name) override;
  // Any write, deletion or new key of the store counts as a change of the key.
  std::unique_ptr<ConfigWatch> watch_key(const std::string& path) override;

  // 0 switches a failure off.
  void fail_open(long code) { m_failOpen = code; }
  void fail_read(long code) { m_failRead = code; }
  void fail_write(long code) { m_failWrite = code; }
  void fail_delete(long code) { m_failDelete = code; }

  int open_handles() const { return m_openHandles; }
  bool key_exists(const std::string& path) const;

 private:
  // Registry names compare without regard to ASCII case. Transparent, so that a
  // lookup needs no folded copy of the name: the log writers read Trace through
  // here for every line.
  struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  struct Node {
    uint64_t generation;  // a handle of an earlier key of the same path sees it deleted
    std::map<std::string, Value, CaseLess> values;
  };
  class Key;
  class Watch;

  // The node of `path` when it is still the one a handle was opened on.
  Node* locate(std::string_view path, uint64_t generation);

  // Shared for reads, so that threads reading values do not queue behind each
  // other; no reference counts either, which two threads would fight over.
  alignas(64) mutable std::shared_mutex m_mutex;
  std::map<std::string, Node, CaseLess> m_keys;
  uint64_t m_generations = 0;
  // On lines of their own: the switches are read on every call, the counter
  // written on every open and close.
  alignas(64) std::atomic<long> m_failOpen{0}, m_failRead{0}, m_failWrite{0}, m_failDelete{0};
  alignas(64) std::atomic<int> m_openHandles{0};
  std::atomic<uint64_t> m_changes{0};
};

}  // namespace platform
