// What every CMainWorker in a test stands on: its gateway, compression,
// system and probes as fakes, and the registry keys an installation makes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/MainWorker.h"
#include "platform/config_values.h"
#include "tests/unit/fakes/fake_cpu_probe.h"
#include "tests/unit/fakes/fake_gateway.h"
#include "tests/unit/fakes/fake_icmp_echo.h"
#include "tests/unit/fakes/fake_memory_probe.h"
#include "tests/unit/fakes/fake_probes.h"

inline const char* const kAgentKey = "SOFTWARE\\Halvren\\Agent";
inline const char* const kSettingsKey = "SOFTWARE\\Halvren\\Settings";

struct WorkerFakes {
  // The required seams over these fakes; the optional ones stay unset.
  WorkerSeams SeamsOver(platform::ConfigStore& config) {
    return WorkerSeams{config, exchange, zlib, system, cpu, memory, disk, process, icmp};
  }

  FakeExchange exchange;
  FakeCompression zlib;
  FakeSystem system;
  FakeCpuProbe cpu;
  FakeMemoryProbe memory;
  FakeDiskProbe disk;
  FakeProcessProbe process;
  FakeIcmpEcho icmp;
};

inline void CreateAgentKeys(platform::ConfigStore& store) {
  std::unique_ptr<platform::ConfigKey> key;
  store.create_key(kAgentKey, key);
  store.create_key(kSettingsKey, key);
}

inline void PutString(platform::ConfigStore& store, const char* path, const char* name, const std::string& value) {
  std::unique_ptr<platform::ConfigKey> key;
  ASSERT_EQ(store.open_key(path, platform::ConfigAccess::ReadWrite, key), 0);
  auto bytes = platform::encode_string(value);
  ASSERT_TRUE(bytes);
  ASSERT_EQ(key->write(name, platform::kTypeString, bytes->data(), bytes->size()), 0);
}
