#include "agent/service/ServiceInstaller.h"

namespace {

// Closes a service handle of the seam at scope end.
class ScopedService {
 public:
  ScopedService(IServiceManager& scm, SC_HANDLE h) : m_scm(scm), m_h(h) {}
  ~ScopedService() { reset(); }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;
  SC_HANDLE get() const { return m_h; }
  explicit operator bool() const { return m_h != nullptr; }
  void reset() {
    if (m_h != nullptr) m_scm.Close(m_h);
    m_h = nullptr;
  }

 private:
  IServiceManager& m_scm;
  SC_HANDLE m_h;
};

HRESULT FromError(DWORD error) { return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error); }

// With the literal's own NUL: double-terminated.
const wchar_t kDependencies[] = L"RPCSS\0";

}  // namespace

HRESULT CServiceInstaller::Fail(const wchar_t* text, DWORD error) {
  m_notices.Error(text, error);
  return E_FAIL;
}

bool CServiceInstaller::Exists(const std::wstring& name) {
  ScopedService manager(m_scm, m_scm.OpenManager(SC_MANAGER_CONNECT));
  if (!manager) return false;
  ScopedService service(m_scm, m_scm.Open(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool CServiceInstaller::WaitStopped(SC_HANDLE service) {
  const auto deadline = m_scm.Now() + m_limits.stopWait;
  for (;;) {
    SERVICE_STATUS status{};
    if (!m_scm.QueryStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (m_scm.Now() >= deadline) return false;
    m_scm.Pause(m_limits.poll);
  }
}

bool CServiceInstaller::WaitGone(SC_HANDLE manager, const std::wstring& name) {
  const auto deadline = m_scm.Now() + m_limits.deleteWait;
  for (;;) {
    ScopedService again(m_scm, m_scm.Open(manager, name.c_str(), SERVICE_QUERY_STATUS));
    if (!again) {
      if (m_scm.LastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    }
    again.reset();
    if (m_scm.Now() >= deadline) return false;
    m_scm.Pause(m_limits.poll);
  }
}

HRESULT CServiceInstaller::Uninstall(const std::wstring& name) {
  if (!Exists(name)) return S_OK;
  ScopedService manager(m_scm, m_scm.OpenManager(SC_MANAGER_ALL_ACCESS));
  if (!manager) return Fail(L"Could not open Service Manager", m_scm.LastError());
  ScopedService service(
      m_scm, m_scm.Open(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return Fail(L"Could not open service", m_scm.LastError());

  SERVICE_STATUS status{};
  if (!m_scm.Control(service.get(), SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = m_scm.LastError();
    const bool alreadyStopped =
        error == ERROR_SERVICE_NOT_ACTIVE ||
        (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOPPED);
    // A stop already under way refuses further controls; waiting below covers it.
    const bool stopping =
        error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING;
    if (!alreadyStopped && !stopping) return Fail(L"Could not stop service", error);
  }
  if (!WaitStopped(service.get())) return Fail(L"Could not stop service", 0);

  if (!m_scm.Delete(service.get())) {
    const DWORD error = m_scm.LastError();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return Fail(L"Could not delete service", error);
  }
  service.reset();  // the service goes only once every handle to it is closed
  if (!WaitGone(manager.get(), name)) return Fail(L"Could not delete service", 0);
  return S_OK;
}

HRESULT CServiceInstaller::Install(const std::wstring& name, const std::wstring& path) {
  if (Exists(name)) return S_OK;
  if (path.empty() || path.size() >= MAX_PATH) return Fail(L"Could not start service", ERROR_BAD_PATHNAME);
  ScopedService manager(m_scm, m_scm.OpenManager(SC_MANAGER_ALL_ACCESS));
  if (!manager) return Fail(L"Could not open Service Manager", m_scm.LastError());
  const std::wstring quoted = L"\"" + path + L"\"";
  ScopedService service(m_scm, m_scm.Create(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                            SERVICE_ERROR_NORMAL, quoted.c_str(), kDependencies));
  if (!service) return Fail(L"Could not start service", m_scm.LastError());
  return S_OK;
}

HRESULT CServiceInstaller::Reconfigure(const std::wstring& name, const std::wstring& description) {
  ScopedService manager(m_scm, m_scm.OpenManager(SC_MANAGER_CONNECT));
  if (!manager) return Fail(L"Could not open Service Manager", m_scm.LastError());
  ScopedService service(m_scm,
                        m_scm.Open(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (!service) {
    const DWORD error = m_scm.LastError();
    Fail(L"Could not open service", error);
    return FromError(error);
  }
  // The dependencies are given again, unchanged: Wine's service manager
  // forgets them on any reconfiguration that passes none.
  if (!m_scm.ChangeConfig(service.get(), SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                          SERVICE_AUTO_START, SERVICE_NO_CHANGE, kDependencies)) {
    const DWORD error = m_scm.LastError();
    Fail(L"Could not configure service", error);
    return FromError(error);
  }
  std::wstring text = description;
  SERVICE_DESCRIPTIONW describe{&text[0]};
  if (!m_scm.ChangeConfig2(service.get(), SERVICE_CONFIG_DESCRIPTION, &describe)) {
    const DWORD error = m_scm.LastError();
    Fail(L"Could not set the service description", error);
    return FromError(error);
  }
  SC_ACTION actions[3];
  for (SC_ACTION& action : actions) action = SC_ACTION{SC_ACTION_RESTART, 60000};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 86400;
  failure.lpRebootMsg = nullptr;
  failure.lpCommand = nullptr;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  if (!m_scm.ChangeConfig2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    const DWORD error = m_scm.LastError();
    Fail(L"Could not set the service failure actions", error);
    return FromError(error);
  }
  return S_OK;
}
