#include "render/model_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "model/matrix_math.h"
#include "render/device_internals.h"
#include "render/render_device.h"

using namespace device_detail;

namespace {

constexpr VkFormat kSceneFormat = VK_FORMAT_R16G16B16A16_SFLOAT;  // linear light, past 1
constexpr VkFormat kPictureFormat = VK_FORMAT_R8G8B8A8_UNORM;     // sRGB-encoded by the output pass

enum Binding : uint32_t {
  kFrame = 0, kInstances = 1, kJoints = 2, kVertices = 3, kMaterials = 4,
  kTextures = 5,  // the material's slots, one array
  kShadowMap = 15, kEnvironment = 16, kBrdfTable = 17,
};
constexpr uint32_t kSlots = static_cast<uint32_t>(MaterialSlot::kCount);

// The shaders' per-draw constants (model_common.glsl's Draw).
struct DrawConstants {
  int32_t attributes[GpuAttributes::kCount];
};

// The output pass's constants (view_output.frag's Output).
struct OutputConstants {
  int32_t toneMapping;
  int32_t antiAliasing;
  int32_t overlay;
  int32_t markCount;
  float marks[4];  // two points, pixels
};
static_assert(sizeof(OutputConstants) <= sizeof(DrawConstants), "the layout's push constants hold both");

// A light of the model's (model_common.glsl's PunctualLight).
struct LightConstants {
  float position[4];
  float direction[4];
  float color[4];
  float cone[4];
};
constexpr std::size_t kMaxLights = 8;

// The frame's constants (model_common.glsl's ViewFrame).
struct FrameConstants {
  float viewProjection[16];
  float lightViewProjection[16];
  float eye[4];
  float toLight[4];
  float lightColor[4];
  float environment[4];
  float irradiance[9][4];
  float ground[4];
  float background[4];
  float inverseViewProjection[16];
  float shadow[4];
  int32_t lightCount[4];
  LightConstants lights[kMaxLights];
  float grid[4];
};

// An instance as the shaders read it (model_common.glsl's Instance).
struct InstanceConstants {
  float world[16];
  float normalWorld[16];
  int32_t joints[4];
};
static_assert(sizeof(InstanceConstants) == 144);

// The light: the key light's strength beside the environment's (linear); a light grey
// background.
constexpr float kKeyStrength = 2.2f;
constexpr float kBackground[3] = {0.72f, 0.72f, 0.72f};
// The ground reaches past where the fog hides it, seen from any distance the orbit allows.
constexpr float kGroundHalf = 1200.0f, kFogStart = 500.0f, kFogEnd = 1500.0f;

bool readShader(const std::string& path, std::vector<uint32_t>& words, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(error, path + ": cannot open shader file");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 20 || bytes.size() % 4 != 0) return fail(error, path + ": not a SPIR-V shader");
  words.resize(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  return words[0] == 0x07230203u || fail(error, path + ": not a SPIR-V shader (bad magic number)");
}

// The 3 x 3 inverse transpose of `m`'s linear part, in a 4 x 4 (rows for row vectors).
Matrix4 normalMatrix(const Matrix4& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9], i = m[10];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  if (!(std::fabs(det) > 1e-30)) return m;
  const double cof[9] = {e * i - f * h, -(d * i - f * g), d * h - e * g,  //
                         -(b * i - c * h), a * i - c * g, -(a * h - b * g),  //
                         b * f - c * e, -(a * f - c * d), a * e - b * d};
  Matrix4 out = kIdentityMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) out[r * 4 + k] = static_cast<float>(cof[r * 3 + k] / det);
  }
  return out;
}

float determinant3(const Matrix4& m) {
  return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) + m[2] * (m[4] * m[9] - m[5] * m[8]);
}

}  // namespace

uint64_t ModelRenderer::targetBytes(int32_t width, int32_t height) {
  // The scene in half floats, its depth, the picture and the host copy a screenshot reads,
  // and the shadow map, which keeps its size.
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return pixels * (8 + 4 + 4 + 4) + uint64_t{kShadowSize} * kShadowSize * 4;
}

ModelRenderer::~ModelRenderer() {
  VkDevice device = device_.device();
  if (device == VK_NULL_HANDLE) return;
  vkDeviceWaitIdle(device);
  destroyTargets();
  for (GpuImage* image : {&white_, &flatNormal_, &overlay_}) device_.destroyImage(*image);
  for (GpuBuffer* buffer : {&frameBuffer_, &instances_, &joints_}) device_.destroyBuffer(*buffer);
  environment_.release(device_);
  for (VkPipeline p : {shadow_, opaque_, blended_, lines_, points_, ground_, outputPipeline_, background_}) {
    vkDestroyPipeline(device, p, nullptr);
  }
  vkDestroySampler(device, clampSampler_, nullptr);
  vkDestroySampler(device, shadowSampler_, nullptr);
  vkDestroyPipelineLayout(device, layout_, nullptr);
  vkDestroyDescriptorSetLayout(device, setLayout_, nullptr);
}

