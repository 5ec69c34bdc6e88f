// What the ping monitor needs of the system: the system's ICMP echo service
// (IP Helper), name resolution, the socket library, and the raw-socket echo
// of corelib. Safe to use from several check threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct IcmpEchoResult {
  enum Kind {
    CallFailed,  // the echo call returned 0; value is the system error
    BadStatus,   // a reply whose status is not 0; value is that status
    Answered,    // value is the round trip in whole milliseconds
    Cancelled,   // a stop ended the wait; nothing is counted
  };
  Kind kind = CallFailed;
  uint32_t value = 0;
};

// One open ICMP handle; closed when the last owner lets go.
class IIcmpEchoSession {
 public:
  virtual ~IIcmpEchoSession() = default;
  // One echo of `data` to `address` (IPv4, network order), waiting up to
  // `timeout` ms. The reply buffer holds the data and one reply header.
  virtual IcmpEchoResult Echo(uint32_t address, const std::vector<uint8_t>& data, uint32_t timeout) = 0;
  // From another thread: ends an echo in progress and every later one, which
  // then answer Cancelled. Only signals; returns at once.
  virtual void Cancel() = 0;
};

class IIcmpEcho {
 public:
  virtual ~IIcmpEcho() = default;
  // The socket library, for the monitor's lifetime (counted).
  virtual bool StartSockets() = 0;
  virtual void StopSockets() = 0;
  // Whether the IP Helper echo functions were all found.
  virtual bool HelperAvailable() = 0;
  // Whether an echo in progress can be cut short by Cancel.
  virtual bool EchoCancellable() = 0;
  // The host's first IPv4 address, network order.
  virtual bool Resolve(const std::string& host, uint32_t& address) = 0;
  // A new ICMP handle; null when none could be opened.
  virtual std::shared_ptr<IIcmpEchoSession> Open() = 0;
  // corelib's raw-socket echo; `stop` is asked between waits.
  virtual bool RawPing(const std::string& host, uint32_t timeout, int32_t count, double* results,
                       uint16_t size, uint16_t identifier, const std::function<bool()>& stop) = 0;
};
