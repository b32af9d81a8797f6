#include "tools/pkgtool/package_writer.h"

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "platform/file.h"
#include "platform/file_system.h"

namespace pkgtool {

using platform::WString;

namespace {

#ifndef _WIN32
std::string Utf8(const WString& text) {
  std::string narrow;
  platform::Utf16ToUtf8(text, narrow);
  return narrow;
}
#endif

// The fixed level every item is deflated at: the same folders give the same bytes.
constexpr int kDeflateLevel = 9;
// The extended-timestamp block's tag ("UT") and its flag for a modification time.
constexpr zip_uint16_t kExtendedTimestamp = 0x5455;
constexpr unsigned char kUtModification = 1;
// Files are read for the store-or-deflate decision in pieces of this size.
constexpr std::size_t kReadPiece = 256 * 1024;

// libzip writes DOS dates and times through the C runtime's local time. Set to UTC while the
// package is written, they are the same in every time zone a pipeline runs in, so the bytes
// are too; the exact time travels in the extended timestamp, which the launcher reads.
class UtcZoneWhileWriting {
 public:
  UtcZoneWhileWriting() {
#ifdef _WIN32
    if (const wchar_t* tz = _wgetenv(L"TZ")) saved_ = std::wstring(tz);
    _wputenv_s(L"TZ", L"UTC0");
    _tzset();
#else
    if (const char* tz = std::getenv("TZ")) saved_ = std::string(tz);
    setenv("TZ", "UTC0", 1);
    tzset();
#endif
  }
  ~UtcZoneWhileWriting() {
#ifdef _WIN32
    _wputenv_s(L"TZ", saved_ ? saved_->c_str() : L"");
    _tzset();
#else
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
#endif
  }
  UtcZoneWhileWriting(const UtcZoneWhileWriting&) = delete;
  UtcZoneWhileWriting& operator=(const UtcZoneWhileWriting&) = delete;

