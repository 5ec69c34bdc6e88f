// The machine-fault side of the exception log (Windows only). The filter runs
// on whatever the fault left behind: a heap half updated, a lock held by the
// faulting thread, the registry out of reach. So everything it needs is made
// in advance, from ordinary code: the file handle (by prepareFaultLog and the
// line ends, under the logger's mutex) and a static buffer. The filter itself
// formats by hand, allocates nothing, reads no registry and takes no lock
// (the pending text only when the logger's mutex is free at once).
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "corelib/ExLogger.h"
#include "platform/daily_logs.h"
#include "platform/local_time.h"
#include "platform/win32/log_file_win32.h"
#include "platform/win32/wide_text.h"

namespace {

std::atomic<ExLogger*> g_faultLogger{nullptr};
// Whoever takes the handle out owns it, and with it the buffer below: two
// threads faulting at once never write into each other's text.
std::atomic<HANDLE> g_faultFile{nullptr};
std::atomic<int> g_faultDay{0};  // yyyymmdd of g_faultFile; changed under the logger's mutex
char g_faultText[2048];

void close_fault_file() {
  HANDLE old = g_faultFile.exchange(nullptr);
  if (old) CloseHandle(old);
  g_faultDay = 0;
}

// Appends to a fixed buffer, cutting what does not fit.
class FixedText {
 public:
  FixedText(char* buffer, size_t capacity) : m_begin(buffer), m_at(buffer), m_end(buffer + capacity) {}

  void put(char c) {
    if (m_at < m_end) *m_at++ = c;
  }
  void put(const char* text) {
    while (*text) put(*text++);
  }
  void decimal(unsigned long long value, int width = 1) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    for (int i = n; i < width; ++i) put('0');
    while (n) put(digits[--n]);
  }
  // `width` digits, or as many as the value needs when 0.
  void hex(unsigned long long value, int width, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = width;
    if (n == 0) {
      n = 1;
      while (n < 16 && (value >> (4 * n))) ++n;
    }
    for (int i = n - 1; i >= 0; --i) put(set[(value >> (4 * i)) & 0xF]);
  }
  char* at() { return m_at; }
  size_t room() const { return static_cast<size_t>(m_end - m_at); }
  void advance(size_t n) { m_at += n < room() ? n : room(); }
  size_t size() const { return static_cast<size_t>(m_at - m_begin); }

 private:
  char* m_begin;
  char* m_at;
  char* m_end;
};

LONG WINAPI unhandled_fault(EXCEPTION_POINTERS* info) {
  unsigned int code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  // 1 is EXCEPTION_EXECUTE_HANDLER: for the top-level filter that means the
  // process ends now, with the fault's code as its exit code, and no debugger
  // or error dialog is waited for.
  return filterFunc(code, info);
}

}  // namespace

void fault_log_attach(ExLogger* logger) {
  if (g_faultLogger.exchange(logger) != logger) close_fault_file();
}

void fault_log_detach(const ExLogger* logger) {
  ExLogger* expected = const_cast<ExLogger*>(logger);
  if (g_faultLogger.compare_exchange_strong(expected, nullptr)) close_fault_file();
}

void fault_log_refresh(const ExLogger* logger, const std::string& folder) {
  if (g_faultLogger.load() != logger) return;
  if (folder.empty()) {
    close_fault_file();
    return;
  }
  platform::LocalTime today = platform::local_now();
  int day = today.year * 10000 + today.month * 100 + today.day;
  if (day == g_faultDay && g_faultFile.load()) return;
  std::wstring path;
  if (!platform::to_wide(folder + platform::daily_log_name("monexception_", today), path)) return;
  HANDLE file = platform::open_log_file(path.c_str());
  HANDLE old = g_faultFile.exchange(file == INVALID_HANDLE_VALUE ? nullptr : file);
  if (old) CloseHandle(old);
  g_faultDay = file == INVALID_HANDLE_VALUE ? 0 : day;
}

int filterFunc(unsigned int code, EXCEPTION_POINTERS* info) {
  HANDLE file = g_faultFile.exchange(nullptr);
  if (!file) return 1;  // Trace was 0, or no file could be had: nothing is recorded

  FixedText line(g_faultText, sizeof(g_faultText));
  SYSTEMTIME now;
  GetLocalTime(&now);
  line.decimal(now.wHour, 2);
  line.put(':');
  line.decimal(now.wMinute, 2);
  line.put(':');
  line.decimal(now.wSecond, 2);
  line.put(" Thread ID:");
  line.decimal(GetCurrentThreadId());
  line.put(" :");
  // What the thread had streamed for its record before the fault, leaving room
  // for the fault's own text (at most 87 characters) and the line end.
  constexpr size_t kFaultTextRoom = 128;
  ExLogger* logger = g_faultLogger.load();
  if (logger && line.room() > kFaultTextRoom)
    line.advance(logger->copyPendingTextNoWait(line.at(), line.room() - kFaultTextRoom));

  const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
  line.put("\n\tMachine fault 0x");
  line.hex(code, 8, true);
  line.put(" at address 0x");
  line.hex(record ? reinterpret_cast<uintptr_t>(record->ExceptionAddress) : 0, 16, true);
  if (record && (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR) &&
      record->NumberParameters >= 2) {
    ULONG_PTR kind = record->ExceptionInformation[0];
    line.put(kind == 0 ? ", reading 0x" : kind == 8 ? ", executing 0x" : ", writing 0x");
    line.hex(record->ExceptionInformation[1], 0, false);
  }
  line.put('\n');

  DWORD written = 0;
  WriteFile(file, g_faultText, static_cast<DWORD>(line.size()), &written, nullptr);
  HANDLE empty = nullptr;
  // Back for the next fault, unless a line end has put a newer file there meanwhile.
  if (!g_faultFile.compare_exchange_strong(empty, file)) CloseHandle(file);
  return 1;
}

void install_fault_filter() {
  ExLogger::instance().prepareFaultLog();
  SetUnhandledExceptionFilter(unhandled_fault);
}
