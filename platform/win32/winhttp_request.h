// The custom-monitor side's HTTP transport over synchronous WinHTTP: a session
// with its connection, one exchange at a time, and an Abort that closes the
// running request from another thread. The upgrade's package GET shares it.
#pragma once

#include <memory>

#include "platform/http_transport.h"
#include "platform/upgrade_host.h"

class WinHttpTransport : public platform::IHttpTransport {
 public:
  std::string UserProxy() override;
  std::unique_ptr<platform::IHttpSession> OpenSession(const std::string& userAgent,
                                                      platform::HttpProxyMode mode, const std::string& proxy,
                                                      bool secure, uint32_t& error) override;
  std::string ErrorText(uint32_t error) override;
};

// The upgrade package's GET over synchronous WinHTTP: one session, connection
// and request, all closed by Abort from another thread.
std::unique_ptr<platform::IPackageGet> NewWinHttpPackageGet();
