#include "scene/environment_light.h"

#include <fcntl.h>
#include <stb_image.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string_view>
#include <system_error>
#include <thread>
#include <cstdlib>

#include "platform/regular_file.h"

namespace fs = std::filesystem;

namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr float kHalfMax = 65504.0f;

// Bumped whenever the studio's look changes, so cached maps of an older studio are not used.
constexpr int kStudioVersion = 1;
// Bumped whenever the maps computed from the same source and sizes would change.
constexpr int kComputationVersion = 2;

// ---- Vectors.

struct Vec3 {
  float x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator*(Vec3 a, float k) { return {a.x * k, a.y * k, a.z * k}; }
float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec3 normalize(Vec3 a) { return a * (1.0f / std::sqrt(dot(a, a))); }

struct Rgb {
  float r = 0, g = 0, b = 0;
};
Rgb operator+(Rgb a, Rgb b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Rgb operator*(Rgb a, float k) { return {a.r * k, a.g * k, a.b * k}; }

float smoothstep(float edge0, float edge1, float x) {
  const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
  return t * t * (3.0f - 2.0f * t);
}

// ---- Work on all cores.

// Runs body(begin, end) over [0, count) in chunks of `grain` on every core, the caller's thread
// included. Threads that cannot be started leave their share to the others.
template <class Body>
void parallelFor(int count, int grain, const Body& body) {
  if (count <= 0) return;
  const int chunks = (count + grain - 1) / grain;
  const int threads = std::min<int>(chunks, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  std::atomic<int> next{0};
  auto work = [&] {
    for (;;) {
      const int chunk = next.fetch_add(1);
      if (chunk >= chunks) return;
      body(chunk * grain, std::min(count, (chunk + 1) * grain));
    }
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& t : pool) t.join();
}

// ---- Hashing (FNV-1a, 64 bits): cache file names, image identities and the cache's checksum.

uint64_t fnv1a(const void* data, std::size_t size, uint64_t hash = 0xcbf29ce484222325ull) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return hash;
}

// The cache's checksum: FNV-1a's step over eight-byte words in four lanes, then the tail byte
// by byte; a cached start reads megabytes, which a byte at a time takes milliseconds to sum.
uint64_t wideChecksum(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t lane[4] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull, 0x9ce484222325cbf2ull, 0x2325cbf29ce48422ull};
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    for (int k = 0; k < 4; ++k) {
      uint64_t word;
      std::memcpy(&word, bytes + i + 8 * k, 8);
      lane[k] = (lane[k] ^ word) * 0x100000001b3ull;
    }
  }
  uint64_t hash = fnv1a(lane, sizeof lane);
  return fnv1a(bytes + i, size - i, hash);
}

