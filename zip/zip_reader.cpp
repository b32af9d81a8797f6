#include "zip/zip_reader.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "zip/little_endian.h"

namespace zip {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kDirectorySignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::size_t kZip64LocatorSize = 20;
// What the first part of a spanned or split archive begins with.
constexpr std::uint32_t kSpanningSignature = 0x08074B50;
constexpr std::uint32_t kOneSegmentSignature = 0x30304B50;
constexpr std::size_t kDirectoryRecordSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint64_t kEndSearchLimit = 0xFFFF;
constexpr std::size_t kEndSearchStep = 1024;
// The most one read delivers, so that the count is always representable in its result.
constexpr std::uint64_t kMostPerRead = 0x40000000;

// The traditional encryption's key schedule.
struct CryptKeys {
  std::uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;

  static std::uint32_t Crc(std::uint32_t crc, unsigned char b) {
    static const z_crc_t* table = get_crc_table();
    return static_cast<std::uint32_t>(table[(crc ^ b) & 0xFF]) ^ (crc >> 8);
  }
  void Update(unsigned char plain) {
    k0 = Crc(k0, plain);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = Crc(k2, static_cast<unsigned char>(k1 >> 24));
  }
  unsigned char Decrypt(unsigned char cipher) {
    const std::uint32_t t = (k2 | 2) & 0xFFFF;
    const auto plain = static_cast<unsigned char>(cipher ^ ((t * (t ^ 1)) >> 8));
    Update(plain);
    return plain;
  }
};

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

// The state of the entry open for reading.
struct ZipItemReader {
  std::unique_ptr<unsigned char[]> buffer;  // kReadBufferSize bytes of compressed input
  z_stream stream{};                        // next_in/avail_in point into `buffer`
  bool inflateInitialised = false;          // inflateInit2 succeeded at some point
  bool decompressorReady = false;           // ready for this entry
  std::uint64_t localExtraOffset = 0;       // as stored
  std::uint32_t localExtraLength = 0;
  std::uint32_t runningCrc = 0;
  std::uint32_t expectedCrc = 0;
  std::uint64_t compressedLeft = 0;    // bytes not yet read from the file
  std::uint64_t uncompressedLeft = 0;  // bytes not yet delivered
  std::uint64_t nextDataPosition = 0;  // as stored
  std::uint32_t method = 0;
  bool encrypted = false;
  CryptKeys keys;
  std::uint32_t headerLeft = 0;  // encryption header bytes not yet consumed
  unsigned char checkByte = 0;
  bool untouched = false;  // nothing of the entry read yet
  // Decodes entries whole; made at the first such entry and kept, like the inflate state.
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> wholeDecoder;

  ~ZipItemReader() {
    if (inflateInitialised) inflateEnd(&stream);
  }
};

std::unique_ptr<ZipSource> ZipSource::Open(const platform::WString& path) {
  platform::File file = platform::File::OpenForRead(path);
  std::uint64_t size = 0;
  if (!file || !file.Size(size)) return nullptr;
  return std::make_unique<ZipSource>(std::move(file), size);
}

ZipSource::ZipSource(platform::File file, std::uint64_t size)
    : file_(std::move(file)), size_(size) {}

bool ZipSource::ReadAt(std::uint64_t offset, void* out, std::size_t length, Window window) {
  if (offset > size_ || length > size_ - offset) return false;
  if (length == 0) return true;
  Cache& c = caches_[window];
  if (offset >= c.start && offset - c.start <= c.length &&
      length <= c.length - (offset - c.start)) {
    std::memcpy(out, c.bytes.data() + (offset - c.start), length);
    return true;
  }
  if (length > kWindowSize / 2) {
    const std::int64_t got = file_.ReadAt(offset, out, length);
    if (got < 0) readError_ = true;
    return got == static_cast<std::int64_t>(length);
  }
  if (c.bytes.empty()) c.bytes.resize(kWindowSize);
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, size_ - offset));
  const std::int64_t got = file_.ReadAt(offset, c.bytes.data(), want);
  if (got < 0) {
    readError_ = true;
    c.length = 0;
    return false;
  }
  c.start = offset;
  c.length = static_cast<std::size_t>(got);
  if (c.length < length) return false;
  std::memcpy(out, c.bytes.data(), length);
  return true;
}

