#include "model/gltf/gltf_materials.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace gltf {

namespace {

// A texture as the materials see it; image -1: none that can be shown.
struct Texture {
  int32_t image = -1, sampler = -1;
};

bool readImage(Context& c, Object object, const Where& where, std::size_t index, ImageSource& image) {
  std::string uri;
  int32_t view = -1;
  if (!optString(c.m, object, "name", where, image.name) || !optString(c.m, object, "uri", where, uri) ||
      !optString(c.m, object, "mimeType", where, image.mimeType) || !optIndex(c.m, object, "bufferView", where, view)) {
    return false;
  }
  Element value;
  const std::string label = "images[" + std::to_string(index) + "]";
  if (member(object, "bufferView", value)) {
    Bytes bytes;
    if (!viewBytes(c, where["bufferView"], view, bytes)) return false;
    image.bytes = bytes.owner;
    image.offset = bytes.offset;
    image.size = bytes.size;
    if (image.name.empty()) image.name = label;
    return true;
  }
  if (!member(object, "uri", value)) {
    c.m.warn("%s has neither uri nor bufferView; it is left out", label.c_str());
    if (image.name.empty()) image.name = label;
    return true;
  }
  if (isDataUri(uri)) {
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    std::string mediaType;
    if (image.name.empty()) image.name = label;
    if (!decodeDataUri(uri, *bytes, mediaType)) {
      c.m.warn("%s: its data: URI cannot be decoded; it is left out", label.c_str());
      return true;
    }
    if (image.mimeType.empty()) image.mimeType = mediaType;
    image.size = bytes->size();
    image.bytes = std::move(bytes);
    return true;
  }
  image.name = uri;
  if (!uriPath(c, uri, image.path)) {
    image.path.clear();
    c.m.warn("%s: %s names no local file; it is left out", label.c_str(), uri.c_str());
  }
  return true;
}

TextureFilter filterOf(uint64_t value) {
  return value == 9728 || value == 9984 || value == 9986 ? TextureFilter::kNearest : TextureFilter::kLinear;
}

TextureWrap wrapOf(uint64_t value) {
  if (value == 33071) return TextureWrap::kClampToEdge;
  if (value == 33648) return TextureWrap::kMirroredRepeat;
  return TextureWrap::kRepeat;
}

bool readSampler(Context& c, Object object, const Where& where, TextureSampler& s) {
  uint64_t mag = 0, min = 0, wrapS = 10497, wrapT = 10497;
  Element value;
  if (!optUint(c.m, object, "magFilter", where, mag) || !optUint(c.m, object, "minFilter", where, min) ||
      !optUint(c.m, object, "wrapS", where, wrapS) || !optUint(c.m, object, "wrapT", where, wrapT)) {
    return false;
  }
  // An absent filter is the viewer's choice: linear, mipmapped.
  if (member(object, "magFilter", value)) s.magFilter = filterOf(mag);
  if (member(object, "minFilter", value)) {
    s.minFilter = filterOf(min);
    s.mipmaps = min == 9728 || min == 9729   ? MipmapMode::kNone
                : min == 9984 || min == 9985 ? MipmapMode::kNearest
                                             : MipmapMode::kLinear;
  }
  s.wrapS = wrapOf(wrapS);
  s.wrapT = wrapOf(wrapT);
  return true;
}

struct Textures {
  std::vector<Texture> list;
  std::size_t ktx2WithoutFallback = 0;
};

bool readTextures(Context& c, Textures& out) {
  out.list.resize(c.textures.size());
  for (std::size_t i = 0; i < c.textures.size(); ++i) {
    const Where where = Where().at("textures", static_cast<int64_t>(i));
    Object object, extensions;
    bool present = false;
    Texture& t = out.list[i];
    if (!toObject(c.m, c.textures[i], where, object) || !optIndex(c.m, object, "source", where, t.image) ||
        !optIndex(c.m, object, "sampler", where, t.sampler) ||
        !optObject(c.m, object, "extensions", where, extensions, present)) {
      return false;
    }
    Element value;
    if (member(object, "source", value) && !checkIndex(c.m, where["source"], t.image, c.out.images.size(), "images")) {
      return false;
    }
    if (member(object, "sampler", value) &&
        !checkIndex(c.m, where["sampler"], t.sampler, c.out.samplers.size(), "samplers")) {
      return false;
    }
    if (!present) continue;
    const Where ext = where["extensions"];
    Object webp, basisu;
    if (!optObject(c.m, extensions, "EXT_texture_webp", ext, webp, present)) return false;
    int32_t source = -1;
    if (present) {
      // WebP is decoded where images are: it replaces the fallback image.
      if (!optIndex(c.m, webp, "source", ext["EXT_texture_webp"], source)) return false;
      if (source >= 0 && !checkIndex(c.m, ext["EXT_texture_webp"]["source"], source, c.out.images.size(), "images")) {
        return false;
      }
      if (source >= 0) t.image = source;
      continue;
    }
    if (!optObject(c.m, extensions, "KHR_texture_basisu", ext, basisu, present)) return false;
    // KTX2 has no decoder here: the plain image, when the texture names one, stands in.
    if (present && t.image < 0) ++out.ktx2WithoutFallback;
  }
  return true;
}

bool readTextureRef(Context& c, const Textures& textures, Object holder, std::string_view key, const Where& where,
                    TextureRef& ref, std::string_view factorKey = {}, float* factor = nullptr) {
  Element value;
  if (!member(holder, key, value)) return true;
  const Where at = where[key];
  Object info;
  int32_t index = -1;
  uint64_t texCoord = 0;
  if (!toObject(c.m, value, at, info) || !optIndex(c.m, info, "index", at, index) ||
      !optUint(c.m, info, "texCoord", at, texCoord, INT32_MAX)) {
    return false;
  }
  if (factor != nullptr && !optFloat(c.m, info, factorKey, at, *factor)) return false;
  if (!member(info, "index", value)) return c.m.fail(&at, "no index");
  if (!checkIndex(c.m, at["index"], index, textures.list.size(), "textures")) return false;
  Object extensions, transform;
  bool present = false;
  if (!optObject(c.m, info, "extensions", at, extensions, present)) return false;
  if (present) {
    const Where extensionsAt = at["extensions"], tw = extensionsAt["KHR_texture_transform"];
    if (!optObject(c.m, extensions, "KHR_texture_transform", at["extensions"], transform, present)) return false;
    if (present) {
      ref.hasTransform = true;
      if (!optFloats(c.m, transform, "offset", tw, ref.transform.offset, 2) ||
          !optFloat(c.m, transform, "rotation", tw, ref.transform.rotation) ||
          !optFloats(c.m, transform, "scale", tw, ref.transform.scale, 2) ||
          !optUint(c.m, transform, "texCoord", tw, texCoord, INT32_MAX)) {
        return false;
      }
    }
  }
  if (texCoord > 1) {
    c.m.warn("%s: texture coordinate set %llu is not kept; set 0 is used", at.text().c_str(),
             static_cast<unsigned long long>(texCoord));
    texCoord = 0;
  }
  const Texture& t = textures.list[static_cast<std::size_t>(index)];
  ref.image = t.image;
  ref.sampler = t.sampler;
  ref.texCoord = static_cast<int32_t>(texCoord);
  return true;
}

float perceivedBrightness(const float c[3]) {
  return std::sqrt(0.299f * c[0] * c[0] + 0.587f * c[1] * c[1] + 0.114f * c[2] * c[2]);
}

// Specular-glossiness into metallic-roughness, by the factors (a texture could be converted
// only by decoding it):
// - roughness := 1 - glossiness;
// - metallic is solved from the brightness of the diffuse and specular colours, so that a
//   dielectric's specular of about 4% stays non-metal and a bright specular becomes metal:
//   the root of 0.04 m^2 + b m + (0.04 - specular) = 0 with
//   b = diffuse (1 - max specular channel) / 0.96 + specular - 0.08, clamped to [0, 1];
// - base colour := the diffuse colour, as a dielectric shows it (diffuse (1 - max specular
//   channel) / 0.96 / (1 - metallic)), blended towards the specular colour as a metal shows
//   it ((specular - 0.04 (1 - metallic)) / metallic) by metallic squared; alpha the diffuse's;
// - base colour texture := the diffuse texture. The specular-glossiness texture has no
//   counterpart and is left out.
void convertSpecularGlossiness(const float diffuse[4], const float specular[3], float glossiness,
                               MaterialDescription& m) {
  constexpr float kDielectric = 0.04f;
  const float oneMinusSpecular = 1 - std::max({specular[0], specular[1], specular[2]});
  const float d = perceivedBrightness(diffuse), s = perceivedBrightness(specular);
  float metallic = 0;
  if (s > kDielectric) {
    const float b = d * oneMinusSpecular / (1 - kDielectric) + s - 2 * kDielectric;
    const float cTerm = kDielectric - s;
    const float discriminant = std::max(0.0f, b * b - 4 * kDielectric * cTerm);
    metallic = std::clamp((-b + std::sqrt(discriminant)) / (2 * kDielectric), 0.0f, 1.0f);
  }
  for (int i = 0; i < 3; ++i) {
    const float fromDiffuse = diffuse[i] * oneMinusSpecular / (1 - kDielectric) / std::max(1 - metallic, 1e-4f);
    const float fromSpecular = (specular[i] - kDielectric * (1 - metallic)) / std::max(metallic, 1e-4f);
    const float t = metallic * metallic;
    m.baseColor[i] = std::clamp(fromDiffuse + (fromSpecular - fromDiffuse) * t, 0.0f, 1.0f);
  }
  m.baseColor[3] = diffuse[3];
  m.metallic = metallic;
  m.roughness = std::clamp(1 - glossiness, 0.0f, 1.0f);
}

bool readMaterialExtensions(Context& c, const Textures& t, Object extensions, const Where& where,
                            MaterialDescription& m) {
  for (auto [key, value] : extensions) {
    m.extensions.emplace_back(key);
    const Where at = where[key];
    Object e;
    if (!toObject(c.m, value, at, e)) return false;
    if (key == "KHR_materials_emissive_strength") {
      if (!optFloat(c.m, e, "emissiveStrength", at, m.emissiveStrength)) return false;
    } else if (key == "KHR_materials_unlit") {
      m.unlit = true;
    } else if (key == "KHR_materials_ior") {
      if (!optFloat(c.m, e, "ior", at, m.ior)) return false;
    } else if (key == "KHR_materials_clearcoat") {
      auto& k = m.clearcoat;
      if (!optFloat(c.m, e, "clearcoatFactor", at, k.factor) ||
          !optFloat(c.m, e, "clearcoatRoughnessFactor", at, k.roughness) ||
          !readTextureRef(c, t, e, "clearcoatTexture", at, k.texture) ||
          !readTextureRef(c, t, e, "clearcoatRoughnessTexture", at, k.roughnessTexture) ||
          !readTextureRef(c, t, e, "clearcoatNormalTexture", at, k.normalTexture, "scale", &k.normalScale)) {
        return false;
      }
    } else if (key == "KHR_materials_specular") {
      auto& k = m.specular;
      if (!optFloat(c.m, e, "specularFactor", at, k.factor) ||
          !optFloats(c.m, e, "specularColorFactor", at, k.color, 3) ||
          !readTextureRef(c, t, e, "specularTexture", at, k.texture) ||
          !readTextureRef(c, t, e, "specularColorTexture", at, k.colorTexture)) {
        return false;
      }
    } else if (key == "KHR_materials_transmission") {
      if (!optFloat(c.m, e, "transmissionFactor", at, m.transmission.factor) ||
          !readTextureRef(c, t, e, "transmissionTexture", at, m.transmission.texture)) {
        return false;
      }
    } else if (key == "KHR_materials_sheen") {
      auto& k = m.sheen;
      if (!optFloats(c.m, e, "sheenColorFactor", at, k.color, 3) ||
          !optFloat(c.m, e, "sheenRoughnessFactor", at, k.roughness) ||
          !readTextureRef(c, t, e, "sheenColorTexture", at, k.colorTexture) ||
          !readTextureRef(c, t, e, "sheenRoughnessTexture", at, k.roughnessTexture)) {
        return false;
      }
    } else if (key == "KHR_materials_pbrSpecularGlossiness") {
      float diffuse[4] = {1, 1, 1, 1}, specular[3] = {1, 1, 1}, glossiness = 1;
      TextureRef ignored;
      if (!optFloats(c.m, e, "diffuseFactor", at, diffuse, 4) ||
          !optFloats(c.m, e, "specularFactor", at, specular, 3) ||
          !optFloat(c.m, e, "glossinessFactor", at, glossiness) ||
          !readTextureRef(c, t, e, "diffuseTexture", at, m.baseColorTexture) ||
          !readTextureRef(c, t, e, "specularGlossinessTexture", at, ignored)) {
        return false;
      }
      convertSpecularGlossiness(diffuse, specular, glossiness, m);
      m.metallicRoughnessTexture = TextureRef();
    }
  }
  return true;
}

bool readMaterial(Context& c, const Textures& t, Object object, const Where& where, MaterialDescription& m) {
  Object pbr, extensions;
  bool present = false;
  std::string alphaMode = "OPAQUE";
  if (!optString(c.m, object, "name", where, m.name) ||
      !optObject(c.m, object, "pbrMetallicRoughness", where, pbr, present)) {
    return false;
  }
  if (present) {
    const Where at = where["pbrMetallicRoughness"];
    if (!optFloats(c.m, pbr, "baseColorFactor", at, m.baseColor, 4) ||
        !optFloat(c.m, pbr, "metallicFactor", at, m.metallic) ||
        !optFloat(c.m, pbr, "roughnessFactor", at, m.roughness) ||
        !readTextureRef(c, t, pbr, "baseColorTexture", at, m.baseColorTexture) ||
        !readTextureRef(c, t, pbr, "metallicRoughnessTexture", at, m.metallicRoughnessTexture)) {
      return false;
    }
  }
  if (!readTextureRef(c, t, object, "normalTexture", where, m.normalTexture, "scale", &m.normalScale) ||
      !readTextureRef(c, t, object, "occlusionTexture", where, m.occlusionTexture, "strength", &m.occlusionStrength) ||
      !readTextureRef(c, t, object, "emissiveTexture", where, m.emissiveTexture) ||
      !optFloats(c.m, object, "emissiveFactor", where, m.emissive, 3) ||
      !optString(c.m, object, "alphaMode", where, alphaMode) ||
      !optFloat(c.m, object, "alphaCutoff", where, m.alphaCutoff) ||
      !optBool(c.m, object, "doubleSided", where, m.doubleSided) ||
      !optObject(c.m, object, "extensions", where, extensions, present)) {
    return false;
  }
  if (alphaMode == "MASK")
    m.alphaMode = AlphaMode::kMask;
  else if (alphaMode == "BLEND")
    m.alphaMode = AlphaMode::kBlend;
  else if (alphaMode != "OPAQUE")
    return c.m.fail(&where, "alphaMode %s is none of OPAQUE, MASK, BLEND", alphaMode.c_str());
  return !present || readMaterialExtensions(c, t, extensions, where["extensions"], m);
}

}  // namespace

