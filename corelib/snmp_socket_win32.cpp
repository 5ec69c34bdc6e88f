#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "corelib/snmp_socket.h"

namespace snmp_net {

bool Startup() {
  // Winsock stays started for the life of the process: clients of any
  // thread may use it at any time after this.
  static std::once_flag once;
  static bool usable = false;
  std::call_once(once, [] {
    WSADATA data;
    usable =
        WSAStartup(MAKEWORD(2, 2), &data) == 0 && LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 2;
  });
  return usable;
}

Socket OpenUdp(uint16_t port, int32_t& error) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    error = kErrResource;
    return kNoSocket;
  }
  // No other socket may take the port from under us.
  BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = WSAGetLastError();
    error = e == WSAEADDRINUSE || e == WSAEACCES ? kErrInUse : kErrResource;
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

void Close(Socket s) {
  if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}

bool SendTo(Socket s, const Address& to, const uint8_t* data, size_t size, int32_t& error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(to.ip);
  a.sin_port = htons(to.port);
  int n = sendto(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                 reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (n == static_cast<int>(size)) return true;
  const int e = WSAGetLastError();
  error = e == WSAENETUNREACH || e == WSAEHOSTUNREACH ? kErrUnreachable : kErrNetwork;
  return false;
}

long RecvFrom(Socket s, uint8_t* buffer, size_t capacity, Address& from, uint32_t ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(s), &set);
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  int r = select(0, &set, nullptr, nullptr, &tv);
  if (r == 0) return 0;
  if (r == SOCKET_ERROR) return -1;
  sockaddr_in a{};
  int len = sizeof a;
  int n = recvfrom(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                   reinterpret_cast<sockaddr*>(&a), &len);
  if (n == SOCKET_ERROR) {
    // An ICMP port-unreachable for an earlier datagram: nothing was received.
    const int e = WSAGetLastError();
    return e == WSAECONNRESET || e == WSAEWOULDBLOCK || e == WSAEMSGSIZE ? 0 : -1;
  }
  from.ip = ntohl(a.sin_addr.s_addr);
  from.port = ntohs(a.sin_port);
  return n;
}

}  // namespace snmp_net
