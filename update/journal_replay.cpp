#include "update/journal_replay.h"

#include <unordered_set>
#include <vector>

#include "platform/file_system.h"

namespace update {
namespace {

using platform::FileError;
using platform::PathKind;
using platform::WString;

enum class Step { kDone, kFailed, kUnknown };

Step Unknown(WalkFailure* failure, const JournalEntry& e, const char* step) {
  if (failure != nullptr) {
    failure->entry = e;
    failure->step = step;
    failure->error = platform::LastFileError();
  }
  return Step::kUnknown;
}

Step Failed(WalkFailure* failure, const JournalEntry& e, const char* step, bool stagedGone) {
  if (failure != nullptr) {
    failure->entry = e;
    failure->step = step;
    failure->error = stagedGone ? FileError::kNotFound : platform::LastFileError();
    failure->stagedGone = stagedGone;
  }
  return Step::kFailed;
}

bool Rename(const ReplayContext& c, const WString& from, const WString& to) {
  return c.retry->Run([&] { return platform::RenameFile(from, to, false); });
}

// Removes a file; one that is not there is removed already.
bool Remove(const ReplayContext& c, const WString& path) {
  return c.retry->Run([&] { return platform::RemoveFile(path); }) ||
         platform::LastFileError() == FileError::kNotFound;
}

// Sets the old file of a replace record aside. One that is gone (a scanner's quarantine) has
// nothing to keep: done, with `gone` set, once the system says the name is free.
Step SetAside(const ReplayContext& c, const JournalEntry& e, WalkFailure& failure, bool& gone) {
  const WString target = c.Full(e.target);
  if (Rename(c, target, c.Full(e.aside))) return Step::kDone;
  if (platform::LastFileError() == FileError::kNotFound) {
    switch (platform::Probe(target)) {
      case PathKind::kMissing:
        gone = true;
        return Step::kDone;
      case PathKind::kUnknown:
        return Unknown(&failure, e, "setting the old file aside");
      default:
        break;
    }
  }
  return Failed(&failure, e, "setting the old file aside", false);
}

// Whether a folder record is of an outermost folder made under a temporary name, which the
// commit renames.
bool Renamed(const JournalEntry& e) {
  return e.kind == JournalEntry::kFolder && e.outermost == e.target && e.staged != e.target;
}

// The commit's own first pass: every staged file was there a moment ago, no rename is done.
Step Commit(const ReplayContext& c, const JournalEntry& e, WalkFailure& failure,
            std::uint32_t& oldFilesGone) {
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kFolder) {
    // Its files and folders go with it. A name another program took meanwhile is kept: the
    // install is undone, and the next one finds the folder there.
    if (!Renamed(e) || Rename(c, c.Full(e.staged), target)) return Step::kDone;
    return Failed(&failure, e, "putting the new folder in place", false);
  }
  if (e.kind == JournalEntry::kNew) return Step::kDone;  // moved in place with its folder
  if (e.kind == JournalEntry::kReplace) {
    bool gone = false;
    const Step s = SetAside(c, e, failure, gone);
    if (s != Step::kDone) return s;
    if (gone) ++oldFilesGone;
  }
  if (!Rename(c, c.Full(e.staged), target)) {
    return Failed(&failure, e, "putting the new file in place",
                  platform::LastFileError() == FileError::kNotFound);
  }
  return Step::kDone;
}

// Done when `path` is of kind `want`, the record's new file or folder in place; anything
// else there means it is gone.
Step Expect(const WString& path, PathKind want, const JournalEntry& e, const char* step,
            WalkFailure& failure) {
  const PathKind kind = platform::Probe(path);
  if (kind == want) return Step::kDone;
  if (kind == PathKind::kUnknown) return Unknown(&failure, e, step);
  return Failed(&failure, e, step, true);
}

Step RollForward(const ReplayContext& c, const JournalEntry& e, WalkFailure& failure) {
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kFolder) {
    if (Renamed(e)) {
      switch (platform::Probe(c.Full(e.staged))) {
        case PathKind::kFolder:
          if (Rename(c, c.Full(e.staged), target)) return Step::kDone;
          return Failed(&failure, e, "putting the new folder in place", false);
        case PathKind::kUnknown:
          return Unknown(&failure, e, "looking for the new folder");
        default:
          break;  // renamed before the stop, or gone
      }
    }
    return Expect(target, PathKind::kFolder, e, "looking for the new folder", failure);
  }
  if (e.kind == JournalEntry::kNew) {
    // Written under its own name while staging, in a folder of the install's own, which the
    // records before this one put in place.
    return Expect(target, PathKind::kFile, e, "looking for the new file", failure);
  }
  const WString staged = c.Full(e.staged);
  const PathKind stagedKind = platform::Probe(staged);
  if (stagedKind == PathKind::kUnknown) return Unknown(&failure, e, "looking for the new file");
  const bool replaces = e.kind == JournalEntry::kReplace;
  const WString aside = replaces ? c.Full(e.aside) : WString();
  if (stagedKind != PathKind::kFile) {
    // Done only when the new file stands at the target and, for a replace, the old one is set
    // aside: a staged file that vanished while the old one stayed (a scanner's quarantine)
    // must not pass for an installed one.
    const PathKind targetKind = platform::Probe(target);
    const PathKind asideKind = replaces ? platform::Probe(aside) : PathKind::kFile;
    if (targetKind == PathKind::kUnknown || asideKind == PathKind::kUnknown) {
      return Unknown(&failure, e, "looking for the new file");
    }
    if (targetKind == PathKind::kFile && asideKind == PathKind::kFile) return Step::kDone;
    return Failed(&failure, e, "putting the new file in place", true);
  }
  if (replaces) {
    switch (platform::Probe(aside)) {
      case PathKind::kMissing: {
        // The old file is still at the target: set it aside. One that is gone as well
        // (quarantined) has nothing to keep, and the new file takes its name.
        bool gone = false;
        const Step s = SetAside(c, e, failure, gone);
        if (s != Step::kDone) return s;
        break;
      }
      case PathKind::kFile:
        break;  // set aside before a stop
      case PathKind::kFolder:
        return Failed(&failure, e, "setting the old file aside", false);
      case PathKind::kUnknown:
        return Unknown(&failure, e, "looking for the old file");
    }
  }
  if (!Rename(c, staged, target))
    return Failed(&failure, e, "putting the new file in place", false);
  return Step::kDone;
}

