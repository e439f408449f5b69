#include "model/mesh_formats/crease_welder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>

namespace meshio {
namespace {

constexpr int kPartitionBits = 6;
constexpr std::size_t kPartitions = std::size_t{1} << kPartitionBits;
constexpr int kLocalBits = 32 - kPartitionBits;  // a vertex within its partition, in an index
constexpr uint32_t kLocalMask = (uint32_t{1} << kLocalBits) - 1;
// A table slot holds (vertex + 1) << kTagBits | tag: a few more hash bits, so that most
// probes that meet another key are told apart without reading its position.
constexpr int kTagBits = 6;
constexpr uint32_t kTagMask = (uint32_t{1} << kTagBits) - 1;
constexpr uint32_t kMaxVertices = (uint32_t{1} << kLocalBits) - 1;  // per partition
// A position shared by more differently facing triangles than this (no real surface has so
// many folds at one point) gives the rest to its first vertex, so that no input makes the
// search long.
constexpr int kMaxClusters = 64;
const float kCosSquared = static_cast<float>(std::cos(kCreaseDegrees * 3.14159265358979323846 / 180) *
                                             std::cos(kCreaseDegrees * 3.14159265358979323846 / 180));

inline uint32_t loadBits(const uint8_t* p) {
  uint32_t bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
  return bits;
}

// The bits that key a coordinate: -0 and +0 are one position.
inline uint32_t keyBits(uint32_t bits) { return bits == 0x80000000u ? 0 : bits; }

inline float asFloat(uint32_t bits) { return std::bit_cast<float>(bits); }

inline uint64_t hashKey(uint32_t x, uint32_t y, uint32_t z, uint32_t colour) {
  uint64_t h = (uint64_t{x} * 0x9E3779B97F4A7C15ull) ^ (uint64_t{y} * 0xC2B2AE3D27D4EB4Full) ^
               ((uint64_t{z} | uint64_t{colour} << 32) * 0x165667B19E3779F9ull);
  h ^= h >> 31;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}
constexpr std::size_t kRecentBits = 8;  // log2 of the most vertices a partition keeps as recent

// The partition comes from the hash's top bits; within it the low 32 bits give the slot (from
// the bottom), the tag (from the top) and the recent vertex (from the middle).
inline std::size_t partitionOf(uint64_t h) { return static_cast<std::size_t>(h >> (64 - kPartitionBits)); }
inline uint32_t tagOf(uint32_t h) { return h >> (32 - kTagBits); }
inline std::size_t recentOf(uint32_t h, std::size_t mask) { return (h >> 16) & mask; }

// Whether a triangle of normal `f` joins a vertex of normal sum `s`.
inline bool joins(const float* f, const float* s) {
  const float ff = f[0] * f[0] + f[1] * f[1] + f[2] * f[2];
  const float ss = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
  if (ff == 0 || ss == 0) return true;  // degenerate: no direction to disagree with
  const float d = f[0] * s[0] + f[1] * s[1] + f[2] * s[2];
  return d > 0 && d * d > kCosSquared * ff * ss;
}

std::size_t tableSizeFor(std::size_t vertices) {
  return std::bit_ceil(std::max<std::size_t>(64, vertices + vertices / 2 + 1));
}

}  // namespace

// The last vertex each of a few keys made, while it is the only one at its key.
struct RecentVertex {
  uint32_t x, y, z;
  uint32_t colour : 16, several : 1;  // several: the key has more vertices than this one
  uint32_t vertex;
};
// Corners ahead whose table slot and recent vertex are fetched early: the tables are too big to
// stay in the caches, and their lines arrive while the corners before are welded.
constexpr std::size_t kPrefetch = 16;
constexpr uint32_t kNoVertex = UINT32_MAX;

struct CreaseWelder::Partition {
  // Vertices [0, stretch) lie in the welder's shared allocation, the rest in the lists here.
  float* positions = nullptr;
  float* normals = nullptr;  // area-weighted sums
  uint16_t* colours = nullptr;
  std::size_t stretch = 0;
  std::vector<float> morePositions, moreNormals;
  std::vector<uint16_t> moreColours;
  std::vector<uint32_t> slots;  // 0: empty
  std::vector<RecentVertex> recent;  // a power of two, up to 1 << kRecentBits
  std::size_t recentSize = 64;
  uint32_t count = 0;
  bool full = false;

