// The HTTP monitor's requests over asynchronous WinINet. Each check has a
// session of its own; every wait is bounded by the check's budget and ended
// by its stop. What WinINet may still touch after a handle is closed (the
// status context, the read buffer, the request body) lives in a block that
// the last of the check and the handles' closing notifications frees.
#pragma once

#include "platform/http_check.h"

class HttpCheckWin32 : public IHttpCheck {
 public:
  HttpCheckResult Check(const HttpCheckRequest& request, std::chrono::milliseconds budget,
                        IHttpCheckSink& sink, IHttpCheckStop& stop) override;
  // wininet.dll's message table, then the system's; empty when neither has the code.
  std::string ErrorText(uint32_t error) override;
};
