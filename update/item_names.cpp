#include "update/item_names.h"

#include "platform/file_system.h"

namespace update {
namespace {

std::uint64_t Nonzero(std::uint64_t key) { return key == 0 ? 1 : key; }

}  // namespace

ItemNames::ItemNames(std::size_t expected, std::uint64_t seed) : seed_(seed) {
  const std::size_t slots = expected * 4 / 3 + 64;
  keys_.assign(slots, 0);
  values_.assign(slots, 0);
}

void ItemNames::Take(const platform::WString& relative) {
  const platform::WString folded = platform::FoldCase(relative);
  steps_.clear();
  // FNV-1a over the UTF-16 units, its state noted at each separator.
  std::uint64_t h = 0xcbf29ce484222325u ^ seed_;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (folded[i] == platform::kPreferredSeparator) steps_.emplace_back(i, h);
    h = (h ^ static_cast<std::uint16_t>(folded[i])) * 0x100000001b3u;
  }
  steps_.emplace_back(folded.size(), h);
}

ItemNames::Meeting ItemNames::Meet(std::size_t i, bool folder, std::uint32_t& value) const {
  const std::uint64_t* found = Find(steps_[i].second);
  if (found == nullptr) return Meeting::kNew;
  value = static_cast<std::uint32_t>(*found);
  const bool wasFolder = (*found & kFolderBit) != 0;
  if (wasFolder != folder) return Meeting::kFileAndFolder;
  return folder ? Meeting::kSameFolder : Meeting::kSameFile;
}

void ItemNames::Add(std::size_t i, bool folder, std::uint32_t value) {
  if ((used_ + 1) * 4 > keys_.size() * 3) Grow();
  Put(Nonzero(steps_[i].second), (folder ? kFolderBit : 0) | value);
  ++used_;
}

const std::uint64_t* ItemNames::Find(std::uint64_t key) const {
  key = Nonzero(key);
  for (std::size_t i = key % keys_.size();; i = i + 1 == keys_.size() ? 0 : i + 1) {
    if (keys_[i] == key) return &values_[i];
    if (keys_[i] == 0) return nullptr;
  }
}

void ItemNames::Put(std::uint64_t key, std::uint64_t value) {
  std::size_t i = key % keys_.size();
  while (keys_[i] != 0) i = i + 1 == keys_.size() ? 0 : i + 1;
  keys_[i] = key;
  values_[i] = value;
}

void ItemNames::Grow() {
  std::vector<std::uint64_t> keys(keys_.size() * 2, 0);
  std::vector<std::uint64_t> values(values_.size() * 2, 0);
  keys.swap(keys_);
  values.swap(values_);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != 0) Put(keys[i], values[i]);
  }
}

}  // namespace update
