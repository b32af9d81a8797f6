// A disk in memory behind the file seam that can lose power, as SQLite's crash-test layer
// (src/test6.c) simulates an operating-system crash. Every seam call goes to it while a
// UseSimulatedDisk lives; files opened on it stay its own.
//
// Durability model. The disk keeps, apart, what was flushed (the durable state) and every
// operation since, in order: file creations, writes with their bytes, size changes, attribute
// and time changes, renames, removals, folders made and removed. A flush makes operations
// durable:
//   - FlushFileSystem(path): every operation on the volume `path` leads to (a folder marked
//     with MountVolumeAt begins another volume); refused, flushing nothing, when the disk was
//     made with VolumeFlush::kRefused, as a network share refuses it;
//   - File::Flush, FlushFile(path): that file's data, attributes and times, and its own
//     creation, nothing else (not the folder it was made in, nor a rename of it);
//   - FlushFolder(folder): the name operations of entries directly in that folder. A rename
//     between two folders is two operations, the new name in one and the old name's removal
//     in the other, each made durable by its own folder's flush: a cut may leave both names.
//     A folder is renamed whole, one operation of the folder it lies in. A folder is known by
//     itself: its flush covers the names made in it under an earlier name too.
// Ordering: the weakest, as on FAT. A power cut keeps any subset of the operations not yet
// durable, chosen by the test; the durable ones and the kept ones are applied in their original
// order onto the last durable state, and one that no longer applies there (a write to a file
// whose creation was lost, a rename of a name that is not there) is dropped. A write is kept or
// lost whole: torn sectors are not modelled.
//
// Sharing follows Windows: a file open for writing is opened by no one else, one open for
// reading by readers only, and an open file is neither renamed nor removed (kBusy). Names are
// compared as the platform's own file system does (case-insensitively on Windows).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/file_simulated.h"
#include "tests/update/folder_state.h"

namespace updatetest {

class SimulatedDisk final : public platform::detail::SimulatedFileSystem {
 public:
  enum class VolumeFlush { kWorks, kRefused };
  explicit SimulatedDisk(VolumeFlush volumeFlush = VolumeFlush::kWorks)
      : volumeFlush_(volumeFlush) {}

  // Makes `folder` and the folders on its way, durable at once: where a test's tree begins.
  void MakeFolders(const platform::WString& folder);
  // Marks the existing folder `folder` as where another volume begins.
  void MountVolumeAt(const platform::WString& folder);
  // Makes every operation so far durable, as a clean shutdown would.
  void Settle();
  // The operations a power cut may lose now.
  std::size_t Unflushed() const;
  // The disk after a power cut that kept the lost-able operations whose bit in `keep` is set
  // (Unflushed() bits): no file open, the deletions asked for at restart done.
  SimulatedDisk AfterPowerCut(const std::vector<bool>& keep) const;
  // The lost-able operations, those `keep` keeps marked '+', one a line, for failure reports.
  std::string DescribeUnflushed(const std::vector<bool>& keep) const;
  // What the folder `folder` holds now, as updatetest::Take reads a real one.
  Snapshot Take(const platform::WString& folder) const;

  // platform::detail::SimulatedFileSystem
  std::uint32_t Open(platform::FileCall how, const platform::WString& path,
                     std::uint32_t attributes) override;
  std::int64_t ReadAt(std::uint32_t file, std::uint64_t offset, void* buffer,
                      std::size_t length) override;
  bool Write(std::uint32_t file, const std::uint64_t* offset, const void* data,
             std::size_t length) override;
  bool SetSize(std::uint32_t file, std::uint64_t size) override;
  bool Flush(std::uint32_t file) override;
  bool Size(std::uint32_t file, std::uint64_t& size) override;
  bool SetTimes(std::uint32_t file, const platform::FileTimes& times) override;
  bool Inspect(std::uint32_t file, platform::OpenedFileInfo& info) override;
  bool RemoveOpened(std::uint32_t file) override;
  void Close(std::uint32_t file) override;
  platform::PathKind Probe(const platform::WString& path) override;
  bool CreateFolder(const platform::WString& path) override;
  bool RemoveFolder(const platform::WString& path) override;
  bool IsSymbolicLink(const platform::WString& path) override;
  bool IsMountPoint(const platform::WString& path) override;
  bool CanDeleteNow(const platform::WString& path) override;
  bool FreeSpace(const platform::WString& path, std::uint64_t& bytes) override;
  bool GetFileInfo(const platform::WString& path, platform::FileInfo& info) override;
  bool RemoveFile(const platform::WString& path) override;
  bool RenameFile(const platform::WString& from, const platform::WString& to,
                  bool replace) override;
  bool CopyFileReplacing(const platform::WString& from, const platform::WString& to) override;
  bool RemoveFileAtRestart(const platform::WString& path) override;
  bool ListFolder(const platform::WString& path,
                  const std::function<void(const platform::WString& name,
                                           const platform::FileInfo& info)>& visit) override;
  bool FlushFileSystem(const platform::WString& path) override;
  bool FlushFile(const platform::WString& path) override;
  bool FlushFolder(const platform::WString& path) override;

