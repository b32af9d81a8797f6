#include "zip/install_archive.h"

#include <string>

namespace zip {
namespace {

using platform::WString;

// The old file's name while the new one is written; short, so it fits wherever the target
// fits in all but the tightest cases. A file under this name is always an old file that has
// not been replaced yet: after a launch stopped halfway it is the one to keep.
const platform::WChar kAsideSuffix[] = WIDE(".old~");
// Where a replaced old file goes when it cannot be deleted (a running program): out of the
// aside name, and deleted when the system next starts.
const platform::WChar kDoneSuffix[] = WIDE(".del~");

// `full` + "." + n + ".del~": a further name when an earlier one is still in use.
WString DoneName(const WString& full, int n) {
  WString name = full;
  if (n > 0) {
    name += WIDE('.');
    for (const char digit : std::to_string(n)) name += static_cast<platform::WChar>(digit);
  }
  return name + kDoneSuffix;
}

// Drops the old file after its replacement succeeded.
void DropAside(const WString& aside, const WString& full) {
  if (platform::RemoveFile(aside)) return;
  for (int n = 0; n < 100; ++n) {
    const WString done = DoneName(full, n);
    if (platform::Exists(done) && !platform::RemoveFile(done)) continue;
    if (platform::RenameFile(aside, done, false)) platform::RemoveFileAtRestart(done);
    return;
  }
}

// Writes one file item over whatever is at its target, keeping the old file until the new
// one is known good.
std::uint32_t ReplaceFile(ZipExtractor& ex, const ZipItem& item, bool& restored) {
  restored = false;
  const WString full = ex.FullPath(item.name);
  if (full.empty()) return ExtractUnsafeName;
  const WString aside = full + kAsideSuffix;
  bool haveAside = false;
  if (platform::Exists(aside) && !platform::IsFolder(aside)) {
    // An earlier install stopped halfway through this item: what stands at the target is
    // its unfinished output, the old file is the one set aside.
    haveAside = true;
    platform::RemoveFile(full);
  } else if (platform::Exists(full) && !platform::IsFolder(full)) {
    // No room for the aside name, or it cannot be renamed: the old file would be lost by a
    // failure, so the item is not attempted.
    if (aside.size() > kMaxPathUnits) return ExtractCannotOpen;
    if (!platform::RenameFile(full, aside, false)) return ExtractCannotOpen;
    haveAside = true;
  }
  const std::uint32_t rc = ex.ExtractItem(item.index, item.name);
  if (!haveAside) {
    if (rc != ExtractOk) platform::RemoveFile(full);
    return rc;
  }
  if (rc == ExtractOk) {
    DropAside(aside, full);
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
