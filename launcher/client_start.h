// The start of the client: by its full path, never through the shell.
#pragma once

#include <windows.h>

namespace launcher {

// Starts the program at `clientPath` (full path, never searched for) with `commandLine`, its
// quoted path and its parameters as FormatClientCommandLine writes them, in `workingFolder`.
// `commandLine` is the caller's writable, terminated buffer: the system may write into it. The
// client gets no handle of the launcher's and is not waited for. False when it did not start;
// GetLastError says why.
bool StartClient(const wchar_t* clientPath, wchar_t* commandLine, const wchar_t* workingFolder);

}  // namespace launcher
