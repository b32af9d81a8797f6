// Refreshing the product's link on the all-users desktop (Windows only).
#pragma once

#include "platform/text.h"

// Result codes of UpdateDesktopShortcut.
enum ShortcutResult : int {
  kShortcutNoCurrentName = -1,  // no current name: nothing done
  kShortcutNoDesktop = -2,      // the all-users desktop folder has no file-system path
  kShortcutNoLink = -3,         // no usable link under either name: nothing done
  kShortcutNotRead = 0,         // the link object failed, or the link could not be read
  kShortcutSaveAttempted = 1,   // the link was read and updated (saved unless unchanged)
};

// Brings the product's existing link on the all-users desktop up to date: reads the link
// named `currentName` (or, when that is absent, the one named `newName`), points it at
// `target` with `description`, the icon `iconPath` (kept as it was when that file is missing)
// and `workingDirectory`, and saves it under `newName` (else back where it was). The old link
// is removed after a rename when it pointed to a file of the target's name. Names are given
// without ".lnk". A link that already holds all of that, where it already is, is not
// written at all. Every argument may be null. A name whose link path would not fit 259 units,
// or that holds a character no file name may hold, is treated as a link that does not exist.
// Never creates a link where none exists; returns a ShortcutResult.
int UpdateDesktopShortcut(const platform::WChar* currentName, const platform::WChar* newName,
                          const platform::WChar* target, const platform::WChar* description,
                          const platform::WChar* iconPath, const platform::WChar* workingDirectory);
