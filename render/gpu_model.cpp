#include "render/gpu_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "render/device_internals.h"
#include "render/render_device.h"

using namespace device_detail;

namespace {

constexpr VkMemoryPropertyFlags kDirect =
    VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT | VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

// The floats of attribute `a` of `p`, or none.
std::size_t attributeFloats(const MeshPrimitive& p, int a) {
  switch (a) {
    case GpuAttributes::kPosition: return p.positions.size();
    case GpuAttributes::kNormal: return p.normals.size();
    case GpuAttributes::kTangent: return p.tangents.size();
    case GpuAttributes::kTexCoord0: return p.texCoords[0].size();
    case GpuAttributes::kTexCoord1: return p.texCoords[1].size();
    case GpuAttributes::kColor: return p.colors.size();
    case GpuAttributes::kJoints: return p.joints.size();
    case GpuAttributes::kWeights: return p.weights.size();
    default: return 0;
  }
}

void writeAttribute(const MeshPrimitive& p, int a, float* to) {
  auto copy = [to](const std::vector<float>& v) { std::memcpy(to, v.data(), v.size() * sizeof(float)); };
  switch (a) {
    case GpuAttributes::kPosition: copy(p.positions); break;
    case GpuAttributes::kNormal: copy(p.normals); break;
    case GpuAttributes::kTangent: copy(p.tangents); break;
    case GpuAttributes::kTexCoord0: copy(p.texCoords[0]); break;
    case GpuAttributes::kTexCoord1: copy(p.texCoords[1]); break;
    case GpuAttributes::kColor: copy(p.colors); break;
    case GpuAttributes::kJoints:
      // Joint numbers up to 65535 are exact as floats, which the shaders read them as.
      for (std::size_t i = 0; i < p.joints.size(); ++i) to[i] = static_cast<float>(p.joints[i]);
      break;
    case GpuAttributes::kWeights: copy(p.weights); break;
    default: break;
  }
}

uint32_t mipLevels(int32_t width, int32_t height) {
  uint32_t levels = 1;
  for (int32_t side = std::max(width, height); side > 1; side /= 2) ++levels;
  return levels;
}

VkFilter filterOf(TextureFilter f) { return f == TextureFilter::kNearest ? VK_FILTER_NEAREST : VK_FILTER_LINEAR; }

VkSamplerAddressMode wrapOf(TextureWrap w) {
  switch (w) {
    case TextureWrap::kClampToEdge: return VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    case TextureWrap::kMirroredRepeat: return VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT;
    case TextureWrap::kRepeat: break;
  }
  return VK_SAMPLER_ADDRESS_MODE_REPEAT;
}

// uv' = translate(offset) x rotate(rotation) x scale(scale) x uv, as two rows of a 2 x 3 matrix.
void transformRows(const TextureRef& ref, float rows[2][4]) {
  const TextureTransform t = ref.hasTransform ? ref.transform : TextureTransform{};
  const float c = std::cos(t.rotation), s = std::sin(t.rotation);
  rows[0][0] = c * t.scale[0];
  rows[0][1] = s * t.scale[1];
  rows[0][2] = t.offset[0];
  rows[1][0] = -s * t.scale[0];
  rows[1][1] = c * t.scale[1];
  rows[1][2] = t.offset[1];
  rows[0][3] = rows[1][3] = 0;
}

GpuMaterialFactors factorsOf(const MaterialDescription& m) {
  GpuMaterialFactors f{};
  std::copy(m.baseColor, m.baseColor + 4, f.baseColor);
  for (int k = 0; k < 3; ++k) f.emissive[k] = m.emissive[k] * m.emissiveStrength;
  f.factors[0] = m.metallic;
  f.factors[1] = m.roughness;
  f.factors[2] = m.normalScale;
  f.factors[3] = m.occlusionStrength;
  f.alpha[0] = m.alphaCutoff;
  f.alpha[1] = m.alphaMode == AlphaMode::kMask ? 1.0f : m.alphaMode == AlphaMode::kBlend ? 2.0f : 0.0f;
  f.alpha[2] = m.unlit ? 1.0f : 0.0f;
  f.alpha[3] = m.doubleSided ? 1.0f : 0.0f;
  f.clearcoat[0] = m.clearcoat.factor;
  f.clearcoat[1] = m.clearcoat.roughness;
  f.clearcoat[2] = m.clearcoat.normalScale;
  f.clearcoat[3] = m.ior;
  std::copy(m.specular.color, m.specular.color + 3, f.specular);
  f.specular[3] = m.specular.factor;
  std::fill(std::begin(f.texCoords), std::end(f.texCoords), -1);
  for (int s = 0; s < static_cast<int>(MaterialSlot::kCount); ++s) {
    const TextureRef& ref = slotTexture(m, static_cast<MaterialSlot>(s));
    f.texCoords[s] = ref.present() ? std::clamp(ref.texCoord, 0, 1) : -1;
    transformRows(ref, f.transforms[s]);
  }
  return f;
}

}  // namespace

