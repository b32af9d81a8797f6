// The floors of the extraction benchmark, measured with nothing of the launcher's code:
//   zip_floor inflate ARCHIVE      zlib's raw inflate and CRC-32 of every item, from a copy of
//                                  the archive in memory, nothing written
//   zip_floor pieces IN OUT ARCHIVE  the same, fed IN bytes of compressed data and drained OUT
//                                  bytes at a time, as the launcher's reader and extractor are
//   zip_floor libdeflate ARCHIVE   libdeflate's whole-buffer decoding and CRC-32 of every item,
//                                  from memory into a buffer as large as the largest item
//   zip_floor whole LIMIT IN OUT ARCHIVE  items of up to LIMIT bytes whose compressed data fit
//                                  IN decoded whole by libdeflate, the others inflated by zlib
//                                  in pieces as above; libdeflate's CRC-32 for all
//   zip_floor write ARCHIVE DEST   every item inflated into memory first (not timed), then
//                                  only the writing: folders, create, write, close
// Each prints the seconds of its timed part. Plain archives only (no ZIP64, no encryption),
// as the benchmark makes them.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Item {
  std::string name;
  std::uint32_t method = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t size = 0;
  std::size_t dataOffset = 0;  // in the archive
};

std::uint32_t Get16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t Get32(const unsigned char* p) {
  return Get16(p) | (static_cast<std::uint32_t>(Get16(p + 2)) << 16);
}

bool ReadAll(const char* path, std::vector<unsigned char>& out) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char chunk[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    out.insert(out.end(), chunk, chunk + got);
  std::fclose(f);
  return true;
}

// The items of the central directory; false when the archive is not a plain one.
bool ListItems(const std::vector<unsigned char>& zip, std::vector<Item>& items) {
  if (zip.size() < 22) return false;
  std::size_t end = zip.size() - 22;
  while (Get32(&zip[end]) != 0x06054B50) {
    if (end == 0 || zip.size() - end > 0xFFFF + 22) return false;
    --end;
  }
  const std::uint32_t count = Get16(&zip[end + 10]);
  std::size_t at = Get32(&zip[end + 16]);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at + 46 > zip.size() || Get32(&zip[at]) != 0x02014B50) return false;
    const unsigned char* r = &zip[at];
    Item item;
    item.method = Get16(r + 10);
    item.crc = Get32(r + 16);
    item.compressedSize = Get32(r + 20);
    item.size = Get32(r + 24);
    const std::uint32_t nameLength = Get16(r + 28);
    const std::size_t local = Get32(r + 42);
    if (at + 46 + nameLength > zip.size() || local + 30 > zip.size()) return false;
    item.name.assign(reinterpret_cast<const char*>(r + 46), nameLength);
    item.dataOffset = local + 30 + Get16(&zip[local + 26]) + Get16(&zip[local + 28]);
    if (item.dataOffset + item.compressedSize > zip.size()) return false;
    at += 46 + nameLength + Get16(r + 30) + Get16(r + 32);
    items.push_back(std::move(item));
  }
  return true;
}

using CrcFunction = std::uint32_t (*)(std::uint32_t crc, const unsigned char* data, std::size_t n);
std::uint32_t ZlibCrc(std::uint32_t crc, const unsigned char* data, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(n)));
}
std::uint32_t LibdeflateCrc(std::uint32_t crc, const unsigned char* data, std::size_t n) {
  return libdeflate_crc32(crc, data, n);
}

// Inflates (or copies) one item through `sink`, `bufferSize` bytes at a time, with at most
// `inputPiece` compressed bytes given to zlib at once; false on bad data or CRC.
template <typename Sink>
bool Decode(const std::vector<unsigned char>& zip, const Item& item, z_stream& zs,
            unsigned char* buffer, std::size_t bufferSize, std::size_t inputPiece, Sink sink,
            CrcFunction crcOf = ZlibCrc) {
  std::uint32_t crc = 0;
  if (item.method == 0) {
    crc = crcOf(0, &zip[item.dataOffset], item.size);
    sink(&zip[item.dataOffset], item.size);
    return crc == item.crc;
  }
  if (item.method != 8 || inflateReset(&zs) != Z_OK) return false;
  std::size_t next = item.dataOffset;
  std::size_t left = item.compressedSize;
  zs.avail_in = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (zs.avail_in == 0 && left > 0) {
      const std::size_t piece = left < inputPiece ? left : inputPiece;
      zs.next_in = const_cast<unsigned char*>(&zip[next]);
      zs.avail_in = static_cast<uInt>(piece);
      next += piece;
      left -= piece;
    }
    zs.next_out = buffer;
    zs.avail_out = static_cast<uInt>(bufferSize);
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) return false;
    const std::size_t produced = bufferSize - zs.avail_out;
    crc = crcOf(crc, buffer, produced);
    sink(buffer, produced);
  }
  return crc == item.crc;
}

