// The launcher's reading of its command text: the force-run prefix, the first
// "quorvane:" link, and the parameter string the client is started with.
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
  // Index in `text` of the first "quorvane:", if any.
  std::optional<std::size_t> schemePosition;
  // Index in `text` where the URL part begins: behind that "quorvane:" and its "//", if any.
  std::size_t urlPosition = 0;
};

// "forcerun:" counts only at the very first character and in these letters; the scheme
// anywhere, in any letter case and with or without "//": the shell hands a link over however
// its page spelled it.
CommandText ParseCommandText(platform::WStringView commandText);

// The URL part as the client may get it in `clientPage`, the code page an ANSI client reads its
// command line in: every blank, tab, quotation mark, control character and '\' becomes %XX
// (upper-case hex), and so does every character `clientPage` cannot hold exactly, as the %XX of
// its UTF-8 bytes (a lone surrogate as U+FFFD's). Best fit would make a blank, a quotation mark
// or a '\' of a look-alike, and a '\' before the closing quotation mark would escape it. Only
// a quotation mark that ends the text (the shell's closing one) stays; '%' stays as it is.
platform::WString EscapeUrlPart(platform::WStringView urlPart, platform::CodePage clientPage);

// The URL part escaped for `clientPage` (the system's ANSI code page unless told), or the whole
// text when there is no URL. The client gets this text as parameters and over the pipe alike.
platform::WString ParameterBase(const CommandText& command,
                                platform::CodePage clientPage = platform::CodePage::kAnsi);

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
