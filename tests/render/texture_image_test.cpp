#include "render/texture_image.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Decoded {
  bool ok = false;
  std::string error;
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;  // bottom row first
};

Decoded decode(const fs::path& path, bool room = true) {
  Decoded d;
  d.ok = DecodeTextureImage(
      path.string(),
      [&](int w, int h) -> uint8_t* {
        if (!room) return nullptr;
        d.width = w;
        d.height = h;
        d.bgra.assign(static_cast<std::size_t>(w) * h * 4, 0);
        return d.bgra.data();
      },
      &d.error);
  return d;
}

// What stb_image makes of the file, top row first, RGBA.
std::vector<uint8_t> stbPixels(const fs::path& path) {
  int w = 0, h = 0, c = 0;
  stbi_uc* p = stbi_load(path.c_str(), &w, &h, &c, 4);
  std::vector<uint8_t> out(p, p + (p != nullptr ? static_cast<std::size_t>(w) * h * 4 : 0));
  stbi_image_free(p);
  return out;
}

TEST(TextureImage, JpegsAndOtherFormatsArriveAsBgraBottomRowFirstAndBadFilesAreRefused) {
  const fs::path dir = fs::temp_directory_path() / ("texture_image_test_" + std::to_string(getpid()));
  fs::create_directories(dir);
  // An odd-sized picture with smooth colour ramps and one hard edge.
  const int w = 37, h = 23;
  std::vector<uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(x * 6);
      p[1] = static_cast<uint8_t>(y * 10);
      p[2] = x < w / 2 ? 40 : 200;
    }
  }
  const fs::path png = dir / "ramp.png", jpeg = dir / "ramp.jpg", gray = dir / "gray.jpeg";
  ASSERT_NE(stbi_write_png(png.c_str(), w, h, 3, rgb.data(), w * 3), 0);
  ASSERT_NE(stbi_write_jpg(jpeg.c_str(), w, h, 3, rgb.data(), 95), 0);
  std::vector<uint8_t> luma(static_cast<std::size_t>(w) * h);
  for (std::size_t i = 0; i < luma.size(); ++i) luma[i] = rgb[i * 3 + 1];
  ASSERT_NE(stbi_write_jpg(gray.c_str(), w, h, 1, luma.data(), 95), 0);

  // Every file against stb_image's reading of it: exactly for the PNG, within the rounding two
  // JPEG decoders may differ by for the JPEGs.
  for (const auto& [file, tolerance] : {std::pair{png, 0}, std::pair{jpeg, 4}, std::pair{gray, 4}}) {
    SCOPED_TRACE(file.filename().string());
    const Decoded d = decode(file);
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(d.width, w);
    ASSERT_EQ(d.height, h);
    const std::vector<uint8_t> want = stbPixels(file);
    int worst = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const uint8_t* got = &d.bgra[(static_cast<std::size_t>(h - 1 - y) * w + x) * 4];
        const uint8_t* rgba = &want[(static_cast<std::size_t>(y) * w + x) * 4];
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(got[2 - c] - rgba[c]));
        ASSERT_EQ(got[3], 255) << x << "," << y;
      }
    }
    EXPECT_LE(worst, tolerance);
  }

  // A JPEG cut short decodes as far as it goes, or is refused; a file of no image format, a
  // missing file and a decoder without room are refused with the file named.
  const fs::path cut = dir / "cut.jpg", junk = dir / "junk.jpg";
  {
    std::ifstream in(jpeg, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 3);
    std::ofstream(junk, std::ios::binary) << "\xFF\xD8\xFF not really a JPEG";
  }
  const Decoded cutShort = decode(cut);
  EXPECT_TRUE(!cutShort.ok || (cutShort.width == w && cutShort.height == h));
  for (const fs::path& bad : {junk, dir / "missing.png"}) {
    const Decoded d = decode(bad);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.error.find(bad.string()), std::string::npos) << d.error;
  }
  const Decoded full = decode(jpeg, false);
  EXPECT_FALSE(full.ok);
  EXPECT_NE(full.error.find("no room"), std::string::npos) << full.error;
  fs::remove_all(dir);
}

}  // namespace
