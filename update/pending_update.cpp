#include "update/pending_update.h"

#include "log/zm_log.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "signing/product_key.h"
#include "update/install_transaction.h"
#include "update/release_gate.h"
#include "update/retry.h"
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
// The copy of the download while it is made: a copy cut short by a full disk never stands at
// the package's name. A stopped copy is overwritten by the next one.
constexpr platform::WChar kPackageCopy[] = WIDE("update.zip.copy");

// A stopped install that was finished or undone is told in the log; none, not. True when the
// folder is whole (the old version or the new one) afterwards.
bool LogRecovery(const RecoveryOutcome& recovery) {
  if (recovery.result != RecoveryResult::kNothing) {
    WriteRecovery(ZM_LOG(streamlog::kLogInfo), recovery);
  }
  return !(recovery.result == RecoveryResult::kIncomplete && recovery.mixed) &&
         recovery.result != RecoveryResult::kBusy;
}

}  // namespace

void StageIn(const WString& installFolder) {
  const WString temp = installFolder + WIDE("temp") + platform::kPreferredSeparator;
  for (const platform::WChar* leftover : kLeftovers) platform::RemoveFile(temp + leftover);

  const WString download = temp + kPackage;
  if (!platform::Exists(download)) return;
  const WString copy = temp + kPackageCopy;
  const WString staged = installFolder + kPackage;
  // The download is the only copy of the package until the staged one exists on the disk: the
  // copy's bytes are flushed before it takes the package's name, and that name before the
  // download goes, or a power cut could leave a package of zeros, or none, and no download.
  if (platform::CopyFileReplacing(download, copy) && platform::FlushFile(copy) &&
      platform::RenameFile(copy, staged, true)) {
    if (platform::FlushFileSystem(installFolder) || platform::FlushFolder(installFolder)) {
      platform::RemoveFile(download);
    }
    return;
  }
  const platform::FileError error = platform::LastFileError();
  platform::RemoveFile(copy);
  // An older staged package is superseded by the download: installing it now would only be
  // undone by the next launch's.
  platform::RemoveFile(staged);
  ZM_LOG(streamlog::kLogInfo) << "update not staged: the download could not be copied ("
                              << platform::DescribeFileError(error)
                              << "); it is kept for the next launch";
}

bool InstallIn(const WString& installFolder, const signing::ProductKeyBytes& productKey,
               const ProgressCallback& progress) {
  const WString package = installFolder + kPackage;
  if (!platform::Exists(package)) {
    // No package, but perhaps a stopped install: it is finished or undone all the same.
    return LogRecovery(RecoverInterruptedInstall(installFolder));
  }
  // The signature check of a large package is part of the wait.
  if (progress) progress(0, 0);
  // Held against writers (read sharing only) from the signature check until the install has
  // read it: the bytes checked are the bytes installed.
  std::unique_ptr<zip::ZipSource> held;
  // A scanner reading the fresh copy holds it for a moment, as it does any new file.
  Retry().Run([&] {
    held = zip::ZipSource::Open(package);
    return held != nullptr;
  });
  // A stopped install is ended first: the installed release's record it may change is read
  // after it.
  const RecoveryOutcome recovery = RecoverInterruptedInstall(installFolder);
  const bool recovered = LogRecovery(recovery);
  if (recovery.result == RecoveryResult::kIncomplete || recovery.result == RecoveryResult::kBusy) {
    InstallOutcome waiting;
    waiting.result = recovery.result == RecoveryResult::kBusy ? InstallResult::kBusy
                                                              : InstallResult::kNotStarted;
    waiting.recovery = recovery;
    WriteOutcome(ZM_LOG(streamlog::kLogInfo), waiting, PackageFate(waiting));
    return recovered;
  }
  const GateDecision gate = CheckPackage(held.get(), installFolder, productKey);
  if (gate.verdict != GateVerdict::kInstall) {
    held.reset();
    WriteGateRefusal(ZM_LOG(streamlog::kLogInfo), gate);
    if (!KeepsRefusedPackage(gate)) platform::RemoveFile(package);
    return recovered;
  }
  InstallOptions options;
  options.flush = true;
  options.progress = progress;
  options.sequenceRecord = gate.sequenceRecord;
  const InstallOutcome outcome = InstallPackage(package, installFolder, options);
  held.reset();  // before the deletion below, which its sharing would refuse
  const bool whole = recovered && LogRecovery(outcome.recovery) &&
                     outcome.result != InstallResult::kBusy && FolderIsWhole(outcome);
  WriteOutcome(ZM_LOG(streamlog::kLogInfo), outcome, PackageFate(outcome));
  if (!KeepsPackage(outcome)) platform::RemoveFile(package);
  return whole;
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

bool InstallPendingUpdate(const update::ProgressCallback& progress) {
  const platform::WString folder = ModuleFolder();
  return folder.empty() || update::InstallIn(folder, signing::ProductPackageKey(), progress);
}
