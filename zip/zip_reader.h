// A cursor-style reader of single-volume zip archives: finds the end record, walks the
// central directory one record at a time, checks an entry's local header against its record
// and delivers the entry's data (stored or deflated, optionally with traditional encryption)
// while keeping a running CRC-32. One current entry, at most one entry open for reading.
// Entries are inflated by zlib in pieces, or decoded whole by libdeflate where they fit the
// caller's buffer; either way the same bytes and the same results.
//
// Every length and offset read from the archive is checked against the file's size before
// it is used; reads never run past an entry's compressed size and never deliver more than
// its uncompressed size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/file.h"

namespace zip {

// Reader results. Reading may also return zlib's own negative results unchanged.
enum : int {
  ZipOk = 0,
  ZipIoError = -1,       // no end record; a read failed or met the end of the file
  ZipParamError = -102,  // no valid current entry, or no entry open for reading
  ZipBadArchive = -103,  // a signature, a consistency check or the method test failed
  ZipNoMemory = -104,
  ZipCrcError = -105,      // a fully read entry does not match its CRC-32
  ZipBadPassword = -106,   // the encryption header's check byte does not match
  ZipNameMismatch = -107,  // the local header names another file than the directory record
};

// An entry's compressed data are read from the file in pieces of at most this many bytes. Large
// enough that most items of a package arrive in one read, to be decoded whole (ReadWholeItem),
// and that zlib decodes the pieces of larger ones on its fast path without stopping for input.
// The buffer is allocated once per archive, and only the part an item fills is ever touched.
inline constexpr std::size_t kReadBufferSize = 1024 * 1024;

// The archive file. Small reads (records, headers) go through two cached windows, one for the
// central directory and one for local headers and small items, so walking the directory and
// opening small items costs about one system call each rather than one per field.
class ZipSource {
 public:
  enum Window { kDirectoryWindow = 0, kDataWindow = 1 };

  // Opens an existing file for reading (read sharing). Returns null when it cannot be opened
  // or its size cannot be learned.
  static std::unique_ptr<ZipSource> Open(const platform::WString& path);
  explicit ZipSource(platform::File file, std::uint64_t size);

  std::uint64_t size() const { return size_; }
  // The open file, for a caller that made the source from a handle it goes on using.
  platform::File& file() { return file_; }
  // True once any system read call has failed; stays set.
  bool readError() const { return readError_; }

  // Reads exactly `length` bytes at `offset`. False when they do not all lie inside the
  // file or the read fails.
  bool ReadAt(std::uint64_t offset, void* out, std::size_t length, Window window);

 private:
  static constexpr std::size_t kWindowSize = 8192;
  struct Cache {
    std::vector<unsigned char> bytes;  // allocated at first use, kWindowSize
    std::uint64_t start = 0;           // file offset of bytes[0]
    std::size_t length = 0;            // valid bytes
  };

  platform::File file_;
  std::uint64_t size_ = 0;
  bool readError_ = false;
  Cache caches_[2];
};

// The end-of-central-directory record's size without its comment; the comment-length field
// is its last two bytes, and the comment follows it.
inline constexpr std::size_t kEndRecordSize = 22;

// Where the archive's end record lies, as ZipArchive::Open and the package signature both
// find it: within the last 65535 bytes of the file, the signature nearest the end whose
// 22-byte record and the comment its length field announces both fit inside the file. Bytes
// may follow the comment.
struct EndRecordPlace {
  std::uint64_t position = 0;       // offset of its signature
  std::uint32_t commentLength = 0;  // its comment-length field; the comment fits the file
};

// ZipOk, or ZipIoError when the file holds no end record or cannot be read.
int FindEndRecord(ZipSource& source, EndRecordPlace& place);

// The fixed fields of one central-directory record, each widened to 32 bits.
struct ZipDirectoryRecord {
  std::uint32_t versionMadeBy = 0;  // high byte: host system
  std::uint32_t versionNeeded = 0;
  std::uint32_t flags = 0;  // bit 0 encrypted, bit 3 data descriptor, bit 11 UTF-8
  std::uint32_t method = 0;
  std::uint32_t dosTime = 0;  // time in the low 16 bits, date in the high 16 bits
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t nameLength = 0;
  std::uint32_t extraLength = 0;
  std::uint32_t commentLength = 0;
  std::uint32_t diskNumberStart = 0;
  std::uint32_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
};

struct ZipItemReader;

// Why an archive did not open, for reports; callers act on the result code alone.
enum class OpenFailure {
  kNone,
  kEmpty,         // the file holds no bytes
  kTruncated,     // begins like an archive, but its end record is missing: cut short
  kNotZip,        // no end record, and the file does not begin like an archive
  kZip64,         // ZIP64 records, which this reader does not support
  kSpanned,       // one part of a spanned or split archive, which this reader does not support
  kInconsistent,  // the end record and the central directory it points at do not fit
};

// An open archive. Destroying it closes any open entry and the file.
class ZipArchive {
 public:
  // Opens the archive in `source`, positioned on the first entry (which may be invalid if its
  // record cannot be read). Returns null, with the result code in `*result` and why in `*why`
  // when given, when the end record is missing or inconsistent or the archive uses ZIP64; the
  // source is released either way.
  static std::unique_ptr<ZipArchive> Open(std::unique_ptr<ZipSource> source, int* result = nullptr,
                                          OpenFailure* why = nullptr);
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  std::uint32_t entryCount() const { return entryCount_; }
  // True once a system read of the archive file failed: its data may be fine.
  bool readError() const { return source_ && source_->readError(); }
  std::uint64_t bias() const { return bias_; }
  std::uint32_t currentEntryNumber() const { return currentEntry_; }
  bool currentEntryValid() const { return currentValid_; }
  // The current entry's record; meaningful only while currentEntryValid().
  const ZipDirectoryRecord& currentRecord() const { return record_; }

