#include "scene/image_decoder.h"

#include <jpeglib.h>
#include <stb_image.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/regular_file.h"

namespace {

enum class Kind { kPng, kJpeg, kTiff, kWebp, kGif, kBmp, kPsd, kHdr, kPnm, kTga, kUnknown };

bool startsWith(std::span<const uint8_t> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

bool endsWithTga(std::string_view name) {
  if (name.size() < 4) return false;
  std::string suffix(name.substr(name.size() - 4));
  for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return suffix == ".tga";
}

// By signature; a TGA, which has none, by its name.
Kind kindOf(std::span<const uint8_t> head, std::string_view nameHint) {
  if (startsWith(head, "\x89PNG")) return Kind::kPng;
  if (startsWith(head, "\xFF\xD8\xFF")) return Kind::kJpeg;
  if (startsWith(head, std::string_view("II*\0", 4)) || startsWith(head, std::string_view("MM\0*", 4))) {
    return Kind::kTiff;
  }
  if (startsWith(head, "RIFF") && head.size() >= 12 && std::memcmp(head.data() + 8, "WEBP", 4) == 0) return Kind::kWebp;
  if (startsWith(head, "GIF8")) return Kind::kGif;
  if (startsWith(head, "BM")) return Kind::kBmp;
  if (startsWith(head, "8BPS")) return Kind::kPsd;
  if (startsWith(head, "#?RADIANCE") || startsWith(head, "#?RGBE")) return Kind::kHdr;
  if (head.size() >= 2 && head[0] == 'P' && (head[1] == '5' || head[1] == '6')) return Kind::kPnm;
  if (endsWithTga(nameHint)) return Kind::kTga;
  return Kind::kUnknown;
}

bool fail(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return false;
}

std::string tooLarge(uint64_t width, uint64_t height) {
  return "is " + std::to_string(width) + " x " + std::to_string(height) + " pixels, larger than the largest texture (" +
         std::to_string(kMaxImageSide) + " x " + std::to_string(kMaxImageSide) + ")";
}

bool sizeFits(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide;
}

// Puts RGBA rows, top row first, into `out` in `order`; `in` and `out` may be the same buffer.
void arrange(const uint8_t* in, uint8_t* out, int width, int height, PixelOrder order) {
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  if (order == PixelOrder::kRgbaTopRowFirst) {
    if (in != out) std::memcpy(out, in, stride * static_cast<std::size_t>(height));
    return;
  }
  static_assert(std::endian::native == std::endian::little);
  auto swapped = [](uint32_t rgba) { return (rgba & 0xff00ff00u) | ((rgba & 0xffu) << 16) | ((rgba >> 16) & 0xffu); };
  std::vector<uint8_t> keep;
  if (in == out) {
    keep.assign(in, in + stride * static_cast<std::size_t>(height));
    in = keep.data();
  }
  for (int row = 0; row < height; ++row) {
    const uint8_t* src = in + static_cast<std::size_t>(height - 1 - row) * stride;
    uint8_t* dst = out + static_cast<std::size_t>(row) * stride;
    for (int x = 0; x < width; ++x) {
      uint32_t pixel;
      std::memcpy(&pixel, src + 4 * x, 4);
      pixel = swapped(pixel);
      std::memcpy(dst + 4 * x, &pixel, 4);
    }
  }
}

bool anyTranslucent(const uint8_t* pixels, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (pixels[i * 4 + 3] != 255) return true;
  }
  return false;
}

// ---- JPEG: libjpeg, straight into the caller's rows, twice as fast as the general decoder.

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf exit;
  char firstWarning[JMSG_LENGTH_MAX];
};

