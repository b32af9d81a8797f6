#include "launcher/launch_paths.h"

#include <initializer_list>

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

std::optional<platform::WString> SchemeOpenCommand(platform::WStringView modulePath) {
  return JoinBounded({WIDE("\""), modulePath, WIDE("\" \"%1\"")});
}

std::optional<platform::WString> IconPath(platform::WStringView installFolder,
                                          platform::WStringView clientStem) {
  return JoinBounded({installFolder, WIDE("//"), clientStem, WIDE(".ico")});
}

}  // namespace launcher
