// Whom the hand-off trusts with a link, by integrity level. Wine gives every process the same
// level (SetTokenInformation with TokenIntegrityLevel succeeds and changes nothing), so a
// server below the launcher is shown here as rows on the decision; the hand-off test runs it
// end to end where the system can lower a process.
#include "launcher/integrity_level.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(IntegrityLevelTest, OnlyAServerAtOrAboveTheLauncherGetsTheLink) {
  constexpr std::optional<std::uint32_t> kUnknown;
  struct Row {
    const char* why;
    std::optional<std::uint32_t> server;
    std::optional<std::uint32_t> own;
    bool trusted;
  } const rows[] = {
      {"the client it started: the launcher's own level", kIntegrityHigh, kIntegrityHigh, true},
      {"a service above the launcher", kIntegritySystem, kIntegrityHigh, true},
      // the same user's unelevated program got the login ticket
      {"a medium server, elevated launcher", kIntegrityMedium, kIntegrityHigh, false},
      {"a sandboxed (low) server", kIntegrityLow, kIntegrityMedium, false},
      {"near miss: medium plus is still below high", kIntegrityMedium + 0x100, kIntegrityHigh,
       false},
      {"an unelevated launcher and its client alike", kIntegrityMedium, kIntegrityMedium, true},
      // a level the launcher could not read passed for the launcher's own
      {"server's level unreadable", kUnknown, kIntegrityHigh, false},
      {"the launcher's own level unreadable", kIntegrityHigh, kUnknown, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(ServerAtOrAboveLauncher(row.server, row.own), row.trusted);
  }
}

}  // namespace
}  // namespace launcher
