// Two release folders side by side, for pack: every file and folder of each, what the new
// one has that the old one lacks or holds otherwise, and what an install of the difference
// leaves behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"

namespace pkgtool {

// One file or folder of a release folder.
struct TreeEntry {
  std::string name;       // relative, UTF-8, '/' between steps, no trailing '/'
  platform::WString key;  // the relative name as Windows compares names (platform::FoldCase)
  bool folder = false;
  bool empty = false;  // a folder that holds nothing
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;  // platform::kAttr* bits
  platform::FileTime modification = 0;
};

// The attribute bits a package carries for a file and the proof compares.
inline constexpr std::uint32_t kCarriedAttributes = platform::kAttrReadOnly | platform::kAttrHidden;

// Every file and folder under `root`, sorted by the bytes of their names. False when a folder
// or file could not be read, or is a symbolic link: `failed` names it and says why.
bool ListTree(const platform::WString& root, std::vector<TreeEntry>& entries, std::string& failed);

// `root` joined with an entry's name, in the system's separators.
platform::WString JoinPath(const platform::WString& root, const std::string& name);

enum class Comparison { kSame, kDifferent, kUnreadable };

// Whether the files `a` and `b` of `size` bytes each hold the same bytes.
Comparison CompareBytes(const platform::WString& a, const platform::WString& b, std::uint64_t size);

struct FolderDiff {
  // What the package carries, in the package's order: files of the new folder that the old
  // one lacks or holds with other bytes or attributes (all of them when full), and its empty
  // folders that the old one lacks (all when full).
  std::vector<const TreeEntry*> items;
  // What the old folder has and the new one does not: an install removes nothing.
  std::vector<const TreeEntry*> leftovers;
};

// Compares the listed trees of `oldRoot` and `newRoot`. False when a file could not be read:
// `failed` says which.
bool DiffTrees(const platform::WString& oldRoot, const std::vector<TreeEntry>& oldEntries,
               const platform::WString& newRoot, const std::vector<TreeEntry>& newEntries,
               bool full, FolderDiff& diff, std::string& failed);

}  // namespace pkgtool
