// Why a call of the file seam failed, in the few kinds its callers act on differently.
#pragma once

namespace platform {

enum class FileError {
  kNone,
  kNotFound,  // the name, or a folder on its way, does not exist
  kExists,    // the name is taken
  // Held for a moment: a sharing or lock violation, a file that is being deleted, a running
  // program's file. A scanner or an ending process lets go soon, so trying again is worth it.
  // Windows also says "access denied" for a file being deleted, so that counts here too.
  kBusy,
  kNoSpace,  // the disk, or the user's share of it, is full
  kOther,    // anything else: a device error, a name the file system refuses, ...
};

// The error of the calling thread's last call of the seam that failed. A call that succeeds
// leaves it as it was.
FileError LastFileError();
// Sets it: for the seam's implementations and for test hooks that fail a call.
void SetLastFileError(FileError error);

// A short English description, for reports ("busy", "disk full", ...).
const char* DescribeFileError(FileError error);

}  // namespace platform
