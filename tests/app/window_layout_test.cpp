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

}  // namespace
