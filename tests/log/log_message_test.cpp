#include "log/log_message.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "log/loggers.h"
#include "log/process_logger.h"

namespace streamlog {
namespace {

// Keeps a copy of each delivered line; answers as told.
class CaptureLogger : public BaseLogger {
 public:
  bool deliver(LogData* record) override {
    lines.emplace_back(record->textBuf.begin(), record->textBuf.size());
    if (!answer) kept.emplace_back(record);
    return answer;
  }
  std::vector<std::string> lines;
  std::vector<std::unique_ptr<LogData>> kept;
  bool answer = true;
};

std::tm Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

// The header the message wrote, so tests can compare only the call site's part.
std::string HeaderOf(const std::string& line) { return line.substr(0, line.find("] ") + 2); }

std::string Log(CaptureLogger& logger, const std::string& text, LogLevel level = kLogInfo) {
  n_log::CustomLogMessage(__FILE__, "Test", __LINE__, level, &logger).stream() << text;
  return logger.lines.back();
}

TEST(LogHeaderTest, BracketedHeaderHasNoLeadingZerosAndUsesTheLevelLetter) {
  struct Case {
    LogLevel level;
    std::tm utc;
    const char* expected;
  } const cases[] = {
      {kLogInfo, Utc(2024, 3, 5, 7, 8, 9), "[ZUD][I][2024-3-5 7:8:9] "},
      {kLogTrace, Utc(2024, 1, 1, 0, 0, 5), "[ZUD][T][2024-1-1 0:0:5] "},
      {kLogFatal, Utc(1999, 12, 31, 23, 59, 59), "[ZUD][F][1999-12-31 23:59:59] "},
      {static_cast<LogLevel>(6), Utc(2030, 10, 10, 10, 10, 10), "[ZUD][O][2030-10-10 10:10:10] "},
      {static_cast<LogLevel>(0xFFFFFFFFu), Utc(2024, 1, 1, 0, 0, 0), "[ZUD][O][2024-1-1 0:0:0] "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatBracketedHeader(LogTag(), c.level, c.utc), c.expected);
  }
}

TEST(LogHeaderTest, SourceNameIsTheLastPathElement) {
  EXPECT_STREQ(SourceNameOf("..\\Pellumet"), "Pellumet");
  EXPECT_STREQ(SourceNameOf("a/b/c.cpp"), "c.cpp");
  EXPECT_STREQ(SourceNameOf("x\\y/z.cpp"), "z.cpp");  // '/' wins over '\'
  EXPECT_STREQ(SourceNameOf("a/b\\c"), "b\\c");
  EXPECT_STREQ(SourceNameOf("plain.cpp"), "plain.cpp");
}

TEST(LogHeaderTest, BaseHeaderPadsTheLevelNameToFive) {
  struct Case {
    LogLevel level;
    const char* expected;
  } const cases[] = {
      {kLogInfo, "INFO  - Pellumet(12): x\n"},
      {kLogWarn, "WARN  - Pellumet(12): x\n"},
      {kLogError, "ERROR - Pellumet(12): x\n"},
      {static_cast<LogLevel>(9), "OTHER - Pellumet(12): x\n"},
  };
  for (const Case& c : cases) {
    CaptureLogger logger;
    LogMessage("..\\Pellumet", 12, c.level, &logger).stream() << "x";
    EXPECT_EQ(logger.lines.at(0), c.expected);
  }
}

TEST(LogMessageTest, EveryLineEndsWithExactlyOneNewline) {
  CaptureLogger logger;
  const std::string empty = Log(logger, "");
  EXPECT_EQ(empty, HeaderOf(empty) + "\n");
  const std::string ended = Log(logger, "done\n");
  EXPECT_EQ(ended, HeaderOf(ended) + "done\n");
  const std::string plain = Log(logger, "class path: Veltmora.exe");
  EXPECT_EQ(plain, HeaderOf(plain) + "class path: Veltmora.exe\n");
  EXPECT_EQ(plain.find('\r'), std::string::npos);
}

TEST(LogMessageTest, TextBeyondTheRecordIsDroppedAndTheNewlineTakesTheLastPlace) {
  CaptureLogger logger;
  {
    n_log::CustomLogMessage message(__FILE__, "Test", __LINE__, kLogInfo, &logger);
    message.stream() << std::string(kLogTextCapacity, 'a') << "lost";
  }
  const std::string& line = logger.lines.at(0);
  ASSERT_EQ(line.size(), kLogTextCapacity);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line[line.size() - 2], 'a');
  EXPECT_EQ(line.find("lost"), std::string::npos);
}

TEST(LogMessageTest, WideTextGoesThroughCodePage936OrContributesNothing) {
  CaptureLogger logger;
  {
    n_log::CustomLogMessage message(__FILE__, "Test", __LINE__, kLogInfo, &logger);
    message.stream() << "par: " << platform::WString(WIDE("\u4e2d")) << '|' << WIDE("a\uac00b")
                     << '|' << WIDE("live/42\"") << 7;
  }
  const std::string& line = logger.lines.at(0);
  EXPECT_EQ(line.substr(HeaderOf(line).size()), "par: \xD6\xD0||live/42\"7\n");
}

struct Thrower {};
std::ostream& operator<<(std::ostream&, const Thrower&) { throw std::runtime_error("insertion"); }

TEST(LogMessageTest, AnExceptionWhileWritingStillDeliversTheLine) {
  CaptureLogger logger;
  EXPECT_THROW(n_log::CustomLogMessage(__FILE__, "Test", __LINE__, kLogInfo, &logger).stream()
                   << "before " << Thrower{},
               std::runtime_error);
  ASSERT_EQ(logger.lines.size(), 1u);
  EXPECT_EQ(logger.lines[0].substr(HeaderOf(logger.lines[0]).size()), "before \n");
}

TEST(LogMessageTest, ALoggerAnsweringFalseTakesTheRecordOver) {
  CaptureLogger logger;
  logger.answer = false;
  Log(logger, "kept");
  // The logger owns it now: reading it must be valid (ASan catches a message that freed it).
  ASSERT_EQ(logger.kept.size(), 1u);
  EXPECT_EQ(logger.kept[0]->level, kLogInfo);
}

TEST(FilteringLoggerTest, LevelsBelowTheThresholdAreAnsweredTrueAndNotForwarded) {
  CaptureLogger capture;
  FilteringLogger filter(kLogWarn, &capture, false);

  LogData info(kLogInfo);
  EXPECT_TRUE(filter.deliver(&info));
  EXPECT_TRUE(capture.lines.empty());

  LogData warn(kLogWarn);
  EXPECT_TRUE(filter.deliver(&warn));
  EXPECT_EQ(capture.lines.size(), 1u);

  FilteringLogger noTarget(kLogTrace, nullptr, false);
  EXPECT_FALSE(noTarget.deliver(&warn));
}

// Swaps std::cerr's buffer for the length of a test.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* old_;
};

