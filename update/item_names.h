// The names of one package's items as the install folder sees them: compared as Windows
// compares names (case-folded), every folder on an item's way a folder of the package too. The
// install's plan and pkgtool check both decide with it, so that they cannot disagree on which
// items are one file, or a file and a folder of one name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace update {

class ItemNames {
 public:
  // What a step of an item's name meets among the names taken before.
  enum class Meeting {
    kNew,            // no earlier item has the name
    kSameFolder,     // a folder of an earlier item: nothing more to decide
    kSameFile,       // a file of an earlier item: the later item's bytes replace its
    kFileAndFolder,  // a file where a folder is, or the other way round: the package's fault
  };

  // Room for `expected` names; `seed` varies the hash per install, so that a package cannot
  // be made to hit a chosen collision (about 2^-32 by accident for the largest archive).
  ItemNames(std::size_t expected, std::uint64_t seed);

  // Takes the name `relative` (system separators, no empty steps) of the next item: steps
  // 0 .. steps() - 2 are the folders on its way, the last the item itself.
  void Take(const platform::WString& relative);
  std::size_t steps() const { return steps_.size(); }
  // The units of the name up to step `i` (the folder's relative name is that long).
  std::size_t stepUnits(std::size_t i) const { return steps_[i].first; }
  // What step `i`, as a folder or a file, meets; `value` receives what was added with the
  // earlier name.
  Meeting Meet(std::size_t i, bool folder, std::uint32_t& value) const;
  // Adds step `i` with a caller's value (an item index, a record number).
  void Add(std::size_t i, bool folder, std::uint32_t value);

 private:
  static constexpr std::uint64_t kFolderBit = 1ull << 32;
  const std::uint64_t* Find(std::uint64_t key) const;
  void Put(std::uint64_t key, std::uint64_t value);
  void Grow();

  std::uint64_t seed_;
  // Open addressing with linear probing, at most three quarters full; key 0 is free.
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> values_;  // kFolderBit | the caller's value
  std::size_t used_ = 0;
  // Per step of the name taken last: its units and the hash of its folded form up to there.
  std::vector<std::pair<std::size_t, std::uint64_t>> steps_;
};

}  // namespace update
