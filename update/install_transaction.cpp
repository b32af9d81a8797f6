#include "update/install_transaction.h"

#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "update/journal.h"
#include "zip/item_path.h"

namespace update {
namespace {

using platform::WString;

enum class Go { kOk, kFail, kStop };

bool EndsWith(const WString& text, const WString& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The install folder, the fault hook, and the file operations every phase shares.
struct Context {
  WString root;  // ends in a separator
  const FaultHook* fault = nullptr;

  WString Full(const WString& relative) const { return root + relative; }
  FaultAction At(Step step, std::uint32_t entry) const {
    return fault != nullptr && *fault ? (*fault)(step, entry) : FaultAction::kGoOn;
  }
};

// Puts the new file of one record in place. With `lookFirst` every name is looked at before
// it is moved, so the step can be repeated after a stop (recovery) or after a duplicate
// record did the work already; without, the commit trusts the state the stage left.
Go RollForward(const Context& c, const JournalEntry& e, std::uint32_t entry, bool lookFirst) {
  // Written in place already, in a folder of the install's own.
  if (e.kind == JournalEntry::kNew) return Go::kOk;
  const WString target = c.Full(e.target);
  const WString staged = c.Full(e.staged);
  if (lookFirst && !platform::Exists(staged)) return Go::kOk;
  if (e.kind == JournalEntry::kReplace) {
    const WString aside = c.Full(e.aside);
    if (!lookFirst || (!platform::Exists(aside) && platform::Exists(target))) {
      const FaultAction act = c.At(Step::kSetAside, entry);
      if (act == FaultAction::kFail || !platform::RenameFile(target, aside, false)) {
        return Go::kFail;
      }
      if (act == FaultAction::kStop) return Go::kStop;
    }
  }
  const FaultAction act = c.At(Step::kReplaced, entry);
  if (act == FaultAction::kFail || !platform::RenameFile(staged, target, false)) return Go::kFail;
  return act == FaultAction::kStop ? Go::kStop : Go::kOk;
}

// Undoes one file record: the old file back under its name, the new one gone. False when a
// file could not be moved or removed.
bool RollBackEntry(const Context& c, const JournalEntry& e, bool commitBegun) {
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kNew)
    return platform::RemoveFile(target) || !platform::Exists(target);
  const WString staged = c.Full(e.staged);
  if (commitBegun) {
    if (e.kind == JournalEntry::kReplace) {
      const WString aside = c.Full(e.aside);
      if (platform::Exists(aside)) {
        // The old file was set aside, so what stands at its name is the new one.
        if (platform::Exists(target) && !platform::RemoveFile(target)) return false;
        if (!platform::RenameFile(aside, target, false)) return false;
      }
    } else if (!platform::Exists(staged) && platform::Exists(target)) {
      // The new file was put in place where there had been none.
      if (!platform::RemoveFile(target)) return false;
    }
  }
  return platform::RemoveFile(staged) || !platform::Exists(staged);
}

// Undoes every record of the journal, then removes the folders the install made, innermost
// first, where they are empty. False when something could not be undone.
bool RollBackAll(const Context& c, platform::File& journal, bool commitBegun) {
  JournalReader reader(journal);
  if (!reader.ReadHeader()) return true;
  std::vector<WString> folders;
  bool undone = true;
  JournalEntry e;
  while (reader.Next(e)) {
    if (e.kind == JournalEntry::kFolder) {
      folders.push_back(std::move(e.target));
    } else if (!RollBackEntry(c, e, commitBegun)) {
      undone = false;
    }
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) platform::RemoveFolder(c.Full(*it));
  return undone;
}

// Reads `journal` from its start and hands each file record to `visit` with its number
// among the file records, until a visit gives other than Go::kOk; that, or `withoutHeader`
// for a journal without a header, is the result.
template <typename Visit>
Go ForEachFileRecord(platform::File& journal, Go withoutHeader, Visit visit) {
  JournalReader reader(journal);
  if (!reader.ReadHeader()) return withoutHeader;
  JournalEntry e;
  for (std::uint32_t entry = 0; reader.Next(e);) {
    if (e.kind == JournalEntry::kFolder) continue;
    const Go go = visit(e, entry++);
    if (go != Go::kOk) return go;
  }
  return Go::kOk;
}

// Puts every staged file in place, in journal order. `failed` receives the record that
// could not be.
Go CommitAll(const Context& c, platform::File& journal, bool lookFirst, JournalEntry& failed) {
  return ForEachFileRecord(journal, Go::kFail, [&](const JournalEntry& e, std::uint32_t entry) {
    Go go = RollForward(c, e, entry, lookFirst);
    // A fast step that failed may have met a duplicate's finished work: look before giving up.
    if (go == Go::kFail && !lookFirst) go = RollForward(c, e, entry, true);
    if (go != Go::kOk) failed = e;
    return go;
  });
}

// Drops the set-aside old files. A running program's file cannot be deleted: it goes when
// the system next starts.
Go DropAll(const Context& c, platform::File& journal) {
  return ForEachFileRecord(journal, Go::kOk, [&](const JournalEntry& e, std::uint32_t entry) {
    if (e.kind != JournalEntry::kReplace) return Go::kOk;
    const WString aside = c.Full(e.aside);
    const FaultAction act = c.At(Step::kDropped, entry);
    if ((act == FaultAction::kFail || !platform::RemoveFile(aside)) && platform::Exists(aside)) {
      platform::RemoveFileAtRestart(aside);
    }
    return act == FaultAction::kStop ? Go::kStop : Go::kOk;
  });
}

RecoveryOutcome Recover(const Context& c) {
  RecoveryOutcome r;
  const WString path = c.Full(kJournalName);
  if (!platform::Exists(path)) return r;
  platform::File journal = platform::File::OpenExclusive(path);
  if (!journal) {
    r.result = RecoveryResult::kBusy;
    return r;
  }
  JournalReader scan(journal);
  if (!scan.ReadHeader()) {
    // The header is written before anything else is made: nothing to finish or undo.
    journal.Close();
    platform::RemoveFile(path);
    r.result = RecoveryResult::kDiscarded;
    return r;
  }
  JournalEntry e;
  while (scan.Next(e)) {
    if (e.kind != JournalEntry::kFolder) ++r.files;
  }
  bool done = true;
  Go go = Go::kOk;
  if (scan.phase() == JournalPhase::kStage) {
    done = RollBackAll(c, journal, false);
    r.result = RecoveryResult::kRolledBack;
  } else {
    go = scan.phase() == JournalPhase::kCommit ? CommitAll(c, journal, true, e) : Go::kOk;
    if (go == Go::kFail) {
      done = RollBackAll(c, journal, true);
      r.result = RecoveryResult::kRolledBack;
    } else if (go == Go::kOk) {
      go = DropAll(c, journal);
      r.result = RecoveryResult::kRolledForward;
    }
  }
  if (go == Go::kStop) {
    r.result = RecoveryResult::kStopped;
    return r;
  }
  if (!done) {
    r.result = RecoveryResult::kIncomplete;
    return r;
  }
  journal.Close();
  platform::RemoveFile(path);
  return r;
}

WString WithSeparator(WString root) {
  if (root.empty() || !zip::IsSeparator(root.back())) root += platform::kPreferredSeparator;
  return root;
}

// The stage: every file item of the archive written under its temporary name beside its
// target, every folder it needs made, each named in the journal before it is made.
class Stager {
 public:
  // `rootMade`: the install made the root itself, so nothing can be in the way there either.
  Stager(const Context& c, JournalWriter& journal, zip::ZipExtractor& ex,
         const ItemCallback& report, InstallOutcome& outcome, bool rootMade)
      : c_(c),
        journal_(journal),
        ex_(ex),
        report_(report),
        outcome_(outcome),
        rootMade_(rootMade) {}

