// Installing, reconfiguring and removing the agent's service, every call
// through the IServiceManager seam. Removal waits (bounded) for the old
// service to stop and to be gone, so that installing over a running copy
// gives a fresh service instead of one marked for deletion. Each failure is
// reported through the notices and returned as its HRESULT.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>

#include "agent/service/ServiceManager.h"
#include "agent/service/ServiceNotices.h"

struct InstallerLimits {
  std::chrono::milliseconds stopWait{30000};    // for SERVICE_STOPPED after the stop control
  std::chrono::milliseconds deleteWait{30000};  // for the deleted service to disappear
  std::chrono::milliseconds poll{250};
};

class CServiceInstaller {
 public:
  CServiceInstaller(IServiceManager& scm, CServiceNotices& notices, InstallerLimits limits = {})
      : m_scm(scm), m_notices(notices), m_limits(limits) {}

  // Stops and deletes the service when it exists. S_OK when there is none.
  HRESULT Uninstall(const std::wstring& name);
  // Creates the service (demand start, LocalSystem, depending on RPCSS) unless
  // it exists. `path` is the program's full path, unquoted.
  HRESULT Install(const std::wstring& name, const std::wstring& path);
  // Own process + interactive, automatic start, the description and three
  // restarts after a minute each, reset after a day.
  HRESULT Reconfigure(const std::wstring& name, const std::wstring& description);

  bool Exists(const std::wstring& name);

 private:
  HRESULT Fail(const wchar_t* text, DWORD error);
  // Polls until the service reports STOPPED; false on time-out.
  bool WaitStopped(SC_HANDLE service);
  // Polls until opening the service says it does not exist; false on time-out.
  bool WaitGone(SC_HANDLE manager, const std::wstring& name);

  IServiceManager& m_scm;
  CServiceNotices& m_notices;
  InstallerLimits m_limits;
};
