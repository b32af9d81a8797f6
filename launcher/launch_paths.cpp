#include "launcher/launch_paths.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
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

platform::WString LaunchLockName(platform::WStringView installFolder) {
  platform::WString folder = platform::FoldCase(installFolder);
  for (platform::WChar& c : folder) {
    if (c == WIDE('/')) c = WIDE('\\');
  }
  while (folder.size() > 1 && folder.back() == WIDE('\\')) folder.pop_back();
  // A kernel object's name may not hold '\\' past its namespace: the path goes in as a hash
  // (64-bit FNV-1a of its UTF-16 units) and its length.
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const platform::WChar c : folder) h = (h ^ static_cast<std::uint16_t>(c)) * 0x100000001b3u;
  char text[48];
  std::snprintf(text, sizeof text, "%016llx-%zu", static_cast<unsigned long long>(h),
                folder.size());
  platform::WString name = WIDE("Global\\VeltmoraLaunch-");
  for (const char* c = text; *c != '\0'; ++c) name += static_cast<platform::WChar>(*c);
  return name;
}

}  // namespace launcher
