// The walking skeleton: a human skeleton mesh weighted to 20 bones, its bone texture, its
// sphere colliders and its two animations (a walk cycle and a breathing idle).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "model/model_data.h"
#include "scene/collider_set.h"

namespace content {

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // top row first
};

// An opaque square texture of `size` pixels whose colour at (x, y) is `colour` (0 to 255 per
// channel, kept below pure white).
Image makeTexture(int size, const std::function<void(float x, float y, float rgb[3])>& colour);

// Smooth value noise in [0, 1] on lattice cells of `cell` pixels, tiling every `period` pixels.
float textureNoise(float x, float y, int cell, int period, uint32_t seed);

std::unique_ptr<ModelData> makeSkeletonModel();
Image makeBoneTexture();
std::unique_ptr<ColliderSet> makeSkeletonColliders();

// Time units of one walk cycle and one idle cycle; the keys span exactly one cycle so that the
// last pose equals the first.
inline constexpr float kWalkCycle = 12.0f;   // 0.2 a frame: one second at 60 frames a second
inline constexpr float kStandCycle = 14.4f;  // 0.06 a frame: four seconds
inline constexpr int kKeysPerCycle = 24;

std::unique_ptr<AnimationSet> makeWalkAnimation(const ModelData& skeleton);
std::unique_ptr<AnimationSet> makeStandAnimation(const ModelData& skeleton);

}  // namespace content
