// Installs an update package over an install folder as one transaction: the folder ends up
// holding the old version or the new one, file for file, never a mix, also when the install
// is stopped at any moment, killed or cut off by a power loss, and when a second fault meets
// the undo or the next launch's recovery.
//
// Every decision is written down before it is acted on (update/journal.h). Plan: each item's
// fate (a new file staged beside its target as T.new~ID, a replaced one set aside as T.old~ID
// in the commit, a file in a folder the install makes written under its own name, a folder
// made) goes into the journal, which is flushed before anything is made. Stage: the files are
// written and their CRC-32 checked; nothing of the install folder's own files is touched. Then
// every staged file is confirmed present with its size, the staged data are flushed, and the
// commit record is flushed. Commit: each old file is set aside and the staged one renamed into
// place. Then a committed record, and the set-aside files are dropped (a running program's at
// the next system start). A failure before the commit record, or in the commit, writes a
// rollback record first and undoes everything; once written, a rollback is never turned into
// a roll forward. Recovery does what the last phase record says, and stops, keeping the
// journal, where the system cannot say what a name is. Short locks are waited out
// (update/retry.h). Items whose names the rules refuse, or whose full path would pass 259
// units, are skipped, as are names the install keeps for itself (the package, the journal).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/file_error.h"
#include "platform/text.h"
#include "zip/zip_extractor.h"

