// The texture sampler, the pipeline layout standing in for the root signature, the shader
// modules and the six pipelines.
#include "render/render_device.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "render/device_internals.h"

using namespace device_detail;

namespace {

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
    if (n == 1) {
      // The same, with the pixel shader's shadow look-up switched off (and the vertex shader's
      // light and fog combined for it).
      const VkSpecializationMapEntry entry{0, 0, sizeof(VkBool32)};
      const VkBool32 receivesShadow = VK_FALSE;
      const VkSpecializationInfo specialization{1, &entry, sizeof receivesShadow, &receivesShadow};
      stages[0].pSpecializationInfo = &specialization;
      stages[1].pSpecializationInfo = &specialization;
      if (vkCreateGraphicsPipelines(device_, VK_NULL_HANDLE, 1, &info, nullptr, &unshadowedGround_) != VK_SUCCESS) {
        return fail(error, options_.shaderFolder + "/ps1.cso: the device cannot build pipeline 1 without shadows");
      }
    }
  }
  return true;
}