bool ModelRenderer::uploadPixels(GpuImage& image, const uint8_t* rgba, uint32_t width, uint32_t height,
                                 std::string* error) {
  if (!device_.createImage(width, height, VK_FORMAT_R8G8B8A8_UNORM,
                           VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT, VK_IMAGE_ASPECT_COLOR_BIT, image,
                           error)) {
    return false;
  }
  const VkDeviceSize bytes = VkDeviceSize{width} * height * 4;
  GpuBuffer staging;
  if (!device_.createBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging, error)) {
    device_.destroyImage(image);
    return false;
  }
  std::memcpy(staging.mapped, rgba, bytes);
  const bool ok = device_.submitAndWait([&](VkCommandBuffer cmd) {
    transition(cmd, {{image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                      VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_NONE, VK_PIPELINE_STAGE_2_COPY_BIT, 0,
                      VK_ACCESS_2_TRANSFER_WRITE_BIT}});
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {width, height, 1};
    vkCmdCopyBufferToImage(cmd, staging.buffer, image.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    transition(cmd, {{image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                      VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                      VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                      VK_ACCESS_2_SHADER_SAMPLED_READ_BIT}});
  });
  device_.destroyBuffer(staging);
  if (!ok) device_.destroyImage(image);
  return ok;
}

bool ModelRenderer::setOverlay(const std::vector<uint8_t>& rgba, int32_t width, int32_t height, std::string* error) {
  // A frame may still sample the old one.
  vkDeviceWaitIdle(device_.device());
  device_.destroyImage(overlay_);
  if (rgba.empty() || width <= 0 || height <= 0) return true;
  if (rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
    return fail(error, "the overlay's pixels do not fill it");
  }
  return uploadPixels(overlay_, rgba.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height), error) ||
         fail(error, "cannot upload the overlay");
}

bool ModelRenderer::create(int32_t width, int32_t height, std::string* error) {
  // The textures a material without its own samples: white, and a normal that changes nothing.
  auto solid = [&](GpuImage& image, uint32_t rgba) {
    return uploadPixels(image, reinterpret_cast<const uint8_t*>(&rgba), 1, 1, error) ||
           fail(error, "cannot fill the model view's fallback textures");
  };
  if (!solid(white_, 0xFFFFFFFFu) || !solid(flatNormal_, 0xFFFF8080u)) return false;
  if (!device_.createBuffer(sizeof(FrameConstants), VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, true, frameBuffer_, error)) {
    return false;
  }
  auto sampler = vkStruct<VkSamplerCreateInfo>(VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO);
  sampler.magFilter = sampler.minFilter = VK_FILTER_LINEAR;
  sampler.addressModeU = sampler.addressModeV = sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  if (!check(vkCreateSampler(device_.device(), &sampler, nullptr, &clampSampler_), "vkCreateSampler", error)) return false;
  // Off the map is lit: a white border compares as the farthest depth.
  sampler.addressModeU = sampler.addressModeV = sampler.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_BORDER;
  sampler.borderColor = VK_BORDER_COLOR_FLOAT_OPAQUE_WHITE;
  sampler.compareEnable = VK_TRUE;
  sampler.compareOp = VK_COMPARE_OP_LESS_OR_EQUAL;
  if (!check(vkCreateSampler(device_.device(), &sampler, nullptr, &shadowSampler_), "vkCreateSampler", error)) return false;
  return createPipelines(error) && createTargets(width, height, error);
}