std::string hex64(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// ---- Cube faces (Vulkan's face selection; the table is in the header).

struct FacePoint {
  int face = 0;
  float s = 0, t = 0;
};

FacePoint faceOf(Vec3 d) {
  const float ax = std::fabs(d.x), ay = std::fabs(d.y), az = std::fabs(d.z);
  float sc, tc, ma;
  int face;
  if (ax >= ay && ax >= az) {
    face = d.x > 0 ? 0 : 1;
    sc = d.x > 0 ? -d.z : d.z;
    tc = -d.y;
    ma = ax;
  } else if (ay >= az) {
    face = d.y > 0 ? 2 : 3;
    sc = d.x;
    tc = d.y > 0 ? d.z : -d.z;
    ma = ay;
  } else {
    face = d.z > 0 ? 4 : 5;
    sc = d.z > 0 ? d.x : -d.x;
    tc = -d.y;
    ma = az;
  }
  const float inv = ma > 0 ? 0.5f / ma : 0.0f;
  return {face, sc * inv + 0.5f, tc * inv + 0.5f};
}

Vec3 faceDirection(int face, float s, float t) {
  const float u = 2.0f * s - 1.0f, v = 2.0f * t - 1.0f;
  Vec3 d;
  switch (face) {
    case 0: d = {1, -v, -u}; break;
    case 1: d = {-1, -v, u}; break;
    case 2: d = {u, 1, v}; break;
    case 3: d = {u, -1, -v}; break;
    case 4: d = {u, -v, 1}; break;
    default: d = {-u, -v, -1}; break;
  }
  return normalize(d);
}

// One level of a cube map in float RGB: 6 faces of n x n, row 0 first.
struct CubeLevel {
  int n = 0;
  std::vector<Rgb> texels;
  Rgb at(int face, int row, int col) const {
    return texels[(static_cast<std::size_t>(face) * n + static_cast<std::size_t>(row)) * n + col];
  }
};

// floor() for the texel coordinates here, which are never below -1: a truncation, not a call.
int floorAboveMinusOne(float x) { return static_cast<int>(x + 1.0f) - 1; }

// Bilinear within the face, clamped at its edges: the seams this leaves are far below what the
// prefiltering blurs.
Rgb sampleFace(const CubeLevel& level, const FacePoint& p) {
  const int n = level.n;
  const float x = p.s * static_cast<float>(n) - 0.5f, y = p.t * static_cast<float>(n) - 0.5f;
  const int ix = floorAboveMinusOne(x), iy = floorAboveMinusOne(y);
  const float wx = x - static_cast<float>(ix), wy = y - static_cast<float>(iy);
  const int x0 = std::max(ix, 0), x1 = std::min(ix + 1, n - 1);
  const int y0 = std::max(iy, 0), y1 = std::min(iy + 1, n - 1);
  const Rgb* face = level.texels.data() + static_cast<std::size_t>(p.face) * n * n;
  const Rgb* row0 = face + static_cast<std::size_t>(y0) * n;
  const Rgb* row1 = face + static_cast<std::size_t>(y1) * n;
  const Rgb top = row0[x0] * (1 - wx) + row0[x1] * wx;
  const Rgb bottom = row1[x0] * (1 - wx) + row1[x1] * wx;
  return top * (1 - wy) + bottom * wy;
}

Rgb sampleChain(const std::vector<CubeLevel>& chain, Vec3 d, float lod) {
  const FacePoint p = faceOf(d);
  const int last = static_cast<int>(chain.size()) - 1;
  const int low = std::min(static_cast<int>(lod), last);
  const float w = lod - static_cast<float>(low);
  const Rgb a = sampleFace(chain[static_cast<std::size_t>(low)], p);
  if (w <= 0.0f || low == last) return a;
  return a * (1 - w) + sampleFace(chain[static_cast<std::size_t>(low) + 1], p) * w;
}

CubeLevel halveCube(const CubeLevel& from) {
  CubeLevel to;
  to.n = std::max(1, from.n / 2);
  to.texels.resize(6 * static_cast<std::size_t>(to.n) * to.n);
  const int step = from.n > 1 ? 1 : 0;
  parallelFor(6 * to.n, 16, [&](int begin, int end) {
    for (int fr = begin; fr < end; ++fr) {
      const int face = fr / to.n, row = fr % to.n;
      for (int col = 0; col < to.n; ++col) {
        const int r = row * 2, c = col * 2;
        to.texels[(static_cast<std::size_t>(face) * to.n + row) * to.n + col] =
            (from.at(face, r, c) + from.at(face, r, c + step) + from.at(face, r + step, c) +
             from.at(face, r + step, c + step)) *
            0.25f;
      }
    }
  });
  return to;
}

// ---- The studio.

struct Softbox {
  Vec3 centre, across, up;
  float halfWidth, halfHeight;  // in the plane one unit out along `centre`
  float radiance;
};

Softbox softbox(float azimuthDegrees, float elevationDegrees, float halfWidth, float halfHeight, float radiance) {
  const float az = azimuthDegrees * kPi / 180.0f, el = elevationDegrees * kPi / 180.0f;
  const Vec3 centre{std::cos(el) * std::cos(az), std::cos(el) * std::sin(az), std::sin(el)};
  const Vec3 across = normalize(cross(Vec3{0, 0, 1}, centre));
  return {centre, across, cross(centre, across), halfWidth, halfHeight, radiance};
}

// A key light above and in front, a tall strip to one side, a wide strip behind: each large
// enough to read as a window in a rough metal and a clean rectangle in a polished one.
const Softbox kSoftboxes[] = {
    softbox(25.0f, 50.0f, 0.40f, 0.26f, 2.6f),
    softbox(-75.0f, 15.0f, 0.13f, 0.45f, 2.2f),
    softbox(160.0f, 30.0f, 0.45f, 0.10f, 2.0f),
};

float softEdge(float a) { return 1.0f - smoothstep(0.8f, 1.2f, a); }

float studioRadiance(Vec3 d) {
  // The dome: a darker floor, a neutral horizon, brighter overhead.
  const float sky = 0.40f + 0.25f * std::sqrt(std::max(d.z, 0.0f));
  const float floor = 0.16f;
  float radiance = floor + (sky - floor) * smoothstep(-0.10f, 0.03f, d.z);
  for (const Softbox& box : kSoftboxes) {
    const float k = dot(d, box.centre);
    if (k <= 0.5f) continue;
    const float x = std::fabs(dot(d, box.across) / k) / box.halfWidth;
    const float y = std::fabs(dot(d, box.up) / k) / box.halfHeight;
    if (x >= 1.2f || y >= 1.2f) continue;
    radiance += box.radiance * softEdge(x) * softEdge(y);
  }
  return radiance;
}

// ---- Equirectangular images.

Rgb equirectTexel(const EquirectImage& image, int x, int y) {
  const float* p = &image.rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
  return {p[0], p[1], p[2]};
}

Rgb sampleEquirect(const EquirectImage& image, Vec3 d) {
  const float u = 0.5f - std::atan2(d.y, d.x) / (2.0f * kPi);
  const float v = std::acos(std::clamp(d.z, -1.0f, 1.0f)) / kPi;
  const float x = u * static_cast<float>(image.width) - 0.5f, y = v * static_cast<float>(image.height) - 0.5f;
  const int ix = floorAboveMinusOne(x), iy = floorAboveMinusOne(y);
  const float wx = x - static_cast<float>(ix), wy = y - static_cast<float>(iy);
  // Longitude wraps around; latitude stops at the poles.
  const int w = image.width;
  const int x0 = (ix + w) % w, x1 = (ix + 1) % w;
  const int y0 = std::clamp(iy, 0, image.height - 1), y1 = std::clamp(iy + 1, 0, image.height - 1);
  const Rgb top = equirectTexel(image, x0, y0) * (1 - wx) + equirectTexel(image, x1, y0) * wx;
  const Rgb bottom = equirectTexel(image, x0, y1) * (1 - wx) + equirectTexel(image, x1, y1) * wx;
  return top * (1 - wy) + bottom * wy;
}

EquirectImage halveEquirect(const EquirectImage& from) {
  EquirectImage to;
  to.width = (from.width + 1) / 2;
  to.height = (from.height + 1) / 2;
  to.rgb.resize(static_cast<std::size_t>(to.width) * to.height * 3);
  parallelFor(to.height, 8, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const int y0 = 2 * y, y1 = std::min(2 * y + 1, from.height - 1);
      for (int x = 0; x < to.width; ++x) {
        const int x0 = 2 * x, x1 = std::min(2 * x + 1, from.width - 1);
        const Rgb sum = equirectTexel(from, x0, y0) + equirectTexel(from, x1, y0) + equirectTexel(from, x0, y1) +
                        equirectTexel(from, x1, y1);
        float* out = &to.rgb[(static_cast<std::size_t>(y) * to.width + x) * 3];
        out[0] = sum.r * 0.25f;
        out[1] = sum.g * 0.25f;
        out[2] = sum.b * 0.25f;
      }
    }
  });
  return to;
}

