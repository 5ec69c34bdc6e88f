// The SNMP codec: messages of each PDU kind round trip and match known wire
// bytes, every syntax has its code and text, limits compare as numbers, and
// malformed datagrams are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corelib/snmp_codec.h"

namespace {

using namespace snmp;

Oid O(const char* text) {
  Oid oid;
  EXPECT_TRUE(ParseOid(text, oid)) << text;
  return oid;
}

Value Int(int64_t v) {
  Value x;
  x.tag = kInteger;
  x.integer = v;
  return x;
}
Value Num(uint8_t tag, uint64_t v) {
  Value x;
  x.tag = tag;
  x.number = v;
  return x;
}
Value Bytes(uint8_t tag, std::string b) {
  Value x;
  x.tag = tag;
  x.bytes = std::move(b);
  return x;
}

// A GET of sysDescr.0 with community "public", request id 1, as SNMPv2c.
const std::vector<uint8_t> kGetSysDescr = {0x30, 0x26, 0x02, 0x01, 0x01, 0x04, 0x06, 'p',  'u',  'b',
                                           'l',  'i',  'c',  0xA0, 0x19, 0x02, 0x01, 0x01, 0x02, 0x01,
                                           0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08,
                                           0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};

TEST(SnmpCodec, EncodesAGetAsOnTheWire) {
  Message m;
  m.community = "public";
  m.requestId = 1;
  m.bindings.push_back({O("1.3.6.1.2.1.1.1.0"), Value()});
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(EncodeMessage(m, bytes));
  EXPECT_EQ(bytes, kGetSysDescr);
}

TEST(SnmpCodec, EveryPduKindAndValueRoundTrips) {
  Value oidValue;
  oidValue.tag = kObjectId;
  oidValue.oid = O("1.3.6.1.6.3.1.1.5.1");
  const std::vector<Value> values = {Int(-129),
                                     Int(2147483647),
                                     Int(-2147483648LL),
                                     Num(kCounter32, 4294967295u),
                                     Num(kGauge32, 0),
                                     Num(kTimeTicks, 128),
                                     Num(kCounter64, 18446744073709551615ull),
                                     Num(kUInteger32, 7),
                                     Bytes(kOctetString, ""),
                                     Bytes(kOctetString, std::string(300, 'x')),
                                     Bytes(kIpAddress, std::string("\x7f\x00\x00\x01", 4)),
                                     Bytes(kOpaque, "\x01"),
                                     oidValue,
                                     Value(),
                                     Bytes(kNoSuchObject, ""),
                                     Bytes(kNoSuchInstance, ""),
                                     Bytes(kEndOfMibView, "")};
  for (uint8_t type : {kGet, kGetNext, kResponse, kInform, kTrapV2}) {
    for (int32_t version : {kWireV1, kWireV2c}) {
      Message m;
      m.version = version;
      m.community = "c";
      m.pduType = type;
      m.requestId = -5;
      m.errorStatus = 2;
      m.errorIndex = 1;
      for (size_t i = 0; i < values.size(); ++i)
        m.bindings.push_back(
            {O(("1.3.6.1.4.1.99999." + std::to_string(i * 1000) + ".0").c_str()), values[i]});
      std::vector<uint8_t> bytes;
      ASSERT_TRUE(EncodeMessage(m, bytes));
      Message back;
      ASSERT_EQ(DecodeMessage(bytes.data(), bytes.size(), back), DecodeResult::kOk);
      EXPECT_EQ(back.version, version);
      EXPECT_EQ(back.pduType, type);
      EXPECT_EQ(back.requestId, -5);
      EXPECT_EQ(back.errorStatus, 2);
      ASSERT_EQ(back.bindings.size(), values.size());
      for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(OidToText(back.bindings[i].name), OidToText(m.bindings[i].name));
        EXPECT_EQ(back.bindings[i].value.tag, values[i].tag);
        EXPECT_EQ(ValueText(back.bindings[i].value), ValueText(values[i])) << i;
      }
    }
  }
}