const TextureRef& slotTexture(const MaterialDescription& m, MaterialSlot slot) {
  switch (slot) {
    case MaterialSlot::kBaseColor: return m.baseColorTexture;
    case MaterialSlot::kMetallicRoughness: return m.metallicRoughnessTexture;
    case MaterialSlot::kNormal: return m.normalTexture;
    case MaterialSlot::kOcclusion: return m.occlusionTexture;
    case MaterialSlot::kEmissive: return m.emissiveTexture;
    case MaterialSlot::kClearcoat: return m.clearcoat.texture;
    case MaterialSlot::kClearcoatRoughness: return m.clearcoat.roughnessTexture;
    case MaterialSlot::kClearcoatNormal: return m.clearcoat.normalTexture;
    case MaterialSlot::kSpecular: return m.specular.texture;
    case MaterialSlot::kSpecularColor: return m.specular.colorTexture;
    case MaterialSlot::kCount: break;
  }
  static const TextureRef kNone;
  return kNone;
}

bool slotIsColour(MaterialSlot slot) {
  return slot == MaterialSlot::kBaseColor || slot == MaterialSlot::kEmissive || slot == MaterialSlot::kSpecularColor;
}

GpuModel::~GpuModel() = default;

bool GpuModel::bindBuffer(RenderDevice& device, VkDeviceSize size, VkBufferUsageFlags usage, VkBuffer& buffer,
                          GpuMemoryPool::Piece& piece, bool& direct, std::string* error) {
  auto info = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
  info.size = std::max<VkDeviceSize>(size, 16);
  info.usage = usage | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (!check(vkCreateBuffer(device.device(), &info, nullptr, &buffer), "vkCreateBuffer", error)) return false;
  VkMemoryRequirements requirements;
  vkGetBufferMemoryRequirements(device.device(), buffer, &requirements);
  // Written in place where the device's own memory is the host's (a CPU device, an integrated
  // GPU, resizable BAR); else through a staging copy.
  direct = device.memoryType(requirements.memoryTypeBits, kDirect) != UINT32_MAX;
  const VkMemoryPropertyFlags flags = direct ? kDirect : VkMemoryPropertyFlags{VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT};
  if (!pool_.allocate(device, requirements, flags, piece, error)) {
    return false;
  }
  return check(vkBindBufferMemory(device.device(), buffer, piece.memory, piece.offset), "vkBindBufferMemory", error);
}

