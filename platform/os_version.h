// The operating-system description the agent sends to the gateway
// ("Microsoft Windows 7 Professional Service Pack 1 (build 7601) 64-bit").
// The facts are gathered by the platform layer; the wording lives here so it
// can be checked on any machine.
#pragma once

#include <cstdint>
#include <string>

struct OSFacts {
  // Values as the Windows version and system-information calls report them.
  static constexpr uint32_t kPlatformNT = 2;
  static constexpr uint8_t kWorkstation = 1;  // product type
  static constexpr uint16_t kArchX86 = 0, kArchIA64 = 6, kArchX64 = 9;
  enum Suite : uint16_t {
    kSuiteEnterprise = 0x0002,
    kSuiteDatacenter = 0x0080,
    kSuitePersonal = 0x0200,
    kSuiteBlade = 0x0400,
    kSuiteStorageServer = 0x2000,
    kSuiteComputeServer = 0x4000,
    kSuiteHomeServer = 0x8000,
  };

  uint32_t platformId = kPlatformNT;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint8_t productType = kWorkstation;
  uint16_t suiteMask = 0;
  std::string servicePack;  // UTF-8, empty when none
  uint16_t processorArchitecture = kArchX64;
  bool serverR2 = false;  // the R2 system metric (5.2 only)
  bool productInfoAvailable = false;
  uint32_t productInfoType = 0;
};

// The description is bounded like the 512-byte buffer the gateway expects it
// in: at most this many bytes, cut at a character boundary.
constexpr size_t kOSVersionMaxBytes = 511;

std::string FormatOSVersion(const OSFacts& facts);