int FindEndRecord(ZipSource& source, EndRecordPlace& place) {
  const std::uint64_t size = source.size();
  // Search backwards in overlapping windows. The end record is the last signature whose whole
  // record and comment lie inside the file: the same four bytes may stand in its own fields (a
  // directory at offset 0x06054B50) or in a comment, and neither of those has room for a
  // record behind it. Bytes after the comment are tolerated here; a signature allows none.
  const std::uint64_t limit = std::min(kEndSearchLimit, size);
  unsigned char window[kEndSearchStep + 4];
  std::uint64_t searched = 4;
  while (searched < limit) {
    searched = std::min(searched + kEndSearchStep, limit);
    const std::uint64_t readPos = size - searched;
    const auto readSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof window, searched));
    if (!source.ReadAt(readPos, window, readSize, ZipSource::kDataWindow)) break;
    for (std::size_t i = readSize - 4 + 1; i-- > 0;) {
      if (Get32(window + i) != kEndSignature) continue;
      const std::uint64_t position = readPos + i;
      if (size - position < kEndRecordSize) continue;
      unsigned char length[2] = {};
      if (!source.ReadAt(position + kEndRecordSize - 2, length, sizeof length,
                         ZipSource::kDataWindow)) {
        return ZipIoError;
      }
      if (Get16(length) > size - position - kEndRecordSize) continue;
      place.position = position;
      place.commentLength = Get16(length);
      return ZipOk;
    }
  }
  return ZipIoError;
}

std::unique_ptr<ZipArchive> ZipArchive::Open(std::unique_ptr<ZipSource> source, int* result,
                                             OpenFailure* why) {
  if (why) *why = OpenFailure::kNone;
  auto fail = [result, why](int code, OpenFailure reason) {
    if (result) *result = code;
    if (why) *why = reason;
    return nullptr;
  };
  if (!source) return fail(ZipParamError, OpenFailure::kNone);
  const std::uint64_t size = source->size();
  if (size == 0) return fail(ZipIoError, OpenFailure::kEmpty);

  EndRecordPlace place;
  const bool found = FindEndRecord(*source, place) == ZipOk;
  const std::uint64_t endPos = place.position;
  if (!found) {
    // Without an end record, the first bytes tell a cut-short archive from something else.
    unsigned char first[4] = {};
    const std::uint32_t start =
        source->ReadAt(0, first, sizeof first, ZipSource::kDataWindow) ? Get32(first) : 0;
    if (start == kLocalSignature) return fail(ZipIoError, OpenFailure::kTruncated);
    if (start == kSpanningSignature || start == kOneSegmentSignature) {
      return fail(ZipIoError, OpenFailure::kSpanned);
    }
    return fail(ZipIoError, OpenFailure::kNotZip);
  }

  unsigned char end[kEndRecordSize];
  if (!source->ReadAt(endPos, end, sizeof end, ZipSource::kDataWindow)) {
    return fail(ZipIoError, OpenFailure::kTruncated);
  }
  const std::uint32_t thisDisk = Get16(end + 4);
  const std::uint32_t directoryDisk = Get16(end + 6);
  const std::uint32_t entriesHere = Get16(end + 8);
  const std::uint32_t entriesTotal = Get16(end + 10);
  const std::uint32_t directorySize = Get32(end + 12);
  const std::uint32_t directoryOffset = Get32(end + 16);
  // A ZIP64 end record and its locator stand between the directory and the end record, so
  // every offset computed from the end record alone would be off: refused, not misread.
  unsigned char locator[4] = {};
  const bool zip64Locator =
      endPos >= kZip64LocatorSize &&
      source->ReadAt(endPos - kZip64LocatorSize, locator, sizeof locator, ZipSource::kDataWindow) &&
      Get32(locator) == kZip64LocatorSignature;
  // The end record's fields say "see the ZIP64 record" with all bits set.
  const bool zip64 = zip64Locator || entriesTotal == 0xFFFF || directorySize == 0xFFFFFFFF ||
                     directoryOffset == 0xFFFFFFFF;
  const OpenFailure inconsistent = zip64 ? OpenFailure::kZip64 : OpenFailure::kInconsistent;
  if (thisDisk != 0 || directoryDisk != 0) {
    return fail(ZipBadArchive, zip64 ? OpenFailure::kZip64 : OpenFailure::kSpanned);
  }
  if (entriesHere != entriesTotal) return fail(ZipBadArchive, inconsistent);
  const std::uint64_t directoryEnd = std::uint64_t{directoryOffset} + directorySize;
  if (endPos < directoryEnd) return fail(ZipBadArchive, inconsistent);
  if (zip64Locator) return fail(ZipBadArchive, OpenFailure::kZip64);

  std::unique_ptr<ZipArchive> archive(new (std::nothrow) ZipArchive());
  if (!archive) return fail(ZipNoMemory, OpenFailure::kNone);
  archive->source_ = std::move(source);
  archive->bias_ = endPos - directoryEnd;
  archive->entryCount_ = entriesTotal;
  archive->endRecordPosition_ = endPos;
  archive->directorySize_ = directorySize;
  archive->directoryOffset_ = directoryOffset;
  archive->GoToFirstEntry();
  if (result) *result = ZipOk;
  return archive;
}

