#include "model/mesh_formats/mtl_reader.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "model/mesh_formats/mesh_reading.h"
#include "model/mesh_formats/mesh_text.h"

namespace {

struct Colour {
  float v[3] = {0, 0, 0};
};

// A map statement's options and file name.
struct MapRef {
  std::string file;
  bool clamp = false;
  bool transform = false;
  float offset[3] = {0, 0, 0}, scale[3] = {1, 1, 1};
  float bumpScale = 1;
  uint8_t channel = 0;
};

// What one newmtl block says, before the rule turns it into a material.
struct Written {
  std::string name;
  std::optional<Colour> kd, ks, ke;
  std::optional<float> ns, d, tr, pr, pm, pc, pcr;
  std::optional<Colour> ps;
  int illum = 2;
  std::optional<MapRef> mapKd, mapKs, mapKe, mapD, mapBump, mapPr, mapPm, mapPs;
};

bool isNumber(std::string_view token) {
  std::size_t i = !token.empty() && (token[0] == '-' || token[0] == '+') ? 1 : 0;
  if (i < token.size() && token[i] == '.') ++i;
  return i < token.size() && meshtext::isDigit(token[i]);
}

double number(std::string_view token) {
  const char* p = token.data();
  return meshtext::scanDouble(p, token.data() + token.size());
}

// The tokens of `rest` as views, with the offset where each starts.
std::vector<std::string_view> tokens(std::string_view rest) {
  std::vector<std::string_view> out;
  const char* p = rest.data();
  const char* end = p + rest.size();
  for (p = meshtext::skipBlanks(p, end); p < end; p = meshtext::skipBlanks(p, end)) {
    const char* q = meshtext::tokenEnd(p, end);
    out.emplace_back(p, static_cast<std::size_t>(q - p));
    p = q;
  }
  return out;
}

Colour colourOf(const std::vector<std::string_view>& t) {
  Colour c;
  // "Kd r g b", "Kd r" (grey), and "Kd spectral ..."/"Kd xyz ..." read as what numbers follow.
  std::size_t first = !t.empty() && !isNumber(t[0]) ? 1 : 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t k = first + static_cast<std::size_t>(i);
    c.v[i] = k < t.size() ? static_cast<float>(number(t[k])) : (i > 0 ? c.v[0] : 0.0f);
  }
  return c;
}

// Parses "[-option values]... file name" after a map keyword.
MapRef mapOf(std::string_view rest) {
  MapRef map;
  const std::vector<std::string_view> t = tokens(rest);
  std::size_t i = 0;
  auto numbersInto = [&](float* to, std::size_t most) {
    std::size_t n = 0;
    while (i < t.size() && n < most && isNumber(t[i])) to[n++] = static_cast<float>(number(t[i++]));
    return n;
  };
  while (i < t.size() && t[i].size() > 1 && t[i][0] == '-' && !isNumber(t[i])) {
    const std::string_view option = t[i++];
    float values[3] = {0, 0, 0};
    if (option == "-o") {
      std::fill(map.offset, map.offset + 3, 0.0f);
      numbersInto(map.offset, 3);
      map.transform = true;
    } else if (option == "-s") {
      const std::size_t n = numbersInto(map.scale, 3);
      for (std::size_t k = n; k < 2 && n > 0; ++k) map.scale[k] = map.scale[0];
      map.transform = true;
    } else if (option == "-t") {
      numbersInto(values, 3);
    } else if (option == "-mm") {
      numbersInto(values, 2);
    } else if (option == "-bm") {
      if (numbersInto(values, 1) == 1) map.bumpScale = values[0];
    } else if (option == "-boost" || option == "-texres") {
      numbersInto(values, 1);
    } else if (option == "-clamp") {
      if (i < t.size()) map.clamp = t[i++] == "on";
    } else if (option == "-imfchan") {
      if (i < t.size()) {
        const std::string_view c = t[i++];
        map.channel = c == "g" ? 1 : c == "b" ? 2 : c == "m" || c == "z" ? 3 : 0;
      }
    } else if (option == "-blendu" || option == "-blendv" || option == "-cc" || option == "-type") {
      if (i < t.size()) ++i;
    }
    // An option we do not know: skipped alone.
  }
  if (i < t.size()) {
    const char* start = t[i].data();
    map.file = std::string(meshtext::trimmed(std::string_view(start, static_cast<std::size_t>(rest.data() + rest.size() - start))));
  }
  return map;
}

