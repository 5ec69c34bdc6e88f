#include "corelib/udc.h"

#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

unsigned char* bytes(_U_D_C_* udc) { return reinterpret_cast<unsigned char*>(udc); }

uint64_t value_bytes(const _U_D_C_& h) {
  return 4ull * h.i32Count + 4ull * h.ui32Count + 8ull * h.i64Count + 8ull * h.ui64Count +
         8ull * h.d64Count;
}

void derive_sections(_U_D_C_W_* w) {
  unsigned char* p = bytes(w->udc) + sizeof(_U_D_C_);
  auto take = [&p](uint32_t count, size_t width) {
    unsigned char* start = count ? p : nullptr;
    p += static_cast<size_t>(count) * width;
    return start;
  };
  w->i32 = take(w->udc->i32Count, 4);
  w->ui32 = take(w->udc->ui32Count, 4);
  w->i64 = take(w->udc->i64Count, 8);
  w->ui64 = take(w->udc->ui64Count, 8);
  w->d64 = take(w->udc->d64Count, 8);
}

unsigned char* values_end(_U_D_C_W_* w) { return bytes(w->udc) + sizeof(_U_D_C_) + value_bytes(*w->udc); }

// Strings always sit between the values and the nested records, whatever the
// order of the adds, so that readers find both where the header says.
unsigned char* strings_end(_U_D_C_W_* w) {
  if (w->subsAdded) return reinterpret_cast<unsigned char*>(w->subs[0]);
  if (w->strsAdded) {
    char* last = w->strs[w->strsAdded - 1];
    return reinterpret_cast<unsigned char*>(last + strlen(last) + 1);
  }
  return values_end(w);
}

// Makes room for `extra` more bytes; every pointer into the block is moved along.
bool reserve(_U_D_C_W_* w, uint64_t extra) {
  uint64_t need = static_cast<uint64_t>(w->udc->size) + extra;
  if (need > UINT32_MAX) return false;
  if (need <= w->capacity) return true;
  uint64_t capacity = static_cast<uint64_t>(w->capacity) * 2;
  if (capacity < need) capacity = need;
  if (capacity > UINT32_MAX) capacity = UINT32_MAX;
  auto* block = static_cast<unsigned char*>(malloc(capacity));
  if (!block) return false;
  unsigned char* old = bytes(w->udc);
  memcpy(block, old, w->udc->size);
  for (uint32_t i = 0; i < w->strsAdded; ++i)
    w->strs[i] = reinterpret_cast<char*>(block + (reinterpret_cast<unsigned char*>(w->strs[i]) - old));
  for (uint32_t i = 0; i < w->subsAdded; ++i)
    w->subs[i] = reinterpret_cast<_U_D_C_*>(block + (bytes(w->subs[i]) - old));
  free(old);
  w->udc = reinterpret_cast<_U_D_C_*>(block);
  w->capacity = static_cast<uint32_t>(capacity);
  derive_sections(w);
  return true;
}

template <typename T>
bool add_value(unsigned char* section, uint32_t declared, uint32_t& added, T value) {
  if (!section || added >= declared) return false;
  memcpy(section + sizeof(T) * added, &value, sizeof(T));
  ++added;
  return true;
}

// True when `p` points into the builder's own block, which a reserve may move.
bool inside_block(const _U_D_C_W_* w, const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto block = reinterpret_cast<uintptr_t>(w->udc);
  return at >= block && at - block < w->capacity;
}

bool add_string(_U_D_C_W_* w, const char* text) {
  if (!text || !*text || w->strsAdded >= w->udc->strCount) return false;
  size_t n = strlen(text) + 1;
  if (inside_block(w, text)) {
    // One of the record's own strings: copied first, since the block may move.
    char* copy = static_cast<char*>(malloc(n));
    if (!copy) return false;
    memcpy(copy, text, n);
    bool ok = add_string(w, copy);
    free(copy);
    return ok;
  }
  if (!reserve(w, n)) return false;
  unsigned char* at = strings_end(w);
  unsigned char* end = bytes(w->udc) + w->udc->size;
  if (at != end) {
    memmove(at + n, at, end - at);
    for (uint32_t i = 0; i < w->subsAdded; ++i) w->subs[i] = reinterpret_cast<_U_D_C_*>(bytes(w->subs[i]) + n);
  }
  memcpy(at, text, n);
  w->strs[w->strsAdded++] = reinterpret_cast<char*>(at);
  w->udc->size += static_cast<uint32_t>(n);
  return true;
}

