#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t NowSeconds();

// Breaks `seconds` down as UTC. Returns false (and leaves `out` zeroed) when the value is
// outside what the C runtime can represent.
bool BreakDownUtc(std::int64_t seconds, std::tm& out);

}  // namespace platform