// Undoes a file record. `moved`: for a file in a made folder, whether that folder was put in
// place already, so that the file stands under its final name.
Step RollBack(const ReplayContext& c, const JournalEntry& e, bool commitBegun, bool moved) {
  const WString target = c.Full(e.target);
  const WString staged = c.Full(e.staged);
  if (e.kind == JournalEntry::kNew)
    return Remove(c, moved ? target : staged) ? Step::kDone : Step::kFailed;
  if (!commitBegun) return Remove(c, staged) ? Step::kDone : Step::kFailed;
  if (e.kind == JournalEntry::kReplace) {
    const WString aside = c.Full(e.aside);
    switch (platform::Probe(aside)) {
      case PathKind::kFile:
        // The old file was set aside, so what stands at its name, if anything, is the new one.
        if (!Remove(c, target) || !Rename(c, aside, target)) return Step::kFailed;
        break;
      case PathKind::kMissing:
        break;  // never set aside, or back already
      case PathKind::kFolder:
        return Step::kFailed;
      case PathKind::kUnknown:
        return Step::kUnknown;
    }
    return Remove(c, staged) ? Step::kDone : Step::kFailed;
  }
  // A new file where there was none: every staged file was there when the commit began, so
  // one that is gone now was renamed into place.
  switch (platform::Probe(staged)) {
    case PathKind::kFile:
      return Remove(c, staged) ? Step::kDone : Step::kFailed;
    case PathKind::kMissing:
      return Remove(c, target) ? Step::kDone : Step::kFailed;
    case PathKind::kFolder:
      return Step::kFailed;
    case PathKind::kUnknown:
      break;
  }
  return Step::kUnknown;
}

