// What the launcher fixes about the client application it stands in front of.
#pragma once

#include "platform/text.h"

namespace launcher {

// A bare file name: started from, and recognised in, the install folder.
inline constexpr platform::WStringView kClientExecutable = WIDE("Veltmora.exe");
// The name without its last four characters; names the language key, icon and description.
inline constexpr platform::WStringView kClientStem =
    kClientExecutable.substr(0, kClientExecutable.size() - 4);
// Served by the running client; one message per connection.
inline constexpr platform::WStringView kClientPipeName = WIDE("\\\\.\\Pipe\\RODURI_Veltmora");

}  // namespace launcher
