#include "platform/memory_config_store.h"

namespace platform {

namespace {

std::string fold(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

class MemoryConfigStore::Key : public ConfigKey {
 public:
  Key(MemoryConfigStore& store, std::weak_ptr<Node> node, bool writable)
      : m_store(store), m_node(std::move(node)), m_writable(writable) {
    ++m_store.m_openHandles;
  }
  ~Key() override { --m_store.m_openHandles; }

  long read(const std::string& name, uint32_t& type, std::vector<uint8_t>& data) override {
    if (long code = m_store.m_failRead) return code;
    std::lock_guard<std::mutex> lock(m_store.m_mutex);
    auto node = m_node.lock();
    if (!node) return kConfigKeyDeleted;
    auto it = node->values.find(fold(name));
    if (it == node->values.end()) return kConfigNotFound;
    type = it->second.type;
    data = it->second.data;
    return kConfigOk;
  }

  long write(const std::string& name, uint32_t type, const void* data, size_t size) override {
    if (!m_writable) return kConfigAccessDenied;
    if (long code = m_store.m_failWrite) return code;
    std::lock_guard<std::mutex> lock(m_store.m_mutex);
    auto node = m_node.lock();
    if (!node) return kConfigKeyDeleted;
    const auto* bytes = static_cast<const uint8_t*>(data);
    node->values[fold(name)] = Value{type, std::vector<uint8_t>(bytes, bytes + size)};
    return kConfigOk;
  }

  long delete_value(const std::string& name) override {
    if (!m_writable) return kConfigAccessDenied;
    if (long code = m_store.m_failWrite) return code;
    std::lock_guard<std::mutex> lock(m_store.m_mutex);
    auto node = m_node.lock();
    if (!node) return kConfigKeyDeleted;
    return node->values.erase(fold(name)) ? kConfigOk : kConfigNotFound;
  }

 private:
  MemoryConfigStore& m_store;
  std::weak_ptr<Node> m_node;
  bool m_writable;
};

std::shared_ptr<MemoryConfigStore::Node> MemoryConfigStore::find(const std::string& path) const {
  auto it = m_keys.find(fold(path));
  return it == m_keys.end() ? nullptr : it->second;
}

bool MemoryConfigStore::key_exists(const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return find(path) != nullptr;
}

long MemoryConfigStore::open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) {
  if (long code = m_failOpen) return code;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto node = find(path);
  if (!node) return kConfigNotFound;
  key = std::make_unique<Key>(*this, node, access == ConfigAccess::ReadWrite);
  return kConfigOk;
}

long MemoryConfigStore::create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) {
  if (long code = m_failOpen) return code;
  if (path.empty() || path.front() == '\\' || path.back() == '\\') return kConfigInvalidParam;
  std::lock_guard<std::mutex> lock(m_mutex);
  // Parents first, as the registry creates them.
  for (size_t end = path.find('\\'); ; end = path.find('\\', end + 1)) {
    auto& slot = m_keys[fold(path.substr(0, end))];
    if (!slot) slot = std::make_shared<Node>();
    if (end == std::string::npos) break;
  }
  key = std::make_unique<Key>(*this, find(path), true);
  return kConfigOk;
}

long MemoryConfigStore::delete_tree(const std::string& parent, const std::string& name) {
  if (long code = m_failDelete) return code;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!find(parent)) return kConfigNotFound;
  std::string path = fold(parent + "\\" + name);
  if (!m_keys.count(path)) return kConfigNotFound;
  std::string below = path + "\\";
  for (auto it = m_keys.begin(); it != m_keys.end();) {
    if (it->first == path || it->first.compare(0, below.size(), below) == 0) {
      it = m_keys.erase(it);
    } else {
      ++it;
    }
  }
  return kConfigOk;
}

}  // namespace platform