// Level 0 from the environment, 2 x 2 samples a texel so that sharp edges (the softboxes, a
// sun) come out antialiased.
template <class Radiance>
CubeLevel renderCube(int n, const Radiance& radiance) {
  CubeLevel level;
  level.n = n;
  level.texels.resize(6 * static_cast<std::size_t>(n) * n);
  parallelFor(6 * n, 8, [&](int begin, int end) {
    for (int fr = begin; fr < end; ++fr) {
      const int face = fr / n, row = fr % n;
      for (int col = 0; col < n; ++col) {
        Rgb sum;
        for (int j = 0; j < 2; ++j) {
          for (int i = 0; i < 2; ++i) {
            const float s = (static_cast<float>(col) + 0.25f + 0.5f * static_cast<float>(i)) / static_cast<float>(n);
            const float t = (static_cast<float>(row) + 0.25f + 0.5f * static_cast<float>(j)) / static_cast<float>(n);
            sum = sum + radiance(faceDirection(face, s, t));
          }
        }
        level.texels[(static_cast<std::size_t>(face) * n + row) * n + col] = sum * 0.25f;
      }
    }
  });
  return level;
}

// ---- Sampling GGX.

// The van der Corput radical inverse of i in base 2, in [0, 1).
float hammersley(uint32_t i) {
  uint32_t bits = i;
  bits = (bits << 16u) | (bits >> 16u);
  bits = ((bits & 0x55555555u) << 1u) | ((bits & 0xAAAAAAAAu) >> 1u);
  bits = ((bits & 0x33333333u) << 2u) | ((bits & 0xCCCCCCCCu) >> 2u);
  bits = ((bits & 0x0F0F0F0Fu) << 4u) | ((bits & 0xF0F0F0F0u) >> 4u);
  bits = ((bits & 0x00FF00FFu) << 8u) | ((bits & 0xFF00FF00u) >> 8u);
  return static_cast<float>(bits >> 8) * 0x1p-24f;
}

// The GGX half vector for the point (i + 0.5) / count, hammersley(i) of the unit square, about +Z.
Vec3 ggxHalfVector(int i, int count, float alpha) {
  const float phi = 2.0f * kPi * (static_cast<float>(i) + 0.5f) / static_cast<float>(count);
  const float xi = hammersley(static_cast<uint32_t>(i));
  const float cosTheta = std::sqrt((1.0f - xi) / (1.0f + (alpha * alpha - 1.0f) * xi));
  const float sinTheta = std::sqrt(std::max(0.0f, 1.0f - cosTheta * cosTheta));
  return {sinTheta * std::cos(phi), sinTheta * std::sin(phi), cosTheta};
}

float ggxDistribution(float nDotH, float alpha) {
  const float a2 = alpha * alpha;
  const float k = nDotH * nDotH * (a2 - 1.0f) + 1.0f;
  return a2 / (kPi * k * k);
}

// Height-correlated Smith visibility G / (4 N.L N.V) (Heitz 2014, as glTF's appendix B).
float smithVisibility(float nDotV, float nDotL, float alpha) {
  const float a2 = alpha * alpha;
  const float ggxV = nDotL * std::sqrt(nDotV * nDotV * (1.0f - a2) + a2);
  const float ggxL = nDotV * std::sqrt(nDotL * nDotL * (1.0f - a2) + a2);
  const float sum = ggxV + ggxL;
  return sum > 0.0f ? 0.5f / sum : 0.0f;
}

// ---- Prefiltered specular.

struct LobeSample {
  Vec3 l;  // about +Z
  float weight;
  float lod;
};

// The light directions of a GGX lobe about N = V = R, each to be read from the mip whose texels
// are as large as the solid angle the sample stands for (Colbert and Krivanek 2007, Karis 2013):
// few samples then give a smooth result.
std::vector<LobeSample> lobeSamples(float alpha, int count, int baseSize) {
  std::vector<LobeSample> samples;
  const float texelSolidAngle = 4.0f * kPi / (6.0f * static_cast<float>(baseSize) * static_cast<float>(baseSize));
  for (int i = 0; i < count; ++i) {
    const Vec3 h = ggxHalfVector(i, count, alpha);
    const Vec3 l{2.0f * h.z * h.x, 2.0f * h.z * h.y, 2.0f * h.z * h.z - 1.0f};
    if (l.z <= 0.0f) continue;
    // pdf(L) = D N.H / (4 V.H), and N.H = V.H here.
    const float pdf = ggxDistribution(h.z, alpha) * 0.25f;
    const float sampleSolidAngle = 1.0f / (static_cast<float>(count) * pdf + 1e-6f);
    // One level up from the texel-sized level: a little blur hides the samples' pattern.
    const float lod = std::max(0.0f, 0.5f * std::log2(sampleSolidAngle / texelSolidAngle) + 1.0f);
    samples.push_back({l, l.z, lod});
  }
  return samples;
}

CubeLevel prefilter(const std::vector<CubeLevel>& chain, int n, float alpha, int sampleCount) {
  const std::vector<LobeSample> samples = lobeSamples(alpha, sampleCount, chain[0].n);
  float totalWeight = 0;
  for (const LobeSample& s : samples) totalWeight += s.weight;
  const float invWeight = totalWeight > 0 ? 1.0f / totalWeight : 0.0f;
  CubeLevel level;
  level.n = n;
  level.texels.resize(6 * static_cast<std::size_t>(n) * n);
  parallelFor(6 * n, std::max(1, 256 / n), [&](int begin, int end) {
    for (int fr = begin; fr < end; ++fr) {
      const int face = fr / n, row = fr % n;
      for (int col = 0; col < n; ++col) {
        const Vec3 normal = faceDirection(face, (static_cast<float>(col) + 0.5f) / static_cast<float>(n),
                                          (static_cast<float>(row) + 0.5f) / static_cast<float>(n));
        const Vec3 up = std::fabs(normal.z) < 0.999f ? Vec3{0, 0, 1} : Vec3{1, 0, 0};
        const Vec3 tangent = normalize(cross(up, normal));
        const Vec3 bitangent = cross(normal, tangent);
        Rgb sum;
        for (const LobeSample& s : samples) {
          const Vec3 l = tangent * s.l.x + bitangent * s.l.y + normal * s.l.z;
          sum = sum + sampleChain(chain, l, s.lod) * s.weight;
        }
        level.texels[(static_cast<std::size_t>(face) * n + row) * n + col] = sum * invWeight;
      }
    }
  });
  return level;
}

