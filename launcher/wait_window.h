// The launcher's one window, shown only where a person waits or must answer: while an update
// installs or another launch's install is waited for (the product's icon and name, one line in
// the user's language, a bar, no cancel button), and when an interrupted install cannot be
// finished (the message and one OK button). A launch that waits for nothing makes none.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "launcher/wait_window_layout.h"
#include "platform/win32/resources.h"

namespace launcher {

// A wait shorter than this passes unnoticed: no window for it.
inline constexpr DWORD kWaitWindowDelayMs = 1000;

// The waiting window of kInstalling or kWaitingForLaunch on a thread of its own with its own
// message loop, so that the launch goes on exactly as without it. Closing it with its close
// button only hides it: the wait goes on.
class WaitWindow {
 public:
  // Makes nothing yet. `installFolder` holds the product's icon (Veltmora.ico, or the
  // client's own).
  WaitWindow(WaitWindowMode mode, std::wstring installFolder);
  ~WaitWindow();  // Close()
  WaitWindow(const WaitWindow&) = delete;
  WaitWindow& operator=(const WaitWindow&) = delete;

  // Starts the window's thread, which shows the window once `delayMs` have passed without
  // Close(). Later calls do nothing. Without a thread the launch goes on without a window.
  void Start(DWORD delayMs = kWaitWindowDelayMs);

  // `done` of `total` (update::ProgressCallback's units). Cheap; the window reads it on its
  // own clock.
  void SetProgress(std::uint64_t done, std::uint64_t total);

  // Takes the window off the screen, or keeps it from showing, and returns once it is gone
  // (a few seconds at most, should the system not answer). The thread ends by itself.
  void Close();

  struct Shared;  // what the window's thread and this object share

 private:
  std::shared_ptr<Shared> shared_;
  platform::win32::UniqueHandle thread_;
};

// Shows the message that an interrupted install could not be finished, in the user's
// language, with one OK button, in front; returns once it was answered or closed.
void ShowInstallBlockedMessage(const std::wstring& installFolder);

}  // namespace launcher
