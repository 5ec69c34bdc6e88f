// The bridge's registration: scripts 101 (the AppID) and 102 (the class, its
// ProgIDs and type library), written with the agent's registry-script code.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "agent/service/RegistryScripts.h"

constexpr wchar_t kBridgeAppId[] = L"{0FA01E62-0618-4CB7-8A39-F333E919182D}";
constexpr wchar_t kBridgeClsid[] = L"{1FEDCC5E-D7DD-4656-BD5D-E3B7C02DDA24}";
constexpr wchar_t kBridgeLibId[] = L"{74E61E86-D70A-464B-89A4-AA16465FB483}";

std::vector<registry_script::Key> BridgeAppIdScript();
// `modulePath`: the DLL's full path, written unquoted.
std::vector<registry_script::Key> BridgeClassScript(const std::wstring& modulePath);

HRESULT RegisterBridge(const std::wstring& modulePath);
HRESULT UnregisterBridge();