std::vector<uint16_t> toHalfRgba(const CubeLevel& level) {
  std::vector<uint16_t> out(level.texels.size() * 4);
  const uint16_t one = floatToHalf(1.0f);
  parallelFor(static_cast<int>(level.texels.size()), 4096, [&](int begin, int end) {
    for (int i = begin; i < end; ++i) {
      const Rgb& c = level.texels[static_cast<std::size_t>(i)];
      uint16_t* o = &out[static_cast<std::size_t>(i) * 4];
      o[0] = floatToHalf(std::min(c.r, kHalfMax));
      o[1] = floatToHalf(std::min(c.g, kHalfMax));
      o[2] = floatToHalf(std::min(c.b, kHalfMax));
      o[3] = one;
    }
  });
  return out;
}

// ---- Diffuse irradiance.

// The real spherical harmonics' constants, in the order of the polynomials
// 1, y, z, x, xy, yz, 3z^2 - 1, xz, x^2 - y^2.
constexpr float kShConstants[9] = {0.282094792f, 0.488602512f, 0.488602512f, 0.488602512f, 1.092548431f,
                                   1.092548431f, 0.315391565f, 1.092548431f, 0.546274215f};
// The clamped cosine's convolution per band (Ramamoorthi and Hanrahan 2001), divided by pi for
// the Lambertian BRDF: pi, 2 pi / 3, pi / 4.
constexpr float kBandScale[9] = {1.0f, 2.0f / 3, 2.0f / 3, 2.0f / 3, 0.25f, 0.25f, 0.25f, 0.25f, 0.25f};

void shPolynomials(Vec3 d, float p[9]) {
  p[0] = 1.0f;
  p[1] = d.y;
  p[2] = d.z;
  p[3] = d.x;
  p[4] = d.x * d.y;
  p[5] = d.y * d.z;
  p[6] = 3.0f * d.z * d.z - 1.0f;
  p[7] = d.x * d.z;
  p[8] = d.x * d.x - d.y * d.y;
}

// The solid angle of the face rectangle from (-1, -1) to (x, y) on the plane one unit out, less
// a constant: the corners' difference gives a texel's exact solid angle.
double cornerSolidAngle(double x, double y) { return std::atan2(x * y, std::sqrt(x * x + y * y + 1.0)); }

std::array<std::array<float, 3>, 9> projectIrradiance(const CubeLevel& level) {
  const int n = level.n;
  std::vector<double> solidAngle(static_cast<std::size_t>(n) * n);
  for (int row = 0; row < n; ++row) {
    for (int col = 0; col < n; ++col) {
      const double x0 = 2.0 * col / n - 1.0, x1 = 2.0 * (col + 1) / n - 1.0;
      const double y0 = 2.0 * row / n - 1.0, y1 = 2.0 * (row + 1) / n - 1.0;
      solidAngle[static_cast<std::size_t>(row) * n + col] =
          cornerSolidAngle(x0, y0) - cornerSolidAngle(x0, y1) - cornerSolidAngle(x1, y0) + cornerSolidAngle(x1, y1);
    }
  }
  std::array<std::array<double, 27>, 6> perFace{};
  parallelFor(6, 1, [&](int begin, int end) {
    for (int face = begin; face < end; ++face) {
      std::array<double, 27>& sum = perFace[static_cast<std::size_t>(face)];
      for (int row = 0; row < n; ++row) {
        for (int col = 0; col < n; ++col) {
          const Vec3 d = faceDirection(face, (static_cast<float>(col) + 0.5f) / static_cast<float>(n),
                                       (static_cast<float>(row) + 0.5f) / static_cast<float>(n));
          float p[9];
          shPolynomials(d, p);
          const Rgb c = level.at(face, row, col);
          const double w = solidAngle[static_cast<std::size_t>(row) * n + col];
          for (int i = 0; i < 9; ++i) {
            const double k = w * p[i];
            sum[static_cast<std::size_t>(i) * 3 + 0] += k * c.r;
            sum[static_cast<std::size_t>(i) * 3 + 1] += k * c.g;
            sum[static_cast<std::size_t>(i) * 3 + 2] += k * c.b;
          }
        }
      }
    }
  });
  std::array<std::array<float, 3>, 9> out{};
  for (int i = 0; i < 9; ++i) {
    for (int c = 0; c < 3; ++c) {
      double total = 0;
      for (const auto& face : perFace) total += face[static_cast<std::size_t>(i) * 3 + c];
      // Projection onto Y_i = K_i p_i is K_i * total; evaluation multiplies by K_i again.
      const double k = static_cast<double>(kShConstants[i]);
      out[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)] =
          static_cast<float>(total * k * k * static_cast<double>(kBandScale[i]));
    }
  }
  return out;
}

// ---- Radiance files.

bool fail(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return false;
}

struct HdrLayout {
  int width = 0, height = 0;
  std::size_t dataStart = 0;
};

