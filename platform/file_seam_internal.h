// Shared by the seam's implementation files only: the system's error numbers in the seam's
// kinds, and on Windows the form of a path the system takes at any length.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_error.h"
#include "platform/file_fault.h"
#include "platform/text.h"

namespace platform::detail {

#ifdef _WIN32
// Classifies a Win32 error code (GetLastError()).
FileError ErrorFromSystem(unsigned long code);

// The path as the W functions take it: unchanged when short, otherwise in its "\\?\" form
// (made absolute, separators folded to '\'), which lifts the 260-unit limit.
class NativePath {
 public:
  explicit NativePath(const WString& path);
  const wchar_t* c_str() const {
    return converted_.empty() ? original_.c_str() : converted_.c_str();
  }

 private:
  const WString& original_;
  WString converted_;
};
#else
// Classifies an errno value.
FileError ErrorFromSystem(int code);
// The path as the system calls take it (UTF-8); false, with the error set, when it has none.
bool ToNative(const WString& path, std::string& out);
#endif

// Closes the handle of a simulated file (file_simulated.h) on the simulated file system
// installed now, if any; true.
bool CloseSimulated(std::uint32_t file);
// What a call on a simulated file returns once no simulated file system is installed: its
// failure, with the error set.
template <typename T>
T NoSimulatedFile(T failure) {
  SetLastFileError(FileError::kOther);
  return failure;
}

// Records the system's last error as the seam's and returns false, for "return Failed();".
bool Failed();

}  // namespace platform::detail
