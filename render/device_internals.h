// What the render device's files share and nobody else sees: formats and sizes, the bindings
// of the one push-descriptor set, the full-screen quad, result checks, and the small recording
// helpers for barriers, attachments and the viewport.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "render/gpu_resources.h"
#include "render/vk_struct.h"

namespace device_detail {

constexpr VkFormat kColorFormat = VK_FORMAT_R8G8B8A8_UNORM;
constexpr VkFormat kFloatFormat = VK_FORMAT_R32G32B32A32_SFLOAT;
constexpr VkFormat kDepthFormat = VK_FORMAT_D32_SFLOAT;
constexpr VkFormat kTextureFormat = VK_FORMAT_B8G8R8A8_UNORM;
constexpr VkDeviceSize kFrameConstantBufferBytes = 2560;
constexpr VkDeviceSize kMaterialConstantBytes = 64;
// Per-frame constants of every draw; a frame of the start-up scene needs about 300 KB.
constexpr VkDeviceSize kRingBytes = 8u << 20;

// Bindings of the one push-descriptor set: root parameter n is binding n; s0 is binding 10.
enum Binding : uint32_t {
  kB0 = 0, kB1 = 1, kB2 = 2, kB3 = 3, kB4 = 4,
  kT0 = 5, kT2 = 6, kT3 = 7, kT4 = 8, kT5 = 9,
  kS0 = 10,
};

struct QuadVertex {
  float position[3];
  float normal[3];
  float texCoord[2];
};
static_assert(sizeof(QuadVertex) == 32);
constexpr QuadVertex kQuad[4] = {
    {{-1, 1, 0}, {0, 0, 0}, {0, 0}},
    {{1, 1, 0}, {0, 0, 0}, {1, 0}},
    {{-1, -1, 0}, {0, 0, 0}, {0, 1}},
    {{1, -1, 0}, {0, 0, 0}, {1, 1}},
};

inline bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

inline bool check(VkResult result, const char* what, std::string* error) {
  if (result == VK_SUCCESS) return true;
  return fail(error, std::string(what) + " failed (VkResult " + std::to_string(result) + ")");
}

inline VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return (v + a - 1) / a * a; }

constexpr VkPipelineStageFlags2 kFragmentTests =
    VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_2_LATE_FRAGMENT_TESTS_BIT;
constexpr VkAccessFlags2 kDepthAccess =
    VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
constexpr VkAccessFlags2 kColorAccess =
    VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT;

// One image layout transition (or plain memory dependency when the layouts are equal).
struct Transition {
  VkImage image;
  VkImageAspectFlags aspect;
  VkImageLayout from, to;
  VkPipelineStageFlags2 srcStage, dstStage;
  VkAccessFlags2 srcAccess, dstAccess;
};

// Records one barrier with every transition of `list`.
void transition(VkCommandBuffer cmd, std::initializer_list<Transition> list);
// A colour target about to be rendered into (its old contents are cleared, so discarded).
Transition toColorTarget(const GpuImage& image, VkPipelineStageFlags2 lastUse, VkAccessFlags2 lastAccess);
// A colour target just rendered, about to be sampled by fragment shaders.
Transition toSampled(const GpuImage& image);
// The depth buffer between two rendering instances that both use it.
Transition depthBetweenPasses(const GpuImage& depth, bool discard);

VkRenderingAttachmentInfo colorAttachment(const GpuImage& image, std::array<float, 4> clear, bool load = false);
VkRenderingAttachmentInfo depthAttachment(const GpuImage& image, bool load);
void beginRendering(VkCommandBuffer cmd, uint32_t width, uint32_t height,
                    const std::vector<VkRenderingAttachmentInfo>& colors, const VkRenderingAttachmentInfo* depth);
// Viewport of negative height: y points up in normalized device coordinates, as the camera's
// matrices and the quad's texture coordinates expect.
void setViewport(VkCommandBuffer cmd, uint32_t width, uint32_t height);

}  // namespace device_detail
