// The seam's test hook, in the manner of a database's overridable table of system calls:
// every call of platform/file.h and platform/file_system.h asks the hook first, so a test can
// fail any call in turn with the error it chooses, take away the file a call is about to
// name (as a scanner's quarantine would), or freeze the file system from some call on (as a
// killed process leaves it). Production code never sets a hook; the check costs one load.
#pragma once

#include "platform/file_error.h"
#include "platform/text.h"

namespace platform {

enum class FileCall : unsigned char {
  kOpenForRead,
  kCreate,
  kCreateNew,
  kOpenExclusive,
  kRead,
  kWrite,
  kFlush,
  kSize,
  kSetTimes,
  kCreateFolder,
  kRemoveFolder,
  kProbe,
  kFileInfo,
  kFreeSpace,
  kRemoveFile,
  kRename,
  kFlushFileSystem,
  kFlushFile,
  kCopy,
  kRemoveAtRestart,
  kListFolder,
  kFlushFolder,
  kOpenForDelete,
  kProbeMount,
  kOpenNoFollow,
  kInspect,
  kRemoveOpened,
};

// A short name of the call, for test messages.
const char* DescribeFileCall(FileCall call);

class FileCallHook {
 public:
  virtual ~FileCallHook() = default;
  // Asked before `call`; `path` names the file or folder the call acts on first (the source
  // of a rename or copy), or is null for a call on an open file. kNone lets the call run; any
  // other error fails it with that error, and the call does nothing. Seam calls the hook makes
  // itself are not asked about again. Closing a file is never asked: a killed process's files
  // are closed as well.
  virtual FileError Before(FileCall call, const WString* path) = 0;
  // Asked instead of sleeping `milliseconds` in Pause (retries wait this way).
  virtual void Pause(unsigned milliseconds) = 0;
};

// Installs `hook` for every thread (null removes it). Tests only.
void SetFileCallHook(FileCallHook* hook);

// Sleeps `milliseconds`, or asks the hook instead.
void Pause(unsigned milliseconds);

namespace detail {
class SimulatedFileSystem;  // file_simulated.h

// The seam's implementations start with this: true when the hook failed the call (the error
// is set as the last one), so the implementation returns its failure at once. Otherwise
// `simulated` receives the simulated file system the call goes to instead of the system's, or
// null. Without a hook or a simulated file system (production) it costs one load.
bool FailedByHook(FileCall call, const WString* path, SimulatedFileSystem*& simulated);
}  // namespace detail

}  // namespace platform
