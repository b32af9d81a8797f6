#include "zip/zip_time.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "zip/little_endian.h"

namespace zip {

platform::FileTime DosTimeToFileTime(std::uint32_t dosTime) {
  const std::uint32_t time = dosTime & 0xFFFF;
  const std::uint32_t date = dosTime >> 16;
  platform::FileTime out = 0;
  if (!platform::LocalCalendarToFileTime(
          static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 15),
          static_cast<int>(date & 31), static_cast<int>(time >> 11),
          static_cast<int>((time >> 5) & 63), static_cast<int>((time & 31) * 2), out)) {
    return kDosEpochUtc;
  }
  return out;
}

void ApplyExtendedTimestamp(const unsigned char* extra, std::size_t length, ItemTimes& times) {
  if (extra == nullptr || length <= 4) return;
  std::size_t offset = 0;
  while (offset + 4 < length) {
    const std::size_t size = Get16(extra + offset + 2);
    if (extra[offset] == 'U' && extra[offset + 1] == 'T') {
      // The block may claim more data than the field holds; read only what both allow.
      const std::size_t dataEnd = offset + 4 + size < length ? offset + 4 + size : length;
      std::size_t at = offset + 4;
      if (at >= dataEnd) return;
      const unsigned flags = extra[at++];
      platform::FileTime* slots[3] = {&times.modification, &times.access, &times.creation};
      for (int bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (dataEnd - at < 4) return;
        const std::uint32_t raw = Get32(extra + at);
        // Stored as signed 32-bit seconds since 1970.
        *slots[bit] = platform::FileTimeFromUnixSeconds(static_cast<std::int32_t>(raw));
        at += 4;
      }
      return;
    }
    offset += 4 + size;
  }
}

bool FormatIsoUtc(platform::FileTime t, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  const std::int64_t seconds = platform::UnixSecondsFromFileTime(t);
  std::tm tm{};
  if (!platform::BreakDownUtc(seconds, tm)) return false;
  const int n = std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace zip
