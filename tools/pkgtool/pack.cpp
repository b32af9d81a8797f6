// pack: the update package from two release folders, written by libzip, refused before
// anything is written when the launcher would not install it whole, and proven by installing
// it over a copy of the old folder with the launcher's own install.
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_system.h"
#include "tools/pkgtool/commands.h"
#include "tools/pkgtool/folder_diff.h"
#include "tools/pkgtool/name_check.h"
#include "tools/pkgtool/package_writer.h"
#include "update/install_transaction.h"
#include "zip/item_path.h"
#include "zip/zip_extractor.h"

namespace pkgtool {

using platform::WString;

namespace {

// The most items the launcher's reader takes without ZIP64.
constexpr std::size_t kMaxItems = 0xFFFF;
// The largest file libzip deflates without a ZIP64 field: it keeps room for deflate's worst
// growth within 32 bits.
constexpr std::uint64_t kMaxItemBytes = 4293656963ull;
// The old version is copied for the trial install in pieces of this size.
constexpr std::size_t kCopyPiece = 256 * 1024;

WString Suffixed(const WString& path, const char* suffix) {
  WString out = path;
  for (const char* c = suffix; *c != '\0'; ++c) out += static_cast<platform::WChar>(*c);
  return out;
}

// The name check of the launcher over the items, as pack refuses them: every item the
// install would skip, refuse or let another replace. One line per refusal into `refusals`.
void RefuseNames(const std::vector<const TreeEntry*>& items, std::size_t rootUnits,
                 std::vector<std::string>& refusals) {
  NameCheck names(rootUnits, items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TreeEntry& e = *items[i];
    zip::ZipItem item;
    item.index = static_cast<std::int32_t>(i);
    item.storedName = e.folder ? e.name + "/" : e.name;
    item.attributes = e.folder ? std::uint32_t{platform::kAttrFolder} : 0u;
    item.flags = zip::kFlagUtf8Name;
    item.nameVerdict =
        zip::CleanItemName(item.storedName.data(), item.storedName.size(), item.name, true);
    std::vector<std::string> problems;
    std::vector<std::string> others;
    const std::uint32_t lookup =
        item.nameVerdict == zip::NameVerdict::kOk ? zip::ExtractOk : zip::ExtractUnsafeName;
    if (lookup != zip::ExtractOk) {
      problems.push_back(zip::DescribeItemProblem(item, lookup));
    } else if (Narrow(item.name) != item.storedName) {
      problems.push_back("the launcher would install it as " + Narrow(item.name));
    }
    if (e.size > kMaxItemBytes) {
      problems.push_back("too large: at most " + std::to_string(kMaxItemBytes) +
                         " bytes without ZIP64, which the launcher does not read");
    }
    names.Add(item, lookup, problems, others);
    // Two names Windows takes for one file: on the users' disks one would replace the other.
    for (const std::string& w : others) problems.push_back(w);
    for (const std::string& p : problems) {
      refusals.push_back("item " + std::to_string(i) + " " + item.storedName + ": " + p);
    }
  }
}

// Removes the folder `path` and everything in it; false when something stayed.
bool RemoveTree(const WString& path) {
  bool removed = true;
  std::vector<std::pair<WString, bool>> children;
  platform::ListFolder(path, [&](const WString& name, const platform::FileInfo& info) {
    children.emplace_back(path + platform::kPreferredSeparator + name,
                          (info.attributes & platform::kAttrFolder) != 0);
  });
  for (const auto& [child, folder] : children) {
    removed = (folder && !platform::IsSymbolicLink(child) ? RemoveTree(child)
                                                          : platform::RemoveFile(child)) &&
              removed;
  }
  return platform::RemoveFolder(path) && removed;
}

// Copies the file `from` to the new file `to` with the attributes `attributes`: the trial
// folder must hold the old version as users have it, read-only files included.
bool CopyWithAttributes(const WString& from, const WString& to, std::uint64_t size,
                        std::uint32_t attributes) {
  platform::File source = platform::File::OpenForRead(from);
  platform::File target = platform::File::CreateNew(to, attributes);
  if (!source || !target) return false;
  std::unique_ptr<unsigned char[]> piece(new unsigned char[kCopyPiece]);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t want =
        size - at < kCopyPiece ? static_cast<std::size_t>(size - at) : kCopyPiece;
    if (source.ReadAt(at, piece.get(), want) != static_cast<std::int64_t>(want) ||
        !target.Write(piece.get(), want)) {
      return false;
    }
    at += want;
  }
  return target.Close();
}

// Copies the listed tree of `from` into the new folder `to`.
bool CopyTree(const WString& from, const std::vector<TreeEntry>& entries, const WString& to) {
  if (!platform::CreateFolder(to)) return false;
  for (const TreeEntry& e : entries) {
    const WString target = JoinPath(to, e.name);
    if (e.folder ? !platform::CreateFolder(target)
                 : !CopyWithAttributes(JoinPath(from, e.name), target, e.size,
                                       e.attributes & kCarriedAttributes)) {
      return false;
    }
  }
  return true;
}

const char* AttributeText(std::uint32_t a) {
  switch (a & kCarriedAttributes) {
    case 0:
      return "none";
    case platform::kAttrReadOnly:
      return "readonly";
    case platform::kAttrHidden:
      return "hidden";
    default:
      return "readonly, hidden";
  }
}

// Compares what the trial install left in `trial` with the new folder: every name, file's
// bytes and attributes; names of the old folder that the new one lacks aside. One line per
// difference into `differences`.
void CompareWithNew(const WString& trial, const std::vector<TreeEntry>& result,
                    const WString& newRoot, const std::vector<TreeEntry>& newEntries,
                    const std::vector<const TreeEntry*>& leftovers,
                    std::vector<std::string>& differences) {
  std::unordered_map<WString, const TreeEntry*> byKey;
  for (const TreeEntry& e : result) byKey.emplace(e.key, &e);
  for (const TreeEntry& e : newEntries) {
    const auto found = byKey.find(e.key);
    if (found == byKey.end()) {
      differences.push_back(e.name + ": missing after the trial install");
      continue;
    }
    const TreeEntry& got = *found->second;
    if (got.folder != e.folder) {
      differences.push_back(e.name + ": a " + (got.folder ? "folder" : "file") +
                            " after the trial install, a " + (e.folder ? "folder" : "file") +
                            " in the new version");
      continue;
    }
    if (e.folder) continue;
    if (got.size != e.size || CompareBytes(JoinPath(trial, got.name), JoinPath(newRoot, e.name),
                                           e.size) != Comparison::kSame) {
      differences.push_back(e.name + ": other bytes after the trial install");
    } else if ((got.attributes & kCarriedAttributes) != (e.attributes & kCarriedAttributes)) {
      differences.push_back(e.name + ": attributes " + AttributeText(got.attributes) +
                            " after the trial install, " + AttributeText(e.attributes) +
                            " in the new version");
    }
  }
  std::unordered_map<WString, bool> expected;
  for (const TreeEntry& e : newEntries) expected.emplace(e.key, true);
  for (const TreeEntry* e : leftovers) expected.emplace(e->key, true);
  for (const TreeEntry& e : result) {
    if (expected.find(e.key) == expected.end()) {
      differences.push_back(e.name + ": in the folder after the trial install, in neither version");
    }
  }
}

// "1 item", "2 items".
std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int Pack(const PackOptions& o, std::FILE* out, std::FILE* err) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<TreeEntry> oldEntries, newEntries;
  std::string failed;
  if (!ListTree(o.from, oldEntries, failed) || !ListTree(o.to, newEntries, failed)) {
    std::fprintf(err, "pkgtool: pack: %s\n", failed.c_str());
    return 2;
  }
  FolderDiff diff;
  if (!DiffTrees(o.from, oldEntries, o.to, newEntries, o.full, diff, failed)) {
    std::fprintf(err, "pkgtool: pack: %s\n", failed.c_str());
    return 2;
  }

