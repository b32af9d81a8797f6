#pragma once

#include <cstdint>

namespace streamlog {

// Severity of a log record. Any value past kLogFatal is legal and prints as "other".
enum LogLevel : std::uint32_t {
  kLogTrace = 0,
  kLogDebug = 1,
  kLogInfo = 2,
  kLogWarn = 3,
  kLogError = 4,
  kLogFatal = 5,
};

// "TRACE" ... "FATAL", "OTHER" for any other value.
const char* LevelName(LogLevel level);
// "T" ... "F", "O" for any other value.
const char* LevelLetter(LogLevel level);

}  // namespace streamlog