bool readImages(Context& c) {
  c.out.images.resize(c.images.size());
  for (std::size_t i = 0; i < c.images.size(); ++i) {
    const Where where = Where().at("images", static_cast<int64_t>(i));
    Object object;
    if (!toObject(c.m, c.images[i], where, object) || !readImage(c, object, where, i, c.out.images[i])) return false;
  }
  return true;
}

bool readSamplers(Context& c) {
  c.out.samplers.resize(c.samplers.size());
  for (std::size_t i = 0; i < c.samplers.size(); ++i) {
    const Where where = Where().at("samplers", static_cast<int64_t>(i));
    Object object;
    if (!toObject(c.m, c.samplers[i], where, object) || !readSampler(c, object, where, c.out.samplers[i])) return false;
  }
  return true;
}

bool readMaterials(Context& c) {
  Textures textures;
  if (!readTextures(c, textures)) return false;
  if (textures.ktx2WithoutFallback > 0) {
    c.m.warn("%zu KHR_texture_basisu (KTX2) textures have no image that can be decoded; they are left out",
             textures.ktx2WithoutFallback);
  }
  c.out.materials.resize(c.materials.size());
  for (std::size_t i = 0; i < c.materials.size(); ++i) {
    const Where where = Where().at("materials", static_cast<int64_t>(i));
    Object object;
    if (!toObject(c.m, c.materials[i], where, object) ||
        !readMaterial(c, textures, object, where, c.out.materials[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace gltf
