// The device and its queue: the instance (with validation when asked), the choice of physical
// device, the command buffers and fence, the constant buffers, and the teardown of everything.
#include "render/render_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "render/device_internals.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace device_detail;

namespace {

VKAPI_ATTR VkBool32 VKAPI_CALL onValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT,
                                                   VkDebugUtilsMessageTypeFlagsEXT,
                                                   const VkDebugUtilsMessengerCallbackDataEXT* data,
                                                   void* user) {
  static_cast<std::atomic<int>*>(user)->fetch_add(1);
  std::fprintf(stderr, "Vulkan validation: %s\n", data && data->pMessage ? data->pMessage : "?");
  return VK_FALSE;
}

// Hardware first; the CPU device (the software rasterizer) last.
int deviceRank(VkPhysicalDeviceType type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 4;
    default: return 3;
  }
}

}  // namespace

RenderDevice::~RenderDevice() {
  if (device_ != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device_);
    for (auto& [mesh, gpu] : gpuMeshes_) {
      for (auto& g : gpu.geometries) {
        destroyBuffer(g.vertices);
        for (auto& i : g.indices) destroyBuffer(i);
      }
    }
    for (auto& t : textures_) destroyImage(t->image);
    for (GpuImage* image : {&depth_, &sceneColor_, &overlay_, &layer0_, &layer1_, &shadow_,
                            &backBuffer_, &fallbackTexture_}) {
      destroyImage(*image);
    }
    for (GpuBuffer* buffer : {&frameConstantBuffer_, &quad_, &ring_, &readback_, &textureStaging_}) destroyBuffer(*buffer);
    destroyPipelines();
    vkDestroyFence(device_, fence_, nullptr);
    vkDestroyCommandPool(device_, commandPool_, nullptr);
    vkDestroyDevice(device_, nullptr);
  }
  if (messenger_ != VK_NULL_HANDLE) {
    auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance_, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy) destroy(instance_, messenger_, nullptr);
  }
  if (instance_ != VK_NULL_HANDLE) vkDestroyInstance(instance_, nullptr);
}

namespace {

// Workaround: Mesa's CPU driver allocates the transformed vertices of every draw with malloc
// and frees them after the draw. With glibc's adaptive defaults those megabytes go back to the
// kernel at each free, and every frame of the skinned character paid for them again as some
// three thousand fresh pages (page faults and zeroing, about a tenth of the frame). Fixed
// thresholds keep freed memory in the heap for the next draw.
void keepFreedMemoryForReuse() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
}

}  // namespace

int RenderDevice::validationMessages() const { return validationCount_.load(); }

bool RenderDevice::create(const RenderDeviceOptions& options, std::string* error) {
  options_ = options;
  if (!createInstance(error) || !chooseDevice(error)) return false;

  auto poolInfo = vkStruct<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
  poolInfo.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  poolInfo.queueFamilyIndex = queueFamily_;
  if (!check(vkCreateCommandPool(device_, &poolInfo, nullptr, &commandPool_), "vkCreateCommandPool", error)) return false;
  auto allocInfo = vkStruct<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
  allocInfo.commandPool = commandPool_;
  allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  allocInfo.commandBufferCount = 3;
  if (!check(vkAllocateCommandBuffers(device_, &allocInfo, commandBuffers_), "vkAllocateCommandBuffers", error)) return false;
  auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
  if (!check(vkCreateFence(device_, &fenceInfo, nullptr, &fence_), "vkCreateFence", error)) return false;

  // The frame constants: 2560 bytes, mapped for good, registered in a slot.
  if (!createBuffer(kFrameConstantBufferBytes, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, true, frameConstantBuffer_, error)) return false;
  std::memset(frameConstantBuffer_.mapped, 0, kFrameConstantBufferBytes);
  frameConstantsSlot_ = slots_.allocate({VK_NULL_HANDLE, frameConstantBuffer_.buffer, 0, kFrameConstantBufferBytes}).value_or(-1);

  if (!createBuffer(sizeof kQuad, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, true, quad_, error)) return false;
  std::memcpy(quad_.mapped, kQuad, sizeof kQuad);
  if (!createBuffer(kRingBytes, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, true, ring_, error)) return false;

  if (!options_.startupScene) return true;
  return createTargets(error) && createPipelines(error);
}