// The header as stb_image reads it: the signature line, lines up to an empty one, then
// "-Y H +X W". Stricter than stb where they could disagree on where the pixels start (a NUL
// byte ends stb's lines early), so that the scanlines checked are the ones decoded.
bool readHdrHeader(std::span<const uint8_t> bytes, HdrLayout& layout, std::string* why) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t pos;
  if (text.starts_with("#?RADIANCE\n")) {
    pos = 11;
  } else if (text.starts_with("#?RGBE\n")) {
    pos = 7;
  } else {
    return fail(why, "is no Radiance image (it does not begin with #?RADIANCE)");
  }
  bool rgbe = false, xyze = false;
  for (;;) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) return fail(why, "ends inside its header");
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.find('\0') != std::string_view::npos) return fail(why, "has a NUL byte in its header");
    if (line.empty()) break;
    rgbe = rgbe || line == "FORMAT=32-bit_rle_rgbe";
    xyze = xyze || line == "FORMAT=32-bit_rle_xyze";
  }
  if (!rgbe) return fail(why, xyze ? "holds XYZE colours, not RGBE" : "names no FORMAT=32-bit_rle_rgbe");
  const std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return fail(why, "ends before its resolution line");
  std::string_view line = text.substr(pos, end - pos);
  auto number = [&line](int& value) {
    std::size_t digits = 0;
    value = 0;
    while (digits < line.size() && digits < 7 && line[digits] >= '0' && line[digits] <= '9') {
      value = value * 10 + (line[digits] - '0');
      ++digits;
    }
    line.remove_prefix(digits);
    return digits > 0 && digits < 7;
  };
  int height = 0, width = 0;
  bool ok = line.starts_with("-Y ");
  if (ok) line.remove_prefix(3);
  ok = ok && number(height);
  while (ok && line.starts_with(' ')) line.remove_prefix(1);
  ok = ok && line.starts_with("+X ");
  if (ok) line.remove_prefix(3);
  ok = ok && number(width);
  if (!ok || line.find('\0') != std::string_view::npos) {
    return fail(why, "has no \"-Y HEIGHT +X WIDTH\" resolution line (the only layout read)");
  }
  if (width < 1 || height < 1) return fail(why, "is empty");
  if (static_cast<int64_t>(width) * height > kMaxEnvironmentPixels) {
    return fail(why, "has " + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels, more than the 8192 x 4096 read");
  }
  layout = {width, height, end + 1};
  return true;
}

// Walks the scanlines without decoding them: each must be whole and its runs must fit, so that
// the decoder never reads past the end nor meets a run it would stop at halfway.
bool checkHdrScanlines(std::span<const uint8_t> bytes, const HdrLayout& layout, std::string* why) {
  const std::size_t size = bytes.size();
  const std::size_t w = static_cast<std::size_t>(layout.width), h = static_cast<std::size_t>(layout.height);
  std::size_t p = layout.dataStart;
  const std::string truncated = "ends before its last scanline";
  // Widths outside 8..32767 cannot be run-length encoded: 4 bytes a pixel.
  if (w < 8 || w >= 32768) return size - p >= 4 * w * h || fail(why, truncated);
  for (std::size_t row = 0; row < h; ++row) {
    if (size - p < 4) return fail(why, truncated);
    if (bytes[p] != 2 || bytes[p + 1] != 2 || (bytes[p + 2] & 0x80) != 0) {
      // A first scanline that is not run-length encoded makes the whole image flat.
      if (row == 0) return size - p >= 4 * w * h || fail(why, truncated);
      return fail(why, "mixes flat and run-length encoded scanlines (scanline " + std::to_string(row + 1) + ")");
    }
    if ((static_cast<std::size_t>(bytes[p + 2]) << 8 | bytes[p + 3]) != w) {
      return fail(why, "has a scanline of another width (scanline " + std::to_string(row + 1) + ")");
    }
    p += 4;
    for (int component = 0; component < 4; ++component) {
      std::size_t filled = 0;
      while (filled < w) {
        if (p >= size) return fail(why, truncated);
        std::size_t count = bytes[p++];
        std::size_t take = 0;
        if (count > 128) {
          count -= 128;
          take = 1;
        } else {
          take = count;
        }
        if (count == 0 || count > w - filled) {
          return fail(why, "has a damaged run in scanline " + std::to_string(row + 1));
        }
        if (size - p < take) return fail(why, truncated);
        p += take;
        filled += count;
      }
    }
  }
  return true;
}

// ---- The cache file.

constexpr char kCacheMagic[8] = {'M', 'V', 'I', 'B', 'L', 'M', 'A', 'P'};
constexpr uint32_t kCacheFormatVersion = 2;
constexpr uint64_t kMaxCacheBytes = uint64_t{512} << 20;
static_assert(std::endian::native == std::endian::little, "the cache file is written in the machine's byte order");

fs::path cacheFile(const fs::path& cacheDir, const std::string& key) {
  return cacheDir / ("environment-" + hex64(fnv1a(key.data(), key.size())) + ".ibl");
}

template <class T>
void put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads what the file holds in order, each read checked against what is left.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  template <class T>
  bool get(T& value) {
    return bytes(&value, sizeof value);
  }
  bool bytes(void* to, std::size_t count) {
    if (bytes_.size() - pos_ < count) return false;
    std::memcpy(to, bytes_.data() + pos_, count);
    pos_ += count;
    return true;
  }
  std::size_t left() const { return bytes_.size() - pos_; }

 private:
  std::span<const uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// The levels of a full mip chain from `size` down to 1.
int fullChain(int size) { return static_cast<int>(std::bit_width(static_cast<unsigned>(size))); }

bool validSizes(int cubeSize, int levels, int brdfSize) {
  if (cubeSize < 1 || cubeSize > 4096 || !std::has_single_bit(static_cast<unsigned>(cubeSize))) return false;
  if (levels < 1 || levels > fullChain(cubeSize)) return false;
  return brdfSize >= 1 && brdfSize <= 1024;
}

std::string serialize(const std::string& key, const EnvironmentMaps& maps) {
  std::string out;
  out.append(kCacheMagic, sizeof kCacheMagic);
  put(out, kCacheFormatVersion);
  put(out, static_cast<uint32_t>(key.size()));
  out += key;
  put(out, static_cast<int32_t>(maps.cubeSize));
  put(out, static_cast<int32_t>(maps.levels()));
  put(out, static_cast<int32_t>(maps.brdfSize));
  for (const auto& coefficient : maps.irradiance) {
    for (float c : coefficient) put(out, c);
  }
  for (const auto& level : maps.specular) out.append(reinterpret_cast<const char*>(level.data()), level.size() * 2);
  out.append(reinterpret_cast<const char*>(maps.brdf.data()), maps.brdf.size() * 2);
  put(out, wideChecksum(out.data(), out.size()));
  return out;
}

