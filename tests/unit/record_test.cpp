#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "corelib/MonResult2.h"
#include "corelib/udc.h"

namespace {

uint32_t u32_at(const void* block, size_t offset) {
  uint32_t v;
  memcpy(&v, static_cast<const unsigned char*>(block) + offset, 4);
  return v;
}

std::string print(const void* udc) {
  _U_D_C_W_* w = nullptr;
  EXPECT_TRUE(udcw_from_udc(const_cast<_U_D_C_*>(static_cast<const _U_D_C_*>(udc)), &w));
  char* text = nullptr;
  uint64_t capacity = 0, length = 0;
  udcw_print_data(w, &text, &capacity, &length);
  std::string line(text, length);
  EXPECT_EQ(strlen(text), length);
  EXPECT_GT(capacity, length);
  udcw_free_print_data(&text);
  w->udc = nullptr;  // not ours to free
  udcw_free(&w);
  return line;
}

bool valid(const CMonResult2& r) {
  uint64_t size = 0;
  return udc_validate(r.get_pointer(), r.get_size(), &size, nullptr, nullptr) && size == r.get_size();
}

TEST(Record, LayoutGrowsWithStringsAndNestedRecords) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 5, 1, 0, 1, 1));
  EXPECT_EQ(r.get_size(), 68u);
  ASSERT_TRUE(r.init(48, 7, 3));
  ASSERT_TRUE(r.add(uint32_t{9}));
  ASSERT_TRUE(r.add("abc"));
  ASSERT_TRUE(r.add(2.5));
  ASSERT_TRUE(r.add(uint32_t{11}));
  ASSERT_EQ(r.get_size(), 72u);

  const void* b = r.get_pointer();
  EXPECT_EQ(u32_at(b, 0), 72u);
  EXPECT_EQ(u32_at(b, 8), 5u);   // UI32 count
  EXPECT_EQ(u32_at(b, 24), 1u);  // STR count
  EXPECT_EQ(u32_at(b, 32), 48u);
  EXPECT_EQ(u32_at(b, 36), 7u);
  EXPECT_EQ(u32_at(b, 40), 3u);
  EXPECT_EQ(u32_at(b, 44), 9u);
  EXPECT_EQ(u32_at(b, 48), 11u);
  int64_t when;
  memcpy(&when, static_cast<const char*>(b) + 52, 8);
  EXPECT_EQ(when, r.get_result_time());
  double d;
  memcpy(&d, static_cast<const char*>(b) + 60, 8);
  EXPECT_EQ(d, 2.5);
  EXPECT_STREQ(static_cast<const char*>(b) + 68, "abc");

  CMonResult2 nested;
  ASSERT_TRUE(nested.create(0, 2, 0, 0, 0, 0));
  ASSERT_EQ(nested.get_size(), 40u);
  ASSERT_TRUE(r.add(nested));
  b = r.get_pointer();
  EXPECT_EQ(r.get_size(), 112u);
  EXPECT_EQ(u32_at(b, 28), 1u);  // SUB count
  EXPECT_EQ(u32_at(b, 72), 40u);
  EXPECT_TRUE(valid(r));
}

TEST(Record, FullSectionRefusesAndLeavesRecordUnchanged) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 5, 1, 0, 0, 1));
  for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(r.add(i));
  ASSERT_TRUE(r.add("only"));
  std::vector<unsigned char> before(static_cast<const unsigned char*>(r.get_pointer()),
                                    static_cast<const unsigned char*>(r.get_pointer()) + r.get_size());
  EXPECT_FALSE(r.add(uint32_t{6}));
  EXPECT_FALSE(r.add("second"));
  EXPECT_FALSE(r.add(1.0));  // no D64 declared
  EXPECT_FALSE(r.add(int32_t{1}));
  ASSERT_EQ(r.get_size(), before.size());
  EXPECT_EQ(memcmp(r.get_pointer(), before.data(), before.size()), 0);
}

