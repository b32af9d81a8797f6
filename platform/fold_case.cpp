#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/text.h"

namespace platform {
namespace {

// Units first..last (every one, or every other one from first) map to themselves plus delta.
struct UpcaseRun {
  std::uint16_t first;
  std::uint16_t last;
  std::int32_t delta;
  std::uint8_t step;
};

constexpr UpcaseRun kUpcase[] = {
#include "platform/ntfs_upcase_table.inc"
};

WChar Upcase(WChar c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<WChar>(c - 32) : c;
  const auto unit = static_cast<std::uint16_t>(c);
  // The last run that starts at or before the unit.
  const auto* run =
      std::upper_bound(std::begin(kUpcase), std::end(kUpcase), unit,
                       [](std::uint16_t u, const UpcaseRun& r) { return u < r.first; });
  if (run == std::begin(kUpcase)) return c;
  --run;
  if (unit > run->last || (unit - run->first) % run->step != 0) return c;
  return static_cast<WChar>(static_cast<std::uint16_t>(unit + run->delta));
}

}  // namespace

// NTFS's own table, on every platform and whatever the running system's: the names an install
// on any Windows treats as one file are the ones the plan treats as one.
WString FoldCase(WStringView text) {
  WString out(text);
  for (WChar& c : out) c = Upcase(c);
  return out;
}

}  // namespace platform
