// The archive object the rest of the launcher uses: opens an archive, answers item lookups
// with self-contained records, and writes items to disk under a root folder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/file_system.h"
#include "zip/item_path.h"
#include "zip/zip_reader.h"
#include "zip/zip_time.h"

namespace zip {

// Extractor results; 0 is success. Every non-zero value means the item was not installed.
enum ExtractResult : std::uint32_t {
  ExtractOk = 0x00000000,
  ExtractCannotOpen = 0x00000200,     // archive not readable, or an output file not created
  ExtractWriteFailed = 0x00000400,    // writing an output file failed
  ExtractCorrupt = 0x00000700,        // directory record or local header unreadable or mismatched
  ExtractReadFailed = 0x00000800,     // the local extra field could not be read whole
  ExtractBadPassword = 0x00001000,    // encrypted, and the check byte did not match
  ExtractCrcMismatch = 0x00002000,    // every byte was read but the CRC-32 does not match
  ExtractUnsafeName = 0x00004000,     // the name is refused (see NameVerdict)
  ExtractOverlap = 0x00008000,        // the data overlap another item's local header or data
  ExtractBadArgument = 0x00010000,    // index outside the archive
  ExtractNameMismatch = 0x00020000,   // the local header names another file than the directory
  ExtractInflateFailed = 0x05000000,  // reading or decompressing the item's data failed
};

// A short English description of a result, for reports.
const char* DescribeExtractResult(std::uint32_t result);

// The record a lookup returns. Self-contained: it stays valid after the extractor is closed.
struct ZipItem {
  std::int32_t index = 0;  // position in the central directory; for index -1, the item count
  platform::WString name;  // decoded and cleaned, separators as stored; empty when refused
  std::string storedName;  // the raw stored bytes (at most 260), for reports
  NameVerdict nameVerdict = NameVerdict::kOk;
  std::uint32_t attributes = 0;  // platform::kAttr* bits
  platform::FileTime accessTime = 0;
  platform::FileTime creationTime = 0;
  platform::FileTime modificationTime = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t method = 0;  // 0 stored, 8 deflated; anything else cannot be read
  std::uint32_t flags = 0;   // general-purpose flags; bit 0 encrypted
};

// Why `item` would not install with result `result` (not ExtractOk), in the words the
// package builders know: the name verdict, an unsupported method or encryption named as such
// rather than as the damage the reader sees, else the result's description.
std::string DescribeItemProblem(const ZipItem& item, std::uint32_t result);

// Items are decompressed into, and written from, a buffer of this many bytes. zlib copies the
// last 32 KiB of each call's output into its window: with a large buffer that copy is a small
// share of the work, where 16 KiB pieces copied every byte a second time, and a file of a
// typical package is written in one call.
inline constexpr std::size_t kOutputBufferSize = 256 * 1024;

// Items of up to this many bytes (whose compressed data also fit one read piece) are decoded
// whole, at twice zlib's speed; the output buffer is this large, and a larger item is streamed
// through its first kOutputBufferSize bytes. Only the part an item fills is ever touched: an
// item this large costs about 2 MiB of memory with its compressed data, items of a few MiB
// would cost twice their size.
inline constexpr std::size_t kWholeItemSize = 1024 * 1024;
static_assert(kWholeItemSize >= kOutputBufferSize, "the output buffer serves both decoders");

// How an extractor decodes item data. Both give the same results and write the same bytes
// (ZipArchive::ReadWholeItem names the one kind of stream they differ on).
enum class Decoding {
  kWholeWhereItFits,  // items of up to kWholeItemSize at once, larger ones streamed
  kStreamed,          // every item streamed through zlib, the reference the whole decoding
                      // is compared against in tests and fuzzing
};

// General-purpose flag bit 11: the name (and comment) are UTF-8.
inline constexpr std::uint32_t kFlagUtf8Name = 0x800;

class ZipExtractor {
 public:
  // Opens `archivePath`. `rootFolder` anchors item names; empty means the current directory
  // at this moment. Returns null with ExtractCannotOpen in `*result` on failure.
  static std::unique_ptr<ZipExtractor> Open(const platform::WString& archivePath,
                                            const platform::WString& rootFolder,
                                            std::uint32_t* result);
  ~ZipExtractor();
  ZipExtractor(const ZipExtractor&) = delete;
  ZipExtractor& operator=(const ZipExtractor&) = delete;

