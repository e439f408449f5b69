#include "render/texture_image.h"

#include <jpeglib.h>
#include <stb_image.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Larger than any texture a device takes; such a file is left to the general decoder, which
// refuses it the same way as before.
constexpr JDIMENSION kMaxJpegSide = 16384;

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf exit;
};

// The whole libjpeg run, with no object that has a destructor alive across the jump back from
// an error. Returns 1 when decoded, 0 when libjpeg refused the file, -1 when `rows` gave no room.
int decodeJpeg(std::FILE* file, const TextureRows& rows) {
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr common) {
    std::longjmp(reinterpret_cast<JpegError*>(common->err)->exit, 1);
  };
  error.manager.output_message = [](j_common_ptr) {};  // damaged data decodes as far as it goes
  if (setjmp(error.exit) != 0) {
    jpeg_destroy_decompress(&info);
    return 0;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  if (info.image_width > kMaxJpegSide || info.image_height > kMaxJpegSide) {
    jpeg_destroy_decompress(&info);
    return 0;
  }
  // Alpha 255 and blue first, as the texture holds it (libjpeg-turbo's extended spaces).
  info.out_color_space = JCS_EXT_BGRA;
  jpeg_start_decompress(&info);
  const int width = static_cast<int>(info.output_width), height = static_cast<int>(info.output_height);
  uint8_t* out = rows(width, height);
  if (out == nullptr) {
    jpeg_destroy_decompress(&info);
    return -1;
  }
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out + static_cast<std::size_t>(height - 1 - static_cast<int>(info.output_scanline)) * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return 1;
}

bool isJpeg(std::FILE* file) {
  unsigned char magic[3] = {};
  const bool jpeg = std::fread(magic, 1, 3, file) == 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF;
  std::rewind(file);
  return jpeg;
}

bool fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace

bool DecodeTextureImage(const std::string& path, const TextureRows& rows, std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (file == nullptr) return fail(error, path + ": cannot read");
  if (isJpeg(file.get())) {
    const int decoded = decodeJpeg(file.get(), rows);
    if (decoded == 1) return true;
    if (decoded < 0) return fail(error, path + ": no room for the image");
    std::rewind(file.get());
  }
  int width = 0, height = 0, channels = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load_from_file(file.get(), &width, &height, &channels, 4),
                                                   stbi_image_free);
  if (pixels == nullptr) {
    return fail(error, path + ": " + (stbi_failure_reason() != nullptr ? stbi_failure_reason() : "cannot read"));
  }
  uint8_t* out = rows(width, height);
  if (out == nullptr) return fail(error, path + ": no room for the image");
  // Red and blue trade places, a pixel at a time.
  static_assert(std::endian::native == std::endian::little);
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  for (int row = 0; row < height; ++row) {
    const stbi_uc* src = pixels.get() + static_cast<std::size_t>(height - 1 - row) * stride;
    uint8_t* dst = out + static_cast<std::size_t>(row) * stride;
    for (int x = 0; x < width; ++x) {
      uint32_t rgba;
      std::memcpy(&rgba, src + 4 * x, 4);
      const uint32_t bgra = (rgba & 0xff00ff00u) | ((rgba & 0xffu) << 16) | ((rgba >> 16) & 0xffu);
      std::memcpy(dst + 4 * x, &bgra, 4);
    }
  }
  return true;
}
