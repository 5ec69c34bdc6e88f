// AgentSettings: the agent's persistent configuration, the values under
// "SOFTWARE\Halvren\Agent" (identity and credentials) and
// "SOFTWARE\Halvren\Settings" (operation). Both keys stay open for the life of
// the object; neither is created by opening. Registry errors never reach the
// user: a failed read gives the value's default (nullopt for text), a failed
// write returns false. Not locked: the worker calls it under its credentials
// lock; readers of Trace on other threads use platform::TraceLevelCache.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/config_store.h"

class AgentSettings {
 public:
  static constexpr uint32_t kNoAgentID = 0xFFFFFFFF;
  // The result cache's byte cap in MiB: the default and the largest allowed.
  static constexpr uint32_t kDefaultCacheMaxMB = 64;
  static constexpr uint32_t kLargestCacheMaxMB = 1024;

  explicit AgentSettings(platform::ConfigStore& store);
  ~AgentSettings();
  AgentSettings(const AgentSettings&) = delete;
  AgentSettings& operator=(const AgentSettings&) = delete;

  void Close();
  bool IsAgentKeyOpen() const { return m_agent != nullptr; }
  bool IsSettingsKeyOpen() const { return m_settings != nullptr; }

  // Agent key. Writes refuse null or empty text and leave the stored value.
  std::optional<std::string> GetEmail() const;
  std::optional<std::string> GetPassword() const;
  std::optional<std::string> GetAgentKey() const;
  bool SetAgentKey(const char* text);
  std::optional<std::string> GetAgentName() const;
  bool SetAgentName(const char* text);
  std::optional<std::string> GetAPIKey() const;
  bool SetAPIKey(const char* text);
  std::optional<std::string> GetSecretKey() const;
  bool SetSecretKey(const char* text);
  std::optional<std::string> GetAuthToken() const;
  bool SetAuthToken(const char* text);
  uint32_t GetAgentID() const;  // kNoAgentID when absent
  bool SetAgentID(uint32_t id);

  // Settings key. Writing null text stores an empty string, which clears it.
  std::optional<std::string> GetHost() const;
  std::optional<std::string> GetAPIHost() const;
  std::optional<std::string> GetProxy() const;
  bool SetProxy(const char* text);
  uint32_t GetTrace() const;  // 0 when absent
  bool SetTrace(uint32_t level);
  // 1 lets HTTPS exchanges accept a certificate that fails verification.
  bool GetIgnoreCertErrors() const;
  // "CacheMaxMB": absent, unreadable or 0 gives kDefaultCacheMaxMB; larger
  // values are cut to kLargestCacheMaxMB.
  uint32_t GetCacheMaxMB() const;
  // "TrapPort": the SNMP trap listener's UDP port; absent, 0 or above 65535 gives 162.
  uint32_t GetTrapPort() const;
  std::optional<std::string> GetUpgradePath() const;
  bool SetUpgradePath(const char* text);
  bool DeleteUpgradePath();

  // Creates (or opens) the Agent key and keeps it as this object's Agent key;
  // the registration is persisted right after.
  bool CreateAgentKey();
  // Deletes the Agent key with everything below it; the Settings key stays.
  bool DeleteRegistration();

 private:
  static std::optional<std::string> ReadString(platform::ConfigKey* key, const char* name);
  static std::optional<uint32_t> ReadDword(platform::ConfigKey* key, const char* name);
  static bool WriteString(platform::ConfigKey* key, const char* name, const std::string& text);
  static bool WriteDword(platform::ConfigKey* key, const char* name, uint32_t value);
  bool WriteAgentString(const char* name, const char* text);
  bool WriteSettingsString(const char* name, const char* text);

  platform::ConfigStore& m_store;
  std::unique_ptr<platform::ConfigKey> m_agent;     // null: the Agent key is not open
  std::unique_ptr<platform::ConfigKey> m_settings;  // null: the Settings key is not open
};
