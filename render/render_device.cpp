#include "render/render_device.h"

#include <stb_image.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/text.h"
#include "render/vk_struct.h"

namespace {

constexpr VkFormat kColorFormat = VK_FORMAT_R8G8B8A8_UNORM;
constexpr VkFormat kFloatFormat = VK_FORMAT_R32G32B32A32_SFLOAT;
constexpr VkFormat kDepthFormat = VK_FORMAT_D32_SFLOAT;
constexpr VkFormat kTextureFormat = VK_FORMAT_B8G8R8A8_UNORM;
constexpr VkDeviceSize kFrameConstantBufferBytes = 2560;
constexpr VkDeviceSize kMaterialConstantBytes = 64;
// Per-frame constants of every draw; a frame of the start-up scene needs about 300 KB.
constexpr VkDeviceSize kRingBytes = 8u << 20;

// Bindings of the one push-descriptor set: root parameter n is binding n; s0 is binding 10.
enum Binding : uint32_t {
  kB0 = 0, kB1 = 1, kB2 = 2, kB3 = 3, kB4 = 4,
  kT0 = 5, kT2 = 6, kT3 = 7, kT4 = 8, kT5 = 9,
  kS0 = 10,
};

struct QuadVertex {
  float position[3];
  float normal[3];
  float texCoord[2];
};
static_assert(sizeof(QuadVertex) == 32);
constexpr QuadVertex kQuad[4] = {
    {{-1, 1, 0}, {0, 0, 0}, {0, 0}},
    {{1, 1, 0}, {0, 0, 0}, {1, 0}},
    {{-1, -1, 0}, {0, 0, 0}, {0, 1}},
    {{1, -1, 0}, {0, 0, 0}, {1, 1}},
};

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

bool check(VkResult result, const char* what, std::string* error) {
  if (result == VK_SUCCESS) return true;
  return fail(error, std::string(what) + " failed (VkResult " + std::to_string(result) + ")");
}

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

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return (v + a - 1) / a * a; }

// One image layout transition (or plain memory dependency when the layouts are equal).
struct Transition {
  VkImage image;
  VkImageAspectFlags aspect;
  VkImageLayout from, to;
  VkPipelineStageFlags2 srcStage, dstStage;
  VkAccessFlags2 srcAccess, dstAccess;
};

void transition(VkCommandBuffer cmd, std::initializer_list<Transition> list) {
  std::vector<VkImageMemoryBarrier2> barriers;
  for (const Transition& t : list) {
    auto b = vkStruct<VkImageMemoryBarrier2>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2);
    b.srcStageMask = t.srcStage;
    b.srcAccessMask = t.srcAccess;
    b.dstStageMask = t.dstStage;
    b.dstAccessMask = t.dstAccess;
    b.oldLayout = t.from;
    b.newLayout = t.to;
    b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = t.image;
    b.subresourceRange = {t.aspect, 0, 1, 0, 1};
    barriers.push_back(b);
  }
  auto info = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
  info.imageMemoryBarrierCount = static_cast<uint32_t>(barriers.size());
  info.pImageMemoryBarriers = barriers.data();
  vkCmdPipelineBarrier2(cmd, &info);
}

constexpr VkPipelineStageFlags2 kFragmentTests =
    VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_2_LATE_FRAGMENT_TESTS_BIT;
constexpr VkAccessFlags2 kDepthAccess =
    VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
constexpr VkAccessFlags2 kColorAccess =
    VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT;

// A colour target about to be rendered into (its old contents are cleared, so discarded).
Transition toColorTarget(const GpuImage& image, VkPipelineStageFlags2 lastUse,
                         VkAccessFlags2 lastAccess) {
  return {image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
          VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, lastUse, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
          lastAccess, kColorAccess};
}

// A colour target just rendered, about to be sampled by fragment shaders.
Transition toSampled(const GpuImage& image) {
  return {image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
          VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
          VK_ACCESS_2_SHADER_SAMPLED_READ_BIT};
}

// The depth buffer between two rendering instances that both use it.
Transition depthBetweenPasses(const GpuImage& depth, bool discard) {
  return {depth.image, VK_IMAGE_ASPECT_DEPTH_BIT,
          discard ? VK_IMAGE_LAYOUT_UNDEFINED : VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL, kFragmentTests, kFragmentTests,
          VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT, kDepthAccess};
}

