#include "scene/drawable_model.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "model/load_error.h"
#include "model/matrix_math.h"
#include "model/model_format.h"
#include "model/tangent_space.h"
#include "scene/image_decoder.h"

namespace fs = std::filesystem;

namespace {

// Linear light grey: about 75% in display terms.
constexpr float kNeutralGrey = 0.52f;

// Where an image file named in a model is: as written, else a file of the same name in the
// model's folder whatever its letter case (a path from another machine, a name whose case the
// exporter changed). Empty when neither exists; `found` says whether the second was taken.
fs::path locate(const fs::path& written, const fs::path& modelFolder, bool& lookedUp) {
  lookedUp = false;
  std::error_code ec;
  if (fs::exists(written, ec)) return written;
  std::string name = written.filename().string();
  auto lower = [](std::string s) {
    for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
  };
  name = lower(name);
  if (name.empty()) return {};
  for (fs::directory_iterator it(modelFolder.empty() ? fs::path(".") : modelFolder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (lower(it->path().filename().string()) == name && it->is_regular_file(ec)) {
      lookedUp = true;
      return it->path();
    }
  }
  return {};
}

struct ImageResult {
  DrawableImage image;
  bool usable = false;
  std::string message;  // a warning line, or empty
};

void decodeOne(const ImageSource& source, const fs::path& modelFolder, const std::string& model, ImageResult& result) {
  result.image.name = source.name;
  const PixelRows rows = [&](int width, int height) {
    result.image.width = width;
    result.image.height = height;
    result.image.rgba.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    return result.image.rgba.data();
  };
  std::string why;
  ImageDecodeNotes notes;
  std::string where = "\"" + source.name + "\"";
  if (source.inMemory()) {
    result.usable = decodeImage(source.data(), source.name, PixelOrder::kRgbaTopRowFirst, rows, &why, &notes);
  } else {
    bool lookedUp = false;
    const fs::path path = locate(source.path, modelFolder, lookedUp);
    if (path.empty()) {
      why = "does not exist";
      where += " (resolved \"" + source.path.string() + "\")";
    } else {
      if (lookedUp) {
        result.message = "Warning: " + model + ": image \"" + source.name + "\" is not at \"" + source.path.string() +
                         "\"; \"" + path.string() + "\" is taken for it\n";
      }
      where += " (\"" + path.string() + "\")";
      result.image.file = path;
      result.usable = decodeImageFile(path, PixelOrder::kRgbaTopRowFirst, rows, &why, &notes);
    }
  }
  result.image.hasAlpha = notes.hasAlpha;
  if (!result.usable) {
    result.image.rgba = {};
    result.message += "Warning: " + model + ": image " + where + " " + why + "; its materials draw without it\n";
  } else if (!notes.warning.empty()) {
    result.message += "Warning: " + model + ": image " + where + " is damaged (" + notes.warning +
                      "); drawn as far as it decodes\n";
  }
}

// Each image once, on as many threads as the machine has; the warnings in the images' order.
std::vector<bool> decodeImages(const std::vector<ImageSource>& sources, const fs::path& modelFolder,
                               const std::string& model, std::vector<DrawableImage>& out) {
  std::vector<ImageResult> results(sources.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < sources.size();) decodeOne(sources[i], modelFolder, model, results[i]);
  };
  const std::size_t threads = std::min<std::size_t>(sources.size(), std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  std::vector<bool> usable(sources.size());
  out.clear();
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (!results[i].message.empty()) std::fputs(results[i].message.c_str(), stderr);
    usable[i] = results[i].usable;
    out.push_back(std::move(results[i].image));
  }
  return usable;
}

void clearUnusable(TextureRef& ref, const std::vector<bool>& usable) {
  if (ref.image >= 0 && (static_cast<std::size_t>(ref.image) >= usable.size() || !usable[static_cast<std::size_t>(ref.image)])) {
    ref.image = -1;
  }
}

// Textures that cannot be used are dropped from their materials, which then show their colour.
void settleMaterial(MaterialDescription& m, const std::vector<bool>& usable, const std::vector<DrawableImage>& images) {
  const bool hadBase = m.baseColorTexture.present();
  for (TextureRef* ref : {&m.baseColorTexture, &m.metallicRoughnessTexture, &m.normalTexture, &m.occlusionTexture,
                          &m.emissiveTexture, &m.clearcoat.texture, &m.clearcoat.roughnessTexture,
                          &m.clearcoat.normalTexture, &m.specular.texture, &m.specular.colorTexture,
                          &m.transmission.texture, &m.sheen.colorTexture, &m.sheen.roughnessTexture}) {
    clearUnusable(*ref, usable);
  }
  if (hadBase && !m.baseColorTexture.present()) {
    if (m.hasBaseColorWithoutTexture) {
      std::copy(m.baseColorWithoutTexture, m.baseColorWithoutTexture + 4, m.baseColor);
    } else if (m.baseColor[0] == 1 && m.baseColor[1] == 1 && m.baseColor[2] == 1) {
      m.baseColor[0] = m.baseColor[1] = m.baseColor[2] = kNeutralGrey;
    }
  }
  if (m.blendWhenTextureTranslucent && m.baseColorTexture.present() &&
      images[static_cast<std::size_t>(m.baseColorTexture.image)].hasAlpha) {
    m.alphaMode = AlphaMode::kBlend;
  }
}

bool finite3(const float* p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }

// Leaves out the elements with a corner outside the vertices or not finite; returns how many
// were left out for not being finite.
int64_t dropBadElements(MeshPrimitive& p) {
  const std::size_t corners = p.mode == PrimitiveMode::kTriangles ? 3 : p.mode == PrimitiveMode::kLines ? 2 : 1;
  const std::size_t vertices = p.vertexCount();
  std::vector<char> finite(vertices);
  for (std::size_t v = 0; v < vertices; ++v) finite[v] = finite3(&p.positions[v * 3]);
  int64_t dropped = 0;
  std::size_t kept = 0;
  for (std::size_t e = 0; e + corners <= p.indices.size(); e += corners) {
    bool good = true, inRange = true;
    for (std::size_t c = 0; c < corners; ++c) {
      const uint32_t index = p.indices[e + c];
      inRange = inRange && index < vertices;
      good = good && inRange && finite[index] != 0;
    }
    if (!good) {
      dropped += inRange ? 1 : 0;
      continue;
    }
    std::copy(p.indices.begin() + static_cast<std::ptrdiff_t>(e), p.indices.begin() + static_cast<std::ptrdiff_t>(e + corners),
              p.indices.begin() + static_cast<std::ptrdiff_t>(kept));
    kept += corners;
  }
  p.indices.resize(kept);
  return dropped;
}

// Each triangle's own normal at corners of its own: the primitive gives none to share.
void flatNormals(MeshPrimitive& p) {
  MeshPrimitive flat;
  flat.mode = p.mode;
  flat.material = p.material;
  const bool uv0 = !p.texCoords[0].empty(), uv1 = !p.texCoords[1].empty(), colors = !p.colors.empty();
  const bool skinned = !p.joints.empty(), tangents = !p.tangents.empty();
  flat.targets.resize(p.targets.size());
  for (std::size_t t = 0; t < p.indices.size(); t += 3) {
    const float* a = &p.positions[p.indices[t] * 3];
    const float* b = &p.positions[p.indices[t + 1] * 3];
    const float* c = &p.positions[p.indices[t + 2] * 3];
    const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (float& x : n) x = length > 0 ? x / length : 0;
    if (length == 0) n[2] = 1;
    for (int k = 0; k < 3; ++k) {
      const uint32_t i = p.indices[t + k];
      flat.indices.push_back(static_cast<uint32_t>(flat.positions.size() / 3));
      flat.positions.insert(flat.positions.end(), &p.positions[i * 3], &p.positions[i * 3] + 3);
      flat.normals.insert(flat.normals.end(), n, n + 3);
      if (uv0) flat.texCoords[0].insert(flat.texCoords[0].end(), &p.texCoords[0][i * 2], &p.texCoords[0][i * 2] + 2);
      if (uv1) flat.texCoords[1].insert(flat.texCoords[1].end(), &p.texCoords[1][i * 2], &p.texCoords[1][i * 2] + 2);
      if (colors) flat.colors.insert(flat.colors.end(), &p.colors[i * 4], &p.colors[i * 4] + 4);
      if (tangents) flat.tangents.insert(flat.tangents.end(), &p.tangents[i * 4], &p.tangents[i * 4] + 4);
      if (skinned) {
        flat.joints.insert(flat.joints.end(), &p.joints[i * 4], &p.joints[i * 4] + 4);
        flat.weights.insert(flat.weights.end(), &p.weights[i * 4], &p.weights[i * 4] + 4);
      }
      for (std::size_t m = 0; m < p.targets.size(); ++m) {
        for (auto [from, to] : {std::pair{&p.targets[m].positions, &flat.targets[m].positions},
                                std::pair{&p.targets[m].normals, &flat.targets[m].normals},
                                std::pair{&p.targets[m].tangents, &flat.targets[m].tangents}}) {
          if (!from->empty()) to->insert(to->end(), &(*from)[i * 3], &(*from)[i * 3] + 3);
        }
      }
    }
  }
  p = std::move(flat);
}

// Whether the attributes agree in length with the positions; a reader's mistake leaves the
// attribute out rather than reading past it.
void trimAttributes(MeshPrimitive& p) {
  const std::size_t n = p.vertexCount();
  auto fit = [n](auto& values, std::size_t per) {
    if (!values.empty() && values.size() != n * per) values.clear();
  };
  fit(p.normals, 3);
  fit(p.tangents, 4);
  fit(p.texCoords[0], 2);
  fit(p.texCoords[1], 2);
  fit(p.colors, 4);
  if (p.joints.size() != n * 4 || p.weights.size() != n * 4) {
    p.joints.clear();
    p.weights.clear();
  }
  for (MorphTarget& t : p.targets) {
    fit(t.positions, 3);
    fit(t.normals, 3);
    fit(t.tangents, 3);
  }
}

}  // namespace