 private:
#ifdef _WIN32
  std::optional<std::wstring> saved_;
#else
  std::optional<std::string> saved_;
#endif
};

// One file deflated at the package's level with libzip's own zlib settings, its output put
// at the end of the spool file. kShrinks when the output is smaller than the file, and then
// libzip takes it from the spool as it is: each file is deflated once, not once to learn
// whether it shrinks and again as it is written (libzip falls back to storing only a file
// that fits its own small buffer).
enum class Deflated { kShrinks, kDoesNotShrink, kUnreadable };

struct SpooledData {
  std::uint64_t offset = 0;  // in the spool
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

Deflated DeflateToSpool(const WString& path, std::uint64_t size, platform::File& spool,
                        std::uint64_t& spoolEnd, SpooledData& data) {
  platform::File file = platform::File::OpenForRead(path);
  if (!file) return Deflated::kUnreadable;
  z_stream z{};
  if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, MAX_MEM_LEVEL, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return Deflated::kUnreadable;
  }
  std::unique_ptr<unsigned char[]> in(new unsigned char[kReadPiece]);
  std::unique_ptr<unsigned char[]> out(new unsigned char[kReadPiece]);
  data = SpooledData{spoolEnd, 0, size, static_cast<std::uint32_t>(crc32(0, nullptr, 0))};
  Deflated answer = Deflated::kUnreadable;
  for (std::uint64_t at = 0;;) {
    const std::size_t want =
        size - at < kReadPiece ? static_cast<std::size_t>(size - at) : kReadPiece;
    if (want != 0 && file.ReadAt(at, in.get(), want) != static_cast<std::int64_t>(want)) break;
    at += want;
    data.crc = static_cast<std::uint32_t>(crc32(data.crc, in.get(), static_cast<uInt>(want)));
    z.next_in = in.get();
    z.avail_in = static_cast<uInt>(want);
    const int flush = at == size ? Z_FINISH : Z_NO_FLUSH;
    int rc = Z_OK;
    bool written = true;
    do {
      z.next_out = out.get();
      z.avail_out = static_cast<uInt>(kReadPiece);
      rc = deflate(&z, flush);
      const std::size_t produced = kReadPiece - z.avail_out;
      // Output that has grown to the file's size is stored instead: no need to keep it.
      if (z.total_out < size) {
        written = spool.WriteAt(spoolEnd + z.total_out - produced, out.get(), produced);
      }
    } while (written && z.avail_out == 0 && rc == Z_OK);
    if (!written) break;
    if (rc == Z_STREAM_END) {
      answer = z.total_out < size ? Deflated::kShrinks : Deflated::kDoesNotShrink;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
  }
  if (answer == Deflated::kShrinks) {
    data.compressedSize = z.total_out;
    spoolEnd += z.total_out;
  }
  deflateEnd(&z);
  return answer;
}

// A libzip source of one file's deflated data in the spool: libzip copies it as it is.
struct SpooledSource {
  platform::File* spool = nullptr;
  SpooledData data;
  std::uint64_t read = 0;
  zip_error_t error;
};

zip_int64_t ReadSpooled(void* state, void* buffer, zip_uint64_t length, zip_source_cmd_t command) {
  auto* s = static_cast<SpooledSource*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      s->read = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const zip_uint64_t left = s->data.compressedSize - s->read;
      const auto n = static_cast<std::size_t>(length < left ? length : left);
      if (n != 0 &&
          s->spool->ReadAt(s->data.offset + s->read, buffer, n) != static_cast<std::int64_t>(n)) {
        zip_error_set(&s->error, ZIP_ER_READ, 0);
        return -1;
      }
      s->read += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, buffer, length, &s->error);
      if (st == nullptr) return -1;
      zip_stat_init(st);
      st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                  ZIP_STAT_ENCRYPTION_METHOD;
      st->size = s->data.size;
      st->comp_size = s->data.compressedSize;
      st->comp_method = ZIP_CM_DEFLATE;
      st->crc = s->data.crc;
      st->encryption_method = ZIP_EM_NONE;
      return sizeof(*st);
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
      auto* a = ZIP_SOURCE_GET_ARGS(zip_file_attributes_t, buffer, length, &s->error);
      if (a == nullptr) return -1;
      // Deflate's option bits for its best compression, as libzip sets them at level 9.
      a->valid |= ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS;
      a->general_purpose_bit_flags = 0x0002;
      a->general_purpose_bit_mask = 0x0006;
      return 0;
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, buffer, length);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&s->error);
      delete s;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

// The file the deflated data wait in until libzip writes them; removed once the package is.
struct Spool {
  explicit Spool(const WString& name) : path(name) {
    platform::RemoveFile(path);
    file = platform::File::CreateNew(path, 0);
  }
  ~Spool() {
    file.Close();
    platform::RemoveFile(path);
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;
  WString path;
  platform::File file;
};

struct ZipDiscard {
  void operator()(zip_t* z) const { zip_discard(z); }
};
using ZipWriter = std::unique_ptr<zip_t, ZipDiscard>;

std::string ZipErrorText(zip_error_t* error) {
  const char* text = zip_error_strerror(error);
  return text != nullptr ? text : "unknown error";
}

zip_source_t* FileSource(const WString& path, zip_error_t* error) {
#ifdef _WIN32
  return zip_source_win32w_create(path.c_str(), 0, -1, error);
#else
  return zip_source_file_create(Utf8(path).c_str(), 0, -1, error);
#endif
}

// Adds `e` of the folder `root` as the next item of `z`, its deflated data, where deflate
// shrinks it, at the end of `spool`. Empty on success, else why not.
std::string AddItem(zip_t* z, const WString& root, const TreeEntry& e, platform::File& spool,
                    std::uint64_t& spoolEnd) {
  zip_int64_t index = -1;
  zip_int32_t method = ZIP_CM_STORE;
  std::uint32_t attributes = e.attributes & kCarriedAttributes;
  if (e.folder) {
    index = zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8);
    attributes = platform::kAttrFolder;
  } else {
    const WString path = JoinPath(root, e.name);
    SpooledData data;
    const Deflated deflated = DeflateToSpool(path, e.size, spool, spoolEnd, data);
    if (deflated == Deflated::kUnreadable) return "cannot be read";
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = nullptr;
    if (deflated == Deflated::kShrinks) {
      method = ZIP_CM_DEFLATE;
      auto* state = new SpooledSource{&spool, data, 0, {}};
      zip_error_init(&state->error);
      source = zip_source_function_create(ReadSpooled, state, &error);
      if (source == nullptr) {
        zip_error_fini(&state->error);
        delete state;
      }
    } else {
      source = FileSource(path, &error);
    }
    if (source == nullptr) {
      const std::string why = ZipErrorText(&error);
      zip_error_fini(&error);
      return why;
    }
    zip_error_fini(&error);
    index = zip_file_add(z, e.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) zip_source_free(source);
  }
  if (index < 0) return ZipErrorText(zip_get_error(z));
  const auto i = static_cast<zip_uint64_t>(index);
  const std::int64_t seconds = platform::UnixSecondsFromFileTime(e.modification);
  // The extended timestamp holds 32-bit signed seconds; a time outside them keeps the DOS
  // date and time alone.
  const bool fits = seconds >= INT32_MIN && seconds <= INT32_MAX;
  const auto stamp = static_cast<std::uint32_t>(static_cast<std::int32_t>(fits ? seconds : 0));
  const zip_uint8_t ut[5] = {kUtModification, static_cast<zip_uint8_t>(stamp & 0xFF),
                             static_cast<zip_uint8_t>((stamp >> 8) & 0xFF),
                             static_cast<zip_uint8_t>((stamp >> 16) & 0xFF),
                             static_cast<zip_uint8_t>(stamp >> 24)};
  // DOS attributes in the low bits, from a DOS host: what the launcher's reader applies.
  if (zip_set_file_compression(z, i, method, method == ZIP_CM_DEFLATE ? kDeflateLevel : 0) < 0 ||
      zip_file_set_mtime(z, i, static_cast<time_t>(seconds), 0) < 0 ||
      (fits && zip_file_extra_field_set(z, i, kExtendedTimestamp, ZIP_EXTRA_FIELD_NEW, ut,
                                        sizeof ut, ZIP_FL_LOCAL | ZIP_FL_CENTRAL) < 0) ||
      zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_DOS, attributes) < 0) {
    return ZipErrorText(zip_get_error(z));
  }
  return std::string();
}

}  // namespace

