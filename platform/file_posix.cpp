#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "platform/file.h"
#include "platform/file_seam_internal.h"
#include "platform/file_simulated.h"

namespace platform {
namespace detail {

FileError ErrorFromSystem(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return FileError::kNotFound;
    case EEXIST:
      return FileError::kExists;
    case EBUSY:
    case EACCES:
    case ETXTBSY:
    case EWOULDBLOCK:
      return FileError::kBusy;
    case ENOSPC:
    case EDQUOT:
      return FileError::kNoSpace;
    default:
      return FileError::kOther;
  }
}

bool Failed() {
  SetLastFileError(ErrorFromSystem(errno));
  return false;
}

bool ToNative(const WString& path, std::string& out) {
  if (Utf16ToUtf8(path, out)) return true;
  SetLastFileError(FileError::kOther);
  return false;
}

}  // namespace detail

namespace {

using detail::Failed;
using detail::FailedByHook;
using detail::ToNative;

timespec ToTimespec(FileTime t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(UnixSecondsFromFileTime(t));
  ts.tv_nsec = static_cast<long>((t % kFileTimeTicksPerSecond) * 100);
  return ts;
}

// Opens `path` with `flags`, or records why not.
int OpenNative(const WString& path, int flags, mode_t mode = 0) {
  std::string native;
  if (!ToNative(path, native)) return -1;
  const int fd = ::open(native.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) Failed();
  return fd;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), simulated_(std::exchange(other.simulated_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    simulated_ = std::exchange(other.simulated_, 0);
  }
  return *this;
}

File File::OpenForRead(const WString& path) {
  File f;
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kOpenForRead, &path, disk)) return f;
  if (disk != nullptr) {
    f.simulated_ = disk->Open(FileCall::kOpenForRead, path, 0);
    return f;
  }
  f.fd_ = OpenNative(path, O_RDONLY);
  return f;
}

File File::Create(const WString& path, std::uint32_t attributes) {
  File f;
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCreate, &path, disk)) return f;
  if (disk != nullptr) {
    f.simulated_ = disk->Open(FileCall::kCreate, path, attributes);
    return f;
  }
  std::string native;
  if (!ToNative(path, native)) return f;
  const mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0666;
  // A new file gets its mode (less the umask) from open itself; only a file that was there
  // before keeps its old mode through O_TRUNC and needs it set.
  f.fd_ = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (f.fd_ >= 0) return f;
  if (errno != EEXIST) {
    Failed();
    return f;
  }
  f.fd_ = ::open(native.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (f.fd_ < 0) {
    Failed();
    return f;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(f.fd_, mode & ~mask) != 0) {
    Failed();
    f.Close();
  }
  return f;
}

File File::CreateNew(const WString& path, std::uint32_t attributes) {
  File f;
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCreateNew, &path, disk)) return f;
  if (disk != nullptr) {
    f.simulated_ = disk->Open(FileCall::kCreateNew, path, attributes);
    return f;
  }
  const mode_t mode = (attributes & kAttrReadOnly) ? 0444 : 0666;
  // O_EXCL also refuses a symbolic link at the name, dangling or not.
  f.fd_ = OpenNative(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  return f;
}

File File::OpenExclusive(const WString& path) {
  File f;
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kOpenExclusive, &path, disk)) return f;
  if (disk != nullptr) {
    f.simulated_ = disk->Open(FileCall::kOpenExclusive, path, 0);
    return f;
  }
  f.fd_ = OpenNative(path, O_RDWR | O_NOFOLLOW);
  if (f.fd_ >= 0 && !f.LockExclusive()) f.Close();
  return f;
}

File File::OpenNoFollow(const WString& path) {
  File f;
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kOpenNoFollow, &path, disk)) return f;
  if (disk != nullptr) {
    f.simulated_ = disk->Open(FileCall::kOpenNoFollow, path, 0);
    return f;
  }
  std::string native;
  if (!ToNative(path, native)) return f;
  // Non-blocking, so that a pipe at the name does not wait for a writer.
  f.fd_ = ::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (f.fd_ >= 0 || errno != ELOOP) {
    if (f.fd_ < 0) Failed();
    return f;
  }
  // A symbolic link: opened as itself, a handle that can be looked at and nothing more.
  f.fd_ = ::open(native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (f.fd_ < 0) Failed();
  return f;
}

