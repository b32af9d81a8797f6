#pragma once

#include "platform/text.h"

// Re-points the product's link on the all-users desktop at `target` and moves it to its new
// name. Every argument may be null; returns 0 on success or a negative code.
int UpdateDesktopShortcut(const platform::WChar* currentName, const platform::WChar* newName,
                          const platform::WChar* target, const platform::WChar* description,
                          const platform::WChar* iconPath, const platform::WChar* workingDirectory);