  Go Run() {
    zip::ZipItem item;
    for (std::uint32_t i = 0; i < outcome_.items; ++i) {
      const auto index = static_cast<std::int32_t>(i);
      const std::uint32_t rc = ex_.GetItem(index, item);
      if (rc == zip::ExtractUnsafeName) {
        Skip(index, item, rc, false);
        continue;
      }
      if (rc != zip::ExtractOk) return Fail(index, item, rc, "staging");
      const Go go = StageItem(index, item);
      if (go != Go::kOk) return go;
    }
    return Go::kOk;
  }

 private:
  Go StageItem(std::int32_t index, const zip::ZipItem& item) {
    WString relative = zip::ToSystemSeparators(item.name);
    while (!relative.empty() && zip::IsSeparator(relative.back())) relative.pop_back();
    bool created = false;
    if (item.attributes & platform::kAttrFolder) {
      if (!relative.empty() && !EnsureFolder(relative, created)) {
        return Fail(index, item, zip::ExtractCannotOpen, "making its folder");
      }
      ++outcome_.written;
      return Go::kOk;
    }
    if (IsReserved(relative)) {
      Skip(index, item, zip::ExtractUnsafeName, true);
      return Go::kOk;
    }
    const std::size_t cut = relative.find_last_of(platform::kPreferredSeparator);
    if (cut == WString::npos) {
      created = rootMade_;
    } else if (!EnsureFolder(relative.substr(0, cut), created)) {
      return Fail(index, item, zip::ExtractCannotOpen, "making its folder");
    }
    const WString target = c_.Full(relative);
    // A folder this install made holds nothing of the old version, and goes whole when the
    // install is undone: its files need no temporary name, and no rename in the commit.
    if (created && cut != WString::npos) {
      if (!journal_.AddNewFile(relative)) {
        return Fail(index, item, zip::ExtractWriteFailed, "writing the journal");
      }
      return Write(index, item, target);
    }
    const WString staged = StagedName(target, journal_.idText());
    // The aside name is as long as the staged one: both must fit the path buffer.
    if (staged.size() > zip::kMaxPathUnits) {
      return Fail(index, item, zip::ExtractCannotOpen, "naming its temporary file");
    }
    // In a root this install made, nothing can be in the way: no need to ask.
    bool replaces = false;
    platform::FileInfo info;
    if (!created && platform::GetFileInfo(target, info)) {
      if (info.attributes & platform::kAttrFolder) {
        return Fail(index, item, zip::ExtractCannotOpen, "replacing a folder");
      }
      replaces = true;
    }
    if (!journal_.AddFile(replaces, relative)) {
      return Fail(index, item, zip::ExtractWriteFailed, "writing the journal");
    }
    return Write(index, item, staged);
  }

