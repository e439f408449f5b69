// Device memory in a few large blocks, handed out in pieces: a model's buffers and images
// never take an allocation each, since a device promises only 4,096 allocations at once
// (maxMemoryAllocationCount) and each costs time. Pieces are never given back one by one;
// the pool is released as a whole with the model it holds.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>
#include <vector>

class RenderDevice;

class GpuMemoryPool {
 public:
  struct Piece {
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkDeviceSize offset = 0;
    void* mapped = nullptr;  // for host-visible memory
  };

  // Blocks of `blockBytes` (larger for a larger request).
  explicit GpuMemoryPool(VkDeviceSize blockBytes = VkDeviceSize{64} << 20) : blockBytes_(blockBytes) {}
  ~GpuMemoryPool();
  GpuMemoryPool(const GpuMemoryPool&) = delete;
  GpuMemoryPool& operator=(const GpuMemoryPool&) = delete;

  // A piece for `requirements` in memory with `flags` (host-visible pieces come mapped). False,
  // with `error` set, when the device has no such memory or no room, or its allocation limit
  // would be passed.
  bool allocate(RenderDevice& device, const VkMemoryRequirements& requirements, VkMemoryPropertyFlags flags,
                Piece& out, std::string* error);
  // Gives every block back; the device must no longer use them.
  void release(RenderDevice& device);
  int allocations() const { return static_cast<int>(blocks_.size()); }

 private:
  struct Block {
    VkDeviceMemory memory = VK_NULL_HANDLE;
    uint32_t type = 0;
    VkDeviceSize size = 0, used = 0;
    void* mapped = nullptr;
  };
  VkDeviceSize blockBytes_;
  std::vector<Block> blocks_;
};

// The blocks every pool of the process holds, which the device's limit counts with its few
// own allocations.
int liveDeviceAllocations();
