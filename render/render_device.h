// RenderDevice: the Vulkan device and everything the three passes draw with: the off-screen
// targets, the depth buffer, the frame constant buffer, the full-screen quad, the slot table,
// the pipeline layout standing in for the root signature, the six pipelines, and the GPU copies
// of the meshes. It renders into an off-screen back buffer of the render size; a window's
// swapchain (or a screenshot) takes its picture from there.
//
// Only this module knows Vulkan's objects; callers hand it MeshSets and lists of what to draw.
// Its parts live in a file each: the device and queue (render_device.cpp), memory and one-off
// submission (gpu_memory.cpp), targets and slots (render_targets.cpp), pipelines
// (pipelines.cpp), uploads (uploads.cpp) and recording a frame (frame_recording.cpp), with the
// helpers they share in device_internals.h and vk_commands.cpp.
#pragma once

#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "render/descriptor_slots.h"
#include "render/gpu_resources.h"
#include "scene/camera.h"
#include "scene/mesh_set.h"
#include "scene/shadow_reach.h"

struct GpuTexture;

// What a slot binds: an image view or a buffer range.
struct SlotBinding {
  VkImageView imageView = VK_NULL_HANDLE;
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceSize offset = 0, range = 0;
};

// The GPU side of one MeshSet: per geometry a vertex buffer and per submesh an index buffer.
struct GpuMesh {
  struct Geometry {
    // Host-visible; holds the vertices already in the object's space (see vertex_skinning.h):
    // written once at upload, or every frame when `followsPose`.
    GpuBuffer vertices;
    std::vector<GpuBuffer> indices;
    bool followsPose = false;  // bone-weighted: skinned again for each frame's pose
    SceneBounds bounds;        // of the vertices as last written
    // Per index list of an unweighted geometry, the runs drawn with or without the shadow
    // look-up; none for a weighted one, which always looks up.
    std::vector<TriangleRuns> runs;
  };
  std::vector<Geometry> geometries;
  uint64_t skinnedForFrame = 0;  // the frame (fence value) its vertices were last skinned for
  // The textures its materials draw with, each once: released with the last mesh that uses it.
  std::vector<const GpuTexture*> textures;
  // Some vertex is bone-weighted. The light pass's shaders make only such meshes cast shadows
  // (the ground receives them), so the light pass skips the others: they would draw nothing.
  bool castsShadow = false;
};

// A texture loaded for a MeshSet; GpuMaterial::texture points at one.
struct GpuTexture {
  GpuImage image;
  int64_t slot = -1;
};

// What one frame draws: the MeshSets of the visible objects of the Scene's three lists.
struct FrameDrawLists {
  std::vector<const MeshSet*> first;   // the character: pipeline 6 into the layer targets
  std::vector<const MeshSet*> second;  // pipeline 1, after the third list
  std::vector<const MeshSet*> third;   // the field tiles: pipeline 1 into the scene colour
};

struct RenderDeviceOptions {
  int32_t renderWidth = 1920;
  int32_t renderHeight = 1080;
  // The shadow target's side; 0: twice the render size in each direction.
  int32_t shadowSize = 0;
  std::string shaderFolder = "shader";  // vs1.cso ... ps6.cso
  // Every receiver looks up the shadow map, even where no shadow can reach: the picture is the
  // same, slower; for comparing the two.
  bool shadowLookUpEverywhere = false;
  // The start-up scene's targets and pipelines are made: a device that only ever shows a model
  // (headless, or a model asked for on the command line) does without them.
  bool startupScene = true;
  bool validation = false;              // Khronos validation with synchronization checks
  // Instance extensions a window system needs (e.g. surface creation); empty for headless.
  std::vector<const char*> instanceExtensions;
};

// The texture sampler s0, the same on every device.
VkSamplerCreateInfo textureSamplerInfo();

class RenderDevice {
 public:
  RenderDevice() = default;
  ~RenderDevice();
  RenderDevice(const RenderDevice&) = delete;
  RenderDevice& operator=(const RenderDevice&) = delete;

  // Creates the device, targets, buffers, pipeline layout and the six pipelines. Returns false
  // with one line in `error` (a missing or bad shader file is named) when the device cannot be
  // used.
  bool create(const RenderDeviceOptions& options, std::string* error);

  // Loads an image file as a texture (stored bottom row first, B8G8R8A8) and registers it in a
  // slot. False, with `error` set, when the file cannot be decoded or no slot is free.
  bool loadTexture(const std::string& path, GpuTexture*& texture, std::string* error);
  // A TextureLoader for BuildMeshSet that loads through this device and reports failures on
  // stderr.
  TextureLoader textureLoader();

