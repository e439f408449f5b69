// The main window's geometry as plain functions of the screen: the monitor it lives on, its
// restored size and place, the title-bar height, the three title-bar button squares, the
// display rectangle inside a frame, and the camera's aspect. No windowing here, so it is
// testable anywhere.
#pragma once

#include <cstdint>
#include <vector>

// Frame allowance around the display area.
inline constexpr int32_t kBorderWidth = 8;
inline constexpr int32_t kBorderHeight = 8;

struct PixelRect {
  int32_t x = 0, y = 0, width = 0, height = 0;
};

// One monitor of the X screen, in root-window coordinates.
struct MonitorArea {
  PixelRect area;
  bool primary = false;
};

// The monitor the main window lives on: the primary one, else the first. `index` is its place
// in the list, -1 when the list is empty and the whole screen (`screen`) stands in for it.
struct ChosenMonitor {
  PixelRect area;
  int index = -1;
};
ChosenMonitor choosePrimaryMonitor(const std::vector<MonitorArea>& monitors, const PixelRect& screen);

struct MainWindowLayout {
  int32_t mainWidth = 0;   // restored size
  int32_t mainHeight = 0;
  int32_t mainX = 0;       // restored position, centred on the monitor, in screen coordinates
  int32_t mainY = 0;
  int32_t barHeight = 0;   // title-bar height
  float dpiScale = 1.0f;   // logical pixels per inch / 96
};

// Sizes follow the monitor's width and height; the position is offset by its origin.
MainWindowLayout computeMainWindowLayout(const PixelRect& monitor, int32_t logicalDpiX);
// The same for a monitor at the screen's origin.
MainWindowLayout computeMainWindowLayout(int32_t screenWidth, int32_t screenHeight,
                                         int32_t logicalDpiX);

// The display child window inside a frame of `frameWidth` x `frameHeight`: a 4-pixel border on
// the left, right and bottom, the title bar above.
PixelRect displayRect(int32_t frameWidth, int32_t frameHeight, int32_t barHeight);

// The three title-bar buttons, right to left, for a frame of `frameWidth`.
struct TitleButtonLayout {
  int32_t side = 0;  // each button is a side x side square
  int32_t top = 0;
  int32_t closeX = 0;
  int32_t maximizeX = 0;
  int32_t minimizeX = 0;
};

TitleButtonLayout titleButtonLayout(int32_t frameWidth, int32_t barHeight);

// The scene's aspect ratio: main width over main height in single precision.
inline float cameraAspect(int32_t mainWidth, int32_t mainHeight) {
  return static_cast<float>(mainWidth) / static_cast<float>(mainHeight);
}