TEST(Record, TextsAreStoredAsUtf8WithNAForNothing) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 0, 0, 0, 0, 4));
  ASSERT_TRUE(r.add(""));
  ASSERT_TRUE(r.add(static_cast<const char*>(nullptr)));
  ASSERT_TRUE(r.add(L""));
  ASSERT_TRUE(r.add(L"\u00e9\u20ac"));
  const char* s = static_cast<const char*>(r.get_pointer()) + 32;
  for (int i = 0; i < 3; ++i, s += 4) EXPECT_STREQ(s, "N/A");
  EXPECT_STREQ(s, "\xc3\xa9\xe2\x82\xac");

  CMonResult2 broken;
  ASSERT_TRUE(broken.create(0, 0, 0, 0, 0, 1));
  const wchar_t lone_surrogate[] = {static_cast<wchar_t>(0xD800), 0};
  EXPECT_FALSE(broken.add(lone_surrogate));
}

TEST(Record, StringsStayAheadOfNestedRecordsWhateverTheAddOrder) {
  CMonResult2 sub;
  ASSERT_TRUE(sub.create(0, 1, 0, 0, 0, 1));
  ASSERT_TRUE(sub.add(uint32_t{5}));
  ASSERT_TRUE(sub.add("inner"));
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 1, 0, 0, 0, 2));
  ASSERT_TRUE(r.add("first"));
  ASSERT_TRUE(r.add(sub));
  ASSERT_TRUE(r.add("late"));
  EXPECT_TRUE(valid(r));
  EXPECT_EQ(print(r.get_pointer()),
            "UDC | UI32: '0' | STR: 'first' | STR: 'late' \r\n    SUB UDC | UI32: '5' | STR: 'inner' ");
}

TEST(Record, PrintedFormShowsTagTimeAndNestedRecords) {
  CMonResult2 sub;
  ASSERT_TRUE(sub.create(1, 1, 1, 1, 1, 1));
  ASSERT_TRUE(sub.add(int32_t{-4}));
  ASSERT_TRUE(sub.add(uint32_t{430}));  // no tag below the top level
  ASSERT_TRUE(sub.add(int64_t{86400}));  // and no time
  ASSERT_TRUE(sub.add(uint64_t{18446744073709551615ull}));
  ASSERT_TRUE(sub.add(0.25));
  ASSERT_TRUE(sub.add("cpu 0"));

  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 4, 1, 0, 1, 1));
  ASSERT_TRUE(r.init(430, 7, 3));
  ASSERT_TRUE(r.add(uint32_t{2}));
  ASSERT_TRUE(r.add(12.5));
  ASSERT_TRUE(r.add("notepad.exe"));
  ASSERT_TRUE(r.add(sub));

  time_t t = static_cast<time_t>(r.get_result_time());
  char when[64];
  strftime(when, sizeof when, "(%X %x) ", localtime(&t));
  std::string expected = "UDC | UI32: '430' (PROC) | UI32: '7' | UI32: '3' | UI32: '2' | I64: '" +
                         std::to_string(r.get_result_time()) + "' " + when +
                         "| D64: '12.500000' | STR: 'notepad.exe' "
                         "\r\n    SUB UDC | UI32: '430' | I32: '-4' | I64: '86400' "
                         "| UI64: '18446744073709551615' | D64: '0.250000' | STR: 'cpu 0' ";
  EXPECT_EQ(print(r.get_pointer()), expected);
  EXPECT_STREQ(udc_type_tag(44), "(CPU) ");
  EXPECT_STREQ(udc_type_tag(43), "(PROC) ");
  EXPECT_STREQ(udc_type_tag(51), "");
}

TEST(Record, LongTextIsCutInPrintButKeptInTheRecord) {
  std::string text(2000, 'x');
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 0, 0, 0, 0, 1));
  ASSERT_TRUE(r.add(text.c_str()));
  std::string line = print(r.get_pointer());
  EXPECT_EQ(line.size(), 4 + 511u);
  EXPECT_EQ(r.get_size(), 32 + text.size() + 1);
}

