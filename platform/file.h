// One owned file handle, the part of the file seam that works on open files. Paths are UTF-16
// (WString) on every platform; on POSIX they are converted to UTF-8 at the system call, and
// only '/' separates folders there. Every call asks the test hook first (file_fault.h) and, on
// failure, sets the last error (file_error.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_error.h"
#include "platform/file_time.h"
#include "platform/text.h"

namespace platform {

// File attribute bits, Windows values; on POSIX only kAttrReadOnly and kAttrFolder mean
// anything (a mode without write permission, a directory).
enum : std::uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrFolder = 0x10,
  kAttrArchive = 0x20,
};

struct FileInfo {
  // What `size` holds when the system did not say (a folder listing on POSIX).
  static constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};
  std::uint64_t size = 0;        // bytes; 0 for folders
  FileTime modification = 0;     // last write time
  std::uint32_t attributes = 0;  // kAttr* bits
};

// What an open handle is, as the handle itself says: no name is looked up again.
struct OpenedFileInfo {
  enum class Kind {
    kRegular,  // a plain file
    kLink,     // a symbolic link, a junction or another reparse point, opened as itself
    kOther,    // a folder, a device, a pipe, ...
  };
  Kind kind = Kind::kOther;
  std::uint32_t links = 0;  // the names the file has (hard links), itself included
};

// An open file. Move-only; the handle is closed on destruction.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file for reading; others may read it meanwhile, nobody may write it
  // (the sharing part is enforced on Windows only). Returns an invalid File on failure.
  static File OpenForRead(const WString& path);
  // Creates `path` for writing, replacing and emptying an existing file. `attributes` (kAttr*)
  // become the file's attributes (on POSIX: read-only makes the mode lack write permission).
  static File Create(const WString& path, std::uint32_t attributes);
  // Creates `path` as a new file for reading and writing, nobody else may open it meanwhile;
  // never replaces or follows anything already there (LastFileError() kExists then).
  static File CreateNew(const WString& path, std::uint32_t attributes);
  // Opens an existing file for reading and writing while nobody else may open it: a file
  // used as a lock is busy (kBusy) as long as another holder keeps it open.
  static File OpenExclusive(const WString& path);
  // Opens the existing name `path` itself for reading and for deleting through the handle,
  // never following a link there: a link opens as the link (Inspect says kLink), so that what
  // it points to is neither read nor deleted. Others may read meanwhile; nobody may write,
  // rename or delete it (on Windows; POSIX has no such sharing). Returns an invalid File on
  // failure.
  static File OpenNoFollow(const WString& path);
  // Makes a file made by CreateNew a lock as OpenExclusive takes it. On Windows the file
  // already is one (nobody may open it meanwhile); POSIX locks are advisory and asked for.
  bool LockExclusive();

  bool valid() const;
  explicit operator bool() const { return valid(); }

  // Reads up to `length` bytes at `offset` without moving any shared position; returns the
  // number read (less only at the end of the file) or -1 when the system call fails.
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length);
  // Appends all of `length` bytes at the current position; false on any failure.
  bool Write(const void* data, std::size_t length);
  // Writes all of `length` bytes at `offset` (the current position is not used); false on
  // any failure.
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t length);
  // Cuts the file, or extends it with zeros, to `size` bytes.
  bool SetSize(std::uint64_t size);
  // Waits until what was written is on the disk itself; false when the system refused.
  bool Flush();
  // The file's size in bytes; false on failure.
  bool Size(std::uint64_t& size);
  bool SetTimes(const FileTimes& times);
  // What the handle is and how many names its file has; false on failure.
  bool Inspect(OpenedFileInfo& info);
  // Deletes the file opened by OpenNoFollow as `path` through this handle, read-only or not:
  // the name goes when the handle is closed, and no other file can be hit by it. Windows acts
  // on the handle alone; POSIX removes `path` only while it still names this very file, a
  // link there as the link.
  bool RemoveOpened(const WString& path);
  // Closes now; false when closing reported an error (a late write failure, say).
  bool Close();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  // A file of a simulated file system (file_simulated.h, tests only): its handle there, 0 for
  // none.
  std::uint32_t simulated_ = 0;
};

}  // namespace platform
