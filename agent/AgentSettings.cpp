#include "agent/AgentSettings.h"

#include <algorithm>
#include <vector>

#include "platform/config_values.h"

using platform::ConfigAccess;
using platform::ConfigKey;

namespace {

// Value names as stored; the installer and the Updater use the same ones.
constexpr char kEmail[] = "E-Mail";
constexpr char kPassword[] = "Password";
constexpr char kAgentKey[] = "Agent Key";
constexpr char kAgentName[] = "Agent Name";
constexpr char kAPIKey[] = "APIKey";
constexpr char kSecretKey[] = "SecretKey";
constexpr char kAuthToken[] = "AuthToken";
constexpr char kAgentID[] = "AgentID";
constexpr char kHost[] = "Host";
constexpr char kAPIHost[] = "APIHost";
constexpr char kProxy[] = "Proxy";
constexpr char kUpgradePath[] = "UpgradePath";
constexpr char kCacheMaxMB[] = "CacheMaxMB";
constexpr char kTrapPort[] = "TrapPort";

}  // namespace

AgentSettings::AgentSettings(platform::ConfigStore& store) : m_store(store) {
  if (m_store.open_key(platform::kAgentKeyPath, ConfigAccess::ReadWrite, m_agent) != platform::kConfigOk) {
    m_agent.reset();
  }
  if (m_store.open_key(platform::kSettingsKeyPath, ConfigAccess::ReadWrite, m_settings) !=
      platform::kConfigOk) {
    m_settings.reset();
  }
}

AgentSettings::~AgentSettings() { Close(); }

void AgentSettings::Close() {
  m_agent.reset();
  m_settings.reset();
}

std::optional<std::string> AgentSettings::ReadString(ConfigKey* key, const char* name) {
  if (!key) return std::nullopt;
  uint32_t type = platform::kTypeNone;
  std::vector<uint8_t> data;
  if (key->read(name, type, data) != platform::kConfigOk) return std::nullopt;
  return platform::decode_string(type, data);
}

std::optional<uint32_t> AgentSettings::ReadDword(ConfigKey* key, const char* name) {
  if (!key) return std::nullopt;
  uint32_t type = platform::kTypeNone;
  std::vector<uint8_t> data;
  if (key->read(name, type, data) != platform::kConfigOk) return std::nullopt;
  return platform::decode_dword(type, data);
}

bool AgentSettings::WriteString(ConfigKey* key, const char* name, const std::string& text) {
  if (!key) return false;
  auto data = platform::encode_string(text);
  if (!data) return false;
  return key->write(name, platform::kTypeString, data->data(), data->size()) == platform::kConfigOk;
}

bool AgentSettings::WriteDword(ConfigKey* key, const char* name, uint32_t value) {
  if (!key) return false;
  auto data = platform::encode_dword(value);
  return key->write(name, platform::kTypeDword, data.data(), data.size()) == platform::kConfigOk;
}

bool AgentSettings::WriteAgentString(const char* name, const char* text) {
  if (!text || !*text) return false;
  return WriteString(m_agent.get(), name, text);
}

bool AgentSettings::WriteSettingsString(const char* name, const char* text) {
  return WriteString(m_settings.get(), name, text ? text : "");
}

std::optional<std::string> AgentSettings::GetEmail() const { return ReadString(m_agent.get(), kEmail); }
std::optional<std::string> AgentSettings::GetPassword() const { return ReadString(m_agent.get(), kPassword); }
std::optional<std::string> AgentSettings::GetAgentKey() const { return ReadString(m_agent.get(), kAgentKey); }
bool AgentSettings::SetAgentKey(const char* text) { return WriteAgentString(kAgentKey, text); }
std::optional<std::string> AgentSettings::GetAgentName() const {
  return ReadString(m_agent.get(), kAgentName);
}
bool AgentSettings::SetAgentName(const char* text) { return WriteAgentString(kAgentName, text); }
std::optional<std::string> AgentSettings::GetAPIKey() const { return ReadString(m_agent.get(), kAPIKey); }
bool AgentSettings::SetAPIKey(const char* text) { return WriteAgentString(kAPIKey, text); }
std::optional<std::string> AgentSettings::GetSecretKey() const {
  return ReadString(m_agent.get(), kSecretKey);
}
bool AgentSettings::SetSecretKey(const char* text) { return WriteAgentString(kSecretKey, text); }
std::optional<std::string> AgentSettings::GetAuthToken() const {
  return ReadString(m_agent.get(), kAuthToken);
}
bool AgentSettings::SetAuthToken(const char* text) { return WriteAgentString(kAuthToken, text); }

uint32_t AgentSettings::GetAgentID() const { return ReadDword(m_agent.get(), kAgentID).value_or(kNoAgentID); }
bool AgentSettings::SetAgentID(uint32_t id) { return WriteDword(m_agent.get(), kAgentID, id); }

std::optional<std::string> AgentSettings::GetHost() const { return ReadString(m_settings.get(), kHost); }
std::optional<std::string> AgentSettings::GetAPIHost() const {
  return ReadString(m_settings.get(), kAPIHost);
}
std::optional<std::string> AgentSettings::GetProxy() const { return ReadString(m_settings.get(), kProxy); }
bool AgentSettings::SetProxy(const char* text) { return WriteSettingsString(kProxy, text); }

uint32_t AgentSettings::GetTrace() const {
  return ReadDword(m_settings.get(), platform::kTraceValueName).value_or(0);
}
bool AgentSettings::SetTrace(uint32_t level) {
  return WriteDword(m_settings.get(), platform::kTraceValueName, level);
}

bool AgentSettings::GetIgnoreCertErrors() const {
  return ReadDword(m_settings.get(), "IgnoreCertErrors").value_or(0) == 1;
}

uint32_t AgentSettings::GetCacheMaxMB() const {
  const uint32_t mb = ReadDword(m_settings.get(), kCacheMaxMB).value_or(0);
  if (mb == 0) return kDefaultCacheMaxMB;
  return std::min(mb, kLargestCacheMaxMB);
}

uint32_t AgentSettings::GetTrapPort() const {
  const uint32_t port = ReadDword(m_settings.get(), kTrapPort).value_or(0);
  return port == 0 || port > 65535 ? 162 : port;
}

std::optional<std::string> AgentSettings::GetUpgradePath() const {
  return ReadString(m_settings.get(), kUpgradePath);
}
bool AgentSettings::SetUpgradePath(const char* text) { return WriteSettingsString(kUpgradePath, text); }

bool AgentSettings::DeleteUpgradePath() {
  return m_settings && m_settings->delete_value(kUpgradePath) == platform::kConfigOk;
}

bool AgentSettings::CreateAgentKey() {
  std::unique_ptr<ConfigKey> key;
  if (m_store.create_key(platform::kAgentKeyPath, key) != platform::kConfigOk) return false;
  m_agent = std::move(key);
  return true;
}

bool AgentSettings::DeleteRegistration() {
  // The handle would only see a deleted key from now on; a new registration
  // creates the key again first.
  m_agent.reset();
  return m_store.delete_tree(platform::kProductKeyPath, platform::kAgentKeyName) == platform::kConfigOk;
}
