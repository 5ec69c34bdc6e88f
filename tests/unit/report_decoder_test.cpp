#include "tools/report/report_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "corelib/MonResult2.h"

namespace {

std::vector<uint8_t> sample_body(std::vector<std::string>& printed) {
  std::vector<uint8_t> body;
  for (uint32_t id = 1; id <= 3; ++id) {
    CMonResult2 cpu;
    cpu.create(0, 4, 1, 0, 1, 1);
    cpu.init(44, id, 100 + id);
    cpu.add(uint32_t{0});
    cpu.add(12.5 * id);
    cpu.add("CPU load");
    CMonResult2 core;
    core.create(0, 1, 0, 0, 1, 0);
    core.add(id);
    core.add(1.0);
    cpu.add(core);
    const auto* p = static_cast<const uint8_t*>(cpu.get_pointer());
    body.insert(body.end(), p, p + cpu.get_size());
    printed.push_back(report::print_record(p));
  }
  return body;
}

std::vector<uint8_t> compress(const std::vector<uint8_t>& raw) {
  uLongf n = compressBound(raw.size());
  std::vector<uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, raw.data(), raw.size(), Z_DEFAULT_COMPRESSION), Z_OK);
  out.resize(n);
  return out;
}

TEST(ReportDecoder, RoundTripsRawAndCompressedBodies) {
  std::vector<std::string> printed;
  std::vector<uint8_t> raw = sample_body(printed);
  ASSERT_EQ(printed.size(), 3u);
  EXPECT_NE(printed[0].find("(CPU) "), std::string::npos);
  EXPECT_NE(printed[0].find("\r\n    SUB UDC | UI32: '1' | D64: '1.000000' "), std::string::npos);

  std::vector<std::string> lines;
  report::Error error;
  ASSERT_TRUE(report::decode_body(raw.data(), raw.size(), 0, lines, error)) << error.reason;
  EXPECT_EQ(lines, printed);

  std::vector<uint8_t> packed = compress(raw);
  lines.clear();
  ASSERT_TRUE(report::decode_body(packed.data(), packed.size(), raw.size(), lines, error)) << error.reason;
  EXPECT_EQ(lines, printed);

  lines.clear();
  EXPECT_TRUE(report::decode_body(nullptr, 0, 0, lines, error));
  EXPECT_TRUE(lines.empty());
}

TEST(ReportDecoder, RefusesBadStreamsAndSizes) {
  std::vector<std::string> printed;
  std::vector<uint8_t> raw = sample_body(printed);
  std::vector<uint8_t> packed = compress(raw);
  struct Case {
    const char* name;
    std::vector<uint8_t> body;
    uint64_t declared;
    const char* reason_start;
  };
  std::vector<uint8_t> truncated(packed.begin(), packed.begin() + packed.size() / 2);
  std::vector<uint8_t> trailing = packed;
  trailing.push_back(0);
  std::vector<uint8_t> cut_record(raw.begin(), raw.end() - 1);
  std::vector<Case> cases = {
      {"declared too small", packed, raw.size() - 1, "inflated data exceeds the declared size"},
      {"declared too large", packed, raw.size() + 1, "zlib stream ended after"},
      {"truncated stream", truncated, raw.size(), "zlib stream ended after"},
      {"not zlib", raw, raw.size(), "inflate error"},
      {"bytes after stream", trailing, raw.size(), "bytes after the end of the zlib stream"},
      {"raw body cut short", cut_record, 0, "record length past the end of the data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    report::Error error;
    EXPECT_FALSE(report::decode_body(c.body.data(), c.body.size(), c.declared, lines, error));
    EXPECT_EQ(error.reason.rfind(c.reason_start, 0), 0u) << error.reason;
  }
  report::Error error;
  std::vector<std::string> lines;
  ASSERT_FALSE(report::decode_body(cut_record.data(), cut_record.size(), 0, lines, error));
  EXPECT_EQ(error.offset, raw.size() / 3 * 2);  // the third record starts there
}

}  // namespace
