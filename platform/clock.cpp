#include "platform/clock.h"

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

}  // namespace platform
