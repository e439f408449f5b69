#include "render/window_presenter.h"

#include <X11/Xlib.h>
#include <vulkan/vulkan.h>
#include <vulkan/vulkan_xlib.h>

#include <algorithm>

#include "render/render_device.h"
#include "render/vk_struct.h"

WindowPresenter::WindowPresenter(RenderDevice& device, Display* display, XWindow window)
    : device_(device), display_(display), window_(window) {}

WindowPresenter::~WindowPresenter() {
  if (device_.device() != VK_NULL_HANDLE) vkDeviceWaitIdle(device_.device());
  destroySwapchain();
  if (acquireFence_ != VK_NULL_HANDLE) vkDestroyFence(device_.device(), acquireFence_, nullptr);
  if (surface_ != VK_NULL_HANDLE) vkDestroySurfaceKHR(device_.instance(), surface_, nullptr);
}

std::vector<const char*> WindowPresenter::instanceExtensions() {
  return {VK_KHR_SURFACE_EXTENSION_NAME, VK_KHR_XLIB_SURFACE_EXTENSION_NAME};
}

bool WindowPresenter::create(std::string* error) {
  auto info = vkStruct<VkXlibSurfaceCreateInfoKHR>(VK_STRUCTURE_TYPE_XLIB_SURFACE_CREATE_INFO_KHR);
  info.dpy = display_;
  info.window = window_;
  if (vkCreateXlibSurfaceKHR(device_.instance(), &info, nullptr, &surface_) != VK_SUCCESS) {
    if (error) *error = "cannot create a Vulkan surface on the display window";
    return false;
  }
  VkBool32 supported = VK_FALSE;
  vkGetPhysicalDeviceSurfaceSupportKHR(device_.physicalDevice(), device_.queueFamily(), surface_, &supported);
  if (!supported) {
    if (error) *error = device_.deviceName() + " cannot present to the display window";
    return false;
  }
  auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
  vkCreateFence(device_.device(), &fenceInfo, nullptr, &acquireFence_);
  if (!createSwapchain()) {
    if (error) *error = "cannot create the swapchain of the display window";
    return false;
  }
  return true;
}

bool WindowPresenter::createSwapchain() {
  VkSurfaceCapabilitiesKHR caps;
  if (vkGetPhysicalDeviceSurfaceCapabilitiesKHR(device_.physicalDevice(), surface_, &caps) != VK_SUCCESS) return false;
  extent_ = caps.currentExtent;
  if (extent_.width == UINT32_MAX) {
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window_, &attributes);
    extent_ = {static_cast<uint32_t>(attributes.width), static_cast<uint32_t>(attributes.height)};
  }
  if (extent_.width == 0 || extent_.height == 0) return true;  // minimized: nothing to present to

  uint32_t count = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(device_.physicalDevice(), surface_, &count, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(count);
  vkGetPhysicalDeviceSurfaceFormatsKHR(device_.physicalDevice(), surface_, &count, formats.data());
  if (formats.empty()) return false;
  VkSurfaceFormatKHR chosen = formats[0];
  for (const auto& f : formats) {
    if (f.format == VK_FORMAT_R8G8B8A8_UNORM || f.format == VK_FORMAT_B8G8R8A8_UNORM) {
      chosen = f;
      break;
    }
  }
  format_ = chosen.format;
  // No waiting for vertical blank, where the window system allows it.
  vkGetPhysicalDeviceSurfacePresentModesKHR(device_.physicalDevice(), surface_, &count, nullptr);
  std::vector<VkPresentModeKHR> modes(count);
  vkGetPhysicalDeviceSurfacePresentModesKHR(device_.physicalDevice(), surface_, &count, modes.data());
  VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
  for (VkPresentModeKHR wanted : {VK_PRESENT_MODE_IMMEDIATE_KHR, VK_PRESENT_MODE_MAILBOX_KHR}) {
    if (std::find(modes.begin(), modes.end(), wanted) != modes.end()) {
      mode = wanted;
      break;
    }
  }

  auto info = vkStruct<VkSwapchainCreateInfoKHR>(VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR);
  info.surface = surface_;
  info.minImageCount = std::max(2u, caps.minImageCount);
  if (caps.maxImageCount != 0) info.minImageCount = std::min(info.minImageCount, caps.maxImageCount);
  info.imageFormat = chosen.format;
  info.imageColorSpace = chosen.colorSpace;
  info.imageExtent = extent_;
  info.imageArrayLayers = 1;
  info.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.preTransform = caps.currentTransform;
  info.compositeAlpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  info.presentMode = mode;
  info.clipped = VK_TRUE;
  info.oldSwapchain = swapchain_;
  VkSwapchainKHR created = VK_NULL_HANDLE;
  VkResult result = vkCreateSwapchainKHR(device_.device(), &info, nullptr, &created);
  destroySwapchain();
  if (result != VK_SUCCESS) return false;
  swapchain_ = created;
  vkGetSwapchainImagesKHR(device_.device(), swapchain_, &count, nullptr);
  images_.resize(count);
  vkGetSwapchainImagesKHR(device_.device(), swapchain_, &count, images_.data());
  return true;
}

