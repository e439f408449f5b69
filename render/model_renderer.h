// The model view's passes, on the render device: the key light's shadow map, the scene (the
// ground, then the opaque and alpha-tested surfaces, then the blended ones) in linear light, and
// the output into an 8-bit sRGB picture, which the window's swapchain or a screenshot takes.
// Each mesh is drawn once per frame with all its instances (one instanced draw per primitive
// and facing), its attributes read by the shaders from the GPU model's vertex buffer; lines and
// points are drawn one pixel wide in their material's colour.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "render/gpu_environment.h"
#include "render/gpu_model.h"
#include "render/gpu_resources.h"
#include "scene/model_view.h"
#include "scene/view_shading.h"

class RenderDevice;

class ModelRenderer {
 public:
  // The shadow map's side: the model is scaled to one size, so its shadow needs no more.
  static constexpr uint32_t kShadowSize = 1024;
  // The bytes of the targets a `width` x `height` picture takes, for the memory budget.
  static uint64_t targetBytes(int32_t width, int32_t height);

  explicit ModelRenderer(RenderDevice& device) : device_(device) {}
  ~ModelRenderer();
  ModelRenderer(const ModelRenderer&) = delete;
  ModelRenderer& operator=(const ModelRenderer&) = delete;

  // The pipelines (from the device's shader folder), samplers and fallback textures, and the
  // targets for `width` x `height`. False, with one line in `error`, when the device cannot.
  bool create(int32_t width, int32_t height, std::string* error);
  // New targets once the GPU is done with the old ones.
  bool resize(int32_t width, int32_t height, std::string* error);
  // The environment's light in place of the one before (after the GPU is done with it).
  bool setEnvironment(const EnvironmentMaps& maps, std::string* error) {
    return environment_.upload(device_, maps, error);
  }
  bool hasEnvironment() const { return environment_.uploaded(); }
  void setShading(const ViewShading& shading) { shading_ = shading; }

  // Records one frame of `model` (uploaded as `gpu`) as `frame` places it into `cmd`. Returns
  // the picture, left in the transfer-source layout.
  const GpuImage& record(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu, const ModelFrame& frame);

  // Forgets the model last drawn (its instances are laid out afresh for the next).
  void modelChanged() { layoutFor_ = nullptr; }
  const GpuImage& picture() const { return output_; }

  // Between frames: `rgba` (premultiplied alpha, top row first, display values) laid over the
  // picture, stretched to it; empty pixels take it away. Waits for the GPU. False, with one
  // line in `error`, when it cannot be uploaded (the picture then has none).
  bool setOverlay(const std::vector<uint8_t>& rgba, int32_t width, int32_t height, std::string* error);

 private:
  bool createPipelines(std::string* error);
  bool uploadPixels(GpuImage& image, const uint8_t* rgba, uint32_t width, uint32_t height, std::string* error);
  bool createTargets(int32_t width, int32_t height, std::string* error);
  void destroyTargets();
  bool ensureBuffer(GpuBuffer& buffer, VkDeviceSize bytes, VkBufferUsageFlags usage);
  void layOut(const DrawableModel& model);
  void writeInstances(const DrawableModel& model, const ModelFrame& frame);
  void pushFrameBindings(VkCommandBuffer cmd, const GpuModel& gpu);
  // The material's factors and textures.
  void pushMaterial(VkCommandBuffer cmd, const GpuModel& gpu, int32_t material);
  enum class Pass { kShadow, kOpaque, kLines, kPoints };
  void drawMeshes(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu, Pass pass);
  // The blended primitives one instance at a time, the farthest from the eye first.
  void drawBlended(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu, const ModelFrame& frame);
  void writeFrameConstants(const ModelFrame& frame);

  RenderDevice& device_;
  VkDescriptorSetLayout setLayout_ = VK_NULL_HANDLE;
  VkPipelineLayout layout_ = VK_NULL_HANDLE;
  VkPipeline shadow_ = VK_NULL_HANDLE, opaque_ = VK_NULL_HANDLE, blended_ = VK_NULL_HANDLE,
             ground_ = VK_NULL_HANDLE, outputPipeline_ = VK_NULL_HANDLE, lines_ = VK_NULL_HANDLE,
             points_ = VK_NULL_HANDLE, background_ = VK_NULL_HANDLE;
  VkSampler clampSampler_ = VK_NULL_HANDLE, shadowSampler_ = VK_NULL_HANDLE;
  GpuImage white_, flatNormal_;  // what a material without a texture samples
  GpuImage overlay_;             // over the picture; none when it has no image
  GpuImage scene_, depth_, shadowMap_, output_;
  GpuBuffer frameBuffer_, instances_, joints_;
  GpuEnvironment environment_;
  ViewShading shading_;
  bool firstFrame_ = true;

  // The instances grouped by mesh, in the order the instance buffer holds them, and per mesh
  // where its group starts and how many of its instances face the other way (a mirroring
  // placement, drawn last in the group).
  const DrawableModel* layoutFor_ = nullptr;
  bool instancesWritten_ = false;
  std::vector<uint32_t> order_;
  std::vector<uint32_t> groupStart_, groupCount_, mirrored_;
  // Per mesh, the centre of its box; per slot of the instance buffer, where that centre lies
  // (for ordering the blended ones).
  std::vector<std::array<float, 3>> meshCentres_, slotCentres_;
  struct BlendedDraw {
    float distance;
    uint32_t slot, mesh, primitive;
  };
  std::vector<BlendedDraw> blendedDraws_;
};
