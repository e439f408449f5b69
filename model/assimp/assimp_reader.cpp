#include "model/assimp/assimp_reader.h"

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/load_error.h"
#include "model/mesh_formats/mesh_reading.h"
#include "platform/regular_file.h"

namespace fs = std::filesystem;

namespace {

// A whole regular file, read once and handed to Assimp from memory.
class MemoryStream final : public Assimp::IOStream {
 public:
  explicit MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  size_t Read(void* buffer, size_t size, size_t count) override {
    if (size == 0 || position_ >= bytes_.size()) return 0;
    const size_t n = std::min(count, (bytes_.size() - position_) / size);
    if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n * size);
    position_ += n * size;
    return n;
  }
  size_t Write(const void*, size_t, size_t) override { return 0; }
  aiReturn Seek(size_t offset, aiOrigin origin) override {
    // Backward moves arrive as offsets that wrap around: the sum wraps back.
    const size_t base = origin == aiOrigin_SET ? 0 : origin == aiOrigin_CUR ? position_ : bytes_.size();
    const size_t target = base + offset;
    if (target > bytes_.size()) return aiReturn_FAILURE;
    position_ = target;
    return aiReturn_SUCCESS;
  }
  size_t Tell() const override { return position_; }
  size_t FileSize() const override { return bytes_.size(); }
  void Flush() override {}

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

// The only files Assimp may open: regular files, relative names under the model's folder, for
// reading. It may not change the current directory, make folders or delete files.
class FolderFileSystem final : public Assimp::IOSystem {
 public:
  explicit FolderFileSystem(fs::path folder) : folder_(std::move(folder)) {}

  bool Exists(const char* file) const override {
    std::error_code error;
    return fs::is_regular_file(resolve(file), error);
  }
  char getOsSeparator() const override { return '/'; }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    if (std::strpbrk(mode, "wa+") != nullptr) return nullptr;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!platform::readRegularFile(resolve(file), bytes, &why)) return nullptr;
    return new MemoryStream(std::move(bytes));
  }
  void Close(Assimp::IOStream* stream) override { delete stream; }
  bool ChangeDirectory(const std::string&) override { return false; }
  bool CreateDirectory(const std::string&) override { return false; }
  bool DeleteFile(const std::string&) override { return false; }

 private:
  fs::path resolve(const char* file) const {
    std::string name = file;
    std::replace(name.begin(), name.end(), '\\', '/');
    const fs::path path = name;
    return path.is_absolute() ? path : folder_ / path;
  }

  fs::path folder_;
};

Matrix4 toMatrix4(const aiMatrix4x4& m) {
  // Assimp's matrices act on column vectors: the asset's are their transposes.
  return {m.a1, m.b1, m.c1, m.d1, m.a2, m.b2, m.c2, m.d2, m.a3, m.b3, m.c3, m.d3, m.a4, m.b4, m.c4, m.d4};
}

std::string mimeTypeOfHint(const char* hint) {
  const std::string h = hint;
  if (h == "png") return "image/png";
  if (h == "jpg" || h == "jpeg") return "image/jpeg";
  if (h == "webp") return "image/webp";
  if (h == "tif" || h == "tiff") return "image/tiff";
  return {};
}

// Raw BGRA texels as an uncompressed TGA image (top row first), which the image decoder reads.
SharedBytes tgaOfTexels(const aiTexture& t) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(18 + std::size_t{t.mWidth} * t.mHeight * 4);
  uint8_t* h = bytes->data();
  h[2] = 2;  // uncompressed true colour
  h[12] = static_cast<uint8_t>(t.mWidth), h[13] = static_cast<uint8_t>(t.mWidth >> 8);
  h[14] = static_cast<uint8_t>(t.mHeight), h[15] = static_cast<uint8_t>(t.mHeight >> 8);
  h[16] = 32;
  h[17] = 0x28;  // eight alpha bits, top row first
  // aiTexel is b, g, r, a: TGA's own order.
  std::memcpy(h + 18, t.pcData, bytes->size() - 18);
  return bytes;
}

