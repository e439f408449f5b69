// Pictures written by the program's PNG encoder decode, through an independent decoder, to
// exactly the pixels given, whatever their size and content (each row's filter choice is
// exercised by flat, smooth, noisy and striped pictures).
#include "app/png_writer.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

TEST(PngWriter, PicturesDecodeToTheirPixels) {
  using Shade = std::function<uint8_t(int x, int y, int channel)>;
  const struct {
    const char* name;
    int width, height;
    Shade shade;
  } cases[] = {
      {"one pixel", 1, 1, [](int, int, int c) { return static_cast<uint8_t>(40 * c + 7); }},
      {"flat", 64, 48, [](int, int, int c) { return static_cast<uint8_t>(200 - c); }},
      {"gradient", 333, 77, [](int x, int y, int c) { return static_cast<uint8_t>(x + 2 * y + 50 * c); }},
      {"noise", 129, 65, [](int, int, int) { return static_cast<uint8_t>(std::rand()); }},
      {"noise in bands", 500, 300, [](int, int, int) { return static_cast<uint8_t>(std::rand()); }},
      {"columns", 640, 480, [](int x, int, int c) { return static_cast<uint8_t>(x % 3 == c ? 255 : 0); }},
      {"rows", 17, 200, [](int, int y, int) { return static_cast<uint8_t>(y % 2 ? 250 : 3); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int stride = c.width * 4 + 8;  // rows padded, as a mapped buffer's may be
    std::vector<uint8_t> rgba(static_cast<std::size_t>(stride) * c.height, 0xAB);
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        for (int ch = 0; ch < 4; ++ch) rgba[y * stride + x * 4 + ch] = ch < 3 ? c.shade(x, y, ch) : 17;
      }
    }
    const std::string png = EncodePng(rgba.data(), c.width, c.height, stride);
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> decoded(
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()), static_cast<int>(png.size()), &width,
                              &height, &channels, 4),
        stbi_image_free);
    ASSERT_NE(decoded, nullptr) << stbi_failure_reason();
    ASSERT_EQ(width, c.width);
    ASSERT_EQ(height, c.height);
    EXPECT_EQ(channels, 3);
    int wrong = 0;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        for (int ch = 0; ch < 4; ++ch) {
          const uint8_t want = ch < 3 ? rgba[y * stride + x * 4 + ch] : 255;  // written opaque
          wrong += decoded.get()[(y * c.width + x) * 4 + ch] != want;
        }
      }
    }
    EXPECT_EQ(wrong, 0);
  }
  EXPECT_TRUE(EncodePng(nullptr, 0, 5, 0).empty());
}