Walk ToWalk(Step s) {
  return s == Step::kDone ? Walk::kDone : s == Step::kFailed ? Walk::kFailed : Walk::kUnknown;
}

// Walks the file records in journal order with `step`, stopping at the first not done.
template <typename StepFn>
Walk ForwardWalk(platform::File& journal, WalkFailure& failure, StepFn step) {
  JournalReader reader(journal);
  JournalEntry e;
  if (reader.ReadHeader()) {
    while (reader.Next(e)) {
      if (e.kind == JournalEntry::kRestart) continue;
      const Step s = step(e);
      if (s != Step::kDone) return ToWalk(s);
    }
  }
  if (!reader.failed()) return Walk::kDone;
  failure.step = "reading the journal";
  failure.error = platform::LastFileError();
  return Walk::kUnknown;
}

WString ParentOf(const WString& relative) {
  const std::size_t cut = relative.find_last_of(platform::kPreferredSeparator);
  return cut == WString::npos ? WString() : relative.substr(0, cut);
}

}  // namespace

Walk CommitAll(const ReplayContext& c, platform::File& journal, WalkFailure& failure,
               std::uint32_t& oldFilesGone, const std::function<void()>& recordDone) {
  return ForwardWalk(journal, failure, [&](const JournalEntry& e) {
    const Step s = Commit(c, e, failure, oldFilesGone);
    if (s == Step::kDone && recordDone && e.kind != JournalEntry::kFolder) recordDone();
    return s;
  });
}

Walk RollForwardAll(const ReplayContext& c, platform::File& journal, WalkFailure& failure) {
  return ForwardWalk(journal, failure,
                     [&](const JournalEntry& e) { return RollForward(c, e, failure); });
}

Walk RollBackAll(const ReplayContext& c, platform::File& journal, bool commitBegun,
                 std::uint32_t& foldersKept) {
  JournalReader reader(journal);
  if (!reader.ReadHeader()) return reader.failed() ? Walk::kUnknown : Walk::kDone;
  // Undone last first, as a stack of steps is: a folder's files before the folder, and of two
  // records that came to touch one name, the later one's undo first.
  std::vector<JournalEntry> records;
  // The outermost made folders the commit had put in place: what they hold stands under its
  // final names now.
  std::unordered_set<WString> moved;
  JournalEntry e;
  while (reader.Next(e)) {
    if (e.kind == JournalEntry::kRestart) continue;
    if (commitBegun && Renamed(e)) {
      const PathKind staged = platform::Probe(c.Full(e.staged));
      if (staged == PathKind::kUnknown) return Walk::kUnknown;
      if (staged != PathKind::kFolder) moved.insert(e.target);
    }
    records.push_back(std::move(e));
  }
  // Records not read cannot be undone: the journal must stay.
  if (reader.failed()) return Walk::kUnknown;
  Walk walk = Walk::kDone;
  auto fold = [&](Step s) {
    // One record that cannot be undone now does not keep the others from being undone.
    if (s == Step::kUnknown) walk = Walk::kUnknown;
    if (s == Step::kFailed && walk == Walk::kDone) walk = Walk::kFailed;
  };
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const bool inPlace = moved.count(it->outermost) != 0;
    if (it->kind != JournalEntry::kFolder) {
      fold(RollBack(c, *it, commitBegun, inPlace));
      continue;
    }
    const WString full = c.Full(inPlace ? it->target : it->staged);
    if (c.retry->Run([&] { return platform::RemoveFolder(full); })) continue;
    if (platform::LastFileError() == FileError::kNotFound) continue;
    // Not empty: another program wrote into it (the install's own files are out by now, or
    // the walk failed already). What it wrote stays, and so does the folder.
    bool empty = true;
    const bool listed = platform::ListFolder(
        full, [&](const WString&, const platform::FileInfo&) { empty = false; });
    if (listed && !empty) {
      ++foldersKept;
      continue;
    }
    fold(listed ? Step::kFailed : Step::kUnknown);
  }
  return walk;
}

