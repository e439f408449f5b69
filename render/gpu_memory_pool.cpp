#include "render/gpu_memory_pool.h"

#include <atomic>

#include "render/render_device.h"
#include "render/vk_struct.h"

namespace {

std::atomic<int> poolBlocks{0};

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return a == 0 ? v : (v + a - 1) / a * a; }

}  // namespace

int liveDeviceAllocations() { return poolBlocks.load(); }

GpuMemoryPool::~GpuMemoryPool() = default;  // release() runs while the device lives

bool GpuMemoryPool::allocate(RenderDevice& device, const VkMemoryRequirements& requirements,
                             VkMemoryPropertyFlags flags, Piece& out, std::string* error) {
  const uint32_t type = device.memoryType(requirements.memoryTypeBits, flags);
  if (type == UINT32_MAX) {
    if (error) *error = "no suitable device memory";
    return false;
  }
  // Buffers and images may share a block only a granularity apart; every piece starts on it.
  const VkDeviceSize alignment = std::max(requirements.alignment, device.limits().bufferImageGranularity);
  for (Block& block : blocks_) {
    if (block.type != type) continue;
    const VkDeviceSize at = alignUp(block.used, alignment);
    if (at + requirements.size > block.size) continue;
    block.used = at + requirements.size;
    out = {block.memory, at, block.mapped != nullptr ? static_cast<uint8_t*>(block.mapped) + at : nullptr};
    return true;
  }
  // Room is left for the device's own targets and buffers.
  constexpr uint32_t kDeviceOwn = 64;
  if (static_cast<uint32_t>(poolBlocks.load()) + kDeviceOwn >= device.limits().maxMemoryAllocationCount) {
    if (error) *error = "the device's allocation limit is reached";
    return false;
  }
  Block block;
  block.type = type;
  block.size = std::max(blockBytes_, alignUp(requirements.size, alignment));
  auto info = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
  info.allocationSize = block.size;
  info.memoryTypeIndex = type;
  if (vkAllocateMemory(device.device(), &info, nullptr, &block.memory) != VK_SUCCESS) {
    if (error) *error = "out of device memory (" + std::to_string(block.size >> 20) + " MiB asked for)";
    return false;
  }
  ++poolBlocks;
  if ((device.memoryProperties().memoryTypes[type].propertyFlags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) != 0 &&
      vkMapMemory(device.device(), block.memory, 0, VK_WHOLE_SIZE, 0, &block.mapped) != VK_SUCCESS) {
    block.mapped = nullptr;
  }
  block.used = requirements.size;
  out = {block.memory, 0, block.mapped};
  blocks_.push_back(block);
  return true;
}

void GpuMemoryPool::release(RenderDevice& device) {
  for (Block& block : blocks_) {
    vkFreeMemory(device.device(), block.memory, nullptr);
    --poolBlocks;
  }
  blocks_.clear();
}
