#include "model/tangent_space.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};

Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
float length(Vec3 a) { return std::sqrt(dot(a, a)); }

// `v` without its part along the unit vector `n`, at unit length; false when nothing is left.
bool projectedUnit(Vec3 v, Vec3 n, Vec3& out) {
  const Vec3 p = v - n * dot(n, v);
  const float len = length(p);
  if (!(len > 1e-20f)) return false;
  out = p * (1.0f / len);
  return true;
}

// Some unit vector perpendicular to the unit vector `n`.
Vec3 anyPerpendicular(Vec3 n) {
  const Vec3 axis = std::fabs(n.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
  Vec3 t;
  if (projectedUnit(axis, n, t)) return t;
  return {1, 0, 0};
}

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

// A hash table from 64-bit keys (not ~0) to 32-bit values, sized once, open addressing.
class KeyTable {
 public:
  explicit KeyTable(std::size_t entries) {
    std::size_t size = 16;
    while (size < entries * 2) size *= 2;
    keys_.assign(size, kEmpty);
    values_.resize(size);
  }
  // The value under `key`, inserting `value` when there is none.
  uint32_t findOrInsert(uint64_t key, uint32_t value) {
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(mix(key)) & mask;; i = (i + 1) & mask) {
      if (keys_[i] == key) return values_[i];
      if (keys_[i] == kEmpty) {
        keys_[i] = key;
        values_[i] = value;
        return value;
      }
    }
  }
  // The value under `key`, or UINT32_MAX.
  uint32_t find(uint64_t key) const {
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(mix(key)) & mask;; i = (i + 1) & mask) {
      if (keys_[i] == key) return values_[i];
      if (keys_[i] == kEmpty) return UINT32_MAX;
    }
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> values_;
};

// The angle whose cosine is x in [-1, 1], to within 1e-4 radians (Abramowitz and Stegun
// 4.4.45): a face's weight at a corner needs no more, and acos itself was the slowest part.
float approximateAcos(float x) {
  const float a = std::fabs(x);
  const float r = std::sqrt(1.0f - a) * (1.5707288f + a * (-0.2121144f + a * (0.0742610f - 0.0187293f * a)));
  return x < 0 ? 3.14159265f - r : r;
}

class Corners {
 public:
  explicit Corners(std::size_t count) : parent_(count) {
    for (std::size_t i = 0; i < count; ++i) parent_[i] = static_cast<uint32_t>(i);
  }
  uint32_t find(uint32_t i) {
    while (parent_[i] != i) {
      parent_[i] = parent_[parent_[i]];
      i = parent_[i];
    }
    return i;
  }
  void join(uint32_t a, uint32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<uint32_t> parent_;
};

template <class T>
void appendCopy(std::vector<T>& values, std::size_t vertex, std::size_t width) {
  if (values.empty()) return;
  const std::size_t at = values.size();
  values.resize(at + width);
  std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(vertex * width), width,
              values.begin() + static_cast<std::ptrdiff_t>(at));
}

// Appends a copy of vertex `v` (every attribute and morph target); returns the new index.
uint32_t splitVertex(MeshPrimitive& p, uint32_t v) {
  const auto index = static_cast<uint32_t>(p.vertexCount());
  appendCopy(p.positions, v, 3);
  appendCopy(p.normals, v, 3);
  appendCopy(p.texCoords[0], v, 2);
  appendCopy(p.texCoords[1], v, 2);
  appendCopy(p.colors, v, 4);
  appendCopy(p.joints, v, 4);
  appendCopy(p.weights, v, 4);
  for (MorphTarget& target : p.targets) {
    appendCopy(target.positions, v, 3);
    appendCopy(target.normals, v, 3);
    appendCopy(target.tangents, v, 3);
  }
  return index;
}

}  // namespace

