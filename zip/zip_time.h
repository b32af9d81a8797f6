// Item times: the DOS date and time of a directory record and the "UT" extended-timestamp
// block of a local extra field, both turned into UTC file times.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_time.h"

namespace zip {

struct ItemTimes {
  platform::FileTime access = 0;
  platform::FileTime creation = 0;
  platform::FileTime modification = 0;
};

// 1980-01-01 00:00:00 UTC, the earliest DOS time: what a DOS date or time that is not a
// calendar time (month 0, 30 February, hour 25...) becomes, in every time zone.
inline constexpr platform::FileTime kDosEpochUtc = 119600064000000000ull;

// `dosTime` holds the time in its low 16 bits and the date in its high 16 bits, read as local
// time in the process's time zone.
platform::FileTime DosTimeToFileTime(std::uint32_t dosTime);

// Walks the blocks of a local extra field and applies the first "UT" block's times over
// `times`. A time the block's flags announce but its data (or the field) does not hold is
// left as it was; nothing outside extra[0, length) is read.
void ApplyExtendedTimestamp(const unsigned char* extra, std::size_t length, ItemTimes& times);

// Formats `t` as "YYYY-MM-DDTHH:MM:SSZ" into `out` (`size` bytes, always terminated when
// size > 0). False when the time cannot be represented or the buffer is too small.
bool FormatIsoUtc(platform::FileTime t, char* out, std::size_t size);

}  // namespace zip
