#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/file_seam_internal.h"
#include "platform/file_simulated.h"
#include "platform/file_system.h"

namespace platform {
namespace {

using detail::Failed;
using detail::FailedByHook;
using detail::ToNative;

FileTime FromTimespec(const timespec& ts) {
  const FileTime whole = FileTimeFromUnixSeconds(ts.tv_sec);
  return whole == 0 ? 0 : whole + static_cast<FileTime>(ts.tv_nsec / 100);
}

// Opens `path` read-only with `flags` and waits until what the system holds of it is on the
// disk.
bool Fsync(const WString& path, int flags) {
  std::string native;
  if (!ToNative(path, native)) return false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return Failed();
  const bool flushed = ::fsync(fd) == 0 || Failed();
  ::close(fd);
  return flushed;
}

}  // namespace

PathKind Probe(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbe, &path, disk)) {
    return LastFileError() == FileError::kNotFound ? PathKind::kMissing : PathKind::kUnknown;
  }
  if (disk != nullptr) return disk->Probe(path);
  std::string native;
  struct stat st {};
  if (!ToNative(path, native)) return PathKind::kUnknown;
  if (::stat(native.c_str(), &st) != 0) {
    Failed();
    return LastFileError() == FileError::kNotFound ? PathKind::kMissing : PathKind::kUnknown;
  }
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kFile;
}

WString CurrentDirectory() {
  WString out;
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return out;
  if (!Utf8ToUtf16(buffer, out)) out.clear();
  return out;
}

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

bool CreateFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCreateFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->CreateFolder(path);
  std::string native;
  return ToNative(path, native) && (::mkdir(native.c_str(), 0777) == 0 || Failed());
}

bool RemoveFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFolder(path);
  std::string native;
  return ToNative(path, native) && (::rmdir(native.c_str()) == 0 || Failed());
}

bool IsSymbolicLink(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbe, &path, disk)) return false;
  if (disk != nullptr) return disk->IsSymbolicLink(path);
  std::string native;
  struct stat st {};
  return ToNative(path, native) && ::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsMountPoint(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbeMount, &path, disk)) return false;
  if (disk != nullptr) return disk->IsMountPoint(path);
  std::string native;
  if (!ToNative(path, native)) return false;
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  struct stat here {};
  struct stat parent {};
  return ::stat(native.c_str(), &here) == 0 && ::stat((native + "/..").c_str(), &parent) == 0 &&
         (here.st_dev != parent.st_dev || here.st_ino == parent.st_ino);
}

bool CanDeleteNow(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kOpenForDelete, &path, disk)) return false;
  if (disk != nullptr) return disk->CanDeleteNow(path);
  // Nothing here keeps an open file from being renamed or deleted: only its presence counts.
  std::string native;
  struct stat st {};
  return ToNative(path, native) && (::lstat(native.c_str(), &st) == 0 || Failed());
}

bool ListFolder(const WString& path,
                const std::function<void(const WString& name, const FileInfo& info)>& visit) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kListFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->ListFolder(path, visit);
  std::string native;
  if (!ToNative(path, native)) return false;
  DIR* dir = ::opendir(native.c_str());
  if (dir == nullptr) return Failed();
  WString name;
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      ok = errno == 0 || Failed();
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!Utf8ToUtf16(entry->d_name, name)) continue;
    FileInfo info;
    info.size = FileInfo::kUnknownSize;
    if (entry->d_type == DT_DIR) info.attributes |= kAttrFolder;
    visit(name, info);
  }
  ::closedir(dir);
  return ok;
}

bool FreeSpace(const WString& path, std::uint64_t& bytes) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFreeSpace, &path, disk)) return false;
  if (disk != nullptr) return disk->FreeSpace(path, bytes);
  std::string native;
  struct statvfs st {};
  if (!ToNative(path, native)) return false;
  if (::statvfs(native.c_str(), &st) != 0) return Failed();
  bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool GetFileInfo(const WString& path, FileInfo& info) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFileInfo, &path, disk)) return false;
  if (disk != nullptr) return disk->GetFileInfo(path, info);
  std::string native;
  struct stat st {};
  if (!ToNative(path, native)) return false;
  if (::stat(native.c_str(), &st) != 0) return Failed();
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
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveFile, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFile(path);
  std::string native;
  return ToNative(path, native) && (::unlink(native.c_str()) == 0 || Failed());
}

bool RenameFile(const WString& from, const WString& to, bool replace) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRename, &from, disk)) return false;
  if (disk != nullptr) return disk->RenameFile(from, to, replace);
  std::string a, b;
  if (!ToNative(from, a) || !ToNative(to, b)) return false;
  if (replace) return ::rename(a.c_str(), b.c_str()) == 0 || Failed();
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Failed();
  // A file system without the flag: link + unlink refuses an existing target as well, but
  // leaves both names for a moment.
  if (::link(a.c_str(), b.c_str()) != 0) return Failed();
  return ::unlink(a.c_str()) == 0 || Failed();
}

bool CopyFileReplacing(const WString& from, const WString& to) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCopy, &from, disk)) return false;
  if (disk != nullptr) return disk->CopyFileReplacing(from, to);
  File source = File::OpenForRead(from);
  std::uint64_t size = 0;
  if (!source || !source.Size(size)) return false;
  File target = File::Create(to, 0);
  if (!target) return false;
  char buffer[65536];
  for (std::uint64_t offset = 0; offset < size;) {
    const std::int64_t got = source.ReadAt(offset, buffer, sizeof buffer);
    if (got == 0) SetLastFileError(FileError::kOther);  // shorter than it was a moment ago
    if (got <= 0 || !target.Write(buffer, static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
  }
  return target.Close();
}

// Nothing here keeps an open or running file from being deleted.
bool RemoveFileAtRestart(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveAtRestart, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFileAtRestart(path);
  std::string native;
  return ToNative(path, native) && (::unlink(native.c_str()) == 0 || Failed());
}

bool FlushFileSystem(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFileSystem, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFileSystem(path);
  std::string native;
  if (!ToNative(path, native)) return false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failed();
  const bool flushed = ::syncfs(fd) == 0 || Failed();
  ::close(fd);
  return flushed;
}

bool FlushFile(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFile, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFile(path);
  // fsync needs no write access here, so a read-only file is flushed like any other.
  return Fsync(path, O_NOFOLLOW);
}

bool FlushFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFolder(path);
  return Fsync(path, O_DIRECTORY);
}

}  // namespace platform