bool add_sub(_U_D_C_W_* w, const _U_D_C_* sub) {
  if (!sub) return false;
  if (inside_block(w, sub)) {
    // The record itself or one of its nested records: copied first, since
    // the block may move and the copy's header must be the one before the add.
    const uint64_t offset = reinterpret_cast<uintptr_t>(sub) - reinterpret_cast<uintptr_t>(w->udc);
    if (offset + sizeof(_U_D_C_) > w->udc->size || sub->size < sizeof(_U_D_C_) ||
        sub->size > w->udc->size - offset)
      return false;
    _U_D_C_* copy = udc_copy(sub);
    if (!copy) return false;
    bool ok = add_sub(w, copy);
    free(copy);
    return ok;
  }
  if (sub->size < sizeof(_U_D_C_)) return false;
  uint32_t n = sub->size;
  if (w->subsAdded == w->subsCapacity) {
    uint32_t capacity = w->subsCapacity ? w->subsCapacity * 2 : 4;
    auto* subs = static_cast<_U_D_C_**>(realloc(w->subs, sizeof(_U_D_C_*) * capacity));
    if (!subs) return false;
    w->subs = subs;
    w->subsCapacity = capacity;
  }
  if (!reserve(w, n)) return false;
  unsigned char* at = bytes(w->udc) + w->udc->size;
  memcpy(at, sub, n);
  w->subs[w->subsAdded++] = reinterpret_cast<_U_D_C_*>(at);
  w->udc->size += n;
  w->udc->subCount++;
  return true;
}

_U_D_C_W_* new_builder(_U_D_C_* udc, uint32_t capacity) {
  auto* w = static_cast<_U_D_C_W_*>(calloc(1, sizeof(_U_D_C_W_)));
  if (!w) return nullptr;
  w->udc = udc;
  w->capacity = capacity;
  w->strs = static_cast<char**>(calloc(udc->strCount ? udc->strCount : 1, sizeof(char*)));
  if (!w->strs) {
    free(w);
    return nullptr;
  }
  derive_sections(w);
  return w;
}

// ---- validation -----------------------------------------------------------

struct Failure {
  uint64_t offset;
  const char* reason;
};

bool check(const unsigned char* base, uint64_t at, uint64_t end, int depth, uint64_t* size, Failure* f) {
  if (end - at < sizeof(_U_D_C_)) {
    *f = {at, "truncated record header"};
    return false;
  }
  _U_D_C_ h;
  memcpy(&h, base + at, sizeof h);
  if (h.size == 0) {
    *f = {at, "zero record length"};
    return false;
  }
  if (h.size < sizeof(_U_D_C_)) {
    *f = {at, "record length shorter than its header"};
    return false;
  }
  if (h.size > end - at) {
    *f = {at, "record length past the end of the data"};
    return false;
  }
  uint64_t record_end = at + h.size;
  if (value_bytes(h) > h.size - sizeof(_U_D_C_)) {
    *f = {at, "value counts overflow the record"};
    return false;
  }
  uint64_t p = at + sizeof(_U_D_C_) + value_bytes(h);
  for (uint32_t i = 0; i < h.strCount; ++i) {
    const void* zero = p < record_end ? memchr(base + p, 0, record_end - p) : nullptr;
    if (!zero) {
      *f = {p, "missing string terminator"};
      return false;
    }
    p = static_cast<const unsigned char*>(zero) - base + 1;
  }
  for (uint32_t i = 0; i < h.subCount; ++i) {
    if (depth >= UDC_MAX_DEPTH) {
      *f = {p, "records nested too deep"};
      return false;
    }
    uint64_t sub_size = 0;
    if (!check(base, p, record_end, depth + 1, &sub_size, f)) return false;
    p += sub_size;
  }
  if (p != record_end) {
    *f = {p, "record length does not match its contents"};
    return false;
  }
  *size = h.size;
  return true;
}

// ---- printing --------------------------------------------------------------

struct Printer {
  char* text = nullptr;
  uint64_t capacity = 0;
  uint64_t length = 0;

  void append(const char* piece) {
    size_t n = strlen(piece);
    if (length + n + 1 > capacity) {
      uint64_t grown = capacity + n + 1024;
      auto* t = static_cast<char*>(realloc(text, grown));
      if (!t) return;
      text = t;
      capacity = grown;
    }
    memcpy(text + length, piece, n + 1);
    length += n;
  }

  // Each piece is formatted into at most 511 characters.
  void appendf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char piece[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(piece, sizeof piece, format, ap);
    va_end(ap);
    append(piece);
  }
};

