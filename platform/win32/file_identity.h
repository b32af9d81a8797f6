// Whether two paths name one file, whatever text names it.
#pragma once

#include <string>

namespace platform::win32 {

// True when both paths open as the same file system object: the same volume and file index,
// however the paths spell it (case, short names, "..", another hard link of the file). False
// when they differ, either does not open or its file system gives no file index.
bool SameFile(const std::wstring& first, const std::wstring& second);

}  // namespace platform::win32
