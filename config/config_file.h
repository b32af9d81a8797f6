// The file-system side of reading the configuration: the only part that differs between
// Windows and the portable build.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/text.h"

namespace config {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// True when the file system reports anything (file or folder) at `path`.
bool PathExists(const platform::WChar* path);

// Opens the regular file at `path` for binary reading by its wide name, so the file opened is
// the one the path names whatever the system's code page. Null for a folder or on failure.
UniqueFile OpenForReading(const platform::WChar* path);

// The open file's size in bytes, or -1 when it cannot be told.
long long FileSize(std::FILE* file);

}  // namespace config
