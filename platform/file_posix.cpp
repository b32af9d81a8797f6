#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "platform/file.h"

namespace platform {
namespace {

bool ToNative(const WString& path, std::string& out) { return Utf16ToUtf8(path, out); }

timespec ToTimespec(FileTime t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(UnixSecondsFromFileTime(t));
  ts.tv_nsec = static_cast<long>((t % kFileTimeTicksPerSecond) * 100);
  return ts;
}

FileTime FromTimespec(const timespec& ts) {
  const FileTime whole = FileTimeFromUnixSeconds(ts.tv_sec);
  return whole == 0 ? 0 : whole + static_cast<FileTime>(ts.tv_nsec / 100);
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File File::OpenForRead(const WString& path) {
  File f;
  std::string native;
  if (!ToNative(path, native)) return f;
  f.fd_ = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  return f;
}

File File::Create(const WString& path, std::uint32_t attributes) {
  File f;
  std::string native;
  if (!ToNative(path, native)) return f;
  const mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0666;
  // A new file gets its mode (less the umask) from open itself; only a file that was there
  // before keeps its old mode through O_TRUNC and needs it set.
  f.fd_ = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (f.fd_ >= 0 || errno != EEXIST) return f;
  f.fd_ = ::open(native.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (f.fd_ >= 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(f.fd_, mode & ~mask) != 0) f.Close();
  }
  return f;
}

File File::CreateNew(const WString& path, std::uint32_t attributes, bool* existed) {
  File f;
  if (existed) *existed = false;
  std::string native;
  if (!ToNative(path, native)) return f;
  const mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0666;
  // O_EXCL also refuses a symbolic link at the name, dangling or not.
  f.fd_ = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (existed) *existed = f.fd_ < 0 && errno == EEXIST;
  return f;
}

File File::OpenExclusive(const WString& path) {
  File f;
  std::string native;
  if (!ToNative(path, native)) return f;
  f.fd_ = ::open(native.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (!f.LockExclusive()) f.Close();
  return f;
}

bool File::LockExclusive() {
  // Advisory, but every holder of this seam asks: a second holder is refused at once.
  return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

bool File::valid() const { return fd_ >= 0; }

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  if (fd_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < length) {
    const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool File::Write(const void* data, std::size_t length) {
  if (fd_ < 0) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd_, in, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    in += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  if (fd_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    in += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Flush() { return fd_ >= 0 && ::fsync(fd_) == 0; }

bool File::Size(std::uint64_t& size) {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool File::SetTimes(const FileTimes& times) {
  if (fd_ < 0) return false;
  timespec ts[2];
  ts[0] = times.access ? ToTimespec(times.access) : timespec{0, UTIME_OMIT};
  ts[1] = times.modification ? ToTimespec(times.modification) : timespec{0, UTIME_OMIT};
  return ::futimens(fd_, ts) == 0;
}

bool File::Close() {
  if (fd_ < 0) return true;
  return ::close(std::exchange(fd_, -1)) == 0;
}

WString CurrentDirectory() {
  WString out;
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return out;
  if (!Utf8ToUtf16(buffer, out)) out.clear();
  return out;
}

bool CreateFolder(const WString& path) {
  std::string native;
  return ToNative(path, native) && ::mkdir(native.c_str(), 0777) == 0;
}

bool RemoveFolder(const WString& path) {
  std::string native;
  return ToNative(path, native) && ::rmdir(native.c_str()) == 0;
}

bool Exists(const WString& path) {
  std::string native;
  struct stat st {};
  return ToNative(path, native) && ::stat(native.c_str(), &st) == 0;
}

bool IsFolder(const WString& path) {
  std::string native;
  struct stat st {};
  return ToNative(path, native) && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsSymbolicLink(const WString& path) {
  std::string native;
  struct stat st {};
  return ToNative(path, native) && ::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool FreeSpace(const WString& path, std::uint64_t& bytes) {
  std::string native;
  struct statvfs st {};
  if (!ToNative(path, native) || ::statvfs(native.c_str(), &st) != 0) return false;
  bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool GetFileInfo(const WString& path, FileInfo& info) {
  std::string native;
  struct stat st {};
  if (!ToNative(path, native) || ::stat(native.c_str(), &st) != 0) return false;
  info = FileInfo{};
  if (S_ISDIR(st.st_mode)) {
    info.attributes |= kAttrFolder;
  } else {
    info.size = static_cast<std::uint64_t>(st.st_size);
  }
  if ((st.st_mode & S_IWUSR) == 0) info.attributes |= kAttrReadOnly;
  info.modification = FromTimespec(st.st_mtim);
  return true;
}

bool RemoveFile(const WString& path) {
  std::string native;
  return ToNative(path, native) && ::unlink(native.c_str()) == 0;
}

bool CopyFileReplacing(const WString& from, const WString& to) {
  File source = File::OpenForRead(from);
  std::uint64_t size = 0;
  if (!source || !source.Size(size)) return false;
  File target = File::Create(to, 0);
  if (!target) return false;
  char buffer[65536];
  for (std::uint64_t offset = 0; offset < size;) {
    const std::int64_t got = source.ReadAt(offset, buffer, sizeof buffer);
    if (got <= 0 || !target.Write(buffer, static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
  }
  return target.Close();
}

// Nothing here keeps an open or running file from being deleted.
bool RemoveFileAtRestart(const WString& path) { return RemoveFile(path); }

WString ExecutablePath() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  WString path;
  if (length <= 0 ||
      !Utf8ToUtf16(std::string_view(buffer, static_cast<std::size_t>(length)), path)) {
    return {};
  }
  return path;
}

bool RenameFile(const WString& from, const WString& to, bool replace) {
  std::string a, b;
  if (!ToNative(from, a) || !ToNative(to, b)) return false;
  if (replace) return ::rename(a.c_str(), b.c_str()) == 0;
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: link + unlink refuses an existing target as well, but
  // leaves both names for a moment.
  if (::link(a.c_str(), b.c_str()) != 0) return false;
  return ::unlink(a.c_str()) == 0;
}

bool FlushFileSystem(const WString& path) {
  std::string native;
  if (!ToNative(path, native)) return false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::syncfs(fd) == 0;
  ::close(fd);
  return flushed;
}

bool LocalCalendarToFileTime(int year, int month, int day, int hour, int minute, int second,
                             FileTime& out) {
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  // mktime would quietly normalise 31 April into 1 May; the Windows conversion refuses such
  // dates, and both builds must give the same answer.
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  // mktime would re-read the zone file on every call (one system call per item); the zone
  // offset from localtime_r is cached by the C library. Read the fields as UTC, then shift
  // by the offset in force at that moment, checking once more across a DST change.
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int mp = (month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  const std::int64_t asUtc = days * 86400 + hour * 3600 + minute * 60 + second;
  auto offsetAt = [](std::int64_t when, long& offset) {
    const auto tt = static_cast<time_t>(when);
    std::tm tm{};
    if (::localtime_r(&tt, &tm) == nullptr) return false;
    offset = tm.tm_gmtoff;
    return true;
  };
  long offset1 = 0, offset2 = 0;
  if (!offsetAt(asUtc, offset1) || !offsetAt(asUtc - offset1, offset2)) return false;
  const std::int64_t t = asUtc - offset2;
  if (t + kFileTimeUnixEpochSeconds < 0) return false;
  out = FileTimeFromUnixSeconds(t);
  return true;
}

}  // namespace platform
