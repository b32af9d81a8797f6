// The install's decisions, made before anything is acted on: what every item of the package
// becomes in the install folder, written to the journal as its records. Nothing is made here;
// the plan only looks (at what the folder holds, and at the names of the items before it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/text.h"
#include "update/install_transaction.h"
#include "update/journal.h"
#include "update/retry.h"
#include "zip/zip_extractor.h"

namespace update {

// What the install does with an item for its name alone, whatever the folder holds.
enum class NameDecision {
  kInstall,
  kUnsafe,    // the name rules refuse it
  kReserved,  // a name the install keeps for its own files
  kTooLong,   // its full path in the install folder would pass 259 units
};

// Decides for `item` (looked up with result `lookup`) in an install folder whose path, with its
// separator, is `rootUnits` long; `idText` is the install's id (empty: none known yet). On
// kInstall, `relative` receives the item's path relative to the folder, with the system's
// separators and no trailing one (empty for the folder itself).
NameDecision DecideName(const zip::ZipItem& item, std::uint32_t lookup, std::size_t rootUnits,
                        const platform::WString& idText, platform::WString& relative);

// The item of a planned file the install writes from memory (the installed release's record).
inline constexpr std::int32_t kOwnFile = -1;

// One file record of the plan: the item whose bytes it stages (the last of the items with
// that name; kOwnFile for the install's own file) and their size.
struct PlannedFile {
  std::int32_t item = 0;
  std::uint32_t size = 0;
};

struct Plan {
  std::vector<PlannedFile> files;  // one per file record, in journal order
};

// Walks every item of `ex` and writes the plan into `journal` (gathered, not yet flushed).
// False when an item cannot be planned: `outcome` says which and why (and whether the package
// is at fault). Skipped items go to `report` and are counted in `outcome`. An old file to be
// replaced that another program holds without delete sharing is found here, before anything
// is staged: its rename at the commit would fail for as long as that program runs.
bool PlanInstall(const platform::WString& root, bool rootMade, std::uint64_t seed,
                 zip::ZipExtractor& ex, JournalWriter& journal, Retry& retry,
                 const ItemCallback& report, InstallOutcome& outcome, Plan& plan);

// Adds to the plan the install's own file `name` (at the root, a name no item may take) of
// `size` bytes, which the install writes from memory with the package's files. False when it
// cannot be planned: `outcome` says why (the machine's fault).
bool PlanOwnFile(const platform::WString& root, const platform::WString& name, std::uint32_t size,
                 JournalWriter& journal, Retry& retry, InstallOutcome& outcome, Plan& plan);

}  // namespace update
