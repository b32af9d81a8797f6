#include "launcher/launch_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include "launcher/launch_paths.h"

namespace launcher {
namespace {

// How often a lock another launch holds is tried again.
constexpr DWORD kLockPollMs = 50;

// A plain file with one name: never a folder, a link or a second name of some other file,
// whose access list the launcher would otherwise rewrite.
bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info.nNumberOfLinks == 1;
}

}  // namespace

LaunchLock LaunchLock::Acquire(const std::wstring& installFolder, DWORD timeoutMs) {
  LaunchLock lock;
  std::wstring path = installFolder;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  path += kLaunchLockFile;

  platform::win32::UniqueLocalMem descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          kLaunchLockSecurity, SDDL_REVISION_1,
          reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.receive()), nullptr)) {
    return lock;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    // Read access is what the sharing check weighs; no sharing is what makes it a lock.
    HANDLE file = CreateFileW(
        path.c_str(), GENERIC_READ | WRITE_DAC, 0, &attributes, OPEN_ALWAYS,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    error = GetLastError();
    lock.file_.reset(file);
    if (lock.file_) break;
    if (error != ERROR_SHARING_VIOLATION) return lock;
    if (GetTickCount64() >= deadline) {
      lock.state_ = State::kTimedOut;
      return lock;
    }
    Sleep(kLockPollMs);
  }
  const bool existed = error == ERROR_ALREADY_EXISTS;
  if (!IsPlainFile(lock.file_.get())) {
    lock.file_.reset();
    return lock;
  }
  if (existed) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
      SetSecurityInfo(lock.file_.get(), SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, dacl, nullptr);
    }
  }
  lock.state_ = State::kHeld;
  return lock;
}

}  // namespace launcher
