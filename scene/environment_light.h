// The CPU side of image-based lighting for the metallic-roughness shading model: the light a
// model is lit by (the built-in studio or a Radiance .hdr file), the maps the shaders sample
// (prefiltered specular cube map, diffuse irradiance as spherical harmonics, the split-sum BRDF
// table), a cache of those maps on disk, and reference copies of the tone-mapping curves the
// shaders apply. Knows nothing of Vulkan beyond the layouts it writes; never runs on the frame
// thread (computing the maps takes all cores for a fraction of a second).
//
// Conventions the shaders follow
// ------------------------------
// World frame: right-handed, Z up. Every direction below is a world direction.
//
// Radiance units: the environment's own. The studio is scaled so that a white Lambertian
// surface facing up reads about 0.9 before exposure; an .hdr file's values are used as stored.
//
// Specular cube map (EnvironmentMaps::specular): one Vulkan cube image,
// VK_FORMAT_R16G16B16A16_SFLOAT, 6 array layers in the order +X, -X, +Y, -Y, +Z, -Z, with
// specular.size() mip levels, level i being cubeSize >> i texels square. Each level holds its 6
// faces one after another, each face row 0 first, texels (R, G, B, 1) as half floats, so level
// i is one VkBufferImageCopy with layerCount 6. A face's texel (column c, row r) is the
// radiance arriving from the direction that Vulkan's cube-map face selection maps to
// s = (c + 0.5) / n, t = (r + 0.5) / n:
//   face  layer  major axis ma   sc    tc        s = (sc / |ma| + 1) / 2
//   +X    0      +x              -z    -y        t = (tc / |ma| + 1) / 2
//   -X    1      -x              +z    -y
//   +Y    2      +y              +x    +z
//   -Y    3      -y              +x    -z
//   +Z    4      +z              +x    -y
//   -Z    5      -z              -x    -y
// so the shader samples with the world direction itself: textureLod(cube, R, lod), R =
// reflect(-V, N). Level i is prefiltered for perceptual roughness i / (levels - 1) (the glTF
// roughness; GGX alpha = roughness^2): lod = roughness * float(levels - 1). Level 0 is the
// environment itself (a mirror). Sampler: linear filtering and mipmaps, clamp to edge,
// maxLod = levels - 1.
//
// Diffuse irradiance (EnvironmentMaps::irradiance): 9 RGB coefficients with the spherical
// harmonics' constants, the clamped-cosine convolution and the 1/pi of the Lambertian BRDF
// folded in, so that for a unit world normal n
//   irr(n) = max(0, c0 + c1 n.y + c2 n.z + c3 n.x + c4 n.x n.y + c5 n.y n.z
//                   + c6 (3 n.z^2 - 1) + c7 n.x n.z + c8 (n.x^2 - n.y^2))
// is the radiance a white Lambertian surface with normal n sends back; the shader's diffuse
// term is diffuseColor * irr(n). irradianceAt() is the same formula in C++.
//
// BRDF table (EnvironmentMaps::brdf): brdfSize x brdfSize, VK_FORMAT_R16G16_SFLOAT, row 0
// first. Texel (column c, row r) holds the split-sum terms (A, B) for N.V = (c + 0.5) / size
// and perceptual roughness (r + 0.5) / size, so the shader reads it with linear filtering and
// clamp to edge at texture(brdf, vec2(NdotV, roughness)).rg. A and B are the scale and bias of
// f0 in the GGX specular lobe's directional albedo (height-correlated Smith visibility,
// Schlick Fresnel with f90 = 1): E(f0) = f0 * A + B. The lobe loses the light that scatters
// more than once between microfacets; the shader puts it back (Fdez-Aguera 2019, as Filament):
//   vec2 ab = texture(brdf, vec2(max(dot(N, V), 1e-4), roughness)).rg;
//   vec3 f0 = mix(vec3(0.04), baseColor, metallic);
//   vec3 Ess = f0 * ab.x + ab.y;
//   vec3 energyCompensation = 1.0 + f0 * (1.0 / (ab.x + ab.y) - 1.0);
//   vec3 specular = textureLod(cube, reflect(-V, N), roughness * (levels - 1)).rgb * Ess
//                   * energyCompensation;
//   vec3 diffuse = baseColor * (1.0 - metallic) * (1.0 - Ess) * irr(N);
//   vec3 radiance = (diffuse + specular) * exposure;   // then a tone map, then sRGB
// In a white environment of radiance 1 a metal of any roughness then reads 1, and a white
// dielectric reads within a few percent of 1.
//
// Equirectangular images (.hdr files and EquirectImage): longitude around +Z, latitude from
// the +Z pole. Pixel (column i, row j) of a W x H image, u = (i + 0.5) / W, v = (j + 0.5) / H,
// is the radiance from phi = pi (1 - 2u), theta = pi v: (sin theta cos phi, sin theta sin phi,
// cos theta). The image's centre is +X at the horizon, a quarter from the left is +Y, three
// quarters -Y, the left and right edges -X; the top row is straight up (+Z). Seen from inside,
// looking along +X with Z up, the image appears unmirrored.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

