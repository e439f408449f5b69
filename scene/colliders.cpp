#include "scene/colliders.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "model/matrix_math.h"
#include "scene/mesh_set.h"

namespace {

void copyPosition(float out[3], const FloatArray* array, int64_t index) {
  out[0] = out[1] = out[2] = 0;
  if (array == nullptr) return;
  const float* e = array->at(index);
  if (e == nullptr) return;
  int n = std::min(array->elementFloats(), 3);
  for (int i = 0; i < n; ++i) out[i] = e[i];
}

void copyInfluences(ColliderVertex& v, const WeightTable& weights, int64_t row) {
  for (int s = 0; s < WeightTable::kInfluences; ++s) {
    v.influences[s] = weights.created ? weights.at(row, s) : BoneWeight{};
  }
}

const FloatArray* findArray(const Collider& c, const std::u16string& id) {
  for (const auto& a : c.floatArrays) {
    if (a->id == id) return a.get();
  }
  return nullptr;
}

void buildMesh(Collider& c) {
  const std::size_t corners = c.sourceVertices.size();
  for (const auto& list : c.polygonLists) {
    // Every list fills the corners from the first one again.
    list->cornerCounter = 0;
    const FloatArray* positions = findArray(c, list->vertexId);
    const FloatArray* normals = findArray(c, list->normalId);
    for (std::size_t i = 0; i < list->vertexIndices.size(); ++i) {
      // A list with more indices than its count announced stops at the corner count.
      if (static_cast<std::size_t>(list->cornerCounter) >= corners) break;
      int32_t v = list->vertexIndices[i];
      ColliderVertex vertex;
      copyPosition(vertex.position, positions, v);
      if (i < list->normalIndices.size()) copyPosition(vertex.normal, normals, list->normalIndices[i]);
      copyInfluences(vertex, c.weights, v);
      c.sourceVertices[static_cast<std::size_t>(list->cornerCounter)] = vertex;
      ++list->cornerCounter;
    }
  }
}

void buildShape(Collider& c) {
  if (c.floatArrays.empty()) return;
  const FloatArray& points = *c.floatArrays.front();
  // A shape has two reference points at most; further tuples have nowhere to go.
  int64_t n = std::min<int64_t>(points.count(), 2);
  for (int64_t g = 0; g < n; ++g) {
    ColliderVertex vertex;
    copyPosition(vertex.position, &points, g);
    copyInfluences(vertex, c.weights, g);
    c.referencePoints[g] = vertex;
  }
}

void sub(float out[3], const float a[3], const float b[3]) {
  for (int i = 0; i < 3; ++i) out[i] = a[i] - b[i];
}

void cross(float out[3], const float a[3], const float b[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

float dot(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

struct Bounds {
  float* min;
  float* max;
  void extend(const float p[3], float r) {
    for (int i = 0; i < 3; ++i) {
      min[i] = std::min(min[i], p[i] - r);
      max[i] = std::max(max[i], p[i] + r);
    }
  }
};

}  // namespace

bool BuildColliders(ColliderSet& set, const MeshSet* meshSet) {
  if (meshSet == nullptr) return false;
  set.meshSet = meshSet;
  for (const auto& c : set.colliders) {
    std::size_t corners = c->cornerCount > 0 ? static_cast<std::size_t>(c->cornerCount) : 0;
    c->sourceVertices.assign(corners, ColliderVertex{});
    c->worldVertices.assign(corners, ColliderVertex{});
    if (!c->polygonLists.empty()) {
      buildMesh(*c);
    } else {
      buildShape(*c);
    }
  }
  return true;
}

ColliderVertex TransformColliderVertex(const ColliderSet& set, const ColliderVertex& vertex,
                                       const Matrix4& bindShape) {
  const MeshSet& mesh = *set.meshSet;
  const float position[4] = {vertex.position[0], vertex.position[1], vertex.position[2], 1};
  const float normal[4] = {vertex.normal[0], vertex.normal[1], vertex.normal[2], 1};
  float p[4], q[4];
  TransformRow(p, position, bindShape);
  TransformRow(q, normal, bindShape);

  float blendedP[4] = {}, blendedQ[4] = {};
  bool used = false;
  const float boneCount = static_cast<float>(mesh.bones.count());
  for (const BoneWeight& influence : vertex.influences) {
    // Bone 0 is never an influence: only indices from 1 that name a bone count.
    if (!(influence.boneIndex >= 1.0f) || !(influence.boneIndex < boneCount)) continue;
    if (!(influence.weight > 0.0000001f)) continue;
    const Matrix4& skin = (*mesh.bones.at(static_cast<int64_t>(influence.boneIndex)))->skinMatrix;
    float sp[4], sq[4];
    TransformRow(sp, p, skin);
    TransformRow(sq, q, skin);
    for (int j = 0; j < 4; ++j) {
      blendedP[j] += influence.weight * sp[j];
      blendedQ[j] += influence.weight * sq[j];
    }
    used = true;
  }
  if (!used) {
    std::copy(p, p + 4, blendedP);
    std::copy(q, q + 4, blendedQ);
  }

  ColliderVertex out = vertex;
  float world[4];
  TransformRow(world, blendedP, mesh.worldMatrix);
  std::copy(world, world + 3, out.position);
  TransformRow(world, blendedQ, mesh.normalMatrix);
  std::copy(world, world + 3, out.normal);
  return out;
}

bool TransformColliders(ColliderSet& set) {
  if (set.meshSet == nullptr) return false;
  const MeshSet& mesh = *set.meshSet;
  const float a = mesh.scale[3];
  if (mesh.animated == 0 && set.transformed) return false;

  for (int i = 0; i < 3; ++i) {
    set.boundsMin[i] = 100000;
    set.boundsMax[i] = -100000;
  }
  Bounds bounds{set.boundsMin, set.boundsMax};
  for (const auto& c : set.colliders) {
    switch (c->colliderType) {
      case kColliderSphere:
      case kColliderBox:
      case kColliderCapsule:
      case kColliderRect: {
        int points = c->colliderType >= kColliderCapsule ? 2 : 1;
        for (int k = 0; k < points; ++k) {
          c->worldReferencePoints[k] =
              TransformColliderVertex(set, c->referencePoints[k], c->bindShapeMatrix);
          bounds.extend(c->worldReferencePoints[k].position, c->radius * a);
        }
        break;
      }
      case kColliderMesh: {
        std::size_t n = std::min(c->sourceVertices.size(), c->worldVertices.size());
        for (std::size_t j = 0; j < n; ++j) {
          c->worldVertices[j] = TransformColliderVertex(set, c->sourceVertices[j], c->bindShapeMatrix);
          bounds.extend(c->worldVertices[j].position, 0.0f);
        }
        break;
      }
      default:
        break;
    }
  }
  float diagonal[3];
  for (int i = 0; i < 3; ++i) {
    set.boundsCenter[i] = (set.boundsMin[i] + set.boundsMax[i]) / 2;
    diagonal[i] = set.boundsMax[i] - set.boundsMin[i];
  }
  set.boundsRadius = 0.5f * std::sqrt(dot(diagonal, diagonal));
  set.transformed = true;
  return true;
}

float PlaneDistance(const float p[3], const float v0[3], const float v1[3], const float v2[3]) {
  float e1[3], e2[3], m[3], d[3];
  sub(e1, v1, v0);
  sub(e2, v2, v0);
  cross(m, e1, e2);
  sub(d, p, v0);
  double length = std::sqrt(static_cast<double>(m[0]) * m[0] + static_cast<double>(m[1]) * m[1] +
                            static_cast<double>(m[2]) * m[2]);
  return static_cast<float>(std::fabs(dot(d, m)) / length);
}

bool SegmentHitsTriangle(const float p0[3], const float p1[3], const float v0[3],
                         const float v1[3], const float v2[3], float hit[4]) {
  float e1[3], e2[3], n[3], d0v[3], d1v[3];
  sub(e1, v1, v0);
  sub(e2, v2, v0);
  cross(n, e1, e2);
  // A triangle without area has no plane to cross.
  if (n[0] == 0 && n[1] == 0 && n[2] == 0) return false;
  sub(d0v, p0, v0);
  sub(d1v, p1, v0);
  if (dot(d0v, n) * dot(d1v, n) > 0) return false;  // both ends on one side

  float d0 = PlaneDistance(p0, v0, v1, v2);
  float d1 = PlaneDistance(p1, v0, v1, v2);
  if (!(d0 + d1 > 0)) return false;  // the segment lies in the plane
  float x[3];
  for (int i = 0; i < 3; ++i) x[i] = p0[i] + (p1[i] - p0[i]) * d0 / (d0 + d1);

  float edge[3], toX[3], c[3];
  sub(edge, v1, v0);
  sub(toX, x, v1);
  cross(c, edge, toX);
  float s1 = dot(c, n);
  sub(edge, v2, v1);
  sub(toX, x, v2);
  cross(c, edge, toX);
  float s2 = dot(c, n);
  sub(edge, v0, v2);
  sub(toX, x, v0);
  cross(c, edge, toX);
  float s3 = dot(c, n);
  // Strictly inside: a point on an edge is no hit.
  if (!(s1 * s2 > 0 && s3 * s2 > 0 && s3 * s1 > 0)) return false;
  hit[0] = x[0];
  hit[1] = x[1];
  hit[2] = x[2];
  hit[3] = 0;
  return true;
}

bool FindGround(const ColliderSet& set, float x, float y, float ground[4]) {
  const float p0[3] = {x, y, 1};
  const float p1[3] = {x, y, -1};
  for (const auto& c : set.colliders) {
    if (c->colliderType != kColliderMesh) continue;
    if (x < set.boundsMin[0] || y < set.boundsMin[1] || x > set.boundsMax[0] ||
        y > set.boundsMax[1]) {
      return false;
    }
    std::size_t corners = std::min(c->worldVertices.size(),
                                   c->cornerCount > 0 ? static_cast<std::size_t>(c->cornerCount) : 0);
    for (std::size_t k = 0; k + 2 < corners; k += 3) {
      const float* v0 = c->worldVertices[k].position;
      const float* v1 = c->worldVertices[k + 1].position;
      const float* v2 = c->worldVertices[k + 2].position;
      if (v0[0] > x && v1[0] > x && v2[0] > x) continue;
      if (v0[0] < x && v1[0] < x && v2[0] < x) continue;
      if (v0[1] > y && v1[1] > y && v2[1] > y) continue;
      if (v0[1] < y && v1[1] < y && v2[1] < y) continue;
      float hit[4];
      if (SegmentHitsTriangle(p0, p1, v0, v1, v2, hit)) {
        ground[0] = x;
        ground[1] = y;
        ground[2] = hit[2];
        ground[3] = 0;
        return true;
      }
    }
  }
  return false;
}
