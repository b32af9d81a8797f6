#include "log/log_data.h"

namespace streamlog {

const char* LevelName(LogLevel level) {
  static const char* const kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  return level <= kLogFatal ? kNames[level] : "OTHER";
}

const char* LevelLetter(LogLevel level) {
  static const char* const kLetters[] = {"T", "D", "I", "W", "E", "F"};
  return level <= kLogFatal ? kLetters[level] : "O";
}

LogData::LogData(LogLevel logLevel)
    : textBuf(text, kLogTextCapacity), textStream(&textBuf), level(logLevel) {
  text[kLogTextCapacity] = '\0';
  textStream.fill(' ');
}

}  // namespace streamlog
