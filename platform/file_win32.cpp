#include <windows.h>

#include <utility>

#include "platform/file.h"
#include "platform/file_seam_internal.h"
#include "platform/file_simulated.h"
#include "platform/win32/resources.h"

namespace platform {
namespace detail {

FileError ErrorFromSystem(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FileError::kNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileError::kExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:  // also what a file being deleted answers
    case ERROR_DELETE_PENDING:
    case ERROR_USER_MAPPED_FILE:
      return FileError::kBusy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileError::kNoSpace;
    default:
      return FileError::kOther;
  }
}

bool Failed() {
  SetLastFileError(ErrorFromSystem(GetLastError()));
  return false;
}

NativePath::NativePath(const WString& path) : original_(path) {
  // CreateDirectoryW's limit, the lowest of the W functions: 260 units less room for an
  // 8.3 name. Below it the plain form works everywhere.
  constexpr std::size_t kPlainLimit = 248;
  if (path.size() < kPlainLimit) return;
  if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return;
  WString plain = path;
  for (wchar_t& c : plain) {
    if (c == L'/') c = L'\\';
  }
  // The long form takes no relative path and no "." or ".." steps: the system resolves them
  // here, as it would have for the plain form.
  const DWORD need = GetFullPathNameW(plain.c_str(), 0, nullptr, nullptr);
  if (need == 0) return;
  WString full(need, L'\0');
  const DWORD got = GetFullPathNameW(plain.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) {
    converted_ = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    converted_ = L"\\\\?\\" + full;
  }
}

}  // namespace detail

namespace {

using detail::Failed;
using detail::FailedByHook;
using detail::NativePath;

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

FILETIME ToFiletime(FileTime t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

// The attributes a created file gets, as CreateFileW's flags.
DWORD CreationFlags(std::uint32_t attributes) {
  const DWORD flags = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  return flags != 0 ? flags : FILE_ATTRIBUTE_NORMAL;
}

// Opens or creates through CreateFileW; the handle is owned by UniqueHandle until it is
// handed to the File, so no path leaks it.
void* OpenHandle(const WString& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  win32::UniqueHandle h(
      CreateFileW(NativePath(path).c_str(), access, share, nullptr, disposition, flags, nullptr));
  if (!h) {
    Failed();
    return nullptr;
  }
  return h.release();
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      simulated_(std::exchange(other.simulated_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
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
  f.handle_ = OpenHandle(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
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
  f.handle_ = OpenHandle(path, GENERIC_WRITE, 0, CREATE_ALWAYS, CreationFlags(attributes));
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
  f.handle_ =
      OpenHandle(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, CreationFlags(attributes));
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
  f.handle_ =
      OpenHandle(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
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
  // Backup semantics, so that a folder or a junction opens too, as itself, and is told apart
  // rather than failing like a file in use. Attribute writing clears a read-only attribute
  // before the deletion through the handle.
  f.handle_ = OpenHandle(path, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  return f;
}

bool File::LockExclusive() { return valid(); }

bool File::valid() const { return handle_ != nullptr || simulated_ != 0; }

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRead, nullptr, disk)) return -1;
  if (simulated_ != 0)
    return disk != nullptr ? disk->ReadAt(simulated_, offset, buffer, length)
                           : detail::NoSimulatedFile(-1);
  if (!valid()) return -1;
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < length) {
    const std::uint64_t at = offset + done;
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    const std::size_t left = length - done;
    const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), out + done, want, &got, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      Failed();
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

bool File::Write(const void* data, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Write(simulated_, nullptr, data, length)
                           : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), in, want, &wrote, nullptr)) return Failed();
    if (wrote == 0) {
      SetLastFileError(FileError::kOther);
      return false;
    }
    in += wrote;
    length -= wrote;
  }
  return true;
}

bool File::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Write(simulated_, &offset, data, length)
                           : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), in, want, &wrote, &ov)) return Failed();
    if (wrote == 0) {
      SetLastFileError(FileError::kOther);
      return false;
    }
    in += wrote;
    offset += wrote;
    length -= wrote;
  }
  return true;
}

bool File::SetSize(std::uint64_t size) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kWrite, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->SetSize(simulated_, size) : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &end, sizeof end) !=
             FALSE ||
         Failed();
}

bool File::Flush() {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlush, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Flush(simulated_) : detail::NoSimulatedFile(false);
  return valid() && (FlushFileBuffers(AsHandle(handle_)) != FALSE || Failed());
}

bool File::Size(std::uint64_t& size) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kSize, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Size(simulated_, size) : detail::NoSimulatedFile(false);
  LARGE_INTEGER li;
  if (!valid()) return false;
  if (!GetFileSizeEx(AsHandle(handle_), &li)) return Failed();
  size = static_cast<std::uint64_t>(li.QuadPart);
  return true;
}

bool File::SetTimes(const FileTimes& times) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kSetTimes, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->SetTimes(simulated_, times) : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  const FILETIME c = ToFiletime(times.creation);
  const FILETIME a = ToFiletime(times.access);
  const FILETIME m = ToFiletime(times.modification);
  return SetFileTime(AsHandle(handle_), times.creation ? &c : nullptr, times.access ? &a : nullptr,
                     times.modification ? &m : nullptr) != FALSE ||
         Failed();
}

bool File::Inspect(OpenedFileInfo& info) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kInspect, nullptr, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->Inspect(simulated_, info) : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(AsHandle(handle_), &data)) return Failed();
  info = OpenedFileInfo{};
  info.links = data.nNumberOfLinks;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    info.kind = OpenedFileInfo::Kind::kLink;
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
             GetFileType(AsHandle(handle_)) == FILE_TYPE_DISK) {
    info.kind = OpenedFileInfo::Kind::kRegular;
  }
  return true;
}

bool File::RemoveOpened(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveOpened, &path, disk)) return false;
  if (simulated_ != 0)
    return disk != nullptr ? disk->RemoveOpened(simulated_) : detail::NoSimulatedFile(false);
  if (!valid()) return false;
  // The system refuses to delete a read-only file; the caller asked for it gone all the same.
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(AsHandle(handle_), FileBasicInfo, &basic, sizeof basic)) {
    return Failed();
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO writable{};  // times of zero are left as they are
    writable.FileAttributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(AsHandle(handle_), FileBasicInfo, &writable, sizeof writable)) {
      return Failed();
    }
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(AsHandle(handle_), FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE ||
         Failed();
}

bool File::Close() {
  if (simulated_ != 0) return detail::CloseSimulated(std::exchange(simulated_, 0));
  if (!valid()) return true;
  return CloseHandle(AsHandle(std::exchange(handle_, nullptr))) != FALSE || Failed();
}

}  // namespace platform
