// Uploads: texture images decoded into GPU textures with a slot each, and the vertex and index
// arrays of a MeshSet.
#include "render/render_device.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "render/device_internals.h"
#include "render/texture_image.h"
#include "scene/vertex_skinning.h"

using namespace device_detail;

namespace {
constexpr VkDeviceSize kKeptStagingBytes = VkDeviceSize{2048} * 2048 * 4;
}  // namespace

bool RenderDevice::loadTexture(const std::string& path, GpuTexture*& texture, std::string* error) {
  int width = 0, height = 0;
  std::string stagingError;
  // One staging buffer serves every texture, grown when one is larger: a fresh buffer for each
  // would be fresh pages, each page a fault, for every texture. The image is decoded into it.
  const TextureRows rows = [&](int w, int h) -> uint8_t* {
    const VkDeviceSize bytes = static_cast<VkDeviceSize>(w) * static_cast<VkDeviceSize>(h) * 4;
    if (textureStaging_.size < bytes) {
      destroyBuffer(textureStaging_);
      if (!createBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, textureStaging_, &stagingError)) return nullptr;
    }
    width = w;
    height = h;
    return static_cast<uint8_t*>(textureStaging_.mapped);
  };
  std::string damaged;
  if (!DecodeTextureImage(path, rows, error, &damaged)) {
    if (!stagingError.empty()) return fail(error, path + ": " + stagingError);
    return false;
  }
  if (!damaged.empty()) std::fprintf(stderr, "Warning: texture %s; drawn as far as it decodes\n", damaged.c_str());
  auto t = std::make_unique<GpuTexture>();
  bool ok = createImage(static_cast<uint32_t>(width), static_cast<uint32_t>(height), kTextureFormat,
                        VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT, VK_IMAGE_ASPECT_COLOR_BIT,
                        t->image, error);
  if (ok) {
    ok = submitAndWait([&](VkCommandBuffer cmd) {
      transition(cmd, {{t->image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_UNDEFINED,
                        VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_NONE, VK_PIPELINE_STAGE_2_COPY_BIT, 0,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT}});
      VkBufferImageCopy region{};
      region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
      region.imageExtent = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), 1};
      vkCmdCopyBufferToImage(cmd, textureStaging_.buffer, t->image.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
      transition(cmd, {{t->image.image, VK_IMAGE_ASPECT_COLOR_BIT, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                        VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                        VK_ACCESS_2_SHADER_SAMPLED_READ_BIT}});
    });
    if (!ok && error) *error = path + ": cannot upload the texture";
  }
  // Kept for the next texture up to the size of a 2048 x 2048 one: a rare larger one does not
  // hold its memory for the rest of the run.
  if (textureStaging_.size > kKeptStagingBytes) destroyBuffer(textureStaging_);
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
    // A weighted geometry casts shadows; only an animated MeshSet's follows the pose (a rigid
    // object weighted to a bone that never moves is skinned once, here).
    const bool weighted = HasBoneWeights(geometry);
    g.followsPose = weighted && mesh.animated != 0;
    gpu.castsShadow = gpu.castsShadow || weighted;
    VkDeviceSize bytes = geometry.vertices.size() * sizeof(ModelVertex);
    if (bytes > 0) {
      if (!createBuffer(bytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, true, g.vertices, error)) return false;
      // Without weights only the bind shape moves the vertices, once; weighted ones are skinned
      // for each frame before it is drawn.
      SkinMatrices identity;
      identity.fill(kIdentityMatrix);
      g.bounds = SkinVertices(geometry, identity, static_cast<ModelVertex*>(g.vertices.mapped));
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
      if (!weighted) g.runs.push_back(CutIntoTriangleRuns(list, geometry.vertices, geometry.bindShapeMatrix));
    }
    for (const GpuMaterial& m : geometry.materials) {
      const auto* texture = static_cast<const GpuTexture*>(m.texture);
      if (texture != nullptr && std::find(gpu.textures.begin(), gpu.textures.end(), texture) == gpu.textures.end()) {
        gpu.textures.push_back(texture);
      }
    }
    gpu.geometries.push_back(std::move(g));
  }
  gpuMeshes_[&mesh] = std::move(gpu);
  return true;
}

void RenderDevice::release(const MeshSet& mesh) {
  auto found = gpuMeshes_.find(&mesh);
  if (found == gpuMeshes_.end()) return;
  vkDeviceWaitIdle(device_);  // a submitted frame may still read the buffers
  for (GpuMesh::Geometry& g : found->second.geometries) {
    destroyBuffer(g.vertices);
    for (GpuBuffer& i : g.indices) destroyBuffer(i);
  }
  const std::vector<const GpuTexture*> textures = std::move(found->second.textures);
  gpuMeshes_.erase(found);
  for (const GpuTexture* texture : textures) releaseIfUndrawn(texture);
}

void RenderDevice::releaseTextures(std::span<void* const> textures) {
  if (textures.empty()) return;
  vkDeviceWaitIdle(device_);  // a submitted frame may still sample them
  for (void* texture : textures) releaseIfUndrawn(static_cast<const GpuTexture*>(texture));
}

void RenderDevice::releaseIfUndrawn(const GpuTexture* texture) {
  const bool drawn = std::any_of(gpuMeshes_.begin(), gpuMeshes_.end(), [&](const auto& mesh) {
    const auto& used = mesh.second.textures;
    return std::find(used.begin(), used.end(), texture) != used.end();
  });
  if (drawn) return;
  auto owned = std::find_if(textures_.begin(), textures_.end(), [&](const auto& t) { return t.get() == texture; });
  if (owned == textures_.end()) return;
  slots_.release((*owned)->slot);
  destroyImage((*owned)->image);
  textures_.erase(owned);
}