  float* position(uint32_t v) { return v < stretch ? positions + 3 * std::size_t{v} : &morePositions[3 * (v - stretch)]; }
  float* normal(uint32_t v) { return v < stretch ? normals + 3 * std::size_t{v} : &moreNormals[3 * (v - stretch)]; }
  uint16_t colour(uint32_t v) const { return v < stretch ? colours[v] : moreColours[v - stretch]; }

  uint32_t append(uint32_t x, uint32_t y, uint32_t z, uint16_t c) {
    const uint32_t v = count++;
    if (v < stretch) {
      float* p = positions + 3 * std::size_t{v};
      p[0] = asFloat(x), p[1] = asFloat(y), p[2] = asFloat(z);
      float* n = normals + 3 * std::size_t{v};
      n[0] = n[1] = n[2] = 0;
      colours[v] = c;
    } else {
      morePositions.insert(morePositions.end(), {asFloat(x), asFloat(y), asFloat(z)});
      moreNormals.insert(moreNormals.end(), {0.0f, 0.0f, 0.0f});
      moreColours.push_back(c);
    }
    return v;
  }

  uint64_t hashOf(uint32_t v) {
    const float* p = position(v);
    return hashKey(std::bit_cast<uint32_t>(p[0]), std::bit_cast<uint32_t>(p[1]), std::bit_cast<uint32_t>(p[2]), colour(v));
  }