bool GpuModel::upload(RenderDevice& device, const DrawableModel& model, std::string* error) {
  release(device);
  // Where every attribute and index list goes.
  std::size_t floats = 0, indexCount = 0;
  meshes_.resize(model.meshes.size());
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    for (const MeshPrimitive& p : model.meshes[m].primitives) {
      GpuPrimitive& g = meshes_[m].primitives.emplace_back();
      g.mode = p.mode;
      g.material = p.material;
      g.firstIndex = static_cast<uint32_t>(indexCount);
      g.indexCount = static_cast<uint32_t>(p.indices.size());
      indexCount += p.indices.size();
      for (int a = 0; a < GpuAttributes::kCount; ++a) {
        const std::size_t n = attributeFloats(p, a);
        if (n == 0) continue;
        g.attributes.at[static_cast<std::size_t>(a)] = static_cast<int32_t>(floats);
        floats += n;
      }
    }
  }
  if (floats > static_cast<std::size_t>(INT32_MAX) || indexCount > UINT32_MAX) {
    if (error) *error = "the model is too large for the device";
    return false;
  }
  vertexBytes_ = std::max<VkDeviceSize>(floats * sizeof(float), 16);
  const VkDeviceSize indexBytes = std::max<VkDeviceSize>(indexCount * sizeof(uint32_t), 16);
  factors_.clear();
  for (const MaterialDescription& m : model.materials) factors_.push_back(factorsOf(m));
  // Each material a range of its own, bound at its offset for its draws.
  materialStride_ = alignUp(sizeof(GpuMaterialFactors), device.limits().minUniformBufferOffsetAlignment);
  materialBytes_ = std::max<VkDeviceSize>(factors_.size() * materialStride_, 16);

  GpuMemoryPool::Piece vertexPiece, indexPiece, materialPiece;
  bool vertexDirect = false, indexDirect = false, materialDirect = false;
  const bool placed =
      bindBuffer(device, vertexBytes_, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, vertices_, vertexPiece, vertexDirect, error) &&
      bindBuffer(device, indexBytes, VK_BUFFER_USAGE_INDEX_BUFFER_BIT, indices_, indexPiece, indexDirect, error) &&
      bindBuffer(device, materialBytes_, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, materials_, materialPiece, materialDirect,
                 error);
  if (!placed) {
    release(device);
    return false;
  }
  // What cannot be written in place goes through one staging buffer.
  const VkDeviceSize stagedBytes =
      (vertexDirect ? 0 : vertexBytes_) + (indexDirect ? 0 : indexBytes) + (materialDirect ? 0 : materialBytes_);
  GpuBuffer staging;
  if (stagedBytes > 0 && !device.createBuffer(stagedBytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging, error)) {
    release(device);
    return false;
  }
  VkDeviceSize stagedAt = 0;
  std::vector<std::pair<VkBuffer, VkBufferCopy>> copies;
  auto destination = [&](bool direct, const GpuMemoryPool::Piece& piece, VkBuffer buffer, VkDeviceSize bytes) {
    if (direct) return static_cast<uint8_t*>(piece.mapped);
    uint8_t* at = static_cast<uint8_t*>(staging.mapped) + stagedAt;
    copies.push_back({buffer, VkBufferCopy{stagedAt, 0, bytes}});
    stagedAt += bytes;
    return at;
  };
  auto* vertexOut = reinterpret_cast<float*>(destination(vertexDirect, vertexPiece, vertices_, vertexBytes_));
  auto* indexOut = reinterpret_cast<uint32_t*>(destination(indexDirect, indexPiece, indices_, indexBytes));
  uint8_t* materialOut = destination(materialDirect, materialPiece, materials_, materialBytes_);
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    for (std::size_t k = 0; k < model.meshes[m].primitives.size(); ++k) {
      const MeshPrimitive& p = model.meshes[m].primitives[k];
      const GpuPrimitive& g = meshes_[m].primitives[k];
      for (int a = 0; a < GpuAttributes::kCount; ++a) {
        const int32_t at = g.attributes.at[static_cast<std::size_t>(a)];
        if (at >= 0) writeAttribute(p, a, vertexOut + at);
      }
      std::memcpy(indexOut + g.firstIndex, p.indices.data(), p.indices.size() * sizeof(uint32_t));
    }
  }
  for (std::size_t m = 0; m < factors_.size(); ++m) {
    std::memcpy(materialOut + m * materialStride_, &factors_[m], sizeof(GpuMaterialFactors));
  }
  bool ok = true;
  if (!copies.empty()) {
    ok = device.submitAndWait([&](VkCommandBuffer cmd) {
      for (const auto& [buffer, region] : copies) vkCmdCopyBuffer(cmd, staging.buffer, buffer, 1, &region);
    });
  }
  device.destroyBuffer(staging);
  if (!ok || !uploadTextures(device, model, error)) {
    if (!ok && error) *error = "cannot upload the model";
    release(device);
    return false;
  }
  // Per material, what each slot samples.
  bindings_.assign(model.materials.size(), {});
  for (std::size_t m = 0; m < model.materials.size(); ++m) {
    for (int s = 0; s < static_cast<int>(MaterialSlot::kCount); ++s) {
      const TextureRef& ref = slotTexture(model.materials[m], static_cast<MaterialSlot>(s));
      if (!ref.present() || static_cast<std::size_t>(ref.image) >= textures_.size()) continue;
      const Texture& t = textures_[static_cast<std::size_t>(ref.image)];
      if (t.image == VK_NULL_HANDLE) continue;
      // Colours are stored as sRGB; data (normals, roughness, occlusion) as it is.
      bindings_[m][static_cast<std::size_t>(s)] = {slotIsColour(static_cast<MaterialSlot>(s)) ? t.srgb : t.linear,
                                                   samplerFor(device, ref.sampler, model)};
    }
  }
  uploaded_ = true;
  return true;
}

