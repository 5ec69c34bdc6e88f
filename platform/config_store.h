// The configuration store: the seam to the registry of HKEY_LOCAL_MACHINE. The
// core opens keys by path ("SOFTWARE\Halvren\Settings"), reads a value as its raw
// stored bytes with its type, and does its own decoding, so that the rules about
// malformed values hold the same for the registry and for the in-memory store the
// native tests use. Names are UTF-8 here; the registry implementation converts
// them to UTF-16. Results are Win32 error codes (0 is success) in both
// implementations, so the fake fails the way the registry does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Stored value types, numbered as the registry numbers them.
enum : uint32_t {
  kTypeNone = 0,
  kTypeString = 1,        // REG_SZ
  kTypeExpandString = 2,  // REG_EXPAND_SZ
  kTypeBinary = 3,        // REG_BINARY
  kTypeDword = 4,         // REG_DWORD
  kTypeMultiString = 7,   // REG_MULTI_SZ
  kTypeQword = 11,        // REG_QWORD
};

// The Win32 error codes the core looks at.
enum : long {
  kConfigOk = 0,
  kConfigNotFound = 2,       // ERROR_FILE_NOT_FOUND
  kConfigAccessDenied = 5,   // ERROR_ACCESS_DENIED
  kConfigInvalidParam = 87,  // ERROR_INVALID_PARAMETER
  kConfigNoMoreItems = 259,  // ERROR_NO_MORE_ITEMS
  kConfigKeyDeleted = 1018,  // ERROR_KEY_DELETED
};

enum class ConfigAccess {
  Read,       // query values, enumerate sub-keys, notify, read control
  ReadWrite,  // the above plus set values and create sub-keys
};

// An open key; closed when destroyed.
class ConfigKey {
 public:
  virtual ~ConfigKey() = default;
  // The value's type and its bytes exactly as stored.
  virtual long read(const std::string& name, uint32_t& type, std::vector<uint8_t>& data) = 0;
  virtual long write(const std::string& name, uint32_t type, const void* data, size_t size) = 0;
  virtual long delete_value(const std::string& name) = 0;
};

// Watches the values of one key. changed() is true on its first call and then
// once for every time values of the key were set or deleted since the last
// call (several changes may show as one); it costs no store call while nothing
// changed. lost() turns true when the watch can no longer tell (the key was
// deleted, the notification could not be renewed): read afresh, watch anew.
class ConfigWatch {
 public:
  virtual ~ConfigWatch() = default;
  virtual bool changed() = 0;
  virtual bool lost() const = 0;
};

class ConfigStore {
 public:
  virtual ~ConfigStore() = default;
  // A watch of a key's values, which also sees the key deleted and made again
  // (it may report more changes than the key's own); null when it cannot be had
  // (the default: the store cannot watch), and readers then read afresh.
  virtual std::unique_ptr<ConfigWatch> watch_key(const std::string& path) {
    (void)path;
    return nullptr;
  }
  // Opens an existing key below HKEY_LOCAL_MACHINE (64-bit view).
  virtual long open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) = 0;
  // Opens the key for reading and writing, creating it and its parents when missing.
  virtual long create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) = 0;
  // Deletes `parent`\`name` with every key below it. Stops at the first error
  // and returns it; the parent itself stays.
  virtual long delete_tree(const std::string& parent, const std::string& name) = 0;
};

// The store of this machine: the registry on Windows; natively a process-wide
// in-memory store (there is no registry), which tests and benchmarks fill.
ConfigStore& machine_config_store();

}  // namespace platform
