// Decoding the images that models use as textures: PNG, JPEG, TIFF, WebP and the rest that
// stb_image reads (BMP, TGA, GIF, PSD, HDR, PNM), from a file or from bytes a model file holds,
// into 8-bit RGBA pixels in the row order a caller asks for. CPU only: it runs on the thread
// that loads a model, never where a frame is drawn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

// The largest side a texture may have (the smallest maximum a Vulkan device may report is
// 4096; devices that draw models report 16384).
inline constexpr int kMaxImageSide = 16384;
// No texture file is larger: a bigger file is refused unread.
inline constexpr uint64_t kMaxImageFileBytes = uint64_t{1} << 30;

enum class PixelOrder : uint8_t {
  kRgbaTopRowFirst,     // as images are written
  kBgraBottomRowFirst,  // as the start-up scene's textures hold them
};

// Where a decoded image of `width` x `height` goes: `width` x `height` x 4 bytes, or null when
// there is no room for it.
using PixelRows = std::function<uint8_t*(int width, int height)>;

// What a decode made of an image beyond its pixels.
struct ImageDecodeNotes {
  std::string warning;  // the image is damaged but drawn as far as it decoded: why, or empty
  bool hasAlpha = false;  // some pixel is not fully opaque
};

// Decodes the encoded image `bytes` into the buffer `rows` gives. `nameHint` (a file name)
// tells a TGA, which has no signature, from bytes of no format. False, with the reason in `why`
// (no file name in it), when the bytes are of no format it decodes, are damaged past decoding,
// are larger than kMaxImageSide, or `rows` gives no room.
bool decodeImage(std::span<const uint8_t> bytes, std::string_view nameHint, PixelOrder order, const PixelRows& rows,
                 std::string* why, ImageDecodeNotes* notes = nullptr);

// The same for the image file at `path`, which must be a regular file of at most
// kMaxImageFileBytes; its first bytes are looked at before the rest is read.
bool decodeImageFile(const std::filesystem::path& path, PixelOrder order, const PixelRows& rows, std::string* why,
                     ImageDecodeNotes* notes = nullptr);
