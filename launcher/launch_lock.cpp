#include "launcher/launch_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <new>

#include "launcher/launch_paths.h"

namespace launcher {
namespace {

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};

// The owner this process gives the objects it makes (TOKEN_OWNER), or null: the
// administrators for an elevated launch.
std::unique_ptr<BYTE[]> DefaultOwner() {
  platform::win32::UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
  if (size == 0) return nullptr;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer || !GetTokenInformation(token.get(), TokenOwner, buffer.get(), size, &size)) {
    return nullptr;
  }
  return buffer;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return sid != nullptr && IsWellKnownSid(sid, type) != FALSE;
}

}  // namespace

bool IsTrustedLockOwner(PSID owner, PSID self) {
  if (owner == nullptr || !IsValidSid(owner)) return false;
  return IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid) ||
         (self != nullptr && IsValidSid(self) && EqualSid(owner, self) != FALSE);
}

LaunchLock LaunchLock::Acquire(const std::wstring& installFolder, DWORD timeoutMs) {
  LaunchLock lock;
  const std::wstring name = LaunchLockName(installFolder);
  // Only the system and administrators may open it: the launcher runs as one of them.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return lock;
  }
  std::unique_ptr<void, LocalFreer> ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  lock.mutex_.reset(CreateMutexW(&attributes, FALSE, name.c_str()));
  if (!lock.mutex_) return lock;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR existing = nullptr;
    const DWORD rc =
        GetSecurityInfo(lock.mutex_.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        nullptr, nullptr, nullptr, &existing);
    std::unique_ptr<void, LocalFreer> ownedExisting(existing);
    const std::unique_ptr<BYTE[]> self = DefaultOwner();
    PSID selfSid = self ? reinterpret_cast<TOKEN_OWNER*>(self.get())->Owner : nullptr;
    if (rc != ERROR_SUCCESS || !IsTrustedLockOwner(owner, selfSid)) {
      lock.mutex_.reset();
      return lock;
    }
  }
  switch (WaitForSingleObject(lock.mutex_.get(), timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      lock.owned_ = true;
      lock.state_ = State::kHeld;
      break;
    case WAIT_TIMEOUT:
      lock.state_ = State::kTimedOut;
      break;
    default:
      lock.mutex_.reset();
      break;
  }
  return lock;
}

LaunchLock::~LaunchLock() {
  if (owned_ && mutex_) ReleaseMutex(mutex_.get());
}

}  // namespace launcher
