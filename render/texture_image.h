// Texture images decoded straight into the rows a GPU texture is filled from: B8G8R8A8, the
// image's bottom row first, as the start-up scene's textures hold them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Where a decoded image of `width` x `height` goes: `width` x `height` x 4 bytes, or null when
// there is no room for it.
using TextureRows = std::function<uint8_t*(int width, int height)>;

// Decodes the image file at `path` (scene/image_decoder.h) into the buffer `rows` gives. False,
// with "PATH: reason" in `error`, when the file cannot be read or decoded. An image decoded only
// in part (a damaged file) is true with "PATH: reason" in `warning`, when given.
bool DecodeTextureImage(const std::string& path, const TextureRows& rows, std::string* error,
                        std::string* warning = nullptr);
