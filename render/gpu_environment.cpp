#include "render/gpu_environment.h"

#include <cstring>
#include <tuple>
#include <vector>

#include "render/device_internals.h"
#include "render/render_device.h"
#include "scene/environment_light.h"

using namespace device_detail;

bool GpuEnvironment::upload(RenderDevice& device, const EnvironmentMaps& maps, std::string* error) {
  release(device);
  if (maps.empty() || maps.brdf.empty()) return fail(error, "the environment has no maps");
  const auto levels = static_cast<uint32_t>(maps.levels());
  const auto size = static_cast<uint32_t>(maps.cubeSize);
  const auto brdfSize = static_cast<uint32_t>(maps.brdfSize);
  VkDeviceSize bytes = maps.brdf.size() * sizeof(uint16_t);
  for (const auto& level : maps.specular) bytes += level.size() * sizeof(uint16_t);
  GpuBuffer staging;
  constexpr VkImageUsageFlags kUsage = VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  if (!device.createImage(size, size, VK_FORMAT_R16G16B16A16_SFLOAT, kUsage, VK_IMAGE_ASPECT_COLOR_BIT, cube_, error,
                          levels, true) ||
      !device.createImage(brdfSize, brdfSize, VK_FORMAT_R16G16_SFLOAT, kUsage, VK_IMAGE_ASPECT_COLOR_BIT, brdf_, error) ||
      !device.createBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging, error)) {
    device.destroyBuffer(staging);
    release(device);
    return false;
  }
  std::vector<VkBufferImageCopy> regions;
  VkDeviceSize at = 0;
  for (uint32_t level = 0; level < levels; ++level) {
    const auto& texels = maps.specular[level];
    std::memcpy(static_cast<uint8_t*>(staging.mapped) + at, texels.data(), texels.size() * sizeof(uint16_t));
    VkBufferImageCopy region{};
    region.bufferOffset = at;
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level, 0, 6};
    region.imageExtent = {size >> level, size >> level, 1};
    regions.push_back(region);
    at += texels.size() * sizeof(uint16_t);
  }
  std::memcpy(static_cast<uint8_t*>(staging.mapped) + at, maps.brdf.data(), maps.brdf.size() * sizeof(uint16_t));
  VkBufferImageCopy table{};
  table.bufferOffset = at;
  table.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  table.imageExtent = {brdfSize, brdfSize, 1};

  auto barrier = [](VkCommandBuffer cmd, VkImage image, uint32_t levelCount, uint32_t layers, VkImageLayout from,
                    VkImageLayout to, VkPipelineStageFlags2 src, VkPipelineStageFlags2 dst, VkAccessFlags2 srcAccess,
                    VkAccessFlags2 dstAccess) {
    auto b = vkStruct<VkImageMemoryBarrier2>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2);
    b.srcStageMask = src;
    b.dstStageMask = dst;
    b.srcAccessMask = srcAccess;
    b.dstAccessMask = dstAccess;
    b.oldLayout = from;
    b.newLayout = to;
    b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = image;
    b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, levelCount, 0, layers};
    auto dependency = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
    dependency.imageMemoryBarrierCount = 1;
    dependency.pImageMemoryBarriers = &b;
    vkCmdPipelineBarrier2(cmd, &dependency);
  };
  const bool ok = device.submitAndWait([&](VkCommandBuffer cmd) {
    for (auto [image, levelCount, layers] : {std::tuple{cube_.image, levels, 6u}, std::tuple{brdf_.image, 1u, 1u}}) {
      barrier(cmd, image, levelCount, layers, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
              VK_PIPELINE_STAGE_2_NONE, VK_PIPELINE_STAGE_2_COPY_BIT, 0, VK_ACCESS_2_TRANSFER_WRITE_BIT);
    }
    vkCmdCopyBufferToImage(cmd, staging.buffer, cube_.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                           static_cast<uint32_t>(regions.size()), regions.data());
    vkCmdCopyBufferToImage(cmd, staging.buffer, brdf_.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &table);
    for (auto [image, levelCount, layers] : {std::tuple{cube_.image, levels, 6u}, std::tuple{brdf_.image, 1u, 1u}}) {
      barrier(cmd, image, levelCount, layers, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
              VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
              VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
              VK_ACCESS_2_SHADER_SAMPLED_READ_BIT);
    }
  });
  device.destroyBuffer(staging);
  auto sampler = vkStruct<VkSamplerCreateInfo>(VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO);
  sampler.magFilter = sampler.minFilter = VK_FILTER_LINEAR;
  sampler.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  sampler.addressModeU = sampler.addressModeV = sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  sampler.maxLod = static_cast<float>(levels - 1);
  if (!ok || !check(vkCreateSampler(device.device(), &sampler, nullptr, &sampler_), "vkCreateSampler", error)) {
    if (!ok) fail(error, "cannot upload the environment's light");
    release(device);
    return false;
  }
  lastLevel_ = static_cast<float>(levels - 1);
  irradiance_ = maps.irradiance;
  return true;
}

void GpuEnvironment::release(RenderDevice& device) {
  if (device.device() == VK_NULL_HANDLE) return;
  if (cube_.image == VK_NULL_HANDLE && brdf_.image == VK_NULL_HANDLE && sampler_ == VK_NULL_HANDLE) return;
  vkDeviceWaitIdle(device.device());
  device.destroyImage(cube_);
  device.destroyImage(brdf_);
  vkDestroySampler(device.device(), sampler_, nullptr);
  sampler_ = VK_NULL_HANDLE;
  lastLevel_ = 0;
}
