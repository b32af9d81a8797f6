#include "platform/file_fault.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/file_seam_internal.h"
#include "platform/file_simulated.h"

namespace platform {
namespace {

std::atomic<FileCallHook*> hook{nullptr};
std::atomic<detail::SimulatedFileSystem*> simulatedDisk{nullptr};
// Set while either is installed: the one load a seam call costs without them.
std::atomic<bool> overridden{false};
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
      "open no follow",
      "inspect",
      "remove opened",
  };
  const auto i = static_cast<std::size_t>(call);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "?";
}

void SetFileCallHook(FileCallHook* h) {
  hook.store(h);
  overridden.store(h != nullptr || simulatedDisk.load() != nullptr);
}

namespace detail {
void SetSimulatedFileSystem(SimulatedFileSystem* disk) {
  simulatedDisk.store(disk);
  overridden.store(disk != nullptr || hook.load() != nullptr);
}
}  // namespace detail

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

bool CloseSimulated(std::uint32_t file) {
  if (SimulatedFileSystem* const disk = simulatedDisk.load()) disk->Close(file);
  return true;
}

bool FailedByHook(FileCall call, const WString* path, SimulatedFileSystem*& simulated) {
  simulated = nullptr;
  if (!overridden.load(std::memory_order_relaxed)) return false;
  // The hook's own calls go to the simulated disk too: what it takes away is taken from there.
  simulated = simulatedDisk.load(std::memory_order_relaxed);
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