VkRenderingAttachmentInfo colorAttachment(const GpuImage& image, std::array<float, 4> clear,
                                          bool load = false) {
  auto a = vkStruct<VkRenderingAttachmentInfo>(VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO);
  a.imageView = image.view;
  a.imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  a.loadOp = load ? VK_ATTACHMENT_LOAD_OP_LOAD : VK_ATTACHMENT_LOAD_OP_CLEAR;
  a.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  std::copy(clear.begin(), clear.end(), a.clearValue.color.float32);
  return a;
}

VkRenderingAttachmentInfo depthAttachment(const GpuImage& image, bool load) {
  auto a = vkStruct<VkRenderingAttachmentInfo>(VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO);
  a.imageView = image.view;
  a.imageLayout = VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL;
  a.loadOp = load ? VK_ATTACHMENT_LOAD_OP_LOAD : VK_ATTACHMENT_LOAD_OP_CLEAR;
  a.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  a.clearValue.depthStencil = {1.0f, 0};
  return a;
}

void beginRendering(VkCommandBuffer cmd, uint32_t width, uint32_t height,
                    const std::vector<VkRenderingAttachmentInfo>& colors,
                    const VkRenderingAttachmentInfo* depth) {
  auto info = vkStruct<VkRenderingInfo>(VK_STRUCTURE_TYPE_RENDERING_INFO);
  info.renderArea = {{0, 0}, {width, height}};
  info.layerCount = 1;
  info.colorAttachmentCount = static_cast<uint32_t>(colors.size());
  info.pColorAttachments = colors.data();
  info.pDepthAttachment = depth;
  vkCmdBeginRendering(cmd, &info);
}

// Viewport of negative height: y points up in normalized device coordinates, as the camera's
// matrices and the quad's texture coordinates expect.
void setViewport(VkCommandBuffer cmd, uint32_t width, uint32_t height) {
  VkViewport viewport{0, static_cast<float>(height), static_cast<float>(width),
                      -static_cast<float>(height), 0.0f, 1.0f};
  VkRect2D scissor{{0, 0}, {width, height}};
  vkCmdSetViewport(cmd, 0, 1, &viewport);
  vkCmdSetScissor(cmd, 0, 1, &scissor);
}