TEST(SnmpCodec, SyntaxCodesAndTexts) {
  Value oidValue;
  oidValue.tag = kObjectId;
  oidValue.oid = O("1.3.6.1");
  const struct {
    Value v;
    int syntax;
    std::string text;
  } cases[] = {
      {Int(-42), 9, "-42"},
      {Bytes(kBitString, "\x80"), 10, "80"},
      {Bytes(kOctetString, std::string("A\0B", 3)), 8, "A00B"},
      {Bytes(kOctetString, "a\r\nb\x7f\xff"), 8, "a\r\nb7FFF"},
      {Bytes(kOctetString, ""), 8, " "},
      {Value(), 18, "null"},
      {oidValue, 11, "1.3.6.1"},
      {Bytes(kIpAddress, std::string("\xc0\x00\x02\x07", 4)), 16, "192.0.2.7"},
      {Num(kCounter32, 4294967295u), 14, "4294967295"},
      {Num(kGauge32, 5), 13, "5"},
      {Num(kTimeTicks, 6), 12, "6"},
      {Bytes(kOpaque, "\x01z"), 7, "01z"},
      {Bytes(kNsapAddress, "\x01\x02"), 17, "1.2"},
      {Num(kCounter64, 18446744073709551615ull), 3, "18446744073709551615"},
      {Num(kUInteger32, 9), 15, "9"},
      {Bytes(kNoSuchObject, ""), 20, "no such object"},
      {Bytes(kNoSuchInstance, ""), 21, "no such instance"},
      {Bytes(kEndOfMibView, ""), 19, "end of mib"},
      {Bytes(0x9F, ""), 19, "Unknown Type"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SyntaxCode(c.v.tag), c.syntax) << c.text;
    EXPECT_EQ(ValueText(c.v), c.text);
  }
}

TEST(SnmpCodec, LimitsAndStatusTexts) {
  const Limits tenTwenty{true, 10, 20};
  std::string text;
  EXPECT_EQ(RetStatus(Int(25), "1.3.6.1.2.1.1.7.0", tenTwenty, text), 2u);
  EXPECT_EQ(text, "OID:       1.3.6.1.2.1.1.7.0\nValue:     25\nMin Value: 10\nMax Value: 20\n");
  EXPECT_EQ(RetStatus(Int(20), "1.3", tenTwenty, text), 0u);  // a limit itself is within
  EXPECT_EQ(text, "OID: 1.3 the result is available.\n");
  EXPECT_EQ(RetStatus(Int(25), "1.3", Limits(), text), 0u);
  EXPECT_EQ(RetStatus(Num(kGauge32, 5), "1.3", tenTwenty, text), 2u);
  EXPECT_EQ(text, "OID:       1.3\nValue:     5\nMin value: 10\nMax Value: 20\n");
  EXPECT_EQ(RetStatus(Num(kCounter64, 30), "1.3", tenTwenty, text), 2u);
  EXPECT_EQ(text, "OID:       1.3\nValue:     30\nMin Value: 10\nMax Value: 20\n");
  // Unsigned values against negative limits compare as numbers.
  EXPECT_EQ(RetStatus(Num(kCounter32, 5), "1.3", Limits{true, -10, 10}, text), 0u);
  EXPECT_EQ(RetStatus(Num(kCounter32, 0), "1.3", Limits{true, -10, -1}, text), 2u);
  EXPECT_EQ(RetStatus(Bytes(kNoSuchObject, ""), "1.3", Limits(), text), 2u);
  EXPECT_EQ(text, "OID: 1.3 no such object");
  EXPECT_EQ(RetStatus(Bytes(kNoSuchInstance, ""), "1.3", Limits(), text), 2u);
  EXPECT_EQ(text, "OID: 1.3 no such instance");
  EXPECT_EQ(RetStatus(Bytes(kEndOfMibView, ""), "1.3", Limits(), text), 2u);
  EXPECT_EQ(text, "OID: 1.3 end of MIB view");
  // The longest OID the decoder takes (128 sub-identifiers of 10 digits) stays whole.
  std::string longOid = "1.3";
  for (int i = 2; i < 128; ++i) longOid += ".4294967295";
  EXPECT_EQ(RetStatus(Int(25), longOid, tenTwenty, text), 2u);
  EXPECT_EQ(text, "OID:       " + longOid + "\nValue:     25\nMin Value: 10\nMax Value: 20\n");
  EXPECT_EQ(RetStatus(Bytes(kNoSuchObject, ""), longOid, Limits(), text), 2u);
  EXPECT_EQ(text, "OID: " + longOid + " no such object");
  EXPECT_STREQ(PduErrorText(2), "The requested SNMP operation identified an unknown variable.");
  EXPECT_STREQ(PduErrorText(19), "Unknown Error");
  EXPECT_STREQ(ApiErrorText(107), "Source endpoint in use");
}