TEST(ZmLoggerTest, DispatchFollowsEntriesSwitchesAndTheFirstFalseAnswer) {
  LogData record(kLogInfo);
  record.textStream << "line\n";

  ZmLogger empty;
  EXPECT_TRUE(empty.deliver(&record));

  ZmStdLogger stdSink;
  ZmFileLogger fileSink;  // has no target, so it answers false
  std::unique_ptr<BaseLogger> stdTarget(stdSink.forwardTarget());

  {
    CerrCapture cerr;
    ZmLogger dispatcher;
    dispatcher.entries = {boost::any(), boost::any(&stdSink)};
    dispatcher.useStd = dispatcher.useDbg = dispatcher.useFile = false;
    EXPECT_TRUE(dispatcher.deliver(&record));  // offered to nobody
    EXPECT_EQ(cerr.text(), "");
    dispatcher.useStd = true;
    EXPECT_TRUE(dispatcher.deliver(&record));  // an empty entry matches nothing
    EXPECT_EQ(cerr.text(), "line\n");
  }
  {
    CerrCapture cerr;
    ZmLogger dispatcher;
    dispatcher.entries = {boost::any(&fileSink), boost::any(&stdSink)};
    EXPECT_FALSE(dispatcher.deliver(&record));
    EXPECT_EQ(cerr.text(), "");  // the later sink is not offered the record
  }
}

}  // namespace
}  // namespace streamlog
