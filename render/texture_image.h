// Texture images decoded straight into the rows a GPU texture is filled from: B8G8R8A8, the
// image's bottom row first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Where a decoded image of `width` x `height` goes: `width` x `height` x 4 bytes, or null when
// there is no room for it.
using TextureRows = std::function<uint8_t*(int width, int height)>;

// Decodes the image file at `path` into the buffer `rows` gives. JPEG files go through
// libjpeg (twice as fast as the general decoder, and straight into the buffer); every other
// format stb_image reads, and a JPEG libjpeg refuses, through stb_image. False, with the reason
// in `error`, when the file cannot be read or decoded.
bool DecodeTextureImage(const std::string& path, const TextureRows& rows, std::string* error);