class SceneReader {
 public:
  SceneReader(const aiScene& scene, const fs::path& file, ModelAsset& out)
      : scene_(scene), folder_(file.parent_path()), report_(file.string(), false), out_(out) {}

  void read() {
    for (unsigned i = 0; i < scene_.mNumMaterials; ++i) out_.materials.push_back(material(*scene_.mMaterials[i]));
    readNodes();
    for (unsigned i = 0; i < scene_.mNumMeshes; ++i) out_.meshes.push_back(mesh(i));
    placeSkins();
    for (unsigned i = 0; i < scene_.mNumAnimations; ++i) animation(*scene_.mAnimations[i], i);
    if (unfoundBones_ > 0) {
      report_.warn(std::to_string(unfoundBones_) + " bones name no node; their weights are left out");
    }
    if (morphAnimations_) report_.warn("morph and mesh animations are left out");
    if (unsortedKeys_ > 0) report_.warn(std::to_string(unsortedKeys_) + " animation keys out of time order left out");
  }

 private:
  // Nodes parents first, without recursion: a hostile file may nest them deeply.
  void readNodes() {
    meshNodes_.assign(scene_.mNumMeshes, -1);
    std::vector<std::pair<const aiNode*, int32_t>> stack = {{scene_.mRootNode, -1}};
    while (!stack.empty()) {
      auto [node, parent] = stack.back();
      stack.pop_back();
      const int32_t index = static_cast<int32_t>(out_.nodes.size());
      AssetNode& n = out_.nodes.emplace_back();
      n.name = node->mName.C_Str();
      n.parent = parent;
      n.local = toMatrix4(node->mTransformation);
      nodesByName_.emplace(n.name, index);
      aiNodes_.push_back(node);
      for (unsigned m = 0; m < node->mNumMeshes; ++m) {
        const unsigned mesh = node->mMeshes[m];
        int32_t placing = index;
        if (m > 0) {
          placing = static_cast<int32_t>(out_.nodes.size());
          AssetNode& extra = out_.nodes.emplace_back();
          extra.name = out_.nodes[static_cast<std::size_t>(index)].name;
          extra.parent = index;
          aiNodes_.push_back(nullptr);
        }
        out_.nodes[static_cast<std::size_t>(placing)].mesh = static_cast<int32_t>(mesh);
        if (meshNodes_[mesh] < 0) meshNodes_[mesh] = placing;
      }
      for (unsigned c = node->mNumChildren; c-- > 0;) stack.emplace_back(node->mChildren[c], index);
    }
  }

