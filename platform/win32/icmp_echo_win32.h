// The ICMP seam on Windows: the IP Helper echo functions looked up at run time
// from the system folder's iphlpapi.dll, getaddrinfo, Winsock 2.2, and the raw
// echo handed in by the program (corelib's, which this library does not link).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/icmp_echo.h"

class IcmpEchoWin32 : public IIcmpEcho {
 public:
  // The signature of corelib's ping_until_stopped.
  using RawPingFn = bool (*)(const char* host, uint32_t timeout, int32_t count, double* results,
                             uint16_t size, uint16_t identifier, bool (*stop)(void*), void* context);

  explicit IcmpEchoWin32(RawPingFn rawPing);
  ~IcmpEchoWin32() override;
  IcmpEchoWin32(const IcmpEchoWin32&) = delete;
  IcmpEchoWin32& operator=(const IcmpEchoWin32&) = delete;

  bool StartSockets() override;
  void StopSockets() override;
  bool HelperAvailable() override;
  bool EchoCancellable() override;
  bool Resolve(const std::string& host, uint32_t& address) override;
  std::shared_ptr<IIcmpEchoSession> Open() override;
  bool RawPing(const std::string& host, uint32_t timeout, int32_t count, double* results, uint16_t size,
               uint16_t identifier, const std::function<bool()>& stop) override;

  // The module and its functions; sessions share it, so it stays loaded while
  // any of them (or an abandoned request) may still use it.
  struct Helper;

 private:
  std::shared_ptr<Helper> m_helper;
  RawPingFn m_rawPing;
};