void WindowPresenter::destroySwapchain() {
  if (swapchain_ != VK_NULL_HANDLE) vkDestroySwapchainKHR(device_.device(), swapchain_, nullptr);
  swapchain_ = VK_NULL_HANDLE;
  images_.clear();
}

bool WindowPresenter::acquire() {
  acquired_ = false;
  if (resized_.exchange(false) || swapchain_ == VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device_.device());
    if (!createSwapchain() || swapchain_ == VK_NULL_HANDLE) return false;
  }
  VkResult result =
      vkAcquireNextImageKHR(device_.device(), swapchain_, UINT64_MAX, VK_NULL_HANDLE, acquireFence_, &imageIndex_);
  if (result == VK_ERROR_OUT_OF_DATE_KHR) {
    resized_.store(true);
    return false;
  }
  if (result != VK_SUCCESS && result != VK_SUBOPTIMAL_KHR) return false;
  // The image is free once the fence signals; presentation then needs no semaphores.
  vkWaitForFences(device_.device(), 1, &acquireFence_, VK_TRUE, UINT64_MAX);
  vkResetFences(device_.device(), 1, &acquireFence_);
  if (result == VK_SUBOPTIMAL_KHR) resized_.store(true);
  acquired_ = true;
  return true;
}

void WindowPresenter::recordPresent(VkCommandBuffer cmd, const GpuImage& backBuffer) {
  VkImage image = images_[imageIndex_];
  auto toDst = vkStruct<VkImageMemoryBarrier2>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2);
  toDst.srcStageMask = VK_PIPELINE_STAGE_2_NONE;
  toDst.dstStageMask = VK_PIPELINE_STAGE_2_BLIT_BIT;
  toDst.dstAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
  toDst.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  toDst.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  toDst.srcQueueFamilyIndex = toDst.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  toDst.image = image;
  toDst.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  auto dependency = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
  dependency.imageMemoryBarrierCount = 1;
  dependency.pImageMemoryBarriers = &toDst;
  vkCmdPipelineBarrier2(cmd, &dependency);

  // The render-size picture stretched to the window.
  VkImageBlit blit{};
  blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  blit.srcOffsets[1] = {static_cast<int32_t>(backBuffer.width), static_cast<int32_t>(backBuffer.height), 1};
  blit.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  blit.dstOffsets[1] = {static_cast<int32_t>(extent_.width), static_cast<int32_t>(extent_.height), 1};
  vkCmdBlitImage(cmd, backBuffer.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                 1, &blit, VK_FILTER_LINEAR);

  auto toPresent = toDst;
  toPresent.srcStageMask = VK_PIPELINE_STAGE_2_BLIT_BIT;
  toPresent.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
  toPresent.dstStageMask = VK_PIPELINE_STAGE_2_NONE;
  toPresent.dstAccessMask = 0;
  toPresent.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  toPresent.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  dependency.pImageMemoryBarriers = &toPresent;
  vkCmdPipelineBarrier2(cmd, &dependency);
}

void WindowPresenter::present() {
  if (!acquired_) return;
  acquired_ = false;
  auto info = vkStruct<VkPresentInfoKHR>(VK_STRUCTURE_TYPE_PRESENT_INFO_KHR);
  info.swapchainCount = 1;
  info.pSwapchains = &swapchain_;
  info.pImageIndices = &imageIndex_;
  VkResult result = vkQueuePresentKHR(device_.queue(), &info);
  if (result == VK_ERROR_OUT_OF_DATE_KHR || result == VK_SUBOPTIMAL_KHR) resized_.store(true);
}