  Mesh mesh(unsigned index) {
    const aiMesh& m = *scene_.mMeshes[index];
    Mesh out;
    out.name = m.mName.C_Str();
    MeshPrimitive& p = out.primitives.emplace_back();
    p.material = m.mMaterialIndex < out_.materials.size() ? static_cast<int32_t>(m.mMaterialIndex) : -1;
    const unsigned corners = m.mPrimitiveTypes == aiPrimitiveType_POINT ? 1 : m.mPrimitiveTypes == aiPrimitiveType_LINE ? 2 : 3;
    p.mode = corners == 1 ? PrimitiveMode::kPoints : corners == 2 ? PrimitiveMode::kLines : PrimitiveMode::kTriangles;
    const std::size_t n = m.mNumVertices;
    p.positions.resize(n * 3);
    for (std::size_t v = 0; v < n; ++v) std::memcpy(&p.positions[v * 3], &m.mVertices[v], 12);
    if (m.mNormals != nullptr && corners == 3) {
      p.normals.resize(n * 3);
      for (std::size_t v = 0; v < n; ++v) std::memcpy(&p.normals[v * 3], &m.mNormals[v], 12);
    }
    for (int set = 0; set < 2; ++set) {
      if (m.mTextureCoords[set] == nullptr) continue;
      std::vector<float>& uv = p.texCoords[set];
      uv.resize(n * 2);
      for (std::size_t v = 0; v < n; ++v) uv[v * 2] = m.mTextureCoords[set][v].x, uv[v * 2 + 1] = m.mTextureCoords[set][v].y;
    }
    if (m.mColors[0] != nullptr) {
      p.colors.resize(n * 4);
      for (std::size_t v = 0; v < n; ++v) {
        const aiColor4D& c = m.mColors[0][v];
        p.colors[v * 4] = meshio::srgbToLinear(c.r), p.colors[v * 4 + 1] = meshio::srgbToLinear(c.g);
        p.colors[v * 4 + 2] = meshio::srgbToLinear(c.b), p.colors[v * 4 + 3] = std::clamp(c.a, 0.0f, 1.0f);
      }
    }
    p.indices.reserve(std::size_t{m.mNumFaces} * corners);
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
      const aiFace& face = m.mFaces[f];
      if (face.mNumIndices != corners) continue;  // sorting by type leaves none, but be sure
      p.indices.insert(p.indices.end(), face.mIndices, face.mIndices + corners);
    }
    return out;
  }

  // One skin for each skinned mesh, given to every node that places it.
  void placeSkins() {
    std::vector<int32_t> skinOfMesh(scene_.mNumMeshes, -1);
    for (unsigned index = 0; index < scene_.mNumMeshes; ++index) {
      const aiMesh& m = *scene_.mMeshes[index];
      if (m.mNumBones == 0 || meshNodes_[index] < 0) continue;
      MeshPrimitive& p = out_.meshes[index].primitives[0];
      const std::size_t n = p.vertexCount();
      Skin skin;
      skin.name = m.mName.C_Str();
      std::vector<uint8_t> used(n, 0);
      p.joints.assign(n * 4, 0);
      p.weights.assign(n * 4, 0);
      for (unsigned b = 0; b < m.mNumBones; ++b) {
        const aiBone& bone = *m.mBones[b];
        const auto node = nodesByName_.find(bone.mName.C_Str());
        if (node == nodesByName_.end()) {
          ++unfoundBones_;
          continue;
        }
        const uint16_t joint = static_cast<uint16_t>(skin.joints.size());
        skin.joints.push_back(node->second);
        skin.inverseBinds.push_back(toMatrix4(bone.mOffsetMatrix));
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
          const aiVertexWeight& vw = bone.mWeights[w];
          if (vw.mVertexId >= n || used[vw.mVertexId] >= 4 || !(vw.mWeight > 0)) continue;
          const std::size_t slot = std::size_t{vw.mVertexId} * 4 + used[vw.mVertexId]++;
          p.joints[slot] = joint;
          p.weights[slot] = vw.mWeight;
        }
      }
      // A vertex no bone moves stays where its mesh's node puts it: that node joins the skin.
      const uint16_t rest = static_cast<uint16_t>(skin.joints.size());
      bool restUsed = false;
      for (std::size_t v = 0; v < n; ++v) {
        float sum = 0;
        for (int k = 0; k < 4; ++k) sum += p.weights[v * 4 + k];
        if (sum > 0) {
          for (int k = 0; k < 4; ++k) p.weights[v * 4 + k] /= sum;
        } else {
          p.joints[v * 4] = rest, p.weights[v * 4] = 1;
          restUsed = true;
        }
      }
      if (restUsed) {
        skin.joints.push_back(meshNodes_[index]);
        skin.inverseBinds.push_back(kIdentityMatrix);
      }
      skinOfMesh[index] = static_cast<int32_t>(out_.skins.size());
      out_.skins.push_back(std::move(skin));
    }
    for (AssetNode& node : out_.nodes) {
      if (node.mesh >= 0) node.skin = skinOfMesh[static_cast<std::size_t>(node.mesh)];
    }
  }

  void animation(const aiAnimation& a, unsigned index) {
    AnimationClip clip;
    clip.name = a.mName.length > 0 ? a.mName.C_Str() : "Animation " + std::to_string(index + 1);
    const double ticksPerSecond = a.mTicksPerSecond > 0 ? a.mTicksPerSecond : 25.0;
    if (a.mNumMorphMeshChannels > 0 || a.mNumMeshChannels > 0) morphAnimations_ = true;
    for (unsigned c = 0; c < a.mNumChannels; ++c) {
      const aiNodeAnim& channel = *a.mChannels[c];
      const auto found = nodesByName_.find(channel.mNodeName.C_Str());
      if (found == nodesByName_.end()) continue;
      splitTrs(found->second);
      addKeys(clip, found->second, AnimationPath::kTranslation, channel.mPositionKeys, channel.mNumPositionKeys,
              ticksPerSecond);
      addKeys(clip, found->second, AnimationPath::kRotation, channel.mRotationKeys, channel.mNumRotationKeys,
              ticksPerSecond);
      addKeys(clip, found->second, AnimationPath::kScale, channel.mScalingKeys, channel.mNumScalingKeys, ticksPerSecond);
    }
    if (!clip.channels.empty()) out_.animations.push_back(std::move(clip));
  }

  // An animated node's matrix as the translation, rotation and scale its channels replace.
  void splitTrs(int32_t index) {
    AssetNode& node = out_.nodes[static_cast<std::size_t>(index)];
    if (node.hasTrs) return;
    aiVector3D scale, position;
    aiQuaternion rotation;
    aiNodes_[static_cast<std::size_t>(index)]->mTransformation.Decompose(scale, rotation, position);
    node.hasTrs = true;
    node.translation[0] = position.x, node.translation[1] = position.y, node.translation[2] = position.z;
    node.rotation[0] = rotation.x, node.rotation[1] = rotation.y, node.rotation[2] = rotation.z, node.rotation[3] = rotation.w;
    node.scale[0] = scale.x, node.scale[1] = scale.y, node.scale[2] = scale.z;
  }

  static void values(const aiVectorKey& key, std::vector<float>& out) {
    out.insert(out.end(), {key.mValue.x, key.mValue.y, key.mValue.z});
  }
  static void values(const aiQuatKey& key, std::vector<float>& out) {
    out.insert(out.end(), {key.mValue.x, key.mValue.y, key.mValue.z, key.mValue.w});
  }

  template <class Key>
  void addKeys(AnimationClip& clip, int32_t node, AnimationPath path, const Key* keys, unsigned count,
               double ticksPerSecond) {
    if (count == 0) return;
    AnimationChannel channel;
    channel.node = node;
    channel.path = path;
    for (unsigned k = 0; k < count; ++k) {
      const float time = static_cast<float>(keys[k].mTime / ticksPerSecond);
      if (!std::isfinite(time) || (!channel.times.empty() && !(time > channel.times.back()))) {
        ++unsortedKeys_;
        continue;
      }
      channel.times.push_back(time);
      values(keys[k], channel.values);
    }
    clip.channels.push_back(std::move(channel));
  }

  MaterialDescription material(const aiMaterial& m) {
    MaterialDescription out;
    aiString name;
    if (m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS) out.name = name.C_Str();
    aiColor4D diffuse(1, 1, 1, 1), specular(0, 0, 0, 1), emissive(0, 0, 0, 1), base(1, 1, 1, 1);
    float opacity = 1, shininess = 0, metallic = 0, roughness = 1, strength = 1;
    const bool hasDiffuse = m.Get(AI_MATKEY_COLOR_DIFFUSE, diffuse) == AI_SUCCESS;
    const bool hasSpecular = m.Get(AI_MATKEY_COLOR_SPECULAR, specular) == AI_SUCCESS;
    const bool hasShininess = m.Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS && shininess > 0;
    // Assimp gives every FBX material a roughness made from its shininess: only a base colour
    // or a metallic value (Assimp's own keys, or those of 3ds Max's and Maya's physical
    // materials) makes a material physically based.
    m.Get(AI_MATKEY_COLOR_EMISSIVE, emissive);
    bool hasBase = m.Get(AI_MATKEY_BASE_COLOR, base) == AI_SUCCESS;
    bool hasMetallic = m.Get(AI_MATKEY_METALLIC_FACTOR, metallic) == AI_SUCCESS;
    m.Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness);
    if (m.Get("$raw.3dsMax|main|basecolor", 0, 0, base) == AI_SUCCESS) {
      hasBase = true;
      hasMetallic |= m.Get("$raw.3dsMax|main|metalness", 0, 0, metallic) == AI_SUCCESS;
      int glossiness = 0;
      if (m.Get("$raw.3dsMax|main|roughness", 0, 0, roughness) == AI_SUCCESS &&
          m.Get("$raw.3dsMax|main|useGlossiness", 0, 0, glossiness) == AI_SUCCESS && glossiness != 0) {
        roughness = 1 - roughness;
      }
      m.Get("$raw.3dsMax|main|emit_color", 0, 0, emissive);
    } else if (m.Get("$raw.Maya|baseColor", 0, 0, base) == AI_SUCCESS) {
      hasBase = true;
      hasMetallic |= m.Get("$raw.Maya|metalness", 0, 0, metallic) == AI_SUCCESS;
      m.Get("$raw.Maya|specularRoughness", 0, 0, roughness);
    }
    const bool physical = hasBase || hasMetallic;
    if (m.Get(AI_MATKEY_OPACITY, opacity) != AI_SUCCESS || !std::isfinite(opacity)) opacity = 1;
    int shading = 0;
    if (m.Get(AI_MATKEY_SHADING_MODEL, shading) == AI_SUCCESS) {
      out.unlit = shading == aiShadingMode_NoShading || shading == aiShadingMode_Unlit;
    }

    const aiColor4D& colour = hasBase ? base : hasDiffuse ? diffuse : base;
    for (int k = 0; k < 3; ++k) out.baseColor[k] = meshio::srgbToLinear(colour[k]);
    out.baseColor[3] = std::clamp(opacity, 0.0f, 1.0f) * std::clamp(colour.a, 0.0f, 1.0f);
    if (physical) {
      out.metallic = std::clamp(std::isfinite(metallic) ? metallic : 0.0f, 0.0f, 1.0f);
      out.roughness = std::clamp(std::isfinite(roughness) ? roughness : 1.0f, 0.0f, 1.0f);
      int twoSided = 0;
      out.doubleSided = m.Get(AI_MATKEY_TWOSIDED, twoSided) == AI_SUCCESS && twoSided != 0;
    } else {
      const float brightest = std::max({specular.r, specular.g, specular.b});
      float r = 1;
      if (!hasSpecular || !(brightest > 0)) r = 1;
      else if (hasShininess) r = std::pow(2.0f / (shininess + 2.0f), 0.25f);
      else r = 1 - 0.6f * brightest;
      out.metallic = 0;
      out.roughness = std::clamp(std::isfinite(r) ? r : 1.0f, 0.0f, 1.0f);
      out.doubleSided = true;
    }
    if (m.Get(AI_MATKEY_EMISSIVE_INTENSITY, strength) == AI_SUCCESS && std::isfinite(strength) && strength > 0) {
      out.emissiveStrength = strength;
    }
    for (int k = 0; k < 3; ++k) out.emissive[k] = meshio::srgbToLinear(emissive[k]);
    float clearcoat = 0, clearcoatRoughness = 0;
    if (m.Get(AI_MATKEY_CLEARCOAT_FACTOR, clearcoat) == AI_SUCCESS && std::isfinite(clearcoat)) {
      out.clearcoat.factor = std::clamp(clearcoat, 0.0f, 1.0f);
      if (m.Get(AI_MATKEY_CLEARCOAT_ROUGHNESS_FACTOR, clearcoatRoughness) == AI_SUCCESS &&
          std::isfinite(clearcoatRoughness)) {
        out.clearcoat.roughness = std::clamp(clearcoatRoughness, 0.0f, 1.0f);
      }
    }

    out.baseColorTexture = texture(m, aiTextureType_BASE_COLOR);
    if (!out.baseColorTexture.present()) out.baseColorTexture = texture(m, aiTextureType_DIFFUSE);
    if (out.baseColorTexture.present() && !physical) {
      // The image alone colours a Phong surface; its colour shows where the image cannot.
      out.hasBaseColorWithoutTexture = true;
      std::copy_n(out.baseColor, 4, out.baseColorWithoutTexture);
      std::fill_n(out.baseColor, 3, 1.0f);
      out.blendWhenTextureTranslucent = true;
    }
    out.normalTexture = texture(m, aiTextureType_NORMALS);
    if (!out.normalTexture.present()) out.normalTexture = texture(m, aiTextureType_NORMAL_CAMERA);
    out.emissiveTexture = texture(m, aiTextureType_EMISSION_COLOR);
    if (!out.emissiveTexture.present()) out.emissiveTexture = texture(m, aiTextureType_EMISSIVE);
    if (out.emissiveTexture.present() && out.emissive[0] == 0 && out.emissive[1] == 0 && out.emissive[2] == 0) {
      std::fill_n(out.emissive, 3, 1.0f);  // a map with no colour: the map shows as it is
    }
    out.occlusionTexture = texture(m, aiTextureType_AMBIENT_OCCLUSION);
    if (!out.occlusionTexture.present()) out.occlusionTexture = texture(m, aiTextureType_LIGHTMAP);
    if (out.baseColor[3] < 1) out.alphaMode = AlphaMode::kBlend;
    return out;
  }

  TextureRef texture(const aiMaterial& m, aiTextureType type) {
    TextureRef ref;
    if (m.GetTextureCount(type) == 0) return ref;
    aiString path;
    aiTextureMapping mapping = aiTextureMapping_UV;
    unsigned uvIndex = 0;
    aiTextureMapMode modes[2] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
    if (m.GetTexture(type, 0, &path, &mapping, &uvIndex, nullptr, nullptr, modes) != AI_SUCCESS) return ref;
    ref.image = image(path.C_Str());
    if (!ref.present()) return ref;
    ref.texCoord = uvIndex == 1 ? 1 : 0;
    ref.sampler = sampler(modes);
    aiUVTransform transform;
    if (m.Get(AI_MATKEY_UVTRANSFORM(type, 0), transform) == AI_SUCCESS &&
        (transform.mTranslation.x != 0 || transform.mTranslation.y != 0 || transform.mRotation != 0 ||
         transform.mScaling.x != 1 || transform.mScaling.y != 1)) {
      ref.hasTransform = true;
      ref.transform.offset[0] = transform.mTranslation.x, ref.transform.offset[1] = transform.mTranslation.y;
      ref.transform.rotation = transform.mRotation;
      ref.transform.scale[0] = transform.mScaling.x, ref.transform.scale[1] = transform.mScaling.y;
    }
    return ref;
  }

  int32_t sampler(const aiTextureMapMode modes[2]) {
    const auto wrap = [](aiTextureMapMode mode) {
      return mode == aiTextureMapMode_Clamp || mode == aiTextureMapMode_Decal ? TextureWrap::kClampToEdge
             : mode == aiTextureMapMode_Mirror                                ? TextureWrap::kMirroredRepeat
                                                                              : TextureWrap::kRepeat;
    };
    const TextureWrap s = wrap(modes[0]), t = wrap(modes[1]);
    if (s == TextureWrap::kRepeat && t == TextureWrap::kRepeat) return -1;
    for (std::size_t i = 0; i < out_.samplers.size(); ++i) {
      if (out_.samplers[i].wrapS == s && out_.samplers[i].wrapT == t) return static_cast<int32_t>(i);
    }
    TextureSampler& added = out_.samplers.emplace_back();
    added.wrapS = s, added.wrapT = t;
    return static_cast<int32_t>(out_.samplers.size() - 1);
  }

  // The asset's image for a texture name: a texture the file holds, else a file by the name
  // written. -1 (with one warning) for a held texture that cannot be used.
  int32_t image(const std::string& written) {
    if (written.empty()) return -1;
    const auto known = images_.find(written);
    if (known != images_.end()) return known->second;
    int32_t& index = images_[written];
    index = -1;
    ImageSource source;
    if (const aiTexture* held = scene_.GetEmbeddedTexture(written.c_str())) {
      if (held->pcData == nullptr || held->mWidth == 0) {
        report_.warn("embedded texture \"" + written + "\" holds no image; left out");
        return -1;
      }
      if (held->mHeight == 0) {
        const auto* data = reinterpret_cast<const uint8_t*>(held->pcData);
        source.bytes = std::make_shared<std::vector<uint8_t>>(data, data + held->mWidth);
        source.mimeType = mimeTypeOfHint(held->achFormatHint);
        source.name = held->mFilename.length > 0 ? held->mFilename.C_Str() : written;
      } else if (held->mWidth <= 0xFFFF && held->mHeight <= 0xFFFF) {
        source.bytes = tgaOfTexels(*held);
        source.name = written + ".tga";  // tells the decoder the bytes are TGA
      } else {
        report_.warn("embedded texture \"" + written + "\" is larger than 65535 pixels a side; left out");
        return -1;
      }
      source.size = source.bytes->size();
    } else {
      // Found, or looked for beside the model whatever its letter case, when it is decoded.
      std::string name = written;
      std::replace(name.begin(), name.end(), '\\', '/');
      source.name = written;
      source.path = fs::path(name).is_absolute() ? fs::path(name) : folder_ / name;
    }
    index = static_cast<int32_t>(out_.images.size());
    out_.images.push_back(std::move(source));
    return index;
  }

  const aiScene& scene_;
  fs::path folder_;
  meshio::ReadReport report_;
  ModelAsset& out_;
  std::vector<const aiNode*> aiNodes_;  // the file's node of each asset node; null for those added
  std::unordered_map<std::string, int32_t> nodesByName_;
  std::vector<int32_t> meshNodes_;  // the first node placing each mesh
  std::map<std::string, int32_t> images_;
  std::size_t unfoundBones_ = 0, unsortedKeys_ = 0;
  bool morphAnimations_ = false;
};

