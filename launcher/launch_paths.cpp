#include "launcher/launch_paths.h"

#include <algorithm>
#include <initializer_list>

#include "launcher/client_app.h"

namespace launcher {
namespace {

// Joins the pieces if the result plus its terminator fits the path buffer. A cut path
// would name some other file, so an overlong one is refused whole.
std::optional<platform::WString> JoinBounded(std::initializer_list<platform::WStringView> parts) {
  std::size_t units = 0;
  for (const platform::WStringView part : parts) units += part.size();
  if (units + 1 > kPathBufferUnits) return std::nullopt;
  platform::WString joined;
  joined.reserve(units);
  for (const platform::WStringView part : parts) joined += part;
  return joined;
}

}  // namespace

std::optional<platform::WString> ConfigurationPath(platform::WStringView installFolder) {
  return JoinBounded({installFolder, WIDE("//ProductConfig.xml")});
}

bool FormatClientPath(platform::WStringView installFolder, platform::WChar* buffer,
                      std::size_t bufferUnits) {
  if (bufferUnits == 0) return false;
  buffer[0] = 0;
  if (installFolder.empty()) return false;
  const platform::WChar last = installFolder.back();
  const platform::WStringView separator =
      last == WIDE('\\') || last == WIDE('/') ? WIDE("") : WIDE("\\");
  const std::size_t units = installFolder.size() + separator.size() + kClientExecutable.size();
  if (units >= bufferUnits) return false;
  platform::WChar* end = std::copy(installFolder.begin(), installFolder.end(), buffer);
  end = std::copy(separator.begin(), separator.end(), end);
  end = std::copy(kClientExecutable.begin(), kClientExecutable.end(), end);
  *end = 0;
  return true;
}

std::optional<platform::WString> SchemeOpenCommand(platform::WStringView modulePath) {
  return JoinBounded({WIDE("\""), modulePath, WIDE("\" \"%1\"")});
}

std::optional<platform::WString> IconPath(platform::WStringView installFolder,
                                          platform::WStringView clientStem) {
  return JoinBounded({installFolder, WIDE("//"), clientStem, WIDE(".ico")});
}

bool FormatClientCommandLine(platform::WStringView clientPath, platform::WStringView parameters,
                             platform::WChar* buffer, std::size_t bufferUnits) {
  if (bufferUnits == 0) return false;
  buffer[0] = 0;
  const std::size_t separator = parameters.empty() ? 0 : 1;
  // Two quotation marks and the terminator.
  if (clientPath.size() > bufferUnits || parameters.size() > bufferUnits ||
      clientPath.size() + parameters.size() + separator + 3 > bufferUnits) {
    return false;
  }
  platform::WChar* end = buffer;
  *end++ = WIDE('"');
  end = std::copy(clientPath.begin(), clientPath.end(), end);
  *end++ = WIDE('"');
  if (separator != 0) *end++ = WIDE(' ');
  end = std::copy(parameters.begin(), parameters.end(), end);
  *end = 0;
  return true;
}

}  // namespace launcher