std::string WritePackage(const WString& path, const WString& root,
                         const std::vector<const TreeEntry*>& items) {
  // Declared before the archive: its sources read the spool until the archive is closed.
  Spool spool(path + WIDE(".spool~"));
  if (!spool.file) return "the spool file beside the package could not be made";
  std::uint64_t spoolEnd = 0;
  zip_error_t error;
  zip_error_init(&error);
#ifdef _WIN32
  zip_source_t* target = zip_source_win32w_create(path.c_str(), 0, -1, &error);
#else
  zip_source_t* target = zip_source_file_create(Utf8(path).c_str(), 0, -1, &error);
#endif
  ZipWriter z(target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr);
  if (!z) {
    if (target) zip_source_free(target);
    const std::string why = ZipErrorText(&error);
    zip_error_fini(&error);
    return why;
  }
  zip_error_fini(&error);
  for (const TreeEntry* e : items) {
    const std::string why = AddItem(z.get(), root, *e, spool.file, spoolEnd);
    if (!why.empty()) return e->name + ": " + why;
  }
  UtcZoneWhileWriting utc;
  if (zip_close(z.get()) < 0) return ZipErrorText(zip_get_error(z.get()));
  z.release();  // closed: nothing left to discard
  return std::string();
}

}  // namespace pkgtool
