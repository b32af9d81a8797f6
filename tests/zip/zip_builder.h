// Builds zip archives byte by byte for the cases no real tool will make: mismatched headers,
// odd disk numbers, unknown methods, wrong CRCs, short data, crafted extra fields.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ziptest {

struct Entry {
  std::string name;
  std::string data;
  std::uint16_t method = 8;
  std::uint16_t madeBy = 0x031E;            // Unix host
  std::uint32_t external = 0100644u << 16;  // regular file, rw-r--r--
  std::uint32_t dosTime = 0x50221866;       // 2020-01-02 03:03:12 local
  std::uint16_t flags = 0;
  std::string localExtra, centralExtra;
  const char* password = nullptr;     // traditional encryption when set
  std::optional<std::uint32_t> crc;   // both records
  std::optional<std::uint32_t> size;  // uncompressed size, both records
  std::optional<std::uint16_t> localMethod;
  std::optional<std::uint32_t> localCrc;
  std::optional<std::uint16_t> localNameLength;
  std::optional<std::string> localName;  // the local header's name, in place of `name`
  std::optional<std::size_t> keepData;   // write only this many data bytes
  std::optional<std::uint32_t> directorySignature;
  // This record names the local header and data of an earlier entry (by index) and writes
  // none of its own; its name must be as long as that entry's.
  std::optional<std::size_t> sharesHeaderOf;
  // Both records claim this many compressed bytes more than the data holds, so the data run
  // into whatever follows.
  std::uint32_t extendCompressed = 0;
  // Deflated as stored blocks (see StoredBlocks): a compressed size exact to the byte.
  bool storedBlocks = false;
  // The compressed data as given, in place of those made from `data` (whose CRC-32 and size
  // the records still give).
  std::optional<std::string> payload;
};

struct Archive {
  std::string stub;  // bytes in front of the archive, not counted in its offsets
  std::vector<Entry> entries;
  std::string comment;
  std::uint16_t thisDisk = 0, directoryDisk = 0;
  std::optional<std::uint16_t> entriesHere;
  // A ZIP64 end record and its locator between the directory and the end record, as tools
  // write them for archives beyond the 32-bit fields (or when forced to).
  bool zip64Records = false;
  std::string trailing;  // bytes after the comment, not counted in its length
};

inline void Put16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

inline std::string RawDeflate(const std::string& in) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, in.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A deflate stream of stored blocks of up to 65535 bytes, made here rather than by zlib so that
// its size is known whatever zlib's version: the data's plus 5 bytes a block.
inline std::string StoredBlocks(const std::string& in) {
  std::string out;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(in.size() - at, 0xFFFF);
    out += static_cast<char>(at + n == in.size() ? 1 : 0);  // final block or not; type "stored"
    Put16(out, static_cast<std::uint32_t>(n));
    Put16(out, static_cast<std::uint32_t>(~n & 0xFFFF));
    out.append(in, at, n);
    at += n;
  } while (at < in.size());
  return out;
}

inline std::uint32_t Crc(const std::string& s) {
  return crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size()));
}

// Traditional encryption, written from the published description independently of the
// reader so that a shared mistake cannot hide.
inline std::string Encrypt(const std::string& plain, const char* password, std::uint8_t check) {
  std::uint32_t k[3] = {0x12345678, 0x23456789, 0x34567890};
  auto crcByte = [](std::uint32_t c, std::uint8_t b) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    return c;
  };
  auto update = [&](std::uint8_t p) {
    k[0] = crcByte(k[0], p);
    k[1] = (k[1] + (k[0] & 0xFF)) * 134775813u + 1;
    k[2] = crcByte(k[2], static_cast<std::uint8_t>(k[1] >> 24));
  };
  for (const char* p = password; *p; ++p) update(static_cast<std::uint8_t>(*p));
  std::string header = "0123456789A";
  header += static_cast<char>(check);
  std::string out;
  for (char ch : header + plain) {
    const std::uint32_t t = (k[2] | 2) & 0xFFFF;
    const auto p = static_cast<std::uint8_t>(ch);
    out += static_cast<char>(p ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
    update(p);
  }
  return out;
}

