// The environment's light on the GPU: the prefiltered specular cube map (a mip level per step
// of roughness) and the split-sum BRDF table (scene/environment_light.h computes both), with
// the sampler that reads them. The diffuse light's nine coefficients travel in the frame's
// constants instead. Replaced as a whole when the user picks another environment.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <string>

#include "render/gpu_resources.h"

class RenderDevice;
struct EnvironmentMaps;

class GpuEnvironment {
 public:
  GpuEnvironment() = default;
  GpuEnvironment(const GpuEnvironment&) = delete;
  GpuEnvironment& operator=(const GpuEnvironment&) = delete;

  // Uploads `maps` in place of what it held (after the GPU is done with that). False, with
  // `error` set and nothing held, when the device cannot.
  bool upload(RenderDevice& device, const EnvironmentMaps& maps, std::string* error);
  void release(RenderDevice& device);

  bool uploaded() const { return cube_.view != VK_NULL_HANDLE; }
  VkImageView cube() const { return cube_.view; }
  VkImageView brdfTable() const { return brdf_.view; }
  VkSampler sampler() const { return sampler_; }
  // The cube's last mip level, the most blurred (roughness 1).
  float lastLevel() const { return lastLevel_; }
  const std::array<std::array<float, 3>, 9>& irradiance() const { return irradiance_; }

 private:
  GpuImage cube_, brdf_;
  VkSampler sampler_ = VK_NULL_HANDLE;
  float lastLevel_ = 0;
  std::array<std::array<float, 3>, 9> irradiance_{};
};