bool ModelRenderer::createPipelines(std::string* error) {
  std::vector<VkDescriptorSetLayoutBinding> bindings = {
      {kFrame, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
      {kInstances, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_VERTEX_BIT, nullptr},
      {kJoints, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_VERTEX_BIT, nullptr},
      {kVertices, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_VERTEX_BIT, nullptr},
      {kMaterials, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr},
  };
  bindings.push_back({kTextures, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, kSlots, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr});
  for (uint32_t b : {kShadowMap, kEnvironment, kBrdfTable}) {
    bindings.push_back({b, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr});
  }
  auto setInfo = vkStruct<VkDescriptorSetLayoutCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO);
  setInfo.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
  setInfo.bindingCount = static_cast<uint32_t>(bindings.size());
  setInfo.pBindings = bindings.data();
  if (!check(vkCreateDescriptorSetLayout(device_.device(), &setInfo, nullptr, &setLayout_), "the model view's layout",
             error)) {
    return false;
  }
  const VkPushConstantRange constants{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof(DrawConstants)};
  auto layoutInfo = vkStruct<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
  layoutInfo.setLayoutCount = 1;
  layoutInfo.pSetLayouts = &setLayout_;
  layoutInfo.pushConstantRangeCount = 1;
  layoutInfo.pPushConstantRanges = &constants;
  if (!check(vkCreatePipelineLayout(device_.device(), &layoutInfo, nullptr, &layout_), "the model view's layout", error)) {
    return false;
  }

  struct Spec {
    const char *vertex, *fragment;
    VkFormat color;  // VK_FORMAT_UNDEFINED: depth only
    bool depth, depthWrite, blend, reversedDepth, depthBias;
    VkPipeline* out;
    VkPrimitiveTopology topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  };
  const Spec specs[] = {
      {"model_shadow.vert", nullptr, VK_FORMAT_UNDEFINED, true, true, false, false, true, &shadow_},
      {"model.vert", "model.frag", kSceneFormat, true, true, false, true, false, &opaque_},
      {"model.vert", "model.frag", kSceneFormat, true, false, true, true, false, &blended_},
      {"model.vert", "model.frag", kSceneFormat, true, true, false, true, false, &lines_, VK_PRIMITIVE_TOPOLOGY_LINE_LIST},
      {"model.vert", "model.frag", kSceneFormat, true, true, false, true, false, &points_, VK_PRIMITIVE_TOPOLOGY_POINT_LIST},
      {"ground.vert", "ground.frag", kSceneFormat, true, true, false, true, false, &ground_},
      {"view_output.vert", "view_output.frag", kPictureFormat, false, false, false, false, false, &outputPipeline_},
      // Drawn first, at the far depth, which the cleared depth passes.
      {"view_output.vert", "background.frag", kSceneFormat, true, false, false, true, false, &background_},
  };
  for (const Spec& spec : specs) {
    VkShaderModule modules[2] = {};
    VkPipelineShaderStageCreateInfo stages[2] = {
        vkStruct<VkPipelineShaderStageCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO),
        vkStruct<VkPipelineShaderStageCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO)};
    uint32_t stageCount = 0;
    for (const char* name : {spec.vertex, spec.fragment}) {
      if (name == nullptr) continue;
      const std::string path = device_.shaderFolder() + "/" + name + ".spv";
      std::vector<uint32_t> words;
      if (!readShader(path, words, error)) return false;
      auto info = vkStruct<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
      info.codeSize = words.size() * 4;
      info.pCode = words.data();
      if (vkCreateShaderModule(device_.device(), &info, nullptr, &modules[stageCount]) != VK_SUCCESS) {
        return fail(error, path + ": the device rejects this shader");
      }
      stages[stageCount].stage = stageCount == 0 ? VK_SHADER_STAGE_VERTEX_BIT : VK_SHADER_STAGE_FRAGMENT_BIT;
      stages[stageCount].module = modules[stageCount];
      stages[stageCount].pName = "main";
      ++stageCount;
    }
    auto vertexInput = vkStruct<VkPipelineVertexInputStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO);
    auto assembly = vkStruct<VkPipelineInputAssemblyStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO);
    assembly.topology = spec.topology;
    // Lines and points are shaded as their colour alone: they have no surface to light.
    const VkSpecializationMapEntry entry{0, 0, sizeof(VkBool32)};
    const VkBool32 unlitElements = spec.topology != VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST ? VK_TRUE : VK_FALSE;
    const VkSpecializationInfo specialization{1, &entry, sizeof unlitElements, &unlitElements};
    if (stageCount == 2) stages[1].pSpecializationInfo = &specialization;
    auto viewport = vkStruct<VkPipelineViewportStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO);
    viewport.viewportCount = viewport.scissorCount = 1;
    auto raster = vkStruct<VkPipelineRasterizationStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO);
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_CLOCKWISE;
    raster.lineWidth = 1.0f;
    // Against shadow acne: casters pushed away from the light by their slope.
    raster.depthBiasEnable = spec.depthBias ? VK_TRUE : VK_FALSE;
    raster.depthBiasConstantFactor = 1.5f;
    raster.depthBiasSlopeFactor = 2.0f;
    auto multisample = vkStruct<VkPipelineMultisampleStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO);
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    auto depth = vkStruct<VkPipelineDepthStencilStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO);
    depth.depthTestEnable = spec.depth ? VK_TRUE : VK_FALSE;
    depth.depthWriteEnable = spec.depthWrite ? VK_TRUE : VK_FALSE;
    // The scene's depth is reversed (1 near, 0 far); the shadow map's is not.
    depth.depthCompareOp = spec.reversedDepth ? VK_COMPARE_OP_GREATER_OR_EQUAL : VK_COMPARE_OP_LESS_OR_EQUAL;
    VkPipelineColorBlendAttachmentState attachment{};
    attachment.colorWriteMask =
        VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
    if (spec.blend) {
      attachment.blendEnable = VK_TRUE;
      attachment.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
      attachment.dstColorBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
      attachment.colorBlendOp = VK_BLEND_OP_ADD;
      attachment.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
      attachment.dstAlphaBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
      attachment.alphaBlendOp = VK_BLEND_OP_ADD;
    }
    auto blend = vkStruct<VkPipelineColorBlendStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO);
    blend.attachmentCount = spec.color != VK_FORMAT_UNDEFINED ? 1 : 0;
    blend.pAttachments = &attachment;
    const VkDynamicState dynamics[] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_CULL_MODE,
                                       VK_DYNAMIC_STATE_FRONT_FACE};
    auto dynamic = vkStruct<VkPipelineDynamicStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO);
    dynamic.dynamicStateCount = 4;
    dynamic.pDynamicStates = dynamics;
    auto rendering = vkStruct<VkPipelineRenderingCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO);
    rendering.colorAttachmentCount = spec.color != VK_FORMAT_UNDEFINED ? 1 : 0;
    rendering.pColorAttachmentFormats = &spec.color;
    rendering.depthAttachmentFormat = spec.depth ? kDepthFormat : VK_FORMAT_UNDEFINED;
    auto info = vkStruct<VkGraphicsPipelineCreateInfo>(VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO);
    info.pNext = &rendering;
    info.stageCount = stageCount;
    info.pStages = stages;
    info.pVertexInputState = &vertexInput;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pDepthStencilState = &depth;
    info.pColorBlendState = &blend;
    info.pDynamicState = &dynamic;
    info.layout = layout_;
    const VkResult result = vkCreateGraphicsPipelines(device_.device(), VK_NULL_HANDLE, 1, &info, nullptr, spec.out);
    for (uint32_t s = 0; s < stageCount; ++s) vkDestroyShaderModule(device_.device(), modules[s], nullptr);
    if (result != VK_SUCCESS) {
      return fail(error, std::string(spec.vertex) + ": the device cannot build the model view's pipeline from it");
    }
  }
  return true;
}

