#include "zip/zip_extractor.h"

#include <new>
#include <string>

#include "zip/item_overlap.h"

namespace zip {
namespace {

using platform::WChar;
using platform::WString;

constexpr std::size_t kNameBufferSize = 260;

bool IsDosHost(std::uint32_t host) { return host == 0 || host == 7 || host == 11 || host == 14; }

std::uint32_t MapAttributes(const ZipDirectoryRecord& rec) {
  const std::uint32_t ext = rec.externalAttributes;
  if (IsDosHost(rec.versionMadeBy >> 8)) {
    return ext & (platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem |
                  platform::kAttrFolder | platform::kAttrArchive);
  }
  std::uint32_t a = platform::kAttrArchive;
  if (ext & 0x40000000u) a |= platform::kAttrFolder;
  if ((ext & 0x00800000u) == 0) a |= platform::kAttrReadOnly;
  return a;
}

}  // namespace

const char* DescribeExtractResult(std::uint32_t result) {
  switch (result) {
    case ExtractOk:
      return "ok";
    case ExtractCannotOpen:
      return "cannot open or create";
    case ExtractWriteFailed:
      return "write failed";
    case ExtractCorrupt:
      return "corrupt record or local header";
    case ExtractReadFailed:
      return "local extra field unreadable";
    case ExtractBadPassword:
      return "encrypted";
    case ExtractCrcMismatch:
      return "CRC mismatch";
    case ExtractUnsafeName:
      return "unsafe name";
    case ExtractOverlap:
      return "data overlap another item's header or data";
    case ExtractBadArgument:
      return "no such item";
    case ExtractNameMismatch:
      return "the local header names another file";
    case ExtractInflateFailed:
      return "data unreadable";
  }
  return "unknown failure";
}

std::string DescribeItemProblem(const ZipItem& item, std::uint32_t result) {
  if (result == ExtractUnsafeName) {
    return std::string("unsafe name (") + DescribeNameVerdict(item.nameVerdict) + ")";
  }
  if (item.method != 0 && item.method != 8) {
    return "unsupported method " + std::to_string(item.method) + " (use stored or deflated)";
  }
  if (item.flags & 1) return "encrypted";
  if (result == ExtractCorrupt || result == ExtractReadFailed || result == ExtractInflateFailed) {
    return std::string("unreadable (") + DescribeExtractResult(result) + ")";
  }
  return DescribeExtractResult(result);
}

WString ToSystemSeparators(platform::WStringView path) {
  WString out(path);
  for (WChar& c : out) {
    if (IsSeparator(c)) c = platform::kPreferredSeparator;
  }
  return out;
}

std::unique_ptr<ZipExtractor> ZipExtractor::Open(const WString& archivePath,
                                                 const WString& rootFolder, std::uint32_t* result) {
  if (result) *result = ExtractCannotOpen;
  WString root = rootFolder.empty() ? platform::CurrentDirectory() : rootFolder;
  if (root.empty()) return nullptr;
  if (!IsSeparator(root.back())) root += platform::kPreferredSeparator;
  if (root.size() > kMaxPathUnits) return nullptr;
  std::unique_ptr<ZipSource> source = ZipSource::Open(archivePath);
  if (!source) return nullptr;
  std::unique_ptr<ZipArchive> archive = ZipArchive::Open(std::move(source));
  if (!archive) return nullptr;
  std::uint64_t declared = 0;
  std::optional<std::vector<bool>> overlapping = FindOverlappingItems(*archive, &declared);
  if (!overlapping) return nullptr;
  std::unique_ptr<ZipExtractor> ex(new (std::nothrow) ZipExtractor());
  if (!ex) return nullptr;
  ex->archive_ = std::move(archive);
  ex->overlapping_ = std::move(*overlapping);
  ex->declaredSize_ = declared;
  ex->walkEnd_ = ex->archive_->entryCount();
  ex->root_ = std::move(root);
  if (result) *result = ExtractOk;
  return ex;
}

ZipExtractor::~ZipExtractor() = default;

std::uint32_t ZipExtractor::MoveTo(std::int32_t index) {
  const auto target = static_cast<std::uint32_t>(index);
  if (target >= walkEnd_) return ExtractCorrupt;
  if (target < archive_->currentEntryNumber() || !archive_->currentEntryValid()) {
    if (archive_->GoToFirstEntry() != ZipOk) {
      walkEnd_ = 0;
      return ExtractCorrupt;
    }
  }
  // A record that cannot be read ends the walk: the records behind it cannot be found. It is
  // remembered, so that a caller going through every item pays for the walk once, not once
  // per item behind the break.
  while (archive_->currentEntryNumber() < target) {
    if (archive_->GoToNextEntry() != ZipOk) {
      walkEnd_ = archive_->currentEntryNumber();
      return ExtractCorrupt;
    }
  }
  return ExtractOk;
}

std::uint32_t ZipExtractor::Close() {
  archive_.reset();
  outputBuffer_.reset();
  cachedIndex_ = -1;
  return ExtractOk;
}

std::uint32_t ZipExtractor::GetItem(std::int32_t index, ZipItem& item) {
  if (!archive_) return ExtractBadArgument;
  if (index < -1 || (index >= 0 && static_cast<std::uint32_t>(index) >= archive_->entryCount())) {
    return ExtractBadArgument;
  }
  if (index >= 0 && index == cachedIndex_) {
    item = cachedRecord_;
    return ExtractOk;
  }
  item = ZipItem{};
  if (index == -1) {
    item.index = static_cast<std::int32_t>(archive_->entryCount());
    return ExtractOk;
  }
  item.index = index;
  if (MoveTo(index) != ExtractOk) return ExtractCorrupt;
  return BuildRecord(item);
}

std::uint32_t ZipExtractor::BuildFromDirectory(ZipItem& item, std::uint32_t& dosTime) {
  ZipDirectoryRecord rec;
  char name[kNameBufferSize];
  if (archive_->ReadEntryInfo(&rec, nullptr, name, sizeof name) != ZipOk) return ExtractCorrupt;
  const std::size_t stored = rec.nameLength < sizeof name ? rec.nameLength : sizeof name;
  item.storedName.assign(name, stored);
  // A name of 260 bytes or more was cut by the buffer: refuse it rather than use the stump.
  item.nameVerdict = rec.nameLength >= sizeof name
                         ? NameVerdict::kTooLong
                         : CleanItemName(name, stored, item.name, (rec.flags & kFlagUtf8Name) != 0);
  item.attributes = MapAttributes(rec);
  if (!item.name.empty() && IsSeparator(item.name.back())) item.attributes |= platform::kAttrFolder;
  item.compressedSize = rec.compressedSize;
  item.uncompressedSize = rec.uncompressedSize;
  item.method = rec.method;
  item.flags = rec.flags;
  dosTime = rec.dosTime;
  // A folder item whose name cleans down to nothing names the root itself, which is harmless.
  const bool folder = (item.attributes & platform::kAttrFolder) != 0;
  if (item.nameVerdict == NameVerdict::kEmpty && folder) item.nameVerdict = NameVerdict::kOk;
  return ExtractOk;
}

std::uint32_t ZipExtractor::Verdict(ZipItem& item) const {
  if (item.nameVerdict != NameVerdict::kOk) {
    item.name.clear();
    return ExtractUnsafeName;
  }
  return overlapping_[static_cast<std::size_t>(item.index)] ? ExtractOverlap : ExtractOk;
}

std::uint32_t ZipExtractor::BuildRecord(ZipItem& item) {
  std::uint32_t dosTime = 0;
  if (BuildFromDirectory(item, dosTime) != ExtractOk) return ExtractCorrupt;
  ItemTimes times;
  times.access = times.creation = times.modification = DosTimeToFileTime(dosTime);

  const int local = archive_->CheckLocalHeader(nullptr, nullptr, nullptr);
  if (local != ZipOk && local != ZipNameMismatch) return ExtractCorrupt;
  if (archive_->ReadLocalExtra(extra_) != ZipOk) return ExtractReadFailed;
  ApplyExtendedTimestamp(extra_.data(), extra_.size(), times);
  item.accessTime = times.access;
  item.creationTime = times.creation;
  item.modificationTime = times.modification;

  // An overlap says more than the name: a record that borrows another item's header is named
  // differently as a rule.
  const std::uint32_t verdict = Verdict(item);
  if (verdict != ExtractOk) return verdict;
  if (local == ZipNameMismatch) return ExtractNameMismatch;
  cachedIndex_ = item.index;
  cachedRecord_ = item;
  return ExtractOk;
}

std::uint32_t ZipExtractor::PeekItem(std::int32_t index, ZipItem& item) {
  if (!archive_ || index < 0 || static_cast<std::uint32_t>(index) >= archive_->entryCount()) {
    return ExtractBadArgument;
  }
  item = ZipItem{};
  item.index = index;
  std::uint32_t dosTime = 0;
  if (MoveTo(index) != ExtractOk || BuildFromDirectory(item, dosTime) != ExtractOk) {
    return ExtractCorrupt;
  }
  return Verdict(item);
}

WString ZipExtractor::FullPath(const WString& targetName) const {
  if (root_.size() + targetName.size() > kMaxPathUnits) return WString();
  return root_ + ToSystemSeparators(targetName);
}

bool ZipExtractor::EnsureFolder(const WString& full) {
  if (full.empty() || full == lastFolder_) return true;
  if (platform::IsFolder(full)) {
    lastFolder_ = full;
    return true;
  }
  const std::size_t cut = full.find_last_of(platform::kPreferredSeparator);
  if (cut != WString::npos && cut > 0) EnsureFolder(full.substr(0, cut));
  if (!platform::CreateFolder(full) && !platform::IsFolder(full)) return false;
  lastFolder_ = full;
  return true;
}

bool ZipExtractor::EnsureFolders(const WString& relative) {
  WString full = FullPath(relative);
  if (full.empty()) return false;
  while (full.size() > 1 && IsSeparator(full.back())) full.pop_back();
  return EnsureFolder(full);
}

std::uint32_t ZipExtractor::ExtractItem(std::int32_t index, const WString& targetName) {
  std::uint32_t lookup = ExtractOk;
  const ZipItem* const found = LookUpItem(index, lookup);
  if (found == nullptr) return lookup;
  const ZipItem& item = *found;
  // The target comes from the caller, not the archive, but it ends up on disk just the same.
  if (CheckRelativePath(targetName) != NameVerdict::kOk) return ExtractUnsafeName;
  const WString full = FullPath(targetName);
  if (full.empty()) return ExtractUnsafeName;

  const std::size_t cut = targetName.find_last_of(WIDE("/\\"));
  const bool folder = (item.attributes & platform::kAttrFolder) != 0 ||
                      (cut != WString::npos && cut + 1 == targetName.size()) || targetName.empty();
  if (folder) return EnsureFolders(targetName) ? ExtractOk : ExtractCannotOpen;

  // The folder part may be empty: the root itself may still have to be made.
  EnsureFolders(cut == WString::npos ? WString() : targetName.substr(0, cut + 1));
  platform::File file = platform::File::Create(full, item.attributes);
  if (!file) return ExtractCannotOpen;
  return WriteData(index, item, file);
}

const ZipItem* ZipExtractor::LookUpItem(std::int32_t index, std::uint32_t& result) {
  if (!archive_ || index < 0 || static_cast<std::uint32_t>(index) >= archive_->entryCount()) {
    result = ExtractBadArgument;
    return nullptr;
  }
  // Usually the caller has just looked the item up: the cached record serves, uncopied.
  if (index != cachedIndex_) {
    ZipItem scratch;
    result = GetItem(index, scratch);
    if (result != ExtractOk) return nullptr;
  }
  result = ExtractOk;
  return &cachedRecord_;
}

std::uint32_t ZipExtractor::WriteItemTo(std::int32_t index, const WString& path) {
  std::uint32_t lookup = ExtractOk;
  const ZipItem* const found = LookUpItem(index, lookup);
  if (found == nullptr) return lookup;
  const ZipItem& item = *found;
  if (item.attributes & platform::kAttrFolder) return ExtractBadArgument;
  platform::File file = platform::File::CreateNew(path, item.attributes);
  if (!file) return ExtractCannotOpen;
  return WriteData(index, item, file);
}

std::uint32_t ZipExtractor::WriteData(std::int32_t index, const ZipItem& item,
                                      platform::File& file) {
  bool complete = false;
  std::uint32_t result = ReadData(
      index, item,
      [&file](const unsigned char* data, std::size_t length) { return file.Write(data, length); },
      complete);
  if (complete) {
    file.SetTimes(platform::FileTimes{item.creationTime, item.accessTime, item.modificationTime});
  }
  if (!file.Close() && result == ExtractOk) result = ExtractWriteFailed;
  if (result == ExtractOk) result = FinishData();
  return result;
}

std::uint32_t ZipExtractor::ReadData(std::int32_t index, const ZipItem& item, const DataSink& sink,
                                     bool& complete) {
  complete = false;
  if (MoveTo(index) != ExtractOk) return ExtractCorrupt;
  archive_->OpenItem(nullptr);
  if (!outputBuffer_) {
    outputBuffer_.reset(new (std::nothrow) unsigned char[kWholeItemSize]);
    if (!outputBuffer_) return ExtractInflateFailed;
  }
  // An empty item has nothing to read: it is complete as soon as it exists.
  if (item.uncompressedSize == 0) {
    complete = true;
    return ExtractOk;
  }
  const bool whole =
      decoding_ == Decoding::kWholeWhereItFits && item.uncompressedSize <= kWholeItemSize;
  for (;;) {
    bool end = false;
    const int n = whole ? archive_->ReadWholeItem(outputBuffer_.get(), kWholeItemSize, &end)
                        : archive_->ReadItem(outputBuffer_.get(), kOutputBufferSize, &end);
    if (n == ZipBadPassword) return ExtractBadPassword;
    if (n < 0) return ExtractInflateFailed;
    if (n > 0 && !sink(outputBuffer_.get(), static_cast<std::size_t>(n))) return ExtractWriteFailed;
    if (end) {
      complete = true;
      return ExtractOk;
    }
    if (n == 0) return ExtractInflateFailed;
  }
}

std::uint32_t ZipExtractor::FinishData() {
  // Only a wholly read item is checked, so this must follow a complete read.
  return archive_->CloseItem() == ZipCrcError ? ExtractCrcMismatch : ExtractOk;
}

std::uint32_t ZipExtractor::TestItem(std::int32_t index) {
  std::uint32_t lookup = ExtractOk;
  const ZipItem* const found = LookUpItem(index, lookup);
  if (found == nullptr) return lookup;
  const ZipItem& item = *found;
  if (item.attributes & platform::kAttrFolder) return ExtractOk;
  bool complete = false;
  std::uint32_t result = ReadData(
      index, item, [](const unsigned char*, std::size_t) { return true; }, complete);
  if (result == ExtractOk) return FinishData();
  archive_->CloseItem();
  return result;
}

}  // namespace zip