inline std::string Build(const Archive& a) {
  std::string body, directory;
  // What each entry's records say, for records that share an earlier entry's header.
  struct Fields {
    std::uint32_t crc, compressed, size, offset;
    std::uint16_t flags;
  };
  std::vector<Fields> fields;
  for (const Entry& e : a.entries) {
    if (e.sharesHeaderOf) {
      fields.push_back(fields.at(*e.sharesHeaderOf));
    } else {
      const std::uint32_t crc = e.crc.value_or(Crc(e.data));
      std::string payload = e.payload        ? *e.payload
                            : e.method != 8  ? e.data
                            : e.storedBlocks ? StoredBlocks(e.data)
                                             : RawDeflate(e.data);
      std::uint16_t flags = e.flags;
      if (e.password) {
        payload = Encrypt(payload, e.password, static_cast<std::uint8_t>(crc >> 24));
        flags |= 1;
      }
      const auto compressed = static_cast<std::uint32_t>(payload.size()) + e.extendCompressed;
      const std::uint32_t size = e.size.value_or(static_cast<std::uint32_t>(e.data.size()));
      const auto offset = static_cast<std::uint32_t>(body.size());
      fields.push_back({crc, compressed, size, offset, flags});
      Put32(body, 0x04034B50);
      Put16(body, 20);
      Put16(body, flags);
      Put16(body, e.localMethod.value_or(e.method));
      Put32(body, e.dosTime);
      Put32(body, e.localCrc.value_or(crc));
      Put32(body, compressed);
      Put32(body, size);
      Put16(body, e.localNameLength.value_or(static_cast<std::uint16_t>(e.name.size())));
      Put16(body, static_cast<std::uint32_t>(e.localExtra.size()));
      body += e.localName.value_or(e.name) + e.localExtra;
      body += payload.substr(0, e.keepData.value_or(payload.size()));
    }
    const auto [crc, compressed, size, offset, flags] = fields.back();

    Put32(directory, e.directorySignature.value_or(0x02014B50));
    Put16(directory, e.madeBy);
    Put16(directory, 20);
    Put16(directory, flags);
    Put16(directory, e.method);
    Put32(directory, e.dosTime);
    Put32(directory, crc);
    Put32(directory, compressed);
    Put32(directory, size);
    Put16(directory, static_cast<std::uint32_t>(e.name.size()));
    Put16(directory, static_cast<std::uint32_t>(e.centralExtra.size()));
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, e.external);
    Put32(directory, offset);
    directory += e.name + e.centralExtra;
  }
  std::string out = a.stub + body + directory;
  const auto count = static_cast<std::uint16_t>(a.entries.size());
  if (a.zip64Records) {
    const auto record = static_cast<std::uint32_t>(out.size() - a.stub.size());
    Put32(out, 0x06064B50);
    Put32(out, 44);  // size of the rest of the record, 64 bits
    Put32(out, 0);
    Put16(out, 45);
    Put16(out, 45);
    Put32(out, 0);
    Put32(out, 0);
    for (std::uint32_t v :
         {std::uint32_t{count}, std::uint32_t{count}, static_cast<std::uint32_t>(directory.size()),
          static_cast<std::uint32_t>(body.size())}) {
      Put32(out, v);
      Put32(out, 0);
    }
    Put32(out, 0x07064B50);
    Put32(out, 0);
    Put32(out, record);
    Put32(out, 0);
    Put32(out, 1);
  }
  Put32(out, 0x06054B50);
  Put16(out, a.thisDisk);
  Put16(out, a.directoryDisk);
  Put16(out, a.entriesHere.value_or(count));
  Put16(out, count);
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, static_cast<std::uint32_t>(body.size()));
  Put16(out, static_cast<std::uint32_t>(a.comment.size()));
  return out + a.comment + a.trailing;
}

// A "UT" block: flags, then the given times in order.
inline std::string UtBlock(std::uint8_t flags, std::vector<std::uint32_t> times,
                           std::optional<std::uint16_t> claimedSize = std::nullopt) {
  std::string data(1, static_cast<char>(flags));
  for (std::uint32_t t : times) Put32(data, t);
  std::string out = "UT";
  Put16(out, claimedSize.value_or(static_cast<std::uint16_t>(data.size())));
  return out + data;
}

}  // namespace ziptest
