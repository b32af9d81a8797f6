#include "update/pending_update.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

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
// update.zip.copy: a copy that an earlier launcher made in temp\.
const platform::WChar* const kLeftovers[] = {
    WIDE("Updater.exe"), WIDE("update.td0"), WIDE("update.td1"),      WIDE("update.td2"),
    WIDE("update.td3"),  WIDE("update.td"),  WIDE("update.zip.copy"),
};

constexpr platform::WChar kPackage[] = WIDE("update.zip");
// The copy of the download while it is made, in the install folder: a copy cut short by a full
// disk never stands at the package's name. A stopped copy is removed by the next launch.
constexpr platform::WChar kPackageCopy[] = WIDE("update.zip.copy");
// The download is copied in pieces of this size.
constexpr std::size_t kCopyPiece = 1 << 20;

// Whether the file opened as `path` in temp\ may be read and deleted: a plain file with no
// other name. temp\ is where downloads land, and a link there (symbolic, junction, hard)
// would turn the launcher's rights onto whatever file it leads to. A refusal is logged after
// `what`; the file is left alone, since it may be another program's.
bool IsDownloadsOwn(platform::File& file, const WString& path, const char* what) {
  platform::OpenedFileInfo info;
  if (!file.Inspect(info)) return false;
  using Kind = platform::OpenedFileInfo::Kind;
  if (info.kind == Kind::kRegular && info.links == 1) return true;
  const std::string why =
      info.kind == Kind::kLink ? "a link (symbolic link, junction or other reparse point)"
      : info.kind != Kind::kRegular
          ? "not a plain file"
          : "a file with " + std::to_string(info.links) + " names (a hard link)";
  ZM_LOG(streamlog::kLogInfo) << what << path << " is " << why << "; it is left alone";
  return false;
}

// Copies `size` bytes of `from` into `to`; false with the error set when a read, a write or
// the file's length fails.
bool CopyBytes(platform::File& from, std::uint64_t size, platform::File& to) {
  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyPiece]);
  if (!buffer) {
    platform::SetLastFileError(platform::FileError::kOther);
    return false;
  }
  for (std::uint64_t offset = 0; offset < size;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyPiece, size - offset));
    const std::int64_t got = from.ReadAt(offset, buffer.get(), want);
    if (got != static_cast<std::int64_t>(want)) {
      if (got >= 0) platform::SetLastFileError(platform::FileError::kOther);  // it shrank
      return false;
    }
    if (!to.Write(buffer.get(), want)) return false;
    offset += want;
  }
  return true;
}

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

void StageIn(const WString& installFolder, const signing::ProductKeyBytes& productKey) {
  const WString copy = installFolder + kPackageCopy;
  const WString staged = installFolder + kPackage;
  platform::RemoveFile(copy);  // a stopped launch's

  // A link at temp\ itself would lead every name below it elsewhere (a junction to an object
  // manager folder, say, whose links name any file): nothing below one is touched.
  const WString tempFolder = installFolder + WIDE("temp");
  {
    platform::File folder = platform::File::OpenNoFollow(tempFolder);
    if (!folder) return;  // no download
    platform::OpenedFileInfo info;
    if (!folder.Inspect(info) || info.kind == platform::OpenedFileInfo::Kind::kLink) {
      ZM_LOG(streamlog::kLogInfo) << "update not staged: " << tempFolder
                                  << " is a link (symbolic link, junction or other reparse "
                                     "point); nothing in it is touched";
      return;
    }
  }
  const WString temp = tempFolder + platform::kPreferredSeparator;
  for (const platform::WChar* leftover : kLeftovers) {
    const WString path = temp + leftover;
    platform::File file = platform::File::OpenNoFollow(path);
    if (file && IsDownloadsOwn(file, path, "download leftover kept: ")) file.RemoveOpened(path);
  }
  // The download is opened once: its signature is checked, its copy made and its name deleted
  // through this one handle, which keeps writers out meanwhile, so the bytes checked are the
  // bytes copied and no name is looked up again.
  const WString download = temp + kPackage;
  platform::File file = platform::File::OpenNoFollow(download);
  std::uint64_t size = 0;
  if (!file) {
    if (platform::LastFileError() == platform::FileError::kNotFound) return;
  } else if (!IsDownloadsOwn(file, download, "update not staged: ")) {
    return;
  }
  if (!file || !file.Size(size)) {
    ZM_LOG(streamlog::kLogInfo) << "update not staged: the download could not be opened ("
                                << platform::DescribeFileError(platform::LastFileError())
                                << "); it is kept for the next launch";
    return;
  }
  zip::ZipSource source(std::move(file), size);
  const signing::SignatureState signature = signing::CheckProductSignature(&source, productKey);
  if (signature != signing::SignatureState::kValid) {
    signing::WriteRefusal(ZM_LOG(streamlog::kLogInfo), signature);
    if (!signing::KeepsRefusedPackage(signature)) source.file().RemoveOpened(download);
    return;
  }
  // The download is the only copy of the package until the staged one exists on the disk: the
  // copy's bytes are flushed before it takes the package's name, and that name before the
  // download goes, or a power cut could leave a package of zeros, or none, and no download.
  platform::File target = platform::File::CreateNew(copy, 0);
  if (target && CopyBytes(source.file(), size, target) && target.Flush() && target.Close() &&
      platform::RenameFile(copy, staged, true)) {
    if (platform::FlushFileSystem(installFolder) || platform::FlushFolder(installFolder)) {
      source.file().RemoveOpened(download);
    }
    return;
  }
  const platform::FileError error = platform::LastFileError();
  target.Close();
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
  if (!folder.empty()) update::StageIn(folder, signing::ProductPackageKey());
}

bool InstallPendingUpdate(const update::ProgressCallback& progress) {
  const platform::WString folder = ModuleFolder();
  return folder.empty() || update::InstallIn(folder, signing::ProductPackageKey(), progress);
}
