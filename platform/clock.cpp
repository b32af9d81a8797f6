#include "platform/clock.h"

#include <atomic>
#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platform {

std::int64_t NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool BreakDownUtc(std::int64_t seconds, std::tm& out) {
  out = std::tm{};
  const auto t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
  if (gmtime_s(&out, &t) != 0) {
    out = std::tm{};
    return false;
  }
#else
  if (gmtime_r(&t, &out) == nullptr) {
    out = std::tm{};
    return false;
  }
#endif
  return true;
}

std::uint64_t UniqueNumber() {
  static std::atomic<std::uint64_t> counter{0};
#ifdef _WIN32
  const auto process = static_cast<std::uint64_t>(GetCurrentProcessId());
#else
  const auto process = static_cast<std::uint64_t>(::getpid());
#endif
  const auto wall =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  const auto fine =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t x = wall ^ (fine << 21) ^ (process << 42) ^ ++counter;
  // splitmix64's finish: close inputs give unrelated numbers.
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

}  // namespace platform