  // Everything that stops the pack is told before anything is written.
  std::vector<std::string> refusals;
  RefuseNames(diff.items, o.rootUnits, refusals);
  if (diff.items.size() > kMaxItems) {
    refusals.push_back(std::to_string(diff.items.size()) +
                       " items: the launcher reads at most 65535 (no ZIP64)");
  }
  for (const std::string& r : refusals) {
    std::fprintf(err, "pkgtool: pack: refused: %s\n", r.c_str());
  }
  for (const TreeEntry* e : diff.leftovers) {
    std::fprintf(err, "pkgtool: pack: %sleftover: %s%s (%s)\n", o.allowLeftovers ? "warning: " : "",
                 e->name.c_str(), e->folder ? "/" : "",
                 e->folder ? "a folder the new version does not have; an install leaves it"
                           : "a file the new version does not have; an install leaves it");
  }
  const bool leftoversStop = !diff.leftovers.empty() && !o.allowLeftovers;
  if (!refusals.empty() || leftoversStop) {
    std::fprintf(err, "pkgtool: pack: nothing written: %s refused, %s%s\n",
                 Count(refusals.size(), "name", "names").c_str(),
                 Count(diff.leftovers.size(), "leftover", "leftovers").c_str(),
                 leftoversStop ? " (--allow-leftovers packs all the same)" : "");
    return 1;
  }
  if (diff.items.empty()) {
    std::fprintf(err, "pkgtool: pack: nothing written: the new version holds nothing new\n");
    return 1;
  }