  // Fills `item` for `index` (or the item count for -1). A refused name gives
  // ExtractUnsafeName, data that overlap another item's ExtractOverlap, with every other field
  // filled.
  std::uint32_t GetItem(std::int32_t index, ZipItem& item);
  // Fills the fields of `item` that its directory record gives (name, verdict, attributes,
  // sizes, method, flags; no times) without reading its local header: what a plan of every
  // item needs, at a fraction of a lookup's cost. Results as GetItem's, but a local header that
  // does not match shows only at the item's lookup or extraction.
  std::uint32_t PeekItem(std::int32_t index, ZipItem& item);
  // Writes item `index` as `targetName` (relative to the root). A folder item, or one whose
  // name ends in a separator, becomes a chain of folders; a file item a file with the item's
  // attributes and times. Any result other than ExtractOk means the file must not be trusted.
  std::uint32_t ExtractItem(std::int32_t index, const platform::WString& targetName);
  // Writes file item `index` as a new file at `path` (a full path, of any length; nothing
  // there is ever replaced or followed), with the item's attributes and times.
  // ExtractCannotOpen when the file cannot be created (platform::LastFileError() says why:
  // kExists when the name was taken). The file stays whatever the result, its bytes to be
  // trusted only with ExtractOk: the caller owns the name and removes what failed.
  std::uint32_t WriteItemTo(std::int32_t index, const platform::WString& path);
  // Reads item `index` through to its CRC-32 without writing anything; the result is what
  // ExtractItem would give for the data.
  std::uint32_t TestItem(std::int32_t index);
  // The full path `targetName` would be written to, or empty when root + name is too long.
  platform::WString FullPath(const platform::WString& targetName) const;
  const platform::WString& rootFolder() const { return root_; }
  // True once a system read of the archive failed: a failure to read an item was the disk's,
  // not its data's.
  bool readError() const { return archive_ && archive_->readError(); }
  // Items are decoded whole where they fit unless this says otherwise.
  void SetDecoding(Decoding decoding) { decoding_ = decoding; }
  // 0 once closed.
  std::uint32_t itemCount() const { return archive_ ? archive_->entryCount() : 0; }
  // The items' uncompressed sizes added up, from their directory records: the most that
  // extracting every item can write, since no item yields more than its record says.
  std::uint64_t declaredSize() const { return declaredSize_; }
  // Closes the archive file and frees the buffers now; later lookups and extractions give
  // ExtractBadArgument. Destroying the extractor does the same.
  std::uint32_t Close();

 private:
  ZipExtractor() = default;
  std::uint32_t MoveTo(std::int32_t index);
  // The record of item `index` (not the count), kept by the extractor until the next lookup
  // of another item; null with the reason in `result` (ExtractBadArgument outside the archive).
  const ZipItem* LookUpItem(std::int32_t index, std::uint32_t& result);
  std::uint32_t BuildRecord(ZipItem& item);
  // The directory record's part of BuildRecord; `dosTime` receives its date and time.
  std::uint32_t BuildFromDirectory(ZipItem& item, std::uint32_t& dosTime);
  // ExtractUnsafeName (the name cleared), ExtractOverlap or ExtractOk for a built record.
  std::uint32_t Verdict(ZipItem& item) const;
  using DataSink = std::function<bool(const unsigned char*, std::size_t)>;
  // Opens the item and feeds its data to `sink`; `complete` is set when every byte arrived.
  std::uint32_t ReadData(std::int32_t index, const ZipItem& item, const DataSink& sink,
                         bool& complete);
  // Closes the item opened by ReadData; ExtractCrcMismatch when its data did not match.
  std::uint32_t FinishData();
  // Writes the data of `item` into `file`, sets its times when complete, and closes it.
  std::uint32_t WriteData(std::int32_t index, const ZipItem& item, platform::File& file);
  bool EnsureFolders(const platform::WString& relative);
  bool EnsureFolder(const platform::WString& full);

  std::unique_ptr<ZipArchive> archive_;
  std::int32_t cachedIndex_ = -1;
  ZipItem cachedRecord_;
  std::unique_ptr<unsigned char[]> outputBuffer_;  // kWholeItemSize, made at first extraction
  Decoding decoding_ = Decoding::kWholeWhereItFits;
  std::vector<unsigned char> extra_;  // reused for local extra fields
  platform::WString root_;            // ends in a separator
  // The last folder known to exist: files of one folder follow each other in most archives,
  // and asking the system again for each of them would cost a round trip per item.
  platform::WString lastFolder_;
  // Per entry, whether its data overlap another item's header or data; found at opening.
  std::vector<bool> overlapping_;
  std::uint64_t declaredSize_ = 0;
  // The number of the first entry whose directory record could not be read, once a walk met
  // it: no record at or behind it can be found, so lookups there fail at once instead of
  // walking the directory from its start again. The entry count while none is known.
  std::uint32_t walkEnd_ = 0;
};

// Folds '\' and '/' into the system's separator (on POSIX both separate folders).
platform::WString ToSystemSeparators(platform::WStringView path);

}  // namespace zip
