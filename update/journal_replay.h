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

// Puts every file record's new file in place, in journal order: the old file set aside, the
// staged one renamed. A record already done is passed over; a staged file that is gone is a
// failure, never a step already done. `fresh`: the commit of the install that staged the files
// a moment ago and confirmed them, so no record is done yet and nothing needs looking at first.
// `recordDone` (may be empty) hears of every file record done.
Walk RollForwardAll(const ReplayContext& c, platform::File& journal, bool fresh,
                    WalkFailure& failure, const std::function<void()>& recordDone = {});

// Undoes every record: the old files back under their names, the new ones and the folders the
// install made gone. `commitBegun`: renames may have happened. Goes through every record even
// after one fails; kDone only when all are undone.
Walk RollBackAll(const ReplayContext& c, platform::File& journal, bool commitBegun);

// Deletes the set-aside old files named by the journal `writer` holds. One that cannot be
// deleted now (a running program's) is deleted when the system next starts, and a restart
// record says so. kDone when every one is gone or so arranged.
Walk DropAll(const ReplayContext& c, JournalWriter& writer);

// Removes the journal, which must be closed, waiting out a short lock.
bool RemoveJournal(const ReplayContext& c);

}  // namespace update