  // Written, signed and tried under a temporary name: only a package that installs the new
  // version whole ever has the name asked for.
  const WString partial = Suffixed(o.output, ".part~");
  const WString trial = Suffixed(o.output, ".trial~");
  platform::RemoveFile(partial);
  if (platform::IsFolder(trial)) RemoveTree(trial);
  const auto fail = [&](const std::string& why) {
    std::fprintf(err, "pkgtool: pack: %s; nothing written\n", why.c_str());
    platform::RemoveFile(partial);
    if (platform::IsFolder(trial)) RemoveTree(trial);
    return 1;
  };
  std::string why = WritePackage(partial, o.to, diff.items);
  if (!why.empty()) return fail("writing the package: " + why);
  if (!o.keyFile.empty()) {
    // Signed before the trial install, so that the bytes proven are the bytes shipped.
    const int signedRc = Sign(o.keyFile, o.passphraseEnv.empty() ? nullptr : &o.passphraseEnv,
                              o.release, partial, out, err);
    if (signedRc != 0) {
      platform::RemoveFile(partial);
      return signedRc;
    }
  }

  const auto trialStarted = std::chrono::steady_clock::now();
  if (!CopyTree(o.from, oldEntries, trial)) return fail("the old version could not be copied");
  update::InstallOptions options;
  std::vector<std::string> differences;
  options.report = [&](const update::ItemReport& r) {
    // The names were checked for the install folder; the trial folder's own path may be longer.
    differences.push_back(DisplayName(*r.item) + ": " +
                          (r.fate == update::ItemFate::kTooLong
                               ? std::string("its path in the trial folder passes 259 units: "
                                             "write the package to a folder with a shorter path")
                               : zip::DescribeItemProblem(*r.item, r.result)));
  };
  const update::InstallOutcome outcome = update::InstallPackage(partial, trial, options);
  if (outcome.result != update::InstallResult::kInstalled || outcome.skipped != 0) {
    for (const std::string& d : differences) {
      std::fprintf(err, "pkgtool: pack: trial install: %s\n", d.c_str());
    }
    Utf8Line line;
    update::WriteOutcome(line, outcome);
    return fail("the trial install over a copy of the old version failed: " + line.text);
  }
  std::vector<TreeEntry> result;
  if (!ListTree(trial, result, failed)) return fail("the trial install's folder: " + failed);
  differences.clear();
  CompareWithNew(trial, result, o.to, newEntries, diff.leftovers, differences);
  if (!differences.empty()) {
    for (const std::string& d : differences) {
      std::fprintf(err, "pkgtool: pack: trial install: %s\n", d.c_str());
    }
    return fail("the trial install over a copy of the old version did not give the new one");
  }
  RemoveTree(trial);
  const auto trialEnded = std::chrono::steady_clock::now();
  if (!platform::RenameFile(partial, o.output, true)) {
    return fail("the package could not be renamed into place");
  }
  std::uint64_t bytes = 0;
  for (const TreeEntry* e : diff.items) bytes += e->size;
  const auto ended = std::chrono::steady_clock::now();
  std::fprintf(out,
               "packed %s, %" PRIu64
               " bytes; installed over a copy of the old version it "
               "gives the new one (trial install %.3f s of %.3f s)\n",
               Count(diff.items.size(), "item", "items").c_str(), bytes,
               Seconds(trialEnded - trialStarted), Seconds(ended - started));
  return 0;
}

}  // namespace pkgtool