TEST(Record, AssignmentHandsTheRecordOver) {
  CMonResult2 a;
  ASSERT_TRUE(a.create(0, 3, 1, 0, 0, 0));
  ASSERT_TRUE(a.init(44, 1, 2));
  const void* block = a.get_pointer();
  CMonResult2 b;
  b = a;
  EXPECT_EQ(b.get_pointer(), block);
  EXPECT_EQ(b.get_result_time(), a.get_result_time());
  EXPECT_EQ(a.get_pointer(), nullptr);
  EXPECT_EQ(a.get_size(), 0u);
  EXPECT_FALSE(a.add(uint32_t{1}));

  unsigned char* copy = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(b.get(&copy, &size));
  EXPECT_EQ(size, b.get_size());
  EXPECT_EQ(memcmp(copy, block, size), 0);
  free(copy);
  EXPECT_FALSE(a.get(&copy, &size));
}

TEST(Record, ARecordAppendedToItselfHoldsACopyOfItsEarlierSelf) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 1, 0, 0, 0, 1));
  ASSERT_TRUE(r.add(uint32_t{7}));
  ASSERT_TRUE(r.add("outer"));
  const std::string before(static_cast<const char*>(r.get_pointer()), r.get_size());

  // The block is full, so the add moves it: the source must not be read from the old one.
  ASSERT_TRUE(r.add(r));
  ASSERT_TRUE(valid(r));
  ASSERT_EQ(r.get_size(), 2 * before.size());
  const char* b = static_cast<const char*>(r.get_pointer());
  EXPECT_EQ(u32_at(b, 28), 1u);
  EXPECT_EQ(std::string(b + before.size(), before.size()), before);

  // One of its own nested records, then itself once more: that copy carries both.
  ASSERT_TRUE(r.add(static_cast<const void*>(b + before.size())));
  ASSERT_TRUE(valid(r));
  const uint32_t size = r.get_size();
  ASSERT_TRUE(r.add(r));
  ASSERT_TRUE(valid(r));
  EXPECT_EQ(r.get_size(), 2 * size);
  EXPECT_EQ(print(r.get_pointer()),
            "UDC | UI32: '7' | STR: 'outer' "
            "\r\n    SUB UDC | UI32: '7' | STR: 'outer' \r\n    SUB UDC | UI32: '7' | STR: 'outer' "
            "\r\n    SUB UDC | UI32: '7' | STR: 'outer' "
            "\r\n    SUB UDC | UI32: '7' | STR: 'outer' \r\n    SUB UDC | UI32: '7' | STR: 'outer' ");

  // One of its own strings, likewise.
  CMonResult2 texts;
  ASSERT_TRUE(texts.create(0, 0, 0, 0, 0, 2));
  ASSERT_TRUE(texts.add("twice"));
  ASSERT_TRUE(texts.add(static_cast<const char*>(texts.get_pointer()) + 32));
  ASSERT_TRUE(valid(texts));
  EXPECT_EQ(print(texts.get_pointer()), "UDC | STR: 'twice' | STR: 'twice' ");
}

TEST(Record, ListAndCopyHelpers) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 1, 0, 0, 0, 0));
  const auto* udc = static_cast<const _U_D_C_*>(r.get_pointer());

  unsigned char* list = nullptr;
  uint64_t length = 0;
  EXPECT_FALSE(udc_add_to_list(&list, &length, udc));  // no list yet
  list = static_cast<unsigned char*>(malloc(1));
  ASSERT_TRUE(udc_add_to_list(&list, &length, udc));
  ASSERT_TRUE(udc_add_to_list(&list, &length, udc));
  EXPECT_EQ(length, 72u);
  EXPECT_EQ(memcmp(list + 36, udc, 36), 0);
  free(list);

  _U_D_C_* copy = udc_copy(udc);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, udc, 36), 0);
  free(copy);
  EXPECT_EQ(udc_copy(nullptr), nullptr);
  _U_D_C_ empty{};
  EXPECT_EQ(udc_copy(&empty), nullptr);
}

// ---- validation of records from outside -----------------------------------

std::vector<unsigned char> header(uint32_t size, uint32_t i32, uint32_t ui32, uint32_t i64, uint32_t ui64,
                                  uint32_t d64, uint32_t str, uint32_t sub) {
  _U_D_C_ h{size, i32, ui32, i64, ui64, d64, str, sub};
  std::vector<unsigned char> v(sizeof h);
  memcpy(v.data(), &h, sizeof h);
  return v;
}

