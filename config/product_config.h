// Reading "ProductConfig.xml": the desktop shortcut names and the configured arguments.
#pragma once

#include <vector>

#include "platform/text.h"

struct ShortcutNames {
  platform::WString shortcut_cn;
  platform::WString shortcut_en;
  platform::WString shortcut_new_cn;
  platform::WString shortcut_new_en;
};

// Returns true when the file at `path` exists, loads and parses, and has a root element.
// Fills `names` and appends to `args`; on false neither is touched.
bool ReadProductConfig(const platform::WChar* path, ShortcutNames& names,
                       std::vector<platform::WString>& args);
