// How the agent's stored values are decoded and encoded, and the Trace switch.
// Shared by AgentSettings, the agent's log writers and corelib's exception log,
// so that every reader applies the same rules to a malformed value.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/config_store.h"

namespace platform {

inline constexpr char kProductKeyPath[] = "SOFTWARE\\Halvren";
inline constexpr char kAgentKeyName[] = "Agent";
inline constexpr char kAgentKeyPath[] = "SOFTWARE\\Halvren\\Agent";
inline constexpr char kSettingsKeyPath[] = "SOFTWARE\\Halvren\\Settings";
inline constexpr char kTraceValueName[] = "Trace";

// A REG_SZ or REG_EXPAND_SZ (returned unexpanded) of even length whose last
// UTF-16 unit is zero; the text runs to its first zero. Anything else is absent.
std::optional<std::string> decode_string(uint32_t type, const std::vector<uint8_t>& data);

// A REG_DWORD of exactly four bytes; anything else is absent.
std::optional<uint32_t> decode_dword(uint32_t type, const std::vector<uint8_t>& data);

// UTF-16LE with the terminating zero; nullopt when `text` is not valid UTF-8.
std::optional<std::vector<uint8_t>> encode_string(const std::string& text);
std::vector<uint8_t> encode_dword(uint32_t value);

// Trace as the log writers see it: a read-only handle of the Settings key opened
// for this one read and closed again, so that a change takes effect with the
// next line. 0 when the key or value is missing or malformed.
uint32_t read_trace_level(ConfigStore& store);

// Trace as read_trace_level gives it, read again only after the Settings key's
// values changed: a line costs no registry call while Trace stays as it is, and
// a change still takes effect with the next line. Without a watch (the key is
// missing, the store cannot watch) every call reads afresh. Thread-safe.
class TraceLevelCache {
 public:
  explicit TraceLevelCache(ConfigStore& store) : m_store(store) {}
  TraceLevelCache(const TraceLevelCache&) = delete;
  TraceLevelCache& operator=(const TraceLevelCache&) = delete;

  uint32_t get();

 private:
  ConfigStore& m_store;
  std::mutex m_mutex;
  std::unique_ptr<ConfigWatch> m_watch;
  uint32_t m_value = 0;
};

}  // namespace platform
