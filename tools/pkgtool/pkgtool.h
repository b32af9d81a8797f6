// pkgtool's commands, apart from the entry point so that tests could drive them.
#pragma once

#include <cstdio>
#include <vector>

#include "platform/text.h"

namespace pkgtool {

// Runs the command in `args` (without the program name), writing to `out` and `err`.
// Returns the process exit code: 0 success, 1 an item failed or was refused, 2 usage error
// or an archive that does not open.
int Run(const std::vector<platform::WString>& args, std::FILE* out, std::FILE* err);

}  // namespace pkgtool
