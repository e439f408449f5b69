// The off-screen targets of the three passes, their descriptor slots, and reading the back
// buffer back for a screenshot.
#include "render/render_device.h"

#include <algorithm>
#include <cstring>

#include "render/device_internals.h"

using namespace device_detail;

bool RenderDevice::createSizedTargets(std::string* error) {
  const uint32_t w = static_cast<uint32_t>(options_.renderWidth);
  const uint32_t h = static_cast<uint32_t>(options_.renderHeight);
  // The shadow target is twice the render size in each direction unless given a side; the depth
  // buffer serves both the light pass and the scene pass, so it covers both.
  uint32_t w2 = static_cast<uint32_t>(static_cast<float>(options_.renderWidth) * 2.0f);
  uint32_t h2 = static_cast<uint32_t>(static_cast<float>(options_.renderHeight) * 2.0f);
  if (options_.shadowSize > 0) w2 = h2 = static_cast<uint32_t>(options_.shadowSize);
  constexpr VkImageUsageFlags kTarget = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  if (!createImage(std::max(w, w2), std::max(h, h2), kDepthFormat, VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT,
                   VK_IMAGE_ASPECT_DEPTH_BIT, depth_, error) ||
      !createImage(w, h, kColorFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, sceneColor_, error) ||
      !createImage(w, h, kColorFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, overlay_, error) ||
      !createImage(w, h, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, layer0_, error) ||
      !createImage(w, h, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, layer1_, error) ||
      !createImage(w2, h2, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, shadow_, error) ||
      !createImage(w, h, kColorFormat, VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT,
                   VK_IMAGE_ASPECT_COLOR_BIT, backBuffer_, error)) {
    return false;
  }
  // Slots in the order the targets are created.
  sceneColorSlot_ = slots_.allocate({sceneColor_.view}).value_or(-1);
  overlaySlot_ = slots_.allocate({overlay_.view}).value_or(-1);
  layer0Slot_ = slots_.allocate({layer0_.view}).value_or(-1);
  layer1Slot_ = slots_.allocate({layer1_.view}).value_or(-1);
  shadowSlot_ = slots_.allocate({shadow_.view}).value_or(-1);
  return true;
}

void RenderDevice::destroySizedTargets() {
  for (GpuImage* image : {&depth_, &sceneColor_, &overlay_, &layer0_, &layer1_, &shadow_, &backBuffer_}) {
    destroyImage(*image);
  }
  for (int64_t* slot : {&sceneColorSlot_, &overlaySlot_, &layer0Slot_, &layer1Slot_, &shadowSlot_}) {
    slots_.release(*slot);
    *slot = -1;
  }
}

bool RenderDevice::resize(int32_t width, int32_t height, std::string* error) {
  if (width <= 0 || height <= 0) return fail(error, "cannot render an empty picture");
  if (width == options_.renderWidth && height == options_.renderHeight) return true;
  if (!options_.startupScene) {  // nothing of this device's own follows the size
    options_.renderWidth = width;
    options_.renderHeight = height;
    return true;
  }
  vkDeviceWaitIdle(device_);
  destroySizedTargets();
  options_.renderWidth = width;
  options_.renderHeight = height;
  // The new images hold nothing yet: the next frame's barriers start from no earlier access.
  firstFrame_ = true;
  return createSizedTargets(error);
}

bool RenderDevice::createTargets(std::string* error) {
  if (!createSizedTargets(error) ||
      !createImage(1, 1, kTextureFormat, VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT,
                   VK_IMAGE_ASPECT_COLOR_BIT, fallbackTexture_, error)) {
    return false;
  }
  // Every sampled image starts readable, so the first frame's barriers are uniform; the
  // fallback texture is white.
  GpuBuffer staging;
  if (!createBuffer(4, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging, error)) return false;
  std::memset(staging.mapped, 0xFF, 4);
  bool ok = submitAndWait([&](VkCommandBuffer cmd) {
    transition(cmd, {{fallbackTexture_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                      VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_NONE, VK_PIPELINE_STAGE_2_COPY_BIT,
                      0, VK_ACCESS_2_TRANSFER_WRITE_BIT}});
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {1, 1, 1};
    vkCmdCopyBufferToImage(cmd, staging.buffer, fallbackTexture_.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    transition(cmd, {{fallbackTexture_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                      VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                      VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                      VK_ACCESS_2_SHADER_SAMPLED_READ_BIT}});
  });
  destroyBuffer(staging);
  return ok || fail(error, "cannot initialise the render targets");
}

bool RenderDevice::prepareReadBack(const GpuImage& picture) {
  const VkDeviceSize bytes = static_cast<VkDeviceSize>(picture.width) * picture.height * 4;
  if (readback_.buffer != VK_NULL_HANDLE && readback_.size >= bytes) return true;
  destroyBuffer(readback_);
  std::string error;
  return createBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true, readback_, &error);
}

void RenderDevice::recordReadBack(VkCommandBuffer cmd, const GpuImage& picture) {
  readbackWidth_ = picture.width;
  readbackHeight_ = picture.height;
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {picture.width, picture.height, 1};
  vkCmdCopyImageToBuffer(cmd, picture.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, readback_.buffer, 1, &region);
  auto toHost = vkStruct<VkMemoryBarrier2>(VK_STRUCTURE_TYPE_MEMORY_BARRIER_2);
  toHost.srcStageMask = VK_PIPELINE_STAGE_2_COPY_BIT;
  toHost.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
  toHost.dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT;
  toHost.dstAccessMask = VK_ACCESS_2_HOST_READ_BIT;
  auto info = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
  info.memoryBarrierCount = 1;
  info.pMemoryBarriers = &toHost;
  vkCmdPipelineBarrier2(cmd, &info);
}

void RenderDevice::copyReadBack(std::vector<uint8_t>& rgba) const {
  rgba.resize(static_cast<std::size_t>(readbackWidth_) * readbackHeight_ * 4);
  if (readback_.mapped != nullptr) std::memcpy(rgba.data(), readback_.mapped, rgba.size());
}
