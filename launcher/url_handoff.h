#pragma once

#include "platform/text.h"

// Writes the URL part to the running client's pipe. Returns the launcher's exit code:
// 0 when delivered, 1 when the pipe did not open.
int SendUrlToRunningClient(const platform::WString& urlPart);