  int GoToFirstEntry();
  // Steps to the next entry; ZipParamError when there is none or the current one is invalid.
  int GoToNextEntry();

  // Reads the current record again. Optional outputs: the record, the local header offset and
  // the raw name: min(name length, nameSize) bytes, zero-terminated only when the name is
  // shorter than nameSize.
  int ReadEntryInfo(ZipDirectoryRecord* record, std::uint32_t* localHeaderOffset, char* name,
                    std::size_t nameSize);

  // Checks the current entry's local header against its record, its name byte for byte
  // (ZipNameMismatch when it differs). Outputs (all start at 0):
  // name length + local extra length, the local extra offset (as stored, bias not added) and
  // the local extra length.
  int CheckLocalHeader(std::uint32_t* nameAndExtra, std::uint64_t* localExtraOffset,
                       std::uint32_t* localExtraLength);

  // Reads the current entry's local extra field whole into `out`; ZipIoError when it cannot.
  // A local name that differs is not looked at here.
  int ReadLocalExtra(std::vector<unsigned char>& out);

  // Where the current entry lies in the file, offsets as stored (bias not added): from its
  // local header to one past its compressed data, never less than the header's 30 bytes.
  // Fails like CheckLocalHeader when the local header does not check out, but for a name that
  // differs: such a record still claims the bytes it points at, so that the item whose header
  // it borrows is known to be overlapped.
  int CurrentEntrySpan(std::uint64_t* start, std::uint64_t* end);

  // Opens the current entry for reading; `password` may be null (no password).
  int OpenItem(const char* password);
  // Delivers up to `length` bytes of the open entry into `buffer`: the number delivered or a
  // negative result. `*end` is set when the entry's last byte has been delivered.
  int ReadItem(void* buffer, std::size_t length, bool* end);
  // As ReadItem, `capacity` being the buffer's size; an entry of which nothing has been read,
  // deflated, not encrypted, whose uncompressed size fits `capacity` and whose compressed data
  // are at most kReadBufferSize bytes, is decoded whole in this one call by libdeflate, about
  // twice as fast as zlib. Delivered bytes, results and the CRC-32 that CloseItem checks are
  // those ReadItem would give for every entry, damaged or not, but one kind: codings no
  // compressor writes (length codes 286 and 287, distance codes 30 and 31, more code lengths
  // than a block may have, a lone precode), which zlib refuses as invalid data, libdeflate
  // decodes, and the CRC-32 then judges the bytes.
  int ReadWholeItem(void* buffer, std::size_t capacity, bool* end);
  // Ends the reading; ZipCrcError when the entry was read whole and its CRC-32 differs.
  int CloseItem();

 private:
  ZipArchive() = default;
  int ReadRecordAt(std::uint64_t position);
  // CheckLocalHeader but for the name's bytes.
  int CheckLocalFields(std::uint32_t* nameAndExtra, std::uint64_t* localExtraOffset,
                       std::uint32_t* localExtraLength);
  // ZipOk when the current entry's local header holds the directory record's name.
  int CompareLocalName();
  // Reads the next piece of the open entry's compressed data (decrypted) as zlib's input.
  bool FetchPiece(ZipItemReader& it);

  std::unique_ptr<ZipSource> source_;
  std::uint32_t entryCount_ = 0;
  std::uint64_t bias_ = 0;
  std::uint32_t currentEntry_ = 0;
  std::uint64_t currentRecordPosition_ = 0;  // as stored, bias not added
  bool currentValid_ = false;
  std::uint64_t endRecordPosition_ = 0;
  std::uint32_t directorySize_ = 0;
  std::uint32_t directoryOffset_ = 0;
  ZipDirectoryRecord record_;
  std::uint32_t localHeaderOffset_ = 0;
  std::unique_ptr<ZipItemReader> item_;
  // Kept between entries so that opening an item allocates nothing after the first time.
  std::unique_ptr<ZipItemReader> spareItem_;
};

}  // namespace zip
