#include "platform/file_fault.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

std::atomic<FileCallHook*> hook{nullptr};
thread_local FileError lastError = FileError::kNone;
// Set while the hook runs, so that what it does to the file system is not asked about again.
thread_local bool inHook = false;

}  // namespace

FileError LastFileError() { return lastError; }
void SetLastFileError(FileError error) { lastError = error; }

const char* DescribeFileError(FileError error) {
  switch (error) {
    case FileError::kNone:
      return "no error";
    case FileError::kNotFound:
      return "not found";
    case FileError::kExists:
      return "the name is taken";
    case FileError::kBusy:
      return "in use";
    case FileError::kNoSpace:
      return "disk full";
    case FileError::kOther:
      return "refused by the system";
  }
  return "unknown error";
}

const char* DescribeFileCall(FileCall call) {
  static const char* const kNames[] = {
      "open for read",
      "create",
      "create new",
      "open exclusive",
      "read",
      "write",
      "flush",
      "size",
      "set times",
      "create folder",
      "remove folder",
      "probe",
      "file info",
      "free space",
      "remove file",
      "rename",
      "flush volume",
      "flush file",
      "copy",
      "remove at restart",
      "list folder",
      "flush folder",
      "open for delete",
      "probe mount",
  };
  const auto i = static_cast<std::size_t>(call);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "?";
}

void SetFileCallHook(FileCallHook* h) { hook.store(h); }

void Pause(unsigned milliseconds) {
  FileCallHook* const h = hook.load(std::memory_order_relaxed);
  if (h != nullptr && !inHook) {
    inHook = true;
    h->Pause(milliseconds);
    inHook = false;
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace detail {

bool FailedByHook(FileCall call, const WString* path) {
  FileCallHook* const h = hook.load(std::memory_order_relaxed);
  if (h == nullptr || inHook) return false;
  inHook = true;
  const FileError error = h->Before(call, path);
  inHook = false;
  if (error == FileError::kNone) return false;
  lastError = error;
  return true;
}

}  // namespace detail
}  // namespace platform
