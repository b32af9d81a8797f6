// Finds items whose compressed data overlap another item's local header or data. An archive
// can point many directory records at one compressed stream, or let one item's data hold the
// next item's header, so that a package of a megabyte writes gigabytes: each such item is
// refused, so no byte of the archive is read for two items.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zip/zip_reader.h"

namespace zip {

// Some tools let an item's data run this many bytes into the next item's local header; a
// deflate stream ends on its own, so those bytes are never written twice.
inline constexpr std::uint64_t kToleratedOverlapBytes = 2;

struct ItemSpan {
  std::uint32_t index = 0;  // entry number
  std::uint64_t start = 0;  // local header offset
  std::uint64_t end = 0;    // one past the compressed data; more than kToleratedOverlapBytes
                            // past `start` (a local header alone is 30 bytes)
};

// Marks, out of `count` entries, each whose span overlaps another span by more than
// kToleratedOverlapBytes. Entries without a span are never marked.
std::vector<bool> FindOverlaps(std::vector<ItemSpan> spans, std::uint32_t count);

// Walks every entry of `archive` and marks the overlapping ones. An entry whose local header
// does not check out cannot be read at all, so it claims no span. Leaves the cursor on the
// first entry. Nothing when the walk's memory cannot be had: the archive cannot be checked.
// `declaredTotal` (may be null) receives the sum of the walked entries' uncompressed sizes,
// the most that extracting them all can write.
std::optional<std::vector<bool>> FindOverlappingItems(ZipArchive& archive,
                                                      std::uint64_t* declaredTotal = nullptr);

}  // namespace zip
