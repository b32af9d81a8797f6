#include "launcher/command_text.h"

#include <string>

#include "launcher/client_app.h"
#include "launcher/launch_paths.h"

namespace launcher {
namespace {

constexpr platform::WStringView kForceRunPrefix = WIDE("forcerun:");
constexpr platform::WStringView kScheme = WIDE("quorvane:");
constexpr platform::WStringView kAuthorityMark = WIDE("//");
constexpr platform::WStringView kAdminMarker = WIDE(" IsAdmin");

platform::WChar AsciiLower(platform::WChar c) {
  return c >= WIDE('A') && c <= WIDE('Z') ? static_cast<platform::WChar>(c - WIDE('A') + WIDE('a'))
                                          : c;
}

// The first "quorvane:" in any letter case, or npos.
std::size_t FindScheme(platform::WStringView text) {
  for (std::size_t at = 0; at + kScheme.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < kScheme.size() && AsciiLower(text[at + i]) == kScheme[i]) ++i;
    if (i == kScheme.size()) return at;
  }
  return platform::WString::npos;
}

bool IsHighSurrogate(platform::WChar c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(platform::WChar c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendPercentUtf8(platform::WStringView character, platform::WString& out) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string bytes;
  // A lone surrogate has no UTF-8 form: the client gets the replacement character.
  if (!platform::Utf16ToUtf8(character, bytes)) bytes = "\xEF\xBF\xBD";
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    out += WIDE('%');
    out += static_cast<platform::WChar>(kHexDigits[b >> 4]);
    out += static_cast<platform::WChar>(kHexDigits[b & 0xF]);
  }
}

}  // namespace

platform::WString EscapeUrlPart(platform::WStringView urlPart, platform::CodePage clientPage) {
  platform::WString escaped;
  escaped.reserve(urlPart.size());
  for (std::size_t i = 0; i < urlPart.size(); ++i) {
    const std::size_t units =
        IsHighSurrogate(urlPart[i]) && i + 1 < urlPart.size() && IsLowSurrogate(urlPart[i + 1]) ? 2
                                                                                                : 1;
    const platform::WStringView character = urlPart.substr(i, units);
    i += units - 1;
    const platform::WChar c = character[0];
    // The shell's closing quotation mark ends the command text; the client has always got it.
    const bool closingQuote = c == WIDE('"') && i + 1 == urlPart.size();
    // A blank, tab or quotation mark would end the URL's argument and start one of the link's
    // own; a control character may do the same in whatever parses the client's command line,
    // and a '\\' before a quotation mark makes it text.
    const bool splits = c == WIDE(' ') || c == WIDE('\t') || c == WIDE('"') || c == WIDE('\\') ||
                        c < 0x20 || c == 0x7F;
    if (closingQuote || (!splits && (c < 0x80 || platform::CodePageHolds(character, clientPage)))) {
      escaped += character;
      continue;
    }
    AppendPercentUtf8(character, escaped);
  }
  return escaped;
}

CommandText ParseCommandText(platform::WStringView commandText) {
  CommandText command;
  if (commandText.substr(0, kForceRunPrefix.size()) == kForceRunPrefix) {
    command.forceRun = true;
    commandText.remove_prefix(kForceRunPrefix.size());
  }
  command.text.assign(commandText);
  const std::size_t position = FindScheme(command.text);
  if (position == platform::WString::npos) return command;
  command.schemePosition = position;
  command.urlPosition = position + kScheme.size();
  if (platform::WStringView(command.text).substr(command.urlPosition, kAuthorityMark.size()) ==
      kAuthorityMark) {
    command.urlPosition += kAuthorityMark.size();
  }
  return command;
}

platform::WString ParameterBase(const CommandText& command, platform::CodePage clientPage) {
  if (!command.schemePosition) return command.text;
  return EscapeUrlPart(platform::WStringView(command.text).substr(command.urlPosition), clientPage);
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