bool deserialize(std::span<const uint8_t> bytes, const std::string& key, EnvironmentMaps& out) {
  if (bytes.size() < sizeof(uint64_t)) return false;
  const std::size_t body = bytes.size() - sizeof(uint64_t);
  uint64_t checksum = 0;
  std::memcpy(&checksum, bytes.data() + body, sizeof checksum);
  if (wideChecksum(bytes.data(), body) != checksum) return false;
  ByteReader in(bytes.first(body));
  char magic[sizeof kCacheMagic];
  uint32_t version = 0, keySize = 0;
  if (!in.bytes(magic, sizeof magic) || std::memcmp(magic, kCacheMagic, sizeof magic) != 0) return false;
  if (!in.get(version) || version != kCacheFormatVersion) return false;
  if (!in.get(keySize) || keySize != key.size() || in.left() < keySize) return false;
  std::string storedKey(keySize, '\0');
  if (!in.bytes(storedKey.data(), keySize) || storedKey != key) return false;
  int32_t cubeSize = 0, levels = 0, brdfSize = 0;
  if (!in.get(cubeSize) || !in.get(levels) || !in.get(brdfSize) || !validSizes(cubeSize, levels, brdfSize)) {
    return false;
  }
  uint64_t texels = 0;
  for (int i = 0; i < levels; ++i) {
    const uint64_t n = static_cast<uint64_t>(cubeSize >> i);
    texels += 6 * n * n;
  }
  const uint64_t expected = 27 * sizeof(float) + texels * 8 + static_cast<uint64_t>(brdfSize) * brdfSize * 4;
  if (in.left() != expected) return false;
  EnvironmentMaps maps;
  maps.cubeSize = cubeSize;
  for (auto& coefficient : maps.irradiance) {
    for (float& c : coefficient) {
      if (!in.get(c) || !std::isfinite(c)) return false;
    }
  }
  maps.specular.resize(static_cast<std::size_t>(levels));
  for (int i = 0; i < levels; ++i) {
    const std::size_t n = static_cast<std::size_t>(cubeSize >> i);
    maps.specular[static_cast<std::size_t>(i)].resize(6 * n * n * 4);
    if (!in.bytes(maps.specular[static_cast<std::size_t>(i)].data(), 6 * n * n * 8)) return false;
  }
  maps.brdfSize = brdfSize;
  maps.brdf.resize(static_cast<std::size_t>(brdfSize) * brdfSize * 2);
  if (!in.bytes(maps.brdf.data(), maps.brdf.size() * 2)) return false;
  out = std::move(maps);
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes `bytes` to a new temporary beside `target` and renames it over `target`: a reader sees
// the old file or the new one, never part of one.
bool writeFileAtomically(const fs::path& target, const std::string& bytes, std::string* why) {
  // Past the file-size limit a write raises SIGXFSZ, which would end the program over a cache.
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && bytes.size() > limit.rlim_cur) {
    return fail(why, "would exceed the file-size limit");
  }
  static std::atomic<unsigned> serial{0};
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary = target;
    temporary += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno != EEXIST) return fail(why, std::strerror(errno));
  }
  if (fd < 0) return fail(why, "no free temporary name");
  bool ok = writeAll(fd, bytes);
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(why, error != 0 ? std::strerror(error) : "the disk took no more bytes");
  }
  return true;
}

EnvironmentMapSizes checkedSizes(EnvironmentMapSizes sizes) {
  assert(sizes.cubeSize >= 1 && sizes.cubeSize <= 4096 && std::has_single_bit(static_cast<unsigned>(sizes.cubeSize)));
  assert(sizes.cubeLevels >= 1 && sizes.cubeLevels <= fullChain(sizes.cubeSize));
  assert(sizes.brdfSize >= 1 && sizes.brdfSize <= 1024);
  assert(sizes.specularSamples >= 1 && sizes.brdfSamples >= 1);
  sizes.cubeSize = static_cast<int>(std::bit_floor(static_cast<unsigned>(std::clamp(sizes.cubeSize, 1, 4096))));
  sizes.cubeLevels = std::clamp(sizes.cubeLevels, 1, fullChain(sizes.cubeSize));
  sizes.brdfSize = std::clamp(sizes.brdfSize, 1, 1024);
  sizes.specularSamples = std::clamp(sizes.specularSamples, 1, 1 << 16);
  sizes.brdfSamples = std::clamp(sizes.brdfSamples, 1, 1 << 16);
  return sizes;
}

}  // namespace

// ---- Half floats.

uint16_t floatToHalf(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const int exponent = static_cast<int>((bits >> 23) & 0xffu);
  uint32_t mantissa = bits & 0x7fffffu;
  if (exponent == 0xff) return static_cast<uint16_t>(sign | 0x7c00u | (mantissa != 0 ? 0x200u | (mantissa >> 13) : 0u));
  const int e = exponent - 127 + 15;
  if (e >= 31) return static_cast<uint16_t>(sign | 0x7c00u);
  if (e <= 0) {
    // Subnormal or zero: the implicit bit shifted into the 10-bit mantissa, rounded.
    if (e < -10) return sign;
    mantissa |= 0x800000u;
    const int shift = 14 - e;
    uint32_t half = mantissa >> shift;
    const uint32_t rest = mantissa & ((1u << shift) - 1u), halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (half & 1u) != 0)) ++half;
    return static_cast<uint16_t>(sign | half);
  }
  uint32_t half = (static_cast<uint32_t>(e) << 10) | (mantissa >> 13);
  const uint32_t rest = mantissa & 0x1fffu;
  // A carry out of the mantissa steps the exponent, up to infinity: still the nearest.
  if (rest > 0x1000u || (rest == 0x1000u && (half & 1u) != 0)) ++half;
  return static_cast<uint16_t>(sign | half);
}