  void rehash(std::size_t size) {
    slots.assign(size, 0);
    const std::size_t mask = size - 1;
    for (uint32_t v = 0; v < count; ++v) {
      const uint32_t h = static_cast<uint32_t>(hashOf(v));
      std::size_t j = static_cast<std::size_t>(h) & mask;
      while (slots[j] != 0) j = (j + 1) & mask;
      slots[j] = (v + 1) << kTagBits | tagOf(h);
    }
  }
};

CreaseWelder::CreaseWelder(Workers& workers) : workers_(workers), partitions_(kPartitions) {}
CreaseWelder::~CreaseWelder() = default;

void CreaseWelder::expect(std::size_t triangles, std::size_t likelyTriangles) {
  // Room for every corner to be a vertex of its own, spread over the partitions with a margin
  // for an uneven hash: only what is used is ever touched.
  const std::size_t most = 3 * triangles;
  const std::size_t stretch = most / kPartitions + most / (kPartitions * 16) + 256;
  positions_.reset(new (std::nothrow) float[3 * stretch * kPartitions]);
  normals_.reset(new (std::nothrow) float[3 * stretch * kPartitions]);
  colours_.reset(new (std::nothrow) uint16_t[stretch * kPartitions]);
  stretch_ = positions_ && normals_ && colours_ ? stretch : 0;
  // A closed surface has half as many vertices as triangles.
  const std::size_t likely = std::min(triangles, likelyTriangles) / 2 / kPartitions + 16;
  for (std::size_t p = 0; p < kPartitions; ++p) {
    Partition& part = partitions_[p];
    part.stretch = stretch_;
    part.positions = stretch_ != 0 ? positions_.get() + 3 * stretch * p : nullptr;
    part.normals = stretch_ != 0 ? normals_.get() + 3 * stretch * p : nullptr;
    part.colours = stretch_ != 0 ? colours_.get() + stretch * p : nullptr;
    if (part.slots.size() < tableSizeFor(likely)) part.rehash(tableSizeFor(likely));
    // No larger than the vertices expected: a file of many small solids makes many of these.
    part.recentSize = std::min(std::size_t{1} << kRecentBits, std::bit_ceil(likely));
  }
  indices_.reserve(std::min<std::size_t>(3 * std::min(triangles, likelyTriangles + likelyTriangles / 4), UINT32_MAX));
}

void CreaseWelder::weldPartition(std::size_t p, std::size_t firstCorner) {
  Partition& part = partitions_[p];
  if (part.slots.empty()) part.rehash(tableSizeFor(64));
  if (part.recent.empty()) part.recent.assign(part.recentSize, RecentVertex{0, 0, 0, 0, 0, kNoVertex});
  const std::size_t recentMask = part.recent.size() - 1;
  const uint32_t partitionBits = static_cast<uint32_t>(p) << kLocalBits;
  const float* faceNormals = faceNormals_.data();
  uint32_t* indices = indices_.data() + firstCorner;
  RecentVertex* recentVertices = part.recent.data();
  for (std::size_t r = 0; r < ranges_; ++r) {
  const std::vector<Corner>& bucket = buckets_[r * kPartitions + p];
  const std::size_t end = bucket.size();
  for (std::size_t i = 0; i < end; ++i) {
    if (i + kPrefetch < end) {
      const uint32_t ahead = bucket[i + kPrefetch].hash;
      __builtin_prefetch(&part.slots[ahead & (part.slots.size() - 1)]);
      __builtin_prefetch(&recentVertices[recentOf(ahead, recentMask)]);
    }
    const Corner& k = bucket[i];
    const uint32_t h = k.hash;
    const float* f = faceNormals + 3 * (k.corner / 3);
    RecentVertex& recent = recentVertices[recentOf(h, recentMask)];
    const bool cached = recent.vertex != kNoVertex && recent.x == k.x && recent.y == k.y && recent.z == k.z &&
                        recent.colour == k.colour;
    uint32_t chosen = UINT32_MAX;
    float* n = nullptr;
    // The only vertex at its key: the one the table would give, when it takes the corner.
    if (cached && !recent.several) {
      float* at = part.normal(recent.vertex);
      if (joins(f, at)) {
        chosen = recent.vertex;
        n = at;
      }
    }
    if (chosen == UINT32_MAX) {
      const uint32_t tag = tagOf(h);
      const std::size_t mask = part.slots.size() - 1;
      std::size_t j = static_cast<std::size_t>(h) & mask;
      uint32_t first = UINT32_MAX;
      int clusters = 0;
      for (;; j = (j + 1) & mask) {
        const uint32_t s = part.slots[j];
        if (s == 0) break;
        if ((s & kTagMask) != tag) continue;
        const uint32_t v = (s >> kTagBits) - 1;
        const float* at = part.position(v);
        if (std::bit_cast<uint32_t>(at[0]) != k.x || std::bit_cast<uint32_t>(at[1]) != k.y ||
            std::bit_cast<uint32_t>(at[2]) != k.z || part.colour(v) != k.colour) {
          continue;
        }
        if (clusters++ == 0) first = v;
        if (joins(f, part.normal(v))) {
          chosen = v;
          break;
        }
        if (clusters == kMaxClusters) {
          chosen = first;
          break;
        }
      }
      if (chosen == UINT32_MAX) {
        if (part.count == kMaxVertices) {
          part.full = true;
          return;
        }
        chosen = part.append(k.x, k.y, k.z, static_cast<uint16_t>(k.colour));
        part.slots[j] = (chosen + 1) << kTagBits | tag;
        if (part.count > part.slots.size() / 4 * 3) part.rehash(part.slots.size() * 2);
        if (clusters == 0) {
          recent = RecentVertex{k.x, k.y, k.z, k.colour, 0, chosen};
        } else if (cached) {
          recent.several = 1;
        }
      }
    }
    if (n == nullptr) n = part.normal(chosen);
    n[0] += f[0];
    n[1] += f[1];
    n[2] += f[2];
    indices[k.corner] = partitionBits | chosen;
  }
  }
}

bool CreaseWelder::add(const TriangleBlock& block, const std::function<void()>& alongside) {
  if (block.count == 0) {
    if (alongside) alongside();
    return !full_;
  }
  if (full_ || block.count > (UINT32_MAX - indices_.size()) / 3) {
    full_ = true;
    if (alongside) alongside();
    return false;
  }
  const std::size_t corners = 3 * block.count;
  ranges_ = block.count < 4096 ? 1 : workers_.count();
  faceNormals_.resize(3 * block.count);
  buckets_.resize(std::max(buckets_.size(), ranges_ * kPartitions));
  // Each range of triangles sorts its corners into a bucket per partition, in order; a
  // partition welds its buckets range by range, so in file order.
  workers_.run(ranges_, [&](std::size_t r) {
    std::vector<Corner>* buckets = &buckets_[r * kPartitions];
    for (std::size_t p = 0; p < kPartitions; ++p) buckets[p].clear();
    const std::size_t first = block.count * r / ranges_, last = block.count * (r + 1) / ranges_;
    const uint8_t* bytes = block.bytes;
    const std::size_t stride = block.stride;
    const uint16_t* colours = block.colours;
    float* normals = faceNormals_.data();
    for (std::size_t t = first; t < last; ++t) {
      const uint8_t* q = bytes + t * stride;
      uint32_t bits[9];
      for (int i = 0; i < 9; ++i) bits[i] = keyBits(loadBits(q + 4 * i));
      float v[9];
      for (int i = 0; i < 9; ++i) v[i] = asFloat(bits[i]);
      const float e1[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]};
      const float e2[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
      float* n = normals + 3 * t;
      n[0] = e1[1] * e2[2] - e1[2] * e2[1];
      n[1] = e1[2] * e2[0] - e1[0] * e2[2];
      n[2] = e1[0] * e2[1] - e1[1] * e2[0];
      const uint32_t colour = colours != nullptr ? colours[t] : 0;
      for (uint32_t k = 0; k < 3; ++k) {
        const uint64_t h = hashKey(bits[3 * k], bits[3 * k + 1], bits[3 * k + 2], colour);
        buckets[partitionOf(h)].push_back({static_cast<uint32_t>(h), bits[3 * k], bits[3 * k + 1], bits[3 * k + 2],
                                           static_cast<uint32_t>(3 * t) + k, static_cast<uint16_t>(colour)});
      }
    }
  });

  const std::size_t firstCorner = indices_.size();
  indices_.resize(firstCorner + corners);
  // The first job is the caller's (reading the next block), so that a worker starts on it at once.
  workers_.run(kPartitions + 1, [&](std::size_t i) {
    if (i == 0) {
      if (alongside) alongside();
    } else {
      weldPartition(i - 1, firstCorner);
    }
  });
  for (const Partition& part : partitions_) full_ = full_ || part.full;
  if (block.colours != nullptr && !coloured_) {
    coloured_ = std::any_of(block.colours, block.colours + block.count, [](uint16_t c) { return c != 0; });
  }
  return !full_;
}

void CreaseWelder::finish(MeshPrimitive& out, const float defaultColour[4]) {
  // The block lists go first: the copies below are the peak of a read.
  std::vector<std::vector<Corner>>().swap(buckets_);
  std::vector<float>().swap(faceNormals_);
  std::vector<uint32_t> base(kPartitions);
  std::size_t total = 0;
  for (std::size_t p = 0; p < kPartitions; ++p) {
    base[p] = static_cast<uint32_t>(total);
    total += partitions_[p].count;
    std::vector<uint32_t>().swap(partitions_[p].slots);
    std::vector<RecentVertex>().swap(partitions_[p].recent);
  }
  out.mode = PrimitiveMode::kTriangles;
  // One attribute at a time, each let go once copied, so that the mesh is held about once;
  // the partitions copy out in parallel, each to where its vertices go.
  auto copyOut = [&](std::vector<float>& to, std::size_t width, auto&& write) {
    to.assign(width * total, 0.0f);
    workers_.run(kPartitions, [&](std::size_t p) {
      Partition& part = partitions_[p];
      float* at = to.data() + width * base[p];
      for (uint32_t v = 0; v < part.count; ++v, at += width) write(part, v, at);
    });
  };
  copyOut(out.positions, 3, [](Partition& part, uint32_t v, float* at) { std::copy(part.position(v), part.position(v) + 3, at); });
  for (Partition& part : partitions_) std::vector<float>().swap(part.morePositions);
  positions_.reset();
  copyOut(out.normals, 3, [](Partition& part, uint32_t v, float* at) {
    const float* s = part.normal(v);
    const float length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    if (length > 0 && std::isfinite(length)) {
      at[0] = s[0] / length, at[1] = s[1] / length, at[2] = s[2] / length;
    } else {
      at[0] = 0, at[1] = 0, at[2] = 1;
    }
  });
  for (Partition& part : partitions_) std::vector<float>().swap(part.moreNormals);
  normals_.reset();
  out.colors.clear();
  if (coloured_) {
    float levels[32];
    for (int i = 0; i < 32; ++i) levels[i] = srgbToLinear(static_cast<float>(i) / 31.0f);
    copyOut(out.colors, 4, [&](Partition& part, uint32_t v, float* at) {
      const uint16_t code = part.colour(v);
      if (code == 0) {
        std::copy(defaultColour, defaultColour + 4, at);
      } else {
        at[0] = levels[(code >> 10) & 31], at[1] = levels[(code >> 5) & 31], at[2] = levels[code & 31], at[3] = 1;
      }
    });
  }
  colours_.reset();
  for (Partition& part : partitions_) part = Partition();
  stretch_ = 0;
  const std::size_t n = indices_.size();
  const std::size_t ranges = n < 65536 ? 1 : workers_.count();
  workers_.run(ranges, [&](std::size_t r) {
    for (std::size_t i = n * r / ranges; i < n * (r + 1) / ranges; ++i) {
      indices_[i] = base[indices_[i] >> kLocalBits] + (indices_[i] & kLocalMask);
    }
  });
  out.indices = std::move(indices_);
  indices_ = {};
  coloured_ = false;
  full_ = false;
}

}  // namespace meshio
