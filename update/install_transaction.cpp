#include "update/install_transaction.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "update/install_plan.h"
#include "update/journal.h"
#include "update/journal_replay.h"
#include "update/release_gate.h"
#include "update/retry.h"
#include "zip/item_path.h"

namespace update {
namespace {

using platform::FileError;
using platform::PathKind;
using platform::WString;

WString WithSeparator(WString root) {
  if (root.empty() || !zip::IsSeparator(root.back())) root += platform::kPreferredSeparator;
  return root;
}

// Whether a failed item says the package is damaged or unsupported, rather than that the
// disk or the system failed it. A failed read of the package shows as damage to the reader
// (a header that does not check, data cut short): it is the disk's all the same.
bool IsPackageFault(std::uint32_t result, bool readError) {
  switch (result) {
    case zip::ExtractCorrupt:
    case zip::ExtractReadFailed:
    case zip::ExtractBadPassword:
    case zip::ExtractCrcMismatch:
    case zip::ExtractOverlap:
    case zip::ExtractNameMismatch:
    case zip::ExtractInflateFailed:
      return !readError;
    default:
      return false;
  }
}

// A rollback's own patience: an install that used up its waiting on files in use must still
// be able to wait for them while it undoes itself.
ReplayContext WithOwnPatience(const ReplayContext& c, Retry& retry) {
  ReplayContext own = c;
  own.retry = &retry;
  return own;
}

RecoveryOutcome Recover(const ReplayContext& c) {
  RecoveryOutcome r;
  const WString path = c.Full(kJournalName);
  auto incomplete = [&](bool mixed) {
    r.result = RecoveryResult::kIncomplete;
    r.mixed = mixed;
    return r;
  };
  switch (platform::Probe(path)) {
    case PathKind::kMissing:
      return r;
    case PathKind::kFile:
      break;
    default:
      return incomplete(true);
  }
  platform::File file = platform::File::OpenExclusive(path);
  if (!file) {
    if (platform::LastFileError() != FileError::kBusy) return incomplete(true);
    r.result = RecoveryResult::kBusy;
    return r;
  }
  JournalReader scan(file);
  if (!scan.ReadHeader() && !scan.failed()) {
    if (scan.unknownFormat()) {
      // A later launcher's: what it says cannot be known here, so nothing is touched.
      r.unknownFormat = true;
      return incomplete(true);
    }
    // The header is written before anything else, and nothing is made before the records
    // are on the disk: nothing to finish or undo.
    file.Close();
    r.result = RemoveJournal(c) ? RecoveryResult::kDiscarded : RecoveryResult::kIncomplete;
    return r;
  }
  JournalEntry e;
  while (scan.Next(e)) {
    if (e.kind != JournalEntry::kFolder && e.kind != JournalEntry::kRestart) ++r.files;
  }
  // A journal not read to its end says nothing of its phase.
  if (scan.failed()) return incomplete(true);
  const JournalPhase phase = scan.phase();
  JournalWriter journal;
  if (!journal.Resume(std::move(file), scan.idText(), scan.end())) {
    return incomplete(phase != JournalPhase::kCommitted);
  }
  Walk walk = Walk::kDone;
  // Every new file is in place: whatever is left, the folder is the new version.
  bool committed = phase == JournalPhase::kCommitted;
  if (phase == JournalPhase::kCommit) {
    WalkFailure failure;
    walk = RollForwardAll(c, journal.file(), failure);
    if (walk == Walk::kFailed) {
      // A rollback is written down before it begins: stopped halfway, it goes on as one.
      Retry undoRetry;
      const ReplayContext undo = WithOwnPatience(c, undoRetry);
      walk = journal.SetPhase(JournalPhase::kRollback)
                 ? RollBackAll(undo, journal.file(), true, r.foldersKept)
                 : Walk::kUnknown;
      r.result = RecoveryResult::kRolledBack;
    } else {
      r.result = RecoveryResult::kRolledForward;
      if (walk == Walk::kDone) {
        committed = true;
        // The renames reach the disk before the record that lets the set-aside files go.
        if (!FlushJournalFiles(c, journal.file(), FlushWhat::kNames) ||
            !journal.SetPhase(JournalPhase::kCommitted)) {
          return incomplete(false);
        }
        walk = DropAll(c, journal);
      }
    }
  } else if (phase == JournalPhase::kCommitted) {
    r.result = RecoveryResult::kRolledForward;
    walk = DropAll(c, journal);
  } else {
    r.result = RecoveryResult::kRolledBack;
    walk = RollBackAll(c, journal.file(), scan.commitBegun(), r.foldersKept);
  }
  if (walk != Walk::kDone) return incomplete(!committed);
  // What the undo or the deletions did reaches the disk before the journal that names it
  // goes; the folder is whole already.
  if (!FlushJournalFiles(c, journal.file(), FlushWhat::kNames)) return incomplete(false);
  journal.Close();
  if (!RemoveJournal(c)) return incomplete(false);
  return r;
}

// One install, from the open package to its end.
class Installer {
 public:
  Installer(const ReplayContext& c, zip::ZipExtractor& ex, const InstallOptions& options,
            InstallOutcome& o, bool rootMade)
      : c_(c), ex_(ex), options_(options), o_(o), rootMade_(rootMade) {}