bool readShaderFile(const std::string& path, std::vector<uint32_t>& words, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(error, path + ": cannot open shader file");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 20 || bytes.size() % 4 != 0) return fail(error, path + ": not a SPIR-V shader");
  words.resize(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  if (words[0] != 0x07230203u) return fail(error, path + ": not a SPIR-V shader (bad magic number)");
  return true;
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
    for (GpuBuffer* buffer : {&frameConstantBuffer_, &quad_, &ring_, &readback_}) destroyBuffer(*buffer);
    for (VkPipeline p : pipelines_) vkDestroyPipeline(device_, p, nullptr);
    for (int i = 0; i < 6; ++i) {
      vkDestroyShaderModule(device_, vertexShaders_[i], nullptr);
      vkDestroyShaderModule(device_, pixelShaders_[i], nullptr);
    }
    vkDestroyPipelineLayout(device_, pipelineLayout_, nullptr);
    vkDestroyDescriptorSetLayout(device_, setLayout_, nullptr);
    vkDestroySampler(device_, sampler_, nullptr);
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

  return createTargets(error) && createPipelines(error);
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
    uniformAlignment_ = std::max<VkDeviceSize>(props.limits.minUniformBufferOffsetAlignment, 16);
    vkGetDeviceQueue(device_, family, 0, &queue_);
    vkGetPhysicalDeviceMemoryProperties(physical_, &memoryProperties_);
    pushDescriptorSet_ = reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(
        vkGetDeviceProcAddr(device_, "vkCmdPushDescriptorSetKHR"));
    return true;
  }
  return fail(error, "no usable Vulkan device:" + (reasons.empty() ? std::string(" none found") : reasons));
}

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
                               VkImageAspectFlags aspect, GpuImage& out, std::string* error) {
  auto info = vkStruct<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = format;
  info.extent = {width, height, 1};
  info.mipLevels = 1;
  info.arrayLayers = 1;
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
  view.viewType = VK_IMAGE_VIEW_TYPE_2D;
  view.format = format;
  view.subresourceRange = {aspect, 0, 1, 0, 1};
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

bool RenderDevice::createTargets(std::string* error) {
  const uint32_t w = static_cast<uint32_t>(options_.renderWidth);
  const uint32_t h = static_cast<uint32_t>(options_.renderHeight);
  // The depth buffer and the shadow target are twice the render size in each direction.
  const uint32_t w2 = static_cast<uint32_t>(static_cast<float>(options_.renderWidth) * 2.0f);
  const uint32_t h2 = static_cast<uint32_t>(static_cast<float>(options_.renderHeight) * 2.0f);
  constexpr VkImageUsageFlags kTarget = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  if (!createImage(w2, h2, kDepthFormat, VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT, VK_IMAGE_ASPECT_DEPTH_BIT, depth_, error) ||
      !createImage(w, h, kColorFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, sceneColor_, error) ||
      !createImage(w, h, kColorFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, overlay_, error) ||
      !createImage(w, h, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, layer0_, error) ||
      !createImage(w, h, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, layer1_, error) ||
      !createImage(w2, h2, kFloatFormat, kTarget, VK_IMAGE_ASPECT_COLOR_BIT, shadow_, error) ||
      !createImage(w, h, kColorFormat, VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT,
                   VK_IMAGE_ASPECT_COLOR_BIT, backBuffer_, error) ||
      !createImage(1, 1, kTextureFormat, VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT,
                   VK_IMAGE_ASPECT_COLOR_BIT, fallbackTexture_, error)) {
    return false;
  }
  // Slots in the order the targets are created.
  sceneColorSlot_ = slots_.allocate({sceneColor_.view}).value_or(-1);
  overlaySlot_ = slots_.allocate({overlay_.view}).value_or(-1);
  layer0Slot_ = slots_.allocate({layer0_.view}).value_or(-1);
  layer1Slot_ = slots_.allocate({layer1_.view}).value_or(-1);
  shadowSlot_ = slots_.allocate({shadow_.view}).value_or(-1);

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

VkSamplerCreateInfo textureSamplerInfo() {
  // s0 filters linearly on every device. Its maximum anisotropy of 16 only matters to an
  // anisotropic filter, which it does not choose, so anisotropy stays off everywhere.
  auto info = vkStruct<VkSamplerCreateInfo>(VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO);
  info.magFilter = info.minFilter = VK_FILTER_LINEAR;
  info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  info.addressModeU = info.addressModeV = info.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  info.anisotropyEnable = VK_FALSE;
  info.maxAnisotropy = 16.0f;
  info.compareOp = VK_COMPARE_OP_NEVER;
  info.minLod = 0;
  info.maxLod = VK_LOD_CLAMP_NONE;
  info.borderColor = VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK;
  return info;
}

bool RenderDevice::createPipelines(std::string* error) {
  const VkSamplerCreateInfo samplerInfo = textureSamplerInfo();
  if (!check(vkCreateSampler(device_, &samplerInfo, nullptr, &sampler_), "vkCreateSampler", error)) return false;

  // The root signature: b0-b4, t0, t2, t3, t4, t5 and the immutable s0, all stages.
  std::vector<VkDescriptorSetLayoutBinding> bindings;
  for (uint32_t b = kB0; b <= kB4; ++b) {
    bindings.push_back({b, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1, VK_SHADER_STAGE_ALL_GRAPHICS, nullptr});
  }
  for (uint32_t t = kT0; t <= kT5; ++t) {
    bindings.push_back({t, VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, 1, VK_SHADER_STAGE_ALL_GRAPHICS, nullptr});
  }
  // s0 is pushed with the other bindings rather than made immutable: Mesa's CPU driver ignores
  // immutable samplers in push-descriptor layouts (every lookup returned the image's average).
  bindings.push_back({kS0, VK_DESCRIPTOR_TYPE_SAMPLER, 1, VK_SHADER_STAGE_ALL_GRAPHICS, nullptr});
  auto setInfo = vkStruct<VkDescriptorSetLayoutCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO);
  setInfo.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
  setInfo.bindingCount = static_cast<uint32_t>(bindings.size());
  setInfo.pBindings = bindings.data();
  if (!check(vkCreateDescriptorSetLayout(device_, &setInfo, nullptr, &setLayout_), "creating the root signature", error)) {
    return false;
  }
  auto layoutInfo = vkStruct<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
  layoutInfo.setLayoutCount = 1;
  layoutInfo.pSetLayouts = &setLayout_;
  if (!check(vkCreatePipelineLayout(device_, &layoutInfo, nullptr, &pipelineLayout_), "creating the root signature", error)) {
    return false;
  }

  // The twelve shader files, pair by pair.
  for (int i = 0; i < 6; ++i) {
    for (int stage = 0; stage < 2; ++stage) {
      std::string path = options_.shaderFolder + (stage == 0 ? "/vs" : "/ps") + std::to_string(i + 1) + ".cso";
      std::vector<uint32_t> words;
      if (!readShaderFile(path, words, error)) return false;
      auto info = vkStruct<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
      info.codeSize = words.size() * 4;
      info.pCode = words.data();
      VkShaderModule& module = stage == 0 ? vertexShaders_[i] : pixelShaders_[i];
      if (vkCreateShaderModule(device_, &info, nullptr, &module) != VK_SUCCESS) {
        return fail(error, path + ": the device rejects this shader");
      }
    }
  }

  // Input layouts 1 (ModelVertex), 2 (QuadVertex) and 3 (collider vertex).
  auto layout = [](int which, std::vector<VkVertexInputAttributeDescription>& attributes) -> uint32_t {
    attributes.clear();
    uint32_t location = 0, offset = 0;
    auto add = [&](VkFormat format, uint32_t bytes) {
      attributes.push_back({location++, 0, format, offset});
      offset += bytes;
    };
    add(VK_FORMAT_R32G32B32_SFLOAT, 12);  // POSITION
    add(VK_FORMAT_R32G32B32_SFLOAT, 12);  // NORMAL
    if (which == 1) {
      add(VK_FORMAT_R32G32B32A32_SFLOAT, 16);                        // COLOR
      for (int i = 0; i < 9; ++i) add(VK_FORMAT_R32G32_SFLOAT, 8);  // TEXCOORD 0-8
    } else if (which == 2) {
      add(VK_FORMAT_R32G32_SFLOAT, 8);  // TEXCOORD 0
    } else {
      for (int i = 0; i < 8; ++i) add(VK_FORMAT_R32G32_SFLOAT, 8);  // TEXCOORD 0-7
    }
    return offset;
  };
  struct PipelineSpec {
    int inputLayout;
    std::vector<VkFormat> targets;
    bool depthTest;
  };
  const PipelineSpec specs[6] = {
      {1, {kColorFormat}, true},               // 1: ground and unskinned objects
      {2, {kColorFormat}, true},               // 2: composite
      {2, {kColorFormat}, false},              // 3: unused quad
      {3, {kColorFormat}, true},               // 4: unused collider view
      {1, {kFloatFormat}, true},               // 5: light pass
      {1, {kFloatFormat, kFloatFormat}, true}, // 6: the character's layers
  };
  for (int n : {1, 4, 6, 5, 2, 3}) {
    const PipelineSpec& spec = specs[n - 1];
    std::vector<VkVertexInputAttributeDescription> attributes;
    VkVertexInputBindingDescription binding{0, layout(spec.inputLayout, attributes), VK_VERTEX_INPUT_RATE_VERTEX};
    auto vertexInput = vkStruct<VkPipelineVertexInputStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO);
    vertexInput.vertexBindingDescriptionCount = 1;
    vertexInput.pVertexBindingDescriptions = &binding;
    vertexInput.vertexAttributeDescriptionCount = static_cast<uint32_t>(attributes.size());
    vertexInput.pVertexAttributeDescriptions = attributes.data();
    auto assembly = vkStruct<VkPipelineInputAssemblyStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO);
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;  // lists and strips: set per draw
    auto viewport = vkStruct<VkPipelineViewportStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO);
    viewport.viewportCount = viewport.scissorCount = 1;
    auto raster = vkStruct<VkPipelineRasterizationStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO);
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_CLOCKWISE;
    raster.lineWidth = 1.0f;
    auto multisample = vkStruct<VkPipelineMultisampleStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO);
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    auto depth = vkStruct<VkPipelineDepthStencilStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO);
    depth.depthTestEnable = spec.depthTest ? VK_TRUE : VK_FALSE;
    depth.depthWriteEnable = VK_TRUE;
    depth.depthCompareOp = VK_COMPARE_OP_LESS_OR_EQUAL;
    std::vector<VkPipelineColorBlendAttachmentState> blends(spec.targets.size());
    for (auto& b : blends) {
      b.blendEnable = VK_TRUE;
      b.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
      b.dstColorBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
      b.colorBlendOp = VK_BLEND_OP_ADD;
      b.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
      b.dstAlphaBlendFactor = VK_BLEND_FACTOR_ZERO;
      b.alphaBlendOp = VK_BLEND_OP_ADD;
      b.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                         VK_COLOR_COMPONENT_A_BIT;
    }
    auto blend = vkStruct<VkPipelineColorBlendStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO);
    blend.attachmentCount = static_cast<uint32_t>(blends.size());
    blend.pAttachments = blends.data();
    VkDynamicState dynamics[] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_PRIMITIVE_TOPOLOGY};
    auto dynamic = vkStruct<VkPipelineDynamicStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO);
    dynamic.dynamicStateCount = 3;
    dynamic.pDynamicStates = dynamics;
    auto rendering = vkStruct<VkPipelineRenderingCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO);
    rendering.colorAttachmentCount = static_cast<uint32_t>(spec.targets.size());
    rendering.pColorAttachmentFormats = spec.targets.data();
    rendering.depthAttachmentFormat = kDepthFormat;
      VkPipelineShaderStageCreateInfo stages[2] = {
        vkStruct<VkPipelineShaderStageCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO),
        vkStruct<VkPipelineShaderStageCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO)};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = vertexShaders_[n - 1];
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = pixelShaders_[n - 1];
    stages[1].pName = "main";
    auto info = vkStruct<VkGraphicsPipelineCreateInfo>(VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO);
    info.pNext = &rendering;
    info.stageCount = 2;
    info.pStages = stages;
    info.pVertexInputState = &vertexInput;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pDepthStencilState = &depth;
    info.pColorBlendState = &blend;
    info.pDynamicState = &dynamic;
    info.layout = pipelineLayout_;
    if (vkCreateGraphicsPipelines(device_, VK_NULL_HANDLE, 1, &info, nullptr, &pipelines_[n - 1]) != VK_SUCCESS) {
      return fail(error, options_.shaderFolder + "/vs" + std::to_string(n) + ".cso, ps" + std::to_string(n) +
                             ".cso: the device cannot build pipeline " + std::to_string(n) + " from them");
    }
  }
  return true;
}

