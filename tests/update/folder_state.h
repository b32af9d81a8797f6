// What a folder holds, file by file, for tests that must tell the old version from the new
// one: names, bytes, the read-only attribute and modification times.
#pragma once

#include <map>
#include <string>

#include "tests/zip/test_support.h"

namespace updatetest {

namespace fs = std::filesystem;
using ziptest::ReadBytes;
using ziptest::W;

struct FileState {
  bool folder = false;
  std::string bytes;
  std::uint32_t attributes = 0;
  platform::FileTime modification = 0;
  bool operator==(const FileState& o) const {
    return folder == o.folder && bytes == o.bytes && attributes == o.attributes &&
           modification == o.modification;
  }
};
// By path relative to the folder, '/'-separated.
using Snapshot = std::map<std::string, FileState>;

inline std::string Describe(const Snapshot& s) {
  std::string out;
  for (const auto& [name, state] : s) {
    out += name + (state.folder ? "/" : " = " + state.bytes.substr(0, 20)) +
           (state.attributes ? " (read-only)" : "") + "\n";
  }
  return out;
}

inline Snapshot Take(const fs::path& dir) {
  Snapshot s;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), dir).generic_u8string();
    FileState state;
    platform::FileInfo info;
    EXPECT_TRUE(platform::GetFileInfo(W(it->path()), info)) << rel;
    state.folder = (info.attributes & platform::kAttrFolder) != 0;
    state.attributes = info.attributes & platform::kAttrReadOnly;
    if (!state.folder) {
      state.bytes = ReadBytes(it->path());
      state.modification = info.modification;
    }
    s[rel] = state;
  }
  return s;
}

// Removes `dir` whole, read-only files included.
inline void Wipe(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(dir, ec);
}

}  // namespace updatetest
