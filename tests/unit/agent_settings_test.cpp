// AgentSettings over the machine's store: under Wine the real registry of the
// test prefix, natively the in-memory store. The last test drives registry
// failures through the fake, which is the only way to cause them.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "agent/AgentSettings.h"
#include "platform/config_values.h"
#include "platform/memory_config_store.h"
#include "tests/unit/test_support.h"

namespace {

using platform::kAgentKeyPath;
using platform::kSettingsKeyPath;
using test::utf16le;

const std::string kZero("\0\0", 2);

std::string stored(const std::string& utf8) {
  auto data = platform::encode_string(utf8);
  return std::string(data->begin(), data->end());
}

class AgentSettingsTest : public testing::Test {
 protected:
  // The value as stored (type, bytes), or nullopt when it cannot be read.
  std::optional<std::pair<uint32_t, std::string>> raw(const std::string& path, const std::string& name) {
    std::unique_ptr<platform::ConfigKey> key;
    if (machine.store().open_key(path, platform::ConfigAccess::Read, key) != platform::kConfigOk)
      return std::nullopt;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (key->read(name, type, data) != platform::kConfigOk) return std::nullopt;
    return std::make_pair(type, std::string(data.begin(), data.end()));
  }

  bool key_exists(const std::string& path) {
    std::unique_ptr<platform::ConfigKey> key;
    return machine.store().open_key(path, platform::ConfigAccess::Read, key) == platform::kConfigOk;
  }

  test::MachineStoreScope machine;
};

TEST_F(AgentSettingsTest, ReadsApplyTheStoredValueRules) {
  using Get = std::function<std::optional<std::string>(const AgentSettings&)>;
  struct Case {
    const char* what;
    const char* path;
    const char* name;
    uint32_t type;
    std::string raw;
    Get get;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"UTF-16 converted to UTF-8", kAgentKeyPath, "E-Mail", platform::kTypeString,
       stored("j\xC3\xBCrg@example.org"), &AgentSettings::GetEmail, "j\xC3\xBCrg@example.org"},
      {"an expandable string is not expanded", kSettingsKeyPath, "Host", platform::kTypeExpandString,
       utf16le("https://%COMPUTERNAME%/%SystemRoot%") + kZero, &AgentSettings::GetHost,
       "https://%COMPUTERNAME%/%SystemRoot%"},
      {"no terminating zero", kSettingsKeyPath, "Proxy", platform::kTypeString, utf16le("proxy:8080"),
       &AgentSettings::GetProxy, std::nullopt},
      {"odd length", kSettingsKeyPath, "APIHost", platform::kTypeString, utf16le("api") + kZero + "x",
       &AgentSettings::GetAPIHost, std::nullopt},
      {"wrong type", kAgentKeyPath, "Agent Key", platform::kTypeBinary, utf16le("key") + kZero,
       &AgentSettings::GetAgentKey, std::nullopt},
      {"missing", kSettingsKeyPath, "UpgradePath-unused", platform::kTypeString, stored("x"),
       &AgentSettings::GetUpgradePath, std::nullopt},
  };
  for (const Case& c : cases) machine.put(c.path, c.name, c.type, c.raw);
  machine.put(kAgentKeyPath, "AgentID", platform::kTypeString, stored("17"));
  machine.put(kSettingsKeyPath, "Trace", platform::kTypeString, stored("10"));

  AgentSettings settings(machine.store());
  ASSERT_TRUE(settings.IsAgentKeyOpen());
  ASSERT_TRUE(settings.IsSettingsKeyOpen());
  for (const Case& c : cases) EXPECT_EQ(c.get(settings), c.expected) << c.what;
  EXPECT_EQ(settings.GetAgentID(), 0xFFFFFFFFu) << "AgentID stored as a string";
  EXPECT_EQ(settings.GetTrace(), 0u) << "Trace stored as a string";
  EXPECT_EQ(platform::read_trace_level(machine.store()), 0u);
}

