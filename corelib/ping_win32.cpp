// The raw-socket echo over Windows Sockets.
// Windows Sockets before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "corelib/ExceptionRecord.h"
#include "corelib/icmp_packet.h"
#include "corelib/ping.h"

namespace {

// Longest wait between two looks at the stop.
constexpr uint32_t kSliceMs = 200;
// Pause before each request, as the system's ping does between requests.
constexpr uint32_t kPauseMs = 100;
// A whole IPv4 datagram: an answer to a 4096-byte request must not be cut.
constexpr int kReceiveBuffer = 65536;

struct Winsock {
  bool ok;
  Winsock() {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok) WSACleanup();
  }
};

struct Addresses {
  addrinfo* list = nullptr;
  ~Addresses() {
    if (list) freeaddrinfo(list);
  }
};

struct Socket {
  SOCKET s = INVALID_SOCKET;
  ~Socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
};

class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&m_frequency);
    QueryPerformanceCounter(&m_start);
  }
  double Milliseconds() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) * 1000.0 /
           static_cast<double>(m_frequency.QuadPart);
  }

 private:
  LARGE_INTEGER m_frequency{}, m_start{};
};

bool Stopped(ping_stop_fn stop, void* context) { return stop && stop(context); }

// A pause of `ms` that looks at the stop every slice; false when stopped.
bool Pause(uint32_t ms, ping_stop_fn stop, void* context) {
  while (ms > 0) {
    if (Stopped(stop, context)) return false;
    uint32_t slice = ms < kSliceMs ? ms : kSliceMs;
    Sleep(slice);
    ms -= slice;
  }
  return !Stopped(stop, context);
}

void UnixTimeNow(uint32_t& seconds, uint32_t& microseconds) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100-ns units since 1601 to microseconds since 1970.
  uint64_t us = (t.QuadPart - 116444736000000000ULL) / 10;
  seconds = static_cast<uint32_t>(us / 1000000);
  microseconds = static_cast<uint32_t>(us % 1000000);
}

enum class Outcome { Answer, Loss, Stopped };

// Waits for the answer to request `sequence` sent to `target`; `rtt` is the
// time from the start of the wait to the answer.
Outcome AwaitAnswer(SOCKET s, uint32_t timeout, uint16_t identifier, uint16_t sequence,
                    const uint8_t target[4], std::vector<uint8_t>& buffer, double& rtt, ping_stop_fn stop,
                    void* context) {
  Stopwatch watch;
  for (;;) {
    if (Stopped(stop, context)) return Outcome::Stopped;
    double elapsed = watch.Milliseconds();
    if (elapsed >= static_cast<double>(timeout)) return Outcome::Loss;
    double remaining = static_cast<double>(timeout) - elapsed;
    uint32_t slice = remaining < kSliceMs ? static_cast<uint32_t>(remaining) + 1 : kSliceMs;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv;
    tv.tv_sec = static_cast<long>(slice / 1000);
    tv.tv_usec = static_cast<long>((slice % 1000) * 1000);
    int ready = select(0, &readable, nullptr, nullptr, &tv);
    if (ready < 0) return Outcome::Loss;
    if (ready == 0) continue;
    sockaddr_in from;
    int fromLength = sizeof from;
    int n = recvfrom(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n == SOCKET_ERROR) {
      // A datagram larger than the buffer cannot be ours; anything else ends the wait.
      if (WSAGetLastError() == WSAEMSGSIZE) continue;
      return Outcome::Loss;
    }
    switch (icmp_packet::MatchDatagram(buffer.data(), static_cast<size_t>(n), identifier, sequence, target)) {
      case icmp_packet::Match::Answer: rtt = watch.Milliseconds(); return Outcome::Answer;
      case icmp_packet::Match::Loss: return Outcome::Loss;
      case icmp_packet::Match::KeepWaiting: break;
    }
  }
}

bool RawPing(const char* host, uint32_t timeout, int32_t count, double* results, uint16_t size,
             uint16_t identifier, ping_stop_fn stop, void* context) {
  if (count <= 0 || !host || !results) return false;
  Winsock winsock;
  if (!winsock.ok) return false;
  Addresses addresses;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_RAW;
  hints.ai_protocol = IPPROTO_ICMP;
  if (getaddrinfo(host, nullptr, &hints, &addresses.list) != 0 || !addresses.list) return false;
  Socket sock;
  sock.s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (sock.s == INVALID_SOCKET) return false;
  int ttl = 64;
  setsockopt(sock.s, IPPROTO_IP, IP_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);

  for (int32_t i = 0; i < count; ++i) results[i] = 0;
  const size_t length = icmp_packet::MessageLength(size);
  std::vector<uint8_t> message(length);
  std::vector<uint8_t> buffer(kReceiveBuffer);
  for (int32_t i = 0; i < count; ++i) {
    const uint16_t sequence = static_cast<uint16_t>(i);
    uint8_t target[4];
    bool sent = false;
    for (addrinfo* a = addresses.list; a && !sent; a = a->ai_next) {
      if (a->ai_family != AF_INET || !a->ai_addr || a->ai_addrlen < sizeof(sockaddr_in)) continue;
      if (!Pause(kPauseMs, stop, context)) return true;
      uint32_t seconds, microseconds;
      UnixTimeNow(seconds, microseconds);
      icmp_packet::BuildRequest(message.data(), length, identifier, sequence, seconds, microseconds);
      int n = sendto(sock.s, reinterpret_cast<const char*>(message.data()), static_cast<int>(length), 0,
                     a->ai_addr, static_cast<int>(a->ai_addrlen));
      if (n == static_cast<int>(length)) {
        std::memcpy(target, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
        sent = true;
      }
    }
    if (!sent) continue;  // a loss
    double rtt = 0;
    Outcome outcome = AwaitAnswer(sock.s, timeout, identifier, sequence, target, buffer, rtt, stop, context);
    if (outcome == Outcome::Stopped) return true;
    if (outcome == Outcome::Answer && rtt > 0 && rtt < static_cast<double>(timeout)) results[i] = rtt;
  }
  return true;
}

}  // namespace

extern "C" bool ping_until_stopped(const char* host, uint32_t timeout, int32_t count, double* results,
                                   uint16_t size, uint16_t identifier, ping_stop_fn stop, void* context) {
  try {
    return RawPing(host, timeout, count, results, size, identifier, stop, context);
  } catch (...) {
    LOG_EXCEPTION_RECORD("corelib/ping");
    return false;
  }
}

extern "C" bool ping(const char* host, uint32_t timeout, int32_t count, double* results, uint16_t size,
                     uint16_t identifier) {
  return ping_until_stopped(host, timeout, count, results, size, identifier, nullptr, nullptr);
}