  void Run(const WString& rootFolder) {
    const WString journalPath = c_.Full(kJournalName);
    const std::uint64_t unique = platform::UniqueNumber();
    // Without the power-loss guarantee (pkgtool, tests), nothing needs to wait for the disk.
    journal_.SetDurable(options_.flush);
    if (!journal_.Create(journalPath, static_cast<std::uint32_t>(unique))) {
      // Made an instant ago by another install (its recovery found none yet), or the folder
      // cannot be written: nothing was done.
      o_.result = platform::LastFileError() == FileError::kExists ? InstallResult::kBusy
                                                                  : InstallResult::kNotStarted;
      o_.failedError = platform::LastFileError();
      if (o_.result == InstallResult::kNotStarted) platform::RemoveFile(journalPath);
      if (rootMade_) platform::RemoveFolder(rootFolder);
      return;
    }
    if (!Install()) {
      o_.result = InstallResult::kRolledBack;
      RollBack();
    } else {
      o_.result = InstallResult::kInstalled;
    }
    if (!ended_) return;
    journal_.Close();
    if (!RemoveJournal(c_)) return;
    if (o_.result == InstallResult::kRolledBack && rootMade_) platform::RemoveFolder(rootFolder);
  }

 private:
  // True when the new version is in place; false when the install must be undone (`o_` says
  // why). `ended_` tells whether the journal may go.
  bool Install() {
    if (!PlanInstall(c_.root, rootMade_, platform::UniqueNumber(), ex_, journal_, *c_.retry,
                     options_.report, o_, plan_)) {
      return false;
    }
    if (!options_.sequenceRecord.empty() &&
        !PlanOwnFile(c_.root, kSequenceRecordName,
                     static_cast<std::uint32_t>(options_.sequenceRecord.size()), journal_,
                     *c_.retry, o_, plan_)) {
      return false;
    }
    // Every decision is on the disk before anything it names is made.
    if (!journal_.Write()) return JournalFailed();
    acted_ = true;
    if (!Stage() || !Confirm()) return false;
    // The staged data, and their names, reach the disk before the commit record does: after a
    // power loss a roll forward would otherwise put lost data in place of good old files.
    if (options_.flush && !FlushJournalFiles(c_, journal_.file(), FlushWhat::kStagedFiles)) {
      return FileFailed(-1, WString(), "flushing the staged files");
    }
    if (!journal_.SetPhase(JournalPhase::kCommit)) return JournalFailed();
    commitBegun_ = true;
    ex_.Close();
    WalkFailure failure;
    const Walk walk = CommitAll(c_, journal_.file(), failure, o_.oldFilesGone,
                                [&] { Progress(kCommitStepUnits); });
    if (walk != Walk::kDone) {
      o_.failedIndex = -1;
      o_.failedName = failure.entry.target;
      o_.failedStep = failure.step;
      o_.failedError = failure.error;
      if (failure.stagedGone) o_.failedReason = "the staged file is gone";
      return false;
    }
    // The renames reach the disk before the record that lets the set-aside files go: lost, they
    // would leave names pointing at nothing once the old files are deleted.
    if (options_.flush && !FlushJournalFiles(c_, journal_.file(), FlushWhat::kNames)) return true;
    // Without this record a stop from here on is finished by a roll forward all the same;
    // the set-aside files go only once it is on the disk, since a roll forward needs them.
    if (!journal_.SetPhase(JournalPhase::kCommitted)) return true;
    // The deletions reach the disk before the journal goes: lost after it, they would leave
    // set-aside files that no journal names.
    ended_ = DropAll(c_, journal_) == Walk::kDone &&
             (!options_.flush || FlushJournalFiles(c_, journal_.file(), FlushWhat::kNames));
    return true;
  }

