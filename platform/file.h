// The small file-system seam the portable code needs: one owned file handle plus a handful
// of path operations. Paths are UTF-16 (WString) on every platform; on POSIX they are
// converted to UTF-8 at the system call, and only '/' separates folders there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

namespace platform {

// 100-ns units since 1601-01-01 00:00 UTC, the unit of a Windows FILETIME on every platform.
using FileTime = std::uint64_t;

inline constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kFileTimeUnixEpochSeconds = 11644473600;

// Seconds since 1970-01-01 00:00 UTC as a FileTime; times before 1601 give 0.
inline FileTime FileTimeFromUnixSeconds(std::int64_t seconds) {
  const std::int64_t ticks = (seconds + kFileTimeUnixEpochSeconds) * kFileTimeTicksPerSecond;
  return ticks < 0 ? 0 : static_cast<FileTime>(ticks);
}

// Whole seconds since 1970-01-01 00:00 UTC.
inline std::int64_t UnixSecondsFromFileTime(FileTime t) {
  return static_cast<std::int64_t>(t / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
}

// File attribute bits, Windows values; on POSIX only kAttrReadOnly and kAttrFolder mean
// anything (a mode without write permission, a directory).
enum : std::uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrFolder = 0x10,
  kAttrArchive = 0x20,
};

// Times to set on a file; a zero value leaves that time alone. POSIX has no creation time,
// so `creation` is ignored there.
struct FileTimes {
  FileTime creation = 0;
  FileTime access = 0;
  FileTime modification = 0;
};

struct FileInfo {
  std::uint64_t size = 0;        // bytes; 0 for folders
  FileTime modification = 0;     // last write time
  std::uint32_t attributes = 0;  // kAttr* bits
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
  // never replaces or follows anything already there. `*existed` (may be null) tells a name
  // that was taken from other failures.
  static File CreateNew(const WString& path, std::uint32_t attributes, bool* existed = nullptr);
  // Opens an existing file for reading and writing while nobody else may open it: a file
  // used as a lock is busy as long as another holder keeps it open.
  static File OpenExclusive(const WString& path);
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
  // Waits until what was written is on the disk itself; false when the system refused.
  bool Flush();
  // The file's size in bytes; false on failure.
  bool Size(std::uint64_t& size);
  bool SetTimes(const FileTimes& times);
  // Closes now; false when closing reported an error (a late write failure, say).
  bool Close();

 private:
  friend class AppendWindow;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Appends to a file through a window of it mapped into memory, so that a record costs a copy
// rather than a system call. The mapped pages are the system's cache of the file itself: what
// is copied is the file's at once, and a process stopped or killed right after leaves it
// there, as a write would. Like a write, it is on the disk itself only after Flush. The
// window's room is written with zeros before it is mapped, so that a full disk fails that
// write, never a copy; the file keeps those zeros past the end of what was appended.
class AppendWindow {
 public:
  AppendWindow() = default;
  ~AppendWindow() { Close(); }
  AppendWindow(const AppendWindow&) = delete;
  AppendWindow& operator=(const AppendWindow&) = delete;

  // Appends from `offset` of `file`, which must stay open until Close.
  void Begin(File& file, std::uint64_t offset);
  // False when the file could not be extended or mapped; what was copied before stays.
  bool Append(const void* data, std::size_t length);
  // Waits until everything appended is on the disk itself.
  bool Flush();
  // Unmaps the window; the file must be closed after, not before.
  void Close();
  // The end of what was appended.
  std::uint64_t end() const { return end_; }

 private:
  bool MapWindowAtEnd();
  void Unmap();

  File* file_ = nullptr;
  unsigned char* view_ = nullptr;
  std::uint64_t viewStart_ = 0;
  std::uint64_t end_ = 0;
#ifdef _WIN32
  void* mapping_ = nullptr;
#endif
};

// The process's current directory, without a trailing separator; empty on failure.
WString CurrentDirectory();
// Creates one folder (its parent must exist); false when it was not created.
bool CreateFolder(const WString& path);
// Removes one folder, only when it is empty; false when it was not removed.
bool RemoveFolder(const WString& path);
// True when `path` names anything (file or folder).
bool Exists(const WString& path);
// True when `path` names a folder.
bool IsFolder(const WString& path);
// True when `path` itself is a symbolic link (not what it points to). On Windows a junction
// is not one: users move large folders to other drives with junctions.
bool IsSymbolicLink(const WString& path);
// The bytes free for this user on the file system `path` (an existing folder) lies on.
bool FreeSpace(const WString& path, std::uint64_t& bytes);
bool GetFileInfo(const WString& path, FileInfo& info);
// Deletes a file, read-only or not.
bool RemoveFile(const WString& path);
// Renames a file, replacing an existing `to` when `replace` is set. Without `replace`, an
// existing `to` is refused atomically: no moment exists at which both names are taken.
bool RenameFile(const WString& from, const WString& to, bool replace);
// Writes everything the system still holds for the file system that `path` lies on (data
// and names) to the disk, so that what is renamed next cannot be lost with the power. False
// when the system refused; the caller then has no such guarantee.
bool FlushFileSystem(const WString& path);

// Copies the file `from` to `to`, replacing an existing `to`; false when the copy failed.
bool CopyFileReplacing(const WString& from, const WString& to);
// Asks the system to delete `path` when it next starts, for a file that is in use now (a
// running program can be renamed but not deleted); false when that cannot be arranged.
bool RemoveFileAtRestart(const WString& path);
// The running program's own file path; empty on failure or when it does not fit.
WString ExecutablePath();

// Converts a calendar time read as local time (the process's time zone) to UTC. Fields are
// full values (year 1980, month 1-12, ...). False when the fields do not form a valid time.
bool LocalCalendarToFileTime(int year, int month, int day, int hour, int minute, int second,
                             FileTime& out);

// The folder separator the system prefers.
#ifdef _WIN32
inline constexpr WChar kPreferredSeparator = WIDE('\\');
#else
inline constexpr WChar kPreferredSeparator = WIDE('/');
#endif

}  // namespace platform