template <typename T>
T load(const unsigned char* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

void append_local_time(Printer& out, int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
#ifdef _WIN32
  if (localtime_s(&local, &t) != 0) return;
#else
  if (!localtime_r(&t, &local)) return;
#endif
  char when[128];
  if (strftime(when, sizeof when, "(%X %x) ", &local)) out.append(when);
}

// `rec` has passed check().
void render(Printer& out, const unsigned char* rec, bool top) {
  _U_D_C_ h;
  memcpy(&h, rec, sizeof h);
  const unsigned char* i32 = rec + sizeof(_U_D_C_);
  const unsigned char* ui32 = i32 + 4ull * h.i32Count;
  const unsigned char* i64 = ui32 + 4ull * h.ui32Count;
  const unsigned char* ui64 = i64 + 8ull * h.i64Count;
  const unsigned char* d64 = ui64 + 8ull * h.ui64Count;
  const unsigned char* p = d64 + 8ull * h.d64Count;

  out.append("UDC ");
  for (uint32_t i = 0; i < h.ui32Count; ++i) {
    uint32_t v = load<uint32_t>(ui32 + 4ull * i);
    out.appendf("| UI32: '%u' ", v);
    if (top && i == 0) out.append(udc_type_tag(v));
  }
  for (uint32_t i = 0; i < h.i32Count; ++i) out.appendf("| I32: '%d' ", load<int32_t>(i32 + 4ull * i));
  for (uint32_t i = 0; i < h.i64Count; ++i) {
    int64_t v = load<int64_t>(i64 + 8ull * i);
    out.appendf("| I64: '%" PRId64 "' ", v);
    if (top && i == 0) append_local_time(out, v);
  }
  for (uint32_t i = 0; i < h.ui64Count; ++i) out.appendf("| UI64: '%" PRIu64 "' ", load<uint64_t>(ui64 + 8ull * i));
  for (uint32_t i = 0; i < h.d64Count; ++i) out.appendf("| D64: '%f' ", load<double>(d64 + 8ull * i));
  for (uint32_t i = 0; i < h.strCount; ++i) {
    const char* s = reinterpret_cast<const char*>(p);
    out.appendf("| STR: '%s' ", s);
    p += strlen(s) + 1;
  }
  for (uint32_t i = 0; i < h.subCount; ++i) {
    out.append("\r\n    SUB ");
    render(out, p, false);
    p += load<uint32_t>(p);
  }
}

}  // namespace

bool udcw_new(_U_D_C_W_** out, uint32_t i32Count, uint32_t ui32Count, uint32_t i64Count,
              uint32_t ui64Count, uint32_t d64Count, uint32_t strCount) {
  if (!out) return false;
  *out = nullptr;
  _U_D_C_ h{0, i32Count, ui32Count, i64Count, ui64Count, d64Count, strCount, 0};
  uint64_t size = sizeof(_U_D_C_) + value_bytes(h);
  if (size > UINT32_MAX) return false;
  h.size = static_cast<uint32_t>(size);
  auto* udc = static_cast<_U_D_C_*>(calloc(1, size));
  if (!udc) return false;
  *udc = h;
  *out = new_builder(udc, h.size);
  if (!*out) {
    free(udc);
    return false;
  }
  return true;
}

bool udcw_add(_U_D_C_W_* w, int kind, ...) {
  if (!w || !w->udc) return false;
  va_list ap;
  va_start(ap, kind);
  bool ok = false;
  switch (kind) {
    case UDC_I32: ok = add_value(w->i32, w->udc->i32Count, w->i32Added, va_arg(ap, int32_t)); break;
    case UDC_UI32: ok = add_value(w->ui32, w->udc->ui32Count, w->ui32Added, va_arg(ap, uint32_t)); break;
    case UDC_I64: ok = add_value(w->i64, w->udc->i64Count, w->i64Added, va_arg(ap, int64_t)); break;
    case UDC_UI64: ok = add_value(w->ui64, w->udc->ui64Count, w->ui64Added, va_arg(ap, uint64_t)); break;
    case UDC_D64: ok = add_value(w->d64, w->udc->d64Count, w->d64Added, va_arg(ap, double)); break;
    case UDC_STR: ok = add_string(w, va_arg(ap, const char*)); break;
    case UDC_SUB: ok = add_sub(w, va_arg(ap, const _U_D_C_*)); break;
    default: break;
  }
  va_end(ap);
  return ok;
}

