// The seam's second test hook: a file system in memory that every call of platform/file.h and
// platform/file_system.h goes to instead of the system's while a test installs one, so that a
// test can cut the power at any call and choose what the disk kept (tests/update/
// simulated_disk.h). The calls keep the seam's contracts; a failure sets the last error. A File
// opened on it holds its handle and goes on using it. Production code never installs one: the
// seam asks for it with the hook's own single load (file_fault.h's detail::FailedByHook).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/file.h"
#include "platform/file_fault.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace platform::detail {

class SimulatedFileSystem {
 public:
  virtual ~SimulatedFileSystem() = default;

  // Opens `path` as the File call `how` (kOpenForRead, kCreate, kCreateNew, kOpenExclusive,
  // kOpenNoFollow) does; the file's handle (never 0), or 0 on failure.
  virtual std::uint32_t Open(FileCall how, const WString& path, std::uint32_t attributes) = 0;
  virtual std::int64_t ReadAt(std::uint32_t file, std::uint64_t offset, void* buffer,
                              std::size_t length) = 0;
  // Writes at `offset`, or at the file's own position (which moves on) when it is null.
  virtual bool Write(std::uint32_t file, const std::uint64_t* offset, const void* data,
                     std::size_t length) = 0;
  virtual bool SetSize(std::uint32_t file, std::uint64_t size) = 0;
  virtual bool Flush(std::uint32_t file) = 0;
  virtual bool Size(std::uint32_t file, std::uint64_t& size) = 0;
  virtual bool SetTimes(std::uint32_t file, const FileTimes& times) = 0;
  virtual bool Inspect(std::uint32_t file, OpenedFileInfo& info) = 0;
  // The name the handle was opened by goes when it is closed.
  virtual bool RemoveOpened(std::uint32_t file) = 0;
  virtual void Close(std::uint32_t file) = 0;

  virtual PathKind Probe(const WString& path) = 0;
  virtual bool CreateFolder(const WString& path) = 0;
  virtual bool RemoveFolder(const WString& path) = 0;
  virtual bool IsSymbolicLink(const WString& path) = 0;
  virtual bool IsMountPoint(const WString& path) = 0;
  virtual bool CanDeleteNow(const WString& path) = 0;
  virtual bool FreeSpace(const WString& path, std::uint64_t& bytes) = 0;
  virtual bool GetFileInfo(const WString& path, FileInfo& info) = 0;
  virtual bool RemoveFile(const WString& path) = 0;
  virtual bool RenameFile(const WString& from, const WString& to, bool replace) = 0;
  virtual bool CopyFileReplacing(const WString& from, const WString& to) = 0;
  virtual bool RemoveFileAtRestart(const WString& path) = 0;
  virtual bool ListFolder(
      const WString& path,
      const std::function<void(const WString& name, const FileInfo& info)>& visit) = 0;
  virtual bool FlushFileSystem(const WString& path) = 0;
  virtual bool FlushFile(const WString& path) = 0;
  virtual bool FlushFolder(const WString& path) = 0;
};

// Sends every seam call of every thread to `disk` (null: to the system again). Tests only;
// `disk` must outlive the Files opened on it.
void SetSimulatedFileSystem(SimulatedFileSystem* disk);

}  // namespace platform::detail
