// pkgtool's commands, apart from the entry point so that tests could drive them.
#pragma once

#include <cstdio>
#include <vector>

#include "platform/text.h"

namespace pkgtool {

// Runs the command in `args` (without the program name). Results (listings, JSON, the
// one-line summary, the signature line, --help and --version) go to `out`; problems, warnings
// and errors to `err`, one line each. Returns the process exit code: 0 success, 1 an item
// failed or was refused, a signature is missing or invalid (verify) or the archive cannot be
// signed as it is (sign), 2 usage error, a key file that does not read or an archive that does
// not open.
int Run(const std::vector<platform::WString>& args, std::FILE* out, std::FILE* err);

}  // namespace pkgtool
