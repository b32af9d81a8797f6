// Paths the launch derives from the install folder, each bounded by the 260-unit path
// buffer (terminator included).
#pragma once

#include <cstddef>
#include <optional>

#include "platform/text.h"

namespace launcher {

constexpr std::size_t kPathBufferUnits = 260;

// folder + "//ProductConfig.xml", or nothing when it would not fit the path buffer.
std::optional<platform::WString> ConfigurationPath(platform::WStringView installFolder);

// folder + "//" + stem + ".ico", or nothing when it would not fit the path buffer.
std::optional<platform::WString> IconPath(platform::WStringView installFolder,
                                          platform::WStringView clientStem);

// The open command of the "quorvane://" scheme for a launcher at `modulePath`:
// "<module path>" "%1", or nothing when it would not fit the path buffer (a cut path would
// start another program).
std::optional<platform::WString> SchemeOpenCommand(platform::WStringView modulePath);

// The name of the mutex that lets one launch at a time act in `installFolder`: in the global
// namespace, so that launches from every session meet, and derived from the folder as Windows
// compares paths (case folded, '/' as '\\', no trailing separator), so that every spelling of
// one folder gives one name and no two folders share one.
platform::WString LaunchLockName(platform::WStringView installFolder);

}  // namespace launcher
