#include <gtest/gtest.h>

#include "app/window_layout.h"

namespace {

TEST(MainWindowLayout, FullHdScreenAt96Dpi) {
  MainWindowLayout l = computeMainWindowLayout(1920, 1080, 96);
  EXPECT_EQ(l.mainWidth, 1371);
  EXPECT_EQ(l.mainHeight, 771);
  EXPECT_EQ(l.mainX, 274);
  EXPECT_EQ(l.mainY, 154);
  EXPECT_EQ(l.barHeight, 36);
  EXPECT_EQ(l.dpiScale, 1.0f);
  EXPECT_NEAR(cameraAspect(l.mainWidth, l.mainHeight), 1.77821f, 1e-5f);

  TitleButtonLayout b = titleButtonLayout(l.mainWidth, l.barHeight);
  EXPECT_EQ(b.side, 28);
  EXPECT_EQ(b.top, 3);
  EXPECT_EQ(b.closeX, 1325);
  EXPECT_EQ(b.maximizeX, 1287);
  EXPECT_EQ(b.minimizeX, 1249);

  PixelRect d = displayRect(l.mainWidth, l.mainHeight, l.barHeight);
  EXPECT_EQ(d.x, 4);
  EXPECT_EQ(d.y, 36);
  EXPECT_EQ(d.width, 1363);
  EXPECT_EQ(d.height, 731);
}

TEST(MainWindowLayout, SmallScreenUsesSinglePrecisionFactors) {
  MainWindowLayout l = computeMainWindowLayout(1366, 768, 144);
  EXPECT_EQ(l.mainWidth, 975);
  EXPECT_EQ(l.mainHeight, 548);
  EXPECT_EQ(l.mainX, 195);
  EXPECT_EQ(l.mainY, 110);
  EXPECT_EQ(l.barHeight, 25);
  EXPECT_EQ(l.dpiScale, 1.5f);
  TitleButtonLayout b = titleButtonLayout(l.mainWidth, l.barHeight);
  EXPECT_EQ(b.side, 20);  // 25 x 0.800000011920929 = 20.0000003
  EXPECT_EQ(b.top, 2);
  EXPECT_EQ(l.mainWidth - b.closeX - b.side, 12);   // first margin
  EXPECT_EQ(b.closeX - b.maximizeX - b.side, 7);    // gap: 25 x 0.30000001192 = 7.5000003
  EXPECT_EQ(b.maximizeX - b.minimizeX - b.side, 7);
}

TEST(MainWindowLayout, MaximizedFullHdFrame) {
  PixelRect d = displayRect(1920, 1080, 36);
  EXPECT_EQ(d.x, 4);
  EXPECT_EQ(d.y, 36);
  EXPECT_EQ(d.width, 1912);
  EXPECT_EQ(d.height, 1040);
  TitleButtonLayout b = titleButtonLayout(1920, 36);
  EXPECT_EQ(b.closeX, 1874);
  EXPECT_EQ(b.maximizeX, 1836);
  EXPECT_EQ(b.minimizeX, 1798);
}

// Two 1920 x 1080 monitors side by side on a 3840 x 1080 screen.
TEST(MainWindowLayout, PrimaryMonitorChosenAndWindowCentredOnIt) {
  const PixelRect left{0, 0, 1920, 1080}, right{1920, 0, 1920, 1080}, screen{0, 0, 3840, 1080};
  struct Case {
    std::vector<MonitorArea> monitors;
    PixelRect area;
    int index;
    int32_t mainX;
  } cases[] = {
      {{{left, false}, {right, true}}, right, 1, 1920 + 274},  // the primary one
      {{{left, false}, {right, false}}, left, 0, 274},         // no primary: the first
      {{}, screen, -1, (3840 - 2742) / 2},                     // none: the whole screen
  };
  for (const Case& c : cases) {
    ChosenMonitor m = choosePrimaryMonitor(c.monitors, screen);
    EXPECT_EQ(m.index, c.index);
    EXPECT_EQ(m.area.x, c.area.x);
    EXPECT_EQ(m.area.width, c.area.width);
    MainWindowLayout l = computeMainWindowLayout(m.area, 96);
    EXPECT_EQ(l.mainX, c.mainX) << c.index;
    EXPECT_EQ(l.mainY, 154) << c.index;
    EXPECT_EQ(l.mainWidth, c.index < 0 ? 2742 : 1371) << c.index;
    EXPECT_EQ(l.mainHeight, 771) << c.index;
    EXPECT_EQ(l.barHeight, 36) << c.index;
  }
}

}  // namespace
