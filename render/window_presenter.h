// Presents the off-screen back buffer in an X window: a Vulkan swapchain on the window,
// recreated when the window's size changes, and a blit that stretches the render-size picture
// to the window. The swapchain's own format may differ from the back buffer's; the blit
// converts. Used by the frame thread only, on an X connection of its own.
#pragma once

#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "render/frame_thread.h"

typedef struct _XDisplay Display;
using XWindow = unsigned long;

class RenderDevice;

class WindowPresenter : public FramePresenter {
 public:
  WindowPresenter(RenderDevice& device, Display* display, XWindow window);
  ~WindowPresenter() override;

  // The instance extensions the device must be created with.
  static std::vector<const char*> instanceExtensions();

  // Creates the surface and the first swapchain. False, with `error` set, when the device cannot
  // present to the window.
  bool create(std::string* error);

  // Asks for a new swapchain before the next frame (the window was resized).
  void windowResized() { resized_.store(true); }

  bool acquire() override;
  void recordPresent(VkCommandBuffer cmd, const GpuImage& backBuffer) override;
  void present() override;

 private:
  bool createSwapchain();
  void destroySwapchain();

  RenderDevice& device_;
  Display* display_;
  XWindow window_;
  VkSurfaceKHR surface_ = VK_NULL_HANDLE;
  VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
  VkFormat format_ = VK_FORMAT_UNDEFINED;
  VkExtent2D extent_{};
  std::vector<VkImage> images_;
  VkFence acquireFence_ = VK_NULL_HANDLE;
  uint32_t imageIndex_ = 0;
  bool acquired_ = false;
  std::atomic<bool> resized_{false};
};
