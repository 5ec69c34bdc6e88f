// The raw echo's request layout and the matching of what a raw socket sees.
#include "corelib/icmp_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using icmp_packet::Match;
using Bytes = std::vector<uint8_t>;

TEST(IcmpPacket, MessageLength) {
  const struct {
    uint32_t size;
    size_t length;
  } cases[] = {{32, 40}, {4096, 4104}, {5, 64}, {12, 64}, {13, 40}, {40, 48}, {65507, 65515}, {65508, 64}};
  for (const auto& c : cases) EXPECT_EQ(icmp_packet::MessageLength(c.size), c.length) << c.size;
}

TEST(IcmpPacket, ChecksumOfTheRfcExampleAndOddLengths) {
  // RFC 1071's example words sum to 0xddf2.
  const Bytes rfc = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(icmp_packet::Checksum(rfc.data(), rfc.size()), 0x220d);
  const Bytes odd = {0x01, 0x02, 0x03};  // 0x0102 + 0x0300
  EXPECT_EQ(icmp_packet::Checksum(odd.data(), odd.size()), static_cast<uint16_t>(~0x0402));
}

TEST(IcmpPacket, RequestLayoutAndChecksum) {
  for (uint32_t size : {32u, 4096u, 5u}) {
    SCOPED_TRACE(size);
    Bytes m(icmp_packet::MessageLength(size), 0xAA);
    icmp_packet::BuildRequest(m.data(), m.size(), 0x1234, 0x0102, 0x11223344, 0x00055667);
    const Bytes head = {8,    0,    m[2], m[3], 0x34, 0x12, 0x02, 0x01, 0x44,
                        0x33, 0x22, 0x11, 0x67, 0x56, 0x05, 0x00, 10,   0};
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 18), head);
    for (size_t i = 18; i < m.size(); ++i) ASSERT_EQ(m[i], 0) << i;
    // A message with its checksum in place sums to zero.
    EXPECT_EQ(icmp_packet::Checksum(m.data(), m.size()), 0);
  }
}

const uint8_t kTarget[4] = {127, 0, 0, 99};
const uint8_t kLocal[4] = {127, 0, 0, 1};
const uint8_t kOther[4] = {10, 1, 2, 3};

// An IPv4 datagram from `src` to `dst` carrying `payload`, with `optionWords`
// 4-byte words of options.
Bytes Datagram(const uint8_t* src, const uint8_t* dst, const Bytes& payload, int optionWords = 0) {
  const size_t header = 20 + 4 * static_cast<size_t>(optionWords);
  Bytes d(header + payload.size(), 0);
  d[0] = static_cast<uint8_t>(0x40 | (5 + optionWords));
  d[9] = 1;
  for (int i = 0; i < 4; ++i) d[12 + i] = src[i], d[16 + i] = dst[i];
  for (size_t i = 20; i < header; ++i) d[i] = 1;  // no-op options
  std::copy(payload.begin(), payload.end(), d.begin() + static_cast<long>(header));
  return d;
}

Bytes Echo(uint8_t type, uint16_t id, uint16_t seq) {
  Bytes m(icmp_packet::MessageLength(32));
  icmp_packet::BuildRequest(m.data(), m.size(), id, seq, 1, 2);
  m[0] = type;
  return m;
}

// An error of `type` quoting our request to `quotedDst`, cut after `keep` bytes.
Bytes Error(uint8_t type, const uint8_t* quotedDst, uint16_t id, uint16_t seq, size_t keep = 1000) {
  Bytes quoted = Datagram(kLocal, quotedDst, Echo(8, id, seq));
  if (quoted.size() > keep) quoted.resize(keep);
  Bytes e(8 + quoted.size(), 0);
  e[0] = type;
  e[1] = 1;
  std::copy(quoted.begin(), quoted.end(), e.begin() + 8);
  return e;
}

Bytes Cut(Bytes d, size_t n) {
  d.resize(n);
  return d;
}

