#include <gtest/gtest.h>

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

}  // namespace
