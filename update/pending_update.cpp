#include "update/pending_update.h"

#include "log/zm_log.h"
#include "platform/file.h"
#include "update/install_transaction.h"
#include "update/product_key.h"
#include "zip/zip_reader.h"

namespace update {
namespace {

using platform::WString;

// What an update download leaves behind; the pieces are never combined by the launcher.
const platform::WChar* const kLeftovers[] = {
    WIDE("Updater.exe"), WIDE("update.td0"), WIDE("update.td1"),
    WIDE("update.td2"),  WIDE("update.td3"), WIDE("update.td"),
};

constexpr platform::WChar kPackage[] = WIDE("update.zip");

// A stopped install that was finished or undone is told in the log; none, not.
void LogRecovery(const RecoveryOutcome& recovery) {
  if (recovery.result != RecoveryResult::kNothing) {
    WriteRecovery(ZM_LOG(streamlog::kLogInfo), recovery);
  }
}

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

void InstallIn(const WString& installFolder, const ProductKeyBytes& productKey) {
  const WString package = installFolder + kPackage;
  if (!platform::Exists(package)) {
    // No package, but perhaps a stopped install: it is finished or undone all the same.
    LogRecovery(RecoverInterruptedInstall(installFolder));
    return;
  }
  // Held against writers (read sharing only) from the signature check until the install has
  // read it: the bytes checked are the bytes installed.
  std::unique_ptr<zip::ZipSource> held = zip::ZipSource::Open(package);
  const SignatureState signature = CheckProductSignature(held.get(), productKey);
  if (signature != SignatureState::kValid) {
    held.reset();
    LogRecovery(RecoverInterruptedInstall(installFolder));
    WriteRefusal(ZM_LOG(streamlog::kLogInfo), signature);
    if (!KeepsRefusedPackage(signature)) platform::RemoveFile(package);
    return;
  }
  InstallOptions options;
  options.flush = true;
  const InstallOutcome outcome = InstallPackage(package, installFolder, options);
  held.reset();  // before the deletion below, which its sharing would refuse
  LogRecovery(outcome.recovery);
  WriteOutcome(ZM_LOG(streamlog::kLogInfo), outcome);
  // An install that could not begin (or that the disk has no room for yet) leaves the package
  // for the next launch; one that ran, whatever its end, has had its one try.
  if (outcome.result == InstallResult::kBusy || outcome.result == InstallResult::kNotStarted ||
      outcome.result == InstallResult::kNoRoom) {
    return;
  }
  platform::RemoveFile(package);
}

}  // namespace update

namespace {

// The launcher's own folder, ending in a separator; empty when the path is unknown. The
// update never works in an inherited working directory.
platform::WString ModuleFolder() {
  const platform::WString module = platform::ExecutablePath();
  const std::size_t separator = module.find_last_of(platform::kPreferredSeparator);
  if (separator == platform::WString::npos) return {};
  return module.substr(0, separator + 1);
}

}  // namespace

void StagePendingUpdate() {
  const platform::WString folder = ModuleFolder();
  if (!folder.empty()) update::StageIn(folder);
}

void InstallPendingUpdate() {
  const platform::WString folder = ModuleFolder();
  if (!folder.empty()) update::InstallIn(folder, update::ProductPackageKey());
}
