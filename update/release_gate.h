// The gate before an install: the package's signature by the product's key, and its place in
// the product's order of releases against the one installed, so that no older signed package
// can be replayed over a newer one.
//
// The installed release's number lives in the install folder, in update.sequence, a file the
// install keeps for itself (no package item may take its name): one line, the number as a v2
// signature writes it, then "\n". The install writes it within its own transaction
// (InstallOptions::sequenceRecord), so the folder never holds new files with the old number or
// old files with the new one. Only a launcher with a key reads or writes it: a number it had
// not checked would be anyone's to choose.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_error.h"
#include "platform/text.h"
#include "signing/package_signature.h"
#include "zip/zip_reader.h"

namespace update {

// The installed release's record in the install folder.
inline constexpr platform::WChar kSequenceRecordName[] = WIDE("update.sequence");

struct InstalledSequence {
  enum State {
    kNone,        // no record: no numbered package has installed
    kNumbered,    // `sequence` is installed
    kUnreadable,  // the record is there but cannot be read (`error` says why)
    kMalformed,   // the record does not hold one number as the install writes it
  };
  State state = kNone;
  std::uint64_t sequence = 0;
  platform::FileError error = platform::FileError::kNone;
};

// Reads the record of the install folder `root` (ending in a separator).
InstalledSequence ReadInstalledSequence(const platform::WString& root);

// The record's bytes for release `sequence` (1 and up).
std::string SequenceRecordText(std::uint64_t sequence);

enum class GateVerdict {
  kInstall,
  kSignature,       // the signature refused it: see `signature`
  kOlder,           // older than the installed release (unnumbered after a numbered one)
  kRecordUnusable,  // the installed record cannot be trusted: nothing can be compared
};

struct GateDecision {
  GateVerdict verdict = GateVerdict::kSignature;
  signing::SignatureState signature = signing::SignatureState::kUnreadable;
  signing::PackageRelease release;  // what the package's signature says
  InstalledSequence installed;      // kOlder, kRecordUnusable: what the folder holds
  // kInstall: the record the install writes with the package's files; empty: none (no key,
  // or an unnumbered package).
  std::string sequenceRecord;
};

// The launcher's gate over the install folder `root` (ending in a separator; any interrupted
// install there already ended) for the package in `source` (null: it did not open): with no key
// in `productKey` every package installs and nothing is recorded.
GateDecision CheckPackage(zip::ZipSource* source, const platform::WString& root,
                          const signing::ProductKeyBytes& productKey);
// The same with a key read from a file, for `product` (pkgtool extract --key).
GateDecision CheckPackage(zip::ZipSource* source, const platform::WString& root,
                          const signing::PublicKey& key, std::string_view product);

// Whether a refused package stays for the next launch: only when nothing was decided about the
// package itself (the machine's fault).
bool KeepsRefusedPackage(const GateDecision& d);

// The log line for a package the gate refused.
template <typename Out>
void WriteGateRefusal(Out&& out, const GateDecision& d) {
  switch (d.verdict) {
    case GateVerdict::kInstall:
    case GateVerdict::kSignature:
      signing::WriteRefusal(out, d.signature, d.release);
      return;
    case GateVerdict::kOlder:
      out << "update not installed: package " << d.release.sequence
          << (d.release.numbered() ? "" : " (unnumbered)") << " is older than the installed "
          << d.installed.sequence;
      return;
    case GateVerdict::kRecordUnusable:
      out << "update not installed: the installed release's record (update.sequence) ";
      if (d.installed.state == InstalledSequence::kUnreadable) {
        out << "cannot be read (" << platform::DescribeFileError(d.installed.error) << ")";
      } else {
        out << "is damaged";
      }
      out << "; the package stays for the next launch";
      return;
  }
}

}  // namespace update
