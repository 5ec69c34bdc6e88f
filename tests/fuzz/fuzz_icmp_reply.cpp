// Datagrams as a raw ICMP socket hands them over, against the matching of a
// request. The first 9 bytes pick the identifier, the sequence, the target
// and whether the datagram keeps them; the rest is the datagram. An Answer or
// a Loss must concern a request with that identifier and sequence.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "corelib/icmp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const uint16_t identifier = static_cast<uint16_t>(data[0] | data[1] << 8);
  const uint16_t sequence = static_cast<uint16_t>(data[2] | data[3] << 8);
  const uint8_t target[4] = {data[4], data[5], data[6], data[7]};
  // An exact-size copy, so that a read past the end is caught.
  std::vector<uint8_t> datagram(data + 9, data + size);
  icmp_packet::Match m = icmp_packet::MatchDatagram(datagram.empty() ? nullptr : datagram.data(),
                                                    datagram.size(), identifier, sequence, target);
  if (m != icmp_packet::Match::KeepWaiting) {
    // Only a sound IPv4 header can carry an answer.
    if (datagram.size() < 28 || (datagram[0] >> 4) != 4) abort();
  }
  return 0;
}
