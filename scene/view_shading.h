// How the model view shades and shows its picture: the user's choices, which the renderer
// follows. The defaults are what the viewer shows without options.
#pragma once

#include <cstdint>
#include <filesystem>

enum class ToneMapping : uint8_t { kNeutral, kAces, kNone };

struct ViewShading {
  std::filesystem::path hdri;           // the environment's Radiance file; empty: the studio
  bool keyLight = true;                 // the key light and its shadow
  bool environmentBackground = false;   // the environment, blurred, behind the model
  ToneMapping toneMapping = ToneMapping::kNeutral;
  bool antiAliasing = true;
  // The environment's light as its maps hold it, times this. The studio is made to light a
  // white surface facing up at about 0.9, which beside the key light is a little much.
  float environmentStrength() const { return hdri.empty() ? 0.7f : 1.0f; }
};