// The whole libjpeg run, with no object that has a destructor alive across the jump back from
// an error. Returns 1 when decoded, 0 when libjpeg refused the bytes, -1 when the image is too
// large, -2 when `rows` gave no room.
int decodeJpeg(std::span<const uint8_t> bytes, PixelOrder order, const PixelRows& rows, JpegError& error,
               int& width, int& height) {
  jpeg_decompress_struct info{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr common) {
    std::longjmp(reinterpret_cast<JpegError*>(common->err)->exit, 1);
  };
  // Damaged data decodes as far as it goes; the first warning says why it stopped.
  error.manager.emit_message = [](j_common_ptr common, int level) {
    auto* e = reinterpret_cast<JpegError*>(common->err);
    if (level < 0 && e->manager.num_warnings++ == 0) e->manager.format_message(common, e->firstWarning);
  };
  if (setjmp(error.exit) != 0) {
    jpeg_destroy_decompress(&info);
    return 0;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  width = static_cast<int>(info.image_width);
  height = static_cast<int>(info.image_height);
  if (!sizeFits(info.image_width, info.image_height)) {
    jpeg_destroy_decompress(&info);
    return -1;
  }
  info.out_color_space = order == PixelOrder::kRgbaTopRowFirst ? JCS_EXT_RGBA : JCS_EXT_BGRA;
  jpeg_start_decompress(&info);
  width = static_cast<int>(info.output_width);
  height = static_cast<int>(info.output_height);
  uint8_t* out = rows(width, height);
  if (out == nullptr) {
    jpeg_destroy_decompress(&info);
    return -2;
  }
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  // Rows a damaged file never reaches stay as the buffer had them: cleared, so that they are
  // the same on every run.
  std::memset(out, 0, stride * static_cast<std::size_t>(height));
  while (info.output_scanline < info.output_height) {
    const int line = static_cast<int>(info.output_scanline);
    JSAMPROW row = out + static_cast<std::size_t>(order == PixelOrder::kRgbaTopRowFirst ? line : height - 1 - line) * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return 1;
}

// ---- TIFF: libtiff over the bytes in memory, with its messages kept rather than printed.

struct TiffBytes {
  std::span<const uint8_t> bytes;
  uint64_t at = 0;
  std::string error, warning;
};

tmsize_t tiffRead(thandle_t handle, void* to, tmsize_t size) {
  auto* t = static_cast<TiffBytes*>(handle);
  const uint64_t left = t->at < t->bytes.size() ? t->bytes.size() - t->at : 0;
  const auto n = static_cast<uint64_t>(std::min<uint64_t>(left, static_cast<uint64_t>(size)));
  std::memcpy(to, t->bytes.data() + t->at, n);
  t->at += n;
  return static_cast<tmsize_t>(n);
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) { return 0; }
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
  auto* t = static_cast<TiffBytes*>(handle);
  const uint64_t base = whence == SEEK_CUR ? t->at : whence == SEEK_END ? t->bytes.size() : 0;
  t->at = base + offset;
  return t->at;
}
int tiffClose(thandle_t) { return 0; }
toff_t tiffSize(thandle_t handle) { return static_cast<TiffBytes*>(handle)->bytes.size(); }
int tiffMessage(TIFF*, void* user, const char*, const char* format, va_list args, bool isError) {
  auto* t = static_cast<TiffBytes*>(user);
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  (isError ? t->error : t->warning) = text;
  return 1;
}

bool decodeTiff(std::span<const uint8_t> bytes, PixelOrder order, const PixelRows& rows, std::string* why,
                ImageDecodeNotes* notes) {
  TiffBytes source;
  source.bytes = bytes;
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
  TIFFOpenOptionsSetErrorHandlerExtR(
      options.get(),
      [](TIFF* tiff, void* user, const char* module, const char* format, va_list args) {
        return tiffMessage(tiff, user, module, format, args, true);
      },
      &source);
  TIFFOpenOptionsSetWarningHandlerExtR(
      options.get(),
      [](TIFF* tiff, void* user, const char* module, const char* format, va_list args) {
        return tiffMessage(tiff, user, module, format, args, false);
      },
      &source);
  // No memory map of the bytes: "m" turns it off.
  std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(
      TIFFClientOpenExt("image", "rm", &source, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, nullptr, nullptr,
                        options.get()),
      TIFFClose);
  if (tiff == nullptr) return fail(why, "cannot be decoded: " + (source.error.empty() ? "not a TIFF" : source.error));
  uint32_t width = 0, height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  if (!sizeFits(width, height)) return fail(why, tooLarge(width, height));
  uint8_t* out = rows(static_cast<int>(width), static_cast<int>(height));
  if (out == nullptr) return fail(why, "no room for the image");
  // Packed as A, B, G, R from the high byte down: R, G, B, A in memory.
  const bool topFirst = order == PixelOrder::kRgbaTopRowFirst;
  if (!TIFFReadRGBAImageOriented(tiff.get(), width, height, reinterpret_cast<uint32_t*>(out),
                                 topFirst ? ORIENTATION_TOPLEFT : ORIENTATION_BOTLEFT, 0)) {
    return fail(why, "cannot be decoded: " + (source.error.empty() ? "unsupported TIFF layout" : source.error));
  }
  // libtiff hands colours multiplied by their alpha; textures keep them as they were painted.
  uint16_t extraSamples = 0;
  uint16_t* extraKinds = nullptr;
  if (TIFFGetField(tiff.get(), TIFFTAG_EXTRASAMPLES, &extraSamples, &extraKinds) && extraSamples > 0) {
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
      uint8_t* pixel = out + i * 4;
      const unsigned alpha = pixel[3];
      if (alpha == 0 || alpha == 255) continue;
      for (int k = 0; k < 3; ++k) pixel[k] = static_cast<uint8_t>(std::min(255u, (pixel[k] * 255u + alpha / 2) / alpha));
    }
  }
  if (!topFirst) {
    // Already bottom row first: only red and blue trade places.
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) std::swap(out[i * 4], out[i * 4 + 2]);
  }
  if (notes != nullptr) {
    notes->hasAlpha = anyTranslucent(out, std::size_t{width} * height);
    if (!source.error.empty()) notes->warning = source.error;
  }
  return true;
}

