// The gateway exchange over WinHTTP: one synchronous POST per call. The
// handles of the running exchange are members so that another thread can
// close them (Abort) to cut a hanging exchange short.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <mutex>
#include <string>

#include "platform/gateway_exchange.h"
#include "platform/win32/winhttp_common.h"

class WinHttpExchange : public IGatewayExchange {
 public:
  // The gateway's replies come from outside; a larger one is not read.
  static constexpr size_t kDefaultMaxReplyBytes = 4 * 1024 * 1024;

  explicit WinHttpExchange(size_t maxReplyBytes = kDefaultMaxReplyBytes) : maxReplyBytes_(maxReplyBytes) {}
  ~WinHttpExchange() override;
  WinHttpExchange(const WinHttpExchange&) = delete;
  WinHttpExchange& operator=(const WinHttpExchange&) = delete;

  void Post(const GatewayRequest& request, const std::function<bool()>& working, const Log& log,
            GatewayReply& reply) override;
  void Abort() override;
  std::string ErrorText(uint32_t error) override;

 private:
  class Steps;
  friend class Steps;

  static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD length);
  void Write(const std::string& line);

  const size_t maxReplyBytes_;

  // Lock order: the handles' lock before logMutex_ (closing a handle may call
  // the status callback, which writes to the log).
  win32::ExchangeHandles handles_;

  std::mutex logMutex_;
  const Log* log_ = nullptr;  // the running exchange's log; callbacks outside an exchange write nothing
};
