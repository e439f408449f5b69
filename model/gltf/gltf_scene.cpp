#include "model/gltf/gltf_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace gltf {

namespace {

// A node as the file writes it; children index `children` of the walk.
struct FileNode {
  Object object;
  uint32_t firstChild = 0, childCount = 0;
  int32_t parent = -1;  // the first node that names it as a child
  int32_t mesh = -1, skin = -1, camera = -1, light = -1;
  bool hasMatrix = false;
};

struct Tree {
  std::vector<FileNode> nodes;
  std::vector<int32_t> children;
  std::vector<int32_t> assetIndex;  // per file node; -1: not in the asset
};

void normalizeQuaternion(float q[4]) {
  const float len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (len > 1e-20f) {
    for (int i = 0; i < 4; ++i) q[i] /= len;
  } else {
    q[0] = q[1] = q[2] = 0;
    q[3] = 1;
  }
}

bool readFileNodes(Context& c, Tree& tree) {
  tree.nodes.resize(c.nodes.size());
  tree.assetIndex.assign(c.nodes.size(), -1);
  for (std::size_t i = 0; i < c.nodes.size(); ++i) {
    const Where where = Where().at("nodes", static_cast<int64_t>(i));
    FileNode& n = tree.nodes[i];
    if (!toObject(c.m, c.nodes[i], where, n.object)) return false;
    for (auto [key, value] : n.object) {
      const Where at = where[key];
      if (key == "children") {
        Array children;
        if (!toArray(c.m, value, at, children)) return false;
        n.firstChild = static_cast<uint32_t>(tree.children.size());
        int64_t k = 0;
        for (Element e : children) {
          int32_t child = -1;
          const Where childAt = where.at("children", k++);
          if (!toIndex(c.m, e, childAt, child) || !checkIndex(c.m, childAt, child, c.nodes.size(), "nodes"))
            return false;
          tree.children.push_back(child);
        }
        n.childCount = static_cast<uint32_t>(tree.children.size() - n.firstChild);
      } else if (key == "mesh") {
        if (!toIndex(c.m, value, at, n.mesh) || !checkIndex(c.m, at, n.mesh, c.out.meshes.size(), "meshes"))
          return false;
      } else if (key == "skin") {
        if (!toIndex(c.m, value, at, n.skin) || !checkIndex(c.m, at, n.skin, c.skins.size(), "skins")) return false;
      } else if (key == "camera") {
        if (!toIndex(c.m, value, at, n.camera) || !checkIndex(c.m, at, n.camera, c.out.cameras.size(), "cameras")) {
          return false;
        }
      } else if (key == "matrix") {
        n.hasMatrix = true;
      } else if (key == "extensions") {
        Object extensions, lights;
        bool present = false;
        if (!toObject(c.m, value, at, extensions) ||
            !optObject(c.m, extensions, "KHR_lights_punctual", at, lights, present)) {
          return false;
        }
        if (present) {
          const Where punctual = at["KHR_lights_punctual"], lightAt = punctual["light"];
          Element light;
          if (!member(lights, "light", light)) return c.m.fail(&lightAt, "absent");
          if (!toIndex(c.m, light, lightAt, n.light) ||
              !checkIndex(c.m, lightAt, n.light, c.out.lights.size(), "lights")) {
            return false;
          }
        }
      }
    }
  }
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const FileNode& n = tree.nodes[i];
    for (uint32_t k = 0; k < n.childCount; ++k) {
      FileNode& child = tree.nodes[static_cast<std::size_t>(tree.children[n.firstChild + k])];
      if (child.parent < 0) child.parent = static_cast<int32_t>(i);
    }
  }
  return true;
}

