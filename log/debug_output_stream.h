// A narrow stream onto the debugger-output channel. Text is gathered in a 256-character
// chunk; each full chunk, and whatever is pending at a flush, goes out as one string.
#pragma once

#include <memory>
#include <ostream>
#include <sstream>

namespace streamlog {

constexpr std::size_t kDebugChunkSize = 256;

class OutputDebugStringBuf : public std::stringbuf {
 public:
  OutputDebugStringBuf();
  ~OutputDebugStringBuf() override;
  OutputDebugStringBuf(const OutputDebugStringBuf&) = delete;
  OutputDebugStringBuf& operator=(const OutputDebugStringBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Passes the pending characters as one NUL-terminated string. Throws on out of memory.
  void emitChunk();

  std::unique_ptr<char[]> chunk;
};

class outputdebug_buf : public OutputDebugStringBuf {};

class outputdebug_stream : public std::ostream {
 public:
  outputdebug_stream();
  ~outputdebug_stream() override;

 private:
  std::unique_ptr<outputdebug_buf> buf_;
};

}  // namespace streamlog
