// The part of the file seam that works on names: folders, renames, deletions, what a name
// is, the disk's free space and flushes. Every call asks the test hook first (file_fault.h)
// and, on failure, sets the last error (file_error.h). On Windows a path too long for the
// plain form is passed in its "\\?\" form, so the install's temporary names, which are longer
// than the names they stand for, never meet the 260-unit limit.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/file.h"
#include "platform/text.h"

namespace platform {

// The folder separator the system prefers.
#ifdef _WIN32
inline constexpr WChar kPreferredSeparator = WIDE('\\');
#else
inline constexpr WChar kPreferredSeparator = WIDE('/');
#endif

// What a name is. kUnknown: the system could not say (an error other than "not found"), so
// nothing may be concluded from it.
enum class PathKind { kMissing, kFile, kFolder, kUnknown };
PathKind Probe(const WString& path);

// True when `path` names anything (file or folder); false also when the system cannot say.
inline bool Exists(const WString& path) {
  const PathKind kind = Probe(path);
  return kind == PathKind::kFile || kind == PathKind::kFolder;
}
// True when `path` names a folder.
inline bool IsFolder(const WString& path) { return Probe(path) == PathKind::kFolder; }

// The process's current directory, without a trailing separator; empty on failure.
WString CurrentDirectory();
// The running program's own file path; empty on failure or when it does not fit.
WString ExecutablePath();

// Creates one folder (its parent must exist); false when it was not created.
bool CreateFolder(const WString& path);
// Removes one folder, only when it is empty; false when it was not removed.
bool RemoveFolder(const WString& path);
// True when `path` itself is a symbolic link (not what it points to). On Windows a junction
// is not one: users move large folders to other drives with junctions.
bool IsSymbolicLink(const WString& path);
// True when the folder `path` is where another volume may begin: on Windows a junction or a
// volume mounted on it, on POSIX a file system mounted there. What is written below it is
// flushed with that volume, not with its parent's.
bool IsMountPoint(const WString& path);
// True when the file `path` could be renamed or deleted now. On Windows it is opened for
// delete access: a program that holds it open without delete sharing (the client's log, say)
// makes it kBusy for as long as it runs, which a retry does not outlast.
bool CanDeleteNow(const WString& path);
// The bytes free for this user on the file system `path` (an existing folder) lies on.
bool FreeSpace(const WString& path, std::uint64_t& bytes);
bool GetFileInfo(const WString& path, FileInfo& info);
// Deletes a file, read-only or not.
bool RemoveFile(const WString& path);
// Renames a file, replacing an existing `to` when `replace` is set. Without `replace`, an
// existing `to` is refused atomically: no moment exists at which both names are taken.
bool RenameFile(const WString& from, const WString& to, bool replace);
// Copies the file `from` to `to`, replacing an existing `to`; false when the copy failed.
bool CopyFileReplacing(const WString& from, const WString& to);
// Asks the system to delete `path` when it next starts, for a file that is in use now (a
// running program can be renamed but not deleted); false when that cannot be arranged.
bool RemoveFileAtRestart(const WString& path);

// Calls `visit` with the name (its last step) of each file and folder in the folder `path`,
// "." and ".." left out, and what GetFileInfo would say of it; false when the folder cannot
// be read. On Windows the system hands the entries over in batches, sizes and all, so a folder
// of a thousand files costs a few calls rather than a thousand. POSIX lists names alone: there
// only the folder bit is set, and the size is FileInfo::kUnknownSize (asking for it would
// cost a call for each entry).
bool ListFolder(const WString& path,
                const std::function<void(const WString& name, const FileInfo& info)>& visit);

// Writes everything the system still holds for the volume that `path` lies on (data and
// names) to the disk, whatever the form of the path (drive letter, folder a volume is mounted
// on, volume name). False when there is no volume to flush (a network share) or the system
// refused; the caller then flushes file by file.
bool FlushFileSystem(const WString& path);
// Writes what the system still holds of the file `path` to the disk, a read-only file too.
bool FlushFile(const WString& path);
// Writes the names in the folder `path` (entries made, renamed, removed there) to the disk:
// what a flush of each file does not cover where the volume cannot be flushed whole.
bool FlushFolder(const WString& path);

}  // namespace platform
