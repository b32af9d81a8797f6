// Installs an update package over an install folder as one transaction: the folder ends up
// holding the old version or the new one, file for file, never a mix, also when the install
// is stopped at any moment, killed or cut off by a power loss, and when a second fault meets
// the undo or the next launch's recovery; and whatever another program writes meanwhile stays.
//
// Every decision is written down before it is acted on (update/journal.h). Plan: each item's
// fate (a new file staged beside its target as T.new~ID, a replaced one set aside as T.old~ID
// in the commit, a folder made as F.dir~ID with its files under their own names inside) goes
// into the journal, which is flushed before anything is made. Stage: the files are written and
// their CRC-32 checked; nothing of the install folder's own files is touched. Then every staged
// file is confirmed present with its size, the staged data and names are flushed, and the
// commit record is flushed. Commit: each new folder is renamed into place, each old file set
// aside and the staged one renamed into place; the renames are flushed. Then a committed
// record, and the set-aside files are dropped (a running program's at the next system start).
// A failure before the commit record, or in the commit, writes a rollback record first and
// undoes everything, last record first, with patience of its own; once written, a rollback is
// never turned into a roll forward. Recovery does what the last phase record says, and stops,
// keeping the journal, where the system cannot say what a name is. Short locks are waited out
// (update/retry.h). Items whose names the rules refuse, or whose full path would pass 259
// units, are skipped, as are names the install keeps for itself (the package, the journal).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_error.h"
#include "platform/text.h"
#include "zip/zip_extractor.h"

namespace update {

// What became of an item that did not simply install.
enum class ItemFate {
  kFailed,    // it rolled the install back
  kUnsafe,    // skipped: the name rules refuse its name
  kReserved,  // skipped: a name the install keeps for its own files
  kTooLong,   // skipped: its full path in the install folder passes 259 units
};

struct ItemReport {
  std::int32_t index = 0;
  const zip::ZipItem* item = nullptr;  // valid for the callback's duration only
  std::uint32_t result = zip::ExtractOk;
  ItemFate fate = ItemFate::kFailed;
  bool skipped() const { return fate != ItemFate::kFailed; }
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
  // kIncomplete: the folder may hold neither version (the undo or the roll forward did not
  // end), so the client must not start on it. False where only set-aside old files are left
  // to delete: the new version is whole.
  bool mixed = false;
  // kIncomplete: the journal is of a format this launcher does not know, and stays untouched.
  bool unknownFormat = false;
  // Folders the install had made that the undo left, since other programs wrote into them.
  std::uint32_t foldersKept = 0;
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
  // Why the item's own data failed, in the words pkgtool check uses ("unsupported method 12").
  std::string failedCause;
  // The journal stays, and the next call ends the install: it finishes the undo, or, when not
  // even the rollback record could be written, does what the journal says.
  bool rollbackIncomplete = false;
  // The package itself is at fault (damaged or unsupported data, names that clash within it):
  // it would fail the same way again. Otherwise the machine was (a lock, a full disk, a
  // scanner), and the package is worth another try.
  bool packageAtFault = false;
  // Milliseconds spent waiting for files that were in use for a moment.
  std::uint32_t waitedMs = 0;
  // Old files that were gone (a scanner's quarantine, say) when they were to be set aside:
  // nothing to keep, so their new files took their names all the same.
  std::uint32_t oldFilesGone = 0;
  // Folders the install had made that its undo left, since other programs wrote into them.
  std::uint32_t foldersKept = 0;
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
  // The installed release's record (update/release_gate.h) that this install puts in place with
  // the package's files: staged, committed, undone and finished by a roll forward as one of
  // them, so the folder never pairs new files with the old number or old files with the new.
  // Empty: the record is left as it is.
  std::string sequenceRecord;
};

// Whether the package is kept for the next launch after `o`: it goes once it was installed,
// or when it is at fault itself (damaged, or not something this launcher installs), since it
// would fail the same way again; when the machine was at fault (a read of the disk, a lock
// that did not lift, a full disk, a scanner), it is worth another try.
bool KeepsPackage(const InstallOutcome& o);
// "; the package is kept for the next launch" or "; the package is deleted" after an outcome
// that did not install, null after one that did: the tail of the outcome line.
const char* PackageFate(const InstallOutcome& o);
// Whether the client may start on the folder after `o`: not while it may hold neither the old
// version nor the new one.
bool FolderIsWhole(const InstallOutcome& o);

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
void WriteFoldersKept(Out&& out, std::uint32_t kept) {
  if (kept != 0) {
    out << "; " << kept << (kept == 1 ? " folder" : " folders")
        << " kept, since other programs wrote into them";
  }
}

template <typename Out>
void WriteRecoveryBody(Out&& out, const RecoveryOutcome& r) {
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
      if (r.unknownFormat) {
        out << "update resumed from the journal: its format is not known to this launcher, "
               "the journal is left as it is";
        return;
      }
      out << "update resumed from the journal: files could not be moved yet, the journal "
             "stays for the next launch";
      if (!r.mixed) out << " (the new version is in place, old files wait to be deleted)";
      return;
    case RecoveryResult::kBusy:
      out << "update: another install is running in this folder";
      return;
  }
}

template <typename Out>
void WriteRecovery(Out&& out, const RecoveryOutcome& r) {
  WriteRecoveryBody(out, r);
  WriteFoldersKept(out, r.foldersKept);
}

template <typename Out>
void WriteOutcomeBody(Out&& out, const InstallOutcome& o) {
  switch (o.result) {
    case InstallResult::kInstalled:
      out << "update installed: " << o.written << " of " << o.items << " items";
      if (o.skipped != 0) out << ", " << o.skipped << " skipped for their names";
      if (o.oldFilesGone != 0) {
        out << ", " << o.oldFilesGone << (o.oldFilesGone == 1 ? " old file was" : " old files were")
            << " gone before it could be set aside";
      }
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
      } else if (!o.failedCause.empty()) {
        out << ": " << o.failedCause.c_str();
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
      WriteFoldersKept(out, o.foldersKept);
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
          << (o.recovery.result != RecoveryResult::kIncomplete ? "the journal could not be made"
              : o.recovery.unknownFormat
                  ? "an interrupted install left a journal this launcher cannot read"
                  : "an interrupted install could not be finished");
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