bool readInstancing(Context& c, Object instancing, const Where& where, AssetNode& node) {
  Object attributes;
  bool present = false;
  if (!optObject(c.m, instancing, "attributes", where, attributes, present)) return false;
  if (!present) return true;
  const Where at = where["attributes"];
  std::vector<float> values[3];
  static constexpr std::string_view kNames[] = {"TRANSLATION", "ROTATION", "SCALE"};
  uint64_t count = UINT64_MAX;
  for (int k = 0; k < 3; ++k) {
    Element value;
    int32_t index = -1;
    if (!member(attributes, kNames[k], value)) continue;
    const uint32_t components = k == 1 ? 4 : 3;
    if (!toIndex(c.m, value, at[kNames[k]], index) ||
        !readFloats(c, at[kNames[k]], index, typeBit(k == 1 ? kVec4 : kVec3), k == 1 ? kAnyFloatSource : kFloatOnly,
                    values[k])) {
      return false;
    }
    const uint64_t got = values[k].size() / components;
    if (count != UINT64_MAX && got != count) {
      return c.m.fail(&at, "%s has %llu instances, another attribute %llu", std::string(kNames[k]).c_str(),
                      static_cast<unsigned long long>(got), static_cast<unsigned long long>(count));
    }
    count = got;
  }
  if (count == UINT64_MAX) return true;
  node.placements.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    float t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
    if (!values[0].empty()) std::copy_n(values[0].data() + i * 3, 3, t);
    if (!values[1].empty()) std::copy_n(values[1].data() + i * 4, 4, r);
    if (!values[2].empty()) std::copy_n(values[2].data() + i * 3, 3, s);
    normalizeQuaternion(r);
    node.placements[i] = trsMatrix(t, r, s);
  }
  return true;
}

// The asset's node for file node `index`: its transform and, with `content`, what it places.
bool makeNode(Context& c, const FileNode& n, std::size_t index, bool content, AssetNode& node) {
  const Where where = Where().at("nodes", static_cast<int64_t>(index));
  Object extensions, instancing;
  bool present = false;
  if (!optString(c.m, n.object, "name", where, node.name)) return false;
  if (n.hasMatrix) {
    if (!optFloats(c.m, n.object, "matrix", where, node.local.data(), 16)) return false;
  } else {
    node.hasTrs = true;
    if (!optFloats(c.m, n.object, "translation", where, node.translation, 3) ||
        !optFloats(c.m, n.object, "rotation", where, node.rotation, 4) ||
        !optFloats(c.m, n.object, "scale", where, node.scale, 3)) {
      return false;
    }
    normalizeQuaternion(node.rotation);
    node.local = trsMatrix(node.translation, node.rotation, node.scale);
  }
  if (!content) return true;
  node.camera = n.camera;
  node.light = n.light;
  if (n.mesh < 0) return true;
  node.mesh = n.mesh;
  node.skin = n.skin;
  Element value;
  if (member(n.object, "weights", value)) {
    Array weights;
    if (!toArray(c.m, value, where["weights"], weights)) return false;
    node.weights.resize(weights.size());
    if (!toFloats(c.m, value, where["weights"], node.weights.data(), node.weights.size())) return false;
  }
  if (!optObject(c.m, n.object, "extensions", where, extensions, present)) return false;
  if (present && !optObject(c.m, extensions, "EXT_mesh_gpu_instancing", where["extensions"], instancing, present)) {
    return false;
  }
  return !present || readInstancing(c, instancing, where["extensions"]["EXT_mesh_gpu_instancing"], node);
}

struct Repeats {
  std::size_t count = 0;
  int32_t firstNode = -1;
};

// Adds the subtrees under `roots` (each with the asset parent beside it) depth-first, parents
// before children, each file node once.
bool walk(Context& c, Tree& tree, std::vector<std::pair<int32_t, int32_t>> stack, bool content, Repeats& repeats) {
  std::reverse(stack.begin(), stack.end());
  while (!stack.empty()) {
    const auto [file, parent] = stack.back();
    stack.pop_back();
    if (tree.assetIndex[static_cast<std::size_t>(file)] >= 0) {
      if (repeats.count++ == 0) repeats.firstNode = file;
      continue;
    }
    const auto index = static_cast<int32_t>(c.out.nodes.size());
    tree.assetIndex[static_cast<std::size_t>(file)] = index;
    AssetNode& node = c.out.nodes.emplace_back();
    node.parent = parent;
    const FileNode& n = tree.nodes[static_cast<std::size_t>(file)];
    if (!makeNode(c, n, static_cast<std::size_t>(file), content, node)) return false;
    for (uint32_t k = n.childCount; k-- > 0;) stack.emplace_back(tree.children[n.firstChild + k], index);
  }
  return true;
}