bool File::LockExclusive() {
  // Advisory, but every holder of this seam asks: a second holder is refused at once.
  if (simulated_ != 0) return true;  // exclusive as it was opened
  if (fd_ < 0) return false;
  return ::flock(fd_, LOCK_EX | LOCK_NB) == 0 || Failed();
}

bool File::valid() const { return fd_ >= 0 || simulated_ != 0; }

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRead, nullptr, disk)) return -1;
  if (simulated_ != 0)
    return disk != nullptr ? disk->ReadAt(simulated_, offset, buffer, length)
                           : detail::NoSimulatedFile(-1);
  if (fd_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < length) {
    const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Failed();
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool File::Write(const void* data, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Write(simulated_, nullptr, data, length)
                           : detail::NoSimulatedFile(false);
  if (fd_ < 0) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd_, in, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    in += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Write(simulated_, &offset, data, length)
                           : detail::NoSimulatedFile(false);
  if (fd_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    in += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::SetSize(std::uint64_t size) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->SetSize(simulated_, size) : detail::NoSimulatedFile(false);
  if (fd_ < 0 || size > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 || Failed();
}

bool File::Flush() {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlush, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Flush(simulated_) : detail::NoSimulatedFile(false);
  return fd_ >= 0 && (::fsync(fd_) == 0 || Failed());
}

bool File::Size(std::uint64_t& size) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kSize, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Size(simulated_, size) : detail::NoSimulatedFile(false);
  struct stat st {};
  if (fd_ < 0) return false;
  if (::fstat(fd_, &st) != 0) return Failed();
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool File::SetTimes(const FileTimes& times) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kSetTimes, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->SetTimes(simulated_, times) : detail::NoSimulatedFile(false);
  if (fd_ < 0) return false;
  timespec ts[2];
  ts[0] = times.access ? ToTimespec(times.access) : timespec{0, UTIME_OMIT};
  ts[1] = times.modification ? ToTimespec(times.modification) : timespec{0, UTIME_OMIT};
  return ::futimens(fd_, ts) == 0 || Failed();
}

bool File::Inspect(OpenedFileInfo& info) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kInspect, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Inspect(simulated_, info) : detail::NoSimulatedFile(false);
  struct stat st {};
  if (fd_ < 0) return false;
  if (::fstat(fd_, &st) != 0) return Failed();
  info = OpenedFileInfo{};
  info.links = st.st_nlink > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(st.st_nlink);
  if (S_ISLNK(st.st_mode)) info.kind = OpenedFileInfo::Kind::kLink;
  if (S_ISREG(st.st_mode)) info.kind = OpenedFileInfo::Kind::kRegular;
  return true;
}

bool File::RemoveOpened(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveOpened, &path, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->RemoveOpened(simulated_) : detail::NoSimulatedFile(false);
  std::string native;
  if (fd_ < 0 || !ToNative(path, native)) return false;
  // No call deletes by descriptor: the name is removed in its folder, opened once, after the
  // name there was found to be this very file (device and inode), a link as the link.
  const std::size_t slash = native.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
  const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Failed();
  struct stat opened {};
  struct stat named {};
  bool removed = false;
  if (::fstat(fd_, &opened) != 0 ||
      ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    Failed();
  } else if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    SetLastFileError(FileError::kNotFound);  // another file has taken the name meanwhile
  } else {
    removed = ::unlinkat(dir, name.c_str(), 0) == 0 || Failed();
  }
  ::close(dir);
  return removed;
}

bool File::Close() {
  if (simulated_ != 0) return detail::CloseSimulated(std::exchange(simulated_, 0));
  if (fd_ < 0) return true;
  return ::close(std::exchange(fd_, -1)) == 0 || Failed();
}

}  // namespace platform