 private:
  using Key = platform::WString;  // a path as the file system compares it
  struct Entry {
    platform::WString path;  // as it was given, '/'-separated
    bool folder = false;
    std::uint64_t file = 0;  // a file's identity in State::files; a folder's own
  };
  // Bytes shared between the states a sweep copies, copied only when written.
  using Bytes = std::shared_ptr<const std::string>;
  struct Data {
    Bytes bytes = std::make_shared<const std::string>();
    std::uint32_t attributes = 0;
    platform::FileTime modification = 0;
  };
  struct State {
    std::map<Key, Entry> names;
    std::map<std::uint64_t, Data> files;
  };
  struct Op {
    // A rename between two folders is two operations, as each folder's entries are written
    // apart: kLink, the new name in the destination, then kRemove of the old one.
    enum Kind {
      kMakeFile,
      kMakeFolder,
      kRemoveFolder,
      kRemove,
      kRename,
      kLink,
      kWrite,
      kSetSize,
      kMeta
    };
    Kind kind = kWrite;
    Key key, toKey;                       // names operations: the name, and a rename's new one
    platform::WString path, to;           // as given
    std::uint64_t file = 0;               // kMakeFile and the data operations
    std::uint64_t offset = 0;             // kWrite; kSetSize: the size
    Bytes bytes;                          // kWrite
    std::uint32_t attributes = 0;         // kMakeFile, kMeta
    platform::FileTime modification = 0;  // kMeta, when not 0
    bool replace = false;                 // kRename, kLink
    Key volume;                           // the mount point it lies under ("" the main one)
    std::uint64_t parent = 0;             // the identity of the folder its name lies in
    bool durable = false;
  };
  struct Handle;
  // A data operation (kWrite, kSetSize, kMeta) on the file `h` holds.
  static Op OnHandle(Op::Kind kind, const Handle& h);
  struct Handle {
    std::uint64_t file = 0;
    Key key;                 // its name: an open file is never renamed
    platform::WString path;  // the same, as it was given
    bool write = false;
    std::uint64_t position = 0;
    bool removeOnClose = false;  // RemoveOpened: the name goes at Close
    bool folder = false;         // a folder opened as itself (File::OpenNoFollow)
  };

  static Key Normal(const platform::WString& path, platform::WString* display = nullptr);
  static Key Parent(const Key& key);
  static bool Apply(State& state, const Op& op);
  // Takes the name `at` away, and its file's data once no name is left to it.
  static void Unname(State& state, std::map<Key, Entry>::iterator at);
  // Does `op` on the live state; records it when it applied. False (kOther) when it did not.
  bool Do(Op op);
  Key VolumeOf(const Key& key) const;
  const Entry* Find(const platform::WString& path, Key& key) const;
  bool IsOpen(std::uint64_t file) const;
  Handle* Held(std::uint32_t file);
  void Compact();
  void MarkDurable(std::uint64_t file);
  bool Fail(platform::FileError error) const;

  VolumeFlush volumeFlush_;
  State durable_;  // what the disk holds for certain
  State now_;      // what the running system sees
  std::vector<Op> ops_;
  std::set<Key> mountPoints_;
  std::map<std::uint32_t, Handle> handles_;
  std::set<Key> atRestart_;
  std::uint64_t nextFile_ = 1;
  std::uint32_t nextHandle_ = 1;
};

// Sends every seam call to `disk` while it lives.
class UseSimulatedDisk {
 public:
  explicit UseSimulatedDisk(SimulatedDisk& disk) {
    platform::detail::SetSimulatedFileSystem(&disk);
  }
  ~UseSimulatedDisk() { platform::detail::SetSimulatedFileSystem(nullptr); }
  UseSimulatedDisk(const UseSimulatedDisk&) = delete;
  UseSimulatedDisk& operator=(const UseSimulatedDisk&) = delete;
};

}  // namespace updatetest
