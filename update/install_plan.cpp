#include "update/install_plan.h"

#include <utility>

#include "platform/file_system.h"
#include "zip/item_path.h"

namespace update {
namespace {

using platform::PathKind;
using platform::WString;

// The names the plan has decided on, by a 64-bit hash of their case-folded form: two items
// whose names Windows takes for one file get one record, and a folder is looked at once.
// Seeded per install, so that a package cannot be made to hit a chosen collision; an accidental
// one among a package's names is about as likely as 2^-32 for the largest archive.
class NameTable {
 public:
  enum Kind : std::uint32_t {
    kFile = 0,
    kFolder = 1u << 31,
    kMade = 1u << 30,  // a folder this install makes
  };
  static constexpr std::uint32_t kNumberMask = kMade - 1;

  // Room for `expected` names at three quarters full, where linear probing stays short.
  explicit NameTable(std::size_t expected) {
    const std::size_t slots = expected * 4 / 3 + 64;
    keys_.assign(slots, 0);
    values_.assign(slots, 0);
  }

  // The value stored for `key`, or null.
  const std::uint32_t* Find(std::uint64_t key) const {
    key = Nonzero(key);
    for (std::size_t i = Slot(key);; i = Next(i)) {
      if (keys_[i] == key) return &values_[i];
      if (keys_[i] == 0) return nullptr;
    }
  }
  void Insert(std::uint64_t key, std::uint32_t value) {
    if ((used_ + 1) * 4 > keys_.size() * 3) Grow();
    Put(Nonzero(key), value);
    ++used_;
  }