float linear(float v) { return meshio::srgbToLinear(v); }

class Builder {
 public:
  Builder(ModelAsset& asset, std::vector<MtlTextures>& extras, const MtlImageResolver& image)
      : asset_(asset), extras_(extras), image_(image) {}

  void finish(const Written& w) {
    MaterialDescription m;
    MtlTextures extra;
    m.name = w.name;
    m.doubleSided = true;
    const TextureRef kdMap = texture(w.mapKd);
    if (kdMap.present()) {
      m.baseColorTexture = kdMap;
    } else if (w.kd) {
      for (int i = 0; i < 3; ++i) m.baseColor[i] = linear(w.kd->v[i]);
    }
    const float alpha = w.d ? *w.d : w.tr ? 1 - *w.tr : 1;
    m.baseColor[3] = std::clamp(std::isfinite(alpha) ? alpha : 1.0f, 0.0f, 1.0f);
    extra.opacity = texture(w.mapD);
    if (w.mapD) extra.opacityChannel = w.mapD->channel;
    m.alphaMode = m.baseColor[3] < 1 || extra.opacity.present() ? AlphaMode::kBlend : AlphaMode::kOpaque;

    m.metallic = w.pm ? std::clamp(*w.pm, 0.0f, 1.0f) : 0.0f;
    extra.metallic = texture(w.mapPm);
    if (w.mapPm) extra.metallicChannel = w.mapPm->channel;
    float roughness = 1;
    const float brightest = w.ks ? std::max({linear(w.ks->v[0]), linear(w.ks->v[1]), linear(w.ks->v[2])}) : 0.0f;
    if (w.pr) roughness = *w.pr;
    else if (w.illum == 0 || w.illum == 1 || (w.ks && brightest <= 0)) roughness = 1;
    else if (w.ns) roughness = std::pow(2.0f / (std::max(*w.ns, 0.0f) + 2.0f), 0.25f);
    else if (w.ks) roughness = 1 - 0.6f * brightest;
    m.roughness = std::clamp(std::isfinite(roughness) ? roughness : 1.0f, 0.0f, 1.0f);
    extra.roughness = texture(w.mapPr);
    if (w.mapPr) extra.roughnessChannel = w.mapPr->channel;

    m.emissiveTexture = texture(w.mapKe);
    if (w.ke) {
      for (int i = 0; i < 3; ++i) m.emissive[i] = linear(w.ke->v[i]);
    } else if (m.emissiveTexture.present()) {
      std::fill(m.emissive, m.emissive + 3, 1.0f);
    }
    m.unlit = w.illum == 0;
    m.normalTexture = texture(w.mapBump);
    if (w.mapBump) m.normalScale = w.mapBump->bumpScale;
    m.specular.colorTexture = texture(w.mapKs);
    if (w.ps) {
      for (int i = 0; i < 3; ++i) m.sheen.color[i] = std::clamp(w.ps->v[i], 0.0f, 1.0f);
    }
    m.sheen.colorTexture = texture(w.mapPs);
    if (m.sheen.colorTexture.present() && !w.ps) std::fill(m.sheen.color, m.sheen.color + 3, 1.0f);
    if (w.pc) m.clearcoat.factor = std::clamp(*w.pc, 0.0f, 1.0f);
    if (w.pcr) m.clearcoat.roughness = std::clamp(*w.pcr, 0.0f, 1.0f);
    asset_.materials.push_back(std::move(m));
    extras_.push_back(extra);
  }

