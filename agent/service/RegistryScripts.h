// The program's two registration scripts as data: 101 (the AppID and the
// event-log source) and 102 (the control object's class, ProgIDs and type
// library). A key is written with its default value and values; on removal a
// key marked `remove` goes with everything under it, a `never` key (a shared
// parent) stays. A `forceRemove` key is also deleted whole before it is
// written, so no stale value of an older version survives a registration.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace registry_script {

enum class Root { classes, localMachine };
enum class Removal { never, remove, forceRemove };

struct Value {
  std::wstring name;
  bool isDword = false;
  std::wstring text;
  DWORD number = 0;
};

struct Key {
  Root root;
  std::wstring path;  // below the root
  Removal removal;
  bool hasDefault = false;
  std::wstring defaultValue;
  std::vector<Value> values;
};

// Replacements: the AppID, the program's quoted path (MODULE) and its plain
// path (MODULE_RAW).
struct Replacements {
  std::wstring appId;
  std::wstring module;     // "\"C:\\...\\Halvren.exe\""
  std::wstring moduleRaw;  // C:\...\Halvren.exe
};

std::vector<Key> AppIdScript(const Replacements& r);  // resource 101
std::vector<Key> ClassScript(const Replacements& r);  // resource 102

}  // namespace registry_script

constexpr wchar_t kAppId[] = L"{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}";
constexpr wchar_t kClsidText[] = L"{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}";
constexpr wchar_t kLibIdText[] = L"{A1266868-32A7-42E8-93FD-3815748268AF}";
