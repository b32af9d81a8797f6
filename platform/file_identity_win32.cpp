#include "platform/win32/file_identity.h"

#include <windows.h>

#include "platform/win32/resources.h"

namespace platform::win32 {
namespace {

bool ReadIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  // Attributes only, sharing everything: a running program's file opens too.
  UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
  // Some network file systems give every file the index 0: no identity at all.
  return info.nFileIndexHigh != 0 || info.nFileIndexLow != 0;
}

}  // namespace

bool SameFile(const std::wstring& first, const std::wstring& second) {
  BY_HANDLE_FILE_INFORMATION a = {};
  BY_HANDLE_FILE_INFORMATION b = {};
  if (!ReadIdentity(first, a) || !ReadIdentity(second, b)) return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace platform::win32
