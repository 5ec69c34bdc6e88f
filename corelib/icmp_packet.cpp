#include "corelib/icmp_packet.h"

#include <cstring>

namespace icmp_packet {

namespace {

constexpr uint8_t kEchoReply = 0, kEchoRequest = 8;
constexpr size_t kIcmpHeader = 8;

uint16_t ReadLittle16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void WriteLittle16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void WriteLittle32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The length of the IPv4 header at `p` within `n` bytes, or 0 when there is
// no sound one: version 4, IHL at least 5 words, all of it inside.
size_t HeaderLength(const uint8_t* p, size_t n) {
  if (n < 20 || (p[0] >> 4) != 4) return 0;
  size_t length = static_cast<size_t>(p[0] & 0x0F) * 4;
  if (length < 20 || length > n) return 0;
  return length;
}

bool SameAddress(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 4) == 0; }

bool IsOurRequest(const uint8_t* icmp, uint16_t identifier, uint16_t sequence) {
  return icmp[0] == kEchoRequest && ReadLittle16(icmp + 4) == identifier &&
         ReadLittle16(icmp + 6) == sequence;
}

}  // namespace

size_t MessageLength(uint32_t size) {
  size_t length = (size > 12 && size < 65508) ? size + 8 : 64;
  return length < 40 ? 40 : length;
}

uint16_t Checksum(const uint8_t* data, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  // 16-bit words in network order; the odd byte is padded with zero.
  for (; i + 1 < n; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (i < n) sum += static_cast<uint32_t>(data[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void BuildRequest(uint8_t* message, size_t length, uint16_t identifier, uint16_t sequence, uint32_t seconds,
                  uint32_t microseconds) {
  if (length < 18) return;
  std::memset(message, 0, length);
  message[0] = kEchoRequest;
  WriteLittle16(message + 4, identifier);
  WriteLittle16(message + 6, sequence);
  WriteLittle32(message + 8, seconds);
  WriteLittle32(message + 12, microseconds);
  WriteLittle16(message + 16, 10);
  uint16_t sum = Checksum(message, length);
  message[2] = static_cast<uint8_t>(sum >> 8);
  message[3] = static_cast<uint8_t>(sum);
}

Match MatchDatagram(const uint8_t* datagram, size_t n, uint16_t identifier, uint16_t sequence,
                    const uint8_t target[4]) {
  if (!datagram || !target) return Match::KeepWaiting;
  size_t outer = HeaderLength(datagram, n);
  if (outer == 0 || n - outer < kIcmpHeader) return Match::KeepWaiting;
  const uint8_t* source = datagram + 12;
  const uint8_t* destination = datagram + 16;
  const uint8_t* icmp = datagram + outer;
  const size_t icmpBytes = n - outer;
  switch (icmp[0]) {
    case kEchoReply:
      if (SameAddress(source, target) && ReadLittle16(icmp + 4) == identifier &&
          ReadLittle16(icmp + 6) == sequence)
        return Match::Answer;
      return Match::KeepWaiting;
    case kEchoRequest:
      // On a loopback path the request itself comes by first; another
      // address's request (or ours to another address) says nothing of ours.
      if (SameAddress(source, target) && SameAddress(destination, target) &&
          IsOurRequest(icmp, identifier, sequence))
        return Match::Answer;
      return Match::KeepWaiting;
    case 3:
    case 4:
    case 11:
    case 12: {
      // The error carries the IP header of the request and at least its first 8 bytes.
      const uint8_t* inner = icmp + kIcmpHeader;
      size_t innerBytes = icmpBytes - kIcmpHeader;
      size_t innerHeader = HeaderLength(inner, innerBytes);
      if (innerHeader == 0 || innerBytes - innerHeader < kIcmpHeader) return Match::KeepWaiting;
      if (!SameAddress(inner + 16, target)) return Match::KeepWaiting;
      return IsOurRequest(inner + innerHeader, identifier, sequence) ? Match::Loss : Match::KeepWaiting;
    }
    default: return Match::KeepWaiting;
  }
}

}  // namespace icmp_packet
