// The logger family. deliver() answers the release question: true lets the message delete
// the record, false means the logger has taken the record over.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <boost/any.hpp>

#include "log/debug_output_stream.h"
#include "log/log_data.h"

namespace streamlog {

class BaseLogger {
 public:
  virtual bool deliver(LogData* record) = 0;
  virtual ~BaseLogger() = default;
};

// Writes each line to a stream it does not own, in one block, and flushes. Stream errors
// are not reported: the answer is always true.
class OstreamLogger : public BaseLogger {
 public:
  explicit OstreamLogger(std::ostream* stream) : out(stream) {}
  bool deliver(LogData* record) override;

 protected:
  std::ostream* out;
};

class StdErrLogger : public OstreamLogger {
 public:
  StdErrLogger();
};

class OutputDebugStringLogger : public OstreamLogger {
 public:
  OutputDebugStringLogger() : OstreamLogger(nullptr) { out = &debugStream; }

 private:
  outputdebug_stream debugStream;
};

// Forwards records at or above `threshold` to `target`; lower ones are answered true.
class FilteringLogger : public BaseLogger {
 public:
  FilteringLogger(LogLevel minLevel, BaseLogger* forwardTo, bool owns)
      : threshold(minLevel), target(forwardTo), ownsTarget(owns) {}
  ~FilteringLogger() override;
  FilteringLogger(const FilteringLogger&) = delete;
  FilteringLogger& operator=(const FilteringLogger&) = delete;
  bool deliver(LogData* record) override;
  BaseLogger* forwardTarget() const { return target; }

 protected:
  LogLevel threshold;
  BaseLogger* target;
  bool ownsTarget;
};

class ZmFilteringLogger : public FilteringLogger {
 public:
  using FilteringLogger::FilteringLogger;
};

// The debugger-output sink: every level, to a new OutputDebugStringLogger it does not own
// (the process-long sinks end with the process).
class ZmDbgLogger : public ZmFilteringLogger {
 public:
  ZmDbgLogger() : ZmFilteringLogger(kLogTrace, new OutputDebugStringLogger, false) {}
};

// The standard-error sink: every level, to a new StdErrLogger it does not own.
class ZmStdLogger : public ZmFilteringLogger {
 public:
  ZmStdLogger() : ZmFilteringLogger(kLogTrace, new StdErrLogger, false) {}
};

// A sink kind the dispatcher recognises; the launcher never creates one.
class ZmFileLogger : public ZmFilteringLogger {
 public:
  ZmFileLogger() : ZmFilteringLogger(kLogTrace, nullptr, false) {}
};

// Dispatches each record to its entries in order until one answers false.
class ZmLogger : public BaseLogger {
 public:
  // No sinks, no entries, all switches on.
  ZmLogger() = default;
  // The process logger: a debugger-output sink, then a standard-error sink. The log file
  // name is accepted and discarded; no file is ever written.
  explicit ZmLogger(const std::string& logFileName);

  bool deliver(LogData* record) override;

  ZmStdLogger* stdSink = nullptr;
  ZmDbgLogger* dbgSink = nullptr;
  ZmFileLogger* fileSink = nullptr;
  bool useStd = true;
  bool useDbg = true;
  bool useFile = true;
  // Each entry holds a ZmStdLogger*, ZmDbgLogger* or ZmFileLogger*; never owning.
  std::vector<boost::any> entries;
};

}  // namespace streamlog
