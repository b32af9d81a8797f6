#pragma once

#include "platform/text.h"

// How long the hand-off waits for its message to be written. A client that serves the pipe
// but never reads from it must not keep the elevated, invisible launcher alive.
inline constexpr unsigned long kHandoffWriteTimeoutMs = 5000;

// Writes the URL part to the running client's pipe, once the pipe's server has shown to be
// `clientPath` (the install folder's client, compared as a file, not as text) running in the
// launcher's own session. Returns the launcher's exit code: 0 when the whole message was
// written, 1 when the pipe did not open, its server is another program or in another session
// (logged; nothing is written), the URL does not fit the message buffer, or the message was
// not written whole within kHandoffWriteTimeoutMs.
int SendUrlToRunningClient(const platform::WString& urlPart, const platform::WString& clientPath);
