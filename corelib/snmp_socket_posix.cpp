#include <arpa/inet.h>
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

}  // namespace snmp_net
