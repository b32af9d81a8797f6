#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/debug_output_stream.h"
#include "log/zm_log.h"
#include "platform/debug_output.h"

namespace streamlog {
namespace {

std::vector<std::string>* g_pieces = nullptr;
std::vector<std::string>* g_events = nullptr;

void CapturePiece(const char* text) {
  if (g_pieces != nullptr) g_pieces->emplace_back(text);
  if (g_events != nullptr) g_events->emplace_back(std::string("dbg:") + text);
}

class DebugOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pieces = &pieces;
    previous = platform::SetDebugOutputReceiver(&CapturePiece);
  }
  void TearDown() override {
    platform::SetDebugOutputReceiver(previous);
    g_pieces = nullptr;
  }

  std::vector<std::size_t> Sizes() const {
    std::vector<std::size_t> sizes;
    for (const std::string& piece : pieces) sizes.push_back(piece.size());
    return sizes;
  }

  std::vector<std::string> pieces;
  platform::DebugOutputReceiver previous = nullptr;
};

TEST_F(DebugOutputTest, ALineIsCutIntoPiecesOfAtMost256Characters) {
  struct Case {
    std::size_t lineLength;
    std::vector<std::size_t> pieceSizes;
  } const cases[] = {
      {600, {256, 256, 88}},
      {256, {256}},  // exactly full: one piece, no empty one after it
      {512, {256, 256}},
      {1, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lineLength);
    pieces.clear();
    outputdebug_stream out;
    std::string line(c.lineLength - 1, 'x');
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
    EXPECT_EQ(Sizes(), c.pieceSizes);
    std::string joined;
    for (const std::string& piece : pieces) joined += piece;
    EXPECT_EQ(joined, line);  // nothing added before, between or after the pieces
  }
}

TEST_F(DebugOutputTest, ConsecutiveLinesNeverShareAPiece) {
  OutputDebugStringLogger logger;
  LogData first(kLogInfo);
  first.textStream << std::string(299, 'a') << '\n';
  LogData second(kLogInfo);
  second.textStream << "b\n";
  logger.deliver(&first);
  logger.deliver(&second);
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{256, 44, 2}));
  EXPECT_EQ(pieces.back(), "b\n");
}

TEST_F(DebugOutputTest, ProcessLoggerWritesEachLineToDebugOutputThenStandardError) {
  std::vector<std::string> events;
  g_events = &events;
  struct EventBuf : std::stringbuf {
    int sync() override {
      if (g_events != nullptr && !str().empty()) g_events->push_back("err:" + str());
      str("");
      return 0;
    }
  } errBuf;
  std::streambuf* const oldErr = std::cerr.rdbuf(&errBuf);
  ZM_LOG(kLogInfo) << "class path: " << WIDE("Veltmora.exe");
  std::cerr.rdbuf(oldErr);
  g_events = nullptr;

  ASSERT_EQ(events.size(), 2u);
  const std::regex line(
      R"(\[ZUD\]\[I\]\[\d{4}-[1-9]\d?-[1-9]\d? \d{1,2}:\d{1,2}:\d{1,2}\] class path: Veltmora\.exe\n)");
  EXPECT_EQ(events[0].substr(0, 4), "dbg:");
  EXPECT_TRUE(std::regex_match(events[0].substr(4), line)) << events[0];
  EXPECT_EQ(events[1], "err:" + events[0].substr(4));
}

}  // namespace
}  // namespace streamlog
