#include "tools/pkgtool/package_writer.h"

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "platform/file.h"

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

// Whether deflate at the package's level makes `size` bytes of the file at `path` smaller:
// the same zlib settings as libzip's deflate, so the answer is what libzip would write.
// Empty when the file cannot be read.
std::optional<bool> DeflateShrinks(const WString& path, std::uint64_t size) {
  platform::File file = platform::File::OpenForRead(path);
  if (!file) return std::nullopt;
  z_stream z{};
  if (deflateInit2(&z, kDeflateLevel, Z_DEFLATED, -MAX_WBITS, MAX_MEM_LEVEL, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return std::nullopt;
  }
  std::unique_ptr<unsigned char[]> in(new unsigned char[kReadPiece]);
  std::unique_ptr<unsigned char[]> out(new unsigned char[kReadPiece]);
  std::optional<bool> answer;
  for (std::uint64_t at = 0;;) {
    const std::size_t want =
        size - at < kReadPiece ? static_cast<std::size_t>(size - at) : kReadPiece;
    if (want != 0 && file.ReadAt(at, in.get(), want) != static_cast<std::int64_t>(want)) break;
    at += want;
    z.next_in = in.get();
    z.avail_in = static_cast<uInt>(want);
    const int flush = at == size ? Z_FINISH : Z_NO_FLUSH;
    int rc = Z_OK;
    do {
      z.next_out = out.get();
      z.avail_out = static_cast<uInt>(kReadPiece);
      rc = deflate(&z, flush);
    } while (z.avail_out == 0 && rc == Z_OK);
    if (rc == Z_STREAM_END) {
      answer = z.total_out < size;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
  }
  deflateEnd(&z);
  return answer;
}

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

// Adds `e` of the folder `root` as the next item of `z`. Empty on success, else why not.
std::string AddItem(zip_t* z, const WString& root, const TreeEntry& e) {
  zip_int64_t index = -1;
  zip_int32_t method = ZIP_CM_STORE;
  std::uint32_t attributes = e.attributes & kCarriedAttributes;
  if (e.folder) {
    index = zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8);
    attributes = platform::kAttrFolder;
  } else {
    const WString path = JoinPath(root, e.name);
    const std::optional<bool> shrinks = DeflateShrinks(path, e.size);
    if (!shrinks) return "cannot be read";
    if (*shrinks) method = ZIP_CM_DEFLATE;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = FileSource(path, &error);
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
    const std::string why = AddItem(z.get(), root, *e);
    if (!why.empty()) return e->name + ": " + why;
  }
  UtcZoneWhileWriting utc;
  if (zip_close(z.get()) < 0) return ZipErrorText(zip_get_error(z.get()));
  z.release();  // closed: nothing left to discard
  return std::string();
}

}  // namespace pkgtool