// ---- WebP: libwebp.

bool decodeWebp(std::span<const uint8_t> bytes, PixelOrder order, const PixelRows& rows, std::string* why,
                ImageDecodeNotes* notes) {
  int width = 0, height = 0;
  if (!WebPGetInfo(bytes.data(), bytes.size(), &width, &height)) return fail(why, "cannot be decoded: not a WebP image");
  if (!sizeFits(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) return fail(why, tooLarge(width, height));
  uint8_t* out = rows(width, height);
  if (out == nullptr) return fail(why, "no room for the image");
  const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  if (WebPDecodeRGBAInto(bytes.data(), bytes.size(), out, size, width * 4) == nullptr) {
    return fail(why, "cannot be decoded: damaged WebP data");
  }
  if (notes != nullptr) notes->hasAlpha = anyTranslucent(out, size / 4);
  arrange(out, out, width, height, order);
  return true;
}

// ---- Everything else: stb_image.

// The size a PNG's header states, read here: stb_image's own look at the header names no
// reason when it refuses one (it tries every other format after it).
bool pngSize(std::span<const uint8_t> bytes, uint64_t& width, uint64_t& height) {
  if (bytes.size() < 24 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) return false;
  auto bigEndian = [&](std::size_t at) {
    return uint64_t{bytes[at]} << 24 | uint64_t{bytes[at + 1]} << 16 | uint64_t{bytes[at + 2]} << 8 | bytes[at + 3];
  };
  width = bigEndian(16);
  height = bigEndian(20);
  return true;
}

bool decodeStb(std::span<const uint8_t> bytes, Kind kind, PixelOrder order, const PixelRows& rows, std::string* why,
               ImageDecodeNotes* notes) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return fail(why, "is too large to decode");
  const int length = static_cast<int>(bytes.size());
  int width = 0, height = 0, channels = 0;
  // Sizes beyond any texture are refused before their pixels are; where the header cannot be
  // read, the decode below says why.
  uint64_t statedWidth = 0, statedHeight = 0;
  const bool stated = kind == Kind::kPng ? pngSize(bytes, statedWidth, statedHeight)
                                         : stbi_info_from_memory(bytes.data(), length, &width, &height, &channels) != 0;
  if (kind != Kind::kPng) {
    statedWidth = static_cast<uint64_t>(width);
    statedHeight = static_cast<uint64_t>(height);
  }
  if (stated && !sizeFits(statedWidth, statedHeight)) return fail(why, tooLarge(statedWidth, statedHeight));
  std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load_from_memory(bytes.data(), length, &width, &height, &channels, 4),
                                                   stbi_image_free);
  if (pixels == nullptr) {
    const char* reason = stbi_failure_reason();
    return fail(why, std::string("cannot be decoded: ") + (reason != nullptr ? reason : "damaged image data"));
  }
  if (!sizeFits(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) return fail(why, tooLarge(width, height));
  uint8_t* out = rows(width, height);
  if (out == nullptr) return fail(why, "no room for the image");
  if (notes != nullptr) notes->hasAlpha = anyTranslucent(pixels.get(), static_cast<std::size_t>(width) * height);
  arrange(pixels.get(), out, width, height, order);
  return true;
}

}  // namespace

