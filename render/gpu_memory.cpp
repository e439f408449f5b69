// Buffers and images in device memory, and one-off command submission.
#include "render/render_device.h"

#include "render/device_internals.h"

using namespace device_detail;

uint32_t RenderDevice::memoryType(uint32_t bits, VkMemoryPropertyFlags flags) const {
  for (uint32_t i = 0; i < memoryProperties_.memoryTypeCount; ++i) {
    if ((bits & (1u << i)) && (memoryProperties_.memoryTypes[i].propertyFlags & flags) == flags) return i;
  }
  return UINT32_MAX;
}

bool RenderDevice::createBuffer(VkDeviceSize size, VkBufferUsageFlags usage, bool hostVisible,
                                GpuBuffer& out, std::string* error) {
  auto info = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
  info.size = std::max<VkDeviceSize>(size, 4);
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (!check(vkCreateBuffer(device_, &info, nullptr, &out.buffer), "vkCreateBuffer", error)) return false;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(device_, out.buffer, &req);
  VkMemoryPropertyFlags flags = hostVisible
                                    ? VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT
                                    : VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
  auto alloc = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
  alloc.allocationSize = req.size;
  alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, flags);
  if (alloc.memoryTypeIndex == UINT32_MAX) return fail(error, "no suitable memory type for a buffer");
  if (!check(vkAllocateMemory(device_, &alloc, nullptr, &out.memory), "vkAllocateMemory", error)) return false;
  vkBindBufferMemory(device_, out.buffer, out.memory, 0);
  out.size = info.size;
  if (hostVisible && !check(vkMapMemory(device_, out.memory, 0, VK_WHOLE_SIZE, 0, &out.mapped), "vkMapMemory", error)) {
    return false;
  }
  return true;
}

bool RenderDevice::createImage(uint32_t width, uint32_t height, VkFormat format, VkImageUsageFlags usage,
                               VkImageAspectFlags aspect, GpuImage& out, std::string* error, uint32_t levels,
                               bool cube) {
  const uint32_t layers = cube ? 6 : 1;
  auto info = vkStruct<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
  info.flags = cube ? VK_IMAGE_CREATE_CUBE_COMPATIBLE_BIT : 0;
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = format;
  info.extent = {width, height, 1};
  info.mipLevels = levels;
  info.arrayLayers = layers;
  info.samples = VK_SAMPLE_COUNT_1_BIT;
  info.tiling = VK_IMAGE_TILING_OPTIMAL;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (!check(vkCreateImage(device_, &info, nullptr, &out.image), "vkCreateImage", error)) return false;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(device_, out.image, &req);
  auto alloc = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
  alloc.allocationSize = req.size;
  alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (alloc.memoryTypeIndex == UINT32_MAX) alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, 0);
  if (!check(vkAllocateMemory(device_, &alloc, nullptr, &out.memory), "vkAllocateMemory", error)) return false;
  vkBindImageMemory(device_, out.image, out.memory, 0);
  auto view = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
  view.image = out.image;
  view.viewType = cube ? VK_IMAGE_VIEW_TYPE_CUBE : VK_IMAGE_VIEW_TYPE_2D;
  view.format = format;
  view.subresourceRange = {aspect, 0, levels, 0, layers};
  if (!check(vkCreateImageView(device_, &view, nullptr, &out.view), "vkCreateImageView", error)) return false;
  out.format = format;
  out.width = width;
  out.height = height;
  return true;
}

void RenderDevice::destroyBuffer(GpuBuffer& b) {
  if (b.buffer) vkDestroyBuffer(device_, b.buffer, nullptr);
  if (b.memory) vkFreeMemory(device_, b.memory, nullptr);
  b = {};
}

void RenderDevice::destroyImage(GpuImage& i) {
  if (i.view) vkDestroyImageView(device_, i.view, nullptr);
  if (i.image) vkDestroyImage(device_, i.image, nullptr);
  if (i.memory) vkFreeMemory(device_, i.memory, nullptr);
  i = {};
}

bool RenderDevice::submitAndWait(const std::function<void(VkCommandBuffer)>& record) {
  return recordSubmitAndWait(commandBuffers_[1], record);
}

// Records `cmd` afresh, submits it and waits for the GPU to finish it.
bool RenderDevice::recordSubmitAndWait(VkCommandBuffer cmd, const std::function<void(VkCommandBuffer)>& record) {
  vkResetCommandBuffer(cmd, 0);
  auto begin = vkStruct<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(cmd, &begin);
  record(cmd);
  vkEndCommandBuffer(cmd);
  auto submit = vkStruct<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &cmd;
  if (vkQueueSubmit(queue_, 1, &submit, fence_) != VK_SUCCESS) return false;
  bool ok = vkWaitForFences(device_, 1, &fence_, VK_TRUE, UINT64_MAX) == VK_SUCCESS;
  vkResetFences(device_, 1, &fence_);
  return ok;
}