  // Walks the journal as the plan wrote it: `folder(e)` for each folder record, `file(e,
  // planned, written)` for each file record with the relative name its bytes go under. False
  // at the first visit that fails, or when the journal does not read back as the plan written
  // a moment ago, record for record (a record it does not take would leave its file out).
  template <typename Folder, typename File>
  bool WalkPlan(Folder folder, File file) {
    JournalReader reader(journal_.file());
    if (!reader.ReadHeader()) return JournalFailed();
    std::size_t files = 0;
    JournalEntry e;
    while (reader.Next(e)) {
      if (e.kind == JournalEntry::kFolder) {
        if (!folder(e)) return false;
        continue;
      }
      if (e.number >= plan_.files.size()) return JournalFailed();
      if (!file(e, plan_.files[e.number], e.staged)) return false;
      ++files;
    }
    return (!reader.failed() && files == plan_.files.size()) || JournalFailed();
  }

  // Makes the folders and writes the files the journal names, in its order.
  bool Stage() {
    if (options_.progress) {
      for (const PlannedFile& file : plan_.files) total_ += file.size + kCommitStepUnits;
      options_.progress(0, total_);
    }
    return WalkPlan(
        [&](const JournalEntry& e) {
          const WString full = c_.Full(e.staged);
          return c_.retry->Run([&] { return platform::CreateFolder(full); }) ||
                 FileFailed(-1, e.target, "making its folder");
        },
        [&](const JournalEntry&, const PlannedFile& file, const WString& written) {
          const WString path = c_.Full(written);
          if (file.item == kOwnFile) return StageOwnFile(path, file);
          std::uint32_t rc = zip::ExtractOk;
          const bool done = c_.retry->Run([&] {
            // What a try that got past making the file left of it is the install's own.
            if (rc != zip::ExtractOk && rc != zip::ExtractCannotOpen) platform::RemoveFile(path);
            // A failure of the data itself leaves no error of the seam's: not tried again.
            platform::SetLastFileError(FileError::kNone);
            rc = ex_.WriteItemTo(file.item, path);
            return rc == zip::ExtractOk;
          });
          if (!done) {
            // The plan saw distinct names, the disk one file (a volume whose table folds more,
            // as FAT's or an old NTFS's can): the package would meet it again at every launch.
            if (rc == zip::ExtractCannotOpen && platform::LastFileError() == FileError::kExists) {
              ItemFailed(file.item, rc, "staging",
                         "another item of the package is the same file on this disk");
              o_.packageAtFault = true;
              return false;
            }
            return ItemFailed(file.item, rc, "staging", nullptr);
          }
          Progress(file.size);
          return true;
        });
  }

  // Writes the installed release's record at `path`, where the journal stages it.
  bool StageOwnFile(const WString& path, const PlannedFile& file) {
    const std::string& bytes = options_.sequenceRecord;
    const bool done = c_.retry->Run([&] {
      platform::File out = platform::File::CreateNew(path, 0);
      if (!out) return false;
      if (out.Write(bytes.data(), bytes.size()) && out.Close()) return true;
      // What a try made is the install's own, and the next try must find the name free.
      const FileError error = platform::LastFileError();
      out.Close();
      platform::RemoveFile(path);
      platform::SetLastFileError(error);
      return false;
    });
    if (!done) return FileFailed(-1, kSequenceRecordName, "staging");
    Progress(file.size);
    return true;
  }

  void Progress(std::uint64_t units) {
    if (!options_.progress) return;
    done_ += units;
    options_.progress(done_, total_);
  }