bool ModelRenderer::createTargets(int32_t width, int32_t height, std::string* error) {
  const auto w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
  firstFrame_ = true;
  return device_.createImage(w, h, kSceneFormat, VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT,
                             VK_IMAGE_ASPECT_COLOR_BIT, scene_, error) &&
         device_.createImage(w, h, kDepthFormat, VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT, VK_IMAGE_ASPECT_DEPTH_BIT,
                             depth_, error) &&
         device_.createImage(kShadowSize, kShadowSize, kDepthFormat,
                             VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT,
                             VK_IMAGE_ASPECT_DEPTH_BIT, shadowMap_, error) &&
         device_.createImage(w, h, kPictureFormat, VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT,
                             VK_IMAGE_ASPECT_COLOR_BIT, output_, error);
}

void ModelRenderer::destroyTargets() {
  for (GpuImage* image : {&scene_, &depth_, &shadowMap_, &output_}) device_.destroyImage(*image);
}

bool ModelRenderer::resize(int32_t width, int32_t height, std::string* error) {
  if (width <= 0 || height <= 0) return fail(error, "cannot render an empty picture");
  if (static_cast<uint32_t>(width) == output_.width && static_cast<uint32_t>(height) == output_.height) return true;
  vkDeviceWaitIdle(device_.device());
  destroyTargets();
  return createTargets(width, height, error);
}

bool ModelRenderer::ensureBuffer(GpuBuffer& buffer, VkDeviceSize bytes, VkBufferUsageFlags usage) {
  bytes = std::max<VkDeviceSize>(bytes, 256);
  if (buffer.buffer != VK_NULL_HANDLE && buffer.size >= bytes) return true;
  device_.destroyBuffer(buffer);
  std::string error;
  // Room to grow, so that a model a little larger does not make new memory.
  return device_.createBuffer(bytes + bytes / 2, usage, true, buffer, &error);
}

void ModelRenderer::layOut(const DrawableModel& model) {
  layoutFor_ = &model;
  instancesWritten_ = false;
  groupStart_.assign(model.meshes.size(), 0);
  groupCount_.assign(model.meshes.size(), 0);
  mirrored_.assign(model.meshes.size(), 0);
  for (const DrawableInstance& instance : model.instances) ++groupCount_[static_cast<std::size_t>(instance.mesh)];
  uint32_t start = 0;
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    groupStart_[m] = start;
    start += groupCount_[m];
  }
  meshCentres_.assign(model.meshes.size(), {0, 0, 0});
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const MeshPrimitive& p : model.meshes[m].primitives) {
      for (std::size_t v = 0; v + 2 < p.positions.size(); v += 3) {
        for (int k = 0; k < 3; ++k) {
          lo[k] = std::min(lo[k], p.positions[v + static_cast<std::size_t>(k)]);
          hi[k] = std::max(hi[k], p.positions[v + static_cast<std::size_t>(k)]);
        }
      }
    }
    if (lo[0] <= hi[0]) {
      for (int k = 0; k < 3; ++k) meshCentres_[m][static_cast<std::size_t>(k)] = (lo[k] + hi[k]) / 2;
    }
  }
  slotCentres_.assign(model.instances.size(), {0, 0, 0});
  order_.assign(model.instances.size(), 0);
  std::vector<uint32_t> next = groupStart_;
  for (uint32_t i = 0; i < model.instances.size(); ++i) order_[next[static_cast<std::size_t>(model.instances[i].mesh)]++] = i;
}

