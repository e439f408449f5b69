#include "scene/image_decoder.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "render/texture_image.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 37, kHeight = 23;

// An odd-sized picture with smooth colour ramps, one hard edge and a translucent corner.
std::vector<uint8_t> picture() {
  std::vector<uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgba[(static_cast<std::size_t>(y) * kWidth + x) * 4];
      p[0] = static_cast<uint8_t>(x * 6);
      p[1] = static_cast<uint8_t>(y * 10);
      p[2] = x < kWidth / 2 ? 40 : 200;
      p[3] = x < 3 && y < 3 ? 128 : 255;
    }
  }
  return rgba;
}

void writeTiff(const fs::path& path, const std::vector<uint8_t>& rgba) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint16_t extra = EXTRASAMPLE_UNASSALPHA;
  TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
  for (int y = 0; y < kHeight; ++y) {
    TIFFWriteScanline(tiff, const_cast<uint8_t*>(&rgba[static_cast<std::size_t>(y) * kWidth * 4]), y, 0);
  }
  TIFFClose(tiff);
}

struct Decoded {
  bool ok = false;
  std::string why;
  ImageDecodeNotes notes;
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

Decoded decode(const fs::path& path, PixelOrder order) {
  Decoded d;
  d.ok = decodeImageFile(
      path, order,
      [&](int w, int h) {
        d.width = w;
        d.height = h;
        d.pixels.assign(static_cast<std::size_t>(w) * h * 4, 0);
        return d.pixels.data();
      },
      &d.why, &d.notes);
  return d;
}

class ImageDecoder : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path file(const char* name) const { return dir_ / name; }
  const fs::path dir_ = fs::temp_directory_path() / ("image_decoder_test_" + std::to_string(::getpid()));
};

// Every format in both row orders against the picture it was written from: exactly where the
// format is lossless, within what a lossy one changes.
TEST_F(ImageDecoder, EveryFormatArrivesInEitherOrderWithItsAlpha) {
  const std::vector<uint8_t> rgba = picture();
  std::vector<uint8_t> rgb;
  for (std::size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
  ASSERT_NE(stbi_write_png(file("a.png").c_str(), kWidth, kHeight, 4, rgba.data(), kWidth * 4), 0);
  ASSERT_NE(stbi_write_tga(file("a.tga").c_str(), kWidth, kHeight, 4, rgba.data()), 0);
  ASSERT_NE(stbi_write_bmp(file("a.bmp").c_str(), kWidth, kHeight, 3, rgb.data()), 0);
  ASSERT_NE(stbi_write_jpg(file("a.jpg").c_str(), kWidth, kHeight, 3, rgb.data(), 95), 0);
  writeTiff(file("a.tif"), rgba);
  uint8_t* webp = nullptr;
  const std::size_t webpSize = WebPEncodeLosslessRGBA(rgba.data(), kWidth, kHeight, kWidth * 4, &webp);
  ASSERT_GT(webpSize, 0u);
  std::ofstream(file("a.webp"), std::ios::binary).write(reinterpret_cast<const char*>(webp), static_cast<std::streamsize>(webpSize));
  WebPFree(webp);

  struct Case {
    const char* name;
    int tolerance;
    bool alpha;
  };
  for (const Case& c : {Case{"a.png", 0, true}, Case{"a.tga", 0, true}, Case{"a.bmp", 0, false},
                        Case{"a.jpg", 12, false}, Case{"a.tif", 2, true}, Case{"a.webp", 0, true}}) {
    for (PixelOrder order : {PixelOrder::kRgbaTopRowFirst, PixelOrder::kBgraBottomRowFirst}) {
      SCOPED_TRACE(std::string(c.name) + (order == PixelOrder::kRgbaTopRowFirst ? " top first" : " bottom first"));
      const Decoded d = decode(file(c.name), order);
      ASSERT_TRUE(d.ok) << d.why;
      ASSERT_EQ(d.width, kWidth);
      ASSERT_EQ(d.height, kHeight);
      EXPECT_EQ(d.notes.hasAlpha, c.alpha);
      EXPECT_EQ(d.notes.warning, "");
      int worst = 0;
      for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
          const bool top = order == PixelOrder::kRgbaTopRowFirst;
          const uint8_t* got = &d.pixels[(static_cast<std::size_t>(top ? y : kHeight - 1 - y) * kWidth + x) * 4];
          const uint8_t* want = &rgba[(static_cast<std::size_t>(y) * kWidth + x) * 4];
          for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(got[top ? k : 2 - k] - want[k]));
          ASSERT_EQ(got[3], c.alpha ? want[3] : 255) << x << "," << y;
        }
      }
      EXPECT_LE(worst, c.tolerance);
    }
  }
}