// FBX files state their up axis and unit in their global settings.
void applyFileFrame(const aiScene& scene, ModelAsset& out) {
  if (scene.mMetaData == nullptr) return;
  int32_t up = -1;
  if (scene.mMetaData->Get("UpAxis", up) && up >= 0 && up <= 2) out.upAxis = static_cast<UpAxis>(up);
  double unit = 0;
  float unitFloat = 0;
  if (scene.mMetaData->Get("UnitScaleFactor", unit) && std::isfinite(unit) && unit > 0) {
    out.metresPerUnit = unit / 100;  // centimetres a unit
  } else if (scene.mMetaData->Get("UnitScaleFactor", unitFloat) && std::isfinite(unitFloat) && unitFloat > 0) {
    out.metresPerUnit = unitFloat / 100.0;
  }
}

}  // namespace

namespace {

constexpr unsigned kSteps = aiProcess_Triangulate | aiProcess_JoinIdenticalVertices | aiProcess_SortByPType |
                            aiProcess_GenSmoothNormals | aiProcess_LimitBoneWeights | aiProcess_FlipUVs |
                            aiProcess_FindInvalidData | aiProcess_ValidateDataStructure;

void configure(Assimp::Importer& importer) {
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  importer.SetPropertyFloat(AI_CONFIG_PP_GSN_MAX_SMOOTHING_ANGLE, 30.0f);
  importer.SetPropertyInteger(AI_CONFIG_PP_LBW_MAX_WEIGHTS, 4);
}

// The asset of what Assimp read (`scene`, null when it failed), or the one line that says why.
bool convert(const aiScene* scene, const Assimp::Importer& importer, const fs::path& file,
             const ModelConventions& conventions, ModelAsset& out) {
  if (scene == nullptr) {
    std::string why = importer.GetErrorString();
    std::replace(why.begin(), why.end(), '\n', ' ');
    if (why.empty()) why = "not a file Assimp reads";
    printLoadError("%s: cannot be read: %s", file.c_str(), why.c_str());
    return false;
  }
  if (scene->mRootNode == nullptr || scene->mNumMeshes == 0) {
    printLoadError("%s: holds no meshes to draw", file.c_str());
    return false;
  }
  out.upAxis = conventions.upAxis;
  out.metresPerUnit = conventions.metresPerUnit;
  out.name = file.stem().string();
  applyFileFrame(*scene, out);
  SceneReader(*scene, file, out).read();
  return true;
}

// Counts that the file cannot hold: Assimp's OFF reader allocates what the header claims
// (tens of gigabytes for a header that lies). Every vertex takes at least "0 0 0\n", every
// face at least "1 0\n". Empty when the counts fit or the file is no OFF file (`named`: its
// suffix says it is one, else its keyword must).
std::string offCountsThatLie(std::span<const uint8_t> head, uint64_t size, bool named) {
  std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  std::vector<uint64_t> counts;
  std::size_t at = 0;
  bool first = true;
  while (counts.size() < 2 && at < text.size()) {
    if (text[at] == '#') {
      at = text.find('\n', at);
      if (at == std::string_view::npos) break;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(text[at]))) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    const std::string_view token = text.substr(at, end - at);
    at = end;
    if (first && token.ends_with("OFF")) {
      first = false;
      continue;
    }
    if (first && !named) return {};
    first = false;
    // Read as Assimp reads it: the leading digits.
    uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < token.size() && token[digits] >= '0' && token[digits] <= '9'; ++digits) {
      value = value > UINT64_MAX / 20 ? UINT64_MAX / 20 : value * 10 + static_cast<uint64_t>(token[digits] - '0');
    }
    if (digits == 0) return {};
    counts.push_back(value);
  }
  if (counts.size() < 2) return {};
  if (counts[0] <= size / 6 && counts[1] <= size / 4 && counts[0] * 6 + counts[1] * 4 <= size) return {};
  return "its header claims " + std::to_string(counts[0]) + " vertices and " + std::to_string(counts[1]) +
         " faces, more than its " + std::to_string(size) + " bytes hold";
}

}  // namespace

