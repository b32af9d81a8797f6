#include "log/log_message.h"

#include <cstring>
#include <iomanip>
#include <sstream>

#include "log/loggers.h"
#include "log/process_logger.h"
#include "platform/clock.h"

namespace streamlog {

const char* SourceNameOf(const char* sourcePath) {
  if (sourcePath == nullptr) return "";
  if (const char* slash = std::strrchr(sourcePath, '/')) return slash + 1;
  if (const char* backslash = std::strrchr(sourcePath, '\\')) return backslash + 1;
  return sourcePath;
}

std::string FormatBracketedHeader(const std::string& tag, LogLevel level, const std::tm& utc) {
  std::ostringstream header;
  header << '[' << tag << "][" << LevelLetter(level) << "][" << utc.tm_year + 1900 << '-'
         << utc.tm_mon + 1 << '-' << utc.tm_mday << ' ' << utc.tm_hour << ':' << utc.tm_min << ':'
         << utc.tm_sec << "] ";
  return header.str();
}

LogMessage::LogMessage(const char* sourcePath, std::uint32_t lineNumber, LogLevel level,
                       BaseLogger* target, NoHeader)
    : logger(target), data(std::make_unique<LogData>(level)) {
  data->sourcePath = sourcePath;
  data->sourceName = SourceNameOf(sourcePath);
  data->lineNumber = lineNumber;
  data->timestamp = platform::NowSeconds();
  platform::BreakDownUtc(data->timestamp, data->utc);
}

LogMessage::LogMessage(const char* sourcePath, std::uint32_t lineNumber, LogLevel level,
                       BaseLogger* target)
    : LogMessage(sourcePath, lineNumber, level, target, NoHeader{}) {
  LogMessage::writeHeader();
}

LogMessage::~LogMessage() {
  complete();
  if (!releaseData) static_cast<void>(data.release());
}

void LogMessage::writeHeader() {
  std::ostream& out = data->textStream;
  out << std::setfill(' ') << std::left << std::dec << std::setw(5) << LevelName(data->level)
      << " - " << data->sourceName << '(' << data->lineNumber << "): ";
}

void LogMessage::complete() {
  if (completed) return;
  helpers::fixed_streambuf& buf = data->textBuf;
  if (buf.size() == 0 || buf.position()[-1] != '\n') {
    if (buf.full()) buf.dropLast();
    buf.putDirect('\n');
  }
  releaseData = logger != nullptr ? logger->deliver(data.get()) : true;
  completed = true;
}

}  // namespace streamlog

namespace n_log {

CustomLogMessage::CustomLogMessage(const char* sourcePath, const char* function,
                                   std::uint32_t lineNumber, streamlog::LogLevel level,
                                   streamlog::BaseLogger* target)
    : LogMessage(sourcePath, lineNumber, level, target, NoHeader{}), functionName(function) {
  CustomLogMessage::writeHeader();
}

void CustomLogMessage::writeHeader() {
  const std::string header =
      streamlog::FormatBracketedHeader(streamlog::LogTag(), data->level, data->utc);
  data->textStream << header;
  data->headerLength = static_cast<std::uint32_t>(header.size());
}

}  // namespace n_log