bool sceneRoots(Context& c, const Tree& tree, std::vector<std::pair<int32_t, int32_t>>& roots) {
  int32_t scene = -1;
  const Where top;
  Element value;
  if (member(c.root, "scene", value)) {
    if (!toIndex(c.m, value, top["scene"], scene) || !checkIndex(c.m, top["scene"], scene, c.scenes.size(), "scenes")) {
      return false;
    }
  } else if (!c.scenes.empty()) {
    scene = 0;
  }
  if (scene < 0) {
    // No scene: every node that is no other's child.
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
      if (tree.nodes[i].parent < 0) roots.emplace_back(static_cast<int32_t>(i), -1);
    }
    return true;
  }
  const Where where = top.at("scenes", scene);
  Object object;
  Array nodes;
  bool present = false;
  if (!toObject(c.m, c.scenes[static_cast<std::size_t>(scene)], where, object) ||
      !optArray(c.m, object, "nodes", where, nodes, present)) {
    return false;
  }
  if (!present) return true;
  int64_t k = 0;
  for (Element e : nodes) {
    const Where at = where.at("nodes", k++);
    int32_t node = -1;
    if (!toIndex(c.m, e, at, node) || !checkIndex(c.m, at, node, tree.nodes.size(), "nodes")) return false;
    roots.emplace_back(node, -1);
  }
  return true;
}

bool readSkins(Context& c, Tree& tree, Repeats& repeats) {
  c.out.skins.resize(c.skins.size());
  for (std::size_t i = 0; i < c.skins.size(); ++i) {
    const Where where = Where().at("skins", static_cast<int64_t>(i));
    Object object;
    Array joints;
    bool present = false;
    int32_t inverseBinds = -1, skeleton = -1;
    Skin& skin = c.out.skins[i];
    if (!toObject(c.m, c.skins[i], where, object) || !optString(c.m, object, "name", where, skin.name) ||
        !optArray(c.m, object, "joints", where, joints, present) ||
        !optIndex(c.m, object, "inverseBindMatrices", where, inverseBinds) ||
        !optIndex(c.m, object, "skeleton", where, skeleton)) {
      return false;
    }
    if (!present) return c.m.fail(&where, "no joints");
    if (skeleton >= 0 && !checkIndex(c.m, where["skeleton"], skeleton, tree.nodes.size(), "nodes")) return false;
    std::vector<int32_t> fileJoints;
    fileJoints.reserve(joints.size());
    int64_t k = 0;
    for (Element e : joints) {
      const Where at = where.at("joints", k++);
      int32_t joint = -1;
      if (!toIndex(c.m, e, at, joint) || !checkIndex(c.m, at, joint, tree.nodes.size(), "nodes")) return false;
      fileJoints.push_back(joint);
    }
    // A joint outside the scene shown still poses the mesh: its branch joins the asset with
    // nothing placed on it.
    for (int32_t joint : fileJoints) {
      if (tree.assetIndex[static_cast<std::size_t>(joint)] >= 0) continue;
      int32_t top = joint;
      for (std::size_t steps = 0; steps < tree.nodes.size(); ++steps) {
        const int32_t up = tree.nodes[static_cast<std::size_t>(top)].parent;
        if (up < 0 || tree.assetIndex[static_cast<std::size_t>(up)] >= 0) break;
        top = up;
      }
      const int32_t up = tree.nodes[static_cast<std::size_t>(top)].parent;
      const int32_t parent = up >= 0 ? tree.assetIndex[static_cast<std::size_t>(up)] : -1;
      if (!walk(c, tree, {{top, parent}}, false, repeats)) return false;
    }
    skin.joints.reserve(fileJoints.size());
    for (int32_t joint : fileJoints) skin.joints.push_back(tree.assetIndex[static_cast<std::size_t>(joint)]);
    if (skeleton >= 0) skin.skeleton = tree.assetIndex[static_cast<std::size_t>(skeleton)];
    skin.inverseBinds.assign(skin.joints.size(), kIdentityMatrix);
    if (inverseBinds >= 0) {
      std::vector<float> values;
      const Where at = where["inverseBindMatrices"];
      if (!readFloats(c, at, inverseBinds, typeBit(kMat4), kFloatOnly, values)) return false;
      if (values.size() < skin.joints.size() * 16) {
        return c.m.fail(&at, "%zu matrices for %zu joints", values.size() / 16, skin.joints.size());
      }
      for (std::size_t j = 0; j < skin.joints.size(); ++j)
        std::copy_n(values.data() + j * 16, 16, skin.inverseBinds[j].data());
    }
  }
  return true;
}