bool udcw_from_udc(_U_D_C_* udc, _U_D_C_W_** out) {
  if (!out) return false;
  *out = nullptr;
  if (!udc || udc->size < sizeof(_U_D_C_)) return false;
  _U_D_C_W_* w = new_builder(udc, udc->size);
  if (!w) return false;
  w->i32Added = udc->i32Count;
  w->ui32Added = udc->ui32Count;
  w->i64Added = udc->i64Count;
  w->ui64Added = udc->ui64Count;
  w->d64Added = udc->d64Count;
  // Walk what the header declares, never past its own length.
  unsigned char* end = bytes(udc) + udc->size;
  unsigned char* p = value_bytes(*udc) <= udc->size - sizeof(_U_D_C_) ? values_end(w) : end;
  for (uint32_t i = 0; i < udc->strCount && p < end; ++i) {
    auto* zero = static_cast<unsigned char*>(memchr(p, 0, end - p));
    if (!zero) break;
    w->strs[w->strsAdded++] = reinterpret_cast<char*>(p);
    p = zero + 1;
  }
  for (uint32_t i = 0; i < udc->subCount && end - p >= static_cast<std::ptrdiff_t>(sizeof(_U_D_C_)); ++i) {
    uint32_t n = load<uint32_t>(p);
    if (n < sizeof(_U_D_C_) || n > static_cast<uint64_t>(end - p)) break;
    if (w->subsAdded == w->subsCapacity) {
      uint32_t capacity = w->subsCapacity ? w->subsCapacity * 2 : 4;
      auto* subs = static_cast<_U_D_C_**>(realloc(w->subs, sizeof(_U_D_C_*) * capacity));
      if (!subs) break;
      w->subs = subs;
      w->subsCapacity = capacity;
    }
    w->subs[w->subsAdded++] = reinterpret_cast<_U_D_C_*>(p);
    p += n;
  }
  *out = w;
  return true;
}

void udcw_free(_U_D_C_W_** w) {
  if (!w || !*w) return;
  free((*w)->udc);
  free((*w)->strs);
  free((*w)->subs);
  free(*w);
  *w = nullptr;
}

bool udc_add_to_list(unsigned char** list, uint64_t* length, const _U_D_C_* udc) {
  if (!list || !*list || !length || !udc) return false;
  auto* grown = static_cast<unsigned char*>(realloc(*list, *length + udc->size));
  if (!grown) return false;
  memcpy(grown + *length, udc, udc->size);
  *list = grown;
  *length += udc->size;
  return true;
}

_U_D_C_* udc_copy(const _U_D_C_* udc) {
  if (!udc || udc->size == 0) return nullptr;
  auto* copy = static_cast<_U_D_C_*>(calloc(1, udc->size));
  if (copy) memcpy(copy, udc, udc->size);
  return copy;
}

void udcw_print_data(const _U_D_C_W_* w, char** text, uint64_t* capacity, uint64_t* length) {
  if (!w || !w->udc || !text || !capacity || !length) return;
  Printer out;
  out.text = static_cast<char*>(malloc(1024));
  if (!out.text) return;
  out.capacity = 1024;
  out.text[0] = '\0';
  const auto* rec = reinterpret_cast<const unsigned char*>(w->udc);
  uint64_t size = 0;
  Failure failure{0, nullptr};
  if (check(rec, 0, w->udc->size, 0, &size, &failure)) {
    render(out, rec, true);
  } else {
    out.appendf("UDC | INVALID: '%s at byte %" PRIu64 "' ", failure.reason, failure.offset);
  }
  *text = out.text;
  *capacity = out.capacity;
  *length = out.length;
}

void udcw_free_print_data(char** text) {
  if (!text) return;
  free(*text);
  *text = nullptr;
}

bool udc_validate(const void* data, uint64_t available, uint64_t* size, uint64_t* errorOffset,
                  const char** reason) {
  Failure failure{0, "no data"};
  uint64_t n = 0;
  bool ok = data && check(static_cast<const unsigned char*>(data), 0, available, 0, &n, &failure);
  if (size) *size = ok ? n : 0;
  if (!ok) {
    if (errorOffset) *errorOffset = failure.offset;
    if (reason) *reason = failure.reason;
  }
  return ok;
}

const char* udc_type_tag(uint32_t type) {
  switch (type) {
    case 38: return "(NET) ";
    case 39: return "(NETLIST) ";
    case 40: return "(NETSCAN) ";
    case 41: return "(NETDIS) ";
    case 42: return "(PROCLIST) ";
    case 43:
    case 430: return "(PROC) ";
    case 44: return "(CPU) ";
    case 45: return "(DRIVELIST) ";
    case 46: return "(DRIVE) ";
    case 47: return "(MEM) ";
    case 48: return "(ICMP) ";
    case 49: return "(HTTP) ";
    case 50: return "(EVENT) ";
    case 54: return "(OSINFO) ";
    case 57: return "(SNMPOBJ) ";
    case 61: return "(SNMPTRAP) ";
    case 65: return "(APP) ";
    case 66: return "(LOADAVG) ";
    case 67: return "(SNMPTBL) ";
    case 74: return "(MYSQL) ";
    case 480: return "(TCPING) ";
    default: return "";
  }
}