void ModelRenderer::writeInstances(const DrawableModel& model, const ModelFrame& frame) {
  if (!ensureBuffer(instances_, model.instances.size() * sizeof(InstanceConstants), VK_BUFFER_USAGE_STORAGE_BUFFER_BIT) ||
      !ensureBuffer(joints_, frame.joints.size() * sizeof(Matrix4), VK_BUFFER_USAGE_STORAGE_BUFFER_BIT)) {
    return;
  }
  auto* out = static_cast<InstanceConstants*>(instances_.mapped);
  // Per mesh group, the instances that face as drawn first, the mirrored ones after them.
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    uint32_t front = groupStart_[m], back = groupStart_[m] + groupCount_[m];
    for (uint32_t k = groupStart_[m]; k < groupStart_[m] + groupCount_[m]; ++k) {
      const uint32_t i = order_[k];
      const Matrix4& world = frame.instanceWorlds[i];
      const uint32_t slot = determinant3(world) < 0 ? --back : front++;
      InstanceConstants& c = out[slot];
      std::memcpy(c.world, world.data(), sizeof c.world);
      // A skinned instance's joints place it; its rest box's centre is near enough for order.
      TransformPoint(world, meshCentres_[m].data(), slotCentres_[slot].data());
      const Matrix4 normal = normalMatrix(world);
      std::memcpy(c.normalWorld, normal.data(), sizeof c.normalWorld);
      c.joints[0] = frame.jointOffsets[i];
      c.joints[1] = c.joints[2] = c.joints[3] = 0;
    }
    mirrored_[m] = groupStart_[m] + groupCount_[m] - back;
  }
  if (!frame.joints.empty()) std::memcpy(joints_.mapped, frame.joints.data(), frame.joints.size() * sizeof(Matrix4));
}