std::vector<unsigned char> nested_chain(int depth) {
  // A record holding a record holding ... `depth` levels below the top.
  std::vector<unsigned char> rec = header(32, 0, 0, 0, 0, 0, 0, 0);
  for (int i = 0; i < depth; ++i) {
    auto outer = header(static_cast<uint32_t>(32 + rec.size()), 0, 0, 0, 0, 0, 0, 1);
    outer.insert(outer.end(), rec.begin(), rec.end());
    rec = outer;
  }
  return rec;
}

TEST(RecordValidation, MalformedInputNamesOffsetAndReason) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    uint64_t offset;
    const char* reason;
  };
  auto with = [](std::vector<unsigned char> v, std::initializer_list<unsigned char> tail) {
    v.insert(v.end(), tail);
    return v;
  };
  std::vector<Case> cases = {
      {"one byte", {0x20}, 0, "truncated record header"},
      {"zero length", header(0, 0, 0, 0, 0, 0, 0, 0), 0, "zero record length"},
      {"length below header", header(16, 0, 0, 0, 0, 0, 0, 0), 0, "record length shorter than its header"},
      {"length past end", header(64, 0, 0, 0, 0, 0, 0, 0), 0, "record length past the end of the data"},
      {"count overflow", with(header(36, 0, 0xFFFFFFFF, 0, 0, 0, 0, 0), {0, 0, 0, 0}), 0,
       "value counts overflow the record"},
      {"wrapping counts", header(32, 0x40000000, 0x40000000, 0, 0, 0, 0, 0), 0,
       "value counts overflow the record"},
      {"no terminator", with(header(35, 0, 0, 0, 0, 0, 1, 0), {'a', 'b', 'c'}), 32, "missing string terminator"},
      {"string count beyond bytes", with(header(34, 0, 0, 0, 0, 0, 3, 0), {'a', 0}), 34,
       "missing string terminator"},
      {"trailing bytes", with(header(34, 0, 0, 0, 0, 0, 0, 0), {1, 2}), 32,
       "record length does not match its contents"},
      {"nested past parent", [] {
         auto v = header(72, 0, 0, 0, 0, 0, 0, 1);
         auto sub = header(48, 0, 0, 0, 0, 0, 0, 0);
         v.insert(v.end(), sub.begin(), sub.end());
         v.resize(80);
         return v;
       }(), 32, "record length past the end of the data"},
      {"nested too deep", nested_chain(UDC_MAX_DEPTH + 1), 32ull * UDC_MAX_DEPTH + 32,
       "records nested too deep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t size = 1, offset = 0;
    const char* reason = nullptr;
    EXPECT_FALSE(udc_validate(c.bytes.data(), c.bytes.size(), &size, &offset, &reason));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(offset, c.offset);
    EXPECT_STREQ(reason, c.reason);
  }
  auto deepest_allowed = nested_chain(UDC_MAX_DEPTH);
  uint64_t size = 0;
  EXPECT_TRUE(udc_validate(deepest_allowed.data(), deepest_allowed.size(), &size, nullptr, nullptr));
  EXPECT_EQ(size, deepest_allowed.size());
}

TEST(RecordValidation, AcceptsARecordFollowedByMoreData) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 3, 1, 0, 0, 1));
  ASSERT_TRUE(r.init(47, 1, 1));
  ASSERT_TRUE(r.add("x"));
  std::vector<unsigned char> bytes(static_cast<const unsigned char*>(r.get_pointer()),
                                   static_cast<const unsigned char*>(r.get_pointer()) + r.get_size());
  bytes.resize(bytes.size() + 100, 0xEE);
  uint64_t size = 0;
  EXPECT_TRUE(udc_validate(bytes.data(), bytes.size(), &size, nullptr, nullptr));
  EXPECT_EQ(size, r.get_size());
}

TEST(RecordValidation, PrinterRendersAMalformedBuilderAsItsReason) {
  CMonResult2 r;
  ASSERT_TRUE(r.create(0, 0, 0, 0, 0, 2));  // two strings declared, one added
  ASSERT_TRUE(r.add("one"));
  EXPECT_EQ(print(r.get_pointer()), "UDC | INVALID: 'missing string terminator at byte 36' ");
}

}  // namespace