bool RenderDevice::loadTexture(const std::string& path, GpuTexture*& texture, std::string* error) {
  int width = 0, height = 0, channels = 0;
  stbi_uc* pixels = stbi_load(path.c_str(), &width, &height, &channels, 4);
  if (pixels == nullptr) return fail(error, path + ": " + (stbi_failure_reason() ? stbi_failure_reason() : "cannot read"));
  auto t = std::make_unique<GpuTexture>();
  GpuBuffer staging;
  bool ok = createImage(static_cast<uint32_t>(width), static_cast<uint32_t>(height), kTextureFormat,
                        VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT, VK_IMAGE_ASPECT_COLOR_BIT,
                        t->image, error) &&
            createBuffer(static_cast<VkDeviceSize>(width) * height * 4, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging,
                         error);
  if (ok) {
    // B8G8R8A8, the image's bottom row first.
    auto* out = static_cast<uint8_t*>(staging.mapped);
    for (int row = 0; row < height; ++row) {
      const stbi_uc* src = pixels + static_cast<std::size_t>(height - 1 - row) * width * 4;
      uint8_t* dst = out + static_cast<std::size_t>(row) * width * 4;
      for (int x = 0; x < width; ++x) {
        dst[4 * x + 0] = src[4 * x + 2];
        dst[4 * x + 1] = src[4 * x + 1];
        dst[4 * x + 2] = src[4 * x + 0];
        dst[4 * x + 3] = src[4 * x + 3];
      }
    }
    ok = submitAndWait([&](VkCommandBuffer cmd) {
      transition(cmd, {{t->image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                        VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_NONE, VK_PIPELINE_STAGE_2_COPY_BIT, 0,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT}});
      VkBufferImageCopy region{};
      region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
      region.imageExtent = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), 1};
      vkCmdCopyBufferToImage(cmd, staging.buffer, t->image.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
      transition(cmd, {{t->image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                        VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                        VK_ACCESS_2_SHADER_SAMPLED_READ_BIT}});
    });
    if (!ok && error) *error = path + ": cannot upload the texture";
  }
  stbi_image_free(pixels);
  destroyBuffer(staging);
  if (ok) {
    auto slot = slots_.allocate({t->image.view});
    if (!slot) {
      ok = fail(error, path + ": no free texture slot (" + std::to_string(slots_.capacity()) + " in use)");
    } else {
      t->slot = *slot;
    }
  }
  if (!ok) {
    destroyImage(t->image);
    return false;
  }
  texture = t.get();
  textures_.push_back(std::move(t));
  return true;
}

