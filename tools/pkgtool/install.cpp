#include "tools/pkgtool/commands.h"

#include <string>

#include "update/install_transaction.h"
#include "update/release_gate.h"
#include "zip/zip_extractor.h"

namespace pkgtool {

using platform::WString;

namespace {

// Each item skipped for its name, or that rolled the install back, goes to `err`; the outcome
// line the launcher logs to `out` when the package installed, to `err` when it did not.
int Install(const WString& path, const WString& dest, const std::string& sequenceRecord,
            std::FILE* out, std::FILE* err) {
  update::InstallOptions options;
  options.sequenceRecord = sequenceRecord;
  options.report = [&](const update::ItemReport& r) {
    const std::string why =
        r.fate == update::ItemFate::kReserved  ? "name kept for the install's own files"
        : r.fate == update::ItemFate::kTooLong ? "path too long in DEST (more than 259 units)"
                                               : zip::DescribeItemProblem(*r.item, r.result);
    std::fprintf(err, "pkgtool: %s: item %d %s: %s%s\n", Narrow(path).c_str(), r.index,
                 DisplayName(*r.item).c_str(), why.c_str(), r.skipped() ? "; skipped" : "");
  };
  const update::InstallOutcome outcome = update::InstallPackage(path, dest, options);
  const bool reopens = (outcome.result == update::InstallResult::kNotAnArchive ||
                        outcome.result == update::InstallResult::kUnreadable) &&
                       zip::ZipExtractor::Open(path, dest, nullptr) != nullptr;
  if (outcome.result == update::InstallResult::kUnreadable && !reopens) {
    ReportOpenFailure(path, err);
    return 2;
  }
  // One that opens now could not be read a moment ago: the disk's doing, told as the launcher
  // tells it below.
  if (outcome.result == update::InstallResult::kNotAnArchive) {
    if (reopens) {
      // The archive opens: it is the destination that does not fit the path buffer.
      std::fprintf(err, "pkgtool: %s: destination path too long\n", Narrow(dest).c_str());
    } else {
      ReportOpenFailure(path, err);
    }
    return 2;
  }
  if (outcome.recovery.result != update::RecoveryResult::kNothing) {
    Utf8Line line;
    update::WriteRecovery(line, outcome.recovery);
    std::fprintf(out, "%s\n", line.text.c_str());
  }
  Utf8Line line;
  // The fate the launcher would give the package, so that a team reads the same line.
  update::WriteOutcome(line, outcome, update::PackageFate(outcome));
  const bool installed = outcome.result == update::InstallResult::kInstalled;
  std::fprintf(installed ? out : err, "%s\n", line.text.c_str());
  if (outcome.result == update::InstallResult::kUnreadable) return 2;
  return installed && outcome.skipped == 0 ? 0 : 1;
}

}  // namespace

int InstallPackage(const WString& path, const WString& dest, std::FILE* out, std::FILE* err) {
  return Install(path, dest, std::string(), out, err);
}

int InstallChecked(const WString& keyFile, const std::string& product, const WString& path,
                   const WString& dest, std::FILE* out, std::FILE* err) {
  signing::PublicKey key;
  if (const int code = ReadPublicKey(keyFile, key, err); code != 0) return code;
  // As the launcher: a stopped install ends before DEST's record is read.
  const update::RecoveryOutcome recovery = update::RecoverInterruptedInstall(dest);
  if (recovery.result != update::RecoveryResult::kNothing) {
    const bool ended = recovery.result != update::RecoveryResult::kIncomplete &&
                       recovery.result != update::RecoveryResult::kBusy;
    Utf8Line line;
    update::WriteRecovery(line, recovery);
    std::fprintf(ended ? out : err, "%s\n", line.text.c_str());
    if (!ended) return 1;
  }
  const WString root = dest.back() == platform::kPreferredSeparator || dest.back() == WIDE('/')
                           ? dest
                           : dest + platform::kPreferredSeparator;
  // Held against writers from the check until the install has read it, as the launcher holds
  // it: the bytes checked are the bytes installed.
  std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(path);
  if (!source) {
    ReportOpenFailure(path, err);
    return 2;
  }
  const update::GateDecision gate = update::CheckPackage(source.get(), root, key, product);
  if (gate.verdict != update::GateVerdict::kInstall) {
    Utf8Line line;
    update::WriteGateRefusal(line, gate);
    // The fate the launcher would give the package; pkgtool leaves it where it is.
    std::fprintf(err, "%s%s\n", line.text.c_str(),
                 update::KeepsRefusedPackage(gate) ? "" : "; a launcher deletes the package");
    return gate.signature == signing::SignatureState::kNotAnArchive ||
                   gate.signature == signing::SignatureState::kUnreadable
               ? 2
               : 1;
  }
  return Install(path, dest, gate.sequenceRecord, out, err);
}

int Recover(const WString& dest, std::FILE* out, std::FILE* err) {
  const update::RecoveryOutcome r = update::RecoverInterruptedInstall(dest);
  Utf8Line line;
  update::WriteRecovery(line, r);
  const bool ended =
      r.result != update::RecoveryResult::kIncomplete && r.result != update::RecoveryResult::kBusy;
  std::fprintf(ended ? out : err, "%s\n", line.text.c_str());
  return ended ? 0 : 1;
}

}  // namespace pkgtool
