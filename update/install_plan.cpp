#include "update/install_plan.h"

#include <utility>

#include "platform/file_system.h"
#include "update/item_names.h"
#include "zip/item_path.h"

namespace update {
namespace {

using platform::FileError;
using platform::PathKind;
using platform::WString;

// What stands where a file of the install is to go.
enum class OldFile {
  kNone,      // nothing, or a file gone since it was looked at (a scanner's quarantine)
  kReplaced,  // a file that can be set aside
  kHeld,      // a file that cannot be set aside now (platform::LastFileError() says why)
  kFolder,
  kUnknown,  // the system cannot say
};

OldFile LookAtOldFile(const WString& full, Retry& retry) {
  switch (platform::Probe(full)) {
    case PathKind::kMissing:
      return OldFile::kNone;
    case PathKind::kFile:
      // Asked now, not at the commit: a file held without delete sharing would undo the
      // whole install there, at every launch, after staging all of it.
      if (retry.Run([&] { return platform::CanDeleteNow(full); })) return OldFile::kReplaced;
      return platform::LastFileError() == FileError::kNotFound ? OldFile::kNone : OldFile::kHeld;
    case PathKind::kFolder:
      return OldFile::kFolder;
    case PathKind::kUnknown:
      break;
  }
  return OldFile::kUnknown;
}

class Planner {
 public:
  Planner(const WString& root, bool rootMade, std::uint64_t seed, zip::ZipExtractor& ex,
          JournalWriter& journal, Retry& retry, const ItemCallback& report, InstallOutcome& outcome,
          Plan& plan)
      : root_(root),
        rootMade_(rootMade),
        ex_(ex),
        journal_(journal),
        retry_(retry),
        report_(report),
        outcome_(outcome),
        plan_(plan),
        names_(ex.itemCount(), seed) {}

  bool Run() {
    zip::ZipItem item;
    for (std::uint32_t i = 0; i < outcome_.items; ++i) {
      const auto index = static_cast<std::int32_t>(i);
      // The directory record says all a plan needs; the local header is read when the item
      // is staged, so that a plan costs no read of the archive per item.
      const std::uint32_t rc = ex_.PeekItem(index, item);
      WString relative;
      switch (DecideName(item, rc, root_.size(), journal_.idText(), relative)) {
        case NameDecision::kInstall:
          break;
        case NameDecision::kUnsafe:
          if (rc != zip::ExtractUnsafeName) {
            // A failed read of the archive is the disk's doing, not the package's.
            if (ex_.readError()) return MachineFault(index, item, "reading the package");
            return PackageFault(index, item, rc);
          }
          Skip(index, item, rc, ItemFate::kUnsafe);
          continue;
        case NameDecision::kReserved:
          Skip(index, item, zip::ExtractUnsafeName, ItemFate::kReserved);
          continue;
        case NameDecision::kTooLong:
          Skip(index, item, zip::ExtractUnsafeName, ItemFate::kTooLong);
          continue;
      }
      if (!PlanItem(index, item, relative)) return false;
    }
    outcome_.written = outcome_.items - outcome_.skipped;
    return true;
  }

