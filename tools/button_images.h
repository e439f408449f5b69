// The six title-bar button images: close, maximize/restore and minimize, each normal and
// pressed, drawn at 28 x 28 with transparency.
#pragma once

#include <string>
#include <vector>

#include "tools/skeleton_content.h"

namespace content {

struct NamedImage {
  std::string fileName;  // e.g. "ButtonClose.png"
  Image image;
};

std::vector<NamedImage> makeButtonImages();

}  // namespace content