bool decodeImage(std::span<const uint8_t> bytes, std::string_view nameHint, PixelOrder order, const PixelRows& rows,
                 std::string* why, ImageDecodeNotes* notes) {
  switch (kindOf(bytes, nameHint)) {
    case Kind::kJpeg: {
      auto error = std::make_unique<JpegError>();
      int width = 0, height = 0;
      const int decoded = decodeJpeg(bytes, order, rows, *error, width, height);
      if (decoded == -1) return fail(why, tooLarge(static_cast<uint64_t>(width), static_cast<uint64_t>(height)));
      if (decoded == -2) return fail(why, "no room for the image");
      if (decoded == 1) {
        if (notes != nullptr) {
          notes->hasAlpha = false;
          if (error->manager.num_warnings > 0) notes->warning = error->firstWarning;
        }
        return true;
      }
      // What libjpeg refuses (a colour space it does not convert) the general decoder may read.
      return decodeStb(bytes, Kind::kJpeg, order, rows, why, notes);
    }
    case Kind::kTiff:
      return decodeTiff(bytes, order, rows, why, notes);
    case Kind::kWebp:
      return decodeWebp(bytes, order, rows, why, notes);
    case Kind::kUnknown:
      return fail(why, "is no image the viewer decodes (its first bytes are those of no PNG, JPEG, TIFF, WebP, BMP, "
                       "GIF, PSD, HDR or PNM file, and its name is not a TGA's)");
    default:
      return decodeStb(bytes, kindOf(bytes, nameHint), order, rows, why, notes);
  }
}

bool decodeImageFile(const std::filesystem::path& path, PixelOrder order, const PixelRows& rows, std::string* why,
                     ImageDecodeNotes* notes) {
  // The head first: a file of no image format, or one far larger than any texture, is refused
  // without reading it.
  std::vector<uint8_t> head;
  uint64_t size = 0;
  if (!platform::readFileHead(path, 64, head, size, why)) return false;
  if (kindOf(head, path.filename().string()) == Kind::kUnknown) {
    return decodeImage(head, path.filename().string(), order, rows, why, notes);
  }
  if (size > kMaxImageFileBytes) {
    return fail(why, "is " + std::to_string(size) + " bytes, larger than any texture file (" +
                         std::to_string(kMaxImageFileBytes >> 20) + " MiB)");
  }
  std::vector<uint8_t> bytes;
  if (!platform::readRegularFile(path, bytes, why, kMaxImageFileBytes)) return false;
  return decodeImage(bytes, path.filename().string(), order, rows, why, notes);
}
