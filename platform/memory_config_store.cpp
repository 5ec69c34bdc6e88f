#include "platform/memory_config_store.h"

#include <algorithm>

namespace platform {

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool MemoryConfigStore::CaseLess::operator()(std::string_view a, std::string_view b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = fold(a[i]), y = fold(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

class MemoryConfigStore::Key : public ConfigKey {
 public:
  Key(MemoryConfigStore& store, std::string path, uint64_t generation, bool writable)
      : m_store(store), m_path(std::move(path)), m_generation(generation), m_writable(writable) {
    ++m_store.m_openHandles;
  }
  ~Key() override { --m_store.m_openHandles; }

  long read(const std::string& name, uint32_t& type, std::vector<uint8_t>& data) override {
    if (long code = m_store.m_failRead) return code;
    std::shared_lock<std::shared_mutex> lock(m_store.m_mutex);
    Node* node = m_store.locate(m_path, m_generation);
    if (!node) return kConfigKeyDeleted;
    auto it = node->values.find(name);
    if (it == node->values.end()) return kConfigNotFound;
    type = it->second.type;
    data = it->second.data;
    return kConfigOk;
  }

  long write(const std::string& name, uint32_t type, const void* data, size_t size) override {
    if (!m_writable) return kConfigAccessDenied;
    if (long code = m_store.m_failWrite) return code;
    std::unique_lock<std::shared_mutex> lock(m_store.m_mutex);
    Node* node = m_store.locate(m_path, m_generation);
    if (!node) return kConfigKeyDeleted;
    const auto* bytes = static_cast<const uint8_t*>(data);
    node->values[name] = Value{type, std::vector<uint8_t>(bytes, bytes + size)};
    ++m_store.m_changes;
    return kConfigOk;
  }

  long delete_value(const std::string& name) override {
    if (!m_writable) return kConfigAccessDenied;
    if (long code = m_store.m_failWrite) return code;
    std::unique_lock<std::shared_mutex> lock(m_store.m_mutex);
    Node* node = m_store.locate(m_path, m_generation);
    if (!node) return kConfigKeyDeleted;
    auto it = node->values.find(name);
    if (it == node->values.end()) return kConfigNotFound;
    node->values.erase(it);
    ++m_store.m_changes;
    return kConfigOk;
  }

 private:
  MemoryConfigStore& m_store;
  const std::string m_path;
  const uint64_t m_generation;
  const bool m_writable;
};

MemoryConfigStore::Node* MemoryConfigStore::locate(std::string_view path, uint64_t generation) {
  auto it = m_keys.find(path);
  return it != m_keys.end() && it->second.generation == generation ? &it->second : nullptr;
}

bool MemoryConfigStore::key_exists(const std::string& path) const {
  std::shared_lock<std::shared_mutex> lock(m_mutex);
  return m_keys.find(path) != m_keys.end();
}

long MemoryConfigStore::open_key(const std::string& path, ConfigAccess access,
                                 std::unique_ptr<ConfigKey>& key) {
  if (long code = m_failOpen) return code;
  std::shared_lock<std::shared_mutex> lock(m_mutex);
  auto it = m_keys.find(path);
  if (it == m_keys.end()) return kConfigNotFound;
  key = std::make_unique<Key>(*this, path, it->second.generation, access == ConfigAccess::ReadWrite);
  return kConfigOk;
}

long MemoryConfigStore::create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) {
  if (long code = m_failOpen) return code;
  if (path.empty() || path.front() == '\\' || path.back() == '\\') return kConfigInvalidParam;
  std::unique_lock<std::shared_mutex> lock(m_mutex);
  // Parents first, as the registry creates them.
  uint64_t generation = 0;
  for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
    std::string part = path.substr(0, end);
    auto it = m_keys.find(part);
    if (it == m_keys.end()) it = m_keys.emplace(part, Node{++m_generations, {}}).first;
    generation = it->second.generation;
    if (end == std::string::npos) break;
  }
  key = std::make_unique<Key>(*this, path, generation, true);
  ++m_changes;
  return kConfigOk;
}

long MemoryConfigStore::delete_tree(const std::string& parent, const std::string& name) {
  if (long code = m_failDelete) return code;
  std::unique_lock<std::shared_mutex> lock(m_mutex);
  if (name.empty() || m_keys.find(parent) == m_keys.end()) return kConfigNotFound;
  const std::string path = parent + "\\" + name;
  if (m_keys.find(path) == m_keys.end()) return kConfigNotFound;
  const std::string below = path + "\\";
  CaseLess less;
  auto same = [&less](std::string_view a, std::string_view b) { return !less(a, b) && !less(b, a); };
  for (auto it = m_keys.begin(); it != m_keys.end();) {
    std::string_view key_path = it->first;
    if (same(key_path, path) ||
        (key_path.size() > below.size() && same(key_path.substr(0, below.size()), below))) {
      it = m_keys.erase(it);
    } else {
      ++it;
    }
  }
  ++m_changes;
  return kConfigOk;
}

class MemoryConfigStore::Watch : public ConfigWatch {
 public:
  Watch(MemoryConfigStore& store, std::string path, uint64_t generation)
      : m_store(store), m_path(std::move(path)), m_generation(generation) {}

  bool changed() override {
    const uint64_t now = m_store.m_changes.load();
    if (m_first || now != m_seen) {
      m_first = false;
      m_seen = now;
      std::shared_lock<std::shared_mutex> lock(m_store.m_mutex);
      m_lost = m_store.locate(m_path, m_generation) == nullptr;
      return true;
    }
    return false;
  }
  bool lost() const override { return m_lost; }

 private:
  MemoryConfigStore& m_store;
  const std::string m_path;
  const uint64_t m_generation;
  uint64_t m_seen = 0;
  bool m_first = true;
  bool m_lost = false;
};

std::unique_ptr<ConfigWatch> MemoryConfigStore::watch_key(const std::string& path) {
  if (m_failOpen) return nullptr;
  std::shared_lock<std::shared_mutex> lock(m_mutex);
  auto it = m_keys.find(path);
  if (it == m_keys.end()) return nullptr;
  return std::make_unique<Watch>(*this, path, it->second.generation);
}

}  // namespace platform
