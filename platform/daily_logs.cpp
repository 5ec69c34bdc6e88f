#include "platform/daily_logs.h"

#include <cstdio>

#include "platform/files.h"

namespace platform {

std::string daily_log_name(const std::string& prefix, const LocalTime& date) {
  char name[32];
  std::snprintf(name, sizeof(name), "%04d_%02d_%02d.log", date.year, date.month, date.day);
  return prefix + name;
}

int copy_daily_logs(const std::string& log_folder, const std::string& destination, int days,
                    std::initializer_list<const char*> prefixes, const CopyFile& copy,
                    const LocalTime* from_day) {
  if (days <= 0) return 0;
  // No log file is older than the agent; the bound keeps a careless count from
  // walking billions of days.
  constexpr int kMaxDays = 100 * 366;
  if (days > kMaxDays) days = kMaxDays;
  LocalTime today = from_day != nullptr ? *from_day : local_now();
  int copied = 0;
  for (int back = days - 1; back >= 0; --back) {
    LocalTime day = add_days(today, -back);
    for (const char* prefix : prefixes) {
      std::string name = daily_log_name(prefix, day);
      if (copy(join_path(log_folder, name), join_path(destination, name))) ++copied;
    }
  }
  return copied;
}

}  // namespace platform
