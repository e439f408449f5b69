// One frame: the light, scene and composite passes recorded into one command buffer, every
// draw with its constants from a per-frame ring, then submitted and waited for.
#include "render/render_device.h"

#include <cstring>
#include <optional>

#include "render/device_internals.h"
#include "scene/vertex_skinning.h"

using namespace device_detail;

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

void RenderDevice::bindReceiverPipeline(VkCommandBuffer cmd, bool lookUp) {
  VkPipeline pipeline = lookUp ? pipelines_[0] : unshadowedGround_;
  if (pipeline == boundReceiverPipeline_) return;
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
  boundReceiverPipeline_ = pipeline;
}

void RenderDevice::drawReceiverRuns(VkCommandBuffer cmd, uint32_t indexCount, const TriangleRuns& runs,
                                    const Matrix4& world, const ShadowReach& reach) {
  // Neighbouring runs that agree are drawn together.
  uint32_t first = 0;
  bool lookUp = false;
  for (std::size_t k = 0; k < runs.boxes.size(); ++k) {
    const uint32_t start = static_cast<uint32_t>(k * runs.indicesPerRun);
    if (start >= indexCount) break;
    const bool runLooksUp = reach.mayBeShadowed(runs.boxes[k], world);
    if (k > 0 && runLooksUp != lookUp) {
      bindReceiverPipeline(cmd, lookUp);
      vkCmdDrawIndexed(cmd, start - first, 1, first, 0, 0);
      first = start;
    }
    lookUp = runLooksUp;
  }
  bindReceiverPipeline(cmd, lookUp);
  vkCmdDrawIndexed(cmd, indexCount - first, 1, first, 0, 0);
}

void RenderDevice::drawMeshSet(VkCommandBuffer cmd, const MeshSet& mesh, const ShadowReach* reach) {
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
      const auto indexCount = static_cast<uint32_t>(geometry.indexLists[s].size());
      if (reach == nullptr) {
        vkCmdDrawIndexed(cmd, indexCount, 1, 0, 0, 0);
      } else if (s >= buffers.runs.size()) {
        bindReceiverPipeline(cmd, true);  // a weighted geometry: it may shadow itself
        vkCmdDrawIndexed(cmd, indexCount, 1, 0, 0, 0);
      } else if (!reach->mayBeShadowed(buffers.bounds, mesh.worldMatrix)) {
        bindReceiverPipeline(cmd, false);
        vkCmdDrawIndexed(cmd, indexCount, 1, 0, 0, 0);
      } else {
        drawReceiverRuns(cmd, indexCount, buffers.runs[s], mesh.worldMatrix, *reach);
      }
    }
  }
}

void RenderDevice::drawList(VkCommandBuffer cmd, const std::vector<const MeshSet*>& list, bool shadowCastersOnly,
                            const ShadowReach* reach) {
  for (const MeshSet* mesh : list) {
    if (shadowCastersOnly) {
      auto found = gpuMeshes_.find(mesh);
      if (found == gpuMeshes_.end() || !found->second.castsShadow) continue;
    }
    drawMeshSet(cmd, *mesh, reach);
  }
}

ShadowReach RenderDevice::shadowReach(const FrameDrawLists& lists) const {
  ShadowReach reach(frameConstantImage_, shadow_.width, shadow_.height);
  for (const auto* list : {&lists.first, &lists.second, &lists.third}) {
    for (const MeshSet* mesh : *list) {
      auto found = gpuMeshes_.find(mesh);
      if (found == gpuMeshes_.end() || !found->second.castsShadow) continue;
      for (const GpuMesh::Geometry& geometry : found->second.geometries) reach.addCaster(geometry.bounds, mesh->worldMatrix);
    }
  }
  return reach;
}

void RenderDevice::skinForFrame(const std::vector<const MeshSet*>& list) {
  for (const MeshSet* mesh : list) {
    auto found = gpuMeshes_.find(mesh);
    if (found == gpuMeshes_.end() || found->second.skinnedForFrame == fenceValue_) continue;
    GpuMesh& gpu = found->second;
    gpu.skinnedForFrame = fenceValue_;
    SkinMatrices skin;
    bool gathered = false;
    for (int64_t gi = 0; gi < mesh->geometries.count() && static_cast<std::size_t>(gi) < gpu.geometries.size(); ++gi) {
      GpuMesh::Geometry& buffers = gpu.geometries[static_cast<std::size_t>(gi)];
      if (!buffers.followsPose || buffers.vertices.mapped == nullptr) continue;
      if (!gathered) GatherSkinMatrices(*mesh, skin);
      gathered = true;
      // The previous frame's draws are complete (every frame is waited for), so the buffer is
      // free to rewrite.
      buffers.bounds = SkinVertices(**mesh->geometries.at(gi), skin, static_cast<ModelVertex*>(buffers.vertices.mapped));
    }
  }
}

void RenderDevice::recordFrame(VkCommandBuffer cmd, const FrameDrawLists& lists) {
  // Skinned once here; the light and scene passes both draw the result.
  skinForFrame(lists.first);
  skinForFrame(lists.second);
  skinForFrame(lists.third);
  const uint32_t w = static_cast<uint32_t>(options_.renderWidth);
  const uint32_t h = static_cast<uint32_t>(options_.renderHeight);
  const uint32_t w2 = shadow_.width, h2 = shadow_.height;
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
    boundReceiverPipeline_ = pipelines_[0];
    preamble();
    pushImage(cmd, kT2, shadow_.view);
    std::optional<ShadowReach> reach;
    if (!options_.shadowLookUpEverywhere) reach = shadowReach(lists);
    const ShadowReach* receivers = reach ? &*reach : nullptr;
    drawList(cmd, lists.third, false, receivers);
    drawList(cmd, lists.second, false, receivers);
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

bool RenderDevice::renderRecorded(const std::function<const GpuImage&(VkCommandBuffer)>& record,
                                  const std::function<void(VkCommandBuffer, const GpuImage&)>& afterPicture) {
  bool ok = recordSubmitAndWait(commandBuffers_[0], [&](VkCommandBuffer cmd) {
    const GpuImage& picture = record(cmd);
    if (afterPicture) afterPicture(cmd, picture);
  });
  ++fenceValue_;
  return ok;
}