void RenderDevice::destroyPipelines() {
  for (VkPipeline& p : pipelines_) {
    vkDestroyPipeline(device_, p, nullptr);
    p = VK_NULL_HANDLE;
  }
  vkDestroyPipeline(device_, unshadowedGround_, nullptr);
  unshadowedGround_ = VK_NULL_HANDLE;
  for (int i = 0; i < 6; ++i) {
    vkDestroyShaderModule(device_, vertexShaders_[i], nullptr);
    vkDestroyShaderModule(device_, pixelShaders_[i], nullptr);
    vertexShaders_[i] = pixelShaders_[i] = VK_NULL_HANDLE;
  }
  vkDestroyPipelineLayout(device_, pipelineLayout_, nullptr);
  vkDestroyDescriptorSetLayout(device_, setLayout_, nullptr);
  vkDestroySampler(device_, sampler_, nullptr);
  pipelineLayout_ = VK_NULL_HANDLE;
  setLayout_ = VK_NULL_HANDLE;
  sampler_ = VK_NULL_HANDLE;
}

void RenderDevice::releaseStartupTargets() {
  if (!options_.startupScene) return;
  vkDeviceWaitIdle(device_);
  destroySizedTargets();
  destroyImage(fallbackTexture_);
  destroyPipelines();
  options_.startupScene = false;
}

bool RenderDevice::createInstance(std::string* error) {
  std::vector<const char*> extensions = options_.instanceExtensions;
  std::vector<const char*> layers;
  if (options_.validation) {
    uint32_t count = 0;
    vkEnumerateInstanceLayerProperties(&count, nullptr);
    std::vector<VkLayerProperties> available(count);
    vkEnumerateInstanceLayerProperties(&count, available.data());
    bool found = std::any_of(available.begin(), available.end(), [](const VkLayerProperties& l) {
      return std::strcmp(l.layerName, "VK_LAYER_KHRONOS_validation") == 0;
    });
    if (!found) return fail(error, "Vulkan validation layers are not installed (VK_LAYER_KHRONOS_validation)");
    layers.push_back("VK_LAYER_KHRONOS_validation");
    extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  }

  auto app = vkStruct<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
  app.pApplicationName = "modelviewer";
  app.apiVersion = VK_API_VERSION_1_3;
  auto info = vkStruct<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
  info.pApplicationInfo = &app;
  info.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
  info.ppEnabledExtensionNames = extensions.data();
  info.enabledLayerCount = static_cast<uint32_t>(layers.size());
  info.ppEnabledLayerNames = layers.data();

  VkValidationFeatureEnableEXT enables[] = {VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
  auto features = vkStruct<VkValidationFeaturesEXT>(VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT);
  features.enabledValidationFeatureCount = 1;
  features.pEnabledValidationFeatures = enables;
  auto messengerInfo = vkStruct<VkDebugUtilsMessengerCreateInfoEXT>(VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT);
  messengerInfo.messageSeverity =
      VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  messengerInfo.messageType =
      VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT;
  messengerInfo.pfnUserCallback = onValidationMessage;
  messengerInfo.pUserData = &validationCount_;
  if (options_.validation) {
    features.pNext = &messengerInfo;  // also reports problems of instance creation itself
    info.pNext = &features;
  }
  if (!check(vkCreateInstance(&info, nullptr, &instance_), "vkCreateInstance", error)) return false;
  if (options_.validation) {
    auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance_, "vkCreateDebugUtilsMessengerEXT"));
    if (!create || create(instance_, &messengerInfo, nullptr, &messenger_) != VK_SUCCESS) {
      return fail(error, "cannot install the Vulkan validation message callback");
    }
  }
  return true;
}

