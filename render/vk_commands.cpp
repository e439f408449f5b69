// Recording helpers of the render device: image barriers, dynamic-rendering attachments and
// the viewport.
#include <algorithm>

#include "render/device_internals.h"

namespace device_detail {

void transition(VkCommandBuffer cmd, std::initializer_list<Transition> list) {
  std::vector<VkImageMemoryBarrier2> barriers;
  for (const Transition& t : list) {
    auto b = vkStruct<VkImageMemoryBarrier2>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2);
    b.srcStageMask = t.srcStage;
    b.srcAccessMask = t.srcAccess;
    b.dstStageMask = t.dstStage;
    b.dstAccessMask = t.dstAccess;
    b.oldLayout = t.from;
    b.newLayout = t.to;
    b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = t.image;
    b.subresourceRange = {t.aspect, 0, 1, 0, 1};
    barriers.push_back(b);
  }
  auto info = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
  info.imageMemoryBarrierCount = static_cast<uint32_t>(barriers.size());
  info.pImageMemoryBarriers = barriers.data();
  vkCmdPipelineBarrier2(cmd, &info);
}

// A colour target about to be rendered into (its old contents are cleared, so discarded).
Transition toColorTarget(const GpuImage& image, VkPipelineStageFlags2 lastUse,
                         VkAccessFlags2 lastAccess) {
  return {image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
          VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, lastUse, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
          lastAccess, kColorAccess};
}

// A colour target just rendered, about to be sampled by fragment shaders.
Transition toSampled(const GpuImage& image) {
  return {image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
          VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
          VK_ACCESS_2_SHADER_SAMPLED_READ_BIT};
}

// The depth buffer between two rendering instances that both use it.
Transition depthBetweenPasses(const GpuImage& depth, bool discard) {
  return {depth.image, VK_IMAGE_ASPECT_DEPTH_BIT,
          discard ? VK_IMAGE_LAYOUT_UNDEFINED : VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL, kFragmentTests, kFragmentTests,
          VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT, kDepthAccess};
}

VkRenderingAttachmentInfo colorAttachment(const GpuImage& image, std::array<float, 4> clear, bool load) {
  auto a = vkStruct<VkRenderingAttachmentInfo>(VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO);
  a.imageView = image.view;
  a.imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  a.loadOp = load ? VK_ATTACHMENT_LOAD_OP_LOAD : VK_ATTACHMENT_LOAD_OP_CLEAR;
  a.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  std::copy(clear.begin(), clear.end(), a.clearValue.color.float32);
  return a;
}

VkRenderingAttachmentInfo depthAttachment(const GpuImage& image, bool load) {
  auto a = vkStruct<VkRenderingAttachmentInfo>(VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO);
  a.imageView = image.view;
  a.imageLayout = VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL;
  a.loadOp = load ? VK_ATTACHMENT_LOAD_OP_LOAD : VK_ATTACHMENT_LOAD_OP_CLEAR;
  a.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  a.clearValue.depthStencil = {1.0f, 0};
  return a;
}

void beginRendering(VkCommandBuffer cmd, uint32_t width, uint32_t height,
                    const std::vector<VkRenderingAttachmentInfo>& colors,
                    const VkRenderingAttachmentInfo* depth) {
  auto info = vkStruct<VkRenderingInfo>(VK_STRUCTURE_TYPE_RENDERING_INFO);
  info.renderArea = {{0, 0}, {width, height}};
  info.layerCount = 1;
  info.colorAttachmentCount = static_cast<uint32_t>(colors.size());
  info.pColorAttachments = colors.data();
  info.pDepthAttachment = depth;
  vkCmdBeginRendering(cmd, &info);
}

// Viewport of negative height: y points up in normalized device coordinates, as the camera's
// matrices and the quad's texture coordinates expect.
void setViewport(VkCommandBuffer cmd, uint32_t width, uint32_t height) {
  VkViewport viewport{0, static_cast<float>(height), static_cast<float>(width),
                      -static_cast<float>(height), 0.0f, 1.0f};
  VkRect2D scissor{{0, 0}, {width, height}};
  vkCmdSetViewport(cmd, 0, 1, &viewport);
  vkCmdSetScissor(cmd, 0, 1, &scissor);
}

}  // namespace device_detail
