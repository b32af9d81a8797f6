// Installs a whole archive over a root folder, item by item, the way the update step does:
// an existing file is set aside, the new one written, and the old one then dropped, or put
// back when the new one failed, so a bad item never costs the file it was meant to replace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/text.h"
#include "zip/zip_extractor.h"

namespace zip {

// What happened to one item.
struct InstallItemReport {
  std::int32_t index = 0;
  const ZipItem* item = nullptr;  // valid for the callback's duration only
  std::uint32_t result = ExtractOk;
  // True when an earlier file at the target was kept because the item failed.
  bool restored = false;
};

struct InstallSummary {
  std::uint32_t openResult = ExtractOk;  // ExtractCannotOpen when the archive did not open
  std::uint32_t items = 0;
  std::uint32_t failed = 0;
};

using InstallCallback = std::function<void(const InstallItemReport&)>;

// Installs every item of `archivePath` under `rootFolder` (empty: the current directory),
// each under its own cleaned name. `report` (may be empty) is called once per item.
InstallSummary InstallArchive(const platform::WString& archivePath,
                              const platform::WString& rootFolder, const InstallCallback& report);

}  // namespace zip