namespace update {

// What happened to one item that did not simply install.
struct ItemReport {
  std::int32_t index = 0;
  const zip::ZipItem* item = nullptr;  // valid for the callback's duration only
  std::uint32_t result = zip::ExtractOk;
  bool reserved = false;  // skipped: a name the install keeps for its own files
  bool tooLong = false;   // skipped: its full path in the install folder passes 259 units
  bool skipped = false;   // true for skipped names; false for the item that failed
};
using ItemCallback = std::function<void(const ItemReport&)>;

// How far an install has come: `done` of `total` units, where each byte staged is one unit and
// each file put in place by the commit kCommitStepUnits. Neither passes the other; `total` is
// fixed once the plan is made.
using ProgressCallback = std::function<void(std::uint64_t done, std::uint64_t total)>;
// Each file of the commit weighs as this many staged bytes (a rename pair against a small
// file's write, roughly), so that a bar fed by the callback does not stand still through the
// commit of a package of many small files.
inline constexpr std::uint64_t kCommitStepUnits = 8192;

enum class RecoveryResult {
  kNothing,        // no journal: nothing was interrupted
  kRolledForward,  // the commit had begun: it was finished
  kRolledBack,     // it had not, or it could not be finished: the old files are back
  kDiscarded,      // the journal was stopped before its header was whole: nothing was done yet
  // A file could not be moved or removed yet, or the system could not say what a name is:
  // the journal stays, and the next launch goes on from it.
  kIncomplete,
  kBusy,  // another install holds the journal now
};

struct RecoveryOutcome {
  RecoveryResult result = RecoveryResult::kNothing;
  std::uint32_t files = 0;  // file records the journal named
};

enum class InstallResult {
  kInstalled,     // every file and folder item is in place (skipped names aside)
  kRolledBack,    // an item failed: the install folder holds the old version again
  kNotAnArchive,  // the package does not open as an archive: nothing was touched
  kUnreadable,    // the package could not be opened now (in use, say): nothing was touched
  kNotStarted,    // the journal could not be made, or an earlier install could not be finished
  kBusy,          // another install is running over the same folder
  kNoRoom,        // the items would not fit the free space: nothing was written
};

struct InstallOutcome {
  InstallResult result = InstallResult::kNotStarted;
  RecoveryOutcome recovery;   // what the interrupted install before this one needed
  std::uint32_t items = 0;    // items in the archive
  std::uint32_t written = 0;  // file and folder items installed
  std::uint32_t skipped = 0;  // items skipped for their names
  // kRolledBack: the item that failed (-1 when the failure was the install's own, such as
  // the journal) and why.
  std::int32_t failedIndex = -1;
  platform::WString failedName;  // the item's name, or the file record's target
  std::uint32_t failedResult = zip::ExtractOk;
  const char* failedStep = "";  // what was being done: "staging", "writing the journal", ...
  // Why a file-system step failed, when it was one; and a reason in words where neither the
  // item's result nor the error says it ("the staged file is gone").
  platform::FileError failedError = platform::FileError::kNone;
  const char* failedReason = nullptr;
  // The journal stays, and the next call ends the install: it finishes the undo, or, when not
  // even the rollback record could be written, does what the journal says.
  bool rollbackIncomplete = false;
  // The package itself is at fault (damaged or unsupported data, names that clash within it):
  // it would fail the same way again. Otherwise the machine was (a lock, a full disk, a
  // scanner), and the package is worth another try.
  bool packageAtFault = false;
  // Milliseconds spent waiting for files that were in use for a moment.
  std::uint32_t waitedMs = 0;
  // kNoRoom: the items' declared sizes added up, and the bytes free at the root.
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
};

struct InstallOptions {
  // Hears of every skipped item and of the one that rolled the install back; may be empty.
  ItemCallback report;
  // Survive a power loss: the journal's records and phases reach the disk before they are
  // acted on, and the staged data before the commit record (the volume, or, where it cannot be
  // flushed, as on a network share, each staged file), so that no lost data is put in place of
  // good old files. The launcher does; a check folder of pkgtool or a test needs no such
  // guarantee (a stopped process loses nothing written either way). It costs the time the
  // system takes to write the journal and the staged data out.
  bool flush = false;
  // Hears of every file staged and of every file the commit put in place; may be empty.
  ProgressCallback progress;
};

// Finishes or undoes, from its journal alone, an install over `root` (ending in a separator)
// that was stopped.
RecoveryOutcome RecoverInterruptedInstall(const platform::WString& root);

// Recovers an interrupted install first, then installs `package` over `root` (created when
// missing).
InstallOutcome InstallPackage(const platform::WString& package, const platform::WString& root,
                              const InstallOptions& options = {});

// One line for each outcome, in the words a product team reads in the log and pkgtool prints,
// with `tail` (may be null) at its end. `out` takes narrow ASCII text, numbers and wide text
// (names): a log stream or any adapter.
template <typename Out>
void WriteOutcome(Out&& out, const InstallOutcome& o, const char* tail = nullptr);
template <typename Out>
void WriteRecovery(Out&& out, const RecoveryOutcome& r);

// --- implementation of the templates -------------------------------------------------------

template <typename Out>
void WriteRecovery(Out&& out, const RecoveryOutcome& r) {
  switch (r.result) {
    case RecoveryResult::kNothing:
      out << "update: no interrupted install";
      return;
    case RecoveryResult::kRolledForward:
      out << "update resumed from the journal: the interrupted install was finished (" << r.files
          << " files)";
      return;
    case RecoveryResult::kRolledBack:
      out << "update resumed from the journal: the interrupted install was undone (" << r.files
          << " files), the old version is back";
      return;
    case RecoveryResult::kDiscarded:
      out << "update resumed from the journal: the install had not begun, journal removed";
      return;
    case RecoveryResult::kIncomplete:
      out << "update resumed from the journal: files could not be moved yet, the journal "
             "stays for the next launch";
      return;
    case RecoveryResult::kBusy:
      out << "update: another install is running in this folder";
      return;
  }
}

template <typename Out>
void WriteOutcomeBody(Out&& out, const InstallOutcome& o) {
  switch (o.result) {
    case InstallResult::kInstalled:
      out << "update installed: " << o.written << " of " << o.items << " items";
      if (o.skipped != 0) out << ", " << o.skipped << " skipped for their names";
      return;
    case InstallResult::kRolledBack:
      out << "update rolled back";
      if (o.failedIndex >= 0) {
        out << " at item " << o.failedIndex << " (" << o.failedName << ")";
      } else if (!o.failedName.empty()) {
        out << " at " << o.failedName;
      }
      out << ", " << o.failedStep;
      if (o.failedReason != nullptr) {
        out << ": " << o.failedReason;
      } else if (o.failedResult != zip::ExtractOk) {
        out << ": " << zip::DescribeExtractResult(o.failedResult);
        if (o.failedError != platform::FileError::kNone) {
          out << " (" << platform::DescribeFileError(o.failedError) << ")";
        }
      } else if (o.failedError != platform::FileError::kNone) {
        out << ": " << platform::DescribeFileError(o.failedError);
      }
      out << (o.rollbackIncomplete ? "; not every file is back yet, the next launch ends it"
                                   : "; the old version is back");
      return;
    case InstallResult::kNotAnArchive:
      out << "update not installed: the package is not an archive";
      return;
    case InstallResult::kUnreadable:
      out << "update not installed: the package could not be read ("
          << platform::DescribeFileError(o.failedError) << ")";
      return;
    case InstallResult::kNotStarted:
      out << "update not installed: "
          << (o.recovery.result == RecoveryResult::kIncomplete
                  ? "an interrupted install could not be finished"
                  : "the journal could not be made");
      return;
    case InstallResult::kBusy:
      out << "update not installed: another install is running in this folder";
      return;
    case InstallResult::kNoRoom:
      out << "update not installed: its files need " << o.needed << " bytes, the disk has "
          << o.available << " free";
      return;
  }
}

template <typename Out>
void WriteOutcome(Out&& out, const InstallOutcome& o, const char* tail) {
  WriteOutcomeBody(out, o);
  if (o.waitedMs != 0) out << " (waited " << o.waitedMs << " ms for files in use)";
  if (tail != nullptr) out << tail;
}

}  // namespace update
