// The debugger-output channel. On Windows it is OutputDebugStringA; elsewhere pieces are
// dropped unless a receiver is installed. Tests on either platform may install a receiver.
#pragma once

namespace platform {

using DebugOutputReceiver = void (*)(const char* text);

// Passes one NUL-terminated narrow string to the debugger-output channel.
void OutputDebugText(const char* text);

// Replaces the channel with `receiver`; nullptr restores the default. Returns the previous one.
DebugOutputReceiver SetDebugOutputReceiver(DebugOutputReceiver receiver);

}  // namespace platform
