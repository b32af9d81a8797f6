#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "zip/zip_time.h"

namespace {

constexpr std::int64_t kEpochDelta = 11644473600;

std::int64_t UnixSeconds(platform::FileTime t) {
  return static_cast<std::int64_t>(t / 10000000) - kEpochDelta;
}

std::uint32_t Dos(int y, int mo, int d, int h, int mi, int s) {
  const auto date = static_cast<std::uint32_t>(((y - 1980) << 9) | (mo << 5) | d);
  const auto time = static_cast<std::uint32_t>((h << 11) | (mi << 5) | (s / 2));
  return (date << 16) | time;
}

// Run by CTest with TZ=CET-1CEST,M3.5.0,M10.5.0/3: a DOS time is read with the offset in force
// on its own date, summer or winter.
TEST(ZipTimeDstTest, DosTimeUsesTheOffsetOfItsDate) {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr || std::strncmp(tz, "CET-1CEST", 9) != 0) {
    GTEST_SKIP() << "needs TZ=CET-1CEST,M3.5.0,M10.5.0/3 (set by ctest)";
  }
#ifdef _WIN32
  GTEST_SKIP() << "LocalFileTimeToFileTime applies the offset in force now, not on the date";
#endif
  struct Row {
    std::uint32_t dos;
    std::int64_t utc;
  } rows[] = {
      {Dos(2021, 1, 15, 12, 0, 0), 1610708400},   // winter: UTC+1
      {Dos(2021, 7, 15, 12, 0, 0), 1626343200},   // summer: UTC+2
      {Dos(2021, 3, 28, 1, 59, 58), 1616893198},  // the second before the change
      {Dos(2021, 3, 28, 3, 0, 0), 1616893200},    // the first local time after it
  };
  for (const Row& r : rows) EXPECT_EQ(UnixSeconds(zip::DosTimeToFileTime(r.dos)), r.utc) << r.dos;
}

TEST(ZipTimeTest, FormatsIsoUtcWithinItsBuffer) {
  char buf[21];
  ASSERT_TRUE(zip::FormatIsoUtc((1600000000 + kEpochDelta) * 10000000ull, buf, sizeof buf));
  EXPECT_STREQ(buf, "2020-09-13T12:26:40Z");
  char tiny[20];  // one short of the terminator: refused, left empty, not cut
  EXPECT_FALSE(zip::FormatIsoUtc((1600000000 + kEpochDelta) * 10000000ull, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "");
}

}  // namespace
