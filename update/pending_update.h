// The pending update: what an earlier client run left in temp\ of the install folder.
#pragma once

#include "platform/text.h"
#include "signing/package_signature.h"
#include "update/install_transaction.h"

// Clears the download leftovers in temp\ of the launcher's own folder and stages a finished
// temp\update.zip as update.zip there. Nothing in temp\ is followed: a link there, or a file
// with another name elsewhere (a hard link), is logged and left alone. With a product key
// compiled in, a download it did not sign is deleted, never copied. The package is removed
// from temp\ only once its copy exists, so a failed copy leaves it for the next launch.
void StagePendingUpdate();

// Finishes or undoes an install that a stopped launch left, then installs update.zip of the
// launcher's own folder over that folder as one transaction (the old version or the new one,
// never a mix) and deletes it. With a product key compiled in (signing/product_key.h), only a
// package signed by that key installs, and no older release than the one installed
// (update/release_gate.h); any other is deleted. Logs one line for each outcome.
// `progress` (may be empty) hears once, with nothing done of nothing, that a package is there
// and about to be checked and installed, and then of the install's progress. False when the
// client must not start: the folder may hold neither version afterwards (an undo or a roll
// forward that could not end), or another install holds it now.
bool InstallPendingUpdate(const update::ProgressCallback& progress = {});

namespace update {

// The same steps for an explicit install folder (ending in a separator) and key (none: every
// package installs): the portable core of the two calls above.
void StageIn(const platform::WString& installFolder,
             const signing::ProductKeyBytes& productKey = {});
bool InstallIn(const platform::WString& installFolder,
               const signing::ProductKeyBytes& productKey = {},
               const ProgressCallback& progress = {});

}  // namespace update
