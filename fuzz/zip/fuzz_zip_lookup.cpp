// Opens arbitrary bytes as an archive, looks every item up and reads each through to its
// CRC-32 without writing anything.
#include "fuzz/zip/fuzz_common.h"
#include "zip/zip_extractor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!zipfuzz::Prepare(data, size)) return 0;
  const auto& work = zipfuzz::WorkFolder();
  std::uint32_t rc = 0;
  auto ex = zip::ZipExtractor::Open(zipfuzz::W(work / "in.zip"), zipfuzz::W(work / "root"), &rc);
  if (!ex) return 0;
  zip::ZipItem item;
  ex->GetItem(-1, item);
  const std::int32_t count = item.index;
  for (std::int32_t i = 0; i < count; ++i) {
    if (ex->GetItem(i, item) == zip::ExtractOk) ex->TestItem(i);
  }
  // Backwards too: rewinding the cursor is a path of its own.
  for (std::int32_t i = count - 1; i >= 0 && i >= count - 4; --i) ex->GetItem(i, item);
  return 0;
}