VkSampler GpuModel::samplerFor(RenderDevice& device, int32_t index, const DrawableModel& model) {
  const TextureSampler s = index >= 0 && static_cast<std::size_t>(index) < model.samplers.size()
                               ? model.samplers[static_cast<std::size_t>(index)]
                               : TextureSampler{};
  const auto key = std::make_tuple(static_cast<int>(s.magFilter), static_cast<int>(s.minFilter),
                                   static_cast<int>(s.mipmaps), static_cast<int>(s.wrapS), static_cast<int>(s.wrapT));
  auto [at, added] = samplers_.try_emplace(key, VK_NULL_HANDLE);
  if (!added) return at->second;
  auto info = vkStruct<VkSamplerCreateInfo>(VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO);
  info.magFilter = filterOf(s.magFilter);
  info.minFilter = filterOf(s.minFilter);
  info.mipmapMode = s.mipmaps == MipmapMode::kNearest ? VK_SAMPLER_MIPMAP_MODE_NEAREST : VK_SAMPLER_MIPMAP_MODE_LINEAR;
  info.addressModeU = wrapOf(s.wrapS);
  info.addressModeV = wrapOf(s.wrapT);
  info.addressModeW = VK_SAMPLER_ADDRESS_MODE_REPEAT;
  info.maxLod = s.mipmaps == MipmapMode::kNone ? 0.25f : VK_LOD_CLAMP_NONE;
  vkCreateSampler(device.device(), &info, nullptr, &at->second);
  return at->second;
}

