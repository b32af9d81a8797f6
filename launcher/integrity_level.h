// Whom the launcher hands a link to, by the integrity level of the process: a link (a login
// ticket, say) goes to no program that runs below the launcher.
#pragma once

#include <cstdint>
#include <optional>

namespace launcher {

// Integrity levels as a token's mandatory label gives them: the label's last sub-authority.
inline constexpr std::uint32_t kIntegrityLow = 0x1000;
inline constexpr std::uint32_t kIntegrityMedium = 0x2000;
inline constexpr std::uint32_t kIntegrityHigh = 0x3000;
inline constexpr std::uint32_t kIntegritySystem = 0x4000;

// Whether a pipe server at `serverLevel` may get the URL from a launcher at `ownLevel`: only one
// at the launcher's level or above, as the client the launcher starts runs. A level that could
// not be read, the server's or the launcher's own, refuses.
bool ServerAtOrAboveLauncher(std::optional<std::uint32_t> serverLevel,
                             std::optional<std::uint32_t> ownLevel);

}  // namespace launcher
