#include "config/desktop_shortcut.h"

int UpdateDesktopShortcut(const platform::WChar* currentName, const platform::WChar* /*newName*/,
                          const platform::WChar* /*target*/, const platform::WChar* /*description*/,
                          const platform::WChar* /*iconPath*/,
                          const platform::WChar* /*workingDirectory*/) {
  return currentName == nullptr ? -1 : -3;
}