bool GpuModel::uploadTextures(RenderDevice& device, const DrawableModel& model, std::string* error) {
  textures_.assign(model.images.size(), {});
  VkDeviceSize stagedBytes = 0;
  for (const DrawableImage& image : model.images) stagedBytes += image.rgba.size();
  if (stagedBytes == 0) return true;
  GpuBuffer staging;
  if (!device.createBuffer(stagedBytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true, staging, error)) return false;
  struct Pending {
    std::size_t image;
    VkDeviceSize at;
    uint32_t levels;
  };
  std::vector<Pending> pending;
  VkDeviceSize at = 0;
  for (std::size_t i = 0; i < model.images.size(); ++i) {
    const DrawableImage& image = model.images[i];
    if (image.rgba.empty()) continue;
    Texture& t = textures_[i];
    const uint32_t levels = mipLevels(image.width, image.height);
    // sRGB, so that the mip chain averages light rather than its encoding; viewed as plain
    // numbers where a material reads data from it.
    const VkFormat formats[2] = {VK_FORMAT_R8G8B8A8_SRGB, VK_FORMAT_R8G8B8A8_UNORM};
    auto list = vkStruct<VkImageFormatListCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_FORMAT_LIST_CREATE_INFO);
    list.viewFormatCount = 2;
    list.pViewFormats = formats;
    auto info = vkStruct<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
    info.pNext = &list;
    info.flags = VK_IMAGE_CREATE_MUTABLE_FORMAT_BIT;
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = formats[0];
    info.extent = {static_cast<uint32_t>(image.width), static_cast<uint32_t>(image.height), 1};
    info.mipLevels = levels;
    info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    bool ok = check(vkCreateImage(device.device(), &info, nullptr, &t.image), "vkCreateImage", error);
    VkMemoryRequirements requirements{};
    GpuMemoryPool::Piece piece;
    if (ok) {
      vkGetImageMemoryRequirements(device.device(), t.image, &requirements);
      ok = pool_.allocate(device, requirements, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, piece, error) &&
           check(vkBindImageMemory(device.device(), t.image, piece.memory, piece.offset), "vkBindImageMemory", error);
    }
    for (int v = 0; v < 2 && ok; ++v) {
      auto view = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
      view.image = t.image;
      view.viewType = VK_IMAGE_VIEW_TYPE_2D;
      view.format = formats[v];
      view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, levels, 0, 1};
      ok = check(vkCreateImageView(device.device(), &view, nullptr, v == 0 ? &t.srgb : &t.linear),
                 "vkCreateImageView", error);
    }
    if (!ok) {
      device.destroyBuffer(staging);
      return false;
    }
    std::memcpy(static_cast<uint8_t*>(staging.mapped) + at, image.rgba.data(), image.rgba.size());
    pending.push_back({i, at, levels});
    at += image.rgba.size();
  }
  const bool ok = device.submitAndWait([&](VkCommandBuffer cmd) {
    for (const Pending& p : pending) {
      const DrawableImage& image = model.images[p.image];
      VkImage target = textures_[p.image].image;
      auto barrier = [&](uint32_t level, uint32_t count, VkImageLayout from, VkImageLayout to, VkPipelineStageFlags2 src,
                         VkPipelineStageFlags2 dst, VkAccessFlags2 srcAccess, VkAccessFlags2 dstAccess) {
        auto b = vkStruct<VkImageMemoryBarrier2>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2);
        b.srcStageMask = src;
        b.dstStageMask = dst;
        b.srcAccessMask = srcAccess;
        b.dstAccessMask = dstAccess;
        b.oldLayout = from;
        b.newLayout = to;
        b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        b.image = target;
        b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, level, count, 0, 1};
        auto dependency = vkStruct<VkDependencyInfo>(VK_STRUCTURE_TYPE_DEPENDENCY_INFO);
        dependency.imageMemoryBarrierCount = 1;
        dependency.pImageMemoryBarriers = &b;
        vkCmdPipelineBarrier2(cmd, &dependency);
      };
      barrier(0, p.levels, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_NONE,
              VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, 0, VK_ACCESS_2_TRANSFER_WRITE_BIT);
      VkBufferImageCopy region{};
      region.bufferOffset = p.at;
      region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
      region.imageExtent = {static_cast<uint32_t>(image.width), static_cast<uint32_t>(image.height), 1};
      vkCmdCopyBufferToImage(cmd, staging.buffer, target, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
      // Each level from the one above it.
      int32_t w = image.width, h = image.height;
      for (uint32_t level = 1; level < p.levels; ++level) {
        barrier(level - 1, 1, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                VK_ACCESS_2_TRANSFER_READ_BIT);
        VkImageBlit blit{};
        blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level - 1, 0, 1};
        blit.srcOffsets[1] = {w, h, 1};
        w = std::max(w / 2, 1);
        h = std::max(h / 2, 1);
        blit.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level, 0, 1};
        blit.dstOffsets[1] = {w, h, 1};
        vkCmdBlitImage(cmd, target, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, target, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1,
                       &blit, VK_FILTER_LINEAR);
      }
      if (p.levels > 1) {
        barrier(0, p.levels - 1, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_READ_BIT,
                VK_ACCESS_2_SHADER_SAMPLED_READ_BIT);
      }
      barrier(p.levels - 1, 1, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
              VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
              VK_ACCESS_2_SHADER_SAMPLED_READ_BIT);
    }
  });
  device.destroyBuffer(staging);
  if (!ok && error) *error = "cannot upload the model's textures";
  return ok;
}

void GpuModel::release(RenderDevice& device) {
  if (device.device() == VK_NULL_HANDLE) return;
  const bool held = vertices_ != VK_NULL_HANDLE || !textures_.empty() || pool_.allocations() > 0;
  if (!held) return;
  vkDeviceWaitIdle(device.device());  // once, for everything the model held
  for (Texture& t : textures_) {
    vkDestroyImageView(device.device(), t.srgb, nullptr);
    vkDestroyImageView(device.device(), t.linear, nullptr);
    vkDestroyImage(device.device(), t.image, nullptr);
  }
  for (auto& [key, sampler] : samplers_) vkDestroySampler(device.device(), sampler, nullptr);
  for (VkBuffer* b : {&vertices_, &indices_, &materials_}) {
    vkDestroyBuffer(device.device(), *b, nullptr);
    *b = VK_NULL_HANDLE;
  }
  pool_.release(device);
  textures_.clear();
  samplers_.clear();
  meshes_.clear();
  bindings_.clear();
  factors_.clear();
  uploaded_ = false;
}
