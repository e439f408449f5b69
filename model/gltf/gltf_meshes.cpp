#include "model/gltf/gltf_meshes.h"

#include <draco/compression/decode.h>
#include <draco/core/decoder_buffer.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <unordered_map>

#include "model/tangent_space.h"

namespace gltf {

namespace {

enum Mode : uint32_t { kPoints, kLines, kLineLoop, kLineStrip, kTriangles, kTriangleStrip, kTriangleFan };

// The accessors of a primitive's attributes, by what the asset keeps; -1: absent.
struct Sources {
  int32_t position = -1, normal = -1, tangent = -1, color = -1;
  int32_t texCoord[2] = {-1, -1};
  int32_t joints[2] = {-1, -1};
  int32_t weights[2] = {-1, -1};
  std::string_view colorName = "COLOR_0";
};

// The Draco-compressed part of a primitive: the decoded mesh and which of its attributes
// stands for which glTF attribute.
struct Draco {
  std::shared_ptr<const draco::Mesh> mesh;
  Object attributes;
  bool present = false;
};

bool readSources(Context& c, Object attributes, const Where& where, Sources& s) {
  for (auto [key, value] : attributes) {
    int32_t index = -1;
    if (!toIndex(c.m, value, where[key], index)) return false;
    if (key == "POSITION")
      s.position = index;
    else if (key == "NORMAL")
      s.normal = index;
    else if (key == "TANGENT")
      s.tangent = index;
    else if (key == "TEXCOORD_0")
      s.texCoord[0] = index;
    else if (key == "TEXCOORD_1")
      s.texCoord[1] = index;
    else if (key == "COLOR_0")
      s.color = index;
    else if (key == "JOINTS_0")
      s.joints[0] = index;
    else if (key == "JOINTS_1")
      s.joints[1] = index;
    else if (key == "WEIGHTS_0")
      s.weights[0] = index;
    else if (key == "WEIGHTS_1")
      s.weights[1] = index;
    // Further texture coordinate sets, colours and application-specific attributes (_NAME)
    // have no place in the asset.
  }
  return true;
}

// The glTF attribute name of a Draco attribute, and its unique id there; false when the
// Draco extension does not compress it.
bool dracoId(Context& c, const Draco& draco, std::string_view name, const Where& where, int32_t& id) {
  Element value;
  if (!draco.present || !member(draco.attributes, name, value)) return false;
  return toIndex(c.m, value, where, id);
}

float normalizeScale(draco::DataType type) {
  switch (type) {
    case draco::DT_INT8:
      return 1.0f / 127;
    case draco::DT_UINT8:
      return 1.0f / 255;
    case draco::DT_INT16:
      return 1.0f / 32767;
    case draco::DT_UINT16:
      return 1.0f / 65535;
    default:
      return 0;
  }
}

// A Draco attribute, `components` values per point.
template <class T>
bool dracoValues(Context& c, const Where& where, const Draco& draco, int32_t id, uint32_t components, bool normalized,
                 std::vector<T>& out) {
  const draco::PointAttribute* attribute = draco.mesh->GetAttributeByUniqueId(static_cast<uint32_t>(id));
  if (attribute == nullptr) return c.m.fail(&where, "the Draco data has no attribute %d", id);
  const uint32_t points = draco.mesh->num_points();
  if (!c.mayProduce(uint64_t{points} * components * sizeof(T))) {
    return c.m.fail(&where, "the Draco data makes more than the document can hold");
  }
  out.resize(std::size_t{points} * components);
  for (uint32_t point = 0; point < points; ++point) {
    const draco::AttributeValueIndex value = attribute->mapped_index(draco::PointIndex(point));
    if (value.value() >= attribute->size() ||
        !attribute->ConvertValue<T>(value, static_cast<int8_t>(components),
                                    out.data() + std::size_t{point} * components)) {
      return c.m.fail(&where, "Draco attribute %d has no value for point %u", id, point);
    }
  }
  if constexpr (std::is_floating_point_v<T>) {
    // Draco keeps integers as they are unless it marks them normalized itself.
    const float scale = normalizeScale(attribute->data_type());
    if (normalized && !attribute->normalized() && scale != 0) {
      for (T& v : out) v = std::max(v * scale, -1.0f);
    }
  }
  return true;
}

// A Draco-compressed primitive's data, decoded before the meshes are read (in parallel where
// there is much of it).
struct DracoJob {
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  std::shared_ptr<const draco::Mesh> mesh;
  std::string error;
  std::size_t uses = 0;  // primitives still to read it: the last lets it go
};
// By buffer view: primitives that share one decode it once.
using DracoJobs = std::unordered_map<int32_t, DracoJob>;

void decodeDracoJob(DracoJob& job) {
  draco::DecoderBuffer buffer;
  buffer.Init(reinterpret_cast<const char*>(job.data), job.size);
  auto type = draco::Decoder::GetEncodedGeometryType(&buffer);
  if (!type.ok() || type.value() != draco::TRIANGULAR_MESH) {
    job.error = "holds no Draco triangle mesh";
    return;
  }
  draco::Decoder decoder;
  auto decoded = decoder.DecodeMeshFromBuffer(&buffer);
  if (!decoded.ok()) {
    job.error = std::string("Draco cannot decode it: ") + decoded.status().error_msg();
    return;
  }
  job.mesh = std::move(decoded).value();
}

// The Draco data of every primitive whose extension names a buffer view, decoded, each view
// once. A primitive this skips (its JSON has the wrong shape) is failed when it is read.
bool decodeDracoPrimitives(Context& c, DracoJobs& jobs) {
  uint64_t bytes = 0;
  for (std::size_t m = 0; m < c.meshes.size(); ++m) {
    Object mesh, primitive, extensions, draco;
    Array primitives;
    if (c.meshes[m].get_object().get(mesh) != simdjson::SUCCESS ||
        mesh["primitives"].get_array().get(primitives) != simdjson::SUCCESS) {
      continue;
    }
    std::size_t p = 0;
    for (Element e : primitives) {
      const std::size_t index = p++;
      double view = -1;
      if (e.get_object().get(primitive) != simdjson::SUCCESS ||
          primitive["extensions"].get_object().get(extensions) != simdjson::SUCCESS ||
          extensions["KHR_draco_mesh_compression"].get_object().get(draco) != simdjson::SUCCESS ||
          draco["bufferView"].get_double().get(view) != simdjson::SUCCESS || !(view >= 0 && view <= INT32_MAX) ||
          view != std::floor(view)) {
        continue;
      }
      const Where meshWhere = Where().at("meshes", static_cast<int64_t>(m));
      const Where at = meshWhere.at("primitives", static_cast<int64_t>(index)), ext = at["extensions"];
      const Where dracoWhere = ext["KHR_draco_mesh_compression"];
      Bytes data;
      const auto known = jobs.find(static_cast<int32_t>(view));
      if (known != jobs.end()) {
        ++known->second.uses;
        continue;
      }
      if (!viewBytes(c, dracoWhere["bufferView"], static_cast<int32_t>(view), data)) return false;
      DracoJob& job = jobs[static_cast<int32_t>(view)];
      job.uses = 1;
      job.data = data.data();
      job.size = data.size;
      bytes += data.size;
    }
  }
  std::vector<DracoJob*> list;
  for (auto& [key, job] : jobs) list.push_back(&job);
  // Draco decodes some ten megabytes a second: threads pay from 64 KiB on.
  runParallel(list.size(), bytes >= (uint64_t{64} << 10), [&](std::size_t i) { decodeDracoJob(*list[i]); });
  return true;
}

bool decodeDraco(Context& c, Object extension, const Where& where, DracoJobs& jobs, Draco& draco) {
  int32_t view = -1;
  Element value;
  if (!member(extension, "bufferView", value) || !member(extension, "attributes", value)) {
    return c.m.fail(&where, "needs bufferView and attributes");
  }
  bool present = false;
  if (!optIndex(c.m, extension, "bufferView", where, view) ||
      !optObject(c.m, extension, "attributes", where, draco.attributes, present)) {
    return false;
  }
  // Every primitive whose bufferView is an index was decoded before.
  const auto job = jobs.find(view);
  if (job == jobs.end()) return c.m.fail(&where, "bufferViews[%d] was not decoded", view);
  if (job->second.mesh == nullptr) return c.m.fail(&where, "bufferViews[%d] %s", view, job->second.error.c_str());
  draco.mesh = job->second.mesh;
  if (job->second.uses > 0 && --job->second.uses == 0) job->second.mesh.reset();
  draco.present = true;
  if (!c.mayExpandTo((uint64_t{draco.mesh->num_points()} + draco.mesh->num_faces()) * 12)) {
    return c.m.fail(&where, "bufferViews[%d]: Draco data claims more points than it can hold", view);
  }
  return true;
}

bool allFinite(const std::vector<float>& values) {
  // A float whose exponent bits are all ones is an infinity or not a number.
  uint32_t bad = 0;
  for (float f : values) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad == 0;
}

// An attribute as floats, from the Draco data when it compresses it, else from its accessor;
// checked to have `count` elements (the first attribute read sets it).
bool attributeFloats(Context& c, const Where& attributes, const Draco& draco, std::string_view name, int32_t index,
                     uint32_t typeMask, uint32_t components, std::vector<float>& out, uint64_t& count,
                     uint32_t* gotComponents = nullptr) {
  const Where where = attributes[name];
  int32_t id = -1;
  uint64_t got = 0;
  if (dracoId(c, draco, name, where, id)) {
    const Accessor* a = nullptr;
    if (!accessorOf(c, where, index, typeMask, kAnyFloatSource, a)) return false;
    const uint32_t n = gotComponents != nullptr ? a->components : components;
    if (gotComponents != nullptr) *gotComponents = n;
    if (!dracoValues(c, where, draco, id, n, a->normalized, out)) return false;
    got = draco.mesh->num_points();
  } else {
    if (c.m.failed()) return false;
    uint32_t n = 0;
    if (!readFloats(c, where, index, typeMask, kAnyFloatSource, out, &n)) return false;
    if (gotComponents != nullptr) *gotComponents = n;
    got = out.size() / std::max(n, 1u);
  }
  if (count == UINT64_MAX) count = got;
  if (got != count) {
    return c.m.fail(&where, "%llu elements, where POSITION has %llu", static_cast<unsigned long long>(got),
                    static_cast<unsigned long long>(count));
  }
  return true;
}

bool attributeJoints(Context& c, const Where& attributes, const Draco& draco, std::string_view name, int32_t index,
                     std::vector<uint16_t>& out, uint64_t count) {
  const Where where = attributes[name];
  int32_t id = -1;
  if (dracoId(c, draco, name, where, id)) {
    if (!dracoValues(c, where, draco, id, 4, false, out)) return false;
  } else {
    if (c.m.failed() || !readUint16s(c, where, index, typeBit(kVec4), out)) return false;
  }
  if (out.size() != count * 4) {
    return c.m.fail(&where, "%zu elements, where POSITION has %llu", out.size() / 4,
                    static_cast<unsigned long long>(count));
  }
  return true;
}

// Folds a second set of four influences into the first: the four heaviest of the eight stay.
void foldInfluences(MeshPrimitive& p, const std::vector<uint16_t>& joints, const std::vector<float>& weights) {
  const std::size_t count = p.vertexCount();
  for (std::size_t v = 0; v < count; ++v) {
    uint16_t j[8];
    float w[8];
    for (int k = 0; k < 4; ++k) {
      j[k] = p.joints[v * 4 + k];
      w[k] = p.weights[v * 4 + k];
      j[4 + k] = joints[v * 4 + k];
      w[4 + k] = weights[v * 4 + k];
    }
    int order[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    std::stable_sort(order, order + 8, [&](int a, int b) { return w[a] > w[b]; });
    for (int k = 0; k < 4; ++k) {
      p.joints[v * 4 + k] = j[order[k]];
      p.weights[v * 4 + k] = w[order[k]];
    }
  }
}

// Normals made unit length where they are not; a zero normal stays zero.
void normalizeNormals(std::vector<float>& normals) {
  float* n = normals.data();
  const std::size_t count = normals.size() / 3;
  for (std::size_t i = 0; i < count; ++i) {
    const float x = n[i * 3], y = n[i * 3 + 1], z = n[i * 3 + 2];
    const float lengthSquared = x * x + y * y + z * z;
    if (std::fabs(lengthSquared - 1.0f) > 1e-4f && lengthSquared > 1e-20f) [[unlikely]] {
      const float s = 1.0f / std::sqrt(lengthSquared);
      n[i * 3] = x * s;
      n[i * 3 + 1] = y * s;
      n[i * 3 + 2] = z * s;
    }
  }
}

bool readVertices(Context& c, const Where& where, const Sources& s, const Draco& draco, MeshPrimitive& p) {
  const Where attributes = where["attributes"];
  const uint32_t vec3 = typeBit(kVec3), vec4 = typeBit(kVec4);
  uint64_t count = UINT64_MAX;
  if (!attributeFloats(c, attributes, draco, "POSITION", s.position, vec3, 3, p.positions, count)) return false;
  if (!allFinite(p.positions)) return c.m.fail(&attributes, "POSITION holds a value that is no finite number");
  if (s.normal >= 0) {
    if (!attributeFloats(c, attributes, draco, "NORMAL", s.normal, vec3, 3, p.normals, count)) return false;
    // Float normals are unit length as files must write them (checking costs as much as
    // reading them); quantized ones come out only near it.
    if (c.accessors[static_cast<std::size_t>(s.normal)].componentType != kFloat) normalizeNormals(p.normals);
  }
  if (s.tangent >= 0 && !attributeFloats(c, attributes, draco, "TANGENT", s.tangent, vec4, 4, p.tangents, count)) {
    return false;
  }
  static constexpr std::string_view kTexCoordNames[] = {"TEXCOORD_0", "TEXCOORD_1"};
  for (int set = 0; set < 2; ++set) {
    if (s.texCoord[set] >= 0 && !attributeFloats(c, attributes, draco, kTexCoordNames[set], s.texCoord[set],
                                                 typeBit(kVec2), 2, p.texCoords[set], count)) {
      return false;
    }
  }
  if (s.color >= 0) {
    uint32_t components = 0;
    std::vector<float> colors;
    if (!attributeFloats(c, attributes, draco, "COLOR_0", s.color, vec3 | vec4, 4, colors, count, &components)) {
      return false;
    }
    if (components == 4) {
      p.colors = std::move(colors);
    } else {
      p.colors.resize(count * 4);
      for (std::size_t v = 0; v < count; ++v) {
        std::copy_n(colors.data() + v * 3, 3, p.colors.data() + v * 4);
        p.colors[v * 4 + 3] = 1;
      }
    }
  }
  static constexpr std::string_view kJointNames[] = {"JOINTS_0", "JOINTS_1"};
  static constexpr std::string_view kWeightNames[] = {"WEIGHTS_0", "WEIGHTS_1"};
  for (int set = 0; set < 2; ++set) {
    if ((s.joints[set] >= 0) != (s.weights[set] >= 0)) {
      c.m.warn("%s: %s without %s is left out", attributes.text().c_str(),
               std::string(s.joints[set] >= 0 ? kJointNames[set] : kWeightNames[set]).c_str(),
               std::string(s.joints[set] >= 0 ? kWeightNames[set] : kJointNames[set]).c_str());
      continue;
    }
    if (s.joints[set] < 0 || (set == 1 && p.joints.empty())) continue;
    std::vector<uint16_t> joints;
    std::vector<float> weights;
    if (!attributeJoints(c, attributes, draco, kJointNames[set], s.joints[set], joints, count) ||
        !attributeFloats(c, attributes, draco, kWeightNames[set], s.weights[set], vec4, 4, weights, count)) {
      return false;
    }
    if (set == 0) {
      p.joints = std::move(joints);
      p.weights = std::move(weights);
    } else {
      c.m.warn("vertices weighted to more than four joints keep their four heaviest");
      foldInfluences(p, joints, weights);
    }
  }
  return true;
}

bool readTargets(Context& c, Array targets, const Where& where, MeshPrimitive& p) {
  const uint64_t count = p.vertexCount();
  int64_t t = 0;
  for (Element e : targets) {
    const Where at = where.at("targets", t++);
    Object target;
    if (!toObject(c.m, e, at, target)) return false;
    MorphTarget& out = p.targets.emplace_back();
    struct {
      std::string_view name;
      std::vector<float>* values;
    } const members[] = {{"POSITION", &out.positions}, {"NORMAL", &out.normals}, {"TANGENT", &out.tangents}};
    for (const auto& m : members) {
      int32_t index = -1;
      Element value;
      if (!member(target, m.name, value)) continue;
      if (!toIndex(c.m, value, at[m.name], index) ||
          !readFloats(c, at[m.name], index, typeBit(kVec3), kAnyFloatSource, *m.values)) {
        return false;
      }
      if (m.values->size() != count * 3) {
        return c.m.fail(&at, "%s has %zu elements, where POSITION has %llu", std::string(m.name).c_str(),
                        m.values->size() / 3, static_cast<unsigned long long>(count));
      }
    }
    if (!allFinite(out.positions)) return c.m.fail(&at, "POSITION holds a value that is no finite number");
  }
  return true;
}

// The primitive's corners as lists of its mode: strips, fans and loops unrolled.
bool assembleIndices(Context& c, const Where& where, uint32_t mode, std::vector<uint32_t>&& corners, MeshPrimitive& p) {
  const std::size_t n = corners.size();
  std::vector<uint32_t>& out = p.indices;
  out.clear();
  const auto dropped = [&](std::size_t extra, const char* what) {
    if (extra != 0)
      c.m.warn("%s: %zu corners do not make whole %s; they are left out", where.text().c_str(), extra, what);
  };
  switch (mode) {
    case kPoints:
      p.mode = PrimitiveMode::kPoints;
      out = std::move(corners);
      break;
    case kLines:
      p.mode = PrimitiveMode::kLines;
      dropped(n % 2, "lines");
      out = std::move(corners);
      out.resize(n - n % 2);
      break;
    case kLineLoop:
    case kLineStrip:
      p.mode = PrimitiveMode::kLines;
      if (n < 2) break;
      out.reserve(2 * n);
      for (std::size_t i = 0; i + 1 < n; ++i) {
        out.push_back(corners[i]);
        out.push_back(corners[i + 1]);
      }
      if (mode == kLineLoop) {
        out.push_back(corners[n - 1]);
        out.push_back(corners[0]);
      }
      break;
    case kTriangles:
      p.mode = PrimitiveMode::kTriangles;
      dropped(n % 3, "triangles");
      out = std::move(corners);
      out.resize(n - n % 3);
      break;
    case kTriangleStrip:
    case kTriangleFan:
      p.mode = PrimitiveMode::kTriangles;
      if (n < 3) break;
      out.resize(3 * (n - 2));
      for (std::size_t i = 0; i + 2 < n; ++i) {
        uint32_t* t = out.data() + 3 * i;
        if (mode == kTriangleFan) {
          t[0] = corners[i + 1];
          t[1] = corners[i + 2];
          t[2] = corners[0];
        } else {
          // Every other triangle of a strip turns the other way; keep them all front-facing.
          t[0] = corners[i];
          t[1] = corners[i + 1 + i % 2];
          t[2] = corners[i + 2 - i % 2];
        }
      }
      break;
    default:
      return c.m.fail(&where, "mode %u is none of 0 to 6", mode);
  }
  return true;
}

bool readPrimitive(Context& c, Object object, const Where& where, DracoJobs& jobs, MeshPrimitive& p) {
  Object attributes;
  Element value;
  if (!member(object, "attributes", value) || !toObject(c.m, value, where["attributes"], attributes)) {
    return c.m.failed() ? false : c.m.fail(&where, "no attributes");
  }
  Sources s;
  uint64_t mode = kTriangles;
  int32_t indices = -1;
  if (!readSources(c, attributes, where["attributes"], s) || !optUint(c.m, object, "mode", where, mode, 6) ||
      !optIndex(c.m, object, "indices", where, indices) || !optIndex(c.m, object, "material", where, p.material)) {
    return false;
  }
  if (member(object, "material", value) &&
      !checkIndex(c.m, where["material"], p.material, c.out.materials.size(), "materials")) {
    return false;
  }
  Draco draco;
  Object extensions, dracoExtension;
  bool present = false;
  if (!optObject(c.m, object, "extensions", where, extensions, present)) return false;
  if (present) {
    if (!optObject(c.m, extensions, "KHR_draco_mesh_compression", where["extensions"], dracoExtension, present)) {
      return false;
    }
    if (present && !decodeDraco(c, dracoExtension, where["extensions"]["KHR_draco_mesh_compression"], jobs, draco)) {
      return false;
    }
  }
  if (s.position < 0) return true;  // nothing to place; the caller drops it
  if (!readVertices(c, where, s, draco, p)) return false;
  const std::size_t vertexCount = p.vertexCount();
  if (vertexCount > UINT32_MAX) return c.m.fail(&where, "more vertices than 32-bit indices reach");

  std::vector<uint32_t> corners;
  const Where indicesWhere = where["indices"];
  if (draco.present) {
    const draco::Mesh& mesh = *draco.mesh;
    corners.resize(std::size_t{mesh.num_faces()} * 3);
    for (uint32_t f = 0; f < mesh.num_faces(); ++f) {
      const auto& face = mesh.face(draco::FaceIndex(f));
      for (int k = 0; k < 3; ++k) corners[std::size_t{f} * 3 + k] = face[k].value();
    }
  } else if (indices >= 0) {
    if (!readUints(c, indicesWhere, indices, typeBit(kScalar), corners)) return false;
  } else {
    corners.resize(vertexCount);
    std::iota(corners.begin(), corners.end(), 0u);
  }
  uint32_t largest = 0;
  for (uint32_t index : corners) largest = std::max(largest, index);
  if (!corners.empty() && largest >= vertexCount) {
    const auto at = std::find_if(corners.begin(), corners.end(), [&](uint32_t i) { return i >= vertexCount; });
    return c.m.fail(&indicesWhere, "index %u (corner %td) is beyond the %zu vertices", *at, at - corners.begin(),
                    vertexCount);
  }
  if (!assembleIndices(c, where, static_cast<uint32_t>(mode), std::move(corners), p)) return false;

  Array targets;
  if (!optArray(c.m, object, "targets", where, targets, present)) return false;
  if (present && !readTargets(c, targets, where, p)) return false;

  return true;
}

// A normal map needs tangents: made for each primitive whose file gives none, the primitives
// in parallel where there are many triangles. A primitive without normals gets flat ones,
// and tangents with them, where it is drawn.
void makeTangents(Context& c) {
  std::vector<std::pair<MeshPrimitive*, int>> jobs;
  std::size_t triangles = 0;
  for (Mesh& mesh : c.out.meshes) {
    for (MeshPrimitive& p : mesh.primitives) {
      if (p.material < 0 || !p.tangents.empty() || p.normals.empty()) continue;
      const TextureRef& normalMap = c.out.materials[static_cast<std::size_t>(p.material)].normalTexture;
      if (!normalMap.present() || p.texCoords[normalMap.texCoord].empty()) continue;
      jobs.emplace_back(&p, normalMap.texCoord);
      triangles += p.elementCount();
    }
  }
  // Some 150 ns a triangle: threads pay from ten thousand on.
  runParallel(jobs.size(), triangles >= 10000,
              [&](std::size_t i) { generateTangents(*jobs[i].first, jobs[i].second); });
}

bool readMesh(Context& c, Object object, const Where& where, DracoJobs& jobs, Mesh& mesh) {
  Array primitives;
  bool present = false;
  if (!optString(c.m, object, "name", where, mesh.name) ||
      !optArray(c.m, object, "primitives", where, primitives, present)) {
    return false;
  }
  if (!present) return c.m.fail(&where, "no primitives");
  mesh.primitives.reserve(primitives.size());
  int64_t i = 0;
  std::size_t targetCount = 0;
  for (Element e : primitives) {
    const Where at = where.at("primitives", i++);
    Object primitive;
    if (!toObject(c.m, e, at, primitive)) return false;
    MeshPrimitive& p = mesh.primitives.emplace_back();
    if (!readPrimitive(c, primitive, at, jobs, p)) return false;
    if (p.positions.empty()) {
      c.m.warn("%s: no vertices; it is left out", at.text().c_str());
      mesh.primitives.pop_back();
      continue;
    }
    targetCount = std::max(targetCount, p.targets.size());
  }
  Element value;
  if (member(object, "weights", value)) {
    Array weights;
    if (!toArray(c.m, value, where["weights"], weights)) return false;
    mesh.weights.resize(weights.size());
    if (!toFloats(c.m, value, where["weights"], mesh.weights.data(), mesh.weights.size())) return false;
  }
  if (mesh.weights.size() != targetCount) {
    if (!mesh.weights.empty()) {
      c.m.warn("%s: %zu weights for %zu morph targets", where.text().c_str(), mesh.weights.size(), targetCount);
    }
    mesh.weights.resize(targetCount, 0.0f);
  }
  return true;
}

}  // namespace

bool readMeshes(Context& c) {
  DracoJobs jobs;
  if (!decodeDracoPrimitives(c, jobs)) return false;
  c.out.meshes.resize(c.meshes.size());
  for (std::size_t i = 0; i < c.meshes.size(); ++i) {
    const Where where = Where().at("meshes", static_cast<int64_t>(i));
    Object object;
    if (!toObject(c.m, c.meshes[i], where, object) || !readMesh(c, object, where, jobs, c.out.meshes[i])) {
      return false;
    }
  }
  if (c.tangents) makeTangents(c);
  return true;
}

}  // namespace gltf
