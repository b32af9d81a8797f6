#include "log/narrow_for_log.h"

namespace streamlog {

// The conversion is the platform's, not the C runtime's locale machinery, so no
// process-wide locale is switched while a line is written.
std::string NarrowForLog(platform::WStringView text) {
  std::string narrow;
  if (!platform::WideToNarrow(text, platform::CodePage::kChinese, narrow)) return {};
  return narrow;
}

}  // namespace streamlog
