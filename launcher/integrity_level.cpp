#include "launcher/integrity_level.h"

namespace launcher {

bool ServerAtOrAboveLauncher(std::optional<std::uint32_t> serverLevel,
                             std::optional<std::uint32_t> ownLevel) {
  return serverLevel && ownLevel && *serverLevel >= *ownLevel;
}

}  // namespace launcher
