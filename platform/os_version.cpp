#include "platform/os_version.h"

namespace {

const char* ProductEdition(uint32_t type) {
  switch (type) {
    case 1: return "Ultimate Edition";
    case 2: return "Home Basic Edition";
    case 3: return "Home Premium Edition";
    case 4:
    case 10: return "Enterprise Edition";
    case 6: return "Business Edition";
    case 7: return "Standard Edition";
    case 8: return "Datacenter Edition";
    case 9: return "Small Business Server";
    case 11: return "Starter Edition";
    case 12: return "Datacenter Edition (core installation)";
    case 13: return "Standard Edition (core installation)";
    case 14: return "Enterprise Edition (core installation)";
    case 15: return "Enterprise Edition for Itanium-based Systems";
    case 17: return "Web Server Edition";
    case 18: return "Cluster Server Edition";
    case 25: return "Small Business Server Premium Edition";
    case 48: return "Professional";
    default: return "";
  }
}

const char* Version6Name(uint32_t minor, bool workstation) {
  switch (minor) {
    case 0: return workstation ? "Windows Vista " : "Windows Server 2008 ";
    case 1: return workstation ? "Windows 7 " : "Windows Server 2008 R2 ";
    case 2: return workstation ? "Windows 8 " : "Windows Server 2012 ";
    case 3: return workstation ? "Windows 8.1 " : "Windows Server 2012 R2 ";
    default: return "";
  }
}

void AppendServer2003(const OSFacts& f, bool workstation, std::string& out) {
  auto has = [&](uint16_t suite) { return (f.suiteMask & suite) != 0; };
  if (f.serverR2) {
    out += "Windows Server 2003 R2, ";
  } else if (has(OSFacts::kSuiteStorageServer)) {
    out += "Windows Storage Server 2003";
  } else if (has(OSFacts::kSuiteHomeServer)) {
    out += "Windows Home Server";
  } else if (workstation && f.processorArchitecture == OSFacts::kArchX64) {
    out += "Windows XP Professional x64 Edition";
  } else {
    out += "Windows Server 2003, ";
  }
  if (workstation) return;
  if (f.processorArchitecture == OSFacts::kArchIA64) {
    if (has(OSFacts::kSuiteDatacenter))
      out += "Datacenter Edition for Itanium-based Systems";
    else if (has(OSFacts::kSuiteEnterprise))
      out += "Enterprise Edition for Itanium-based Systems";
  } else if (f.processorArchitecture == OSFacts::kArchX64) {
    if (has(OSFacts::kSuiteDatacenter))
      out += "Datacenter x64 Edition";
    else if (has(OSFacts::kSuiteEnterprise))
      out += "Enterprise x64 Edition";
    else
      out += "Standard x64 Edition";
  } else {
    if (has(OSFacts::kSuiteComputeServer))
      out += "Compute Cluster Edition";
    else if (has(OSFacts::kSuiteDatacenter))
      out += "Datacenter Edition";
    else if (has(OSFacts::kSuiteEnterprise))
      out += "Enterprise Edition";
    else if (has(OSFacts::kSuiteBlade))
      out += "Web Edition";
    else
      out += "Standard Edition";
  }
}

// Cuts to at most `max` bytes without splitting a UTF-8 sequence.
void Truncate(std::string& s, size_t max) {
  if (s.size() <= max) return;
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
}

}  // namespace

std::string FormatOSVersion(const OSFacts& f) {
  if (f.platformId != OSFacts::kPlatformNT || f.major <= 4) return "Unknown Windows Version";

  const bool workstation = f.productType == OSFacts::kWorkstation;
  std::string out = "Microsoft ";
  if (f.major == 10) {
    out += workstation ? "Windows 10 " : "Windows Server 2016 Technical Preview ";
  } else if (f.major == 6) {
    out += Version6Name(f.minor, workstation);
  } else if (f.major == 5 && f.minor == 2) {
    AppendServer2003(f, workstation, out);
  } else if (f.major == 5 && f.minor == 1) {
    out += "Windows XP ";
    out += (f.suiteMask & OSFacts::kSuitePersonal) ? "Home Edition" : "Professional";
  } else if (f.major == 5 && f.minor == 0) {
    out += "Windows 2000 ";
    if (workstation)
      out += "Professional";
    else if (f.suiteMask & OSFacts::kSuiteDatacenter)
      out += "Datacenter Server";
    else if (f.suiteMask & OSFacts::kSuiteEnterprise)
      out += "Advanced Server";
    else
      out += "Server";
  }

  if ((f.major == 6 || f.major == 10) && f.productInfoAvailable) out += ProductEdition(f.productInfoType);
  if (!f.servicePack.empty()) out += " " + f.servicePack;
  out += " (build " + std::to_string(f.build) + ")";
  if (f.major >= 6) {
    if (f.processorArchitecture == OSFacts::kArchX64)
      out += " 64-bit";
    else if (f.processorArchitecture == OSFacts::kArchX86)
      out += " 32-bit";
  }
  Truncate(out, kOSVersionMaxBytes);
  return out;
}
