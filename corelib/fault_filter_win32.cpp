// The machine-fault side of the exception log (Windows only).
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "corelib/ExLogger.h"

namespace {

LONG WINAPI unhandled_fault(EXCEPTION_POINTERS* info) {
  unsigned int code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  // 1 is EXCEPTION_EXECUTE_HANDLER: for the top-level filter that means the
  // process ends now, with the fault's code as its exit code, and no debugger
  // or error dialog is waited for.
  return filterFunc(code, info);
}

}  // namespace

int filterFunc(unsigned int code, EXCEPTION_POINTERS* info) {
  char text[256];
  const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
  unsigned long long address = record ? reinterpret_cast<uintptr_t>(record->ExceptionAddress) : 0;
  int length =
      std::snprintf(text, sizeof(text), "\n\tMachine fault 0x%08X at address 0x%016llX", code, address);
  if (record && (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR) &&
      record->NumberParameters >= 2 && length > 0 && static_cast<size_t>(length) < sizeof(text)) {
    const char* kind = record->ExceptionInformation[0] == 0   ? "reading"
                       : record->ExceptionInformation[0] == 8 ? "executing"
                                                              : "writing";
    std::snprintf(text + length, sizeof(text) - length, ", %s 0x%llx", kind,
                  static_cast<unsigned long long>(record->ExceptionInformation[1]));
  }
  ExLogger::instance().writeFaultLine(text);
  return 1;
}

void install_fault_filter() { SetUnhandledExceptionFilter(unhandled_fault); }
