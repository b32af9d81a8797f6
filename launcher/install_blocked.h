// What a launch tells the user when an interrupted install could not be finished and the
// install folder may hold neither the old version nor the new one: the client is not started
// on it, and the user learns why and what to do, in their language.
#pragma once

#include <string>

namespace launcher {

// The message's text in Chinese or English.
std::wstring InstallBlockedText(bool chinese);
// Shows it with one OK button and waits for the answer.
void ShowInstallBlockedMessage();

}  // namespace launcher
