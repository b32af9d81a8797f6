#include <cstdint>
#include <ctime>

#include "platform/file_time.h"

namespace platform {

bool LocalCalendarToFileTime(int year, int month, int day, int hour, int minute, int second,
                             FileTime& out) {
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  // mktime would quietly normalise 31 April into 1 May; the Windows conversion refuses such
  // dates, and both builds must give the same answer.
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  // mktime would re-read the zone file on every call (one system call per item); the zone
  // offset from localtime_r is cached by the C library. Read the fields as UTC, then shift
  // by the offset in force at that moment, checking once more across a DST change.
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int mp = (month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  const std::int64_t asUtc = days * 86400 + hour * 3600 + minute * 60 + second;
  auto offsetAt = [](std::int64_t when, long& offset) {
    const auto tt = static_cast<time_t>(when);
    std::tm tm{};
    if (::localtime_r(&tt, &tm) == nullptr) return false;
    offset = tm.tm_gmtoff;
    return true;
  };
  long offset1 = 0, offset2 = 0;
  if (!offsetAt(asUtc, offset1) || !offsetAt(asUtc - offset1, offset2)) return false;
  const std::int64_t t = asUtc - offset2;
  if (t + kFileTimeUnixEpochSeconds < 0) return false;
  out = FileTimeFromUnixSeconds(t);
  return true;
}

}  // namespace platform
