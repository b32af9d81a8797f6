// The pending update: what an earlier client run left in temp\ of the install folder.
#pragma once

#include "platform/text.h"

// Clears the download leftovers in temp\ of the launcher's own folder and stages a finished
// temp\update.zip as update.zip there. The package is removed from temp\ only once its copy
// exists, so a failed copy leaves it for the next launch.
void StagePendingUpdate();

// Unpacks update.zip from the current directory over the current directory (the launch makes
// it the install folder), then deletes it. Each replaced file is set aside while its new
// version is written and put back when that fails; a package that does not open is deleted.
void InstallPendingUpdate();

namespace update {

// The same steps for an explicit install folder (ending in a separator) and package path:
// the portable core of the two calls above.
void StageIn(const platform::WString& installFolder);
void InstallIn(const platform::WString& installFolder);

}  // namespace update
