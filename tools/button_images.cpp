#include "tools/button_images.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace content {
namespace {

constexpr int kSide = 28;
constexpr int kSamples = 4;  // per axis, for anti-aliased edges

// Distance from p to the segment a-b.
float segmentDistance(float px, float py, float ax, float ay, float bx, float by) {
  float dx = bx - ax, dy = by - ay;
  float t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
  float ex = px - (ax + t * dx), ey = py - (ay + t * dy);
  return std::sqrt(ex * ex + ey * ey);
}

// Inside test of a rounded square inset by `inset` pixels with corner radius `r`.
bool inRoundedSquare(float x, float y, float inset, float r) {
  float lo = inset + r, hi = kSide - inset - r;
  float cx = std::clamp(x, lo, hi), cy = std::clamp(y, lo, hi);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

using GlyphFn = std::function<bool(float, float)>;

// Draws a rounded plate with a glyph on it. Colours stay below pure white: the main window
// treats pure white as transparent.
Image drawButton(const GlyphFn& glyph, bool pressed, const uint8_t accent[3]) {
  Image image;
  image.width = image.height = kSide;
  image.rgba.assign(kSide * kSide * 4, 0);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      float plate = 0, mark = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          float fx = static_cast<float>(x) + (static_cast<float>(sx) + 0.5f) / kSamples;
          float fy = static_cast<float>(y) + (static_cast<float>(sy) + 0.5f) / kSamples;
          if (pressed) {  // the glyph sinks a pixel when pressed
            fx -= 0.75f;
            fy -= 0.75f;
          }
          if (inRoundedSquare(fx, fy, 1.0f, 5.0f)) plate += 1;
          if (glyph(fx, fy)) mark += 1;
        }
      }
      plate /= kSamples * kSamples;
      mark /= kSamples * kSamples;
      float shade = 1.0f - 0.25f * static_cast<float>(y) / kSide;  // soft top light
      float pr = pressed ? accent[0] : 70 * shade, pg = pressed ? accent[1] : 58 * shade,
            pb = pressed ? accent[2] : 58 * shade;
      float gr = 235, gg = 228, gb = 226;
      float alpha = std::max(plate * (pressed ? 0.95f : 0.8f), mark);
      uint8_t* p = &image.rgba[static_cast<std::size_t>(y * kSide + x) * 4];
      if (alpha <= 0) continue;
      float m = mark / alpha;  // glyph over plate
      p[0] = static_cast<uint8_t>(pr + (gr - pr) * m);
      p[1] = static_cast<uint8_t>(pg + (gg - pg) * m);
      p[2] = static_cast<uint8_t>(pb + (gb - pb) * m);
      p[3] = static_cast<uint8_t>(std::lround(255 * std::min(1.0f, alpha)));
    }
  }
  return image;
}

}  // namespace

std::vector<NamedImage> makeButtonImages() {
  const float w = 1.1f;  // half the stroke width
  GlyphFn close = [=](float x, float y) {
    return segmentDistance(x, y, 9, 9, 19, 19) <= w || segmentDistance(x, y, 19, 9, 9, 19) <= w;
  };
  GlyphFn maximize = [=](float x, float y) {
    bool outer = x >= 8 && x <= 20 && y >= 8 && y <= 20;
    bool inner = x > 8 + 2 * w && x < 20 - 2 * w && y > 8 + 3.5f * w && y < 20 - 2 * w;
    return outer && !inner;
  };
  GlyphFn minimize = [=](float x, float y) { return segmentDistance(x, y, 9, 18, 19, 18) <= w; };
  const uint8_t red[3] = {196, 58, 52}, grey[3] = {120, 96, 96};
  std::vector<NamedImage> images;
  images.push_back({"ButtonClose.png", drawButton(close, false, red)});
  images.push_back({"ButtonCloseDown.png", drawButton(close, true, red)});
  images.push_back({"ButtonSize.png", drawButton(maximize, false, grey)});
  images.push_back({"ButtonSizeDown.png", drawButton(maximize, true, grey)});
  images.push_back({"ButtonMin.png", drawButton(minimize, false, grey)});
  images.push_back({"ButtonMinDown.png", drawButton(minimize, true, grey)});
  return images;
}

}  // namespace content
