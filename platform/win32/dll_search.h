// Where the process looks for the libraries it loads after start.
#pragma once

namespace platform::win32 {

// Limits the search for every library loaded from now on to the system folder: never the
// program's own folder, the working directory or PATH, where anyone who can write there could
// plant a library that runs with the program's rights. Where the system lacks
// SetDefaultDllDirectories (Windows 7 without its update), only the working directory is
// removed from the search. Process-wide; call it before anything loads a library. False when
// neither could be set.
bool SearchDllsInSystemFolderOnly();

}  // namespace platform::win32
