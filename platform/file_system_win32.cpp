#include <windows.h>

#include <string>

#include "platform/file_seam_internal.h"
#include "platform/file_simulated.h"
#include "platform/file_system.h"
#include "platform/win32/resources.h"

namespace platform {
namespace {

using detail::Failed;
using detail::FailedByHook;
using detail::NativePath;

FileTime FromFiletime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Whether `path` itself is a reparse point of kind `tag` (what it points to is not looked at).
bool HasReparseTag(const WString& path, DWORD tag) {
  WIN32_FIND_DATAW data;
  win32::UniqueFindHandle find(FindFirstFileW(NativePath(path).c_str(), &data));
  return find && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && data.dwReserved0 == tag;
}

}  // namespace

PathKind Probe(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbe, &path, disk)) {
    return LastFileError() == FileError::kNotFound ? PathKind::kMissing : PathKind::kUnknown;
  }
  if (disk != nullptr) return disk->Probe(path);
  const DWORD a = GetFileAttributesW(NativePath(path).c_str());
  if (a != INVALID_FILE_ATTRIBUTES) {
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
  }
  Failed();
  return LastFileError() == FileError::kNotFound ? PathKind::kMissing : PathKind::kUnknown;
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

WString ExecutablePath() {
  // Long enough for any path the system can start a program from.
  WString path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path;
}

bool CreateFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCreateFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->CreateFolder(path);
  return CreateDirectoryW(NativePath(path).c_str(), nullptr) != FALSE || Failed();
}

bool RemoveFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFolder(path);
  return RemoveDirectoryW(NativePath(path).c_str()) != FALSE || Failed();
}

bool IsSymbolicLink(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbe, &path, disk)) return false;
  if (disk != nullptr) return disk->IsSymbolicLink(path);
  return HasReparseTag(path, IO_REPARSE_TAG_SYMLINK);
}

bool IsMountPoint(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kProbeMount, &path, disk)) return false;
  if (disk != nullptr) return disk->IsMountPoint(path);
  return HasReparseTag(path, IO_REPARSE_TAG_MOUNT_POINT);
}

bool CanDeleteNow(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kOpenForDelete, &path, disk)) return false;
  if (disk != nullptr) return disk->CanDeleteNow(path);
  // Delete access with every sharing: refused (a sharing violation) exactly when a holder
  // did not share delete, which the commit's rename would meet.
  win32::UniqueHandle h(CreateFileW(NativePath(path).c_str(), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return h || Failed();
}

bool ListFolder(const WString& path,
                const std::function<void(const WString& name, const FileInfo& info)>& visit) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kListFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->ListFolder(path, visit);
  WString pattern = path;
  if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  // The basic form skips the short names; a large fetch asks the file system for many entries
  // a call.
  win32::UniqueFindHandle find(FindFirstFileExW(NativePath(pattern).c_str(), FindExInfoBasic, &data,
                                                FindExSearchNameMatch, nullptr,
                                                FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return Failed();
  do {
    const WString name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FileInfo info;
    info.attributes = data.dwFileAttributes &
                      (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrFolder | kAttrArchive);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    info.modification = FromFiletime(data.ftLastWriteTime);
    visit(name, info);
  } while (FindNextFileW(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES || Failed();
}

bool FreeSpace(const WString& path, std::uint64_t& bytes) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFreeSpace, &path, disk)) return false;
  if (disk != nullptr) return disk->FreeSpace(path, bytes);
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(NativePath(path).c_str(), &available, nullptr, nullptr)) {
    return Failed();
  }
  bytes = available.QuadPart;
  return true;
}

bool GetFileInfo(const WString& path, FileInfo& info) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFileInfo, &path, disk)) return false;
  if (disk != nullptr) return disk->GetFileInfo(path, info);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(NativePath(path).c_str(), GetFileExInfoStandard, &data)) {
    return Failed();
  }
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
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveFile, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFile(path);
  const NativePath native(path);
  // A read-only file refuses deletion; the caller asked for it gone all the same.
  const DWORD a = GetFileAttributesW(native.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(native.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  return DeleteFileW(native.c_str()) != FALSE || Failed();
}

bool RenameFile(const WString& from, const WString& to, bool replace) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRename, &from, disk)) return false;
  if (disk != nullptr) return disk->RenameFile(from, to, replace);
  return MoveFileExW(NativePath(from).c_str(), NativePath(to).c_str(),
                     replace ? MOVEFILE_REPLACE_EXISTING : 0) != FALSE ||
         Failed();
}

bool CopyFileReplacing(const WString& from, const WString& to) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kCopy, &from, disk)) return false;
  if (disk != nullptr) return disk->CopyFileReplacing(from, to);
  return CopyFileW(NativePath(from).c_str(), NativePath(to).c_str(), FALSE) != FALSE || Failed();
}

bool RemoveFileAtRestart(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kRemoveAtRestart, &path, disk)) return false;
  if (disk != nullptr) return disk->RemoveFileAtRestart(path);
  return MoveFileExW(NativePath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE ||
         Failed();
}

bool FlushFileSystem(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFileSystem, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFileSystem(path);
  // The volume is the one the path leads to, through any junction on its way: the folder is
  // opened and asked for its final name in the volume's own form ("\\?\Volume{...}\..."),
  // which every local path has and a network share has not.
  win32::UniqueHandle folder(CreateFileW(
      NativePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return Failed();
  std::wstring device(32768, L'\0');
  const DWORD length =
      GetFinalPathNameByHandleW(folder.get(), device.data(), static_cast<DWORD>(device.size()),
                                FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
  if (length == 0 || length >= device.size()) return Failed();
  device.resize(length);
  // "\\?\Volume{...}\rest": the volume's name ends at the separator behind its braces.
  const std::size_t close = device.find(L"}\\");
  if (close == std::wstring::npos) {
    SetLastFileError(FileError::kOther);
    return false;
  }
  device.resize(close + 2);
  // Without its trailing separator the name opens the volume, not its root folder. Flushing a
  // volume needs administrator rights, which the launcher has.
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  win32::UniqueHandle h(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  if (!h) return Failed();
  return FlushFileBuffers(h.get()) != FALSE || Failed();
}

bool FlushFile(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFile, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFile(path);
  const NativePath native(path);
  // Flushing needs write access, which a read-only file refuses: its attribute is lifted for
  // the open and put back at once.
  const DWORD a = GetFileAttributesW(native.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Failed();
  const bool readOnly = (a & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly &&
      !SetFileAttributesW(native.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return Failed();
  }
  win32::UniqueHandle h(CreateFileW(native.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD openError = GetLastError();
  if (readOnly) SetFileAttributesW(native.c_str(), a);
  if (!h) {
    SetLastFileError(detail::ErrorFromSystem(openError));
    return false;
  }
  return FlushFileBuffers(h.get()) != FALSE || Failed();
}

bool FlushFolder(const WString& path) {
  detail::SimulatedFileSystem* disk = nullptr;
  if (FailedByHook(FileCall::kFlushFolder, &path, disk)) return false;
  if (disk != nullptr) return disk->FlushFolder(path);
  // A folder opened for writing can be flushed like a file: its entries reach the disk.
  win32::UniqueHandle h(CreateFileW(NativePath(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return Failed();
  return FlushFileBuffers(h.get()) != FALSE || Failed();
}

}  // namespace platform
