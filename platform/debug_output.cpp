#include "platform/debug_output.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {
namespace {

DebugOutputReceiver g_receiver = nullptr;

}  // namespace

void OutputDebugText(const char* text) {
  if (g_receiver != nullptr) {
    g_receiver(text);
    return;
  }
#ifdef _WIN32
  OutputDebugStringA(text);
#endif
}

DebugOutputReceiver SetDebugOutputReceiver(DebugOutputReceiver receiver) {
  const DebugOutputReceiver previous = g_receiver;
  g_receiver = receiver;
  return previous;
}

}  // namespace platform
