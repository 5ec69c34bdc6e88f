// The configuration store over the registry of HKEY_LOCAL_MACHINE, always in
// the native (64-bit) view.
#pragma once

#include "platform/config_store.h"

namespace platform {

class RegistryStore : public ConfigStore {
 public:
  long open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) override;
  long create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) override;
  long delete_tree(const std::string& parent, const std::string& name) override;
  // A change notification on an event of its own, of the key's parent and
  // everything below it (so that the key deleted and made again shows too).
  std::unique_ptr<ConfigWatch> watch_key(const std::string& path) override;
};

}  // namespace platform
