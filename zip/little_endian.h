// Little-endian fields of zip records, read from a byte buffer.
#pragma once

#include <cstdint>

namespace zip {

inline std::uint32_t Get16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
}

inline std::uint32_t Get32(const unsigned char* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace zip
