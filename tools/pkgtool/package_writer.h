// The package's bytes, written by libzip: apart from the launcher's zip code, whose namespace
// shares libzip's type name, so that no file includes both.
#pragma once

#include <string>
#include <vector>

#include "platform/text.h"
#include "tools/pkgtool/folder_diff.h"

namespace pkgtool {

// Writes `items` (entries of the folder `root`, in the package's order) as a new archive at
// `path`: UTF-8 names (the UTF-8 flag on every name that is not plain ASCII, as libzip sets
// it), DOS attributes (read-only, hidden, folder) from a DOS host, the modification time as
// an extended timestamp and as a DOS date and time in UTC, each file deflated at level 9 where
// that makes it smaller and stored otherwise. The deflated data wait in `path` + ".spool~"
// until libzip writes them (removed afterwards). The same items give the same bytes. Empty on
// success, otherwise what failed.
std::string WritePackage(const platform::WString& path, const platform::WString& root,
                         const std::vector<const TreeEntry*>& items);

}  // namespace pkgtool
