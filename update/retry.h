// Waits out short locks. A scanner reading a file just written, or a program that was told to
// end and has not yet, holds a file for a moment; an install that gave up at once would roll a
// whole update back for it. Each operation is tried again after a growing pause while it fails
// as busy (platform::FileError::kBusy), within a bound per file and one per install, so that
// a lock that does not lift costs a few seconds, not a hang.
#pragma once

#include "platform/file_error.h"
#include "platform/file_fault.h"

namespace update {

class Retry {
 public:
  // The first pause; each next one is twice as long.
  static constexpr unsigned kFirstPauseMs = 10;
  // Pauses for one operation end before this much: 10 + 20 + ... + 640 ms, so that a file
  // held for up to about a second is waited out.
  static constexpr unsigned kPerFileMs = 1500;
  // Pauses of a whole install (or recovery) end before this much.
  static constexpr unsigned kPerInstallMs = 4000;

  // Runs `op` (returning true on success) until it succeeds, fails other than busy, or the
  // bounds are reached; the last failure's error stays the seam's last error.
  template <typename Op>
  bool Run(Op op) {
    unsigned pause = kFirstPauseMs;
    unsigned spentHere = 0;
    for (;;) {
      if (op()) return true;
      if (platform::LastFileError() != platform::FileError::kBusy) return false;
      if (spentHere + pause > kPerFileMs || spent_ + pause > kPerInstallMs) return false;
      platform::Pause(pause);
      spentHere += pause;
      spent_ += pause;
      pause *= 2;
    }
  }

  // Milliseconds paused so far.
  unsigned spent() const { return spent_; }

 private:
  unsigned spent_ = 0;
};

}  // namespace update
