// Local wall-clock time and the calling thread's identifier, as log lines and
// daily log file names show them.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

struct LocalTime {
  int year;    // e.g. 2026
  int month;   // 1-12
  int day;     // 1-31
  int hour;    // 0-23
  int minute;  // 0-59
  int second;  // 0-60
};

LocalTime to_local_time(std::time_t when);
inline LocalTime local_now() { return to_local_time(std::time(nullptr)); }

// The calendar date `days` days after (or, negative, before) `date`'s date;
// the time of day is zeroed. Pure calendar arithmetic: no time zone, so a day
// of 23 or 25 hours is neither skipped nor repeated.
LocalTime add_days(const LocalTime& date, int days);

// The operating system's identifier of the calling thread (GetCurrentThreadId
// on Windows, the kernel's thread id natively).
uint32_t current_thread_id();

}  // namespace platform
