// One log statement: the message owns its record from construction until delivery, writes
// the header, and completes and delivers the line when it is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>

#include "log/log_data.h"
#include "log/narrow_for_log.h"
#include "platform/text.h"

namespace streamlog {

class BaseLogger;

// What a call site writes into: the record's text stream, with wide text converted by
// NarrowForLog on the way in.
class LogStream {
 public:
  explicit LogStream(std::ostream& out) : out_(out) {}

  template <typename T>
  LogStream& operator<<(const T& value) {
    static_assert(!std::is_same_v<std::decay_t<T>, platform::WChar*>, "wide text goes by pointer");
    out_ << value;
    return *this;
  }
  LogStream& operator<<(const platform::WChar* text) {
    out_ << NarrowForLog(text != nullptr ? platform::WStringView(text) : platform::WStringView());
    return *this;
  }
  LogStream& operator<<(platform::WChar* text) {
    return *this << static_cast<const platform::WChar*>(text);
  }
  LogStream& operator<<(const platform::WString& text) {
    out_ << NarrowForLog(text);
    return *this;
  }
  LogStream& operator<<(platform::WStringView text) {
    out_ << NarrowForLog(text);
    return *this;
  }
  LogStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    out_ << manipulator;
    return *this;
  }
  LogStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    out_ << manipulator;
    return *this;
  }

 private:
  std::ostream& out_;
};

// The text behind the last '/', else behind the last '\', else the whole path.
const char* SourceNameOf(const char* sourcePath);

// "[TAG][L][Y-M-D h:m:s] " with no leading zeros; `utc` as the C runtime breaks it down.
std::string FormatBracketedHeader(const std::string& tag, LogLevel level, const std::tm& utc);

class LogMessage {
 public:
  // A plain message writes the base header: level name, source file and line.
  LogMessage(const char* sourcePath, std::uint32_t lineNumber, LogLevel level, BaseLogger* logger);
  virtual ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  virtual void writeHeader();
  LogStream stream() { return LogStream(data->textStream); }
  // Ends the text with exactly one newline and delivers the record, once.
  void complete();

 protected:
  struct NoHeader {};
  LogMessage(const char* sourcePath, std::uint32_t lineNumber, LogLevel level, BaseLogger* logger,
             NoHeader);

  BaseLogger* logger;
  bool completed = false;
  bool releaseData = false;
  // Owned until a logger answers false, which hands the record over to that logger.
  std::unique_ptr<LogData> data;
};

}  // namespace streamlog

namespace n_log {

class CustomLogMessage : public streamlog::LogMessage {
 public:
  CustomLogMessage(const char* sourcePath, const char* functionName, std::uint32_t lineNumber,
                   streamlog::LogLevel level, streamlog::BaseLogger* logger);

  // The bracketed header: tag, level letter and UTC time.
  void writeHeader() override;
  const char* function() const { return functionName; }

 private:
  const char* functionName;
};

}  // namespace n_log