ZipArchive::~ZipArchive() = default;

int ZipArchive::ReadRecordAt(std::uint64_t position) {
  currentRecordPosition_ = position;
  // An archive with no entries has no record to read; its cursor is simply not valid.
  if (currentEntry_ >= entryCount_) {
    currentValid_ = false;
    return ZipParamError;
  }
  currentValid_ = true;  // ReadEntryInfo reads from the current position regardless
  const int rc = ReadEntryInfo(&record_, &localHeaderOffset_, nullptr, 0);
  currentValid_ = rc == ZipOk;
  return rc;
}

int ZipArchive::GoToFirstEntry() {
  currentEntry_ = 0;
  return ReadRecordAt(directoryOffset_);
}

int ZipArchive::GoToNextEntry() {
  if (!currentValid_ || currentEntry_ + 1 >= entryCount_) return ZipParamError;
  const std::uint64_t next = currentRecordPosition_ + kDirectoryRecordSize + record_.nameLength +
                             record_.extraLength + record_.commentLength;
  ++currentEntry_;
  return ReadRecordAt(next);
}

int ZipArchive::ReadEntryInfo(ZipDirectoryRecord* record, std::uint32_t* localHeaderOffset,
                              char* name, std::size_t nameSize) {
  if (!currentValid_) return ZipParamError;
  unsigned char r[kDirectoryRecordSize];
  const std::uint64_t at = currentRecordPosition_ + bias_;
  if (!source_->ReadAt(at, r, sizeof r, ZipSource::kDirectoryWindow)) return ZipIoError;
  if (Get32(r) != kDirectorySignature) return ZipBadArchive;
  ZipDirectoryRecord rec;
  rec.versionMadeBy = Get16(r + 4);
  rec.versionNeeded = Get16(r + 6);
  rec.flags = Get16(r + 8);
  rec.method = Get16(r + 10);
  rec.dosTime = Get32(r + 12);
  rec.crc32 = Get32(r + 16);
  rec.compressedSize = Get32(r + 20);
  rec.uncompressedSize = Get32(r + 24);
  rec.nameLength = Get16(r + 28);
  rec.extraLength = Get16(r + 30);
  rec.commentLength = Get16(r + 32);
  rec.diskNumberStart = Get16(r + 34);
  rec.internalAttributes = Get16(r + 36);
  rec.externalAttributes = Get32(r + 38);
  const std::uint32_t lho = Get32(r + 42);
  if (name != nullptr && nameSize > 0) {
    if (rec.nameLength < nameSize) name[rec.nameLength] = '\0';
    const std::size_t n = std::min<std::size_t>(rec.nameLength, nameSize);
    if (n > 0 && !source_->ReadAt(at + sizeof r, name, n, ZipSource::kDirectoryWindow)) {
      return ZipIoError;
    }
  }
  if (record) *record = rec;
  if (localHeaderOffset) *localHeaderOffset = lho;
  return ZipOk;
}

