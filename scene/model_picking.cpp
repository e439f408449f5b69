#include "scene/model_picking.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/matrix_math.h"

namespace {

constexpr uint32_t kLeafTriangles = 4;

struct Ray {
  float origin[3], direction[3], inverse[3];
};

Ray makeRay(const float origin[3], const float direction[3]) {
  Ray r;
  for (int k = 0; k < 3; ++k) {
    r.origin[k] = origin[k];
    r.direction[k] = direction[k];
    r.inverse[k] = 1.0f / direction[k];  // infinite for an axis it runs along: the slabs still work
  }
  return r;
}

// Möller and Trumbore: t along the ray where it crosses the triangle, or a negative value.
float crossing(const Ray& r, const float* a, const float* b, const float* c) {
  const float e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const float* d = r.direction;
  const float p[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2], d[0] * e2[1] - d[1] * e2[0]};
  const float det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
  if (std::fabs(det) < 1e-20f) return -1;
  const float inv = 1.0f / det;
  const float s[3] = {r.origin[0] - a[0], r.origin[1] - a[1], r.origin[2] - a[2]};
  const float u = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) * inv;
  if (u < 0 || u > 1) return -1;
  const float q[3] = {s[1] * e1[2] - s[2] * e1[1], s[2] * e1[0] - s[0] * e1[2], s[0] * e1[1] - s[1] * e1[0]};
  const float v = (d[0] * q[0] + d[1] * q[1] + d[2] * q[2]) * inv;
  if (v < 0 || u + v > 1) return -1;
  return (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) * inv;
}

bool meetsBox(const Ray& r, const float min[3], const float max[3], float nearest) {
  float t0 = 0, t1 = nearest;
  for (int k = 0; k < 3; ++k) {
    float a = (min[k] - r.origin[k]) * r.inverse[k], b = (max[k] - r.origin[k]) * r.inverse[k];
    if (a > b) std::swap(a, b);
    if (!(a <= t1) || !(b >= t0)) return false;  // NaN (0 x infinity) counts as a meeting
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
  }
  return t0 <= t1;
}

const float* corner(const MeshPrimitive& p, uint32_t triangle, int k) {
  return &p.positions[static_cast<std::size_t>(p.indices[triangle * 3 + static_cast<uint32_t>(k)]) * 3];
}

// The hit's nearest corner of the three, and the hit itself, in world units.
void record(ModelPicker::Hit& hit, float t, const Ray& world, const float corners[3][3]) {
  hit.found = true;
  for (int k = 0; k < 3; ++k) hit.point[k] = world.origin[k] + t * world.direction[k];
  float best = std::numeric_limits<float>::infinity();
  for (int c = 0; c < 3; ++c) {
    const float dx = corners[c][0] - hit.point[0], dy = corners[c][1] - hit.point[1], dz = corners[c][2] - hit.point[2];
    const float d = dx * dx + dy * dy + dz * dz;
    if (d < best) best = d, std::copy_n(corners[c], 3, hit.corner);
  }
}

}  // namespace

ModelPicker::ModelPicker(const DrawableModel& model) {
  trees_.resize(model.meshes.size());
  for (std::size_t m = 0; m < model.meshes.size(); ++m) build(model.meshes[m], trees_[m]);
}

void ModelPicker::build(const Mesh& mesh, MeshTree& tree) {
  std::vector<float> centres;
  for (uint32_t p = 0; p < mesh.primitives.size(); ++p) {
    const MeshPrimitive& primitive = mesh.primitives[p];
    if (primitive.mode != PrimitiveMode::kTriangles) continue;
    for (uint32_t t = 0; t < primitive.indices.size() / 3; ++t) tree.triangles.push_back({p, t});
  }
  if (tree.triangles.empty()) return;
  auto centre = [&](const Triangle& t, int axis) {
    const MeshPrimitive& p = mesh.primitives[t.primitive];
    return corner(p, t.index, 0)[axis] + corner(p, t.index, 1)[axis] + corner(p, t.index, 2)[axis];
  };
  // Split at the median of the longest side of the triangles' centres, until leaves are small.
  struct Task {
    uint32_t node, first, count;
  };
  tree.nodes.push_back({});
  std::vector<Task> tasks = {{0, 0, static_cast<uint32_t>(tree.triangles.size())}};
  while (!tasks.empty()) {
    const Task task = tasks.back();
    tasks.pop_back();
    Node node;
    float cmin[3], cmax[3];
    for (int k = 0; k < 3; ++k) {
      node.min[k] = cmin[k] = std::numeric_limits<float>::infinity();
      node.max[k] = cmax[k] = -std::numeric_limits<float>::infinity();
    }
    for (uint32_t i = task.first; i < task.first + task.count; ++i) {
      const Triangle& t = tree.triangles[i];
      const MeshPrimitive& p = mesh.primitives[t.primitive];
      for (int c = 0; c < 3; ++c) {
        const float* v = corner(p, t.index, c);
        for (int k = 0; k < 3; ++k) node.min[k] = std::min(node.min[k], v[k]), node.max[k] = std::max(node.max[k], v[k]);
      }
      for (int k = 0; k < 3; ++k) {
        const float c = centre(t, k);
        cmin[k] = std::min(cmin[k], c), cmax[k] = std::max(cmax[k], c);
      }
    }
    if (task.count <= kLeafTriangles) {
      node.first = task.first;
      node.count = task.count;
      tree.nodes[task.node] = node;
      continue;
    }
    int axis = 0;
    for (int k = 1; k < 3; ++k) {
      if (cmax[k] - cmin[k] > cmax[axis] - cmin[axis]) axis = k;
    }
    const uint32_t half = task.count / 2;
    const auto begin = tree.triangles.begin() + task.first;
    std::nth_element(begin, begin + half, begin + task.count,
                     [&](const Triangle& a, const Triangle& b) { return centre(a, axis) < centre(b, axis); });
    node.first = static_cast<uint32_t>(tree.nodes.size());
    node.count = 0;
    tree.nodes[task.node] = node;
    tree.nodes.push_back({});
    tree.nodes.push_back({});
    tasks.push_back({node.first, task.first, half});
    tasks.push_back({node.first + 1, task.first + half, task.count - half});
  }
}

