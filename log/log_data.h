// The record one log statement fills: a fixed 20000-character text area that never grows,
// the level, the call site and the creation time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <streambuf>

#include "log/log_level.h"

namespace streamlog {

namespace helpers {

// A write-only buffer over a caller's fixed array. When the array is full the default
// overflow refuses the character, so the writing stream fails; nothing is reallocated.
class fixed_streambuf : public std::streambuf {
 public:
  fixed_streambuf(char* area, std::size_t size) { setp(area, area + size); }

  char* begin() const { return pbase(); }
  char* position() const { return pptr(); }
  bool full() const { return pptr() == epptr(); }
  std::size_t size() const { return static_cast<std::size_t>(pptr() - pbase()); }
  // Moves the put position back by one character (drops the last one). Requires size() > 0.
  void dropLast() { pbump(-1); }
  // Stores `c` at the put position regardless of the stream's state. Requires !full().
  void putDirect(char c) {
    *pptr() = c;
    pbump(1);
  }
};

}  // namespace helpers

constexpr std::size_t kLogTextCapacity = 20000;

struct LogData {
  explicit LogData(LogLevel logLevel);
  virtual ~LogData() = default;
  LogData(const LogData&) = delete;
  LogData& operator=(const LogData&) = delete;

  helpers::fixed_streambuf textBuf;
  // The put area is the first kLogTextCapacity characters; the last one stays spare so that
  // a sink can always terminate the text in place.
  char text[kLogTextCapacity + 1];
  std::ostream textStream;
  std::uint32_t headerLength = 0;
  LogLevel level;
  std::uint32_t lineNumber = 0;
  const char* sourcePath = nullptr;
  const char* sourceName = nullptr;
  std::int64_t timestamp = 0;
  std::tm utc{};
};

}  // namespace streamlog