TEST(IcmpPacket, MatchesOnlyWhatConcernsOurRequest) {
  const uint16_t id = 5, seq = 2;
  const struct {
    const char* name;
    Bytes datagram;
    Match expected;
  } cases[] = {
      {"reply from the target", Datagram(kTarget, kLocal, Echo(0, id, seq)), Match::Answer},
      {"reply with IP options", Datagram(kTarget, kLocal, Echo(0, id, seq), 3), Match::Answer},
      {"reply to an earlier request", Datagram(kTarget, kLocal, Echo(0, id, 1)), Match::KeepWaiting},
      {"reply with another identifier", Datagram(kTarget, kLocal, Echo(0, 6, seq)), Match::KeepWaiting},
      {"reply from another address, same identifier", Datagram(kLocal, kLocal, Echo(0, id, seq)),
       Match::KeepWaiting},
      {"our own request seen on loopback", Datagram(kTarget, kTarget, Echo(8, id, seq)), Match::Answer},
      {"a copy of a request from another address", Datagram(kLocal, kTarget, Echo(8, id, seq)),
       Match::KeepWaiting},
      {"a copy of another sequence", Datagram(kTarget, kTarget, Echo(8, id, 0)), Match::KeepWaiting},
      {"unreachable quoting our request", Datagram(kOther, kLocal, Error(3, kTarget, id, seq)), Match::Loss},
      {"time exceeded quoting our request", Datagram(kOther, kLocal, Error(11, kTarget, id, seq)),
       Match::Loss},
      {"source quench, 8 bytes quoted", Datagram(kOther, kLocal, Error(4, kTarget, id, seq, 28)),
       Match::Loss},
      {"parameter problem", Datagram(kOther, kLocal, Error(12, kTarget, id, seq)), Match::Loss},
      {"error quoting a request to another address", Datagram(kOther, kLocal, Error(3, kOther, id, seq)),
       Match::KeepWaiting},
      {"error quoting another identifier", Datagram(kOther, kLocal, Error(3, kTarget, 9, seq)),
       Match::KeepWaiting},
      {"error whose quoted header is cut", Datagram(kOther, kLocal, Error(3, kTarget, id, seq, 19)),
       Match::KeepWaiting},
      {"error quoting too few ICMP bytes", Datagram(kOther, kLocal, Error(3, kTarget, id, seq, 27)),
       Match::KeepWaiting},
      {"redirect is no answer", Datagram(kOther, kLocal, Error(5, kTarget, id, seq)), Match::KeepWaiting},
      {"short datagram", Cut(Datagram(kTarget, kLocal, Echo(0, id, seq)), 27), Match::KeepWaiting},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(icmp_packet::MatchDatagram(c.datagram.data(), c.datagram.size(), id, seq, kTarget), c.expected)
        << c.name;
  }
}

TEST(IcmpPacket, MalformedHeadersAreIgnored) {
  Bytes good = Datagram(kTarget, kLocal, Echo(0, 5, 0));
  auto match = [](const Bytes& d) { return icmp_packet::MatchDatagram(d.data(), d.size(), 5, 0, kTarget); };
  ASSERT_EQ(match(good), Match::Answer);
  Bytes v6 = good;
  v6[0] = 0x65;
  Bytes tinyIhl = good;
  tinyIhl[0] = 0x44;
  Bytes ihlBeyond = good;
  ihlBeyond[0] = 0x4F;  // 60 bytes of header in a 60-byte datagram leaves no ICMP header
  ihlBeyond.resize(60);
  for (const Bytes* d : {&v6, &tinyIhl, &ihlBeyond}) EXPECT_EQ(match(*d), Match::KeepWaiting);
  EXPECT_EQ(icmp_packet::MatchDatagram(nullptr, 0, 5, 0, kTarget), Match::KeepWaiting);
  for (size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_EQ(match(cut), n >= 28 ? Match::Answer : Match::KeepWaiting) << n;
  }
}

}  // namespace
