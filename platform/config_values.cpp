#include "platform/config_values.h"

#include <cstring>

#include "platform/utf16.h"

namespace platform {

std::optional<std::string> decode_string(uint32_t type, const std::vector<uint8_t>& data) {
  if (type != kTypeString && type != kTypeExpandString) return std::nullopt;
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  size_t units = data.size() / 2;
  std::u16string text(units, u'\0');
  for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  if (text.back() != u'\0') return std::nullopt;
  return utf16_to_utf8(text.data(), text.find(u'\0'));
}

std::optional<uint32_t> decode_dword(uint32_t type, const std::vector<uint8_t>& data) {
  if (type != kTypeDword || data.size() != 4) return std::nullopt;
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

std::optional<std::vector<uint8_t>> encode_string(const std::string& text) {
  std::u16string wide;
  if (!utf8_to_utf16(text, wide)) return std::nullopt;
  std::vector<uint8_t> data;
  data.reserve(2 * (wide.size() + 1));
  for (char16_t c : wide) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::vector<uint8_t> encode_dword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

uint32_t read_trace_level(ConfigStore& store) {
  std::unique_ptr<ConfigKey> key;
  if (store.open_key(kSettingsKeyPath, ConfigAccess::Read, key) != kConfigOk) return 0;
  uint32_t type = kTypeNone;
  std::vector<uint8_t> data;
  if (key->read(kTraceValueName, type, data) != kConfigOk) return 0;
  return decode_dword(type, data).value_or(0);
}

uint32_t TraceLevelCache::get() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_watch && m_watch->lost()) m_watch.reset();
  // Watched before the read, so that a change after the read shows next time.
  if (!m_watch) m_watch = m_store.watch_key(kSettingsKeyPath);
  if (m_watch && !m_watch->changed()) return m_value;
  m_value = read_trace_level(m_store);
  return m_value;
}

}  // namespace platform