TextureLoader RenderDevice::textureLoader() {
  return [this](const std::u16string& fileName, void*& resource, int64_t& slot) {
    GpuTexture* texture = nullptr;
    std::string error;
    if (!loadTexture(text::toUtf8(fileName), texture, &error)) {
      std::fprintf(stderr, "Warning: texture %s\n", error.c_str());
      return false;
    }
    resource = texture;
    slot = texture->slot;
    return true;
  };
}

bool RenderDevice::upload(const MeshSet& mesh, std::string* error) {
  GpuMesh gpu;
  for (int64_t i = 0; i < mesh.geometries.count(); ++i) {
    const GpuGeometry& geometry = **mesh.geometries.at(i);
    GpuMesh::Geometry g;
    for (const ModelVertex& v : geometry.vertices) {
      for (const BoneWeight& b : v.bones) gpu.castsShadow = gpu.castsShadow || b.weight > 1e-7f;
    }
    VkDeviceSize bytes = geometry.vertices.size() * sizeof(ModelVertex);
    if (bytes > 0) {
      if (!createBuffer(bytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, true, g.vertices, error)) return false;
      std::memcpy(g.vertices.mapped, geometry.vertices.data(), bytes);
    }
    for (const auto& list : geometry.indexLists) {
      GpuBuffer indices;
      if (!list.empty()) {
        if (!createBuffer(list.size() * sizeof(uint32_t), VK_BUFFER_USAGE_INDEX_BUFFER_BIT, true, indices, error)) {
          return false;
        }
        std::memcpy(indices.mapped, list.data(), list.size() * sizeof(uint32_t));
      }
      g.indices.push_back(indices);
    }
    gpu.geometries.push_back(std::move(g));
  }
  gpuMeshes_[&mesh] = std::move(gpu);
  return true;
}

