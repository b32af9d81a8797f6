// The simulated disk's durability rules, one row each: what a flush keeps, and what a power
// cut that keeps a chosen part of the rest leaves. A rule too strong here would let the
// power-cut sweep pass an install that loses data on a real disk.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/update/simulated_disk.h"

namespace {

using platform::WString;
using updatetest::SimulatedDisk;
using ziptest::W;

#ifdef _WIN32
const WString kDir = L"C:\\d\\";
#else
const WString kDir = W("/d/");
#endif

void Put(const char* name, const char* bytes) {
  platform::File f = platform::File::Create(kDir + W(name), 0);
  ASSERT_TRUE(f && f.Write(bytes, std::char_traits<char>::length(bytes)) && f.Close());
}

struct Row {
  const char* what;
  SimulatedDisk::VolumeFlush volumeFlush;
  // Done on a disk where "old" holds "o", durable, and `kDir`m is another volume.
  std::function<void()> steps;
  const char* keep;  // one digit per operation not flushed, '1' kept; missing ones are lost
  const char* expected;
};

const Row kRows[] = {
    {"a write not flushed is lost whole", SimulatedDisk::VolumeFlush::kWorks, [] { Put("a", "x"); },
     "", "m/\nold = o\n"},
    {"kept in part: the name without the data", SimulatedDisk::VolumeFlush::kWorks,
     [] { Put("a", "x"); }, "1", "a = \nm/\nold = o\n"},
    {"a file's flush keeps its data and its creation", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       platform::File f = platform::File::Create(kDir + W("a"), 0);
       ASSERT_TRUE(f.Write("x", 1) && f.Flush());
     },
     "", "a = x\nm/\nold = o\n"},
    {"but not the folder it was made in", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       ASSERT_TRUE(platform::CreateFolder(kDir + W("n")));
       Put("n/a", "x");
       ASSERT_TRUE(platform::FlushFile(kDir + W("n/a")));
     },
     "", "m/\nold = o\n"},
    {"nor a rename of it", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       ASSERT_TRUE(platform::RenameFile(kDir + W("old"), kDir + W("new"), false));
       ASSERT_TRUE(platform::FlushFile(kDir + W("new")));
     },
     "", "m/\nold = o\n"},
    {"a rename of a file whose creation was lost is dropped", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       Put("a", "x");
       ASSERT_TRUE(platform::RenameFile(kDir + W("a"), kDir + W("b"), false));
     },
     "011", "m/\nold = o\n"},
    {"a folder's flush keeps the names in it, not their data", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       Put("a", "x");
       ASSERT_TRUE(platform::RemoveFile(kDir + W("old")));
       ASSERT_TRUE(platform::FlushFolder(kDir));
     },
     "", "a = \nm/\n"},
    {"a rename between folders: the new name with its folder, the old one stays",
     SimulatedDisk::VolumeFlush::kWorks,
     [] {
       ASSERT_TRUE(platform::RenameFile(kDir + W("old"), kDir + W("m/x"), false));
       ASSERT_TRUE(platform::FlushFolder(kDir + W("m")));
     },
     "", "m/\nm/x = o\nold = o\n"},
    {"a folder's removal kept takes what lost its own removal with it",
     SimulatedDisk::VolumeFlush::kWorks,
     [] {
       Put("m/f", "x");
       ASSERT_TRUE(platform::FlushFileSystem(kDir + W("m")));
       ASSERT_FALSE(platform::RemoveFolder(kDir + W("m")));  // not empty
       ASSERT_TRUE(platform::RemoveFile(kDir + W("m/f")));
       ASSERT_TRUE(platform::RemoveFolder(kDir + W("m")));
     },
     "01", "old = o\n"},
    {"the volume's flush keeps everything on it", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       Put("a", "x");
       ASSERT_TRUE(platform::FlushFileSystem(kDir));
     },
     "", "a = x\nm/\nold = o\n"},
    {"but nothing on a volume mounted below", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       Put("m/a", "x");
       ASSERT_TRUE(platform::FlushFileSystem(kDir));
     },
     "", "m/\nold = o\n"},
    {"a share refuses the volume's flush", SimulatedDisk::VolumeFlush::kRefused,
     [] {
       Put("a", "x");
       ASSERT_FALSE(platform::FlushFileSystem(kDir));
     },
     "", "m/\nold = o\n"},
    {"an open file is neither renamed nor removed", SimulatedDisk::VolumeFlush::kWorks,
     [] {
       platform::File f = platform::File::OpenForRead(kDir + W("old"));
       ASSERT_FALSE(platform::RenameFile(kDir + W("old"), kDir + W("new"), true));
       ASSERT_FALSE(platform::RemoveFile(kDir + W("old")));
       ASSERT_FALSE(platform::CanDeleteNow(kDir + W("old")));
     },
     "", "m/\nold = o\n"},
};

TEST(SimulatedDiskTest, FlushesKeepWhatTheySayAndACutAnySubsetOfTheRest) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    SimulatedDisk disk(row.volumeFlush);
    disk.MakeFolders(kDir + W("m"));
    disk.MountVolumeAt(kDir + W("m"));
    {
      updatetest::UseSimulatedDisk use(disk);
      Put("old", "o");
      disk.Settle();
      row.steps();
    }
    std::vector<bool> keep;
    for (const char* c = row.keep; *c != '\0'; ++c) keep.push_back(*c == '1');
    keep.resize(disk.Unflushed());
    EXPECT_EQ(updatetest::Describe(disk.AfterPowerCut(keep).Take(kDir)), row.expected)
        << disk.DescribeUnflushed(keep);
  }
}

}  // namespace
