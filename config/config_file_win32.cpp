#include <windows.h>

#include <cstdio>

#include "config/config_file.h"

namespace config {

bool PathExists(const platform::WChar* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

UniqueFile OpenForReading(const platform::WChar* path) { return UniqueFile(_wfopen(path, L"rb")); }

long long FileSize(std::FILE* file) {
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const long long size = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

}  // namespace config
