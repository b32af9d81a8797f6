#include "update/release_gate.h"

#include "platform/file.h"
#include "platform/file_system.h"
#include "update/retry.h"

namespace update {
namespace {

using platform::FileError;
using platform::WString;

// The longest record: 20 digits and a line break. A longer file is no record of ours.
constexpr std::size_t kLargestRecord = 21;

InstalledSequence Unreadable(FileError error) {
  InstalledSequence r;
  r.state = InstalledSequence::kUnreadable;
  r.error = error == FileError::kNone ? FileError::kOther : error;
  return r;
}

// The order of releases, once the signature has passed.
GateDecision AfterSignature(signing::SignatureState signature, signing::PackageRelease release,
                            const WString& root) {
  GateDecision d;
  d.signature = signature;
  d.release = std::move(release);
  if (signature != signing::SignatureState::kValid) return d;
  d.installed = ReadInstalledSequence(root);
  switch (d.installed.state) {
    case InstalledSequence::kUnreadable:
    case InstalledSequence::kMalformed:
      // Guessing low would let any older package in: nothing installs until a person looks.
      d.verdict = GateVerdict::kRecordUnusable;
      return d;
    case InstalledSequence::kNone:
    case InstalledSequence::kNumbered:
      break;
  }
  // Equal installs: a retry of the release installed, or its install after an undo.
  if (d.release.sequence < d.installed.sequence) {
    d.verdict = GateVerdict::kOlder;
    return d;
  }
  d.verdict = GateVerdict::kInstall;
  if (d.release.numbered()) d.sequenceRecord = SequenceRecordText(d.release.sequence);
  return d;
}

}  // namespace

InstalledSequence ReadInstalledSequence(const WString& root) {
  const WString path = root + kSequenceRecordName;
  switch (platform::Probe(path)) {
    case platform::PathKind::kMissing:
      return InstalledSequence{};
    case platform::PathKind::kFile:
      break;
    default:
      return Unreadable(platform::LastFileError());
  }
  platform::File file;
  // A scanner looking at the file holds it for a moment, as it does any file.
  if (!Retry().Run([&] {
        file = platform::File::OpenForRead(path);
        return static_cast<bool>(file);
      })) {
    return Unreadable(platform::LastFileError());
  }
  char text[kLargestRecord + 1];
  const std::int64_t got = file.ReadAt(0, text, sizeof text);
  if (got < 0) return Unreadable(platform::LastFileError());
  InstalledSequence r;
  r.state = InstalledSequence::kMalformed;
  const auto size = static_cast<std::size_t>(got);
  if (size == 0 || size > kLargestRecord || text[size - 1] != '\n' ||
      !signing::ParseSequence(std::string_view(text, size - 1), r.sequence)) {
    r.sequence = 0;
    return r;
  }
  r.state = InstalledSequence::kNumbered;
  return r;
}

std::string SequenceRecordText(std::uint64_t sequence) { return std::to_string(sequence) + "\n"; }

GateDecision CheckPackage(zip::ZipSource* source, const WString& root,
                          const signing::ProductKeyBytes& productKey) {
  signing::PackageRelease release;
  const signing::SignatureState signature =
      signing::CheckProductSignature(source, productKey, &release);
  // Without a key nothing is checked, so no number is worth recording or comparing.
  if (productKey.size == 0) {
    GateDecision d;
    d.signature = signature;
    d.verdict = GateVerdict::kInstall;
    return d;
  }
  return AfterSignature(signature, std::move(release), root);
}

GateDecision CheckPackage(zip::ZipSource* source, const WString& root,
                          const signing::PublicKey& key, std::string_view product) {
  signing::PackageRelease release;
  const signing::SignatureState signature =
      signing::CheckProductSignature(source, key, product, release);
  return AfterSignature(signature, std::move(release), root);
}

bool KeepsRefusedPackage(const GateDecision& d) {
  switch (d.verdict) {
    case GateVerdict::kSignature:
      return signing::KeepsRefusedPackage(d.signature);
    case GateVerdict::kRecordUnusable:
      return true;
    default:
      return false;
  }
}

}  // namespace update