 private:
  bool PlanItem(std::int32_t index, const zip::ZipItem& item, const WString& name) {
    if (name.empty()) return true;  // the install folder itself
    names_.Take(name);
    const bool folder = (item.attributes & platform::kAttrFolder) != 0;
    // The folders on the way (for a folder item, the item itself too), each spelt as the
    // first item that named it did: the system keeps that spelling, and so does every record
    // of a file in it, also where names differ by case on disk.
    // The install folder is never the install's own, even when it made it: the journal lies
    // there, and its folders are made under temporary names like any others.
    bool parentMade = false;
    const std::size_t folders = folder ? names_.steps() : names_.steps() - 1;
    WString relative;
    std::size_t from = 0;
    for (std::size_t s = 0; s < folders; ++s) {
      if (!relative.empty()) relative += platform::kPreferredSeparator;
      relative.append(name, from, names_.stepUnits(s) - from);
      from = names_.stepUnits(s) + 1;
      if (!PlanFolder(index, item, relative, s, parentMade)) return false;
    }
    if (folder) return true;
    if (!relative.empty()) relative += platform::kPreferredSeparator;
    relative.append(name, from, WString::npos);

    const std::size_t last = names_.steps() - 1;
    std::uint32_t number = 0;
    switch (names_.Meet(last, false, number)) {
      case ItemNames::Meeting::kFileAndFolder:
        return PackageFault(index, item, zip::ExtractCannotOpen,
                            "a folder of the package has its name");
      case ItemNames::Meeting::kSameFile:
        // A later item of the same name: its bytes are staged instead, under the same record.
        plan_.files[number] = PlannedFile{index, item.uncompressedSize};
        return true;
      default:
        break;
    }
    number = static_cast<std::uint32_t>(plan_.files.size());
    // In a folder this install makes nothing stands yet, and nobody else knows where it is
    // until the commit: the file is written there under its own name.
    if (parentMade && folders != 0) {
      if (!journal_.AddNewFile(relative)) return JournalFailed(index, item);
      names_.Add(last, false, number);
      plan_.files.push_back(PlannedFile{index, item.uncompressedSize});
      return true;
    }
    bool replaces = false;
    switch (LookAtOldFile(root_ + relative, retry_)) {
      case OldFile::kNone:
        break;
      case OldFile::kReplaced:
        replaces = true;
        break;
      case OldFile::kHeld:
        return MachineFault(index, item, "looking at the old file",
                            platform::LastFileError() == FileError::kBusy
                                ? "the old file is held open by another program"
                                : nullptr);
      case OldFile::kFolder:
        // Replacing a folder would take whatever the old version keeps in it: the package
        // must not ask for that.
        return PackageFault(index, item, zip::ExtractCannotOpen,
                            "a folder of the old version has its name");
      case OldFile::kUnknown:
        return MachineFault(index, item, "looking at the old file");
    }
    std::uint32_t written = 0;
    if (!journal_.AddFile(replaces, relative, written)) return JournalFailed(index, item);
    names_.Add(last, false, number);
    plan_.files.push_back(PlannedFile{index, item.uncompressedSize});
    return true;
  }

  // Plans folder `relative`, step `step` of the name taken; `parentMade` tells whether its
  // parent is made by this install, and receives the same for this folder. A folder planned
  // before gives `relative` the spelling it was planned with.
  bool PlanFolder(std::int32_t index, const zip::ZipItem& item, WString& relative, std::size_t step,
                  bool& parentMade) {
    std::uint32_t value = 0;
    switch (names_.Meet(step, true, value)) {
      case ItemNames::Meeting::kFileAndFolder:
        return PackageFault(index, item, zip::ExtractCannotOpen,
                            "a file of the package has its name");
      case ItemNames::Meeting::kSameFolder:
        parentMade = (value & kMade) != 0;
        relative = spellings_[value & ~kMade];
        return true;
      default:
        break;
    }
    // A folder in a folder this install makes, or in an install folder it made, is missing.
    bool makes = parentMade || (rootMade_ && step == 0);
    if (!makes) {
      const WString full = root_ + relative;
      switch (platform::Probe(full)) {
        case PathKind::kFolder:
          // A link on the way would take the item out of the install folder.
          if (platform::IsSymbolicLink(full))
            return MachineFault(index, item, "a link is on its way");
          break;
        case PathKind::kMissing:
          makes = true;
          break;
        case PathKind::kFile:
          // Setting the old file aside would lose it for good if the client still needs it:
          // the package must not ask for that.
          return PackageFault(index, item, zip::ExtractCannotOpen,
                              "a file of the old version has the name of its folder");
        case PathKind::kUnknown:
          return MachineFault(index, item, "looking at its folder");
      }
    }
    if (makes && !journal_.AddFolder(relative, !parentMade)) return JournalFailed(index, item);
    names_.Add(step, true, static_cast<std::uint32_t>(spellings_.size()) | (makes ? kMade : 0));
    spellings_.push_back(relative);
    parentMade = makes;
    return true;
  }

  void Skip(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc, ItemFate fate) {
    ++outcome_.skipped;
    if (!report_) return;
    ItemReport r;
    r.index = index;
    r.item = &item;
    r.result = rc;
    r.fate = fate;
    report_(r);
  }