bool RenderDevice::chooseDevice(std::string* error) {
  uint32_t count = 0;
  vkEnumeratePhysicalDevices(instance_, &count, nullptr);
  std::vector<VkPhysicalDevice> devices(count);
  vkEnumeratePhysicalDevices(instance_, &count, devices.data());
  std::stable_sort(devices.begin(), devices.end(), [](VkPhysicalDevice a, VkPhysicalDevice b) {
    VkPhysicalDeviceProperties pa, pb;
    vkGetPhysicalDeviceProperties(a, &pa);
    vkGetPhysicalDeviceProperties(b, &pb);
    return deviceRank(pa.deviceType) < deviceRank(pb.deviceType);
  });

  std::string reasons;
  for (VkPhysicalDevice candidate : devices) {
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(candidate, &props);
    auto reject = [&](const char* why) { reasons += std::string(" ") + props.deviceName + ": " + why + ";"; };
    if (props.apiVersion < VK_API_VERSION_1_3) {
      reject("no Vulkan 1.3");
      continue;
    }
    uint32_t extCount = 0;
    vkEnumerateDeviceExtensionProperties(candidate, nullptr, &extCount, nullptr);
    std::vector<VkExtensionProperties> exts(extCount);
    vkEnumerateDeviceExtensionProperties(candidate, nullptr, &extCount, exts.data());
    auto hasExtension = [&](const char* name) {
      return std::any_of(exts.begin(), exts.end(),
                         [&](const VkExtensionProperties& e) { return std::strcmp(e.extensionName, name) == 0; });
    };
    if (!hasExtension(VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) {
      reject("no push descriptors");
      continue;
    }
    uint32_t familyCount = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(candidate, &familyCount, nullptr);
    std::vector<VkQueueFamilyProperties> families(familyCount);
    vkGetPhysicalDeviceQueueFamilyProperties(candidate, &familyCount, families.data());
    uint32_t family = UINT32_MAX;
    for (uint32_t i = 0; i < familyCount; ++i) {
      if (families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) {
        family = i;
        break;
      }
    }
    if (family == UINT32_MAX) {
      reject("no graphics queue");
      continue;
    }

    auto features13 = vkStruct<VkPhysicalDeviceVulkan13Features>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES);
    features13.dynamicRendering = VK_TRUE;
    features13.synchronization2 = VK_TRUE;
    auto features = vkStruct<VkPhysicalDeviceFeatures2>(VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2);
    features.pNext = &features13;
    float priority = 1.0f;
    auto queueInfo = vkStruct<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
    queueInfo.queueFamilyIndex = family;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;
    std::vector<const char*> deviceExtensions = {VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
    const bool windowed = std::any_of(options_.instanceExtensions.begin(), options_.instanceExtensions.end(),
                                      [](const char* e) { return std::strcmp(e, VK_KHR_SURFACE_EXTENSION_NAME) == 0; });
    if (windowed) {
      if (!hasExtension(VK_KHR_SWAPCHAIN_EXTENSION_NAME)) {
        reject("no swapchain");
        continue;
      }
      deviceExtensions.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
    }
    auto info = vkStruct<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
    info.pNext = &features;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queueInfo;
    info.enabledExtensionCount = static_cast<uint32_t>(deviceExtensions.size());
    info.ppEnabledExtensionNames = deviceExtensions.data();
    if (vkCreateDevice(candidate, &info, nullptr, &device_) != VK_SUCCESS) {
      reject("device creation failed");
      continue;
    }
    physical_ = candidate;
    queueFamily_ = family;
    deviceName_ = props.deviceName;
    cpuDevice_ = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
    if (cpuDevice_) keepFreedMemoryForReuse();
    uniformAlignment_ = std::max<VkDeviceSize>(props.limits.minUniformBufferOffsetAlignment, 16);
    limits_ = props.limits;
    vkGetDeviceQueue(device_, family, 0, &queue_);
    vkGetPhysicalDeviceMemoryProperties(physical_, &memoryProperties_);
    pushDescriptorSet_ = reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(
        vkGetDeviceProcAddr(device_, "vkCmdPushDescriptorSetKHR"));
    return true;
  }
  return fail(error, "no usable Vulkan device:" + (reasons.empty() ? std::string(" none found") : reasons));
}