bool generateTangents(MeshPrimitive& p, int texCoordSet) {
  if (texCoordSet < 0 || texCoordSet > 1 || p.mode != PrimitiveMode::kTriangles) return false;
  const std::vector<float>& uvs = p.texCoords[texCoordSet];
  const std::size_t vertexCount = p.vertexCount();
  if (vertexCount == 0 || p.normals.size() != vertexCount * 3 || uvs.size() != vertexCount * 2 ||
      p.indices.size() % 3 != 0 || vertexCount >= UINT32_MAX / 2) {
    return false;
  }
  for (uint32_t index : p.indices) {
    if (index >= vertexCount) return false;
  }
  const auto position = [&](std::size_t v) {
    return Vec3{p.positions[v * 3], p.positions[v * 3 + 1], p.positions[v * 3 + 2]};
  };
  // The asset's normals are unit length; one of none points anywhere.
  const auto normal = [&](std::size_t v) {
    const Vec3 n{p.normals[v * 3], p.normals[v * 3 + 1], p.normals[v * 3 + 2]};
    return dot(n, n) > 1e-20f ? n : Vec3{0, 0, 1};
  };

  // 1. Vertices equal in position, normal and texture coordinates are one vertex for finding
  // the faces around it, however the file split them.
  std::vector<uint32_t> welded(vertexCount);
  {
    const auto bitsOf = [](float f) {
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      return f == 0 ? 0u : bits;  // -0 and +0 are the same place
    };
    const auto same = [&](std::size_t a, std::size_t b) {
      for (int k = 0; k < 3; ++k) {
        if (bitsOf(p.positions[a * 3 + k]) != bitsOf(p.positions[b * 3 + k]) ||
            bitsOf(p.normals[a * 3 + k]) != bitsOf(p.normals[b * 3 + k])) {
          return false;
        }
      }
      return bitsOf(uvs[a * 2]) == bitsOf(uvs[b * 2]) && bitsOf(uvs[a * 2 + 1]) == bitsOf(uvs[b * 2 + 1]);
    };
    // Vertices by a hash of their eight values; equal hashes are compared in full, and a
    // vertex whose hash another vertex holds with different values stays its own.
    KeyTable table(vertexCount);
    for (uint32_t v = 0; v < vertexCount; ++v) {
      uint64_t h = 0;
      for (int k = 0; k < 3; ++k) h = mix(h ^ bitsOf(p.positions[std::size_t{v} * 3 + k]));
      for (int k = 0; k < 3; ++k) h = mix(h ^ bitsOf(p.normals[std::size_t{v} * 3 + k]));
      h = mix(h ^ (uint64_t{bitsOf(uvs[std::size_t{v} * 2])} << 32 | bitsOf(uvs[std::size_t{v} * 2 + 1])));
      if (h == ~uint64_t{0}) h = 0;
      const uint32_t first = table.findOrInsert(h, v);
      welded[v] = same(first, v) ? first : v;
    }
  }

  // 2. Each face's tangent: the direction of increasing u over the face, from its texture
  // coordinates. The asset's v runs down the image; the method's runs up, so v is negated.
  const std::size_t faceCount = p.indices.size() / 3;
  std::vector<Vec3> faceTangent(faceCount);
  std::vector<uint8_t> faceFlags(faceCount);  // bit 0: usable, bit 1: orientation preserving
  for (std::size_t f = 0; f < faceCount; ++f) {
    const uint32_t* c = &p.indices[f * 3];
    const Vec3 p0 = position(c[0]);
    const Vec3 d1 = position(c[1]) - p0, d2 = position(c[2]) - p0;
    const auto uv = [&](std::size_t v, std::size_t k) { return uvs[v * 2 + k]; };
    const float s1 = uv(c[1], 0) - uv(c[0], 0), t1 = -(uv(c[1], 1) - uv(c[0], 1));
    const float s2 = uv(c[2], 0) - uv(c[0], 0), t2 = -(uv(c[2], 1) - uv(c[0], 1));
    const float area = s1 * t2 - s2 * t1;
    const Vec3 direction = (d1 * t2 - d2 * t1) * (area < 0 ? -1.0f : 1.0f);
    const float len = length(direction);
    const Vec3 faceNormal = cross(d1, d2);
    const bool usable = std::fabs(area) > 1e-30f && len > 1e-30f && dot(faceNormal, faceNormal) > 1e-38f;
    faceFlags[f] = static_cast<uint8_t>((usable ? 1 : 0) | (area > 0 ? 2 : 0));
    if (usable) faceTangent[f] = direction * (1.0f / len);
  }

  // 3. The corners of a vertex form groups: faces of the same orientation joined by an edge
  // through the vertex (an edge a-b of one face met as b-a by its neighbour) share a tangent.
  const std::size_t cornerCount = faceCount * 3;
  Corners groups(cornerCount);
  {
    const auto edgeKey = [&](uint32_t corner, bool reversed) {
      const uint32_t f = corner / 3, i = corner % 3;
      const uint32_t a = welded[p.indices[f * 3 + i]], b = welded[p.indices[f * 3 + (i + 1) % 3]];
      return reversed ? (uint64_t{b} << 32 | a) : (uint64_t{a} << 32 | b);
    };
    // Each directed edge's first corner; a -> b meets its neighbour's b -> a.
    KeyTable edges(cornerCount);
    for (uint32_t corner = 0; corner < cornerCount; ++corner) {
      if ((faceFlags[corner / 3] & 1) != 0) edges.findOrInsert(edgeKey(corner, false), corner);
    }
    for (uint32_t corner = 0; corner < cornerCount; ++corner) {
      const uint32_t f = corner / 3;
      if ((faceFlags[f] & 1) == 0) continue;
      const uint32_t other = edges.find(edgeKey(corner, true));
      if (other == UINT32_MAX) continue;
      const uint32_t g = other / 3;
      if (g == f || ((faceFlags[f] ^ faceFlags[g]) & 2) != 0) continue;
      // This face's edge runs a -> b, the neighbour's b -> a: corner a of this face meets the
      // neighbour's corner after `other`, and b meets `other`.
      groups.join(corner, g * 3 + (other % 3 + 1) % 3);
      groups.join(f * 3 + (corner % 3 + 1) % 3, other);
    }
  }

  std::vector<uint32_t> roots(cornerCount);
  for (uint32_t corner = 0; corner < cornerCount; ++corner) roots[corner] = groups.find(corner);

  // 4. Each group's tangent: its faces' tangents projected onto the plane of the vertex's
  // normal, weighted by the angle of the face at the corner.
  std::vector<Vec3> sum(cornerCount);
  for (uint32_t corner = 0; corner < cornerCount; ++corner) {
    const uint32_t f = corner / 3, i = corner % 3;
    if ((faceFlags[f] & 1) == 0) continue;
    const uint32_t v = p.indices[f * 3 + i];
    const Vec3 n = normal(v);
    Vec3 t, e1, e2;
    if (!projectedUnit(faceTangent[f], n, t)) continue;
    const Vec3 at = position(v);
    float angle = 0;
    if (projectedUnit(position(p.indices[f * 3 + (i + 1) % 3]) - at, n, e1) &&
        projectedUnit(position(p.indices[f * 3 + (i + 2) % 3]) - at, n, e2)) {
      angle = approximateAcos(std::clamp(dot(e1, e2), -1.0f, 1.0f));
    }
    sum[roots[corner]] = sum[roots[corner]] + t * angle;
  }

  // A corner of a face with no usable tangent joins the first usable group at its vertex.
  std::vector<uint32_t> groupOfWelded(vertexCount, UINT32_MAX);
  for (uint32_t corner = 0; corner < cornerCount; ++corner) {
    if ((faceFlags[corner / 3] & 1) == 0) continue;
    uint32_t& g = groupOfWelded[welded[p.indices[corner]]];
    if (g == UINT32_MAX) g = roots[corner];
  }
  std::vector<uint32_t> cornerGroup(cornerCount);
  for (uint32_t corner = 0; corner < cornerCount; ++corner) {
    const uint32_t root = roots[corner];
    const uint32_t shared = groupOfWelded[welded[p.indices[corner]]];
    cornerGroup[corner] = (faceFlags[corner / 3] & 1) == 0 && shared != UINT32_MAX ? shared : root;
  }

  // 5. One vertex per (vertex, group): the first group a vertex meets keeps it, others split it.
  std::vector<uint32_t> firstGroup(vertexCount, UINT32_MAX);
  std::unordered_map<uint64_t, uint32_t> splits;
  std::vector<uint32_t> newIndices(p.indices.size());
  std::vector<uint32_t> vertexGroup(vertexCount, UINT32_MAX);
  for (uint32_t corner = 0; corner < cornerCount; ++corner) {
    const uint32_t v = p.indices[corner], g = cornerGroup[corner];
    if (firstGroup[v] == UINT32_MAX || firstGroup[v] == g) {
      firstGroup[v] = g;
      newIndices[corner] = v;
      continue;
    }
    auto [it, fresh] = splits.try_emplace(uint64_t{v} << 32 | g, 0);
    if (fresh) {
      it->second = splitVertex(p, v);
      vertexGroup.push_back(g);
    }
    newIndices[corner] = it->second;
  }
  for (uint32_t v = 0; v < vertexCount; ++v) vertexGroup[v] = firstGroup[v];
  p.indices = std::move(newIndices);

  const std::size_t outCount = p.vertexCount();
  p.tangents.assign(outCount * 4, 0.0f);
  for (std::size_t v = 0; v < outCount; ++v) {
    const Vec3 n = normal(v);
    const uint32_t g = vertexGroup[v];
    Vec3 t;
    float sign = 1;
    if (g == UINT32_MAX || !projectedUnit(sum[g], n, t)) {
      t = anyPerpendicular(n);
    }
    if (g != UINT32_MAX) sign = (faceFlags[g / 3] & 2) != 0 ? 1.0f : -1.0f;
    p.tangents[v * 4] = t.x;
    p.tangents[v * 4 + 1] = t.y;
    p.tangents[v * 4 + 2] = t.z;
    p.tangents[v * 4 + 3] = sign;
  }
  return true;
}