bool readChannel(Context& c, const Tree& tree, const std::vector<Element>& samplers, const Where& animation,
                 Object channel, const Where& where, AnimationChannel& out, bool& keep) {
  keep = false;
  Object target;
  int32_t sampler = -1, node = -1;
  std::string path;
  Element value;
  if (!member(channel, "sampler", value) || !member(channel, "target", value)) {
    return c.m.fail(&where, "needs sampler and target");
  }
  if (!optIndex(c.m, channel, "sampler", where, sampler) || !toObject(c.m, value, where["target"], target) ||
      !optIndex(c.m, target, "node", where["target"], node) || !optString(c.m, target, "path", where["target"], path) ||
      !checkIndex(c.m, where["sampler"], sampler, samplers.size(), "samplers")) {
    return false;
  }
  // A channel without a node animates something an extension names.
  if (!member(target, "node", value)) return true;
  if (!checkIndex(c.m, where["target"]["node"], node, tree.nodes.size(), "nodes")) return false;
  uint32_t components = 0;
  uint32_t typeMask = 0, componentMask = kFloatOnly;
  if (path == "translation") {
    out.path = AnimationPath::kTranslation;
    components = 3;
    typeMask = typeBit(kVec3);
  } else if (path == "rotation") {
    out.path = AnimationPath::kRotation;
    components = 4;
    typeMask = typeBit(kVec4);
    componentMask = kAnyFloatSource;
  } else if (path == "scale") {
    out.path = AnimationPath::kScale;
    components = 3;
    typeMask = typeBit(kVec3);
  } else if (path == "weights") {
    out.path = AnimationPath::kWeights;
    typeMask = typeBit(kScalar);
    componentMask = kAnyFloatSource;
    const int32_t mesh = tree.nodes[static_cast<std::size_t>(node)].mesh;
    if (mesh < 0) return true;
    components = static_cast<uint32_t>(c.out.meshes[static_cast<std::size_t>(mesh)].weights.size());
    if (components == 0) return true;
  } else {
    return true;  // "pointer" and paths of extensions
  }
  out.node = tree.assetIndex[static_cast<std::size_t>(node)];
  if (out.node < 0) return true;  // a node outside the scene shown

  const Element samplerValue = samplers[static_cast<std::size_t>(sampler)];
  const Where samplerWhere = animation.at("samplers", sampler);
  Object s;
  int32_t input = -1, output = -1;
  std::string interpolation = "LINEAR";
  if (!toObject(c.m, samplerValue, samplerWhere, s) || !optIndex(c.m, s, "input", samplerWhere, input) ||
      !optIndex(c.m, s, "output", samplerWhere, output) ||
      !optString(c.m, s, "interpolation", samplerWhere, interpolation)) {
    return false;
  }
  if (!member(s, "input", value) || !member(s, "output", value))
    return c.m.fail(&samplerWhere, "needs input and output");
  if (interpolation == "LINEAR")
    out.interpolation = Interpolation::kLinear;
  else if (interpolation == "STEP")
    out.interpolation = Interpolation::kStep;
  else if (interpolation == "CUBICSPLINE")
    out.interpolation = Interpolation::kCubicSpline;
  else
    return c.m.fail(&samplerWhere, "interpolation %s is none of LINEAR, STEP, CUBICSPLINE", interpolation.c_str());
  if (!readFloats(c, samplerWhere["input"], input, typeBit(kScalar), kFloatOnly, out.times) ||
      !readFloats(c, samplerWhere["output"], output, typeMask, componentMask, out.values)) {
    return false;
  }
  const std::size_t groups = out.interpolation == Interpolation::kCubicSpline ? 3 : 1;
  if (out.values.size() != out.times.size() * groups * components) {
    c.m.warn("%s: %zu key times but %zu values of %u; the channel is left out", samplerWhere.text().c_str(),
             out.times.size(), out.values.size(), components);
    return true;
  }
  for (std::size_t k = 0; k < out.times.size(); ++k) {
    if (!std::isfinite(out.times[k]) || (k > 0 && out.times[k] < out.times[k - 1])) {
      c.m.warn("%s: its key times do not ascend; the channel is left out", samplerWhere.text().c_str());
      return true;
    }
  }
  keep = !out.times.empty();
  return true;
}

