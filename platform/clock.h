#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t NowSeconds();

// Breaks `seconds` down as UTC. Returns false (and leaves `out` zeroed) when the value is
// outside what the C runtime can represent.
bool BreakDownUtc(std::int64_t seconds, std::tm& out);

// A number for the names of temporary files, from the clock, the process id and a counter:
// no two calls of one run and no two runs are likely to give the same, and nobody can know it
// beforehand to make a file of that name.
std::uint64_t UniqueNumber();

}  // namespace platform
