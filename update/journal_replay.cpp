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

// The commit's own first pass: every staged file was there a moment ago, no rename is done.
Step Commit(const ReplayContext& c, const JournalEntry& e, WalkFailure& failure) {
  if (e.kind == JournalEntry::kNew) return Step::kDone;  // in place, and confirmed so
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kReplace && !Rename(c, target, c.Full(e.aside))) {
    return Failed(&failure, e, "setting the old file aside", false);
  }
  if (!Rename(c, c.Full(e.staged), target)) {
    return Failed(&failure, e, "putting the new file in place",
                  platform::LastFileError() == FileError::kNotFound);
  }
  return Step::kDone;
}

Step RollForward(const ReplayContext& c, const JournalEntry& e, WalkFailure& failure) {
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kNew) {
    // Written in place while staging, in a folder of the install's own.
    switch (platform::Probe(target)) {
      case PathKind::kFile:
        return Step::kDone;
      case PathKind::kUnknown:
        return Unknown(&failure, e, "looking for the new file");
      default:
        return Failed(&failure, e, "looking for the new file", true);
    }
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
      case PathKind::kMissing:
        // The old file is still at the target: set it aside. One that is gone as well
        // (quarantined) cannot be set aside, and nothing could bring it back: the install goes
        // back as far as it can.
        if (!Rename(c, target, aside))
          return Failed(&failure, e, "setting the old file aside", false);
        break;
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

Step RollBack(const ReplayContext& c, const JournalEntry& e, bool commitBegun) {
  const WString target = c.Full(e.target);
  if (e.kind == JournalEntry::kNew) return Remove(c, target) ? Step::kDone : Step::kFailed;
  const WString staged = c.Full(e.staged);
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

}  // namespace

Walk RollForwardAll(const ReplayContext& c, platform::File& journal, bool fresh,
                    WalkFailure& failure, const std::function<void()>& recordDone) {
  JournalReader reader(journal);
  JournalEntry e;
  if (reader.ReadHeader()) {
    while (reader.Next(e)) {
      if (e.kind == JournalEntry::kFolder || e.kind == JournalEntry::kRestart) continue;
      const Step s = fresh ? Commit(c, e, failure) : RollForward(c, e, failure);
      if (s != Step::kDone) return ToWalk(s);
      if (recordDone) recordDone();
    }
  }
  if (!reader.failed()) return Walk::kDone;
  failure.step = "reading the journal";
  failure.error = platform::LastFileError();
  return Walk::kUnknown;
}

Walk RollBackAll(const ReplayContext& c, platform::File& journal, bool commitBegun) {
  JournalReader reader(journal);
  if (!reader.ReadHeader()) return reader.failed() ? Walk::kUnknown : Walk::kDone;
  std::vector<WString> folders;
  Walk walk = Walk::kDone;
  JournalEntry e;
  while (reader.Next(e)) {
    if (e.kind == JournalEntry::kRestart) continue;
    if (e.kind == JournalEntry::kFolder) {
      folders.push_back(std::move(e.target));
      continue;
    }
    const Step s = RollBack(c, e, commitBegun);
    // One record that cannot be undone now does not keep the others from being undone.
    if (s == Step::kUnknown) walk = Walk::kUnknown;
    if (s == Step::kFailed && walk == Walk::kDone) walk = Walk::kFailed;
  }
  // Records not read cannot be undone: the journal must stay.
  if (reader.failed()) return Walk::kUnknown;
  // Innermost first: a folder's own folders were recorded after it.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const WString full = c.Full(*it);
    const bool removed = c.retry->Run([&] { return platform::RemoveFolder(full); }) ||
                         platform::LastFileError() == FileError::kNotFound;
    if (!removed && walk == Walk::kDone) walk = Walk::kFailed;
  }
  return walk;
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
