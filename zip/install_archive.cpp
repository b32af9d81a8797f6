#include "zip/install_archive.h"

namespace zip {
namespace {

using platform::WString;

// The old file's name while the new one is written; short, so it fits wherever the target
// fits in all but the tightest cases.
const platform::WChar kAsideSuffix[] = WIDE(".old~");

// Writes one file item over whatever is at its target, keeping the old file until the new
// one is known good.
std::uint32_t ReplaceFile(ZipExtractor& ex, const ZipItem& item, bool& restored) {
  restored = false;
  const WString full = ex.FullPath(item.name);
  if (full.empty()) return ExtractUnsafeName;
  WString aside;
  if (platform::Exists(full) && !platform::IsFolder(full)) {
    aside = full + kAsideSuffix;
    // No room for the aside name, or it cannot be renamed: the old file would be lost by a
    // failure, so the item is not attempted.
    if (aside.size() > kMaxPathUnits) return ExtractCannotOpen;
    platform::RemoveFile(aside);
    if (!platform::RenameFile(full, aside, false)) return ExtractCannotOpen;
  }
  const std::uint32_t rc = ex.ExtractItem(item.index, item.name);
  if (aside.empty()) {
    if (rc != ExtractOk) platform::RemoveFile(full);
    return rc;
  }
  if (rc == ExtractOk) {
    platform::RemoveFile(aside);
    return rc;
  }
  platform::RemoveFile(full);
  restored = platform::RenameFile(aside, full, true);
  return rc;
}

}  // namespace

InstallSummary InstallArchive(const WString& archivePath, const WString& rootFolder,
                              const InstallCallback& report) {
  InstallSummary summary;
  std::unique_ptr<ZipExtractor> ex =
      ZipExtractor::Open(archivePath, rootFolder, &summary.openResult);
  if (!ex) return summary;
  summary.items = ex->itemCount();
  for (std::uint32_t i = 0; i < summary.items; ++i) {
    InstallItemReport r;
    r.index = static_cast<std::int32_t>(i);
    ZipItem item;
    r.item = &item;
    r.result = ex->GetItem(r.index, item);
    if (r.result == ExtractOk) {
      if (item.attributes & platform::kAttrFolder) {
        r.result = ex->ExtractItem(r.index, item.name);
      } else {
        r.result = ReplaceFile(*ex, item, r.restored);
      }
    }
    if (r.result != ExtractOk) ++summary.failed;
    if (report) report(r);
  }
  ex->Close();
  return summary;
}

}  // namespace zip
