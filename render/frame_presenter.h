// Where a frame goes after its last pass: a window's swapchain, a screenshot.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

class RenderDevice;
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

// Takes the frame's picture back to the host: given as a frame's presenter, it records the copy
// after the composite pass, and once the frame is done the picture is in `rgba`.
class PictureReader : public FramePresenter {
 public:
  explicit PictureReader(RenderDevice& device) : device_(device) {}
  bool acquire() override;
  void recordPresent(VkCommandBuffer cmd, const GpuImage& backBuffer) override;
  void present() override;

  std::vector<uint8_t> rgba;  // top row first; empty until a frame has been read

 private:
  RenderDevice& device_;
  bool read_ = false;
};
