#pragma once

#include "platform/text.h"

// How long the hand-off waits for its message to be written. A client that serves the pipe
// but never reads from it must not keep the elevated, invisible launcher alive.
inline constexpr unsigned long kHandoffWriteTimeoutMs = 5000;
// How long a launch that waited for another's start waits for the pipe of the client that one
// started: a client's own start on a loaded machine.
inline constexpr unsigned long kHandoffPipeWaitMs = 10000;

// Writes the URL part to the running client's pipe, once the pipe's server has shown to be
// `clientPath` (the install folder's client, compared as a file, not as text) running in the
// launcher's own session. Returns the launcher's exit code: 0 when the whole message was
// written, 1 when the pipe did not open, its server is another program or in another session
// (logged; nothing is written), the URL does not fit the message buffer, or the message was
// not written whole within kHandoffWriteTimeoutMs. A pipe not there yet is waited for up to
// `pipeWaitMs`: a client that another launch started a moment ago may not serve it yet.
int SendUrlToRunningClient(const platform::WString& urlPart, const platform::WString& clientPath,
                           unsigned long pipeWaitMs = 0);
