#include <windows.h>

#include <utility>

#include "platform/file.h"
#include "platform/win32/resources.h"

namespace platform {
namespace {

FILETIME ToFiletime(FileTime t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

FileTime FromFiletime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

// The attributes a created file gets, as CreateFileW's flags.
DWORD CreationFlags(std::uint32_t attributes) {
  const DWORD flags = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  return flags != 0 ? flags : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

File File::OpenForRead(const WString& path) {
  // Owned by UniqueHandle until it is handed to the File, so no path leaks it.
  win32::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  File f;
  if (h) f.handle_ = h.release();
  return f;
}

File File::Create(const WString& path, std::uint32_t attributes) {
  win32::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    CreationFlags(attributes), nullptr));
  File f;
  if (h) f.handle_ = h.release();
  return f;
}

File File::CreateNew(const WString& path, std::uint32_t attributes, bool* existed) {
  win32::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, CreationFlags(attributes), nullptr));
  if (existed) {
    const DWORD error = GetLastError();
    *existed = !h && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
  }
  File f;
  if (h) f.handle_ = h.release();
  return f;
}

File File::OpenExclusive(const WString& path) {
  win32::UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  File f;
  if (h) f.handle_ = h.release();
  return f;
}

bool File::LockExclusive() { return valid(); }

bool File::valid() const { return handle_ != nullptr; }

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
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
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

bool File::Write(const void* data, std::size_t length) {
  if (!valid()) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), in, want, &wrote, nullptr) || wrote == 0) return false;
    in += wrote;
    length -= wrote;
  }
  return true;
}

bool File::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  if (!valid()) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD wrote = 0;
    if (!WriteFile(AsHandle(handle_), in, want, &wrote, &ov) || wrote == 0) return false;
    in += wrote;
    offset += wrote;
    length -= wrote;
  }
  return true;
}

bool File::Flush() { return valid() && FlushFileBuffers(AsHandle(handle_)) != FALSE; }

bool File::Size(std::uint64_t& size) {
  LARGE_INTEGER li;
  if (!valid() || !GetFileSizeEx(AsHandle(handle_), &li)) return false;
  size = static_cast<std::uint64_t>(li.QuadPart);
  return true;
}

bool File::SetTimes(const FileTimes& times) {
  if (!valid()) return false;
  const FILETIME c = ToFiletime(times.creation);
  const FILETIME a = ToFiletime(times.access);
  const FILETIME m = ToFiletime(times.modification);
  return SetFileTime(AsHandle(handle_), times.creation ? &c : nullptr, times.access ? &a : nullptr,
                     times.modification ? &m : nullptr) != FALSE;
}

bool File::Close() {
  if (!valid()) return true;
  return CloseHandle(AsHandle(std::exchange(handle_, nullptr))) != FALSE;
}

WString CurrentDirectory() {
  WString out;
  const DWORD need = GetCurrentDirectoryW(0, nullptr);
  if (need == 0) return out;
  out.resize(need);
  const DWORD got = GetCurrentDirectoryW(need, out.data());
  if (got == 0 || got >= need) return WString();
  out.resize(got);
  return out;
}

bool CreateFolder(const WString& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

bool RemoveFolder(const WString& path) { return RemoveDirectoryW(path.c_str()) != FALSE; }

bool Exists(const WString& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const WString& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsSymbolicLink(const WString& path) {
  WIN32_FIND_DATAW data;
  win32::UniqueFindHandle find(FindFirstFileW(path.c_str(), &data));
  return find && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         data.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
}

bool FreeSpace(const WString& path, std::uint64_t& bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

bool GetFileInfo(const WString& path, FileInfo& info) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  info = FileInfo{};
  info.attributes = data.dwFileAttributes &
                    (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrFolder | kAttrArchive);
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  info.modification = FromFiletime(data.ftLastWriteTime);
  return true;
}

bool RemoveFile(const WString& path) {
  // A read-only file refuses deletion; the caller asked for it gone all the same.
  const DWORD a = GetFileAttributesW(path.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  return DeleteFileW(path.c_str()) != FALSE;
}

bool RenameFile(const WString& from, const WString& to, bool replace) {
  return MoveFileExW(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != FALSE;
}

bool FlushFileSystem(const WString& path) {
  // Flushing a volume needs administrator rights, which the launcher has; its handle is
  // opened through the volume's device name, "\\.\C:" for "C:\".
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH)) return false;
  std::wstring device = volume;
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  if (device.size() != 2 || device[1] != L':') return false;
  device.insert(0, L"\\\\.\\");
  win32::UniqueHandle h(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  return h && FlushFileBuffers(h.get()) != FALSE;
}

bool CopyFileReplacing(const WString& from, const WString& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool RemoveFileAtRestart(const WString& path) {
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

WString ExecutablePath() {
  // Long enough for any path the system can start a program from.
  WString path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path;
}

bool LocalCalendarToFileTime(int year, int month, int day, int hour, int minute, int second,
                             FileTime& out) {
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second);
  FILETIME local, utc;
  if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc)) return false;
  out = FromFiletime(utc);
  return true;
}

}  // namespace platform
