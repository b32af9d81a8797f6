#include "log/debug_output_stream.h"

#include <string>

#include "platform/debug_output.h"

namespace streamlog {

OutputDebugStringBuf::OutputDebugStringBuf() : chunk(new char[kDebugChunkSize]()) {
  setp(chunk.get(), chunk.get() + kDebugChunkSize);
}

OutputDebugStringBuf::~OutputDebugStringBuf() = default;

OutputDebugStringBuf::int_type OutputDebugStringBuf::overflow(int_type c) {
  // A failed sync leaves the chunk full: the character cannot be stored anywhere.
  if (sync() != 0) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return 0;
}

int OutputDebugStringBuf::sync() {
  try {
    emitChunk();
  } catch (...) {
    return -1;
  }
  setp(chunk.get(), chunk.get() + kDebugChunkSize);
  return 0;
}

void OutputDebugStringBuf::emitChunk() {
  const std::string piece(pbase(), pptr());
  platform::OutputDebugText(piece.c_str());
}

outputdebug_stream::outputdebug_stream()
    : std::ostream(nullptr), buf_(std::make_unique<outputdebug_buf>()) {
  rdbuf(buf_.get());
}

outputdebug_stream::~outputdebug_stream() { rdbuf(nullptr); }

}  // namespace streamlog
