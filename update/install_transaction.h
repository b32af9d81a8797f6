// Installs an update package over an install folder as one transaction: the folder ends up
// holding the old version or the new one, file for file, never a mix, also when the install
// is stopped at any moment (the next call finishes or undoes it from the journal alone).
//
// Stage: every file item is written next to its target as T.new~ID, its CRC-32 checked;
// nothing of the install folder's own files is touched. Commit, only when every item staged
// cleanly and is on the disk: each existing target is set aside as T.old~ID and the staged
// file renamed into its place. Then the set-aside files are dropped (a running program's at
// the next system start). Any failure rolls back: the old files return, the staged ones and
// the folders the install made go. Items whose names the rules refuse are skipped, as are
// names the install keeps for itself (the package, the journal).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/text.h"
#include "zip/zip_extractor.h"

namespace update {

// What happened to one item that did not simply install.
struct ItemReport {
  std::int32_t index = 0;
  const zip::ZipItem* item = nullptr;  // valid for the callback's duration only
  std::uint32_t result = zip::ExtractOk;
  bool reserved = false;  // skipped: a name the install keeps for its own files
  bool skipped = false;   // true for refused and reserved names; false for the item that failed
};
using ItemCallback = std::function<void(const ItemReport&)>;

enum class RecoveryResult {
  kNothing,        // no journal: nothing was interrupted
  kRolledForward,  // the commit had begun: it was finished
  kRolledBack,     // it had not, or it could not be finished: the old files are back
  kDiscarded,      // the journal was stopped before its header was whole: nothing was done yet
  kIncomplete,     // a file could not be moved back or removed: the journal stays for next time
  kBusy,           // another install holds the journal now
  kStopped,        // stopped by the fault hook (tests only)
};

struct RecoveryOutcome {
  RecoveryResult result = RecoveryResult::kNothing;
  std::uint32_t files = 0;  // file records the journal named
};

enum class InstallResult {
  kInstalled,     // every file and folder item is in place (skipped names aside)
  kRolledBack,    // an item failed: the install folder holds the old version again
  kNotAnArchive,  // the package does not open as an archive: nothing was touched
  kNotStarted,    // the journal could not be made, or an earlier install could not be finished
  kBusy,          // another install is running over the same folder
  kNoRoom,        // the items would not fit the free space: nothing was written
  kStopped,       // stopped by the fault hook as a killed process would be (tests only)
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
  const char* failedStep = "";      // what was being done: "staging", "writing the journal", ...
  bool rollbackIncomplete = false;  // the journal stays; the next call finishes the undo
  // kNoRoom: the items' declared sizes added up, and the bytes free at the root.
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
};

// The points at which tests stop or fail an install. `entry` counts file records of the
// journal from 0 (for kStaged, items of the archive).
enum class Step {
  kJournalMade,  // the journal's header is written, nothing else
  kStaged,       // one file item is staged
  kCommitBegun,  // the commit record is on the disk, no rename yet
  kSetAside,     // one old file is set aside, its new one not yet in place
  kReplaced,     // one new file is in place
  kCommitted,    // every new file is in place, the set-aside ones are still there
  kDropped,      // one set-aside file is dropped
};
enum class FaultAction {
  kGoOn,
  kFail,  // the step fails as a system call would
  kStop,  // everything stops as if the process were killed here: no clean-up at all
};
using FaultHook = std::function<FaultAction(Step step, std::uint32_t entry)>;

struct InstallOptions {
  // Hears of every skipped item and of the one that rolled the install back; may be empty.
  ItemCallback report;
  // Flush the file system once the stage is written, before the commit record, so that a
  // power loss cannot put lost data in place of good old files. The launcher does; a check
  // folder of pkgtool or a test needs no such guarantee. The flush costs the time the system
  // takes to write the staged data out.
  bool flush = false;
  FaultHook fault;  // tests only
};

// Finishes or undoes, from its journal alone, an install over `root` (ending in a separator)
// that was stopped.
RecoveryOutcome RecoverInterruptedInstall(const platform::WString& root,
                                          const FaultHook& fault = nullptr);

// Recovers an interrupted install first, then installs `package` over `root` (created when
// missing).
InstallOutcome InstallPackage(const platform::WString& package, const platform::WString& root,
                              const InstallOptions& options = {});

// One line for each outcome, in the words a product team reads in the log and pkgtool prints.
// `out` takes narrow ASCII text, numbers and wide text (names): a log stream or any adapter.
template <typename Out>
void WriteOutcome(Out&& out, const InstallOutcome& o);
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
      out << "update resumed from the journal: files could not be moved back yet, the journal "
             "stays for the next launch";
      return;
    case RecoveryResult::kBusy:
      out << "update: another install is running in this folder";
      return;
    case RecoveryResult::kStopped:
      out << "update: recovery stopped";
      return;
  }
}

template <typename Out>
void WriteOutcome(Out&& out, const InstallOutcome& o) {
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
      if (o.failedIndex >= 0) out << ": " << zip::DescribeExtractResult(o.failedResult);
      out << (o.rollbackIncomplete ? "; not every old file is back yet, the next launch finishes"
                                   : "; the old version is back");
      return;
    case InstallResult::kNotAnArchive:
      out << "update not installed: the package is not an archive";
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
    case InstallResult::kStopped:
      out << "update stopped";
      return;
  }
}

}  // namespace update
