#include "render/texture_image.h"

#include "scene/image_decoder.h"

bool DecodeTextureImage(const std::string& path, const TextureRows& rows, std::string* error, std::string* warning) {
  std::string why;
  ImageDecodeNotes notes;
  if (!decodeImageFile(path, PixelOrder::kBgraBottomRowFirst, rows, &why, &notes)) {
    if (error != nullptr) *error = path + ": " + why;
    return false;
  }
  if (warning != nullptr && !notes.warning.empty()) *warning = path + ": " + notes.warning;
  return true;
}
