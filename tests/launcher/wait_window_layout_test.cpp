// The waiting window's texts and geometry: its parts stay inside it and apart at every DPI, the
// bar never overflows whatever the sizes, and each mode says its own thing in both languages.
#include "launcher/wait_window_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "launcher/client_app.h"

namespace launcher {
namespace {

bool Empty(const PixelRect& r) { return r.right <= r.left || r.bottom <= r.top; }

bool Inside(const PixelRect& r, int width, int height) {
  return r.left >= 0 && r.top >= 0 && r.right <= width && r.bottom <= height;
}

bool Apart(const PixelRect& a, const PixelRect& b) {
  return Empty(a) || Empty(b) || a.right <= b.left || b.right <= a.left || a.bottom <= b.top ||
         b.bottom <= a.top;
}

TEST(WaitWindowLayoutTest, PartsStayInsideAndApartAtEveryDpi) {
  struct Row {
    unsigned dpi;
    int iconSize;  // the 32-pixel icon as the screen's scale makes it
  } const rows[] = {
      {96, 32},      {120, 40}, {144, 48},
      {192, 64},     {0, 32},  // the system could not say: as at 100 %
      {100000, 256},           // nonsense from a broken driver: held to 8x, no overflow
  };
  const WaitWindowMode modes[] = {WaitWindowMode::kInstalling, WaitWindowMode::kWaitingForLaunch,
                                  WaitWindowMode::kInstallBlocked};
  for (const Row& row : rows) {
    for (const WaitWindowMode mode : modes) {
      SCOPED_TRACE(testing::Message() << "dpi " << row.dpi << ", mode " << static_cast<int>(mode));
      // One line, and a message wrapped to several: the window grows with it.
      for (const int lines : {1, 4}) {
        const int textHeight = lines * ScaleForDpi(16, row.dpi);
        const WaitWindowLayout l = LayOutWaitWindow(mode, row.dpi, textHeight);
        EXPECT_EQ(l.icon.right - l.icon.left, row.iconSize);
        EXPECT_EQ(l.text.bottom - l.text.top, textHeight);
        EXPECT_EQ(l.text.right - l.text.left, WaitWindowTextWidth(mode, row.dpi));
        EXPECT_GT(l.fontHeight, 0);
        const bool blocked = mode == WaitWindowMode::kInstallBlocked;
        EXPECT_EQ(Empty(l.bar), blocked);
        EXPECT_EQ(Empty(l.button), !blocked);
        for (const PixelRect* part : {&l.icon, &l.text, &l.bar, &l.button}) {
          EXPECT_TRUE(Inside(*part, l.clientWidth, l.clientHeight));
        }
        EXPECT_TRUE(Apart(l.icon, l.text));
        EXPECT_TRUE(Apart(l.text, l.bar));
        EXPECT_TRUE(Apart(l.text, l.button));
        EXPECT_TRUE(Apart(l.icon, l.button));
        // Read in order: the bar or the button comes below the text.
        EXPECT_GE(blocked ? l.button.top : l.bar.top, l.text.bottom);
      }
    }
  }
  // A text height the measurement could not give is no height, not a negative one.
  EXPECT_GE(LayOutWaitWindow(WaitWindowMode::kInstalling, 96, -5).text.bottom,
            LayOutWaitWindow(WaitWindowMode::kInstalling, 96, -5).text.top);
}

TEST(WaitWindowLayoutTest, TheBarNeverOverflows) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Row {
    const char* why;
    std::uint64_t done, total;
    int width, fill;
  } const rows[] = {
      {"the total not known yet", 0, 0, 300, 0},
      {"done before the total is known", 5, 0, 300, 0},
      {"nothing done", 0, 10, 300, 0},
      {"half", 5, 10, 300, 150},
      {"all", 10, 10, 300, 300},
      {"past the total", 11, 10, 300, 300},
      // done * width would pass 64 bits here
      {"near the end of 64 bits", kMax / 2, kMax, 300, 150},
      {"one short of a huge total", kMax - 1, kMax, 300, 299},
      {"no bar", 5, 10, 0, 0},
      {"a negative bar", 5, 10, -4, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(BarFill(row.done, row.total, row.width), row.fill);
  }
}

TEST(WaitWindowLayoutTest, TheWaitingBlockCrossesTheWholeBarAndComesRound) {
  const int width = 300;
  const int block = width / 4;
  int lowest = width;
  int highest = -width;
  std::uint32_t lap = 0;
  for (std::uint32_t tick = 0; tick < 1000; ++tick) {
    const int offset = MarqueeOffset(tick, width);
    lowest = std::min(lowest, offset);
    highest = std::max(highest, offset);
    if (tick > 0 && lap == 0 && offset < MarqueeOffset(tick - 1, width)) lap = tick;
  }
  EXPECT_EQ(lowest, -block);              // enters from beyond the left edge
  EXPECT_GT(highest + block, width - 6);  // leaves past the right one
  EXPECT_LT(highest, width);
  EXPECT_GT(lap, 0u);  // and comes round
  EXPECT_GE(MarqueeOffset(std::numeric_limits<std::uint32_t>::max(), width), -block);
  EXPECT_EQ(MarqueeOffset(7, 0), 0);
}

TEST(WaitWindowLayoutTest, EachModeSaysItsOwnThingInBothLanguages) {
  const platform::WString product(kClientStem);
  struct Row {
    WaitWindowMode mode;
    bool chinese;
    const platform::WChar* line;  // exact where the product's wording is fixed, else null
    bool button;
  } const rows[] = {
      {WaitWindowMode::kInstalling, true,
       WIDE("\u6b63\u5728\u66f4\u65b0 Veltmora\uff0c\u8bf7\u7a0d\u5019\u2026"), false},
      {WaitWindowMode::kInstalling, false, WIDE("Updating Veltmora\u2026"), false},
      {WaitWindowMode::kWaitingForLaunch, true, nullptr, false},
      {WaitWindowMode::kWaitingForLaunch, false, nullptr, false},
      {WaitWindowMode::kInstallBlocked, true, nullptr, true},
      {WaitWindowMode::kInstallBlocked, false, nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(row.mode) << (row.chinese ? " zh" : " en"));
    const WaitWindowText t = WaitWindowTextFor(row.mode, row.chinese);
    EXPECT_TRUE(t.caption == product);
    EXPECT_NE(t.line.find(product), platform::WString::npos);
    if (row.line != nullptr) {
      EXPECT_TRUE(t.line == row.line);
    }
    EXPECT_EQ(!t.button.empty(), row.button);
    // In Chinese nothing but the product's name is in Latin letters; in English nothing
    // is in Chinese.
    platform::WString rest = t.line;
    for (std::size_t at; (at = rest.find(product)) != platform::WString::npos;) {
      rest.erase(at, product.size());
    }
    bool latin = false;
    bool cjk = false;
    for (const platform::WChar c : rest + t.button) {
      latin = latin || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      cjk = cjk || (c >= 0x4e00 && c <= 0x9fff);
    }
    EXPECT_EQ(latin, !row.chinese);
    EXPECT_EQ(cjk, row.chinese);
  }
  // The two waits and the message are three different things to say.
  EXPECT_TRUE(WaitWindowTextFor(WaitWindowMode::kInstalling, false).line !=
              WaitWindowTextFor(WaitWindowMode::kWaitingForLaunch, false).line);
}

}  // namespace
}  // namespace launcher
