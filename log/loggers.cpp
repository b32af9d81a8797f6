#include "log/loggers.h"

#include <iostream>

namespace streamlog {

bool OstreamLogger::deliver(LogData* record) {
  helpers::fixed_streambuf& buf = record->textBuf;
  *buf.position() = '\0';
  if (out != nullptr) {
    out->write(buf.begin(), static_cast<std::streamsize>(buf.size()));
    out->flush();
  }
  return true;
}

StdErrLogger::StdErrLogger() : OstreamLogger(&std::cerr) {}

FilteringLogger::~FilteringLogger() {
  if (ownsTarget) delete target;
}

bool FilteringLogger::deliver(LogData* record) {
  if (record->level < threshold) return true;
  return target != nullptr ? target->deliver(record) : false;
}

ZmLogger::ZmLogger(const std::string& /*logFileName*/) {
  dbgSink = new ZmDbgLogger;
  entries.emplace_back(dbgSink);
  stdSink = new ZmStdLogger;
  entries.emplace_back(stdSink);
}

bool ZmLogger::deliver(LogData* record) {
  bool answer = true;
  try {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const boost::any& entry = entries[i];
      BaseLogger* sink = nullptr;
      if (useStd && entry.type() == typeid(ZmStdLogger*)) {
        sink = boost::any_cast<ZmStdLogger*>(entry);
      } else if (useDbg && entry.type() == typeid(ZmDbgLogger*)) {
        sink = boost::any_cast<ZmDbgLogger*>(entry);
      } else if (useFile && entry.type() == typeid(ZmFileLogger*)) {
        sink = boost::any_cast<ZmFileLogger*>(entry);
      }
      if (sink != nullptr && answer) answer = sink->deliver(record);
    }
  } catch (...) {
    // A failing sink must never take the launch down with it.
  }
  return answer;
}

}  // namespace streamlog