int ZipArchive::CheckLocalHeader(std::uint32_t* nameAndExtra, std::uint64_t* localExtraOffset,
                                 std::uint32_t* localExtraLength) {
  const int rc = CheckLocalFields(nameAndExtra, localExtraOffset, localExtraLength);
  return rc != ZipOk ? rc : CompareLocalName();
}

int ZipArchive::CheckLocalFields(std::uint32_t* nameAndExtra, std::uint64_t* localExtraOffset,
                                 std::uint32_t* localExtraLength) {
  if (nameAndExtra) *nameAndExtra = 0;
  if (localExtraOffset) *localExtraOffset = 0;
  if (localExtraLength) *localExtraLength = 0;
  if (!currentValid_) return ZipParamError;
  unsigned char h[kLocalHeaderSize];
  if (!source_->ReadAt(std::uint64_t{localHeaderOffset_} + bias_, h, sizeof h,
                       ZipSource::kDataWindow)) {
    return ZipIoError;
  }
  if (Get32(h) != kLocalSignature) return ZipBadArchive;
  const std::uint32_t flags = Get16(h + 6);
  const std::uint32_t method = Get16(h + 8);
  if (method != record_.method || (record_.method != 0 && record_.method != 8)) {
    return ZipBadArchive;
  }
  if ((flags & 8) == 0 &&
      (Get32(h + 14) != record_.crc32 || Get32(h + 18) != record_.compressedSize ||
       Get32(h + 22) != record_.uncompressedSize)) {
    return ZipBadArchive;
  }
  const std::uint32_t nameLength = Get16(h + 26);
  const std::uint32_t extraLength = Get16(h + 28);
  if (nameLength != record_.nameLength) return ZipBadArchive;
  if (nameAndExtra) *nameAndExtra = nameLength + extraLength;
  if (localExtraOffset)
    *localExtraOffset = std::uint64_t{localHeaderOffset_} + kLocalHeaderSize + nameLength;
  if (localExtraLength) *localExtraLength = extraLength;
  return ZipOk;
}

int ZipArchive::CompareLocalName() {
  // Readers that take the name from the local header would write the data under another
  // name than the one checked and installed from the directory.
  const std::uint64_t central = currentRecordPosition_ + bias_ + kDirectoryRecordSize;
  const std::uint64_t local = std::uint64_t{localHeaderOffset_} + bias_ + kLocalHeaderSize;
  unsigned char a[256];
  unsigned char b[sizeof a];
  for (std::uint32_t done = 0; done < record_.nameLength;) {
    const std::size_t n = std::min<std::size_t>(sizeof a, record_.nameLength - done);
    if (!source_->ReadAt(central + done, a, n, ZipSource::kDirectoryWindow) ||
        !source_->ReadAt(local + done, b, n, ZipSource::kDataWindow)) {
      return ZipIoError;
    }
    if (std::memcmp(a, b, n) != 0) return ZipNameMismatch;
    done += static_cast<std::uint32_t>(n);
  }
  return ZipOk;
}

int ZipArchive::ReadLocalExtra(std::vector<unsigned char>& out) {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  // Where the extra field lies does not depend on what the name says.
  const int rc = CheckLocalFields(nullptr, &offset, &length);
  out.clear();
  if (rc != ZipOk) return rc;
  out.resize(length);
  if (length > 0 && !source_->ReadAt(offset + bias_, out.data(), length, ZipSource::kDataWindow)) {
    out.clear();
    return ZipIoError;
  }
  return ZipOk;
}

int ZipArchive::CurrentEntrySpan(std::uint64_t* start, std::uint64_t* end) {
  std::uint32_t nameAndExtra = 0;
  const int rc = CheckLocalFields(&nameAndExtra, nullptr, nullptr);
  if (rc != ZipOk) return rc;
  *start = localHeaderOffset_;
  *end = *start + kLocalHeaderSize + nameAndExtra + record_.compressedSize;
  return ZipOk;
}

