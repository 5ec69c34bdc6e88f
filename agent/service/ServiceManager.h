// The Service Control Manager as the installer and the stop procedure use it:
// the calls with the real signatures, so that a fake can record the exact
// arguments and structures, and fail any one of them.
#pragma once

#include <windows.h>

#include <chrono>

class IServiceManager {
 public:
  virtual ~IServiceManager() = default;
  virtual SC_HANDLE OpenManager(DWORD access) = 0;
  virtual SC_HANDLE Open(SC_HANDLE manager, const wchar_t* name, DWORD access) = 0;
  virtual SC_HANDLE Create(SC_HANDLE manager, const wchar_t* name, const wchar_t* displayName, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, const wchar_t* path,
                           const wchar_t* dependencies) = 0;
  virtual BOOL ChangeConfig(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl,
                            const wchar_t* dependencies) = 0;
  virtual BOOL ChangeConfig2(SC_HANDLE service, DWORD level, void* info) = 0;
  virtual BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  virtual BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  virtual BOOL Delete(SC_HANDLE service) = 0;
  virtual BOOL Close(SC_HANDLE handle) = 0;
  // The error of the last failed call of this seam.
  virtual DWORD LastError() = 0;
  // Waits between polls; a fake advances its own clock.
  virtual void Pause(std::chrono::milliseconds ms) = 0;
  virtual std::chrono::steady_clock::time_point Now() = 0;
};

// The real one.
class CScmServiceManager : public IServiceManager {
 public:
  SC_HANDLE OpenManager(DWORD access) override { return OpenSCManagerW(nullptr, nullptr, access); }
  SC_HANDLE Open(SC_HANDLE manager, const wchar_t* name, DWORD access) override {
    return OpenServiceW(manager, name, access);
  }
  SC_HANDLE Create(SC_HANDLE manager, const wchar_t* name, const wchar_t* displayName, DWORD access,
                   DWORD type, DWORD start, DWORD errorControl, const wchar_t* path,
                   const wchar_t* dependencies) override {
    return CreateServiceW(manager, name, displayName, access, type, start, errorControl, path, nullptr,
                          nullptr, dependencies, nullptr, nullptr);
  }
  BOOL ChangeConfig(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl,
                    const wchar_t* dependencies) override {
    return ChangeServiceConfigW(service, type, start, errorControl, nullptr, nullptr, nullptr, dependencies,
                                nullptr, nullptr, nullptr);
  }
  BOOL ChangeConfig2(SC_HANDLE service, DWORD level, void* info) override {
    return ChangeServiceConfig2W(service, level, info);
  }
  BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return ControlService(service, control, status);
  }
  BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    return QueryServiceStatus(service, status);
  }
  BOOL Delete(SC_HANDLE service) override { return DeleteService(service); }
  BOOL Close(SC_HANDLE handle) override { return CloseServiceHandle(handle); }
  DWORD LastError() override { return GetLastError(); }
  void Pause(std::chrono::milliseconds ms) override { Sleep(static_cast<DWORD>(ms.count())); }
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
};