// What cannot be drawn is refused with one reason, without waiting on a pipe or reading a huge
// file; what is drawn only in part says why.
TEST_F(ImageDecoder, FilesThatCannotBeDrawnSayWhyWithoutHangingOrReadingThemWhole) {
  // Noise, so that most of the file is scan data and half of it cuts the picture in two.
  std::vector<uint8_t> noise(256 * 256 * 3);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  ASSERT_NE(stbi_write_jpg(file("whole.jpg").c_str(), 256, 256, 3, noise.data(), 90), 0);
  std::ifstream in(file("whole.jpg"), std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(file("cut.jpg"), std::ios::binary) << jpeg.substr(0, jpeg.size() / 2);
  // A PNG header claiming 65535 x 65535 pixels.
  const unsigned char huge[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 8, 6, 0, 0, 0, 0x4B, 0x1C, 0x9E, 0x34};
  std::ofstream(file("huge.png"), std::ios::binary).write(reinterpret_cast<const char*>(huge), sizeof huge);
  std::ofstream(file("junk.jpg"), std::ios::binary) << "\xFF\xD8\xFF not really a JPEG";
  std::ofstream(file("notes.png")) << "plain text";
  ASSERT_EQ(::mkfifo(file("pipe.png").c_str(), 0600), 0);
  // A sparse file of a gigabyte and more: nothing of it is read.
  { std::ofstream(file("sparse.png")); }
  fs::resize_file(file("sparse.png"), (uint64_t{1} << 30) + 1);

  struct Case {
    const char* name;
    bool ok;
    const char* reason;  // in `why`, or in the warning of a partial decode
  };
  for (const Case& c : {Case{"cut.jpg", true, "remature end"},
                        Case{"huge.png", false, "65535 x 65535 pixels, larger than the largest texture"},
                        Case{"junk.jpg", false, "cannot be decoded"},
                        Case{"notes.png", false, "is no image the viewer decodes"},
                        Case{"pipe.png", false, "is not a regular file"},
                        Case{"sparse.png", false, "is no image the viewer decodes"},
                        Case{"missing.png", false, "No such file"}}) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode(file(c.name), PixelOrder::kRgbaTopRowFirst);
    EXPECT_EQ(d.ok, c.ok);
    EXPECT_NE((c.ok ? d.notes.warning : d.why).find(c.reason), std::string::npos) << d.why << d.notes.warning;
    if (c.ok) {
      EXPECT_EQ(d.width, 256);
    }
  }

  // The start-up scene's texture loader names the file in its messages.
  std::string error, warning;
  EXPECT_TRUE(DecodeTextureImage(file("cut.jpg").string(), [&](int w, int h) {
    static std::vector<uint8_t> room;
    room.assign(static_cast<std::size_t>(w) * h * 4, 0);
    return room.data();
  }, &error, &warning));
  EXPECT_EQ(warning.rfind(file("cut.jpg").string() + ": ", 0), 0u) << warning;
  EXPECT_FALSE(DecodeTextureImage(file("whole.jpg").string(), [](int, int) { return nullptr; }, &error));
  EXPECT_EQ(error, file("whole.jpg").string() + ": no room for the image");
}

}  // namespace