int ZipArchive::OpenItem(const char* password) {
  if (!currentValid_) return ZipParamError;
  if (item_) CloseItem();
  std::uint32_t nameAndExtra = 0;
  std::uint64_t extraOffset = 0;
  std::uint32_t extraLength = 0;
  if (CheckLocalHeader(&nameAndExtra, &extraOffset, &extraLength) != ZipOk) return ZipBadArchive;

  std::unique_ptr<ZipItemReader> item = std::move(spareItem_);
  if (!item) {
    item.reset(new (std::nothrow) ZipItemReader());
    if (!item) return ZipNoMemory;
    item->buffer.reset(new (std::nothrow) unsigned char[kReadBufferSize]);
    if (!item->buffer) return ZipNoMemory;
  }
  item->localExtraOffset = extraOffset;
  item->localExtraLength = extraLength;
  item->runningCrc = 0;
  item->expectedCrc = record_.crc32;
  item->compressedLeft = record_.compressedSize;
  item->uncompressedLeft = record_.uncompressedSize;
  item->method = record_.method;
  item->stream.next_in = nullptr;
  item->stream.avail_in = 0;
  item->stream.total_out = 0;
  item->decompressorReady = false;
  if (item->method == 8) {
    // One inflate state serves every entry; resetting it is far cheaper than a new one.
    if (item->inflateInitialised) {
      item->decompressorReady = inflateReset(&item->stream) == Z_OK;
    } else {
      item->stream.zalloc = Z_NULL;
      item->stream.zfree = Z_NULL;
      item->stream.opaque = Z_NULL;
      item->inflateInitialised = inflateInit2(&item->stream, -MAX_WBITS) == Z_OK;
      item->decompressorReady = item->inflateInitialised;
    }
    item->stream.next_in = nullptr;
    item->stream.avail_in = 0;
  }
  item->untouched = true;
  item->encrypted = (record_.flags & 1) != 0;
  item->headerLeft = item->encrypted ? 12 : 0;
  item->checkByte = (record_.flags & 8) ? static_cast<unsigned char>((record_.dosTime >> 8) & 0xFF)
                                        : static_cast<unsigned char>(record_.crc32 >> 24);
  item->keys = CryptKeys();
  if (password != nullptr) {
    for (const char* p = password; *p != '\0'; ++p)
      item->keys.Update(static_cast<unsigned char>(*p));
  }
  item->nextDataPosition = std::uint64_t{localHeaderOffset_} + kLocalHeaderSize + nameAndExtra;
  item_ = std::move(item);
  return ZipOk;
}

bool ZipArchive::FetchPiece(ZipItemReader& it) {
  const auto chunk =
      static_cast<std::size_t>(std::min<std::uint64_t>(kReadBufferSize, it.compressedLeft));
  if (!source_->ReadAt(it.nextDataPosition + bias_, it.buffer.get(), chunk,
                       ZipSource::kDataWindow)) {
    return false;
  }
  it.nextDataPosition += chunk;
  it.compressedLeft -= chunk;
  if (it.encrypted) {
    for (std::size_t i = 0; i < chunk; ++i) it.buffer[i] = it.keys.Decrypt(it.buffer[i]);
  }
  it.stream.next_in = it.buffer.get();
  it.stream.avail_in = static_cast<uInt>(chunk);
  return true;
}

int ZipArchive::ReadWholeItem(void* buffer, std::size_t capacity, bool* end) {
  if (end) *end = false;
  if (!item_) return ZipParamError;
  ZipItemReader& it = *item_;
  const std::uint64_t size = it.uncompressedLeft;
  const bool fits = it.untouched && it.method == 8 && !it.encrypted && size > 0 &&
                    size <= capacity && size <= kMostPerRead && it.compressedLeft > 0 &&
                    it.compressedLeft <= kReadBufferSize;
  if (fits) {
    // The compressed data arrive in the one piece the streamed reading would take first, so
    // what the file yields (or fails to) is the same either way.
    if (!FetchPiece(it)) return ZipIoError;
    it.untouched = false;
    if (!it.wholeDecoder) it.wholeDecoder.reset(libdeflate_alloc_decompressor());
    std::size_t produced = 0;
    if (it.wholeDecoder &&
        libdeflate_deflate_decompress(it.wholeDecoder.get(), it.stream.next_in, it.stream.avail_in,
                                      buffer, static_cast<std::size_t>(size),
                                      &produced) == LIBDEFLATE_SUCCESS &&
        produced == size) {
      it.runningCrc = libdeflate_crc32(0, buffer, produced);
      it.stream.avail_in = 0;
      it.uncompressedLeft = 0;
      if (end) *end = true;
      return static_cast<int>(produced);
    }
    // Damaged data, a stream that would run past the declared size, or no memory for the
    // decoder: zlib reads the piece still in the buffer from its start, and so gives exactly
    // the result (and the bytes) it gives an entry streamed from the outset.
  }
  return ReadItem(buffer, capacity, end);
}

