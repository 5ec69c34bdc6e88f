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
  int CopyLogFiles(const char* folder, int days);

  // Kept for callers; the logger itself does not consult it.
  bool isThrowExceptions() const;
  void setIsThrowExceptions(bool value);

  // Ends the calling thread's line with `text` from a fault filter: waits a
  // bounded time for the mutex (the faulting thread may hold it) and writes
  // without it when that runs out.
  void writeFaultLine(const char* text);

 private:
  struct Impl;
  Impl* m_impl;
};

#ifdef _WIN32
struct _EXCEPTION_POINTERS;

// The structured-exception filter: writes the fault's record (code, address)
// and returns 1, execute the handler.
CORELIB_API int filterFunc(unsigned int code, struct _EXCEPTION_POINTERS* info);

// Makes filterFunc the process's unhandled-exception filter. GCC-built code
// cannot catch a machine fault, and carrying on after one would run on corrupt
// state: the filter records it and the process ends with the fault's code, so
// that the service's restart actions bring it back.
CORELIB_API void install_fault_filter();
#endif