float halfToFloat(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
  const uint32_t exponent = (half >> 10) & 0x1fu, mantissa = half & 0x3ffu;
  if (exponent == 0) {
    const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    return sign != 0 ? -magnitude : magnitude;
  }
  if (exponent == 31) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

// ---- Radiance files.

bool decodeRadianceHdr(std::span<const uint8_t> bytes, EquirectImage& out, std::string* why) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return fail(why, "is too large");
  HdrLayout layout;
  if (!readHdrHeader(bytes, layout, why) || !checkHdrScanlines(bytes, layout, why)) return false;
  int width = 0, height = 0, channels = 0;
  std::unique_ptr<float, void (*)(void*)> pixels(
      stbi_loadf_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &channels, 3),
      stbi_image_free);
  if (pixels == nullptr) {
    const char* reason = stbi_failure_reason();
    return fail(why, std::string("could not be decoded: ") + (reason != nullptr ? reason : "damaged"));
  }
  if (width != layout.width || height != layout.height) return fail(why, "has a damaged header");
  out.width = width;
  out.height = height;
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
  out.rgb.assign(pixels.get(), pixels.get() + count);
  // Finite and within what the half-float maps hold, whatever the exponents said.
  for (float& v : out.rgb) v = v > 0.0f ? std::min(v, kHalfMax) : 0.0f;
  return true;
}

// ---- Sources.

EnvironmentSource::EnvironmentSource() : identity_("studio " + std::to_string(kStudioVersion)) {}

EnvironmentSource EnvironmentSource::studio() { return EnvironmentSource(); }

bool EnvironmentSource::radianceFile(const fs::path& path, EnvironmentSource& out, std::string* why) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  const std::string name = path.string() + ": ";
  const fs::file_status status = fs::status(absolute, ec);
  if (status.type() == fs::file_type::not_found) return fail(why, name + "does not exist");
  if (ec) return fail(why, name + ec.message());
  if (fs::is_directory(status)) return fail(why, name + "is a directory");
  if (!fs::is_regular_file(status)) return fail(why, name + "is not a regular file");
  const uintmax_t size = fs::file_size(absolute, ec);
  if (ec) return fail(why, name + ec.message());
  const fs::file_time_type modified = fs::last_write_time(absolute, ec);
  if (ec) return fail(why, name + ec.message());
  EnvironmentSource source;
  source.kind_ = Kind::kFile;
  source.path_ = absolute;
  source.identity_ = "file " + absolute.string() + " size " + std::to_string(size) + " modified " +
                     std::to_string(static_cast<long long>(modified.time_since_epoch().count()));
  out = std::move(source);
  return true;
}

EnvironmentSource EnvironmentSource::image(EquirectImage image) {
  assert(image.width > 0 && image.height > 0 &&
         image.rgb.size() == static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);
  EnvironmentSource source;
  source.kind_ = Kind::kImage;
  source.identity_ = "image " + std::to_string(image.width) + "x" + std::to_string(image.height) + " " +
                     hex64(fnv1a(image.rgb.data(), image.rgb.size() * sizeof(float)));
  source.image_ = std::make_shared<const EquirectImage>(std::move(image));
  return source;
}

// ---- The maps.

std::vector<uint16_t> computeBrdfTable(int size, int samples) {
  std::vector<uint16_t> table(static_cast<std::size_t>(size) * size * 2);
  parallelFor(size, 1, [&](int begin, int end) {
    std::vector<Vec3> halfVectors(static_cast<std::size_t>(samples));
    for (int row = begin; row < end; ++row) {
      const float roughness = (static_cast<float>(row) + 0.5f) / static_cast<float>(size);
      const float alpha = roughness * roughness;
      for (int i = 0; i < samples; ++i) halfVectors[static_cast<std::size_t>(i)] = ggxHalfVector(i, samples, alpha);
      for (int col = 0; col < size; ++col) {
        const float nDotV = (static_cast<float>(col) + 0.5f) / static_cast<float>(size);
        const Vec3 v{std::sqrt(1.0f - nDotV * nDotV), 0.0f, nDotV};
        float a = 0, b = 0;
        for (const Vec3& h : halfVectors) {
          const float vDotH = dot(v, h);
          const float nDotL = 2.0f * vDotH * h.z - nDotV;
          if (nDotL <= 0.0f || vDotH <= 0.0f) continue;
          // The lobe's f * N.L over the pdf of L, D N.H / (4 V.H): D cancels.
          const float g = 4.0f * smithVisibility(nDotV, nDotL, alpha) * nDotL * vDotH / h.z;
          const float m = 1.0f - vDotH;
          const float fresnel = m * m * m * m * m;
          a += (1.0f - fresnel) * g;
          b += fresnel * g;
        }
        uint16_t* out = &table[(static_cast<std::size_t>(row) * size + col) * 2];
        out[0] = floatToHalf(a / static_cast<float>(samples));
        out[1] = floatToHalf(b / static_cast<float>(samples));
      }
    }
  });
  return table;
}