bool readAnimations(Context& c, const Tree& tree) {
  c.out.animations.reserve(c.animations.size());
  for (std::size_t i = 0; i < c.animations.size(); ++i) {
    const Where where = Where().at("animations", static_cast<int64_t>(i));
    Object object;
    Array samplers, channels;
    bool present = false, hasSamplers = false;
    AnimationClip& clip = c.out.animations.emplace_back();
    if (!toObject(c.m, c.animations[i], where, object) || !optString(c.m, object, "name", where, clip.name) ||
        !optArray(c.m, object, "samplers", where, samplers, hasSamplers) ||
        !optArray(c.m, object, "channels", where, channels, present)) {
      return false;
    }
    if (clip.name.empty()) clip.name = "Animation " + std::to_string(i + 1);
    if (!present || !hasSamplers) continue;
    // Channels index the samplers: the DOM array is walked once into a vector.
    const std::vector<Element> samplerList(samplers.begin(), samplers.end());
    int64_t k = 0;
    for (Element e : channels) {
      const Where at = where.at("channels", k++);
      Object channel;
      bool keep = false;
      AnimationChannel out;
      if (!toObject(c.m, e, at, channel) || !readChannel(c, tree, samplerList, where, channel, at, out, keep))
        return false;
      if (keep) clip.channels.push_back(std::move(out));
    }
  }
  return true;
}

// Joint indices of a vertex name joints of the skin that poses its mesh: an influence beyond
// them (of any skin that poses the mesh) is dropped, with one warning.
void dropStrayInfluences(Context& c) {
  std::vector<std::size_t> joints(c.out.meshes.size(), SIZE_MAX);
  for (const AssetNode& node : c.out.nodes) {
    if (node.skin >= 0 && node.mesh >= 0) {
      std::size_t& limit = joints[static_cast<std::size_t>(node.mesh)];
      limit = std::min(limit, c.out.skins[static_cast<std::size_t>(node.skin)].joints.size());
    }
  }
  std::size_t dropped = 0;
  for (std::size_t m = 0; m < c.out.meshes.size(); ++m) {
    if (joints[m] == SIZE_MAX) continue;
    for (MeshPrimitive& p : c.out.meshes[m].primitives) {
      for (std::size_t i = 0; i < p.joints.size(); ++i) {
        if (p.joints[i] < joints[m]) continue;
        dropped += p.weights[i] != 0 ? 1 : 0;
        p.joints[i] = 0;
        p.weights[i] = 0;
      }
    }
  }
  if (dropped > 0) c.m.warn("%zu vertex weights name joints their skin does not have; they are left out", dropped);
}

}  // namespace

