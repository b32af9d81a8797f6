// The launcher's reading of its command text: the force-run prefix, the first
// "quorvane://" URL, and the parameter string the client is started with.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace launcher {

struct CommandText {
  // The text with a leading "forcerun:" removed.
  platform::WString text;
  bool forceRun = false;
  // Index in `text` of the first "quorvane://", if any.
  std::optional<std::size_t> schemePosition;
};

// Case-sensitive: "forcerun:" counts only at the very first character; the scheme anywhere.
CommandText ParseCommandText(platform::WStringView commandText);

// Everything behind the first "quorvane://" (a closing quotation mark stays), or the whole
// text when there is no URL.
platform::WString ParameterBase(const CommandText& command);

// base + " IsAdmin" when both modifier keys are down + " " + each configured argument.
platform::WString BuildParameterString(const CommandText& command, bool adminKeysDown,
                                       const std::vector<platform::WString>& configuredArgs);

}  // namespace launcher
