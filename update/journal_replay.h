// Doing what a journal says: every file record put in place (the commit, or a roll forward),
// undone (a rollback), or its set-aside file dropped, walking the journal from its start. Each
// step can be repeated after a stop: it looks at the names its record gives before it acts,
// and where the system cannot say what a name is, it concludes nothing and reports so.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/file.h"
#include "platform/file_error.h"
#include "platform/text.h"
#include "update/journal.h"
#include "update/retry.h"

namespace update {

// What one walk over the journal came to.
enum class Walk {
  kDone,     // every record is done
  kFailed,   // a record could not be done (the walk stopped there)
  kUnknown,  // the system could not say what a name is: nothing may be concluded
};

// The install folder and the patience the file operations share.
struct ReplayContext {
  platform::WString root;  // ends in a separator
  Retry* retry = nullptr;
  platform::WString Full(const platform::WString& relative) const { return root + relative; }
};

// Where a walk stopped, for the outcome line.
struct WalkFailure {
  JournalEntry entry;
  const char* step = "";  // "setting the old file aside", ...
  platform::FileError error = platform::FileError::kNone;
  bool stagedGone = false;  // the new file itself was gone
};

// The commit's own pass over the install that staged the files a moment ago and confirmed
// them: no record is done yet, so nothing needs looking at first. Every file record's new file
// is put in place, in journal order: the old file set aside, the staged one renamed. An old
// file that is gone when it is to be set aside has nothing to keep: its new file takes the
// name all the same, counted in `oldFilesGone`.
// `recordDone` (may be empty) hears of every file record done.
Walk CommitAll(const ReplayContext& c, platform::File& journal, WalkFailure& failure,
               std::uint32_t& oldFilesGone, const std::function<void()>& recordDone = {});

// The same for a commit that was stopped: a record already done is passed over; a staged
// file that is gone is a failure, never a step already done.
Walk RollForwardAll(const ReplayContext& c, platform::File& journal, WalkFailure& failure);

// Undoes every record, last first: the old files back under their names, the new ones and the
// folders the install made gone. `commitBegun`: renames may have happened. A folder that is not
// empty once the install's own files are out of it holds what another program wrote: it stays,
// counted in `foldersKept`. Goes through every record even after one fails; kDone only when
// all are undone.
Walk RollBackAll(const ReplayContext& c, platform::File& journal, bool commitBegun,
                 std::uint32_t& foldersKept);

// Makes what was done so far durable: every volume the journal's files lie on is flushed (the
// install folder's, and any a junction or mount point on the way leads to); where one cannot
// be (a network share, a system that refuses), each folder of the journal's files and, with
// `files`, each file itself ("staged": the staged files, else the targets) is flushed instead.
enum class FlushWhat { kStagedFiles, kNames };
bool FlushJournalFiles(const ReplayContext& c, platform::File& journal, FlushWhat what);

// Deletes the set-aside old files named by the journal `writer` holds. One that cannot be
// deleted now (a running program's) is deleted when the system next starts, and a restart
// record says so. kDone when every one is gone or so arranged.
Walk DropAll(const ReplayContext& c, JournalWriter& writer);

// Removes the journal, which must be closed, waiting out a short lock.
bool RemoveJournal(const ReplayContext& c);

}  // namespace update
