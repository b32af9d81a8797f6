#include "tools/pkgtool/folder_diff.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "platform/file_system.h"

namespace pkgtool {

using platform::WString;

namespace {

// Both files are read in pieces of this size: enough to keep the system's calls few, little
// enough to hold two at once.
constexpr std::size_t kComparePiece = 256 * 1024;

std::string Utf8(const WString& text) {
  std::string narrow;
  platform::Utf16ToUtf8(text, narrow);
  return narrow;
}

bool ListInto(const WString& root, const WString& relative, const std::string& relativeName,
              std::vector<TreeEntry>& entries, std::string& failed) {
  const WString folder = relative.empty() ? root : root + platform::kPreferredSeparator + relative;
  std::vector<std::pair<WString, platform::FileInfo>> children;
  if (!platform::ListFolder(folder, [&](const WString& name, const platform::FileInfo& info) {
        children.emplace_back(name, info);
      })) {
    failed = (relativeName.empty() ? std::string(".") : relativeName) + ": cannot be read";
    return false;
  }
  for (auto& [name, info] : children) {
    const WString childRelative =
        relative.empty() ? name : relative + platform::kPreferredSeparator + name;
    const WString full = root + platform::kPreferredSeparator + childRelative;
    TreeEntry e;
    e.name = relativeName.empty() ? Utf8(name) : relativeName + "/" + Utf8(name);
    // A link would put another folder's files, or a loop, into the package.
    if (platform::IsSymbolicLink(full)) {
      failed = e.name + ": a symbolic link (pack takes files and folders only)";
      return false;
    }
    // POSIX lists names alone.
    if (info.size == platform::FileInfo::kUnknownSize && !platform::GetFileInfo(full, info)) {
      failed = e.name + ": cannot be read";
      return false;
    }
    e.folder = (info.attributes & platform::kAttrFolder) != 0;
    e.size = e.folder ? 0 : info.size;
    e.attributes = info.attributes;
    e.modification = info.modification;
    e.key = platform::FoldCase(childRelative);
    entries.push_back(e);
    if (e.folder) {
      const std::size_t at = entries.size() - 1;
      if (!ListInto(root, childRelative, e.name, entries, failed)) return false;
      entries[at].empty = entries.size() == at + 1;
    }
  }
  return true;
}

}  // namespace

WString JoinPath(const WString& root, const std::string& name) {
  WString relative;
  platform::Utf8ToUtf16(name, relative);
  for (platform::WChar& c : relative) {
    if (c == WIDE('/')) c = platform::kPreferredSeparator;
  }
  return root + platform::kPreferredSeparator + relative;
}

bool ListTree(const WString& root, std::vector<TreeEntry>& entries, std::string& failed) {
  entries.clear();
  if (!platform::IsFolder(root)) {
    failed = Utf8(root) + ": not a folder";
    return false;
  }
  if (!ListInto(root, WString(), std::string(), entries, failed)) return false;
  // The package's order: names as bytes, so that the same folder gives the same package on
  // every system whatever order its listing comes in.
  std::sort(entries.begin(), entries.end(),
            [](const TreeEntry& a, const TreeEntry& b) { return a.name < b.name; });
  return true;
}

Comparison CompareBytes(const WString& a, const WString& b, std::uint64_t size) {
  platform::File fa = platform::File::OpenForRead(a);
  platform::File fb = platform::File::OpenForRead(b);
  if (!fa || !fb) return Comparison::kUnreadable;
  std::unique_ptr<unsigned char[]> pa(new unsigned char[kComparePiece]);
  std::unique_ptr<unsigned char[]> pb(new unsigned char[kComparePiece]);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t want =
        size - at < kComparePiece ? static_cast<std::size_t>(size - at) : kComparePiece;
    if (fa.ReadAt(at, pa.get(), want) != static_cast<std::int64_t>(want) ||
        fb.ReadAt(at, pb.get(), want) != static_cast<std::int64_t>(want)) {
      return Comparison::kUnreadable;
    }
    if (!std::equal(pa.get(), pa.get() + want, pb.get())) return Comparison::kDifferent;
    at += want;
  }
  return Comparison::kSame;
}

bool DiffTrees(const WString& oldRoot, const std::vector<TreeEntry>& oldEntries,
               const WString& newRoot, const std::vector<TreeEntry>& newEntries, bool full,
               FolderDiff& diff, std::string& failed) {
  diff = FolderDiff();
  // Names as Windows compares them: a file spelt in another case in the new version is the
  // same file on the users' disks, and keeps its old spelling there.
  std::unordered_map<WString, const TreeEntry*> oldByKey;
  for (const TreeEntry& e : oldEntries) oldByKey.emplace(e.key, &e);
  std::unordered_map<WString, const TreeEntry*> newByKey;
  for (const TreeEntry& e : newEntries) newByKey.emplace(e.key, &e);

  for (const TreeEntry& e : newEntries) {
    const auto found = oldByKey.find(e.key);
    const TreeEntry* old = found == oldByKey.end() ? nullptr : found->second;
    if (e.folder) {
      if (e.empty && (full || old == nullptr || !old->folder)) diff.items.push_back(&e);
      continue;
    }
    bool carry = full || old == nullptr || old->folder || old->size != e.size ||
                 (old->attributes & kCarriedAttributes) != (e.attributes & kCarriedAttributes);
    if (!carry) {
      switch (CompareBytes(JoinPath(oldRoot, old->name), JoinPath(newRoot, e.name), e.size)) {
        case Comparison::kSame:
          break;
        case Comparison::kDifferent:
          carry = true;
          break;
        case Comparison::kUnreadable:
          failed = e.name + ": cannot be read (in the old or the new folder)";
          return false;
      }
    }
    if (carry) diff.items.push_back(&e);
  }
  for (const TreeEntry& e : oldEntries) {
    if (newByKey.find(e.key) == newByKey.end()) diff.leftovers.push_back(&e);
  }
  return true;
}

}  // namespace pkgtool
