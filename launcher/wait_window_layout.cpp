#include "launcher/wait_window_layout.h"

#include <algorithm>

#include "launcher/client_app.h"

namespace launcher {
namespace {

constexpr unsigned kBaseDpi = 96;
constexpr unsigned kHighestDpi = kBaseDpi * 8;

// At 96 DPI. The text beside the icon is wide enough for the longest waiting line in either
// language at the message font's size.
constexpr int kMargin = 16;
constexpr int kIconSize = 32;
constexpr int kGap = 12;
constexpr int kLineTextWidth = 300;
constexpr int kMessageTextWidth = 360;
constexpr int kBarHeight = 14;
constexpr int kBarGap = 10;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 26;
constexpr int kFontHeight = 12;  // 9 points
// The block of the waiting bar is a quarter of the bar; it moves this far each tick.
constexpr int kMarqueeStep = 6;

platform::WString Stem() { return platform::WString(kClientStem); }

PixelRect At(int left, int top, int width, int height) {
  return {left, top, left + width, top + height};
}

}  // namespace

WaitWindowText WaitWindowTextFor(WaitWindowMode mode, bool chinese) {
  WaitWindowText t;
  t.caption = Stem();
  switch (mode) {
    case WaitWindowMode::kInstalling:
      t.line = chinese ? WIDE("\u6b63\u5728\u66f4\u65b0 ") + Stem() +
                             WIDE("\uff0c\u8bf7\u7a0d\u5019\u2026")
                       : WIDE("Updating ") + Stem() + WIDE("\u2026");
      break;
    case WaitWindowMode::kWaitingForLaunch:
      t.line = chinese ? WIDE("\u6b63\u5728\u7b49\u5f85 ") + Stem() +
                             WIDE(
                                 " \u7684\u53e6\u4e00\u6b21\u542f\u52a8\u5b8c\u6210\uff0c\u8bf7"
                                 "\u7a0d\u5019\u2026")
                       : WIDE("Waiting for another start of ") + Stem() + WIDE(" to finish\u2026");
      break;
    case WaitWindowMode::kInstallBlocked:
      t.line = chinese ? Stem() +
                             WIDE(
                                 " \u4e0a\u6b21\u7684\u66f4\u65b0\u88ab\u4e2d\u65ad\uff0c\u73b0"
                                 "\u5728\u65e0\u6cd5\u5b8c\u6210\uff0c\u56e0\u6b64\u65e0\u6cd5"
                                 "\u542f\u52a8\u3002\u8bf7\u5173\u95ed\u6b63\u5728\u4f7f\u7528 ") +
                             Stem() +
                             WIDE(
                                 " \u6587\u4ef6\u7684\u7a0b\u5e8f\uff0c\u7136\u540e\u91cd\u65b0"
                                 "\u542f\u52a8 ") +
                             Stem() + WIDE("\u3002")
                       : WIDE("An update of ") + Stem() +
                             WIDE(" was interrupted and cannot be finished now, so ") + Stem() +
                             WIDE(" cannot start. Close the programs that use ") + Stem() +
                             WIDE("'s files, then start ") + Stem() + WIDE(" again.");
      t.button = chinese ? WIDE("\u786e\u5b9a") : WIDE("OK");
      break;
  }
  return t;
}

int ScaleForDpi(int pixelsAt96, unsigned dpi) {
  const unsigned d = dpi == 0 ? kBaseDpi : std::min(dpi, kHighestDpi);
  return static_cast<int>((static_cast<long long>(pixelsAt96) * d + kBaseDpi / 2) / kBaseDpi);
}

int WaitWindowTextWidth(WaitWindowMode mode, unsigned dpi) {
  return ScaleForDpi(mode == WaitWindowMode::kInstallBlocked ? kMessageTextWidth : kLineTextWidth,
                     dpi);
}

WaitWindowLayout LayOutWaitWindow(WaitWindowMode mode, unsigned dpi, int textHeight) {
  WaitWindowLayout l;
  const int margin = ScaleForDpi(kMargin, dpi);
  const int iconSize = ScaleForDpi(kIconSize, dpi);
  const int gap = ScaleForDpi(kGap, dpi);
  const int textWidth = WaitWindowTextWidth(mode, dpi);
  const int textLeft = margin + iconSize + gap;
  textHeight = std::max(textHeight, 0);
  l.fontHeight = ScaleForDpi(kFontHeight, dpi);
  l.clientWidth = textLeft + textWidth + margin;
  l.icon = At(margin, margin, iconSize, iconSize);
  l.text = At(textLeft, margin, textWidth, textHeight);
  int contentBottom = std::max(l.icon.bottom, l.text.bottom);
  if (mode == WaitWindowMode::kInstallBlocked) {
    const int buttonWidth = ScaleForDpi(kButtonWidth, dpi);
    const int buttonHeight = ScaleForDpi(kButtonHeight, dpi);
    l.button =
        At(l.clientWidth - margin - buttonWidth, contentBottom + margin, buttonWidth, buttonHeight);
    contentBottom = l.button.bottom;
  } else {
    l.bar = At(textLeft, l.text.bottom + ScaleForDpi(kBarGap, dpi), textWidth,
               ScaleForDpi(kBarHeight, dpi));
    contentBottom = std::max(l.icon.bottom, l.bar.bottom);
  }
  l.clientHeight = contentBottom + margin;
  return l;
}

int BarFill(std::uint64_t done, std::uint64_t total, int width) {
  if (total == 0 || width <= 0) return 0;
  if (done >= total) return width;
  // In floating point: done * width would pass 64 bits for a package near their end. Its
  // rounding may make a huge total's last unit a whole bar: full only once all is done.
  const double part = static_cast<double>(done) / static_cast<double>(total);
  return std::min(width - 1, static_cast<int>(part * width));
}

int MarqueeOffset(std::uint32_t tick, int width) {
  if (width <= 0) return 0;
  const int block = width / 4;
  // The block enters from the left, crosses and leaves on the right before it comes round.
  const std::uint64_t lap = static_cast<std::uint64_t>(width) + block;
  return static_cast<int>(static_cast<std::uint64_t>(tick) * kMarqueeStep % lap) - block;
}

}  // namespace launcher
