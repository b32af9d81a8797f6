#include "update/pending_update.h"

#include "platform/file.h"
#include "zip/install_archive.h"

namespace update {
namespace {

using platform::WString;

// What an update download leaves behind; the pieces are never combined by the launcher.
const platform::WChar* const kLeftovers[] = {
    WIDE("Updater.exe"), WIDE("update.td0"), WIDE("update.td1"),
    WIDE("update.td2"),  WIDE("update.td3"), WIDE("update.td"),
};

constexpr platform::WChar kPackage[] = WIDE("update.zip");

}  // namespace

void StageIn(const WString& installFolder) {
  const WString temp = installFolder + WIDE("temp") + platform::kPreferredSeparator;
  for (const platform::WChar* leftover : kLeftovers) platform::RemoveFile(temp + leftover);

  const WString download = temp + kPackage;
  if (!platform::Exists(download)) return;
  // The download is the only copy of the package until the staged one exists.
  if (platform::CopyFileReplacing(download, installFolder + kPackage)) {
    platform::RemoveFile(download);
  }
}

void InstallIn(const WString& installFolder) {
  const WString package = installFolder + kPackage;
  if (!platform::Exists(package)) return;
  zip::InstallArchive(package, installFolder, nullptr);
  // Deleted only now: a launch that is stopped halfway installs the package again next time.
  platform::RemoveFile(package);
}

}  // namespace update

void StagePendingUpdate() {
  const platform::WString module = platform::ExecutablePath();
  const std::size_t separator = module.find_last_of(platform::kPreferredSeparator);
  if (separator == platform::WString::npos) return;
  update::StageIn(module.substr(0, separator + 1));
}

void InstallPendingUpdate() {
  platform::WString folder = platform::CurrentDirectory();
  if (folder.empty()) return;
  // A drive root keeps its separator.
  if (folder.back() != platform::kPreferredSeparator) folder += platform::kPreferredSeparator;
  update::InstallIn(folder);
}