void ModelRenderer::pushFrameBindings(VkCommandBuffer cmd, const GpuModel& gpu) {
  VkDescriptorBufferInfo buffers[4] = {
      {frameBuffer_.buffer, 0, sizeof(FrameConstants)},
      {instances_.buffer, 0, VK_WHOLE_SIZE},
      {joints_.buffer, 0, VK_WHOLE_SIZE},
      {gpu.vertexBuffer(), 0, VK_WHOLE_SIZE},
  };
  VkWriteDescriptorSet writes[7];
  for (uint32_t b = 0; b < 4; ++b) {
    writes[b] = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
    writes[b].dstBinding = b;
    writes[b].descriptorCount = 1;
    writes[b].descriptorType = b == kFrame ? VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    writes[b].pBufferInfo = &buffers[b];
  }
  const VkDescriptorImageInfo images[3] = {
      {shadowSampler_, shadowMap_.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
      {environment_.sampler(), environment_.cube(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
      {environment_.sampler(), environment_.brdfTable(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
  };
  const uint32_t imageBindings[3] = {kShadowMap, kEnvironment, kBrdfTable};
  for (uint32_t k = 0; k < 3; ++k) {
    VkWriteDescriptorSet& w = writes[4 + k];
    w = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
    w.dstBinding = imageBindings[k];
    w.descriptorCount = 1;
    w.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    w.pImageInfo = &images[k];
  }
  device_.pushDescriptorSetFunction()(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, layout_, 0, 7, writes);
}

void ModelRenderer::pushMaterial(VkCommandBuffer cmd, const GpuModel& gpu, int32_t material) {
  VkDescriptorImageInfo images[kSlots];
  VkWriteDescriptorSet writes[2];
  const VkDescriptorBufferInfo factors{gpu.materialBuffer(), gpu.materialOffset(material), sizeof(GpuMaterialFactors)};
  writes[0] = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
  writes[0].dstBinding = kMaterials;
  writes[0].descriptorCount = 1;
  writes[0].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
  writes[0].pBufferInfo = &factors;
  for (uint32_t s = 0; s < kSlots; ++s) {
    const auto slot = static_cast<MaterialSlot>(s);
    const GpuTextureBinding& t = gpu.texture(material, slot);
    const GpuImage& fallback = slot == MaterialSlot::kNormal || slot == MaterialSlot::kClearcoatNormal ? flatNormal_ : white_;
    images[s] = {t.view != VK_NULL_HANDLE ? t.sampler : clampSampler_, t.view != VK_NULL_HANDLE ? t.view : fallback.view,
                 VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  }
  writes[1] = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
  writes[1].dstBinding = kTextures;
  writes[1].descriptorCount = kSlots;
  writes[1].descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  writes[1].pImageInfo = images;
  device_.pushDescriptorSetFunction()(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, layout_, 0, 2, writes);
}

void ModelRenderer::drawMeshes(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu, Pass pass) {
  int32_t boundMaterial = -1;
  for (std::size_t m = 0; m < gpu.meshes().size(); ++m) {
    if (groupCount_[m] == 0) continue;
    for (const GpuPrimitive& p : gpu.meshes()[m].primitives) {
      if (p.indexCount == 0) continue;
      const MaterialDescription& material = model.materials[static_cast<std::size_t>(p.material)];
      const bool blended = material.alphaMode == AlphaMode::kBlend;
      const PrimitiveMode mode = pass == Pass::kLines ? PrimitiveMode::kLines
                                 : pass == Pass::kPoints ? PrimitiveMode::kPoints
                                                         : PrimitiveMode::kTriangles;
      if (p.mode != mode) continue;
      if (pass == Pass::kOpaque && blended) continue;
      DrawConstants constants{};
      std::copy(p.attributes.at.begin(), p.attributes.at.end(), constants.attributes);
      vkCmdPushConstants(cmd, layout_, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof constants,
                         &constants);
      if (pass != Pass::kShadow && p.material != boundMaterial) {
        pushMaterial(cmd, gpu, p.material);
        boundMaterial = p.material;
      }
      vkCmdSetCullMode(cmd, pass == Pass::kShadow || material.doubleSided ? VK_CULL_MODE_NONE : VK_CULL_MODE_BACK_BIT);
      // Fronts wind counter-clockwise as the eye sees them; a mirroring placement turns them.
      const uint32_t mirrored = mirrored_[m], facing = groupCount_[m] - mirrored;
      if (facing > 0) {
        vkCmdSetFrontFace(cmd, VK_FRONT_FACE_COUNTER_CLOCKWISE);
        vkCmdDrawIndexed(cmd, p.indexCount, facing, p.firstIndex, 0, groupStart_[m]);
      }
      if (mirrored > 0) {
        vkCmdSetFrontFace(cmd, VK_FRONT_FACE_CLOCKWISE);
        vkCmdDrawIndexed(cmd, p.indexCount, mirrored, p.firstIndex, 0, groupStart_[m] + facing);
      }
    }
  }
}

void ModelRenderer::drawBlended(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu,
                                const ModelFrame& frame) {
  blendedDraws_.clear();
  for (std::size_t m = 0; m < gpu.meshes().size(); ++m) {
    const auto& primitives = gpu.meshes()[m].primitives;
    for (std::size_t k = 0; k < primitives.size(); ++k) {
      const GpuPrimitive& p = primitives[k];
      if (p.indexCount == 0 || p.mode != PrimitiveMode::kTriangles ||
          model.materials[static_cast<std::size_t>(p.material)].alphaMode != AlphaMode::kBlend) {
        continue;
      }
      for (uint32_t slot = groupStart_[m]; slot < groupStart_[m] + groupCount_[m]; ++slot) {
        const auto& c = slotCentres_[slot];
        const float d[3] = {c[0] - frame.eye[0], c[1] - frame.eye[1], c[2] - frame.eye[2]};
        blendedDraws_.push_back({d[0] * d[0] + d[1] * d[1] + d[2] * d[2], slot, static_cast<uint32_t>(m),
                                 static_cast<uint32_t>(k)});
      }
    }
  }
  if (blendedDraws_.empty()) return;
  // The farthest first; a mesh's own primitives keep their order, as the file lists them.
  std::stable_sort(blendedDraws_.begin(), blendedDraws_.end(),
                   [](const BlendedDraw& a, const BlendedDraw& b) { return a.distance > b.distance; });
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, blended_);
  int32_t boundMaterial = -1;
  for (const BlendedDraw& draw : blendedDraws_) {
    const GpuPrimitive& p = gpu.meshes()[draw.mesh].primitives[draw.primitive];
    const MaterialDescription& material = model.materials[static_cast<std::size_t>(p.material)];
    DrawConstants constants{};
    std::copy(p.attributes.at.begin(), p.attributes.at.end(), constants.attributes);
    vkCmdPushConstants(cmd, layout_, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof constants,
                       &constants);
    if (p.material != boundMaterial) {
      pushMaterial(cmd, gpu, p.material);
      boundMaterial = p.material;
    }
    vkCmdSetCullMode(cmd, material.doubleSided ? VK_CULL_MODE_NONE : VK_CULL_MODE_BACK_BIT);
    const bool mirrored = draw.slot >= groupStart_[draw.mesh] + groupCount_[draw.mesh] - mirrored_[draw.mesh];
    vkCmdSetFrontFace(cmd, mirrored ? VK_FRONT_FACE_CLOCKWISE : VK_FRONT_FACE_COUNTER_CLOCKWISE);
    vkCmdDrawIndexed(cmd, p.indexCount, 1, p.firstIndex, 0, draw.slot);
  }
}

void ModelRenderer::writeFrameConstants(const ModelFrame& frame) {
  FrameConstants constants{};
  Matrix4 viewProjection;
  MatrixMultiply(viewProjection, frame.view, frame.projection);
  std::memcpy(constants.viewProjection, viewProjection.data(), sizeof constants.viewProjection);
  Matrix4 inverse;
  MatrixInverse(inverse, nullptr, viewProjection);
  std::memcpy(constants.inverseViewProjection, inverse.data(), sizeof constants.inverseViewProjection);
  std::memcpy(constants.lightViewProjection, frame.stage.lightViewProjection.data(), sizeof constants.lightViewProjection);
  std::copy(frame.eye, frame.eye + 3, constants.eye);
  std::copy(frame.stage.toLight, frame.stage.toLight + 3, constants.toLight);
  constants.toLight[3] = shading_.keyLight ? kKeyStrength : 0.0f;
  constants.lightColor[0] = constants.lightColor[1] = constants.lightColor[2] = 1;
  constants.environment[0] = environment_.lastLevel();
  constants.environment[1] = shading_.environmentStrength();
  for (std::size_t c = 0; c < 9; ++c) std::copy_n(environment_.irradiance()[c].data(), 3, constants.irradiance[c]);
  constants.ground[0] = frame.stage.groundHeight;
  constants.ground[1] = kGroundHalf;
  constants.ground[2] = kFogStart;
  constants.ground[3] = kFogEnd;
  std::copy(kBackground, kBackground + 3, constants.background);
  constants.background[3] = shading_.environmentBackground ? 1.0f : 0.0f;
  constants.grid[0] = frame.gridOrigin[0];
  constants.grid[1] = frame.gridOrigin[1];
  constants.grid[2] = frame.gridSpacing;
  constants.grid[3] = frame.grid ? 1.0f : 0.0f;
  constants.shadow[0] = 1.0f / kShadowSize;
  constants.shadow[1] = 0.0005f;
  const std::size_t lights = std::min(frame.lights.size(), kMaxLights);
  constants.lightCount[0] = static_cast<int32_t>(lights);
  for (std::size_t i = 0; i < lights; ++i) {
    const FrameLight& l = frame.lights[i];
    LightConstants& c = constants.lights[i];
    std::copy(l.position, l.position + 3, c.position);
    c.position[3] = l.type == AssetLight::Type::kDirectional ? 0.0f : l.type == AssetLight::Type::kPoint ? 1.0f : 2.0f;
    std::copy(l.direction, l.direction + 3, c.direction);
    c.direction[3] = l.range;
    std::copy(l.color, l.color + 3, c.color);
    c.cone[0] = l.coneScale;
    c.cone[1] = l.coneOffset;
    c.cone[2] = frame.metresPerWorldUnit;
  }
  std::memcpy(frameBuffer_.mapped, &constants, sizeof constants);
}

const GpuImage& ModelRenderer::record(VkCommandBuffer cmd, const DrawableModel& model, const GpuModel& gpu,
                                      const ModelFrame& frame) {
  if (layoutFor_ != &model) layOut(model);
  // Every frame is waited for, so what the instance buffer holds is free to change, and what
  // did not move needs no writing.
  if (frame.posed || !instancesWritten_) writeInstances(model, frame);
  instancesWritten_ = true;
  writeFrameConstants(frame);

  const VkPipelineStageFlags2 lastRead = firstFrame_ ? VK_PIPELINE_STAGE_2_NONE : VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT;
  const uint32_t w = output_.width, h = output_.height;

  // The key light's shadow map.
  transition(cmd, {{shadowMap_.image, VK_IMAGE_ASPECT_DEPTH_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                    VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL, lastRead, kFragmentTests, 0, kDepthAccess}});
  {
    VkRenderingAttachmentInfo depth = depthAttachment(shadowMap_, false);
    beginRendering(cmd, kShadowSize, kShadowSize, {}, &depth);
    VkViewport viewport{0, 0, static_cast<float>(kShadowSize), static_cast<float>(kShadowSize), 0, 1};
    VkRect2D scissor{{0, 0}, {kShadowSize, kShadowSize}};
    vkCmdSetViewport(cmd, 0, 1, &viewport);
    vkCmdSetScissor(cmd, 0, 1, &scissor);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, shadow_);
    pushFrameBindings(cmd, gpu);
    vkCmdBindIndexBuffer(cmd, gpu.indexBuffer(), 0, VK_INDEX_TYPE_UINT32);
    drawMeshes(cmd, model, gpu, Pass::kShadow);
    vkCmdEndRendering(cmd);
  }

  // The scene in linear light: the ground, the opaque surfaces, then the blended ones.
  transition(cmd, {{shadowMap_.image, VK_IMAGE_ASPECT_DEPTH_BIT, VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL,
                    VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, kFragmentTests, VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                    VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT, VK_ACCESS_2_SHADER_SAMPLED_READ_BIT},
                   toColorTarget(scene_, lastRead, 0),
                   {depth_.image, VK_IMAGE_ASPECT_DEPTH_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                    VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL, firstFrame_ ? VK_PIPELINE_STAGE_2_NONE : kFragmentTests,
                    kFragmentTests, firstFrame_ ? 0 : VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT, kDepthAccess}});
  {
    VkRenderingAttachmentInfo depth = depthAttachment(depth_, false);
    depth.clearValue.depthStencil = {0.0f, 0};  // reversed: far is 0
    beginRendering(cmd, w, h, {colorAttachment(scene_, {kBackground[0], kBackground[1], kBackground[2], 1})}, &depth);
    VkViewport viewport{0, 0, static_cast<float>(w), static_cast<float>(h), 0, 1};
    VkRect2D scissor{{0, 0}, {w, h}};
    vkCmdSetViewport(cmd, 0, 1, &viewport);
    vkCmdSetScissor(cmd, 0, 1, &scissor);
    vkCmdSetCullMode(cmd, VK_CULL_MODE_NONE);
    vkCmdSetFrontFace(cmd, VK_FRONT_FACE_CLOCKWISE);
    if (shading_.environmentBackground) {
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, background_);
      pushFrameBindings(cmd, gpu);
      vkCmdDraw(cmd, 3, 1, 0, 0);
    }
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, ground_);
    pushFrameBindings(cmd, gpu);
    vkCmdDraw(cmd, 6, 1, 0, 0);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, opaque_);
    vkCmdBindIndexBuffer(cmd, gpu.indexBuffer(), 0, VK_INDEX_TYPE_UINT32);
    drawMeshes(cmd, model, gpu, Pass::kOpaque);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, lines_);
    drawMeshes(cmd, model, gpu, Pass::kLines);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, points_);
    drawMeshes(cmd, model, gpu, Pass::kPoints);
    drawBlended(cmd, model, gpu, frame);
    vkCmdEndRendering(cmd);
  }

  // The picture: the scene's light encoded for display.
  transition(cmd, {toSampled(scene_),
                   {output_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                    VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                    firstFrame_ ? VK_PIPELINE_STAGE_2_NONE : VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                    VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT, 0, kColorAccess}});
  {
    beginRendering(cmd, w, h, {colorAttachment(output_, {0, 0, 0, 1})}, nullptr);
    VkViewport viewport{0, 0, static_cast<float>(w), static_cast<float>(h), 0, 1};
    VkRect2D scissor{{0, 0}, {w, h}};
    vkCmdSetViewport(cmd, 0, 1, &viewport);
    vkCmdSetScissor(cmd, 0, 1, &scissor);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, outputPipeline_);
    // The scene's light, and the overlay over the picture (white where there is none: unread).
    const bool overlay = overlay_.image != VK_NULL_HANDLE;
    const VkDescriptorImageInfo sources[2] = {
        {clampSampler_, scene_.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
        {clampSampler_, overlay ? overlay_.view : white_.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL}};
    auto write = vkStruct<VkWriteDescriptorSet>(VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET);
    write.dstBinding = kTextures;
    write.descriptorCount = 2;
    write.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    write.pImageInfo = sources;
    device_.pushDescriptorSetFunction()(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, layout_, 0, 1, &write);
    const OutputConstants output{static_cast<int32_t>(shading_.toneMapping), shading_.antiAliasing ? 1 : 0,
                                 overlay ? 1 : 0, frame.markCount,
                                 {frame.marks[0][0], frame.marks[0][1], frame.marks[1][0], frame.marks[1][1]}};
    vkCmdPushConstants(cmd, layout_, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof output,
                       &output);
    vkCmdSetCullMode(cmd, VK_CULL_MODE_NONE);
    vkCmdSetFrontFace(cmd, VK_FRONT_FACE_CLOCKWISE);
    vkCmdDraw(cmd, 3, 1, 0, 0);
    vkCmdEndRendering(cmd);
  }
  transition(cmd, {{output_.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                    VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                    VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
                    VK_ACCESS_2_TRANSFER_READ_BIT}});
  firstFrame_ = false;
  return output_;
}
