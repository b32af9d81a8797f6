#include "zip/item_overlap.h"

#include <algorithm>
#include <new>

namespace zip {

std::vector<bool> FindOverlaps(std::vector<ItemSpan> spans, std::uint32_t count) {
  std::vector<bool> overlapping(count, false);
  std::sort(spans.begin(), spans.end(), [](const ItemSpan& a, const ItemSpan& b) {
    return a.start != b.start ? a.start < b.start : a.index < b.index;
  });
  // In start order, a span that begins too far before the furthest end in front of it
  // overlaps a span there; one that ends too far past the start of the span behind it
  // overlaps that one. Every span is longer than the tolerance, so these two tests mark both
  // members of every overlapping pair.
  std::uint64_t furthestEnd = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const ItemSpan& span = spans[i];
    const bool intoEarlier = i > 0 && furthestEnd > span.start + kToleratedOverlapBytes;
    const bool intoLater =
        i + 1 < spans.size() && span.end > spans[i + 1].start + kToleratedOverlapBytes;
    if ((intoEarlier || intoLater) && span.index < count) overlapping[span.index] = true;
    furthestEnd = std::max(furthestEnd, span.end);
  }
  return overlapping;
}

std::optional<std::vector<bool>> FindOverlappingItems(ZipArchive& archive,
                                                      std::uint64_t* declaredTotal) {
  if (declaredTotal) *declaredTotal = 0;
  try {
    std::vector<ItemSpan> spans;
    spans.reserve(archive.entryCount());
    for (int rc = archive.GoToFirstEntry(); rc == ZipOk; rc = archive.GoToNextEntry()) {
      if (declaredTotal) *declaredTotal += archive.currentRecord().uncompressedSize;
      ItemSpan span;
      span.index = archive.currentEntryNumber();
      if (archive.CurrentEntrySpan(&span.start, &span.end) == ZipOk) spans.push_back(span);
    }
    archive.GoToFirstEntry();
    return FindOverlaps(std::move(spans), archive.entryCount());
  } catch (const std::bad_alloc&) {
    archive.GoToFirstEntry();
    return std::nullopt;
  }
}

}  // namespace zip
