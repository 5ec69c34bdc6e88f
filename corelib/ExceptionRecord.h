// The exception record every catch-all handler writes:
//   catch (...) { LOG_EXCEPTION_RECORD("MainWorker"); }
// A macro, because the line, the function's full signature and the compile time
// and date are those of the handler's own source file.
#pragma once

#include "corelib/ExLogger.h"

#define LOG_EXCEPTION_RECORD(unit)                                                                     \
  (ExLogger::instance() << "\n\tException in: " << (unit) << ", Line: " << __LINE__                    \
                        << ", Function:" << __PRETTY_FUNCTION__ << "\n\tSource file last compiled at " \
                        << __TIME__ << " on date: " << __DATE__ << ExLoggerEndLine())