  bool Fail(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc, const char* step,
            const char* reason) {
    outcome_.failedIndex = index;
    outcome_.failedName = item.name;
    outcome_.failedResult = rc;
    outcome_.failedStep = step;
    outcome_.failedReason = reason;
    if (report_) {
      ItemReport r;
      r.index = index;
      r.item = &item;
      r.result = rc;
      report_(r);
    }
    return false;
  }
  // The package's own data or names: it would fail the same way again.
  bool PackageFault(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc,
                    const char* reason = nullptr) {
    outcome_.packageAtFault = true;
    if (reason == nullptr) outcome_.failedCause = zip::DescribeItemProblem(item, rc);
    return Fail(index, item, rc, "staging", reason);
  }
  // What the folder holds, or the system: the package is worth another try.
  bool MachineFault(std::int32_t index, const zip::ZipItem& item, const char* step,
                    const char* reason = nullptr) {
    outcome_.failedError = platform::LastFileError();
    return Fail(index, item, zip::ExtractCannotOpen, step, reason);
  }
  bool JournalFailed(std::int32_t index, const zip::ZipItem& item) {
    outcome_.failedError = platform::LastFileError();
    return Fail(index, item, zip::ExtractWriteFailed, "writing the journal", nullptr);
  }

  const WString& root_;
  const bool rootMade_;
  zip::ZipExtractor& ex_;
  JournalWriter& journal_;
  Retry& retry_;
  const ItemCallback& report_;
  InstallOutcome& outcome_;
  Plan& plan_;
  ItemNames names_;
  // The folders planned so far, as first spelt; a folder's value in `names_` is its place
  // here, with kMade when this install makes it.
  static constexpr std::uint32_t kMade = 1u << 31;
  std::vector<WString> spellings_;
};

}  // namespace

NameDecision DecideName(const zip::ZipItem& item, std::uint32_t lookup, std::size_t rootUnits,
                        const WString& idText, WString& relative) {
  relative.clear();
  if (lookup != zip::ExtractOk) return NameDecision::kUnsafe;
  // Steps that name no folder ("." and empty ones, as in "./bin//a.dll") are dropped, so that
  // every item names its file one way only.
  const WString name = zip::ToSystemSeparators(item.name);
  for (std::size_t from = 0; from <= name.size();) {
    std::size_t to = name.find(platform::kPreferredSeparator, from);
    if (to == WString::npos) to = name.size();
    const std::size_t length = to - from;
    if (length != 0 && !(length == 1 && name[from] == WIDE('.'))) {
      if (!relative.empty()) relative += platform::kPreferredSeparator;
      relative.append(name, from, length);
    }
    from = to + 1;
  }
  // One path rule for every item, whatever folder it lands in: a system without long-path
  // support opens nothing longer, and the client could not open what it could not name.
  if (rootUnits + relative.size() > zip::kMaxPathUnits) return NameDecision::kTooLong;
  // The package, the journal, the installed release's record and the launcher's lock (held
  // open while the install runs) keep their names at the root, and no item may take a name of
  // this install's temporary files.
  if (zip::EqualsAsciiNoCase(relative, "UPDATE.JOURNAL") ||
      zip::EqualsAsciiNoCase(relative, "UPDATE.ZIP") ||
      zip::EqualsAsciiNoCase(relative, "UPDATE.SEQUENCE") ||
      zip::EqualsAsciiNoCase(relative, "LAUNCH.LOCK") ||
      (!idText.empty() && IsTemporaryName(relative, idText))) {
    return NameDecision::kReserved;
  }
  return NameDecision::kInstall;
}

bool PlanInstall(const WString& root, bool rootMade, std::uint64_t seed, zip::ZipExtractor& ex,
                 JournalWriter& journal, Retry& retry, const ItemCallback& report,
                 InstallOutcome& outcome, Plan& plan) {
  plan.files.clear();
  // At most one record per item: no growth, and no moment with two copies.
  plan.files.reserve(ex.itemCount());
  return Planner(root, rootMade, seed, ex, journal, retry, report, outcome, plan).Run();
}

bool PlanOwnFile(const WString& root, const WString& name, std::uint32_t size,
                 JournalWriter& journal, Retry& retry, InstallOutcome& outcome, Plan& plan) {
  bool replaces = false;
  switch (LookAtOldFile(root + name, retry)) {
    case OldFile::kNone:
      break;
    case OldFile::kReplaced:
      replaces = true;
      break;
    default:
      // The install's own name: whatever holds it is the machine's doing, not the package's.
      outcome.failedName = name;
      outcome.failedStep = "looking at the old file";
      outcome.failedError = platform::LastFileError();
      return false;
  }
  std::uint32_t number = 0;
  if (!journal.AddFile(replaces, name, number)) {
    outcome.failedName = name;
    outcome.failedStep = "writing the journal";
    outcome.failedError = platform::LastFileError();
    return false;
  }
  plan.files.push_back(PlannedFile{kOwnFile, size});
  return true;
}

}  // namespace update
