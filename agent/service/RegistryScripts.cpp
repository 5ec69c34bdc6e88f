#include "agent/service/RegistryScripts.h"

namespace registry_script {

std::vector<Key> AppIdScript(const Replacements& r) {
  return {
      {Root::classes, L"AppID", Removal::never, false, L"", {}},
      {Root::classes, L"AppID\\" + r.appId, Removal::remove, true, L"Halvren", {}},
      {Root::classes, L"AppID\\Halvren.EXE", Removal::remove, false, L"", {{L"AppID", false, r.appId, 0}}},
      {Root::localMachine, L"SYSTEM", Removal::never, false, L"", {}},
      {Root::localMachine, L"SYSTEM\\CurrentControlSet", Removal::never, false, L"", {}},
      {Root::localMachine, L"SYSTEM\\CurrentControlSet\\Services", Removal::never, false, L"", {}},
      {Root::localMachine, L"SYSTEM\\CurrentControlSet\\Services\\EventLog", Removal::never, false, L"", {}},
      {Root::localMachine,
       L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
       Removal::never,
       false,
       L"",
       {}},
      {Root::localMachine,
       L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Halvren",
       Removal::remove,
       false,
       L"",
       {{L"EventMessageFile", false, r.moduleRaw, 0}, {L"TypesSupported", true, L"", 7}}},
  };
}

std::vector<Key> ClassScript(const Replacements& r) {
  const std::wstring clsid = kClsidText;
  const std::wstring base = L"CLSID\\" + clsid;
  return {
      {Root::classes, L"Halvren.1", Removal::remove, true, L"Halvren Class", {}},
      {Root::classes, L"Halvren.1\\CLSID", Removal::remove, true, clsid, {}},
      {Root::classes, L"Halvren", Removal::remove, true, L"Halvren Class", {}},
      {Root::classes, L"Halvren\\CLSID", Removal::remove, true, clsid, {}},
      {Root::classes, L"Halvren\\CurVer", Removal::remove, true, L"Halvren.1", {}},
      {Root::classes, L"CLSID", Removal::never, false, L"", {}},
      {Root::classes, base, Removal::forceRemove, true, L"Halvren Class", {{L"AppID", false, r.appId, 0}}},
      {Root::classes, base + L"\\ProgID", Removal::remove, true, L"Halvren.1", {}},
      {Root::classes, base + L"\\VersionIndependentProgID", Removal::remove, true, L"Halvren", {}},
      {Root::classes, base + L"\\Programmable", Removal::forceRemove, false, L"", {}},
      {Root::classes, base + L"\\LocalServer32", Removal::remove, true, r.module, {}},
      {Root::classes, base + L"\\TypeLib", Removal::remove, true, kLibIdText, {}},
  };
}

}  // namespace registry_script
