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

// Everything behind the first "quorvane://", or the whole text when there is no URL. In the
// URL part every blank, tab, quotation mark and control character becomes %XX (upper-case
// hex), so that a link cannot add arguments to the client's command line; only a quotation
// mark that ends the text (the shell's closing one) stays, and a URL part without such
// characters is unchanged. The client gets this text as parameters and over the pipe alike.
platform::WString ParameterBase(const CommandText& command);

// The longest command line Windows gives a process, in UTF-16 units, terminator included.
inline constexpr std::size_t kCommandLineLimitUnits = 32767;

// Units a parameter string may take when the client in `installFolder` is started: the shell
// runs it as "<folder>\Veltmora.exe" <parameters>. An empty folder (unknown) counts as the
// longest path the path buffer holds.
std::size_t ParameterBudget(platform::WStringView installFolder);

struct ParameterString {
  platform::WString text;
  std::size_t wantedUnits = 0;  // length of the whole string, had every part fitted
  std::size_t partsLeftOut = 0;
};

// base + " IsAdmin" when both modifier keys are down + " " + each configured argument.
// A string longer than `budgetUnits` would be cut by the system wherever the limit falls,
// so only parts that fit whole are kept, in this order: the base (only if it fits), the
// marker, then the arguments until the first that does not fit.
ParameterString BuildParameterString(const CommandText& command, bool adminKeysDown,
                                     const std::vector<platform::WString>& configuredArgs,
                                     std::size_t budgetUnits);

}  // namespace launcher
