// The ICMP echo request as the raw-socket echo sends it, and the matching of
// what a raw socket receives. A raw ICMP socket sees every ICMP message of the
// machine, so a datagram counts only when it is about our request to the
// address we sent it to; every length in it is checked before it is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corelib/corelib_api.h"

namespace icmp_packet {

// Message length for a requested data size: size + 8 when 12 < size < 65508,
// else 64; never below 40.
CORELIB_API size_t MessageLength(uint32_t size);

// The Internet checksum (RFC 1071) of `n` bytes, as stored in the header.
CORELIB_API uint16_t Checksum(const uint8_t* data, size_t n);

// Writes an echo request of `length` bytes (at least 18). The identifier, the
// sequence and the time fields are little-endian: the host echoes the bytes
// back unchanged, and replies are matched the same way.
CORELIB_API void BuildRequest(uint8_t* message, size_t length, uint16_t identifier, uint16_t sequence,
                              uint32_t seconds, uint32_t microseconds);

enum class Match { KeepWaiting, Answer, Loss };

// One received IPv4 datagram, IP header included, against request `sequence`
// with `identifier` sent to `target` (4 bytes, network order):
// - an echo reply from the target with our identifier and sequence: Answer;
// - our own request seen again on a loopback path, from and to the target,
//   with our identifier and sequence: Answer;
// - destination unreachable, source quench, time exceeded or parameter problem
//   whose embedded request is ours and went to the target: Loss;
// - anything else, and anything short or malformed: KeepWaiting.
CORELIB_API Match MatchDatagram(const uint8_t* datagram, size_t n, uint16_t identifier, uint16_t sequence,
                                const uint8_t target[4]);

}  // namespace icmp_packet