 private:
  TextureRef texture(const std::optional<MapRef>& map) {
    TextureRef ref;
    if (!map || map->file.empty()) return ref;
    ref.image = image_(map->file);
    if (ref.image < 0) return ref;
    if (map->clamp) {
      if (clampSampler_ < 0) {
        TextureSampler sampler;
        sampler.wrapS = sampler.wrapT = TextureWrap::kClampToEdge;
        clampSampler_ = static_cast<int32_t>(asset_.samplers.size());
        asset_.samplers.push_back(sampler);
      }
      ref.sampler = clampSampler_;
    }
    if (map->transform) {
      // MTL's v runs up: the lookup at s * v + o from the bottom is 1 - s - o + s * v' from
      // the top, where v' = 1 - v.
      ref.hasTransform = true;
      ref.transform.scale[0] = map->scale[0];
      ref.transform.scale[1] = map->scale[1];
      ref.transform.offset[0] = map->offset[0];
      ref.transform.offset[1] = 1 - map->scale[1] - map->offset[1];
    }
    return ref;
  }

  ModelAsset& asset_;
  std::vector<MtlTextures>& extras_;
  const MtlImageResolver& image_;
  int32_t clampSampler_ = -1;
};

}  // namespace

std::size_t parseMtl(std::string_view text, ModelAsset& asset, std::vector<MtlTextures>& extras,
                     const MtlImageResolver& image) {
  Builder builder(asset, extras, image);
  std::optional<Written> current;
  std::size_t unknown = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* next;
    const std::string_view line = meshtext::lineAt(p, end, next);
    p = next;
    const char* q = meshtext::skipBlanks(line.data(), line.data() + line.size());
    const char* lineEnd = line.data() + line.size();
    const char* wordEnd = meshtext::tokenEnd(q, lineEnd);
    const std::string_view word(q, static_cast<std::size_t>(wordEnd - q));
    const std::string_view rest = meshtext::trimmed(std::string_view(wordEnd, static_cast<std::size_t>(lineEnd - wordEnd)));
    if (word.empty() || word[0] == '#') continue;
    if (word == "newmtl") {
      if (current) builder.finish(*current);
      current.emplace();
      current->name = std::string(rest);
      continue;
    }
    if (!current) {
      ++unknown;  // a statement before any material
      continue;
    }
    Written& w = *current;
    const std::vector<std::string_view> t = tokens(rest);
    auto scalar = [&]() -> float { return t.empty() ? 0.0f : static_cast<float>(number(t[0])); };
    // Keywords are matched without regard to case, as writers differ (map_Kd, map_kd).
    std::string key(word);
    for (char& c : key) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (key == "kd") w.kd = colourOf(t);
    else if (key == "ks") w.ks = colourOf(t);
    else if (key == "ke") w.ke = colourOf(t);
    else if (key == "ns") w.ns = scalar();
    else if (key == "d") w.d = t.size() > 1 && t[0] == "-halo" ? static_cast<float>(number(t[1])) : scalar();
    else if (key == "tr") w.tr = scalar();
    else if (key == "illum") {
      const float v = scalar();
      w.illum = v >= 0 && v <= 10 ? static_cast<int>(v) : 2;  // not a model: the usual one
    }
    else if (key == "pr") w.pr = scalar();
    else if (key == "pm") w.pm = scalar();
    else if (key == "ps") w.ps = colourOf(t);
    else if (key == "pc") w.pc = scalar();
    else if (key == "pcr") w.pcr = scalar();
    else if (key == "map_kd") w.mapKd = mapOf(rest);
    else if (key == "map_ks") w.mapKs = mapOf(rest);
    else if (key == "map_ke") w.mapKe = mapOf(rest);
    else if (key == "map_d") w.mapD = mapOf(rest);
    else if (key == "map_bump" || key == "bump" || key == "norm") w.mapBump = mapOf(rest);
    else if (key == "map_pr") w.mapPr = mapOf(rest);
    else if (key == "map_pm") w.mapPm = mapOf(rest);
    else if (key == "map_ps") w.mapPs = mapOf(rest);
    else if (key == "ka" || key == "map_ka" || key == "ni" || key == "tf" || key == "aniso" || key == "anisor" ||
             key == "map_ns" || key == "map_tr" || key == "disp" || key == "decal" || key == "refl" || key == "sharpness" ||
             key == "map_aat" || key == "km") {
    } else {
      ++unknown;
    }
  }
  if (current) builder.finish(*current);
  return unknown;
}