// ---- Half floats (IEEE 754 binary16), as the maps hold them.

// Rounds to the nearest half, ties to even; beyond the half range becomes infinity, NaN stays NaN.
uint16_t floatToHalf(float value);
// Exact.
float halfToFloat(uint16_t half);

// ---- Environments.

// An equirectangular image of linear RGB radiance, row 0 (the +Z pole) first, 3 floats per pixel.
struct EquirectImage {
  int width = 0;
  int height = 0;
  std::vector<float> rgb;  // width * height * 3
};

// The largest .hdr file read, and the most pixels an environment image may have (8192 x 4096):
// a larger one is refused before its pixels are decoded.
inline constexpr uint64_t kMaxEnvironmentFileBytes = uint64_t{1} << 30;
inline constexpr int64_t kMaxEnvironmentPixels = int64_t{8192} * 4096;

// Decodes the Radiance RGBE image `bytes` (flat or run-length encoded scanlines, "-Y H +X W"
// layout) into `out`, radiance clamped to [0, 65504] (the half-float range). False, with the
// reason in `why` (no file name in it), when the bytes are no Radiance image, are damaged or
// truncated, or hold more than kMaxEnvironmentPixels.
bool decodeRadianceHdr(std::span<const uint8_t> bytes, EquirectImage& out, std::string* why);

// What an environment light is made from. A default-constructed one is the studio.
class EnvironmentSource {
 public:
  EnvironmentSource();

  // The built-in neutral studio, made by the program: a grey dome (brighter overhead, a neutral
  // horizon, a darker floor) with three large soft rectangular lights, colourless, so that
  // white stays white.
  static EnvironmentSource studio();
  // The Radiance file at `path`. Only looks at the file: it is read when maps are computed.
  // False, with "PATH: reason" in `why`, when it is missing, a directory or not a regular file.
  static bool radianceFile(const std::filesystem::path& path, EnvironmentSource& out, std::string* why);
  // An image already in memory, under the equirectangular convention above; must not be empty.
  static EnvironmentSource image(EquirectImage image);

  bool isStudio() const { return kind_ == Kind::kStudio; }
  // The file a radianceFile source reads (absolute), or empty.
  const std::filesystem::path& path() const { return path_; }
  // What identifies this light's content in a cache key: the studio's version, a file's
  // absolute path, size and modification time, or a hash of an image's pixels.
  const std::string& identity() const { return identity_; }
  // The pixels of an image source, or null.
  const EquirectImage* pixels() const { return image_.get(); }

 private:
  enum class Kind : uint8_t { kStudio, kFile, kImage };
  Kind kind_ = Kind::kStudio;
  std::filesystem::path path_;
  std::shared_ptr<const EquirectImage> image_;
  std::string identity_;
};

// ---- The maps.

