#include "platform/win32/registry_store.h"

#include <windows.h>

#include "platform/win32/proc_address.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

// Query, set, create sub-key, enumerate sub-keys, notify, read control.
constexpr REGSAM kReadWriteAccess =
    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL;
constexpr REGSAM kReadAccess = KEY_READ;
// The agent is a 64-bit program; the flag keeps it so should a 32-bit build of
// this code ever read the same keys.
constexpr REGSAM kView = KEY_WOW64_64KEY;

// An empty name means the key itself to the registry (its default value; for a
// deletion, everything below the parent), never what the core asked for.
bool to_name(const std::string& name, std::wstring& wide) { return !name.empty() && to_wide(name, wide); }

class RegistryKey : public ConfigKey {
 public:
  explicit RegistryKey(HKEY key) : m_key(key) {}
  ~RegistryKey() override { RegCloseKey(m_key); }

  long read(const std::string& name, uint32_t& type, std::vector<uint8_t>& data) override {
    std::wstring wname;
    if (!to_name(name, wname)) return ERROR_INVALID_PARAMETER;
    // Most values are small: one call with a stack buffer, a second only for a
    // larger value (and again should it grow between the calls).
    BYTE small[256];
    DWORD size = sizeof(small);
    DWORD kind = REG_NONE;
    LONG rc = RegQueryValueExW(m_key, wname.c_str(), nullptr, &kind, small, &size);
    if (rc == ERROR_SUCCESS) {
      type = kind;
      data.assign(small, small + size);
      return ERROR_SUCCESS;
    }
    for (int attempt = 0; rc == ERROR_MORE_DATA && attempt < 4; ++attempt) {
      data.resize(size);
      rc = RegQueryValueExW(m_key, wname.c_str(), nullptr, &kind, data.data(), &size);
      if (rc == ERROR_SUCCESS) {
        type = kind;
        data.resize(size);
      }
    }
    return rc;
  }

  long write(const std::string& name, uint32_t type, const void* data, size_t size) override {
    std::wstring wname;
    if (!to_name(name, wname) || size > MAXDWORD) return ERROR_INVALID_PARAMETER;
    return RegSetValueExW(m_key, wname.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size));
  }

  long delete_value(const std::string& name) override {
    std::wstring wname;
    if (!to_name(name, wname)) return ERROR_INVALID_PARAMETER;
    return RegDeleteValueW(m_key, wname.c_str());
  }

 private:
  HKEY m_key;
};

using DeleteKeyEx = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process: Windows versions before Vista x64 lack it.
DeleteKeyEx delete_key_ex() {
  static const DeleteKeyEx function = [] {
    return win32::ResolveFunction<DeleteKeyEx>(LoadLibraryW(L"Advapi32.dll"), "RegDeleteKeyExW");
  }();
  return function;
}

LONG delete_key(HKEY parent, const wchar_t* name) {
  if (DeleteKeyEx function = delete_key_ex()) return function(parent, name, kView, 0);
  return RegDeleteKeyW(parent, name);
}

// Depth first: a key can only be deleted once it has no sub-keys.
LONG delete_tree_below(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(parent, name, 0, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | kView, &key);
  if (rc != ERROR_SUCCESS) return rc;
  for (;;) {
    wchar_t child[257];
    DWORD length = 257;
    if (RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    rc = delete_tree_below(key, child);
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(key);
      return rc;
    }
  }
  RegCloseKey(key);
  return delete_key(parent, name);
}

}  // namespace

long RegistryStore::open_key(const std::string& path, ConfigAccess access, std::unique_ptr<ConfigKey>& key) {
  std::wstring wpath;
  if (!to_name(path, wpath)) return ERROR_INVALID_PARAMETER;
  HKEY handle = nullptr;
  REGSAM rights = (access == ConfigAccess::ReadWrite ? kReadWriteAccess : kReadAccess) | kView;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wpath.c_str(), 0, rights, &handle);
  if (rc == ERROR_SUCCESS) key = std::make_unique<RegistryKey>(handle);
  return rc;
}

namespace {

#ifndef REG_NOTIFY_THREAD_AGNOSTIC
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L
#endif

// Set or deleted values, and made or deleted keys, below the watched key
// signal the event. A notification asked for
// without REG_NOTIFY_THREAD_AGNOSTIC (before Windows 8) also fires when the
// asking thread ends: that reads as one change too, and the next call asks again.
class RegistryWatch : public ConfigWatch {
 public:
  RegistryWatch(HKEY key, HANDLE event) : m_key(key), m_event(event) {}
  ~RegistryWatch() override {
    RegCloseKey(m_key);  // ends the notification before its event goes
    CloseHandle(m_event);
  }

  bool Arm() {
    const DWORD filter = REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME;
    if (RegNotifyChangeKeyValue(m_key, TRUE, filter | REG_NOTIFY_THREAD_AGNOSTIC, m_event, TRUE) ==
        ERROR_SUCCESS)
      return true;
    return RegNotifyChangeKeyValue(m_key, TRUE, filter, m_event, TRUE) == ERROR_SUCCESS;
  }

  bool changed() override {
    if (m_first) {
      m_first = false;
      return true;
    }
    if (WaitForSingleObject(m_event, 0) != WAIT_OBJECT_0) return false;
    // The watched key itself deleted: the watch is lost, a new key is watched anew.
    DWORD values = 0;
    if (RegQueryInfoKeyW(m_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS) {
      m_lost = true;
      return true;
    }
    // Asked again before the caller reads, so that no later change is missed.
    m_lost = !Arm();
    return true;
  }
  bool lost() const override { return m_lost; }

 private:
  HKEY m_key;
  HANDLE m_event;
  bool m_first = true;
  bool m_lost = false;
};

}  // namespace

// The key's parent is watched, with everything below it: a deleted key's own
// notification fires at most once (Wine: not at all), so a key deleted and
// made again would go unseen; its parent sees both, and the new key's values.
std::unique_ptr<ConfigWatch> RegistryStore::watch_key(const std::string& path) {
  const size_t slash = path.rfind('\\');
  std::wstring wparent;
  if (slash == std::string::npos || !to_name(path.substr(0, slash), wparent)) return nullptr;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wparent.c_str(), 0, KEY_NOTIFY | KEY_QUERY_VALUE | kView, &handle) !=
      ERROR_SUCCESS)
    return nullptr;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: a wait takes the signal
  if (event == nullptr) {
    RegCloseKey(handle);
    return nullptr;
  }
  auto watch = std::make_unique<RegistryWatch>(handle, event);
  if (!watch->Arm()) return nullptr;
  return watch;
}

long RegistryStore::create_key(const std::string& path, std::unique_ptr<ConfigKey>& key) {
  std::wstring wpath;
  if (!to_name(path, wpath)) return ERROR_INVALID_PARAMETER;
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wpath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            kReadWriteAccess | kView, nullptr, &handle, nullptr);
  if (rc == ERROR_SUCCESS) key = std::make_unique<RegistryKey>(handle);
  return rc;
}

long RegistryStore::delete_tree(const std::string& parent, const std::string& name) {
  std::wstring wparent, wname;
  if (!to_name(parent, wparent) || !to_name(name, wname)) return ERROR_INVALID_PARAMETER;
  HKEY handle = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wparent.c_str(), 0, kReadWriteAccess | kView, &handle);
  if (rc != ERROR_SUCCESS) return rc;
  rc = delete_tree_below(handle, wname.c_str());
  RegCloseKey(handle);
  return rc;
}

ConfigStore& machine_config_store() {
  static RegistryStore* store = new RegistryStore;  // never destroyed, see the native one
  return *store;
}

}  // namespace platform
