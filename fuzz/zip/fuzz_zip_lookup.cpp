// Opens arbitrary bytes as an archive, looks every item up and reads each through to its
// CRC-32 without writing anything. Then reads every entry again through the reader's two
// decoders, whole and streamed, and aborts where they disagree.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fuzz/zip/fuzz_common.h"
#include "zip/zip_extractor.h"
#include "zip/zip_reader.h"

namespace {

// What reading one entry through to its end gave.
struct Outcome {
  int result = 0;               // the failing read's result, or 0 once the end was delivered
  std::uint64_t delivered = 0;  // bytes delivered, counted only when the end was reached
  std::uint32_t crc = 0;        // their CRC-32, likewise
  int closed = 0;               // CloseItem's result
};

Outcome ReadEntry(zip::ZipArchive& archive, unsigned char* buffer, bool whole) {
  Outcome o;
  archive.OpenItem(nullptr);
  for (;;) {
    bool end = false;
    const int n = whole ? archive.ReadWholeItem(buffer, zip::kWholeItemSize, &end)
                        : archive.ReadItem(buffer, zip::kOutputBufferSize, &end);
    if (n < 0 || (n == 0 && !end)) {
      // A failing call's bytes are not counted, and the two deliver in different pieces.
      o.result = n < 0 ? n : zip::ZipBadArchive;
      o.delivered = 0;
      o.crc = 0;
      break;
    }
    o.delivered += static_cast<std::uint64_t>(n);
    o.crc = static_cast<std::uint32_t>(crc32(o.crc, buffer, static_cast<uInt>(n)));
    if (end) break;
  }
  o.closed = archive.CloseItem();
  return o;
}

void CompareDecoders(const zipfuzz::fs::path& path) {
  auto archive = zip::ZipArchive::Open(zip::ZipSource::Open(zipfuzz::W(path)));
  if (!archive) return;
  static std::unique_ptr<unsigned char[]> buffer(new unsigned char[zip::kWholeItemSize]);
  for (int rc = archive->GoToFirstEntry(); rc == zip::ZipOk; rc = archive->GoToNextEntry()) {
    if (archive->currentRecord().uncompressedSize == 0) continue;
    const Outcome whole = ReadEntry(*archive, buffer.get(), true);
    const Outcome streamed = ReadEntry(*archive, buffer.get(), false);
    if (whole.result == streamed.result && whole.delivered == streamed.delivered &&
        whole.crc == streamed.crc && whole.closed == streamed.closed) {
      continue;
    }
    // libdeflate decodes a few codings zlib refuses as invalid data (ReadWholeItem's comment
    // names them): then the whole decoding reaches the end and the CRC-32 judges the bytes.
    if (streamed.result == Z_DATA_ERROR && whole.result == 0) continue;
    std::fprintf(stderr,
                 "entry %u: whole %d, %llu bytes, CRC %08x, closed %d; streamed %d, %llu bytes, "
                 "CRC %08x, closed %d\n",
                 archive->currentEntryNumber(), whole.result,
                 static_cast<unsigned long long>(whole.delivered), whole.crc, whole.closed,
                 streamed.result, static_cast<unsigned long long>(streamed.delivered), streamed.crc,
                 streamed.closed);
    std::abort();
  }
}

}  // namespace

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
  ex.reset();
  CompareDecoders(work / "in.zip");
  return 0;
}