bool FlushJournalFiles(const ReplayContext& c, platform::File& journal, FlushWhat what) {
  JournalReader reader(journal);
  if (!reader.ReadHeader()) return !reader.failed();
  // The folders the files lie in and every folder on their way, relative ("" the install
  // folder): a volume can begin at any of them that the install did not make.
  std::unordered_set<WString> folders{WString()};
  std::unordered_set<WString> made;
  auto addWay = [&](const WString& name) {
    for (WString f = ParentOf(name); !f.empty() && folders.insert(f).second; f = ParentOf(f)) {
    }
  };
  JournalEntry e;
  while (reader.Next(e)) {
    if (e.kind == JournalEntry::kRestart) continue;
    if (e.kind == JournalEntry::kFolder) {
      made.insert(e.target);
      made.insert(e.staged);
    }
    // Both where a file stands until the commit and where it stands after.
    addWay(e.target);
    if (!e.staged.empty()) addWay(e.staged);
  }
  if (reader.failed()) return false;
  bool whole = c.retry->Run([&] { return platform::FlushFileSystem(c.root); });
  for (const WString& f : folders) {
    if (f.empty() || made.count(f) != 0) continue;
    const WString full = c.Full(f);
    if (platform::IsMountPoint(full)) {
      whole = c.retry->Run([&] { return platform::FlushFileSystem(full); }) && whole;
    }
  }
  if (whole) return true;
  bool flushed = true;
  if (what == FlushWhat::kStagedFiles) {
    if (!reader.ReadHeader()) return false;
    while (reader.Next(e)) {
      if (e.kind == JournalEntry::kFolder || e.kind == JournalEntry::kRestart) continue;
      const WString path = c.Full(e.staged);
      flushed = c.retry->Run([&] { return platform::FlushFile(path); }) && flushed;
    }
    if (reader.failed()) return false;
  }
  // A folder made and removed again by an undo is gone, and its parent holds that.
  for (const WString& f : folders) {
    const WString full = f.empty() ? c.root : c.Full(f);
    flushed = (c.retry->Run([&] { return platform::FlushFolder(full); }) ||
               platform::LastFileError() == FileError::kNotFound) &&
              flushed;
  }
  return flushed;
}

Walk DropAll(const ReplayContext& c, JournalWriter& writer) {
  JournalReader reader(writer.file());
  if (!reader.ReadHeader()) return Walk::kFailed;
  // Files the system already deletes at its next start: asking again adds nothing.
  std::unordered_set<WString> atRestart;
  JournalEntry e;
  while (reader.Next(e)) {
    if (e.kind == JournalEntry::kRestart) atRestart.insert(e.target);
  }
  if (reader.failed() || !reader.ReadHeader()) return Walk::kFailed;
  Walk walk = Walk::kDone;
  while (reader.Next(e)) {
    if (e.kind != JournalEntry::kReplace || atRestart.count(e.aside) != 0) continue;
    const WString aside = c.Full(e.aside);
    if (Remove(c, aside)) continue;
    // A running program's file can be renamed but not deleted; it goes when the system next
    // starts. Until that is arranged and written down, the journal names it as unfinished.
    if (platform::RemoveFileAtRestart(aside) && writer.AddRestart(e.aside)) continue;
    walk = Walk::kFailed;
  }
  return reader.failed() ? Walk::kFailed : walk;
}

bool RemoveJournal(const ReplayContext& c) { return Remove(c, c.Full(kJournalName)); }

}  // namespace update