  // Writes file item `index` as the new file `path`, which the journal already names.
  Go Write(std::int32_t index, const zip::ZipItem& item, const WString& path) {
    bool existed = false;
    std::uint32_t rc = ex_.WriteItemTo(index, path, &existed);
    if (rc == zip::ExtractCannotOpen && existed) {
      // A name of this install's own (a temporary name with its id, or one in a folder it
      // made) is taken only by an earlier item of the same name in this package: the later
      // item wins, as in any extraction.
      platform::RemoveFile(path);
      rc = ex_.WriteItemTo(index, path);
    }
    if (rc != zip::ExtractOk) return Fail(index, item, rc, "staging");
    const FaultAction act = c_.At(Step::kStaged, static_cast<std::uint32_t>(index));
    if (act == FaultAction::kFail) return Fail(index, item, zip::ExtractWriteFailed, "staging");
    ++outcome_.written;
    return act == FaultAction::kStop ? Go::kStop : Go::kOk;
  }

  // Makes `relative` and any missing parents, each named in the journal first. `created`
  // tells whether this call made the folder itself.
  bool EnsureFolder(const WString& relative, bool& created) {
    if (relative == lastFolder_) {
      created = lastCreated_;
      return true;
    }
    const std::size_t cut = relative.find_last_of(platform::kPreferredSeparator);
    const bool parentMade = cut == WString::npos ? rootMade_
                                                 : lastCreated_ && lastFolder_.size() == cut &&
                                                       relative.compare(0, cut, lastFolder_) == 0;
    const WString full = c_.Full(relative);
    // A folder inside one this install made cannot exist yet.
    if (!parentMade) {
      if (platform::IsFolder(full)) {
        // A link on the way would take the item out of the install folder.
        if (LinkOnTheWay(relative)) return false;
        Remember(relative, false);
        created = false;
        return true;
      }
      bool parentCreated = false;
      if (cut != WString::npos && !EnsureFolder(relative.substr(0, cut), parentCreated)) {
        return false;
      }
    }
    if (!journal_.AddFolder(relative)) return false;
    // A folder inside one this install made may still be there: this install made it earlier.
    const bool made = platform::CreateFolder(full);
    if (!made && !platform::IsFolder(full)) return false;
    created = made || parentMade;
    Remember(relative, created);
    return true;
  }

