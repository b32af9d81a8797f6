// One launch at a time per install folder. A second launch that started while the first
// installs an update (two clicks, a link opened meanwhile) waits for the first to have started
// its client, and then goes on like any launch that finds a client running: the restart
// question, or the hand-off. So no client is ever started while an install runs in its folder.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/resources.h"

namespace launcher {

// How long a second launch waits: an update of a few hundred megabytes on a slow disk, with
// its flushes, and then some.
inline constexpr DWORD kLaunchLockWaitMs = 180000;

class LaunchLock {
 public:
  enum class State {
    kHeld,       // this launch holds the lock until it is destroyed
    kTimedOut,   // another launch held it all the time: start no client
    kUnguarded,  // no lock could be had (none could be made, or a stranger's holds the name)
  };

  // Waits up to `timeoutMs` for the lock of `installFolder`. A lock left by a launch that was
  // killed is taken over (the next install recovers what it left).
  static LaunchLock Acquire(const std::wstring& installFolder, DWORD timeoutMs);

  State state() const { return state_; }

  LaunchLock(LaunchLock&&) = default;
  LaunchLock& operator=(LaunchLock&&) = default;
  ~LaunchLock();

 private:
  LaunchLock() = default;

  platform::win32::UniqueHandle mutex_;
  State state_ = State::kUnguarded;
  bool owned_ = false;
};

// Whether an existing lock of that name may be waited for: its owner is the system, the
// administrators, or `self`, the owner this launch gives what it makes (the administrators
// when elevated). A lock made by anyone else, the same user unelevated among them, could hold
// every launch off; it is passed by, and the log says so.
bool IsTrustedLockOwner(PSID owner, PSID self);

}  // namespace launcher