int64_t DrawableModel::drawnElements(PrimitiveMode mode) const {
  std::vector<int64_t> perMesh(meshes.size(), 0);
  for (std::size_t m = 0; m < meshes.size(); ++m) {
    for (const MeshPrimitive& p : meshes[m].primitives) {
      if (p.mode == mode) perMesh[m] += static_cast<int64_t>(p.elementCount());
    }
  }
  int64_t total = 0;
  for (const DrawableInstance& instance : instances) total += perMesh[static_cast<std::size_t>(instance.mesh)];
  return total;
}

Matrix4 upAxisTurn(UpAxis up) {
  switch (up) {
    case UpAxis::kY:  // a quarter turn about x: y becomes z, z becomes -y
      return {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};
    case UpAxis::kX:  // a quarter turn about y: x becomes z, z becomes -x
      return {0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1};
    case UpAxis::kZ:
      break;
  }
  return kIdentityMatrix;
}

bool buildDrawableModel(ModelAsset asset, DrawableModel& out, bool decode) {
  out = DrawableModel{};
  out.name = asset.name;
  out.file = asset.file;
  const std::string label = asset.file.empty() ? asset.name : asset.file.string();
  out.materials = std::move(asset.materials);
  if (decode) {
    const std::vector<bool> usable = decodeImages(asset.images, asset.file.parent_path(), label, out.images);
    for (MaterialDescription& m : out.materials) settleMaterial(m, usable, out.images);
  } else {
    out.images.resize(asset.images.size());
    for (std::size_t i = 0; i < asset.images.size(); ++i) out.images[i].name = asset.images[i].name;
  }
  // The default: a neutral light grey, never black, seen from both sides.
  MaterialDescription& neutral = out.materials.emplace_back();
  neutral.name = "(default)";
  neutral.baseColor[0] = neutral.baseColor[1] = neutral.baseColor[2] = kNeutralGrey;
  neutral.metallic = 0;
  neutral.roughness = 0.7f;
  neutral.doubleSided = true;

  int64_t notFinite = 0;
  out.meshes = std::move(asset.meshes);
  for (Mesh& mesh : out.meshes) {
    for (MeshPrimitive& p : mesh.primitives) {
      if (p.material < 0 || static_cast<std::size_t>(p.material) >= out.materials.size() - 1) {
        p.material = out.defaultMaterial();
      }
      trimAttributes(p);
      notFinite += dropBadElements(p);
      if (p.mode == PrimitiveMode::kTriangles && p.normals.empty() && !p.indices.empty()) flatNormals(p);
      const MaterialDescription& m = out.materials[static_cast<std::size_t>(p.material)];
      const TextureRef& normals = m.normalTexture.present() ? m.normalTexture : m.clearcoat.normalTexture;
      if (p.mode == PrimitiveMode::kTriangles && p.tangents.empty() && normals.present()) {
        generateTangents(p, normals.texCoord);
      }
    }
    std::erase_if(mesh.primitives, [](const MeshPrimitive& p) { return p.indices.empty(); });
  }
  if (notFinite > 0) {
    std::fprintf(stderr, "Warning: %s: %lld triangles, lines or points with a corner that is not finite are left out\n",
                 label.c_str(), static_cast<long long>(notFinite));
  }

  out.samplers = std::move(asset.samplers);
  out.nodes = std::move(asset.nodes);
  out.skins = std::move(asset.skins);
  out.animations = std::move(asset.animations);
  out.lights = std::move(asset.lights);
  out.cameras = std::move(asset.cameras);
  out.rootTransform = upAxisTurn(asset.upAxis);
  out.metresPerUnit = asset.metresPerUnit;
  out.extensionsUsed = std::move(asset.extensionsUsed);
  out.extensionsRequired = std::move(asset.extensionsRequired);
  out.generator = std::move(asset.generator);

  for (std::size_t n = 0; n < out.nodes.size(); ++n) {
    const AssetNode& node = out.nodes[n];
    if (node.mesh < 0 || static_cast<std::size_t>(node.mesh) >= out.meshes.size()) continue;
    if (out.meshes[static_cast<std::size_t>(node.mesh)].primitives.empty()) continue;
    const int32_t skin = node.skin >= 0 && static_cast<std::size_t>(node.skin) < out.skins.size() ? node.skin : -1;
    const auto place = [&](int32_t placement) {
      out.instances.push_back({node.mesh, static_cast<int32_t>(n), placement, skin});
    };
    if (node.placements.empty()) place(-1);
    for (std::size_t k = 0; k < node.placements.size(); ++k) place(static_cast<int32_t>(k));
  }
  ModelPose rest;
  RestPose(out, rest);
  ComposeWorlds(out, rest);
  out.bounds = PosedBounds(out, rest);
  if (out.instances.empty() || out.bounds.empty) {
    printLoadError("%s: no geometry to draw", label.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> unshadedExtensions(const DrawableModel& model) {
  // What the model view's shading takes from a material; the rest is read and kept only.
  static constexpr std::string_view kShaded[] = {
      "KHR_materials_emissive_strength", "KHR_materials_unlit", "KHR_texture_transform",
      "KHR_materials_pbrSpecularGlossiness", "KHR_materials_clearcoat", "KHR_materials_ior",
      "KHR_materials_specular"};
  std::vector<std::string> names;
  for (const MaterialDescription& m : model.materials) {
    for (const std::string& name : m.extensions) {
      if (std::find(std::begin(kShaded), std::end(kShaded), name) == std::end(kShaded) &&
          std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::shared_ptr<DrawableModel> loadDrawableModel(const std::filesystem::path& file,
                                                 std::span<const std::filesystem::path> animations) {
  ModelAsset asset;
  if (!readModelAsset(file, animations, asset)) return nullptr;
  auto model = std::make_shared<DrawableModel>();
  if (!buildDrawableModel(std::move(asset), *model)) return nullptr;
  if (const std::vector<std::string> names = unshadedExtensions(*model); !names.empty()) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    std::fprintf(stderr, "Warning: %s: materials use what the view does not shade: %s\n", file.string().c_str(),
                 list.c_str());
  }
  return model;
}

// ---- Posing

namespace {

// The key interval of `time` in `times`: the key before it and how far towards the next.
struct KeySpan {
  std::size_t first = 0, second = 0;
  float fraction = 0, duration = 0;
};

KeySpan spanOf(const std::vector<float>& times, float time) {
  KeySpan span;
  if (times.empty()) return span;
  if (!(time > times.front())) return span;
  if (time >= times.back()) {
    span.first = span.second = times.size() - 1;
    return span;
  }
  const auto next = std::upper_bound(times.begin(), times.end(), time);
  span.second = static_cast<std::size_t>(next - times.begin());
  span.first = span.second - 1;
  span.duration = times[span.second] - times[span.first];
  span.fraction = span.duration > 0 ? (time - times[span.first]) / span.duration : 0;
  return span;
}

// The channel's value at `span`, `n` floats a value, into `out`.
void sample(const AnimationChannel& channel, const KeySpan& span, std::size_t n, float* out) {
  const bool cubic = channel.interpolation == Interpolation::kCubicSpline;
  const std::size_t stride = cubic ? 3 * n : n;
  const std::size_t keys = channel.values.size() / stride;
  if (keys == 0) return;
  const std::size_t a = std::min(span.first, keys - 1), b = std::min(span.second, keys - 1);
  const float* value0 = channel.values.data() + a * stride + (cubic ? n : 0);
  const float* value1 = channel.values.data() + b * stride + (cubic ? n : 0);
  const float t = span.fraction;
  if (a == b || channel.interpolation == Interpolation::kStep) {
    std::copy(value0, value0 + n, out);
    return;
  }
  if (cubic) {
    // Hermite between the two values with their out- and in-tangents, scaled by the span.
    const float* out0 = value0 + n;
    const float* in1 = channel.values.data() + b * stride;
    const float t2 = t * t, t3 = t2 * t;
    const float h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = h00 * value0[i] + h10 * span.duration * out0[i] + h01 * value1[i] + h11 * span.duration * in1[i];
    }
    return;
  }
  if (channel.path == AnimationPath::kRotation) {
    // Spherical, along the shorter of the two arcs.
    float dot = 0;
    for (int i = 0; i < 4; ++i) dot += value0[i] * value1[i];
    const float sign = dot < 0 ? -1.0f : 1.0f;
    dot = std::fabs(dot);
    float w0 = 1 - t, w1 = t;
    if (dot < 0.9995f) {
      const float angle = std::acos(std::min(dot, 1.0f));
      const float s = std::sin(angle);
      w0 = std::sin((1 - t) * angle) / s;
      w1 = std::sin(t * angle) / s;
    }
    for (int i = 0; i < 4; ++i) out[i] = w0 * value0[i] + w1 * sign * value1[i];
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = value0[i] + (value1[i] - value0[i]) * t;
}

void normalize(float q[4]) {
  const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (length > 0) {
    for (int i = 0; i < 4; ++i) q[i] /= length;
  } else {
    q[0] = q[1] = q[2] = 0;
    q[3] = 1;
  }
}

}  // namespace

void RestPose(const DrawableModel& model, ModelPose& pose) {
  pose.locals.resize(model.nodes.size());
  pose.worlds.resize(model.nodes.size());
  for (std::size_t i = 0; i < model.nodes.size(); ++i) pose.locals[i] = model.nodes[i].local;
}

void SamplePose(const DrawableModel& model, const AnimationClip& clip, float time, ModelPose& pose) {
  RestPose(model, pose);
  // Per animated node, its parts as the channels leave them; a node touched by a part channel
  // is rebuilt from them after.
  struct Parts {
    float translation[3], rotation[4], scale[3];
    bool touched = false;
  };
  thread_local std::vector<Parts> parts;
  parts.assign(model.nodes.size(), Parts{});
  for (const AnimationChannel& channel : clip.channels) {
    if (channel.node < 0 || static_cast<std::size_t>(channel.node) >= model.nodes.size()) continue;
    const auto n = static_cast<std::size_t>(channel.node);
    const KeySpan span = spanOf(channel.times, time);
    if (channel.path == AnimationPath::kMatrix) {
      float m[16];
      sample(channel, span, 16, m);
      std::copy(m, m + 16, pose.locals[n].begin());
      continue;
    }
    if (channel.path == AnimationPath::kWeights) continue;  // morph weights: not posed here
    Parts& p = parts[n];
    if (!p.touched) {
      const AssetNode& node = model.nodes[n];
      std::copy(node.translation, node.translation + 3, p.translation);
      std::copy(node.rotation, node.rotation + 4, p.rotation);
      std::copy(node.scale, node.scale + 3, p.scale);
      p.touched = true;
    }
    switch (channel.path) {
      case AnimationPath::kTranslation: sample(channel, span, 3, p.translation); break;
      case AnimationPath::kRotation:
        sample(channel, span, 4, p.rotation);
        normalize(p.rotation);
        break;
      case AnimationPath::kScale: sample(channel, span, 3, p.scale); break;
      default: break;
    }
  }
  for (std::size_t n = 0; n < parts.size(); ++n) {
    if (parts[n].touched) pose.locals[n] = trsMatrix(parts[n].translation, parts[n].rotation, parts[n].scale);
  }
}

void ComposeWorlds(const DrawableModel& model, ModelPose& pose) {
  pose.worlds.resize(model.nodes.size());
  for (std::size_t i = 0; i < model.nodes.size(); ++i) {
    const int32_t parent = model.nodes[i].parent;
    const Matrix4& above = parent >= 0 && static_cast<std::size_t>(parent) < i ? pose.worlds[static_cast<std::size_t>(parent)]
                                                                                : model.rootTransform;
    MatrixMultiply(pose.worlds[i], pose.locals[i], above);
  }
}

Matrix4 InstanceWorld(const DrawableModel& model, const ModelPose& pose, const DrawableInstance& instance) {
  if (instance.node < 0 || static_cast<std::size_t>(instance.node) >= pose.worlds.size()) return model.rootTransform;
  const Matrix4& world = pose.worlds[static_cast<std::size_t>(instance.node)];
  const auto& placements = model.nodes[static_cast<std::size_t>(instance.node)].placements;
  if (instance.placement < 0 || static_cast<std::size_t>(instance.placement) >= placements.size()) return world;
  Matrix4 placed;
  MatrixMultiply(placed, placements[static_cast<std::size_t>(instance.placement)], world);
  return placed;
}

void JointMatrices(const DrawableModel& model, const ModelPose& pose, int32_t skin, std::vector<Matrix4>& out) {
  out.clear();
  if (skin < 0 || static_cast<std::size_t>(skin) >= model.skins.size()) return;
  const Skin& s = model.skins[static_cast<std::size_t>(skin)];
  out.resize(s.joints.size(), kIdentityMatrix);
  for (std::size_t j = 0; j < s.joints.size(); ++j) {
    const int32_t node = s.joints[j];
    if (node < 0 || static_cast<std::size_t>(node) >= pose.worlds.size()) continue;
    const Matrix4& inverseBind = j < s.inverseBinds.size() ? s.inverseBinds[j] : kIdentityMatrix;
    MatrixMultiply(out[j], inverseBind, pose.worlds[static_cast<std::size_t>(node)]);
  }
}

SceneBounds PosedBounds(const DrawableModel& model, const ModelPose& pose) {
  constexpr int64_t kPointBudget = 50000000;
  int64_t budget = kPointBudget;
  SceneBounds bounds;
  // Per mesh, its box and the vertices its elements use, each once.
  std::vector<SceneBounds> meshBoxes(model.meshes.size());
  std::vector<std::vector<std::vector<uint32_t>>> usedVertices(model.meshes.size());
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    for (const MeshPrimitive& p : model.meshes[m].primitives) {
      std::vector<char> used(p.vertexCount(), 0);
      std::vector<uint32_t>& list = usedVertices[m].emplace_back();
      for (uint32_t i : p.indices) {
        if (used[i] != 0) continue;
        used[i] = 1;
        list.push_back(i);
        meshBoxes[m].add(&p.positions[i * 3]);
      }
    }
  }
  std::vector<Matrix4> joints;
  for (const DrawableInstance& instance : model.instances) {
    const Mesh& mesh = model.meshes[static_cast<std::size_t>(instance.mesh)];
    const SceneBounds& box = meshBoxes[static_cast<std::size_t>(instance.mesh)];
    if (box.empty) continue;
    if (instance.skin >= 0) JointMatrices(model, pose, instance.skin, joints);
    const Matrix4 world = InstanceWorld(model, pose, instance);
    const auto& used = usedVertices[static_cast<std::size_t>(instance.mesh)];
    int64_t points = 0;
    for (const auto& list : used) points += static_cast<int64_t>(list.size());
    if (instance.skin < 0 && points > budget) {
      for (int c = 0; c < 8; ++c) {
        const float corner[3] = {c & 1 ? box.max[0] : box.min[0], c & 2 ? box.max[1] : box.min[1], c & 4 ? box.max[2] : box.min[2]};
        float w[3];
        TransformPoint(world, corner, w);
        bounds.add(w);
      }
      continue;
    }
    budget -= points;
    for (std::size_t k = 0; k < mesh.primitives.size(); ++k) {
      const MeshPrimitive& p = mesh.primitives[k];
      for (uint32_t v : used[k]) {
        const float* at = &p.positions[v * 3];
        float w[3] = {};
        if (instance.skin >= 0 && !p.joints.empty()) {
          for (int k = 0; k < 4; ++k) {
            const float weight = p.weights[v * 4 + k];
            const uint16_t joint = p.joints[v * 4 + k];
            if (weight == 0 || joint >= joints.size()) continue;
            float moved[3];
            TransformPoint(joints[joint], at, moved);
            for (int i = 0; i < 3; ++i) w[i] += weight * moved[i];
          }
        } else {
          TransformPoint(world, at, w);
        }
        if (finite3(w)) bounds.add(w);
      }
    }
  }
  return bounds;
}

void TransformPoint(const Matrix4& m, const float p[3], float out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = p[0] * m[k] + p[1] * m[4 + k] + p[2] * m[8 + k] + m[12 + k];
}
