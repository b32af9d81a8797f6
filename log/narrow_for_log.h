#pragma once

#include <string>

#include "platform/text.h"

namespace streamlog {

// Wide text as it appears in a log line: code page 936, or empty text when any character
// has no representation there.
std::string NarrowForLog(platform::WStringView text);

}  // namespace streamlog
