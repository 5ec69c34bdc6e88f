// Small Windows pieces of the service shell: who is calling the control
// object, the install path the installer wrote, and ending the desktop
// front-end that runs from the install folder.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "agent/service/AccessPolicy.h"
#include "agent/service/ServiceNotices.h"

// Impersonates the COM caller, checks its token for SYSTEM and the
// administrators, and reverts. Outside a COM call: the process itself.
class CComCallerIdentity : public ICallerIdentity {
 public:
  CallerFacts Identify() override;
};

// HKLM\SOFTWARE\Halvren's default value: at most 260 characters, a string
// with its terminator and an even length, else empty. `keyOpened` tells
// whether the key exists.
std::wstring ReadInstallPath(bool& keyOpened);

// Ends every running "Controller.exe" whose program lies directly in
// `installFolder` (both compared without letter case), up to 29 rounds,
// 100 ms apart. `log` gets the lines of the agent log.
void TerminateFrontEnd(const std::wstring& installFolder, const std::function<void(const std::string&)>& log);

// The real seams of the service's notices, under the source `source`.
NoticeSeams WindowsNoticeSeams(const wchar_t* source);