  // Every staged file is still there, whole, before the commit is written down: a scanner may
  // have taken one away since it was written. Each folder is listed once in a row of records
  // of its files (the plan keeps a folder's files together), not each file looked at alone;
  // where the listing gives sizes (Windows), each must be the item's.
  bool Confirm() {
    WString listed;  // the folder whose files `sizes` holds, relative, with its separator
    bool listedOnce = false;
    std::unordered_map<WString, std::uint64_t> sizes;
    return WalkPlan(
        [](const JournalEntry&) { return true; },
        [&](const JournalEntry&, const PlannedFile& file, const WString& written) {
          const std::size_t cut = written.find_last_of(platform::kPreferredSeparator);
          const std::size_t folderUnits = cut == WString::npos ? 0 : cut + 1;
          if (!listedOnce || listed.size() != folderUnits ||
              written.compare(0, folderUnits, listed) != 0) {
            listed.assign(written, 0, folderUnits);
            listedOnce = true;
            sizes.clear();
            const bool read = platform::ListFolder(
                c_.Full(listed), [&](const WString& name, const platform::FileInfo& info) {
                  if (!(info.attributes & platform::kAttrFolder)) {
                    sizes.emplace(name, info.size);
                  }
                });
            if (!read) return StagedFailed(file, nullptr);
          }
          const auto found = sizes.find(written.substr(folderUnits));
          if (found == sizes.end()) return StagedFailed(file, "the staged file is gone");
          if (found->second != platform::FileInfo::kUnknownSize && found->second != file.size) {
            return StagedFailed(file, "the staged file changed");
          }
          return true;
        });
  }

  void RollBack() {
    // Nothing the plan named was made yet: the journal has nothing to undo.
    if (!acted_) {
      ended_ = true;
      return;
    }
    // Written down first: a stop during the undo goes on undoing. Before the commit record the
    // journal's phase already says as much, so a failure to write it changes nothing there.
    if (!journal_.SetPhase(JournalPhase::kRollback) && commitBegun_) {
      o_.rollbackIncomplete = true;
      return;
    }
    ex_.Close();
    Retry undoRetry;
    const ReplayContext undo = WithOwnPatience(c_, undoRetry);
    const Walk walk = RollBackAll(undo, journal_.file(), commitBegun_, o_.foldersKept);
    o_.waitedMs += undoRetry.spent();
    if (walk != Walk::kDone) {
      o_.rollbackIncomplete = true;
      return;
    }
    // What the undo did reaches the disk before the journal that says how to do it goes; where
    // it cannot, the journal stays and the next launch undoes the install again (it finds
    // every record undone already).
    ended_ = !options_.flush || FlushJournalFiles(undo, journal_.file(), FlushWhat::kNames);
  }

  bool ItemFailed(std::int32_t index, std::uint32_t rc, const char* step, const char* reason) {
    zip::ZipItem item;
    ex_.GetItem(index, item);
    o_.failedIndex = index;
    o_.failedName = item.name;
    o_.failedResult = rc;
    o_.failedStep = step;
    o_.failedReason = reason;
    o_.failedError =
        rc == zip::ExtractOk || rc == zip::ExtractWriteFailed || rc == zip::ExtractCannotOpen
            ? platform::LastFileError()
            : FileError::kNone;
    o_.packageAtFault = IsPackageFault(rc, ex_.readError());
    if (o_.packageAtFault) {
      o_.failedCause = zip::DescribeItemProblem(item, rc);
    } else if (reason == nullptr && IsPackageFault(rc, false)) {
      o_.failedReason = "reading the package failed";
    }
    if (options_.report) {
      ItemReport r;
      r.index = index;
      r.item = &item;
      r.result = rc == zip::ExtractOk ? zip::ExtractCannotOpen : rc;
      options_.report(r);
    }
    return false;
  }
  // A staged file found wanting before the commit: its item's, or the install's own file's.
  bool StagedFailed(const PlannedFile& file, const char* reason) {
    if (file.item != kOwnFile) return ItemFailed(file.item, zip::ExtractOk, "staging", reason);
    FileFailed(-1, kSequenceRecordName, "staging");
    o_.failedReason = reason;
    return false;
  }
  bool FileFailed(std::int32_t index, const WString& name, const char* step) {
    o_.failedIndex = index;
    o_.failedName = name;
    o_.failedStep = step;
    o_.failedError = platform::LastFileError();
    return false;
  }
  bool JournalFailed() { return FileFailed(-1, WString(), "writing the journal"); }

