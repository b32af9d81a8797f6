// Shared set-up of the zip fuzz targets: each input becomes an archive file in a scratch
// folder private to the process, with an empty root folder beside it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/text.h"

namespace zipfuzz {

namespace fs = std::filesystem;

// Inputs beyond this add nothing the format cannot show in less, and slow every run.
inline constexpr std::size_t kMaxInput = 1 << 20;

inline const fs::path& WorkFolder() {
  static const fs::path work = [] {
    fs::path p = fs::temp_directory_path() / ("zipfuzz-" + std::to_string(getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
  }();
  return work;
}

inline platform::WString W(const fs::path& p) {
  platform::WString w;
  platform::Utf8ToUtf16(p.string(), w);
  return w;
}

// Writes the input as the archive and empties the root. False when the input is too large.
inline bool Prepare(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return false;
  const fs::path& work = WorkFolder();
  fs::remove_all(work / "root");
  fs::create_directories(work / "root");
  platform::File f = platform::File::Create(W(work / "in.zip"), 0);
  if (!f || !f.Write(data, size) || !f.Close()) std::abort();
  return true;
}

// Anything but the archive and the root in the work folder was written outside the root.
inline void CheckNothingEscaped() {
  for (const auto& entry : fs::directory_iterator(WorkFolder())) {
    const auto name = entry.path().filename();
    if (name != "in.zip" && name != "root") {
      std::fprintf(stderr, "written outside the root: %s\n", entry.path().c_str());
      std::abort();
    }
  }
}

}  // namespace zipfuzz