  // True when a step of `relative`, an existing folder, is a symbolic link.
  bool LinkOnTheWay(const WString& relative) const {
    for (std::size_t end = relative.find(platform::kPreferredSeparator);;
         end = relative.find(platform::kPreferredSeparator, end + 1)) {
      if (platform::IsSymbolicLink(c_.Full(relative.substr(0, end)))) return true;
      if (end == WString::npos) return false;
    }
  }

  void Remember(const WString& relative, bool created) {
    lastFolder_ = relative;
    lastCreated_ = created;
  }

  // The package and the journal keep their names at the root, and no item may take a name
  // of this install's temporary files.
  bool IsReserved(const WString& relative) const {
    // kJournalName and the package's name, in capitals.
    if (zip::EqualsAsciiNoCase(relative, "UPDATE.JOURNAL") ||
        zip::EqualsAsciiNoCase(relative, "UPDATE.ZIP")) {
      return true;
    }
    const WString& id = journal_.idText();
    return EndsWith(relative, WIDE(".new~") + id) || EndsWith(relative, WIDE(".old~") + id);
  }

  void Skip(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc, bool reserved) {
    ++outcome_.skipped;
    if (!report_) return;
    ItemReport r;
    r.index = index;
    r.item = &item;
    r.result = rc;
    r.reserved = reserved;
    r.skipped = true;
    report_(r);
  }

  Go Fail(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc, const char* step) {
    outcome_.failedIndex = index;
    outcome_.failedName = item.name;
    outcome_.failedResult = rc;
    outcome_.failedStep = step;
    if (report_) {
      ItemReport r;
      r.index = index;
      r.item = &item;
      r.result = rc;
      report_(r);
    }
    return Go::kFail;
  }

