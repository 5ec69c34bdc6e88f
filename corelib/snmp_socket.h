// The SNMP engine's UDP transport: IPv4 datagram sockets over Windows Sockets
// 2 or the BSD sockets of the native build. Every wait is bounded by the
// caller's slice, so no thread blocks here past what it asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace snmp_net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

struct Address {
  uint32_t ip = 0;    // host byte order
  uint16_t port = 0;  // host byte order
  bool operator==(const Address& o) const { return ip == o.ip && port == o.port; }
};

// Failures, in the engine's own codes (those of its error table).
enum : int32_t {
  kErrResource = 103,     // "TL resource error"
  kErrInUse = 107,        // "Source endpoint in use"
  kErrUnreachable = 104,  // "Destination unreachable"
  kErrNetwork = 102,      // "Network subsystem has failed"
};

// Whether sockets can be used at all (Winsock 2.2 on Windows); once per process.
bool Startup();
// A UDP socket bound to INADDR_ANY:port (0: any free port). kNoSocket on failure, with `error` set.
Socket OpenUdp(uint16_t port, int32_t& error);
void Close(Socket s);
bool SendTo(Socket s, const Address& to, const uint8_t* data, size_t size, int32_t& error);
// Waits up to `ms` for one datagram. Returns its size, 0 when nothing came
// (the slice ended, or an ICMP port-unreachable was reported on the socket),
// -1 on a socket failure.
long RecvFrom(Socket s, uint8_t* buffer, size_t capacity, Address& from, uint32_t ms);
// A dotted IPv4 address as is, otherwise the resolver's first IPv4 address.
bool Resolve(const std::string& host, uint32_t& ip);
std::string AddressText(uint32_t ip);

}  // namespace snmp_net
