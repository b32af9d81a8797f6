// What the launcher's wait window says and where its parts go, apart from the window itself,
// so that both are checked on every system. Pixel values are physical pixels at the DPI given.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace launcher {

enum class WaitWindowMode {
  kInstalling,        // this launch installs an update: a bar fed by the install's progress
  kWaitingForLaunch,  // another launch holds the install folder: a bar that only shows life
  kInstallBlocked,    // an interrupted install cannot be finished: a message and one OK button
};

struct WaitWindowText {
  platform::WString caption;  // the product's name
  platform::WString line;     // what the user waits for, or what happened and what to do
  platform::WString button;   // the OK button's label; empty where there is no button
};

// The texts in the user's language: Chinese or English.
WaitWindowText WaitWindowTextFor(WaitWindowMode mode, bool chinese);

struct PixelRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

struct WaitWindowLayout {
  int clientWidth = 0;
  int clientHeight = 0;
  PixelRect icon;
  PixelRect text;
  PixelRect bar;       // empty in kInstallBlocked
  PixelRect button;    // empty unless kInstallBlocked
  int fontHeight = 0;  // the text's character height, in pixels
};

// `dpi` as the system reports it (96 is 100 %); 0, as from a call that failed, counts as 96,
// and values beyond what any screen has are held to 8x.
int ScaleForDpi(int pixelsAt96, unsigned dpi);

// How wide the text may be at `dpi`; the window measures how tall it wraps to at that width.
int WaitWindowTextWidth(WaitWindowMode mode, unsigned dpi);

// The parts of the window at `dpi` for text `textHeight` pixels tall (one line in the two
// waiting modes).
WaitWindowLayout LayOutWaitWindow(WaitWindowMode mode, unsigned dpi, int textHeight);

// The filled part, in pixels, of a bar `width` wide for `done` of `total`: 0 while the total is
// not known (0), the whole bar once done reaches it, and never more than `width`.
int BarFill(std::uint64_t done, std::uint64_t total, int width);

// The left edge of the block that runs across a bar `width` wide while nothing can be measured,
// at timer tick `tick`: from the left edge out past the right one, and round again.
int MarqueeOffset(std::uint32_t tick, int width);

}  // namespace launcher