int ZipArchive::ReadItem(void* buffer, std::size_t length, bool* end) {
  if (end) *end = false;
  if (!item_) return ZipParamError;
  if (length == 0) return 0;
  ZipItemReader& it = *item_;
  it.untouched = false;
  auto* out = static_cast<unsigned char*>(buffer);
  std::uint64_t space = std::min<std::uint64_t>({length, it.uncompressedLeft, kMostPerRead});
  if (space == 0) return 0;
  int delivered = 0;
  while (space > 0) {
    if (it.stream.avail_in == 0 && it.compressedLeft > 0 && !FetchPiece(it)) return ZipIoError;
    if (it.headerLeft > 0 && it.stream.avail_in > 0) {
      const std::uint32_t n = std::min<std::uint32_t>(it.headerLeft, it.stream.avail_in);
      const unsigned char last = it.stream.next_in[n - 1];
      it.stream.next_in += n;
      it.stream.avail_in -= n;
      it.headerLeft -= n;
      if (it.headerLeft == 0 && last != it.checkByte) return ZipBadPassword;
    }
    // Input is exhausted while output is still owed: the entry's data ends early. Without
    // this test a stored entry would spin here forever.
    if (it.stream.avail_in == 0 && it.compressedLeft == 0 &&
        (it.method == 0 || it.headerLeft > 0)) {
      return ZipBadArchive;
    }
    // Still inside the encryption header, or it used up the chunk: fetch more input first.
    if (it.headerLeft > 0 || (it.stream.avail_in == 0 && it.compressedLeft > 0)) continue;

    if (it.method == 0) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(space, it.stream.avail_in));
      std::memcpy(out, it.stream.next_in, n);
      it.runningCrc = libdeflate_crc32(it.runningCrc, out, n);
      out += n;
      it.stream.next_in += n;
      it.stream.avail_in -= n;
      it.uncompressedLeft -= n;
      space -= n;
      delivered += static_cast<int>(n);
      if (it.uncompressedLeft == 0) {
        if (end) *end = true;
        return delivered;
      }
      continue;
    }

    if (!it.decompressorReady) return Z_STREAM_ERROR;
    it.stream.next_out = out;
    it.stream.avail_out = static_cast<uInt>(space);
    const uLong before = it.stream.total_out;
    const int zrc = inflate(&it.stream, Z_SYNC_FLUSH);
    const auto produced = static_cast<std::uint32_t>(it.stream.total_out - before);
    it.runningCrc = libdeflate_crc32(it.runningCrc, out, produced);
    out += produced;
    it.uncompressedLeft -= produced;
    space -= produced;
    delivered += static_cast<int>(produced);
    if (zrc == Z_STREAM_END && it.uncompressedLeft > 0) {
      // The stream says it is complete but the directory promised more: a short file would
      // pass for a whole one.
      return ZipBadArchive;
    }
    if (zrc == Z_STREAM_END || it.uncompressedLeft == 0) {
      if (end) *end = true;
      return delivered;
    }
    if (zrc == Z_BUF_ERROR && it.stream.avail_in == 0 && it.compressedLeft == 0) {
      return ZipBadArchive;  // the compressed data ran out before the stream ended
    }
    if (zrc != Z_OK) return zrc < 0 ? zrc : ZipBadArchive;
  }
  return delivered;
}

int ZipArchive::CloseItem() {
  if (!item_) return ZipParamError;
  const int rc = (item_->uncompressedLeft == 0 && item_->runningCrc != item_->expectedCrc)
                     ? ZipCrcError
                     : ZipOk;
  spareItem_ = std::move(item_);
  return rc;
}

}  // namespace zip