 private:
  static std::uint64_t Nonzero(std::uint64_t key) { return key == 0 ? 1 : key; }
  std::size_t Slot(std::uint64_t key) const { return static_cast<std::size_t>(key % keys_.size()); }
  std::size_t Next(std::size_t i) const { return i + 1 == keys_.size() ? 0 : i + 1; }
  void Put(std::uint64_t key, std::uint32_t value) {
    std::size_t i = Slot(key);
    while (keys_[i] != 0) i = Next(i);
    keys_[i] = key;
    values_[i] = value;
  }
  void Grow() {
    std::vector<std::uint64_t> keys(keys_.size() * 2, 0);
    std::vector<std::uint32_t> values(values_.size() * 2, 0);
    keys.swap(keys_);
    values.swap(values_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] != 0) Put(keys[i], values[i]);
    }
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> values_;
  std::size_t used_ = 0;
};

class Planner {
 public:
  Planner(const WString& root, bool rootMade, std::uint64_t seed, zip::ZipExtractor& ex,
          JournalWriter& journal, const ItemCallback& report, InstallOutcome& outcome,
          std::vector<PlannedFile>& files)
      : root_(root),
        rootMade_(rootMade),
        seed_(seed),
        ex_(ex),
        journal_(journal),
        report_(report),
        outcome_(outcome),
        files_(files),
        names_(ex.itemCount()) {}

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
          Skip(index, item, rc, false, false);
          continue;
        case NameDecision::kReserved:
          Skip(index, item, zip::ExtractUnsafeName, true, false);
          continue;
        case NameDecision::kTooLong:
          Skip(index, item, zip::ExtractUnsafeName, false, true);
          continue;
      }
      if (!PlanItem(index, item, relative)) return false;
    }
    outcome_.written = outcome_.items - outcome_.skipped;
    return true;
  }

 private:
  // Hashes of `folded` up to each separator and of the whole, FNV-1a over UTF-16 units.
  void HashSteps(const WString& folded) {
    steps_.clear();
    std::uint64_t h = 0xcbf29ce484222325u ^ seed_;
    for (std::size_t i = 0; i < folded.size(); ++i) {
      if (folded[i] == platform::kPreferredSeparator) steps_.emplace_back(i, h);
      h = (h ^ static_cast<std::uint16_t>(folded[i])) * 0x100000001b3u;
    }
    steps_.emplace_back(folded.size(), h);
  }

  bool PlanItem(std::int32_t index, const zip::ZipItem& item, const WString& relative) {
    HashSteps(platform::FoldCase(relative));
    const bool folder = (item.attributes & platform::kAttrFolder) != 0;
    // The folders on the way (for a folder item, the item itself too).
    bool parentMade = rootMade_;
    const std::size_t folders = folder ? steps_.size() : steps_.size() - 1;
    if (relative.empty()) return true;  // the install folder itself
    for (std::size_t s = 0; s < folders; ++s) {
      if (!PlanFolder(index, item, relative.substr(0, steps_[s].first), steps_[s].second,
                      parentMade)) {
        return false;
      }
    }
    if (folder) return true;

    const std::uint64_t key = steps_.back().second;
    if (const std::uint32_t* found = names_.Find(key)) {
      if (*found & NameTable::kFolder) {
        return PackageFault(index, item, zip::ExtractCannotOpen,
                            "a folder of the package has its name");
      }
      // A later item of the same name: its bytes are staged instead, under the same record.
      files_[*found & NameTable::kNumberMask] = PlannedFile{index, item.uncompressedSize};
      return true;
    }
    const auto number = static_cast<std::uint32_t>(files_.size());
    if (number > NameTable::kNumberMask) return PackageFault(index, item, zip::ExtractBadArgument);
    // The install folder itself is never the install's own, even when it made it: the journal
    // lies there.
    if (parentMade && folders != 0) {
      // A folder this install makes holds nothing of the old version, and goes whole when the
      // install is undone: its files need no temporary name, and no rename in the commit.
      if (!journal_.AddNewFile(relative)) return JournalFailed(index, item);
    } else {
      bool replaces = false;
      switch (platform::Probe(root_ + relative)) {
        case PathKind::kMissing:
          break;
        case PathKind::kFile:
          replaces = true;
          break;
        case PathKind::kFolder:
          return MachineFault(index, item, "replacing a folder");
        case PathKind::kUnknown:
          return MachineFault(index, item, "looking at the old file");
      }
      std::uint32_t written = 0;
      if (!journal_.AddFile(replaces, relative, written)) return JournalFailed(index, item);
    }
    names_.Insert(key, number);
    files_.push_back(PlannedFile{index, item.uncompressedSize});
    return true;
  }

  // Plans folder `relative` (whose case-folded hash is `key`); `parentMade` tells whether its
  // parent is made by this install, and receives the same for this folder.
  bool PlanFolder(std::int32_t index, const zip::ZipItem& item, const WString& relative,
                  std::uint64_t key, bool& parentMade) {
    if (const std::uint32_t* found = names_.Find(key)) {
      if (!(*found & NameTable::kFolder)) {
        return PackageFault(index, item, zip::ExtractCannotOpen,
                            "a file of the package has its name");
      }
      parentMade = (*found & NameTable::kMade) != 0;
      return true;
    }
    bool made = parentMade;
    if (!made) {
      const WString full = root_ + relative;
      switch (platform::Probe(full)) {
        case PathKind::kFolder:
          // A link on the way would take the item out of the install folder.
          if (platform::IsSymbolicLink(full))
            return MachineFault(index, item, "a link is on its way");
          break;
        case PathKind::kMissing:
          made = true;
          break;
        case PathKind::kFile:
          return MachineFault(index, item, "making its folder: a file has the name");
        case PathKind::kUnknown:
          return MachineFault(index, item, "looking at its folder");
      }
    }
    if (made && !journal_.AddFolder(relative)) return JournalFailed(index, item);
    names_.Insert(key,
                  made ? NameTable::kFolder | NameTable::kMade : std::uint32_t{NameTable::kFolder});
    parentMade = made;
    return true;
  }

  void Skip(std::int32_t index, const zip::ZipItem& item, std::uint32_t rc, bool reserved,
            bool tooLong) {
    ++outcome_.skipped;
    if (!report_) return;
    ItemReport r;
    r.index = index;
    r.item = &item;
    r.result = rc;
    r.reserved = reserved;
    r.tooLong = tooLong;
    r.skipped = true;
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
    return Fail(index, item, rc, "staging", reason);
  }
  // What the folder holds, or the system: the package is worth another try.
  bool MachineFault(std::int32_t index, const zip::ZipItem& item, const char* step) {
    outcome_.failedError = platform::LastFileError();
    return Fail(index, item, zip::ExtractCannotOpen, step, nullptr);
  }
  bool JournalFailed(std::int32_t index, const zip::ZipItem& item) {
    outcome_.failedError = platform::LastFileError();
    return Fail(index, item, zip::ExtractWriteFailed, "writing the journal", nullptr);
  }

  const WString& root_;
  const bool rootMade_;
  const std::uint64_t seed_;
  zip::ZipExtractor& ex_;
  JournalWriter& journal_;
  const ItemCallback& report_;
  InstallOutcome& outcome_;
  std::vector<PlannedFile>& files_;
  NameTable names_;
  std::vector<std::pair<std::size_t, std::uint64_t>> steps_;  // reused for every item
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
  // The package and the journal keep their names at the root, and no item may take a name
  // of this install's temporary files.
  if (zip::EqualsAsciiNoCase(relative, "UPDATE.JOURNAL") ||
      zip::EqualsAsciiNoCase(relative, "UPDATE.ZIP") ||
      (!idText.empty() && IsTemporaryName(relative, idText))) {
    return NameDecision::kReserved;
  }
  return NameDecision::kInstall;
}

bool PlanInstall(const WString& root, bool rootMade, std::uint64_t seed, zip::ZipExtractor& ex,
                 JournalWriter& journal, const ItemCallback& report, InstallOutcome& outcome,
                 std::vector<PlannedFile>& files) {
  files.clear();
  // At most one record per item: no growth, and no moment with two copies.
  files.reserve(ex.itemCount());
  return Planner(root, rootMade, seed, ex, journal, report, outcome, files).Run();
}

}  // namespace update