TEST(SnmpCodec, OidTexts) {
  Oid oid;
  EXPECT_TRUE(ParseOid(".1.3.6.1", oid));
  EXPECT_EQ(OidToText(oid), "1.3.6.1");
  for (const char* bad : {"", ".", "1..3", "1.3.", "1.a", "1.3.4294967296", " 1.3"})
    EXPECT_FALSE(ParseOid(bad, oid)) << bad;
  EXPECT_TRUE(OidInSubtree(O("1.2.2.1"), O("1.2.2")));
  EXPECT_FALSE(OidInSubtree(O("1.2.20"), O("1.2.2")));
  EXPECT_LT(CompareOid(O("1.2"), O("1.2.0")), 0);
  EXPECT_GT(CompareOid(O("1.3"), O("1.2.9")), 0);
  Message m;
  m.bindings.push_back({O("3.1"), Value()});  // first sub-identifier above 2
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(EncodeMessage(m, bytes));
}

TEST(SnmpCodec, MalformedDatagramsAreRefused) {
  Message m;
  const auto decode = [&m](std::vector<uint8_t> b) { return DecodeMessage(b.data(), b.size(), m); };
  ASSERT_EQ(decode(kGetSysDescr), DecodeResult::kOk);
  // Every truncation is refused, never read past its end.
  for (size_t n = 0; n < kGetSysDescr.size(); ++n)
    EXPECT_NE(decode(std::vector<uint8_t>(kGetSysDescr.begin(), kGetSysDescr.begin() + n)), DecodeResult::kOk)
        << n;
  auto with = [](size_t at, uint8_t b) {
    std::vector<uint8_t> v = kGetSysDescr;
    v[at] = b;
    return v;
  };
  EXPECT_EQ(decode(with(1, 0x7F)), DecodeResult::kMalformed);   // outer length past the end
  EXPECT_EQ(decode(with(1, 0x85)), DecodeResult::kMalformed);   // five length bytes
  EXPECT_EQ(decode(with(4, 0x03)), DecodeResult::kMalformed);   // version 3
  EXPECT_EQ(decode(with(13, 0xB0)), DecodeResult::kMalformed);  // no PDU type
  EXPECT_EQ(decode(with(15, 0x04)), DecodeResult::kMalformed);  // request id not an integer
  std::vector<uint8_t> trailing = kGetSysDescr;
  trailing.push_back(0);
  EXPECT_EQ(decode(trailing), DecodeResult::kMalformed);
  // A binding whose value runs past its binding: the header is readable, the bindings not.
  EXPECT_EQ(decode(with(39, 0x01)), DecodeResult::kBadBindings);
  EXPECT_EQ(m.requestId, 1);
  EXPECT_TRUE(m.bindings.empty());
  EXPECT_EQ(decode(with(30, 0x80)), DecodeResult::kBadBindings);  // a padded sub-identifier
}

}  // namespace
