// The UDC result record: one self-describing, contiguous, little-endian block.
// A 32-byte header (total length, then the counts of I32, UI32, I64, UI64, D64,
// string and nested-record values) is followed by the five value sections, the
// zero-terminated strings and the nested records, in that order, unpadded.
#pragma once

#include <cstdint>

#include "corelib/corelib_api.h"

#pragma pack(push, 1)
struct _U_D_C_ {
  uint32_t size;  // whole record: header, values, strings and nested records
  uint32_t i32Count;
  uint32_t ui32Count;
  uint32_t i64Count;
  uint32_t ui64Count;
  uint32_t d64Count;
  uint32_t strCount;
  uint32_t subCount;
};
#pragma pack(pop)
static_assert(sizeof(_U_D_C_) == 32, "the record header is 32 bytes on the wire");

// Value kinds of udcw_add.
enum UdcKind : int {
  UDC_I32 = 1,
  UDC_UI32 = 2,
  UDC_I64 = 3,
  UDC_UI64 = 4,
  UDC_D64 = 5,
  UDC_STR = 6,
  UDC_SUB = 7,
};

// Builder of one record. The value sections are reserved in full at creation;
// strings and nested records enlarge the block. Section pointers are byte
// pointers because 64-bit values are not aligned inside the block.
struct _U_D_C_W_ {
  _U_D_C_* udc;  // the block (owned)
  unsigned char* i32;
  unsigned char* ui32;
  unsigned char* i64;
  unsigned char* ui64;
  unsigned char* d64;
  uint32_t i32Added;
  uint32_t ui32Added;
  uint32_t i64Added;
  uint32_t ui64Added;
  uint32_t d64Added;
  char** strs;  // strCount entries
  uint32_t strsAdded;
  _U_D_C_** subs;
  uint32_t subsAdded;
  uint32_t subsCapacity;
  uint32_t capacity;  // bytes allocated for the block, at least udc->size
};

CORELIB_API bool udcw_new(_U_D_C_W_** out, uint32_t i32Count, uint32_t ui32Count,
                          uint32_t i64Count, uint32_t ui64Count, uint32_t d64Count,
                          uint32_t strCount);
// kind 1 int32_t, 2 uint32_t, 3 int64_t, 4 uint64_t, 5 double, 6 const char* (UTF-8),
// 7 const _U_D_C_* (a complete record, copied whole).
CORELIB_API bool udcw_add(_U_D_C_W_* w, int kind, ...);
// Wraps a malloc'ed block; the builder owns it from then on. The block must be
// trusted or have passed udc_validate.
CORELIB_API bool udcw_from_udc(_U_D_C_* udc, _U_D_C_W_** out);
CORELIB_API void udcw_free(_U_D_C_W_** w);

// Appends a copy of `udc` to a malloc'ed byte list of *length bytes.
CORELIB_API bool udc_add_to_list(unsigned char** list, uint64_t* length, const _U_D_C_* udc);
// A malloc'ed copy of the record (free with free()); null for null or size 0.
CORELIB_API _U_D_C_* udc_copy(const _U_D_C_* udc);

// Renders the record as one line of text (malloc'ed; release with
// udcw_free_print_data). A record that fails validation renders as its reason.
CORELIB_API void udcw_print_data(const _U_D_C_W_* w, char** text, uint64_t* capacity,
                                 uint64_t* length);
CORELIB_API void udcw_free_print_data(char** text);

// Checks a record from outside against the `available` bytes: total length,
// counts, value sections, string terminators and nested records (recursively,
// at most UDC_MAX_DEPTH levels). On success *size is the record's length; on
// failure *errorOffset (from `data`) and *reason say where and why.
constexpr int UDC_MAX_DEPTH = 16;
CORELIB_API bool udc_validate(const void* data, uint64_t available, uint64_t* size,
                              uint64_t* errorOffset, const char** reason);

// Printed tag of a record type, "" for types without one.
CORELIB_API const char* udc_type_tag(uint32_t type);
