// Event log records built byte for byte as the system's read returns them:
// the fixed head, the source and computer names, the SID, the insertion
// strings and the data, each part aligned to four bytes, and the length
// again at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_log_record.h"
#include "platform/utf16.h"

struct EventBlob {
  uint32_t recordNumber = 0;
  uint32_t timeGenerated = 0;
  uint32_t timeWritten = 0;
  uint32_t eventID = 0;
  uint16_t eventType = 4;
  uint16_t category = 0;
  std::string source = "TestSource";
  std::string computer = "HOST1";
  std::vector<uint8_t> sid;
  std::vector<std::string> strings;
  std::vector<uint8_t> data;

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> b(event_log_record::kHeaderSize, 0);
    Wide(b, source);
    Wide(b, computer);
    Align(b);
    const size_t sidOffset = b.size();
    b.insert(b.end(), sid.begin(), sid.end());
    Align(b);
    const size_t stringOffset = b.size();
    for (const std::string& s : strings) Wide(b, s);
    const size_t dataOffset = b.size();
    b.insert(b.end(), data.begin(), data.end());
    Align(b);
    b.resize(b.size() + 4);
    const uint32_t length = static_cast<uint32_t>(b.size());
    Put32(b, 0, length);
    Put32(b, 4, event_log_record::kSignature);
    Put32(b, 8, recordNumber);
    Put32(b, 12, timeGenerated);
    Put32(b, 16, timeWritten);
    Put32(b, 20, eventID);
    Put16(b, 24, eventType);
    Put16(b, 26, static_cast<uint16_t>(strings.size()));
    Put16(b, 28, category);
    Put32(b, 36, static_cast<uint32_t>(stringOffset));
    Put32(b, 40, static_cast<uint32_t>(sid.size()));
    Put32(b, 44, sid.empty() ? 0 : static_cast<uint32_t>(sidOffset));
    Put32(b, 48, static_cast<uint32_t>(data.size()));
    Put32(b, 52, static_cast<uint32_t>(dataOffset));
    Put32(b, b.size() - 4, length);
    return b;
  }

  // A SID of revision 1: six authority bytes (big-endian), then the sub-authorities.
  static std::vector<uint8_t> Sid(const uint8_t (&authority)[6], const std::vector<uint32_t>& subs) {
    std::vector<uint8_t> s(8 + 4 * subs.size());
    s[0] = 1;
    s[1] = static_cast<uint8_t>(subs.size());
    for (size_t i = 0; i < 6; ++i) s[2 + i] = authority[i];
    for (size_t k = 0; k < subs.size(); ++k) Put32(s, 8 + 4 * k, subs[k]);
    return s;
  }

  static void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  }

 private:
  static void Wide(std::vector<uint8_t>& b, const std::string& utf8) {
    std::u16string w;
    platform::utf8_to_utf16(utf8, w);
    for (char16_t c : w) {
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
  }
  static void Align(std::vector<uint8_t>& b) {
    while (b.size() % 4) b.push_back(0);
  }
};
