// Paths the launch derives from the install folder, each bounded by the 260-unit path
// buffer (terminator included).
#pragma once

#include <cstddef>
#include <optional>

#include "platform/text.h"

namespace launcher {

constexpr std::size_t kPathBufferUnits = 260;
// The longest path the system has, terminator included.
constexpr std::size_t kLongestPathUnits = 32768;

// folder + "//ProductConfig.xml", or nothing when it would not fit the path buffer.
std::optional<platform::WString> ConfigurationPath(platform::WStringView installFolder);

// folder + "//" + stem + ".ico", or nothing when it would not fit the path buffer.
std::optional<platform::WString> IconPath(platform::WStringView installFolder,
                                          platform::WStringView clientStem);

// Writes the client's full path, folder + "\\" + "Veltmora.exe" (no second separator after a
// drive root's), into `buffer` of `bufferUnits` UTF-16 units, terminated. Allocates nothing,
// so that a launch short of memory still names its client whole. False, with an empty
// buffer, for an empty folder or a path that would not fit: a cut path names another file.
bool FormatClientPath(platform::WStringView installFolder, platform::WChar* buffer,
                      std::size_t bufferUnits);

// The open command of the "quorvane://" scheme for a launcher at `modulePath`:
// "<module path>" "%1", or nothing when it would not fit the path buffer (a cut path would
// start another program).
std::optional<platform::WString> SchemeOpenCommand(platform::WStringView modulePath);

// Writes the client's command line, the quoted `clientPath`, then one blank and `parameters`
// when there are any, into `buffer` of `bufferUnits` UTF-16 units, terminated. Allocates
// nothing, like FormatClientPath. False, with an empty buffer, when it would not fit: the
// system would cut it wherever its limit fell.
bool FormatClientCommandLine(platform::WStringView clientPath, platform::WStringView parameters,
                             platform::WChar* buffer, std::size_t bufferUnits);

// The lock file that lets one launch at a time act in an install folder (launch_lock.h).
inline constexpr platform::WStringView kLaunchLockFile = WIDE("launch.lock");

}  // namespace launcher
