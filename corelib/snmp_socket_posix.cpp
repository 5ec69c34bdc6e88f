#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corelib/snmp_socket.h"

namespace snmp_net {

bool Startup() { return true; }

Socket OpenUdp(uint16_t port, int32_t& error) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    error = kErrResource;
    return kNoSocket;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = errno == EADDRINUSE || errno == EACCES ? kErrInUse : kErrResource;
    close(s);
    return kNoSocket;
  }
  return s;
}

void Close(Socket s) {
  if (s != kNoSocket) close(static_cast<int>(s));
}

bool SendTo(Socket s, const Address& to, const uint8_t* data, size_t size, int32_t& error) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(to.ip);
  a.sin_port = htons(to.port);
  ssize_t n = sendto(static_cast<int>(s), data, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (n == static_cast<ssize_t>(size)) return true;
  error = errno == ENETUNREACH || errno == EHOSTUNREACH ? kErrUnreachable : kErrNetwork;
  return false;
}

long RecvFrom(Socket s, uint8_t* buffer, size_t capacity, Address& from, uint32_t ms) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  if (r < 0) return -1;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ssize_t n =
      recvfrom(static_cast<int>(s), buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return errno == ECONNREFUSED || errno == EAGAIN || errno == EINTR ? 0 : -1;
  from.ip = ntohl(a.sin_addr.s_addr);
  from.port = ntohs(a.sin_port);
  return static_cast<long>(n);
}

bool Resolve(const std::string& host, uint32_t& ip) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
    ip = ntohl(a.s_addr);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  ip = ntohl(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(list);
  return true;
}

std::string AddressText(uint32_t ip) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
  return buf;
}

}  // namespace snmp_net