// Decodes (or checks) one item whole into `buffer`, which holds at least its size, with
// libdeflate; false on bad data or CRC.
bool DecodeWhole(const std::vector<unsigned char>& zip, const Item& item,
                 libdeflate_decompressor* decompressor, unsigned char* buffer) {
  if (item.method == 0) return libdeflate_crc32(0, &zip[item.dataOffset], item.size) == item.crc;
  std::size_t produced = 0;
  return item.method == 8 &&
         libdeflate_deflate_decompress(decompressor, &zip[item.dataOffset], item.compressedSize,
                                       buffer, item.size, &produced) == LIBDEFLATE_SUCCESS &&
         produced == item.size && libdeflate_crc32(0, buffer, produced) == item.crc;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Makes every folder of `path` below `dest` that the last call did not already make.
void MakeFolders(const std::string& dest, const std::string& path, std::string& last) {
  const std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return;
  const std::string folder = path.substr(0, cut);
  if (folder == last) return;
  for (std::size_t at = folder.find('/');; at = folder.find('/', at + 1)) {
    mkdir((dest + "/" + folder.substr(0, at)).c_str(), 0755);
    if (at == std::string::npos) break;
  }
  last = folder;
}

// A piece size from the command line: a whole number from 1 to 1 GiB, or 0.
std::size_t PieceSize(const char* text) {
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text, &end, 10);
  return *end == '\0' && n <= (1u << 30) ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool inflateOnly = argc == 3 && mode == "inflate";
  const bool inflatePieces = argc == 5 && mode == "pieces";
  const bool libdeflateOnly = argc == 3 && mode == "libdeflate";
  const bool whole = argc == 6 && mode == "whole";
  const bool writeOnly = argc == 4 && mode == "write";
  const std::size_t limit = whole ? PieceSize(argv[2]) : 0;
  const std::size_t pieceIn = inflatePieces || whole ? PieceSize(argv[argc - 3]) : 0;
  const std::size_t pieceOut = inflatePieces || whole ? PieceSize(argv[argc - 2]) : 0;
  if ((!inflateOnly && !inflatePieces && !libdeflateOnly && !whole && !writeOnly) ||
      ((inflatePieces || whole) && (pieceIn == 0 || pieceOut == 0)) || (whole && limit == 0)) {
    std::fputs(
        "usage: zip_floor inflate ARCHIVE | zip_floor pieces IN OUT ARCHIVE |"
        " zip_floor libdeflate ARCHIVE | zip_floor whole LIMIT IN OUT ARCHIVE |"
        " zip_floor write ARCHIVE DEST\n",
        stderr);
    return 2;
  }
  const char* const archive = writeOnly ? argv[2] : argv[argc - 1];
  std::vector<unsigned char> zip;
  std::vector<Item> items;
  if (!ReadAll(archive, zip) || !ListItems(zip, items)) {
    std::fprintf(stderr, "zip_floor: %s: not a plain archive\n", archive);
    return 2;
  }
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return 1;
  static unsigned char buffer[1 << 16];

  if (libdeflateOnly || whole) {
    libdeflate_decompressor* const decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) return 1;
    std::size_t largest = limit;
    for (const Item& item : items)
      largest = libdeflateOnly && item.size > largest ? item.size : largest;
    std::vector<unsigned char> wholeBuffer(largest);
    std::vector<unsigned char> pieceBuffer(pieceOut);
    const auto start = std::chrono::steady_clock::now();
    for (const Item& item : items) {
      const bool fits = libdeflateOnly || (item.size <= limit && item.compressedSize <= pieceIn);
      if (!(fits ? DecodeWhole(zip, item, decompressor, wholeBuffer.data())
                 : Decode(
                       zip, item, zs, pieceBuffer.data(), pieceOut, pieceIn,
                       [](const unsigned char*, std::size_t) {}, LibdeflateCrc))) {
        std::fprintf(stderr, "zip_floor: %s: bad data\n", item.name.c_str());
        return 1;
      }
    }
    std::printf("%.6f\n", Seconds(start));
    libdeflate_free_decompressor(decompressor);
    return 0;
  }

  if (inflateOnly || inflatePieces) {
    // inflate: 64 KiB out, each item's compressed data at once; pieces: as asked.
    std::vector<unsigned char> pieceBuffer(inflatePieces ? pieceOut : 0);
    unsigned char* const into = inflatePieces ? pieceBuffer.data() : buffer;
    const std::size_t out = inflatePieces ? pieceOut : sizeof buffer;
    const std::size_t in = inflatePieces ? pieceIn : zip.size();
    const auto start = std::chrono::steady_clock::now();
    for (const Item& item : items) {
      if (!Decode(zip, item, zs, into, out, in, [](const unsigned char*, std::size_t) {})) {
        std::fprintf(stderr, "zip_floor: %s: bad data\n", item.name.c_str());
        return 1;
      }
    }
    std::printf("%.6f\n", Seconds(start));
    return 0;
  }

  std::vector<std::vector<unsigned char>> contents(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    contents[i].reserve(items[i].size);
    std::vector<unsigned char>& out = contents[i];
    if (!Decode(
            zip, items[i], zs, buffer, sizeof buffer, zip.size(),
            [&out](const unsigned char* p, std::size_t n) { out.insert(out.end(), p, p + n); })) {
      std::fprintf(stderr, "zip_floor: %s: bad data\n", items[i].name.c_str());
      return 1;
    }
  }
  const std::string dest = argv[3];
  std::string lastFolder;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string& name = items[i].name;
    MakeFolders(dest, name, lastFolder);
    if (!name.empty() && name.back() == '/') continue;
    const int fd = open((dest + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    const std::vector<unsigned char>& data = contents[i];
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = write(fd, data.data() + done, data.size() - done);
      if (n <= 0) return 1;
      done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) return 1;
  }
  std::printf("%.6f\n", Seconds(start));
  inflateEnd(&zs);
  return 0;
}
