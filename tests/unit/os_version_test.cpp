#include "platform/os_version.h"

#include <gtest/gtest.h>

namespace {

constexpr uint8_t kServer = 3;  // product type of a server (2 is a domain controller)

OSFacts Facts(uint32_t major, uint32_t minor, uint32_t build, uint8_t productType, uint16_t arch) {
  OSFacts f;
  f.major = major;
  f.minor = minor;
  f.build = build;
  f.productType = productType;
  f.processorArchitecture = arch;
  return f;
}

OSFacts WithProduct(OSFacts f, uint32_t type) {
  f.productInfoAvailable = true;
  f.productInfoType = type;
  return f;
}
OSFacts WithSuite(OSFacts f, uint16_t suite) {
  f.suiteMask = suite;
  return f;
}
OSFacts WithSP(OSFacts f, std::string sp) {
  f.servicePack = std::move(sp);
  return f;
}
OSFacts WithR2(OSFacts f) {
  f.serverR2 = true;
  return f;
}

struct Case {
  const char* name;
  OSFacts facts;
  const char* expected;
};

TEST(FormatOSVersion, DescribesEachVersionAsTheGatewayExpectsIt) {
  const uint8_t ws = OSFacts::kWorkstation;
  const uint16_t x64 = OSFacts::kArchX64, x86 = OSFacts::kArchX86, ia64 = OSFacts::kArchIA64;
  const Case cases[] = {
      {"10 workstation", WithProduct(Facts(10, 0, 19045, ws, x64), 48),
       "Microsoft Windows 10 Professional (build 19045) 64-bit"},
      {"10 server", WithProduct(Facts(10, 0, 14393, kServer, x64), 8),
       "Microsoft Windows Server 2016 Technical Preview Datacenter Edition (build 14393) 64-bit"},
      {"6.1 server R2 SP1", WithSP(WithProduct(Facts(6, 1, 7601, kServer, x64), 7), "Service Pack 1"),
       "Microsoft Windows Server 2008 R2 Standard Edition Service Pack 1 (build 7601) 64-bit"},
      {"6.3 type 48 on x86", WithProduct(Facts(6, 3, 9600, ws, x86), 48),
       "Microsoft Windows 8.1 Professional (build 9600) 32-bit"},
      {"6.1 without product info", Facts(6, 1, 7600, ws, x64), "Microsoft Windows 7  (build 7600) 64-bit"},
      {"6.0 unknown product type, Itanium", WithProduct(Facts(6, 0, 6002, ws, ia64), 99),
       "Microsoft Windows Vista  (build 6002)"},
      {"6.2 server core", WithProduct(Facts(6, 2, 9200, kServer, x64), 13),
       "Microsoft Windows Server 2012 Standard Edition (core installation) (build 9200) 64-bit"},
      {"5.2 R2 enterprise x64",
       WithSP(WithR2(WithSuite(Facts(5, 2, 3790, kServer, x64), OSFacts::kSuiteEnterprise)),
              "Service Pack 2"),
       "Microsoft Windows Server 2003 R2, Enterprise x64 Edition Service Pack 2 (build 3790)"},
      {"5.2 XP x64", WithSP(Facts(5, 2, 3790, ws, x64), "Service Pack 2"),
       "Microsoft Windows XP Professional x64 Edition Service Pack 2 (build 3790)"},
      {"5.2 standard x64", Facts(5, 2, 3790, kServer, x64),
       "Microsoft Windows Server 2003, Standard x64 Edition (build 3790)"},
      {"5.2 web", WithSuite(Facts(5, 2, 3790, kServer, x86), OSFacts::kSuiteBlade),
       "Microsoft Windows Server 2003, Web Edition (build 3790)"},
      {"5.2 compute cluster before datacenter",
       WithSuite(Facts(5, 2, 3790, kServer, x86), OSFacts::kSuiteComputeServer | OSFacts::kSuiteDatacenter),
       "Microsoft Windows Server 2003, Compute Cluster Edition (build 3790)"},
      {"5.2 Itanium datacenter", WithSuite(Facts(5, 2, 3790, kServer, ia64), OSFacts::kSuiteDatacenter),
       "Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
      {"5.2 Itanium standard", Facts(5, 2, 3790, kServer, ia64),
       "Microsoft Windows Server 2003,  (build 3790)"},
      {"5.2 storage server", WithSuite(Facts(5, 2, 3790, kServer, x86), OSFacts::kSuiteStorageServer),
       "Microsoft Windows Storage Server 2003Standard Edition (build 3790)"},
      {"5.2 home server", WithSuite(Facts(5, 2, 3790, kServer, x86), OSFacts::kSuiteHomeServer),
       "Microsoft Windows Home ServerStandard Edition (build 3790)"},
      {"5.1 home, product info ignored",
       WithSP(WithProduct(WithSuite(Facts(5, 1, 2600, ws, x86), OSFacts::kSuitePersonal), 1),
              "Service Pack 3"),
       "Microsoft Windows XP Home Edition Service Pack 3 (build 2600)"},
      {"5.0 advanced server",
       WithSP(WithSuite(Facts(5, 0, 2195, kServer, x86), OSFacts::kSuiteEnterprise), "Service Pack 4"),
       "Microsoft Windows 2000 Advanced Server Service Pack 4 (build 2195)"},
      {"5.0 professional", Facts(5, 0, 2195, ws, x86), "Microsoft Windows 2000 Professional (build 2195)"},
      {"4.0", Facts(4, 0, 1381, ws, x86), "Unknown Windows Version"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatOSVersion(c.facts), c.expected) << c.name;
}

TEST(FormatOSVersion, OnlyTheNTFamilyIsKnown) {
  OSFacts f = Facts(10, 0, 19045, OSFacts::kWorkstation, OSFacts::kArchX64);
  f.platformId = 1;  // the Windows 9x family
  EXPECT_EQ(FormatOSVersion(f), "Unknown Windows Version");
}

TEST(FormatOSVersion, StaysWithinItsBufferWithoutSplittingACharacter) {
  const OSFacts ascii =
      WithSP(Facts(6, 1, 7601, OSFacts::kWorkstation, OSFacts::kArchX64), std::string(600, 'x'));
  const std::string a = FormatOSVersion(ascii);
  EXPECT_EQ(a.size(), kOSVersionMaxBytes);
  EXPECT_EQ(a.rfind("Microsoft Windows 7  xxx", 0), 0u);

  // Two-byte characters from an even offset ("Microsoft Windows 10  " and the
  // pack's blank are 22 bytes), so a plain cut at 511 would split one.
  std::string pack;
  for (int i = 0; i < 300; ++i) pack += "\xC3\xA9";
  const std::string b =
      FormatOSVersion(WithSP(Facts(10, 0, 19045, OSFacts::kWorkstation, OSFacts::kArchX64), pack));
  EXPECT_EQ(b.size(), kOSVersionMaxBytes - 1);
  EXPECT_EQ(b.substr(b.size() - 2), "\xC3\xA9");
}

}  // namespace
