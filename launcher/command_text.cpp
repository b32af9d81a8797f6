#include "launcher/command_text.h"

#include "launcher/client_app.h"
#include "launcher/launch_paths.h"

namespace launcher {
namespace {

constexpr platform::WStringView kForceRunPrefix = WIDE("forcerun:");
constexpr platform::WStringView kScheme = WIDE("quorvane://");
constexpr platform::WStringView kAdminMarker = WIDE(" IsAdmin");

// A blank, tab or quotation mark would end the URL's argument and start one of the link's
// own; a control character may do the same in whatever parses the client's command line.
platform::WString EscapeUrlPart(platform::WStringView urlPart) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  platform::WString escaped;
  escaped.reserve(urlPart.size());
  for (std::size_t i = 0; i < urlPart.size(); ++i) {
    const platform::WChar c = urlPart[i];
    // The shell's closing quotation mark ends the command text; the client has always got it.
    const bool closingQuote = c == WIDE('"') && i + 1 == urlPart.size();
    const bool splits =
        c == WIDE(' ') || c == WIDE('\t') || c == WIDE('"') || c < 0x20 || c == 0x7F;
    if (!splits || closingQuote) {
      escaped += c;
      continue;
    }
    escaped += WIDE('%');
    escaped += static_cast<platform::WChar>(kHexDigits[(c >> 4) & 0xF]);
    escaped += static_cast<platform::WChar>(kHexDigits[c & 0xF]);
  }
  return escaped;
}

}  // namespace

CommandText ParseCommandText(platform::WStringView commandText) {
  CommandText command;
  if (commandText.substr(0, kForceRunPrefix.size()) == kForceRunPrefix) {
    command.forceRun = true;
    commandText.remove_prefix(kForceRunPrefix.size());
  }
  command.text.assign(commandText);
  const std::size_t position = command.text.find(kScheme);
  if (position != platform::WString::npos) command.schemePosition = position;
  return command;
}

platform::WString ParameterBase(const CommandText& command) {
  if (!command.schemePosition) return command.text;
  return EscapeUrlPart(
      platform::WStringView(command.text).substr(*command.schemePosition + kScheme.size()));
}

std::size_t ParameterBudget(platform::WStringView installFolder) {
  // Two quotation marks around the path, the blank behind it and the terminator.
  constexpr std::size_t kFixedUnits = 4;
  std::size_t pathUnits = kPathBufferUnits - 1;
  if (!installFolder.empty()) {
    const platform::WChar last = installFolder.back();
    const bool separated = last == WIDE('\\') || last == WIDE('/');
    pathUnits = installFolder.size() + (separated ? 0 : 1) + kClientExecutable.size();
  }
  if (pathUnits + kFixedUnits >= kCommandLineLimitUnits) return 0;
  return kCommandLineLimitUnits - kFixedUnits - pathUnits;
}

ParameterString BuildParameterString(const CommandText& command, bool adminKeysDown,
                                     const std::vector<platform::WString>& configuredArgs,
                                     std::size_t budgetUnits) {
  ParameterString result;
  platform::WString& text = result.text;
  auto fits = [&](std::size_t units) { return units <= budgetUnits - text.size(); };

  const platform::WString base = ParameterBase(command);
  result.wantedUnits = base.size();
  if (fits(base.size())) {
    text = base;
  } else {
    ++result.partsLeftOut;
  }
  if (adminKeysDown) {
    result.wantedUnits += kAdminMarker.size();
    if (fits(kAdminMarker.size())) {
      text += kAdminMarker;
    } else {
      ++result.partsLeftOut;
    }
  }
  // Arguments stop at the first that does not fit: a later one alone would change meaning.
  bool full = false;
  for (const platform::WString& arg : configuredArgs) {
    result.wantedUnits += 1 + arg.size();
    full = full || !fits(1 + arg.size());
    if (full) {
      ++result.partsLeftOut;
      continue;
    }
    text += WIDE(' ');
    text += arg;
  }
  return result;
}

}  // namespace launcher
