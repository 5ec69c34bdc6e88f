// ExLogger: the process-wide exception log of the shared library. Catch-all
// handlers stream a record into it piece by piece (LOG_EXCEPTION_RECORD in
// ExceptionRecord.h) and end it with ExLoggerEndLine; the logger then appends
// "hh:mm:ss Thread ID:<id> :<text>\n" to "monexception_YYYY_MM_DD.log" in the
// log folder, while Trace is non-zero. Each thread assembles its own line, so
// pieces from different threads never mix; one mutex serialises everything.
//
// A line ended while Trace is 0 is dropped: keeping it would put a stale record,
// with the wrong time, in front of an unrelated one much later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "corelib/corelib_api.h"

namespace platform {
class ConfigStore;
}

struct ExLoggerEndLine {};

class CORELIB_API ExLogger {
 public:
  // The logger of the process, over the machine's store and log folder; made on
  // first call.
  static ExLogger& instance();
  // Frees the instance; the next instance() makes a new one.
  static void destroy();

  // A logger over other sources (tests, tools). `folder` gives the log folder.
  ExLogger(platform::ConfigStore& store, std::function<std::string()> folder);
  ~ExLogger();
  ExLogger(const ExLogger&) = delete;
  ExLogger& operator=(const ExLogger&) = delete;

  ExLogger& operator<<(char value);
  ExLogger& operator<<(int16_t value);
  ExLogger& operator<<(uint16_t value);
  ExLogger& operator<<(int32_t value);
  ExLogger& operator<<(uint32_t value);
  ExLogger& operator<<(long value);
  ExLogger& operator<<(unsigned long value);
  ExLogger& operator<<(long long value);
  ExLogger& operator<<(unsigned long long value);
  ExLogger& operator<<(float value);
  ExLogger& operator<<(double value);
  ExLogger& operator<<(const std::string& value);
  ExLogger& operator<<(const char* value);
  ExLogger& operator<<(const ExLoggerEndLine&);

  // Copies the exception logs of the last `days` days into `folder`, each copy
  // under the mutex; returns how many were copied.
  // `today` (year, month, day), when given, is the day counted from.
  int CopyLogFiles(const char* folder, int days, const int* today = nullptr);

  // Kept for callers; the logger itself does not consult it.
  bool isThrowExceptions() const;
  void setIsThrowExceptions(bool value);

  // Makes this logger the one whose thread texts the fault filter writes, and
  // opens today's exception log in its folder for the filter while Trace is on
  // (the filter opens nothing itself). Every line end keeps that file up to
  // date: another after midnight, none while Trace is 0. Windows only; nothing
  // elsewhere.
  void prepareFaultLog();

  // For the fault filter: copies the calling thread's pending text into
  // `buffer` (zero-terminated, cut to capacity - 1 bytes), allocating nothing
  // and without waiting: nothing when the mutex is held elsewhere (perhaps by
  // the very thread that faulted). Returns the length copied.
  size_t copyPendingTextNoWait(char* buffer, size_t capacity) noexcept;

 private:
  struct Impl;
  Impl* m_impl;
};

#ifdef _WIN32
struct _EXCEPTION_POINTERS;

// The structured-exception filter: writes the fault's record (code, address)
// and returns 1, execute the handler. It runs on whatever state the fault left:
// it formats into a static buffer, allocates nothing, reads no registry, waits
// for no lock and writes with WriteFile to the file prepareFaultLog opened.
CORELIB_API int filterFunc(unsigned int code, struct _EXCEPTION_POINTERS* info);

// Prepares the process's logger (prepareFaultLog) and makes filterFunc the
// process's unhandled-exception filter. GCC-built code
// cannot catch a machine fault, and carrying on after one would run on corrupt
// state: the filter records it and the process ends with the fault's code, so
// that the service's restart actions bring it back.
CORELIB_API void install_fault_filter();
#endif
