#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "config/config_file.h"

namespace config {
namespace {

bool NativeName(const platform::WChar* path, std::string& out) {
  return platform::WideToNarrow(path, platform::CodePage::kUtf8, out);
}

}  // namespace

bool PathExists(const platform::WChar* path) {
  std::string name;
  struct stat info {};
  return NativeName(path, name) && stat(name.c_str(), &info) == 0;
}

UniqueFile OpenForReading(const platform::WChar* path) {
  std::string name;
  if (!NativeName(path, name)) return nullptr;
  UniqueFile file(std::fopen(name.c_str(), "rb"));
  // fopen opens folders here, unlike on Windows; refuse them the same way.
  struct stat info {};
  if (file && (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode))) return nullptr;
  return file;
}

long long FileSize(std::FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const long long size = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

}  // namespace config