  const Context& c_;
  JournalWriter& journal_;
  zip::ZipExtractor& ex_;
  const ItemCallback& report_;
  InstallOutcome& outcome_;
  const bool rootMade_;
  WString lastFolder_;  // relative; the last folder known to exist
  bool lastCreated_ = false;
};

}  // namespace

RecoveryOutcome RecoverInterruptedInstall(const WString& root, const FaultHook& fault) {
  Context c;
  c.root = WithSeparator(root);
  c.fault = &fault;
  return Recover(c);
}

InstallOutcome InstallPackage(const WString& package, const WString& root,
                              const InstallOptions& options) {
  InstallOutcome o;
  Context c;
  c.root = WithSeparator(root);
  c.fault = &options.fault;

  o.recovery = Recover(c);
  switch (o.recovery.result) {
    case RecoveryResult::kBusy:
      o.result = InstallResult::kBusy;
      return o;
    case RecoveryResult::kIncomplete:
      o.result = InstallResult::kNotStarted;
      return o;
    case RecoveryResult::kStopped:
      o.result = InstallResult::kStopped;
      return o;
    default:
      break;
  }

  std::uint32_t openResult = zip::ExtractOk;
  std::unique_ptr<zip::ZipExtractor> ex = zip::ZipExtractor::Open(package, c.root, &openResult);
  if (!ex) {
    o.result = InstallResult::kNotAnArchive;
    return o;
  }
  o.items = ex->itemCount();

  const WString rootFolder = c.root.substr(0, c.root.size() - 1);
  const bool madeRoot = !platform::IsFolder(rootFolder) && platform::CreateFolder(rootFolder);
  // The new files stand beside the old ones until the commit ends: all of them must fit. A
  // package that cannot is refused before a byte is written, not when the disk is full.
  std::uint64_t available = 0;
  if (platform::FreeSpace(c.root, available) && ex->declaredSize() > available) {
    o.result = InstallResult::kNoRoom;
    o.needed = ex->declaredSize();
    o.available = available;
    if (madeRoot) platform::RemoveFolder(rootFolder);
    return o;
  }
  const WString journalPath = c.Full(kJournalName);
  JournalWriter journal;
  bool existed = false;
  if (!journal.Create(journalPath, static_cast<std::uint32_t>(platform::UniqueNumber()),
                      &existed)) {
    // Made an instant ago by another install (its recovery above found none yet), or the
    // folder cannot be written: nothing was done.
    o.result = existed ? InstallResult::kBusy : InstallResult::kNotStarted;
    if (!existed) platform::RemoveFile(journalPath);
    if (madeRoot) platform::RemoveFolder(rootFolder);
    return o;
  }

  auto rollBack = [&](bool commitBegun) {
    o.result = InstallResult::kRolledBack;
    if (!RollBackAll(c, journal.file(), commitBegun)) {
      o.rollbackIncomplete = true;
      return o;
    }
    journal.Close();
    platform::RemoveFile(journalPath);
    if (madeRoot) platform::RemoveFolder(rootFolder);
    return o;
  };
  auto stopped = [&]() {
    o.result = InstallResult::kStopped;
    return o;
  };
  auto journalFailed = [&](bool commitBegun) {
    o.failedStep = "writing the journal";
    return rollBack(commitBegun);
  };

  const FaultAction made = c.At(Step::kJournalMade, 0);
  if (made == FaultAction::kStop) return stopped();
  if (made == FaultAction::kFail) return journalFailed(false);

  const Go staged = Stager(c, journal, *ex, options.report, o, madeRoot).Run();
  ex->Close();
  if (staged == Go::kStop) return stopped();
  if (staged == Go::kFail) return rollBack(false);

  // The staged files must be on the disk before the commit record is: after a power loss a
  // roll forward would otherwise put lost data in place of good old files.
  if (options.flush) platform::FlushFileSystem(c.root);
  if (!journal.SetPhase(JournalPhase::kCommit)) return journalFailed(false);
  const FaultAction begun = c.At(Step::kCommitBegun, 0);
  if (begun == FaultAction::kStop) return stopped();
  if (begun == FaultAction::kFail) return journalFailed(true);

  JournalEntry failed;
  const Go committed = CommitAll(c, journal.file(), false, failed);
  if (committed == Go::kStop) return stopped();
  if (committed == Go::kFail) {
    o.failedIndex = -1;
    o.failedName = failed.target;
    o.failedStep = failed.kind == JournalEntry::kReplace && platform::Exists(c.Full(failed.target))
                       ? "setting the old file aside"
                       : "putting the new file in place";
    return rollBack(true);
  }
  // Without this record a stop from here on is finished by a roll forward all the same.
  journal.SetPhase(JournalPhase::kCommitted);
  if (c.At(Step::kCommitted, 0) == FaultAction::kStop) return stopped();
  if (DropAll(c, journal.file()) == Go::kStop) return stopped();
  journal.Close();
  platform::RemoveFile(journalPath);
  o.result = InstallResult::kInstalled;
  return o;
}

}  // namespace update