bool readCamerasAndLights(Context& c) {
  c.out.cameras.resize(c.cameras.size());
  for (std::size_t i = 0; i < c.cameras.size(); ++i) {
    const Where where = Where().at("cameras", static_cast<int64_t>(i));
    Object object, projection;
    std::string type;
    bool present = false;
    AssetCamera& camera = c.out.cameras[i];
    if (!toObject(c.m, c.cameras[i], where, object) || !optString(c.m, object, "name", where, camera.name) ||
        !optString(c.m, object, "type", where, type)) {
      return false;
    }
    if (type != "perspective" && type != "orthographic") {
      return c.m.fail(&where, "type \"%s\" is neither perspective nor orthographic", type.c_str());
    }
    camera.perspective = type == "perspective";
    if (!optObject(c.m, object, type, where, projection, present)) return false;
    if (!present) return c.m.fail(&where, "no %s member", type.c_str());
    const Where at = where[type];
    if (!optFloat(c.m, projection, "znear", at, camera.znear) || !optFloat(c.m, projection, "zfar", at, camera.zfar) ||
        !optFloat(c.m, projection, "yfov", at, camera.yfov) ||
        !optFloat(c.m, projection, "aspectRatio", at, camera.aspectRatio) ||
        !optFloat(c.m, projection, "xmag", at, camera.xmag) || !optFloat(c.m, projection, "ymag", at, camera.ymag)) {
      return false;
    }
  }
  c.out.lights.resize(c.lights.size());
  for (std::size_t i = 0; i < c.lights.size(); ++i) {
    const Where extensions = Where()["extensions"], punctual = extensions["KHR_lights_punctual"];
    const Where where = punctual.at("lights", static_cast<int64_t>(i));
    Object object, spot;
    std::string type;
    bool present = false;
    AssetLight& light = c.out.lights[i];
    if (!toObject(c.m, c.lights[i], where, object) || !optString(c.m, object, "name", where, light.name) ||
        !optString(c.m, object, "type", where, type) || !optFloats(c.m, object, "color", where, light.color, 3) ||
        !optFloat(c.m, object, "intensity", where, light.intensity) ||
        !optFloat(c.m, object, "range", where, light.range) || !optObject(c.m, object, "spot", where, spot, present)) {
      return false;
    }
    if (type == "directional")
      light.type = AssetLight::Type::kDirectional;
    else if (type == "point")
      light.type = AssetLight::Type::kPoint;
    else if (type == "spot")
      light.type = AssetLight::Type::kSpot;
    else
      return c.m.fail(&where, "type \"%s\" is none of directional, point, spot", type.c_str());
    if (present && (!optFloat(c.m, spot, "innerConeAngle", where["spot"], light.innerConeAngle) ||
                    !optFloat(c.m, spot, "outerConeAngle", where["spot"], light.outerConeAngle))) {
      return false;
    }
  }
  return true;
}

bool readScene(Context& c) {
  Tree tree;
  std::vector<std::pair<int32_t, int32_t>> roots;
  Repeats repeats;
  if (!readFileNodes(c, tree) || !sceneRoots(c, tree, roots)) return false;
  c.out.nodes.reserve(tree.nodes.size());
  if (!walk(c, tree, std::move(roots), true, repeats) || !readSkins(c, tree, repeats)) return false;
  if (repeats.count > 0) {
    c.m.warn(
        "nodes[%d] is reached a second time (a loop of children, or a child of two parents); it is left out "
        "there%s",
        repeats.firstNode, repeats.count > 1 ? ", and so are the other repeats" : "");
  }
  dropStrayInfluences(c);
  return readAnimations(c, tree);
}

}  // namespace gltf