  // Uploads the vertex and index arrays that BuildMeshSet computed.
  bool upload(const MeshSet& mesh, std::string* error);
  // Destroys the GPU copy of `mesh` once the GPU is idle, so that the MeshSet may go, and the
  // textures it drew with that no other uploaded mesh draws with: a viewer that opens model
  // after model keeps only the shown one's. Nothing happens for a mesh never uploaded.
  void release(const MeshSet& mesh);
  // Destroys each of `textures` (resources this device's TextureLoader gave) that no uploaded
  // mesh draws with: those of a model passed over, failed or closed, which no mesh may ever
  // have drawn. Those already destroyed are skipped.
  void releaseTextures(std::span<void* const> textures);

  // Makes the targets `width` x `height` (the shadow target keeps its side, or stays twice the
  // render size) after the GPU has finished with them. The next frame starts them afresh.
  bool resize(int32_t width, int32_t height, std::string* error);

  // The frame constant image the camera writes, and the mapped buffer it is copied to.
  FrameConstantImage& frameConstants() { return frameConstantImage_; }
  void* frameConstantsMapped() const { return frameConstantBuffer_.mapped; }

  // Records the light, scene and composite passes for `lists`, submits them and waits for the
  // GPU. `afterComposite`, when given, records more commands on the same command buffer with
  // the back buffer in the transfer-source layout (a presentation blit, say).
  bool renderFrame(const FrameDrawLists& lists,
                   const std::function<void(VkCommandBuffer, const GpuImage&)>& afterComposite = {});

  // Reading a frame's picture back, in steps so that a frame records it after its last pass
  // (see PictureReader) and costs no submission of its own: the host buffer made ready for the
  // picture (prepareReadBack, below), the copy recorded, and, once the GPU is done, the RGBA
  // rows taken (top row first).
  void copyReadBack(std::vector<uint8_t>& rgba) const;

  // Records a frame of another renderer (the model view's, render/model_stage.h) with `record`,
  // which returns the picture it drew (left in the transfer-source layout), then as
  // renderFrame does: `afterPicture` with that picture, submitted and waited for.
  bool renderRecorded(const std::function<const GpuImage&(VkCommandBuffer)>& record,
                      const std::function<void(VkCommandBuffer, const GpuImage&)>& afterPicture = {});

  // Gives back the start-up scene's targets and pipelines' memory once a model has taken its
  // place for good.
  void releaseStartupTargets();

  // Number of validation messages reported so far (always 0 without validation).
  int validationMessages() const;

  // For the renderers built on the device (render/gpu_model.h, render/model_renderer.h):
  // memory, buffers and images, one-off submissions, and the device's facts.
  bool createBuffer(VkDeviceSize size, VkBufferUsageFlags usage, bool hostVisible, GpuBuffer& out,
                    std::string* error);
  // An image of `levels` mip levels; a cube has six square layers and a cube view.
  bool createImage(uint32_t width, uint32_t height, VkFormat format, VkImageUsageFlags usage,
                   VkImageAspectFlags aspect, GpuImage& out, std::string* error, uint32_t levels = 1,
                   bool cube = false);
  void destroyBuffer(GpuBuffer& b);
  void destroyImage(GpuImage& i);
  uint32_t memoryType(uint32_t bits, VkMemoryPropertyFlags flags) const;
  const VkPhysicalDeviceMemoryProperties& memoryProperties() const { return memoryProperties_; }
  const VkPhysicalDeviceLimits& limits() const { return limits_; }
  // Records with `record`, submits and waits for the GPU: uploads and one-off work.
  bool submitAndWait(const std::function<void(VkCommandBuffer)>& record);
  PFN_vkCmdPushDescriptorSetKHR pushDescriptorSetFunction() const { return pushDescriptorSet_; }
  const std::string& shaderFolder() const { return options_.shaderFolder; }
  // Whether the device can read a picture of `width` x `height` back (prepareReadBack with an
  // image of that size).
  bool prepareReadBack(const GpuImage& picture);
  // The picture in the transfer-source layout.
  void recordReadBack(VkCommandBuffer cmd, const GpuImage& picture);

  int32_t renderWidth() const { return options_.renderWidth; }
  int32_t renderHeight() const { return options_.renderHeight; }
  VkInstance instance() const { return instance_; }
  VkPhysicalDevice physicalDevice() const { return physical_; }
  VkDevice device() const { return device_; }
  VkQueue queue() const { return queue_; }
  uint32_t queueFamily() const { return queueFamily_; }
  const std::string& deviceName() const { return deviceName_; }
  bool isCpuDevice() const { return cpuDevice_; }
  DescriptorSlots<SlotBinding>& slots() { return slots_; }