TEST_F(AgentSettingsTest, WritesFollowTheRulesOfTheirKey) {
  machine.put(kAgentKeyPath, "Agent Name", platform::kTypeString, stored("web-01"));
  machine.put(kSettingsKeyPath, "Proxy", platform::kTypeString, stored("proxy:8080"));
  AgentSettings settings(machine.store());

  // Agent key: null and empty text are refused and leave the stored value.
  EXPECT_FALSE(settings.SetAgentName(""));
  EXPECT_FALSE(settings.SetAgentName(nullptr));
  EXPECT_FALSE(settings.SetAgentKey("bad \xC3"));  // not UTF-8
  EXPECT_EQ(settings.GetAgentName(), "web-01");
  EXPECT_FALSE(raw(kAgentKeyPath, "Agent Key"));
  EXPECT_TRUE(settings.SetAgentName("web-02 \xE2\x82\xAC"));
  EXPECT_EQ(raw(kAgentKeyPath, "Agent Name"),
            std::make_pair(uint32_t{platform::kTypeString}, stored("web-02 \xE2\x82\xAC")));
  EXPECT_TRUE(settings.SetAgentID(42));
  EXPECT_EQ(settings.GetAgentID(), 42u);

  // Settings key: null writes an empty string, which clears the value.
  EXPECT_TRUE(settings.SetProxy(nullptr));
  EXPECT_EQ(raw(kSettingsKeyPath, "Proxy"), std::make_pair(uint32_t{platform::kTypeString}, kZero));
  EXPECT_EQ(settings.GetProxy(), "");
  EXPECT_TRUE(settings.SetUpgradePath("C:\\Windows\\Temp\\upd"));
  EXPECT_EQ(settings.GetUpgradePath(), "C:\\Windows\\Temp\\upd");
  EXPECT_TRUE(settings.DeleteUpgradePath());
  EXPECT_EQ(settings.GetUpgradePath(), std::nullopt);
  EXPECT_FALSE(settings.DeleteUpgradePath());
  EXPECT_TRUE(settings.SetTrace(10));
  EXPECT_EQ(platform::read_trace_level(machine.store()), 10u);
}

TEST_F(AgentSettingsTest, CacheMaxMBDefaultsAndIsClamped) {
  auto dword = [](uint32_t v) {
    auto data = platform::encode_dword(v);
    return std::string(data.begin(), data.end());
  };
  machine.put(kSettingsKeyPath, "Host", platform::kTypeString, stored("https://gw.example.org"));
  EXPECT_EQ(AgentSettings(machine.store()).GetCacheMaxMB(), 64u) << "absent";
  struct Case {
    uint32_t type;
    std::string raw;
    uint32_t expected;
  };
  const Case cases[] = {
      {platform::kTypeDword, dword(0), 64},       {platform::kTypeDword, dword(1), 1},
      {platform::kTypeDword, dword(200), 200},    {platform::kTypeDword, dword(1024), 1024},
      {platform::kTypeDword, dword(1025), 1024},  {platform::kTypeDword, dword(0xFFFFFFFF), 1024},
      {platform::kTypeString, stored("200"), 64},
  };
  for (const Case& c : cases) {
    machine.put(kSettingsKeyPath, "CacheMaxMB", c.type, c.raw);
    EXPECT_EQ(AgentSettings(machine.store()).GetCacheMaxMB(), c.expected) << c.type << " " << c.expected;
  }
}

TEST_F(AgentSettingsTest, MissingKeysAreNotCreatedAndGiveDefaults) {
  AgentSettings settings(machine.store());
  EXPECT_FALSE(settings.IsAgentKeyOpen());
  EXPECT_FALSE(settings.IsSettingsKeyOpen());
  EXPECT_EQ(settings.GetEmail(), std::nullopt);
  EXPECT_EQ(settings.GetHost(), std::nullopt);
  EXPECT_EQ(settings.GetAgentID(), 0xFFFFFFFFu);
  EXPECT_EQ(settings.GetTrace(), 0u);
  EXPECT_EQ(settings.GetCacheMaxMB(), 64u);
  EXPECT_FALSE(settings.SetAgentKey("key"));
  EXPECT_FALSE(settings.SetProxy("proxy:8080"));
  EXPECT_FALSE(settings.SetTrace(10));
  EXPECT_FALSE(settings.DeleteUpgradePath());
  EXPECT_FALSE(key_exists(kAgentKeyPath));
  EXPECT_FALSE(key_exists(kSettingsKeyPath));

  // The registration creates the Agent key before it persists anything.
  ASSERT_TRUE(settings.CreateAgentKey());
  EXPECT_TRUE(settings.IsAgentKeyOpen());
  EXPECT_TRUE(settings.SetAgentKey("key-1"));
  EXPECT_EQ(AgentSettings(machine.store()).GetAgentKey(), "key-1");
}