  const ReplayContext& c_;
  zip::ZipExtractor& ex_;
  const InstallOptions& options_;
  InstallOutcome& o_;
  const bool rootMade_;
  JournalWriter journal_;
  Plan plan_;
  bool acted_ = false;  // the plan is on the disk and staging has begun
  bool commitBegun_ = false;
  bool ended_ = false;      // nothing the journal names is left to do: it may go
  std::uint64_t done_ = 0;  // progress units so far, and in all
  std::uint64_t total_ = 0;
};

}  // namespace

bool KeepsPackage(const InstallOutcome& o) {
  switch (o.result) {
    case InstallResult::kInstalled:
      return false;
    case InstallResult::kRolledBack:
    case InstallResult::kNotAnArchive:
      return !o.packageAtFault;
    default:
      return true;
  }
}

const char* PackageFate(const InstallOutcome& o) {
  if (o.result == InstallResult::kInstalled) return nullptr;
  return KeepsPackage(o) ? "; the package is kept for the next launch" : "; the package is deleted";
}

bool FolderIsWhole(const InstallOutcome& o) {
  if (o.recovery.result == RecoveryResult::kIncomplete && o.recovery.mixed) return false;
  return !(o.result == InstallResult::kRolledBack && o.rollbackIncomplete);
}

RecoveryOutcome RecoverInterruptedInstall(const WString& root) {
  Retry retry;
  ReplayContext c;
  c.root = WithSeparator(root);
  c.retry = &retry;
  return Recover(c);
}

InstallOutcome InstallPackage(const WString& package, const WString& root,
                              const InstallOptions& options) {
  InstallOutcome o;
  Retry retry;
  ReplayContext c;
  c.root = WithSeparator(root);
  c.retry = &retry;

  {
    // The recovery waits on files in use with patience of its own, as the install does.
    Retry recoveryRetry;
    o.recovery = Recover(WithOwnPatience(c, recoveryRetry));
  }
  switch (o.recovery.result) {
    case RecoveryResult::kBusy:
      o.result = InstallResult::kBusy;
      return o;
    case RecoveryResult::kIncomplete:
      o.result = InstallResult::kNotStarted;
      return o;
    default:
      break;
  }

  std::unique_ptr<zip::ZipExtractor> ex;
  // A package held by a scanner for a moment is worth the wait, as any file of the install.
  retry.Run([&] {
    platform::SetLastFileError(FileError::kNone);
    ex = zip::ZipExtractor::Open(package, c.root, nullptr);
    return ex != nullptr;
  });
  if (!ex) {
    // One that opened but is no archive is the package's fault; one that could not be opened
    // at all is the machine's, and is worth another try.
    const FileError error = platform::LastFileError();
    o.failedError = error;
    o.packageAtFault = error == FileError::kNone;
    o.result = o.packageAtFault ? InstallResult::kNotAnArchive : InstallResult::kUnreadable;
    return o;
  }
  o.items = ex->itemCount();

  const WString rootFolder = c.root.substr(0, c.root.size() - 1);
  const bool rootMade =
      platform::Probe(rootFolder) == PathKind::kMissing && platform::CreateFolder(rootFolder);
  // The new files stand beside the old ones until the commit ends: all of them must fit. A
  // package that cannot is refused before a byte is written, not when the disk is full.
  std::uint64_t available = 0;
  if (platform::FreeSpace(c.root, available) && ex->declaredSize() > available) {
    o.result = InstallResult::kNoRoom;
    o.needed = ex->declaredSize();
    o.available = available;
    if (rootMade) platform::RemoveFolder(rootFolder);
    return o;
  }
  Installer(c, *ex, options, o, rootMade).Run(rootFolder);
  o.waitedMs += retry.spent();
  return o;
}

}  // namespace update