void RenderDevice::pushBuffer(VkCommandBuffer cmd, uint32_t binding, VkBuffer buffer, VkDeviceSize offset,
                              VkDeviceSize range) {
  VkDescriptorBufferInfo info{buffer, offset, range};
  auto write = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
  write.dstBinding = binding;
  write.descriptorCount = 1;
  write.descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
  write.pBufferInfo = &info;
  pushDescriptorSet_(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelineLayout_, 0, 1, &write);
}

void RenderDevice::pushImage(VkCommandBuffer cmd, uint32_t binding, VkImageView view) {
  VkDescriptorImageInfo info{VK_NULL_HANDLE, view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  auto write = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
  write.dstBinding = binding;
  write.descriptorCount = 1;
  write.descriptorType = VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
  write.pImageInfo = &info;
  pushDescriptorSet_(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelineLayout_, 0, 1, &write);
}

bool RenderDevice::ringAllocate(VkDeviceSize size, VkDeviceSize& offset, void*& at) {
  VkDeviceSize start = alignUp(ringUsed_, uniformAlignment_);
  if (start + size > ring_.size) {
    if (!ringExhausted_) std::fprintf(stderr, "Warning: too many draws in one frame; some objects are not drawn\n");
    ringExhausted_ = true;
    return false;
  }
  offset = start;
  at = static_cast<uint8_t*>(ring_.mapped) + start;
  ringUsed_ = start + size;
  return true;
}

void RenderDevice::drawMeshSet(VkCommandBuffer cmd, const MeshSet& mesh) {
  auto found = gpuMeshes_.find(&mesh);
  if (found == gpuMeshes_.end()) return;
  const GpuMesh& gpu = found->second;
  vkCmdSetPrimitiveTopology(cmd, VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST);
  for (int64_t gi = 0; gi < mesh.geometries.count() && static_cast<std::size_t>(gi) < gpu.geometries.size(); ++gi) {
    const GpuGeometry& geometry = **mesh.geometries.at(gi);
    const GpuMesh::Geometry& buffers = gpu.geometries[static_cast<std::size_t>(gi)];
    if (buffers.vertices.buffer == VK_NULL_HANDLE) continue;
    // Each draw reads its own copy of the constants.
    VkDeviceSize objectOffset = 0;
    void* object = nullptr;
    if (!ringAllocate(kObjectConstantBytes, objectOffset, object)) return;
    float block[kObjectConstantFloats];
    for (int b = 0; b < kMaxSkinMatrices; ++b) {  // bones a model lacks leave vertices in place
      std::copy(kIdentityMatrix.begin(), kIdentityMatrix.end(), block + 52 + 16 * b);
    }
    WriteObjectConstants(mesh, geometry, block);
    std::memcpy(object, block, sizeof block);
    VkDeviceSize zero = 0;
    vkCmdBindVertexBuffers(cmd, 0, 1, &buffers.vertices.buffer, &zero);
    pushBuffer(cmd, kB2, ring_.buffer, objectOffset, kObjectConstantBytes);
    for (std::size_t s = 0; s < geometry.indexLists.size() && s < buffers.indices.size(); ++s) {
      if (buffers.indices[s].buffer == VK_NULL_HANDLE) continue;
      const GpuMaterial& m = geometry.materials[s];
      VkDeviceSize materialOffset = 0;
      void* material = nullptr;
      if (!ringAllocate(kMaterialConstantBytes, materialOffset, material)) return;
      float constants[16] = {};
      std::copy(m.diffuse, m.diffuse + 4, constants);
      std::copy(m.ambient, m.ambient + 4, constants + 4);
      std::copy(m.specular, m.specular + 4, constants + 8);
      constants[12] = mesh.materialFactor;
      std::memcpy(material, constants, sizeof constants);
      pushBuffer(cmd, kB1, ring_.buffer, materialOffset, kMaterialConstantBytes);
      if (m.texture != nullptr) pushImage(cmd, kT0, static_cast<const GpuTexture*>(m.texture)->image.view);
      vkCmdBindIndexBuffer(cmd, buffers.indices[s].buffer, 0, VK_INDEX_TYPE_UINT32);
      vkCmdDrawIndexed(cmd, static_cast<uint32_t>(geometry.indexLists[s].size()), 1, 0, 0, 0);
    }
  }
}

void RenderDevice::drawList(VkCommandBuffer cmd, const std::vector<const MeshSet*>& list, bool shadowCastersOnly) {
  for (const MeshSet* mesh : list) {
    if (shadowCastersOnly) {
      auto found = gpuMeshes_.find(mesh);
      if (found == gpuMeshes_.end() || !found->second.castsShadow) continue;
    }
    drawMeshSet(cmd, *mesh);
  }
}

void RenderDevice::recordFrame(VkCommandBuffer cmd, const FrameDrawLists& lists) {
  const uint32_t w = static_cast<uint32_t>(options_.renderWidth);
  const uint32_t h = static_cast<uint32_t>(options_.renderHeight);
  const uint32_t w2 = depth_.width, h2 = depth_.height;
  ringUsed_ = 0;
  // Every pass starts the same way: the pipeline layout and the frame constants at b0, and a
  // valid image at each texture binding its shaders read.
  auto preamble = [&]() {
    pushBuffer(cmd, kB0, frameConstantBuffer_.buffer, 0, kFrameConstantBufferBytes);
    pushImage(cmd, kT0, fallbackTexture_.view);
    VkDescriptorImageInfo info{sampler_, VK_NULL_HANDLE, VK_IMAGE_LAYOUT_UNDEFINED};
    auto write = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
    write.dstBinding = kS0;
    write.descriptorCount = 1;
    write.descriptorType = VK_DESCRIPTOR_TYPE_SAMPLER;
    write.pImageInfo = &info;
    pushDescriptorSet_(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelineLayout_, 0, 1, &write);
  };
  const VkPipelineStageFlags2 lastRead = firstFrame_ ? VK_PIPELINE_STAGE_2_NONE : VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT;
  const VkAccessFlags2 lastReadAccess = 0;  // a write after a read needs only the execution dependency

  // Light pass: every list seen from the light into the shadow target.
  transition(cmd, {toColorTarget(shadow_, lastRead, lastReadAccess), depthBetweenPasses(depth_, true)});
  {
    VkRenderingAttachmentInfo depth = depthAttachment(depth_, false);
    beginRendering(cmd, w2, h2, {colorAttachment(shadow_, {0, 0, 0, 0})}, &depth);
    setViewport(cmd, w2, h2);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelines_[4]);
    preamble();
    drawList(cmd, lists.third, true);
    drawList(cmd, lists.second, true);
    drawList(cmd, lists.first, true);
    vkCmdEndRendering(cmd);
  }

  // Scene pass: the ground into the scene colour, the character into the two layers.
  transition(cmd, {toSampled(shadow_), toColorTarget(sceneColor_, lastRead, lastReadAccess),
                   toColorTarget(layer0_, lastRead, lastReadAccess), toColorTarget(layer1_, lastRead, lastReadAccess),
                   toColorTarget(overlay_, lastRead, lastReadAccess), depthBetweenPasses(depth_, false)});
  {
    VkRenderingAttachmentInfo depth = depthAttachment(depth_, false);
    beginRendering(cmd, w, h, {colorAttachment(sceneColor_, {0.8f, 0.8f, 0.8f, 1.0f})}, &depth);
    setViewport(cmd, w, h);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelines_[0]);
    preamble();
    pushImage(cmd, kT2, shadow_.view);
    drawList(cmd, lists.third);
    drawList(cmd, lists.second);
    vkCmdEndRendering(cmd);
  }
  transition(cmd, {depthBetweenPasses(depth_, false)});
  {
    // The character is depth-tested against the ground drawn just before.
    VkRenderingAttachmentInfo depth = depthAttachment(depth_, true);
    beginRendering(cmd, w, h, {colorAttachment(layer0_, {0, 0, 0, 0}), colorAttachment(layer1_, {0, 0, 0, 0})}, &depth);
    setViewport(cmd, w, h);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelines_[5]);
    drawList(cmd, lists.first);
    vkCmdEndRendering(cmd);
  }
  {
    // Nothing draws into the overlay; it is cleared every frame.
    beginRendering(cmd, w, h, {colorAttachment(overlay_, {0, 0, 0, 0})}, nullptr);
    vkCmdEndRendering(cmd);
  }

  // Composite pass: the full-screen quad into the back buffer.
  transition(cmd, {toSampled(sceneColor_), toSampled(layer0_), toSampled(layer1_), toSampled(overlay_),
                   depthBetweenPasses(depth_, false),
                   {backBuffer_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                    VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                    firstFrame_ ? VK_PIPELINE_STAGE_2_NONE : VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                    VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT, 0, kColorAccess}});
  {
    VkRenderingAttachmentInfo depth = depthAttachment(depth_, false);
    beginRendering(cmd, w, h, {colorAttachment(backBuffer_, {0, 0, 0, 0})}, &depth);
    setViewport(cmd, w, h);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipelines_[1]);
    preamble();
    pushImage(cmd, kT0, sceneColor_.view);
    pushImage(cmd, kT3, layer0_.view);
    pushImage(cmd, kT4, layer1_.view);
    pushImage(cmd, kT5, overlay_.view);
    vkCmdSetPrimitiveTopology(cmd, VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP);
    VkDeviceSize zero = 0;
    vkCmdBindVertexBuffers(cmd, 0, 1, &quad_.buffer, &zero);
    vkCmdDraw(cmd, 4, 1, 0, 0);
    vkCmdEndRendering(cmd);
  }
  transition(cmd, {{backBuffer_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                    VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                    VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
                    VK_ACCESS_2_TRANSFER_READ_BIT}});
}

