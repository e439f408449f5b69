#include "app/window_layout.h"

namespace {

// Button proportions of the bar height: single-precision constants widened to double, so that
// 36 x 0.8 gives 28.8000004... and truncates as the original layout did.
constexpr double kButtonSideFactor = static_cast<double>(0.8f);
constexpr double kButtonTopFactor = static_cast<double>(0.1f);
constexpr double kButtonGapFactor = static_cast<double>(0.3f);
constexpr double kButtonMarginFactor = 0.5;

int32_t truncToInt(double v) { return static_cast<int32_t>(v); }

}  // namespace

ChosenMonitor choosePrimaryMonitor(const std::vector<MonitorArea>& monitors, const PixelRect& screen) {
  if (monitors.empty()) return {screen, -1};
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    if (monitors[i].primary) return {monitors[i].area, static_cast<int>(i)};
  }
  return {monitors.front().area, 0};
}

MainWindowLayout computeMainWindowLayout(const PixelRect& monitor, int32_t logicalDpiX) {
  MainWindowLayout layout;
  layout.mainWidth = truncToInt(monitor.width / 1.4);
  layout.mainHeight = truncToInt(monitor.height / 1.4);
  layout.mainX = monitor.x + (monitor.width - layout.mainWidth) / 2;
  layout.mainY = monitor.y + (monitor.height - layout.mainHeight) / 2;
  layout.barHeight = truncToInt(monitor.height / 30.0);
  layout.dpiScale = static_cast<float>(static_cast<float>(logicalDpiX) / 96.0);
  return layout;
}

MainWindowLayout computeMainWindowLayout(int32_t screenWidth, int32_t screenHeight,
                                         int32_t logicalDpiX) {
  return computeMainWindowLayout(PixelRect{0, 0, screenWidth, screenHeight}, logicalDpiX);
}

PixelRect displayRect(int32_t frameWidth, int32_t frameHeight, int32_t barHeight) {
  return {kBorderWidth / 2, barHeight, frameWidth - kBorderWidth,
          frameHeight - kBorderHeight / 2 - barHeight};
}

TitleButtonLayout titleButtonLayout(int32_t frameWidth, int32_t barHeight) {
  TitleButtonLayout b;
  b.side = truncToInt(barHeight * kButtonSideFactor);
  b.top = truncToInt(barHeight * kButtonTopFactor);
  int32_t gap = truncToInt(barHeight * kButtonGapFactor);
  b.closeX = frameWidth - truncToInt(barHeight * kButtonMarginFactor) - b.side;
  b.maximizeX = b.closeX - b.side - gap;
  b.minimizeX = b.maximizeX - b.side - gap;
  return b;
}
