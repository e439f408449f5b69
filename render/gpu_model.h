// GpuModel: a drawable model (scene/drawable_model.h) on the GPU, uploaded once: every mesh's
// vertex attributes in one storage buffer, which the vertex shaders read by vertex number, and
// its indices in one index buffer; every usable image a sampled texture with its mip chain;
// every material's factors in one uniform buffer. All of it lies in a few large allocations
// (render/gpu_memory_pool.h), goes up in one submission and is released as a whole with one
// wait. Handles are typed; nothing here is a void*.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "render/gpu_memory_pool.h"
#include "render/gpu_resources.h"
#include "scene/drawable_model.h"

class RenderDevice;

// Where a primitive's attributes start in the vertex buffer, in floats; -1 for an attribute the
// primitive lacks. The shaders' draw constants take this as it is.
struct GpuAttributes {
  enum : int { kPosition, kNormal, kTangent, kTexCoord0, kTexCoord1, kColor, kJoints, kWeights, kCount };
  std::array<int32_t, kCount> at{-1, -1, -1, -1, -1, -1, -1, -1};
};

struct GpuPrimitive {
  PrimitiveMode mode = PrimitiveMode::kTriangles;
  uint32_t firstIndex = 0, indexCount = 0;
  GpuAttributes attributes;
  int32_t material = 0;
};

struct GpuModelMesh {
  std::vector<GpuPrimitive> primitives;
};

// A texture as one material slot samples it: the view (sRGB or linear as the slot reads it)
// and the sampler; a null view where the material has no usable texture there.
struct GpuTextureBinding {
  VkImageView view = VK_NULL_HANDLE;
  VkSampler sampler = VK_NULL_HANDLE;
};

// The material slots the shaders sample, in binding order.
enum class MaterialSlot : int {
  kBaseColor, kMetallicRoughness, kNormal, kOcclusion, kEmissive,
  kClearcoat, kClearcoatRoughness, kClearcoatNormal,  // KHR_materials_clearcoat
  kSpecular, kSpecularColor,                          // KHR_materials_specular
  kCount
};

// Which texture of `material` slot `slot` samples.
const TextureRef& slotTexture(const MaterialDescription& material, MaterialSlot slot);
// Whether the slot holds colours (stored as sRGB) rather than data.
bool slotIsColour(MaterialSlot slot);

// One material's factors as the shaders read them (a std140 uniform block).
struct GpuMaterialFactors {
  float baseColor[4];
  float emissive[4];   // rgb, already times the emissive strength
  float factors[4];    // metallic, roughness, normal scale, occlusion strength
  float alpha[4];      // cutoff, mode (0 opaque, 1 mask, 2 blend), unlit, double-sided
  float clearcoat[4];  // factor, roughness, normal scale, index of refraction
  float specular[4];   // colour rgb, factor
  int32_t texCoords[12];  // per slot: set 0 or 1; -1: no texture
  // Per slot, the texture transform's two rows (u' = row0 . (u, v, 1), v' = row1 . ...).
  float transforms[static_cast<int>(MaterialSlot::kCount)][2][4];
};
static_assert(static_cast<int>(MaterialSlot::kCount) <= 12);
static_assert(sizeof(GpuMaterialFactors) % 16 == 0);

class GpuModel {
 public:
  GpuModel() = default;
  ~GpuModel();  // release() must have run
  GpuModel(const GpuModel&) = delete;
  GpuModel& operator=(const GpuModel&) = delete;

  // Uploads `model`. False, with `error` set and nothing left held, when the device has no
  // memory or room for it.
  bool upload(RenderDevice& device, const DrawableModel& model, std::string* error);
  // Waits for the GPU once and destroys everything; nothing happens for a model never uploaded.
  void release(RenderDevice& device);

  bool uploaded() const { return uploaded_; }
  const std::vector<GpuModelMesh>& meshes() const { return meshes_; }
  VkBuffer vertexBuffer() const { return vertices_; }
  VkBuffer indexBuffer() const { return indices_; }
  VkBuffer materialBuffer() const { return materials_; }
  // Where material `material`'s factors start in materialBuffer().
  VkDeviceSize materialOffset(int32_t material) const { return materialStride_ * static_cast<VkDeviceSize>(material); }
  VkDeviceSize vertexBytes() const { return vertexBytes_; }
  VkDeviceSize materialBytes() const { return materialBytes_; }
  const GpuTextureBinding& texture(int32_t material, MaterialSlot slot) const {
    return bindings_[static_cast<std::size_t>(material)][static_cast<std::size_t>(slot)];
  }
  const GpuMaterialFactors& factors(int32_t material) const { return factors_[static_cast<std::size_t>(material)]; }
  // Device memory allocations it holds: a handful, whatever the model.
  int allocations() const { return pool_.allocations(); }

 private:
  struct Texture {
    VkImage image = VK_NULL_HANDLE;
    VkImageView srgb = VK_NULL_HANDLE, linear = VK_NULL_HANDLE;
  };
  bool bindBuffer(RenderDevice& device, VkDeviceSize size, VkBufferUsageFlags usage, VkBuffer& buffer,
                  GpuMemoryPool::Piece& piece, bool& direct, std::string* error);
  bool uploadTextures(RenderDevice& device, const DrawableModel& model, std::string* error);
  VkSampler samplerFor(RenderDevice& device, int32_t sampler, const DrawableModel& model);

  bool uploaded_ = false;
  GpuMemoryPool pool_;
  VkBuffer vertices_ = VK_NULL_HANDLE, indices_ = VK_NULL_HANDLE, materials_ = VK_NULL_HANDLE;
  VkDeviceSize vertexBytes_ = 0, materialBytes_ = 0, materialStride_ = sizeof(GpuMaterialFactors);
  std::vector<GpuModelMesh> meshes_;
  std::vector<Texture> textures_;  // parallel to the model's images
  std::map<std::tuple<int, int, int, int, int>, VkSampler> samplers_;
  std::vector<std::array<GpuTextureBinding, static_cast<std::size_t>(MaterialSlot::kCount)>> bindings_;
  std::vector<GpuMaterialFactors> factors_;
};
