// Daily log files: "<prefix>YYYY_MM_DD.log" in the log folder, and copying the
// files of the last N days, which log collection does for every kind of log.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

#include "platform/local_time.h"

namespace platform {

std::string daily_log_name(const std::string& prefix, const LocalTime& date);

// For each day from today - days + 1 to today, oldest first, and each prefix in
// the order given, calls copy(from, to) with the file in `log_folder` and the
// same name in `destination`. Returns how many copies succeeded (0 for days <= 0).
// `today`, when given, is the day counted from (one moment for a whole
// collection); else the current local date.
using CopyFile = std::function<bool(const std::string& from, const std::string& to)>;
int copy_daily_logs(const std::string& log_folder, const std::string& destination, int days,
                    std::initializer_list<const char*> prefixes, const CopyFile& copy,
                    const LocalTime* today = nullptr);

}  // namespace platform