bool computeEnvironmentMaps(const EnvironmentSource& source, const EnvironmentMapSizes& requested,
                            EnvironmentMaps& out, std::string* why) {
  const EnvironmentMapSizes sizes = checkedSizes(requested);
  std::vector<CubeLevel> chain;
  if (source.isStudio()) {
    chain.push_back(renderCube(sizes.cubeSize, [](Vec3 d) {
      const float radiance = studioRadiance(d);
      return Rgb{radiance, radiance, radiance};
    }));
  } else {
    EquirectImage decoded;
    const EquirectImage* image = source.pixels();
    if (image == nullptr) {
      std::vector<uint8_t> bytes;
      std::string reason;
      if (!platform::readRegularFile(source.path(), bytes, &reason, kMaxEnvironmentFileBytes) ||
          !decodeRadianceHdr(bytes, decoded, &reason)) {
        return fail(why, source.path().string() + ": " + reason);
      }
      image = &decoded;
    }
    // Halved until its pixels are no finer than the 2 x 2 samples a cube texel takes at the
    // horizon, so that a large image is averaged rather than skipped over.
    EquirectImage smaller;
    while (image->width > 8 * sizes.cubeSize && image->height > 1) {
      smaller = halveEquirect(*image);
      image = &smaller;
    }
    chain.push_back(renderCube(sizes.cubeSize, [image](Vec3 d) { return sampleEquirect(*image, d); }));
  }
  while (chain.back().n > 1) chain.push_back(halveCube(chain.back()));

  EnvironmentMaps maps;
  maps.cubeSize = sizes.cubeSize;
  maps.specular.push_back(toHalfRgba(chain[0]));
  for (int level = 1; level < sizes.cubeLevels; ++level) {
    const float roughness = static_cast<float>(level) / static_cast<float>(sizes.cubeLevels - 1);
    // Rougher levels have fewer texels and wider lobes: more samples each, for little more work.
    const int samples = sizes.specularSamples << std::min(level - 1, 2);
    maps.specular.push_back(
        toHalfRgba(prefilter(chain, sizes.cubeSize >> level, roughness * roughness, samples)));
  }
  // Irradiance is smooth: the first halved level (box-filtered, so nothing is skipped) gives
  // the same nine coefficients for a quarter of the work.
  maps.irradiance = projectIrradiance(chain[std::min<std::size_t>(1, chain.size() - 1)]);
  maps.brdfSize = sizes.brdfSize;
  maps.brdf = computeBrdfTable(sizes.brdfSize, sizes.brdfSamples);
  out = std::move(maps);
  return true;
}

std::array<float, 3> irradianceAt(const EnvironmentMaps& maps, const std::array<float, 3>& n) {
  float p[9];
  shPolynomials({n[0], n[1], n[2]}, p);
  std::array<float, 3> out{};
  for (int c = 0; c < 3; ++c) {
    float sum = 0;
    for (int i = 0; i < 9; ++i) sum += maps.irradiance[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)] * p[i];
    out[static_cast<std::size_t>(c)] = std::max(0.0f, sum);
  }
  return out;
}

std::array<float, 3> cubeFaceDirection(int face, float s, float t) {
  assert(face >= 0 && face < 6);
  const Vec3 d = faceDirection(face, s, t);
  return {d.x, d.y, d.z};
}

// ---- The cache.

std::string environmentCacheKey(const EnvironmentSource& source, const EnvironmentMapSizes& requested) {
  const EnvironmentMapSizes sizes = checkedSizes(requested);
  return source.identity() + "|cube " + std::to_string(sizes.cubeSize) + " levels " +
         std::to_string(sizes.cubeLevels) + " samples " + std::to_string(sizes.specularSamples) + "|brdf " +
         std::to_string(sizes.brdfSize) + " samples " + std::to_string(sizes.brdfSamples) + "|computation " +
         std::to_string(kComputationVersion);
}

bool loadCachedMaps(const fs::path& cacheDir, const std::string& key, EnvironmentMaps& out) {
  std::vector<uint8_t> bytes;
  if (!platform::readRegularFile(cacheFile(cacheDir, key), bytes, nullptr, kMaxCacheBytes)) return false;
  return deserialize(bytes, key, out);
}

bool saveCachedMaps(const fs::path& cacheDir, const std::string& key, const EnvironmentMaps& maps, std::string* why) {
  const fs::path target = cacheFile(cacheDir, key);
  std::error_code ec;
  fs::create_directories(cacheDir, ec);
  if (ec) return fail(why, cacheDir.string() + ": " + ec.message());
  std::string reason;
  if (!writeFileAtomically(target, serialize(key, maps), &reason)) return fail(why, target.string() + ": " + reason);
  return true;
}

EnvironmentMaps environmentMapsFor(const EnvironmentSource& source, const fs::path& cacheDir, std::string* warning,
                                   const EnvironmentMapSizes& sizes) {
  auto report = [warning](const std::string& line) {
    if (warning == nullptr) {
      std::fprintf(stderr, "Warning: %s\n", line.c_str());
    } else {
      if (!warning->empty()) *warning += '\n';
      *warning += line;
    }
  };
  EnvironmentMaps maps;
  const std::string key = environmentCacheKey(source, sizes);
  if (!cacheDir.empty() && loadCachedMaps(cacheDir, key, maps)) return maps;
  std::string why;
  if (!computeEnvironmentMaps(source, sizes, maps, &why)) {
    report(why + "; lit by the studio instead");
    return environmentMapsFor(EnvironmentSource::studio(), cacheDir, warning, sizes);
  }
  if (!cacheDir.empty() && !saveCachedMaps(cacheDir, key, maps, &why)) report(why + " (the light is not cached)");
  return maps;
}

// ---- Tone mapping.

void pbrNeutralToneMap(float rgb[3]) {
  constexpr float kStartCompression = 0.8f - 0.04f;
  constexpr float kDesaturation = 0.15f;
  // The offset takes off the 0.04 that a dielectric's Fresnel adds at normal incidence, fading
  // to nothing towards black.
  const float lowest = std::min({rgb[0], rgb[1], rgb[2]});
  const float offset = lowest < 0.08f ? lowest - 6.25f * lowest * lowest : 0.04f;
  for (int c = 0; c < 3; ++c) rgb[c] -= offset;
  const float peak = std::max({rgb[0], rgb[1], rgb[2]});
  if (peak < kStartCompression) return;
  // The peak compressed towards 1, the colour scaled with it, then mixed towards white by how
  // much was compressed away.
  const float d = 1.0f - kStartCompression;
  const float newPeak = 1.0f - d * d / (peak + d - kStartCompression);
  const float scale = newPeak / peak;
  const float g = 1.0f - 1.0f / (kDesaturation * (peak - newPeak) + 1.0f);
  for (int c = 0; c < 3; ++c) rgb[c] = rgb[c] * scale * (1.0f - g) + newPeak * g;
}

void acesFittedToneMap(float rgb[3]) {
  for (int c = 0; c < 3; ++c) {
    const float x = std::max(rgb[c], 0.0f);
    rgb[c] = std::clamp(x * (2.51f * x + 0.03f) / (x * (2.43f * x + 0.59f) + 0.14f), 0.0f, 1.0f);
  }
}