bool readAssimp(const fs::path& file, const ModelConventions& conventions, ModelAsset& out) {
  out = ModelAsset();
  out.file = file;
  std::error_code error;
  const fs::path absolute = fs::absolute(file, error);
  std::vector<uint8_t> head;
  uint64_t size = 0;
  std::string why;
  if (!platform::readFileHead(file, 4096, head, size, &why)) {
    printLoadError("%s: cannot open: %s", file.c_str(), why.c_str());
    return false;
  }
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  why = offCountsThatLie(head, size, extension == ".off");
  if (!why.empty()) {
    printLoadError("%s: cannot be read: %s", file.c_str(), why.c_str());
    return false;
  }
  Assimp::Importer importer;
  importer.SetIOHandler(new FolderFileSystem(absolute.parent_path()));
  configure(importer);
  const aiScene* scene = nullptr;
  try {
    scene = importer.ReadFile(absolute.string(), kSteps);
  } catch (const std::exception& e) {
    printLoadError("%s: cannot be read: %s", file.c_str(), e.what());
    return false;
  }
  return convert(scene, importer, file, conventions, out);
}

bool readAssimpBytes(std::span<const uint8_t> bytes, const char* suffix, const ModelConventions& conventions,
                     ModelAsset& out) {
  out = ModelAsset();
  const fs::path name = std::string("memory.") + suffix;
  out.file = name;
  const std::string why =
      offCountsThatLie(bytes.subspan(0, std::min<std::size_t>(bytes.size(), 4096)), bytes.size(), name.extension() == ".off");
  if (!why.empty()) {
    printLoadError("%s: cannot be read: %s", name.c_str(), why.c_str());
    return false;
  }
  Assimp::Importer importer;
  configure(importer);
  const aiScene* scene = nullptr;
  try {
    scene = importer.ReadFileFromMemory(bytes.data(), bytes.size(), kSteps, suffix);
  } catch (const std::exception& e) {
    printLoadError("%s: cannot be read: %s", name.c_str(), e.what());
    return false;
  }
  return convert(scene, importer, name, conventions, out);
}