TEST_F(AgentSettingsTest, DeletingTheRegistrationRemovesTheAgentTreeOnly) {
  machine.put(kAgentKeyPath, "Agent Key", platform::kTypeString, stored("key-1"));
  machine.put(std::string(kAgentKeyPath) + "\\Jobs\\disk", "Limit", platform::kTypeString, stored("90"));
  machine.put(std::string(kAgentKeyPath) + "\\Jobs\\cpu", "Limit", platform::kTypeString, stored("80"));
  machine.put(std::string(kAgentKeyPath) + "\\Cache", "Size", platform::kTypeString, stored("1"));
  machine.set_trace(10);
  machine.put(kSettingsKeyPath, "Host", platform::kTypeString, stored("https://gw.example.org"));

  AgentSettings settings(machine.store());
  ASSERT_TRUE(settings.DeleteRegistration());
  EXPECT_FALSE(settings.IsAgentKeyOpen());
  EXPECT_FALSE(key_exists(kAgentKeyPath));
  EXPECT_FALSE(key_exists(std::string(kAgentKeyPath) + "\\Jobs\\disk"));
  EXPECT_TRUE(key_exists("SOFTWARE\\Halvren"));
  EXPECT_EQ(settings.GetHost(), "https://gw.example.org");
  EXPECT_EQ(platform::read_trace_level(machine.store()), 10u);
  EXPECT_FALSE(settings.SetAgentKey("key-2"));
  EXPECT_FALSE(settings.DeleteRegistration()) << "nothing left to delete";

  ASSERT_TRUE(settings.CreateAgentKey());
  EXPECT_EQ(settings.GetAgentKey(), std::nullopt);
}

TEST(AgentSettingsFakeStore, StoreErrorsGiveDefaultsAndFalseAndHandlesAreClosed) {
  platform::MemoryConfigStore store;
  std::unique_ptr<platform::ConfigKey> key;
  ASSERT_EQ(store.create_key(kAgentKeyPath, key), platform::kConfigOk);
  auto name = platform::encode_string("web-01");
  key->write("Agent Name", platform::kTypeString, name->data(), name->size());
  key->write("AgentID", platform::kTypeDword, "\x07\0\0\0", 4);
  ASSERT_EQ(store.create_key(kSettingsKeyPath, key), platform::kConfigOk);
  key.reset();

  {
    AgentSettings settings(store);
    EXPECT_EQ(store.open_handles(), 2) << "both keys stay open for the object's life";
    store.fail_read(platform::kConfigAccessDenied);
    EXPECT_EQ(settings.GetAgentName(), std::nullopt);
    EXPECT_EQ(settings.GetAgentID(), 0xFFFFFFFFu);
    store.fail_read(0);
    store.fail_write(platform::kConfigAccessDenied);
    EXPECT_FALSE(settings.SetAgentName("web-02"));
    EXPECT_FALSE(settings.SetProxy(nullptr));
    EXPECT_FALSE(settings.SetAgentID(8));
    store.fail_write(0);
    EXPECT_EQ(settings.GetAgentName(), "web-01");
    EXPECT_EQ(settings.GetAgentID(), 7u);
    store.fail_delete(platform::kConfigAccessDenied);
    EXPECT_FALSE(settings.DeleteRegistration());
    EXPECT_TRUE(store.key_exists(kAgentKeyPath));
  }
  EXPECT_EQ(store.open_handles(), 0);

  store.fail_open(platform::kConfigAccessDenied);
  AgentSettings unopened(store);
  EXPECT_FALSE(unopened.IsAgentKeyOpen());
  EXPECT_FALSE(unopened.IsSettingsKeyOpen());
  EXPECT_FALSE(unopened.CreateAgentKey());
}

}  // namespace
