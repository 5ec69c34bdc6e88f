// Registration of the agent program: the two registry scripts, the type
// library, the AppID's LocalService value and the service itself. Every
// registration also keeps the agent's credentials key to SYSTEM and the
// administrators.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "agent/service/RegistryScripts.h"
#include "agent/service/ServiceInstaller.h"

struct RegistrationContext {
  std::wstring serviceName;  // string resource 100
  std::wstring description;  // string resource 101
  std::wstring modulePath;   // full path of the program, unquoted
  bool perUser = false;
  CServiceInstaller* installer = nullptr;
  CServiceNotices* notices = nullptr;
};

// Writes (or removes) the keys of a script; the classes root is the machine's
// or, per user, the user's.
HRESULT ApplyRegistryScript(const std::vector<registry_script::Key>& keys, bool registering, bool perUser);

HRESULT RegisterAppId(const RegistrationContext& c, bool asService);
HRESULT UnregisterAppId(const RegistrationContext& c);
HRESULT RegisterClassAndTypeLibrary(const RegistrationContext& c);
HRESULT UnregisterClassAndTypeLibrary(const RegistrationContext& c);

// Creates HKLM\SOFTWARE\Halvren\Agent if missing and gives it a protected
// access list: full control for SYSTEM and the administrators, nobody else.
HRESULT ProtectAgentKey();

// The AppID's LocalService value: present means "run as the service".
bool ReadLocalService(std::wstring& name, LONG& error);
