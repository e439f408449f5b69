// Where a frame goes after its last pass: a window's swapchain, a screenshot.
#pragma once

#include <vulkan/vulkan.h>

struct GpuImage;

class FramePresenter {
 public:
  virtual ~FramePresenter() = default;
  // Gets an image to present into; false when there is none this frame (a minimized window).
  virtual bool acquire() = 0;
  // Records the copy of the frame's picture (in the transfer-source layout) into that image.
  virtual void recordPresent(VkCommandBuffer cmd, const GpuImage& picture) = 0;
  // Presents the image once the frame's commands have completed.
  virtual void present() = 0;
};
