// The installs both sweeps run (every fault at every call on the real file system, every power
// cut on the simulated disk): an old version in the install folder, a package over it, and
// what tells the old version from the new one. One table: a row added here runs in both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tests/update/folder_state.h"
#include "tests/zip/zip_builder.h"
#include "update/install_transaction.h"

namespace updatetest {

// 2019-05-01 12:00:00 UTC, so that two copies of the old version compare equal.
inline constexpr platform::FileTime kOldTime = 132011280000000000u;

struct OldFile {
  std::string name;  // a folder ends in '/'
  std::string bytes;
  bool readOnly = false;
};

struct SweepCase {
  const char* what;
  std::vector<OldFile> old;  // folders before what they hold
  std::vector<ziptest::Entry> items;
  // The installed release's record the install writes with the items (empty: none).
  std::string sequenceRecord = std::string();
};

inline ziptest::Entry Item(std::string name, std::string data, bool readOnly = false) {
  ziptest::Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  if (readOnly) e.external = 0100444u << 16;
  if (!e.name.empty() && e.name.back() == '/') {
    e.method = 0;
    e.external = 040755u << 16;
  }
  return e;
}

// Bytes that deflate does not shrink, the same in every run.
inline std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

// Small installs, one of each kind of record, so that every pair of calls stays affordable.
inline const SweepCase kSweepCases[] = {
    {"replacing files, one read-only",
     {{"a.dll", "a1"}, {"b.dll", "b1"}, {"c.cfg", "c1", true}, {"keep.txt", "mine"}},
     {Item("a.dll", "a2"), Item("b.dll", "b2"), Item("c.cfg", "c2", true)}},
    {"new files in an old folder and in new ones",
     {{"sub/", ""}, {"sub/e.txt", "e1"}},
     {Item("sub/e.txt", "e2"), Item("sub/n.txt", "n2"), Item("new/f.txt", "f2"),
      Item("new/deeper/g.txt", "g2"), Item("top.txt", "t2")}},
    {"duplicates and folder items",
     {{"a.dll", "a1"}, {"data/", ""}},
     {Item("a.dll", "a2"), Item("logs/", ""), Item("A.DLL", "a3"), Item("data/", ""),
      Item("x/y.txt", "y2")}},
    // items whose data take several reads of the package each: a read that fails in any of
    // them is the disk's, never the package's
    {"items of several reads", {{"big.dat", "b1"}}, {Item("big.dat", Noise(1200000, 1))}},
    // The user's own file beside files the package replaces and adds: it must outlive every
    // outcome.
    {"a foreign file in a folder the package writes into",
     {{"app.exe", "x1"}, {"cfg/", ""}, {"cfg/user.ini", "mine"}},
     {Item("app.exe", "x2"), Item("cfg/defaults.ini", "d2")}},
    // The installed release's record goes with the files: new files beside the old number,
    // or the reverse, would let the older release back in, or keep the newer one out.
    {"a release record replaced with the files",
     {{"a.dll", "a1"}, {"update.sequence", "41\n"}},
     {Item("a.dll", "a2"), Item("sub/b.txt", "b2")},
     "42\n"},
    {"a first release record", {{"a.dll", "a1"}}, {Item("a.dll", "a2")}, "1\n"},
};

// The install options of a sweep: surviving a power loss, with the case's record.
inline update::InstallOptions SweepOptions(const SweepCase& c) {
  update::InstallOptions options;
  options.flush = true;
  options.sequenceRecord = c.sequenceRecord;
  return options;
}

// The bytes of the case's package.
inline std::string PackageBytes(const SweepCase& c) {
  ziptest::Archive a;
  a.entries = c.items;
  return ziptest::Build(a);
}

// Writes the case's old version into the existing folder `root` (ending in a separator)
// through the seam, so that it serves the real file system and the simulated disk alike.
inline bool WriteOldVersion(const SweepCase& c, const platform::WString& root) {
  for (const OldFile& f : c.old) {
    platform::WString path = root + ziptest::W(f.name);
    for (platform::WChar& ch : path) {
      if (ch == WIDE('/')) ch = platform::kPreferredSeparator;
    }
    if (f.name.back() == '/') {
      if (!platform::CreateFolder(path.substr(0, path.size() - 1))) return false;
      continue;
    }
    const std::uint32_t attributes = f.readOnly ? std::uint32_t{platform::kAttrReadOnly} : 0u;
    platform::File file = platform::File::Create(path, attributes);
    if (!file || !file.Write(f.bytes.data(), f.bytes.size()) ||
        !file.SetTimes(platform::FileTimes{kOldTime, kOldTime, kOldTime}) || !file.Close()) {
      return false;
    }
  }
  return true;
}

// Names, bytes and attributes: a file's times are set as a courtesy, and a failure to set them
// fails nothing.
inline Snapshot WithoutTimes(Snapshot s) {
  for (auto& [name, state] : s) state.modification = 0;
  return s;
}

// Whether `now` is the old version `old`, but for the old files in `lost` (taken away by a
// fault: nothing could bring them back), whose names may stand empty or hold the new version's
// (`fresh`) file.
inline bool IsOldVersion(const Snapshot& now, const Snapshot& old, const Snapshot& fresh,
                         const std::set<std::string>& lost = {}) {
  for (const auto& [name, state] : old) {
    const auto found = now.find(name);
    if (lost.count(name) != 0) {
      const auto added = fresh.find(name);
      if (found != now.end() && !(found->second == state) &&
          !(added != fresh.end() && found->second == added->second)) {
        return false;
      }
    } else if (found == now.end() || !(found->second == state)) {
      return false;
    }
  }
  for (const auto& entry : now) {
    if (old.count(entry.first) == 0) return false;
  }
  return true;
}

// Staging a download, in both sweeps: what the install folder holds before the launch,
// besides the download.
struct StagingCase {
  const char* what;
  bool olderStaged;  // an older package staged by an earlier launch
  bool stoppedCopy;  // a copy that a stopped launch left
};
inline const StagingCase kStagingCases[] = {
    {"a download alone", false, false},
    // neither the older package nor a stump of a copy may pass for the new one
    {"a download over an older staged package and a stopped copy", true, true},
};

// Which first faults or cuts this process sweeps: with SWEEP_SHARD=K/N in the environment,
// every N-th from the K-th (counting from 0), so that N processes share one sweep between the
// machine's cores; without it, all.
class Shard {
 public:
  Shard() {
    unsigned index = 0, count = 0;
    const char* text = std::getenv("SWEEP_SHARD");
    if (text != nullptr && std::sscanf(text, "%u/%u", &index, &count) == 2 && index < count) {
      index_ = index;
      count_ = count;
    }
  }
  bool Takes(std::uint64_t i) const { return i % count_ == index_; }

 private:
  std::uint64_t index_ = 0, count_ = 1;
};

}  // namespace updatetest
