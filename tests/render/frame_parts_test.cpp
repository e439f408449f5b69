#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "render/descriptor_slots.h"
#include "render/frame_thread.h"
#include "render/render_device.h"

namespace {

TEST(TextureSampler, LinearWrappingAndNeverAnisotropic) {
  const VkSamplerCreateInfo s = textureSamplerInfo();
  EXPECT_EQ(s.magFilter, VK_FILTER_LINEAR);
  EXPECT_EQ(s.minFilter, VK_FILTER_LINEAR);
  EXPECT_EQ(s.mipmapMode, VK_SAMPLER_MIPMAP_MODE_LINEAR);
  EXPECT_EQ(s.addressModeU, VK_SAMPLER_ADDRESS_MODE_REPEAT);
  EXPECT_EQ(s.addressModeV, VK_SAMPLER_ADDRESS_MODE_REPEAT);
  EXPECT_EQ(s.anisotropyEnable, VK_FALSE);
}

TEST(DescriptorSlots, HandsOutTheLowestFreeSlot) {
  DescriptorSlots<int> slots;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(slots.allocate(i), i);
  slots.release(4);
  EXPECT_FALSE(slots.isUsed(4));
  EXPECT_EQ(slots.allocate(40), 4);
  EXPECT_EQ(*slots.at(4), 40);
  EXPECT_EQ(slots.allocate(), 10);
  slots.release(-1);     // ignored
  slots.release(5000);   // ignored
  EXPECT_EQ(slots.at(999), nullptr);
}

TEST(DescriptorSlots, NeverHandsOutMoreThanTheHeapHolds) {
  DescriptorSlots<int> slots;
  EXPECT_EQ(slots.capacity(), 1000);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(slots.allocate().has_value());
  EXPECT_FALSE(slots.allocate().has_value());
  slots.release(999);
  EXPECT_EQ(slots.allocate(), 999);
}

TEST(FrameRateMeter, FirstReadingCountsFromZero) {
  FrameRateMeter meter;
  double fps = -1;
  // The first frame accumulates the whole second-of-minute count: 2500 ms, published at once.
  EXPECT_TRUE(meter.tick(2500, fps));
  EXPECT_DOUBLE_EQ(fps, static_cast<double>(1000.0f / 2500.0f));
}

TEST(FrameRateMeter, PublishesOnlyAboveOneSecond) {
  FrameRateMeter meter;
  double fps = -1;
  meter.tick(0, fps);  // starts the window at 0 ms
  for (uint32_t t = 100; t <= 1000; t += 100) EXPECT_FALSE(meter.tick(t, fps)) << t;
  EXPECT_EQ(fps, -1);  // exactly 1000 ms does not publish
  EXPECT_TRUE(meter.tick(1001, fps));
  EXPECT_DOUBLE_EQ(fps, static_cast<double>(12.0f * 1000.0f / 1001.0f));
}

TEST(FrameRateMeter, MinuteWrapCountsForward) {
  FrameRateMeter meter;
  double fps = -1;
  meter.tick(59000, fps);  // publishes the long first interval
  fps = -1;
  EXPECT_FALSE(meter.tick(59990, fps));  // 990 ms
  EXPECT_TRUE(meter.tick(20, fps));      // + 30 ms across the minute, not a negative interval
  EXPECT_DOUBLE_EQ(fps, static_cast<double>(2.0f * 1000.0f / 1020.0f));
}

TEST(StepPacer, StepsFollowTheClockWithACapAndNoDrift) {
  using std::chrono::milliseconds;
  StepPacer pacer;
  // Clock reading (ms) and the steps due: the first frame steps once; fractions carry over; a
  // 3 s stall gives the cap and drops the rest; a clock going back gives none.
  const struct { int64_t nowMs; int steps; } readings[] = {
      {5000, 1}, {5000, 0}, {5010, 0}, {5017, 1}, {5050, 2}, {6050, 60}, {9050, 120}, {9000, 0}, {9017, 1},
  };
  for (const auto& r : readings) EXPECT_EQ(pacer.stepsDue(milliseconds(r.nowMs)), r.steps) << r.nowMs;

  // 1000 frames at random intervals of 0 to 1.5 s.
  std::mt19937 random(7);
  std::uniform_int_distribution<int64_t> interval(0, 1'500'000'000);
  StepPacer paced;
  std::chrono::nanoseconds now{123456789};
  paced.stepsDue(now);
  int64_t total = 0, start = now.count();
  for (int i = 0; i < 1000; ++i) total += paced.stepsDue(now += std::chrono::nanoseconds(interval(random)));
  EXPECT_NEAR(static_cast<double>(total), std::round(60.0 * static_cast<double>(now.count() - start) / 1e9), 1.0);
}

}  // namespace