// How large and how carefully the maps are made. The defaults suit the viewer.
struct EnvironmentMapSizes {
  int cubeSize = 256;        // level 0's face side; a power of two, 1..4096
  int cubeLevels = 6;        // mip levels, 1..log2(cubeSize) + 1 (6 at 256: 256 down to 8)
  int specularSamples = 32;  // GGX samples a texel of level 1 takes; 2 and 4 times that on rougher levels
  int brdfSize = 128;        // the BRDF table's side, 1..1024
  int brdfSamples = 256;     // samples a table texel takes
};

// What the shaders sample; the layouts are in the comment at the top of this file.
struct EnvironmentMaps {
  int cubeSize = 0;
  std::vector<std::vector<uint16_t>> specular;  // per level: 6 faces x n x n x RGBA halves
  std::array<std::array<float, 3>, 9> irradiance{};  // c0..c8, RGB
  int brdfSize = 0;
  std::vector<uint16_t> brdf;  // brdfSize x brdfSize x (A, B) halves

  bool empty() const { return specular.empty(); }
  int levels() const { return static_cast<int>(specular.size()); }
  int levelSize(int level) const { return cubeSize >> level; }
};

// Computes the maps of `source` on all cores. False, with "FILE: reason" in `why`, only when a
// file source cannot be read or decoded. Sizes out of range are a caller's mistake (asserted).
bool computeEnvironmentMaps(const EnvironmentSource& source, const EnvironmentMapSizes& sizes, EnvironmentMaps& out,
                            std::string* why);

// The BRDF table alone (it depends on no environment): size x size x (A, B) halves.
std::vector<uint16_t> computeBrdfTable(int size, int samples);

// The radiance a white Lambertian surface with unit world normal `n` sends back under `maps`:
// the shader's irr(n), in C++.
std::array<float, 3> irradianceAt(const EnvironmentMaps& maps, const std::array<float, 3>& n);

// The unit world direction of the point (s, t) in [0, 1]^2 of cube face `face` (0..5, in
// layer order), under Vulkan's face selection above.
std::array<float, 3> cubeFaceDirection(int face, float s, float t);

// ---- The cache.

// The cache key of `source`'s maps at `sizes`: the source's identity, the sizes and the version
// of the computation, so that a change to any of them misses.
std::string environmentCacheKey(const EnvironmentSource& source, const EnvironmentMapSizes& sizes);

// Loads the maps cached under `key` in `cacheDir`. False, leaving `out` alone, when there are
// none or the file is truncated, damaged, of another format version or for another key: such a
// file is never trusted, only recomputed and written again. Quiet: a miss is no problem.
bool loadCachedMaps(const std::filesystem::path& cacheDir, const std::string& key, EnvironmentMaps& out);

// Writes `maps` under `key` in `cacheDir` (created when missing) through a temporary file in
// the same folder renamed into place, so a reader never sees half a file. False, with the
// reason in `why` and no temporary left, when it cannot.
bool saveCachedMaps(const std::filesystem::path& cacheDir, const std::string& key, const EnvironmentMaps& maps,
                    std::string* why);

// The maps of `source`: from the cache in `cacheDir` when it holds them, otherwise computed and
// then cached (an empty `cacheDir` skips the cache). A file source that cannot be read falls
// back to the studio. Each problem (the file, a failed cache write) is one line in `warning`
// naming the file, lines joined by '\n'; when `warning` is null they go to stderr as
// "Warning: ..." lines. Never fails.
EnvironmentMaps environmentMapsFor(const EnvironmentSource& source, const std::filesystem::path& cacheDir,
                                   std::string* warning, const EnvironmentMapSizes& sizes = {});

// ---- Tone mapping: references for the shaders' copies. Both take linear radiance after
// exposure and give linear display values in [0, 1], before the sRGB encoding.

// Khronos PBR Neutral: colours up to 0.8 come out as they went in less the 0.04 Fresnel offset
// (exactly the base colour of a shiny dielectric under white light of radiance 1), brighter
// ones are compressed towards 1 and desaturated towards white, with no hue shift.
void pbrNeutralToneMap(float rgb[3]);

// Narkowicz's fit of the ACES filmic curve, channel by channel: 1 maps to about 0.80.
void acesFittedToneMap(float rgb[3]);
