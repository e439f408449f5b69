// PNG encoding of rendered pictures. A screenshot or a thumbnail is written once per run, right
// after one frame, so its encoding is on the path a file manager waits for: rows are filtered
// with the cheaper of two predictors and deflated at zlib's fastest level, which costs a few
// milliseconds where a general encoder costs tens.
#pragma once

#include <cstdint>
#include <string>

// An opaque 8-bit RGB PNG of `width` x `height` RGBA pixels (`stride` bytes a row); the alpha
// channel is dropped. Empty when zlib fails.
std::string EncodePng(const uint8_t* rgba, int32_t width, int32_t height, int64_t stride);