bool RenderDevice::renderFrame(const FrameDrawLists& lists,
                               const std::function<void(VkCommandBuffer, const GpuImage&)>& afterComposite) {
  bool ok = recordSubmitAndWait(commandBuffers_[0], [&](VkCommandBuffer cmd) {
    recordFrame(cmd, lists);
    if (afterComposite) afterComposite(cmd, backBuffer_);
  });
  ++fenceValue_;
  firstFrame_ = false;
  return ok;
}

bool RenderDevice::readBackBuffer(std::vector<uint8_t>& rgba) {
  if (firstFrame_) return false;
  const uint32_t w = backBuffer_.width, h = backBuffer_.height;
  std::string error;
  if (readback_.buffer == VK_NULL_HANDLE &&
      !createBuffer(static_cast<VkDeviceSize>(w) * h * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true, readback_, &error)) {
    return false;
  }
  bool ok = submitAndWait([&](VkCommandBuffer cmd) {
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {w, h, 1};
    vkCmdCopyImageToBuffer(cmd, backBuffer_.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, readback_.buffer, 1, &region);
    auto toHost = vkStruct<VkMemoryBarrier2>(VK_STRUCTURE_TYPE_MEMORY_BARRIER_2);
    toHost.srcStageMask = VK_PIPELINE_STAGE_2_COPY_BIT;
    toHost.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
    toHost.dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT;
    toHost.dstAccessMask = VK_ACCESS_2_HOST_READ_BIT;
    auto info = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
    info.memoryBarrierCount = 1;
    info.pMemoryBarriers = &toHost;
    vkCmdPipelineBarrier2(cmd, &info);
  });
  if (!ok) return false;
  rgba.resize(static_cast<std::size_t>(w) * h * 4);
  std::memcpy(rgba.data(), readback_.mapped, rgba.size());
  return true;
}