 private:
  bool createInstance(std::string* error);
  bool chooseDevice(std::string* error);
  bool createTargets(std::string* error);
  bool createSizedTargets(std::string* error);
  void destroySizedTargets();
  bool createPipelines(std::string* error);
  void destroyPipelines();
  // Destroys `texture` unless an uploaded mesh draws with it; the GPU must be idle.
  void releaseIfUndrawn(const GpuTexture* texture);
  bool recordSubmitAndWait(VkCommandBuffer cmd, const std::function<void(VkCommandBuffer)>& record);

  void recordFrame(VkCommandBuffer cmd, const FrameDrawLists& lists);
  void skinForFrame(const std::vector<const MeshSet*>& list);
  // `reach`, in the scene pass: where receivers may skip the shadow look-up.
  void drawList(VkCommandBuffer cmd, const std::vector<const MeshSet*>& list, bool shadowCastersOnly = false,
                const ShadowReach* reach = nullptr);
  // Where this frame's casters can put a shadow.
  ShadowReach shadowReach(const FrameDrawLists& lists) const;
  void drawMeshSet(VkCommandBuffer cmd, const MeshSet& mesh, const ShadowReach* reach = nullptr);
  void drawReceiverRuns(VkCommandBuffer cmd, uint32_t indexCount, const TriangleRuns& runs, const Matrix4& world,
                        const ShadowReach& reach);
  void bindReceiverPipeline(VkCommandBuffer cmd, bool lookUp);
  void pushBuffer(VkCommandBuffer cmd, uint32_t binding, VkBuffer buffer, VkDeviceSize offset,
                  VkDeviceSize range);
  void pushImage(VkCommandBuffer cmd, uint32_t binding, VkImageView view);
  bool ringAllocate(VkDeviceSize size, VkDeviceSize& offset, void*& at);

  RenderDeviceOptions options_;
  VkInstance instance_ = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger_ = VK_NULL_HANDLE;
  VkPhysicalDevice physical_ = VK_NULL_HANDLE;
  VkDevice device_ = VK_NULL_HANDLE;
  VkQueue queue_ = VK_NULL_HANDLE;
  uint32_t queueFamily_ = 0;
  std::string deviceName_;
  bool cpuDevice_ = false;
  VkPhysicalDeviceMemoryProperties memoryProperties_{};
  VkPhysicalDeviceLimits limits_{};
  VkDeviceSize uniformAlignment_ = 256;
  PFN_vkCmdPushDescriptorSetKHR pushDescriptorSet_ = nullptr;

  VkCommandPool commandPool_ = VK_NULL_HANDLE;
  VkCommandBuffer commandBuffers_[3] = {};
  VkFence fence_ = VK_NULL_HANDLE;
  uint64_t fenceValue_ = 1;

  GpuImage depth_, sceneColor_, overlay_, layer0_, layer1_, shadow_, backBuffer_;
  int64_t sceneColorSlot_ = -1, overlaySlot_ = -1, layer0Slot_ = -1, layer1Slot_ = -1,
          shadowSlot_ = -1, frameConstantsSlot_ = -1;
  GpuImage fallbackTexture_;  // what t0 shows before any texture is bound
  GpuBuffer frameConstantBuffer_, quad_, ring_, readback_, textureStaging_;
  uint32_t readbackWidth_ = 0, readbackHeight_ = 0;  // of the picture last read back
  VkDeviceSize ringUsed_ = 0;
  bool ringExhausted_ = false;
  FrameConstantImage frameConstantImage_{};

  VkSampler sampler_ = VK_NULL_HANDLE;
  VkDescriptorSetLayout setLayout_ = VK_NULL_HANDLE;
  VkPipelineLayout pipelineLayout_ = VK_NULL_HANDLE;
  VkShaderModule vertexShaders_[6] = {}, pixelShaders_[6] = {};
  VkPipeline pipelines_[6] = {};  // pipeline n at index n - 1
  VkPipeline unshadowedGround_ = VK_NULL_HANDLE;  // pipeline 1 without the shadow look-up
  VkPipeline boundReceiverPipeline_ = VK_NULL_HANDLE;

  DescriptorSlots<SlotBinding> slots_;
  std::vector<std::unique_ptr<GpuTexture>> textures_;
  std::unordered_map<const MeshSet*, GpuMesh> gpuMeshes_;
  bool firstFrame_ = true;
  std::atomic<int> validationCount_{0};
};