ModelPicker::Hit ModelPicker::cast(const float origin[3], const float direction[3], const DrawableModel& model,
                                   std::span<const Matrix4> instanceWorlds, std::span<const int32_t> jointOffsets,
                                   std::span<const Matrix4> joints) const {
  Hit hit;
  const Ray world = makeRay(origin, direction);
  float nearest = std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < model.instances.size() && i < instanceWorlds.size(); ++i) {
    const DrawableInstance& instance = model.instances[i];
    if (instance.mesh < 0 || static_cast<std::size_t>(instance.mesh) >= trees_.size()) continue;
    const Mesh& mesh = model.meshes[static_cast<std::size_t>(instance.mesh)];
    const Matrix4& placed = instanceWorlds[i];
    const int32_t firstJoint = i < jointOffsets.size() ? jointOffsets[i] : -1;
    if (firstJoint >= 0) {
      // Posed as the vertex shader poses it: the weighted joints, then the view.
      auto posed = [&](const MeshPrimitive& p, uint32_t vertex, float out[3]) {
        const float* v = &p.positions[static_cast<std::size_t>(vertex) * 3];
        float sum[3] = {0, 0, 0};
        for (int k = 0; k < 4 && !p.joints.empty(); ++k) {
          const float w = p.weights[static_cast<std::size_t>(vertex) * 4 + static_cast<std::size_t>(k)];
          const std::size_t j = static_cast<std::size_t>(firstJoint) + p.joints[static_cast<std::size_t>(vertex) * 4 + static_cast<std::size_t>(k)];
          if (w == 0 || j >= joints.size()) continue;
          float moved[3];
          TransformPoint(joints[j], v, moved);
          for (int c = 0; c < 3; ++c) sum[c] += w * moved[c];
        }
        if (p.joints.empty()) std::copy_n(v, 3, sum);
        TransformPoint(placed, sum, out);
      };
      for (const MeshPrimitive& p : mesh.primitives) {
        if (p.mode != PrimitiveMode::kTriangles) continue;
        for (std::size_t t = 0; t + 2 < p.indices.size(); t += 3) {
          float corners[3][3];
          for (int c = 0; c < 3; ++c) posed(p, p.indices[t + static_cast<std::size_t>(c)], corners[c]);
          const float at = crossing(world, corners[0], corners[1], corners[2]);
          if (at > 0 && at < nearest) nearest = at, record(hit, at, world, corners);
        }
      }
      continue;
    }
    // Rigid: the ray into the mesh's frame, where its hierarchy is; t is the same in both.
    Matrix4 inverse;
    float determinant[4];  // the inverse stores it four times
    MatrixInverse(inverse, determinant, placed);
    if (!(std::fabs(determinant[0]) > 0)) continue;
    float local[3], localDirection[4];
    TransformPoint(inverse, origin, local);
    const float d[4] = {direction[0], direction[1], direction[2], 0};
    TransformRow(localDirection, d, inverse);
    const Ray ray = makeRay(local, localDirection);
    const MeshTree& tree = trees_[static_cast<std::size_t>(instance.mesh)];
    if (tree.nodes.empty()) continue;
    std::vector<uint32_t> stack = {0};
    while (!stack.empty()) {
      const Node& node = tree.nodes[stack.back()];
      stack.pop_back();
      if (!meetsBox(ray, node.min, node.max, nearest)) continue;
      if (node.count == 0) {
        stack.push_back(node.first);
        stack.push_back(node.first + 1);
        continue;
      }
      for (uint32_t k = node.first; k < node.first + node.count; ++k) {
        const Triangle& tri = tree.triangles[k];
        const MeshPrimitive& p = mesh.primitives[tri.primitive];
        const float at = crossing(ray, corner(p, tri.index, 0), corner(p, tri.index, 1), corner(p, tri.index, 2));
        if (!(at > 0 && at < nearest)) continue;
        nearest = at;
        float corners[3][3];
        for (int c = 0; c < 3; ++c) TransformPoint(placed, corner(p, tri.index, c), corners[c]);
        record(hit, at, world, corners);
      }
    }
  }
  return hit;
}
