// One launch at a time per install folder. A second launch that started while the first
// installs an update (two clicks, a link opened meanwhile) waits for the first to have started
// its client, and then goes on like any launch that finds a client running: the restart
// question, or the hand-off. So no client is ever started while an install runs in its folder.
//
// The lock is the file "launch.lock" in the install folder, held open without sharing. The
// folder grants it, so nothing else has a say in it:
// - One lock for every spelling of the folder. Sharing is decided on the file itself, not on
//   the name it was opened by, so a short (8.3) name, another letter case, a subst drive, a
//   junction, the "\\?\" form and a hard link all meet the one open that holds it; a lock
//   named after the path's text met only launches that spelled it alike.
// - No unprivileged program can hold it. Only administrators can make a file in the install
//   folder, so the file is the launcher's, and it gets a protected access list that grants the
//   system and the administrators alone (put back at every launch that holds it, should the
//   file have been copied in with the folder's list). To stand in a launch's way, a program
//   must open the file for reading, writing, running or deleting; opening it for its
//   attributes alone does not conflict with anyone's sharing. A named kernel object could be
//   made first by any program of the user, in any session.
// - The file stays when the lock is let go. One deleted on close would linger, delete-pending,
//   for as long as any program kept even an attributes-only handle on it, and until then no
//   launch could make the file again. A launch killed while it holds the lock lets go with its
//   handle; the next install recovers what it left.
// The update install never meets the file: it reads only what its package names, and
// "launch.lock" is no item of the product.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/resources.h"

namespace launcher {

// How long a second launch waits: an update of a few hundred megabytes on a slow disk, with
// its flushes, and then some.
inline constexpr DWORD kLaunchLockWaitMs = 180000;

// The access list of the lock file: the system and the administrators, nothing inherited.
inline constexpr wchar_t kLaunchLockSecurity[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

class LaunchLock {
 public:
  enum class State {
    kHeld,       // this launch holds the lock until it is destroyed
    kTimedOut,   // another launch held it all the time: start no client
    kUnguarded,  // no lock could be had (the file could not be made or is not a plain file)
  };

  // Waits up to `timeoutMs` for the lock of `installFolder`, the folder's full path.
  static LaunchLock Acquire(const std::wstring& installFolder, DWORD timeoutMs);

  State state() const { return state_; }

  LaunchLock(LaunchLock&&) = default;
  LaunchLock& operator=(LaunchLock&&) = default;
  ~LaunchLock() = default;

 private:
  LaunchLock() = default;

  platform::win32::UniqueHandle file_;
  State state_ = State::kUnguarded;
};

}  // namespace launcher
