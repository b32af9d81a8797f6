// File times as the launcher keeps them on every platform: Windows FILETIME units.
#pragma once

#include <cstdint>

namespace platform {

// 100-ns units since 1601-01-01 00:00 UTC, the unit of a Windows FILETIME on every platform.
using FileTime = std::uint64_t;

inline constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kFileTimeUnixEpochSeconds = 11644473600;

// Seconds since 1970-01-01 00:00 UTC as a FileTime; times before 1601 give 0.
inline FileTime FileTimeFromUnixSeconds(std::int64_t seconds) {
  const std::int64_t ticks = (seconds + kFileTimeUnixEpochSeconds) * kFileTimeTicksPerSecond;
  return ticks < 0 ? 0 : static_cast<FileTime>(ticks);
}

// Whole seconds since 1970-01-01 00:00 UTC.
inline std::int64_t UnixSecondsFromFileTime(FileTime t) {
  return static_cast<std::int64_t>(t / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
}

// Times to set on a file; a zero value leaves that time alone. POSIX has no creation time,
// so `creation` is ignored there.
struct FileTimes {
  FileTime creation = 0;
  FileTime access = 0;
  FileTime modification = 0;
};

// Converts a calendar time read as local time (the process's time zone) to UTC. Fields are
// full values (year 1980, month 1-12, ...). False when the fields do not form a valid time.
bool LocalCalendarToFileTime(int year, int month, int day, int hour, int minute, int second,
                             FileTime& out);

}  // namespace platform
