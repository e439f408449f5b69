#include "scene/environment_light.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <numbers>

namespace fs = std::filesystem;

namespace {

constexpr double kPi = std::numbers::pi;
using Dir = std::array<float, 3>;

Dir unit(float x, float y, float z) {
  const float k = 1.0f / std::sqrt(x * x + y * y + z * z);
  return {x * k, y * k, z * k};
}

// An image under the header's convention: column u, row v sees phi = pi (1 - 2u), theta = pi v.
EquirectImage equirect(int width, int height, const std::function<std::array<float, 3>(const Dir&)>& radiance) {
  EquirectImage image{width, height, {}};
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const double phi = kPi * (1.0 - 2.0 * (i + 0.5) / width), theta = kPi * (j + 0.5) / height;
      const auto c = radiance({static_cast<float>(std::sin(theta) * std::cos(phi)),
                               static_cast<float>(std::sin(theta) * std::sin(phi)), static_cast<float>(std::cos(theta))});
      image.rgb.insert(image.rgb.end(), c.begin(), c.end());
    }
  }
  return image;
}

EnvironmentMaps mapsOf(const EnvironmentSource& source, const EnvironmentMapSizes& sizes) {
  EnvironmentMaps maps;
  std::string why;
  EXPECT_TRUE(computeEnvironmentMaps(source, sizes, maps, &why)) << why;
  return maps;
}

float texel(const EnvironmentMaps& maps, int level, int face, int row, int col, int channel) {
  const int n = maps.levelSize(level);
  return halfToFloat(maps.specular[level][((static_cast<std::size_t>(face) * n + row) * n + col) * 4 + channel]);
}

// Vulkan's cube-map face selection, from its table: the face, and (s, t) on it.
struct FacePoint {
  int face;
  float s, t;
};
FacePoint vulkanLookup(const Dir& d) {
  const float ax = std::fabs(d[0]), ay = std::fabs(d[1]), az = std::fabs(d[2]);
  int face;
  float sc, tc, ma;
  if (ax >= ay && ax >= az) {
    face = d[0] > 0 ? 0 : 1, sc = d[0] > 0 ? -d[2] : d[2], tc = -d[1], ma = ax;
  } else if (ay >= az) {
    face = d[1] > 0 ? 2 : 3, sc = d[0], tc = d[1] > 0 ? d[2] : -d[2], ma = ay;
  } else {
    face = d[2] > 0 ? 4 : 5, sc = d[2] > 0 ? d[0] : -d[0], tc = -d[1], ma = az;
  }
  return {face, 0.5f * (sc / ma + 1), 0.5f * (tc / ma + 1)};
}

// The texel of `level` that Vulkan reads for direction d, one channel.
float lookUp(const EnvironmentMaps& maps, int level, const Dir& d, int channel) {
  const FacePoint p = vulkanLookup(d);
  const int n = maps.levelSize(level);
  return texel(maps, level, p.face, std::min(n - 1, static_cast<int>(p.t * n)), std::min(n - 1, static_cast<int>(p.s * n)),
               channel);
}

std::vector<Dir> sphereDirections(int count) {
  std::vector<Dir> dirs;
  for (int i = 0; i < count; ++i) {  // a Fibonacci spiral
    const double z = 1.0 - 2.0 * (i + 0.5) / count, r = std::sqrt(1.0 - z * z), phi = i * 2.39996322972865332;
    dirs.push_back({static_cast<float>(r * std::cos(phi)), static_cast<float>(r * std::sin(phi)), static_cast<float>(z)});
  }
  return dirs;
}

// The shader's irr(n), written from the header's formula.
std::array<float, 3> shaderIrradiance(const EnvironmentMaps& maps, const Dir& n) {
  const float x = n[0], y = n[1], z = n[2];
  const float p[9] = {1, y, z, x, x * y, y * z, 3 * z * z - 1, x * z, x * x - y * y};
  std::array<float, 3> out{};
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 9; ++i) out[c] += maps.irradiance[i][c] * p[i];
    out[c] = std::max(out[c], 0.0f);
  }
  return out;
}

const EnvironmentMapSizes kSmall{32, 6, 32, 32, 1024};

}  // namespace

// A white environment of radiance 1: every level and direction of the specular map reads 1, and
// a white Lambertian surface sends back 1 whichever way it faces.
TEST(EnvironmentLight, WhiteFurnaceReadsOneEverywhere) {
  const EnvironmentMaps maps =
      mapsOf(EnvironmentSource::image(equirect(64, 32, [](const Dir&) { return std::array<float, 3>{1, 1, 1}; })), kSmall);
  ASSERT_EQ(maps.levels(), 6);
  for (int level = 0; level < maps.levels(); ++level) {
    const int n = maps.levelSize(level);
    ASSERT_EQ(n, 32 >> level);
    ASSERT_EQ(maps.specular[level].size(), 6u * n * n * 4);
    for (std::size_t i = 0; i < maps.specular[level].size(); ++i) {
      ASSERT_NEAR(halfToFloat(maps.specular[level][i]), 1.0f, 0.01f) << "level " << level << " value " << i;
    }
  }
  for (const Dir& n : sphereDirections(200)) {
    for (float c : shaderIrradiance(maps, n)) ASSERT_NEAR(c, 1.0f, 0.01f) << n[0] << " " << n[1] << " " << n[2];
  }
}

// The table's A and B against the GGX lobe integrated over a plain grid of light directions: a
// metal (f0 = 1) with the energy compensation reads 1 in the white furnace, and without it
// loses light as it roughens, which the compensation exists to restore.
TEST(EnvironmentLight, BrdfTableMatchesTheLobeAndTheCompensationRestoresEnergy) {
  const int size = 32;
  const std::vector<uint16_t> table = computeBrdfTable(size, 1024);
  ASSERT_EQ(table.size(), 2u * size * size);
  // The directional albedo of the lobe for N.V = mu: sum of D Vis F N.L over the hemisphere.
  auto albedo = [](double mu, double roughness, double f0) {
    const double a2 = std::pow(roughness, 4), vx = std::sqrt(1 - mu * mu);
    const int steps = 400;
    double sum = 0;
    for (int i = 0; i < steps; ++i) {
      const double theta = (i + 0.5) * (kPi / 2) / steps, nl = std::cos(theta);
      for (int j = 0; j < steps; ++j) {
        const double phi = (j + 0.5) * kPi / steps;  // the lobe is symmetric about the V plane
        const double lx = std::sin(theta) * std::cos(phi), ly = std::sin(theta) * std::sin(phi);
        double hx = lx + vx, hy = ly, hz = nl + mu;
        const double hl = std::sqrt(hx * hx + hy * hy + hz * hz);
        hx /= hl, hy /= hl, hz /= hl;
        const double vh = vx * hx + mu * hz;
        const double d = a2 / (kPi * std::pow(hz * hz * (a2 - 1) + 1, 2));
        const double vis =
            0.5 / (nl * std::sqrt(mu * mu * (1 - a2) + a2) + mu * std::sqrt(nl * nl * (1 - a2) + a2));
        const double f = f0 + (1 - f0) * std::pow(1 - vh, 5);
        sum += d * vis * f * nl * std::sin(theta);
      }
    }
    return 2 * sum * (kPi / 2 / steps) * (kPi / steps);
  };
  for (int row : {9, 19, 31}) {
    for (int col : {6, 16, 28}) {
      const double mu = (col + 0.5) / size, roughness = (row + 0.5) / size;
      const float a = halfToFloat(table[(row * size + col) * 2]), b = halfToFloat(table[(row * size + col) * 2 + 1]);
      const double metal = albedo(mu, roughness, 1.0), dielectric = albedo(mu, roughness, 0.04);
      SCOPED_TRACE("N.V " + std::to_string(mu) + " roughness " + std::to_string(roughness));
      EXPECT_NEAR(a + b, metal, 0.02);
      EXPECT_NEAR(0.04 * a + b, dielectric, 0.005);
      const double compensation = 1 + 1.0 * (1 / (a + b) - 1);
      EXPECT_NEAR(metal * compensation, 1.0, 0.03);
      if (row == 31) {
        EXPECT_LT(metal, 0.9) << "a rough metal without compensation loses light";
      }
    }
  }
}

// Band by band: a sky that is constant, linear and quadratic in the direction, whose cosine
// convolution is known exactly (1, 2/3 and 1/4 of its bands).
TEST(EnvironmentLight, IrradianceIsTheCosineConvolutionOfTheSky) {
  const float a = 1.0f, b[3] = {0.2f, -0.3f, 0.4f};
  const float q[3][3] = {{0.6f, 0.3f, -0.4f}, {0.3f, -0.5f, 0.35f}, {-0.4f, 0.35f, 0.9f}};
  auto quad = [&](const Dir& d) {
    float s = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s += d[i] * q[i][j] * d[j];
    return s;
  };
  auto sky = [&](const Dir& d) {
    const float v = a + b[0] * d[0] + b[1] * d[1] + b[2] * d[2] + quad(d);
    return std::array<float, 3>{v, 0.5f * v, -v};
  };
  const EnvironmentMaps maps = mapsOf(EnvironmentSource::image(equirect(256, 128, sky)), {32, 1, 8, 1, 1});
  const float trace = q[0][0] + q[1][1] + q[2][2];
  for (const Dir& n : sphereDirections(100)) {
    const float expected = a + trace / 3 + (2.0f / 3) * (b[0] * n[0] + b[1] * n[1] + b[2] * n[2]) +
                           0.25f * (quad(n) - trace / 3);
    const auto got = shaderIrradiance(maps, n);
    EXPECT_EQ(irradianceAt(maps, n), got);
    EXPECT_NEAR(got[0], expected, 0.002f);
    EXPECT_NEAR(got[1], 0.5f * expected, 0.001f);
    EXPECT_EQ(got[2], 0.0f) << "clamped at black";
  }
}

// A small bright disc towards each face, off its centre so that a flipped s or t shows: it is in
// the texel Vulkan reads for its direction (and not in the mirrored ones), and the roughest
// level is brightest towards it. cubeFaceDirection agrees with the face selection.
TEST(EnvironmentLight, BrightSpotsLandWhereVulkanLooksThemUp) {
  for (int i = 0; i < 2000; ++i) {
    const FacePoint p{i % 6, ((i * 37) % 97 + 0.5f) / 97, ((i * 61) % 89 + 0.5f) / 89};
    const FacePoint back = vulkanLookup(cubeFaceDirection(p.face, p.s, p.t));
    ASSERT_EQ(back.face, p.face);
    ASSERT_NEAR(back.s, p.s, 1e-5f);
    ASSERT_NEAR(back.t, p.t, 1e-5f);
  }
  const Dir spots[] = {unit(1, 0.35f, 0.2f),  unit(-1, 0.2f, -0.4f), unit(0.3f, 1, -0.25f),
                       unit(-0.4f, -1, 0.2f), unit(0.2f, -0.35f, 1), unit(-0.3f, 0.4f, -1)};
  for (const Dir& spot : spots) {
    SCOPED_TRACE(std::to_string(spot[0]) + " " + std::to_string(spot[1]) + " " + std::to_string(spot[2]));
    const EnvironmentMaps maps = mapsOf(EnvironmentSource::image(equirect(512, 256,
                                                                          [&](const Dir& d) {
                                                                            const float c = d[0] * spot[0] + d[1] * spot[1] + d[2] * spot[2];
                                                                            const float v = c > 0.995f ? 50.0f : 0.0f;
                                                                            return std::array<float, 3>{v, v, v};
                                                                          })),
                                        {64, 4, 32, 1, 1});
    EXPECT_GT(lookUp(maps, 0, spot, 0), 10.0f);
    const FacePoint p = vulkanLookup(spot);
    const int n = maps.levelSize(0), row = static_cast<int>(p.t * n), col = static_cast<int>(p.s * n);
    EXPECT_LT(texel(maps, 0, p.face, row, n - 1 - col, 0), 0.5f) << "mirrored in s";
    EXPECT_LT(texel(maps, 0, p.face, n - 1 - row, col, 0), 0.5f) << "mirrored in t";
    // The roughest level: its brightest texel looks towards the spot.
    const int last = maps.levels() - 1, m = maps.levelSize(last);
    float best = -1;
    Dir bestDir{};
    for (int face = 0; face < 6; ++face) {
      for (int r = 0; r < m; ++r) {
        for (int c = 0; c < m; ++c) {
          if (texel(maps, last, face, r, c, 0) > best) {
            best = texel(maps, last, face, r, c, 0);
            bestDir = cubeFaceDirection(face, (c + 0.5f) / m, (r + 0.5f) / m);
          }
        }
      }
    }
    EXPECT_GT(bestDir[0] * spot[0] + bestDir[1] * spot[1] + bestDir[2] * spot[2], std::cos(20 * kPi / 180));
  }
}

// The studio: colourless, a white floor reads about 0.9, brighter from above than below, and
// softboxes far brighter than the dome.
TEST(EnvironmentLight, StudioIsNeutralAndLightsAWhiteFloorNearOne) {
  const EnvironmentMaps maps = mapsOf(EnvironmentSource::studio(), {64, 6, 32, 1, 1});
  for (const auto& c : maps.irradiance) {
    EXPECT_EQ(c[0], c[1]);
    EXPECT_EQ(c[1], c[2]);
  }
  const float up = shaderIrradiance(maps, {0, 0, 1})[0], down = shaderIrradiance(maps, {0, 0, -1})[0];
  EXPECT_GE(up, 0.8f);
  EXPECT_LE(up, 1.0f);
  EXPECT_LT(down, 0.5f * up);
  float brightest = 0;
  for (uint16_t h : maps.specular[0]) brightest = std::max(brightest, halfToFloat(h));
  EXPECT_GT(brightest, 2.0f);
}

namespace {

class EnvironmentFiles : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path file(const std::string& name) const { return dir_ / name; }
  void write(const fs::path& path, const std::string& bytes) const {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  const fs::path dir_ = fs::temp_directory_path() / ("environment_light_test_" + std::to_string(::getpid()));
};

// 16 x 8 RGBE pixels: blue 8 at the centre (+X), green 4 a quarter from the left (+Y), both on
// the horizon rows; red 2 along the top row (+Z); grey 1/8 elsewhere.
std::array<uint8_t, 4> testPixel(int col, int row) {
  if (row == 0) return {128, 0, 0, 130};
  if (row == 3 || row == 4) {
    if (col == 7 || col == 8) return {0, 0, 128, 132};
    if (col == 3 || col == 4) return {0, 128, 0, 131};
  }
  return {128, 128, 128, 126};
}

// The test image as a Radiance file, its scanlines flat or run-length encoded (the first
// component as one literal dump, the others as runs).
std::string radianceFile(bool runLength) {
  std::string out = "#?RADIANCE\n# made by hand\nFORMAT=32-bit_rle_rgbe\n\n-Y 8 +X 16\n";
  for (int row = 0; row < 8; ++row) {
    if (!runLength) {
      for (int col = 0; col < 16; ++col)
        for (uint8_t b : testPixel(col, row)) out += static_cast<char>(b);
      continue;
    }
    out += {2, 2, 0, 16};
    out += static_cast<char>(16);
    for (int col = 0; col < 16; ++col) out += static_cast<char>(testPixel(col, row)[0]);
    for (int k = 1; k < 4; ++k) {
      for (int col = 0; col < 16;) {
        int run = 1;
        while (col + run < 16 && testPixel(col + run, row)[k] == testPixel(col, row)[k]) ++run;
        out += static_cast<char>(128 + run);
        out += static_cast<char>(testPixel(col, row)[k]);
        col += run;
      }
    }
  }
  return out;
}

std::span<const uint8_t> bytesOf(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

}  // namespace

// Both encodings decode to the pixels written, and the light they make has blue at +X, green at
// +Y and red overhead, as the header's convention says.
TEST_F(EnvironmentFiles, RadianceFileLoadsWithTheDocumentedOrientation) {
  for (bool runLength : {false, true}) {
    EquirectImage image;
    std::string why;
    ASSERT_TRUE(decodeRadianceHdr(bytesOf(radianceFile(runLength)), image, &why)) << why;
    ASSERT_EQ(image.width, 16);
    ASSERT_EQ(image.height, 8);
    for (int row = 0; row < 8; ++row) {
      for (int col = 0; col < 16; ++col) {
        const auto p = testPixel(col, row);
        for (int c = 0; c < 3; ++c) {
          ASSERT_EQ(image.rgb[(row * 16 + col) * 3 + c], std::ldexp(static_cast<float>(p[c]), p[3] - 136));
        }
      }
    }
  }
  write(file("studio.hdr"), radianceFile(true));
  EnvironmentSource source;
  std::string why;
  ASSERT_TRUE(EnvironmentSource::radianceFile(file("studio.hdr"), source, &why)) << why;
  EXPECT_TRUE(source.path().is_absolute());
  const EnvironmentMaps maps = mapsOf(source, {16, 2, 8, 1, 1});
  EXPECT_NEAR(lookUp(maps, 0, {1, 0, 0}, 2), 8.0f, 0.1f);
  EXPECT_NEAR(lookUp(maps, 0, {1, 0, 0}, 1), 0.0f, 0.1f);
  EXPECT_NEAR(lookUp(maps, 0, {0, 1, 0}, 1), 4.0f, 0.1f);
  EXPECT_NEAR(lookUp(maps, 0, {0, 0, 1}, 0), 2.0f, 0.1f);
  EXPECT_NEAR(lookUp(maps, 0, {0, 0, 1}, 1), 0.0f, 0.1f);
  for (const Dir& grey : {Dir{-1, 0, 0}, Dir{0, -1, 0}}) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(lookUp(maps, 0, grey, c), 0.125f, 0.01f);
  }
}

// Missing files, folders, FIFOs and bytes that are not a whole Radiance image each fail with a
// reason; every truncation of a valid file is refused; the viewer's entry point falls back to
// the studio with one warning naming the file.
TEST_F(EnvironmentFiles, RefusesWhatIsNotAWholeRadianceImage) {
  ASSERT_EQ(::mkfifo(file("pipe.hdr").c_str(), 0600), 0);
  fs::create_directories(file("folder.hdr"));
  struct Place {
    const char* name;
    const char* reason;
  };
  for (const Place& p : {Place{"missing.hdr", "does not exist"}, Place{"folder.hdr", "is a directory"},
                         Place{"pipe.hdr", "is not a regular file"}}) {
    EnvironmentSource source;
    std::string why;
    EXPECT_FALSE(EnvironmentSource::radianceFile(file(p.name), source, &why));
    EXPECT_NE(why.find(file(p.name).string() + ": " + p.reason), std::string::npos) << why;
  }
  const std::string good = radianceFile(true);
  struct Bad {
    std::string bytes;
    const char* reason;
  };
  std::vector<Bad> bad = {
      {"\x89PNG\r\n\x1a\n", "is no Radiance image"},
      {"#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 8 +X 16\n", "XYZE"},
      {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n+Y 8 +X 16\n", "resolution line"},
      {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 100000 +X 100000\n", "more than"},
      {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n" + std::string("\x02\x02\x00\x08\x89\x01", 6), "damaged run"},
  };
  for (std::size_t length = 0; length < good.size(); ++length) bad.push_back({good.substr(0, length), ""});
  for (const Bad& b : bad) {
    EquirectImage image;
    std::string why;
    EXPECT_FALSE(decodeRadianceHdr(bytesOf(b.bytes), image, &why)) << b.bytes.size() << " bytes";
    EXPECT_NE(why.find(b.reason), std::string::npos) << why;
    EXPECT_FALSE(why.empty());
  }
  write(file("broken.hdr"), "not a picture");
  EnvironmentSource source;
  ASSERT_TRUE(EnvironmentSource::radianceFile(file("broken.hdr"), source, nullptr));
  std::string warning;
  const EnvironmentMaps maps = environmentMapsFor(source, {}, &warning, {8, 1, 8, 1, 1});
  EXPECT_FALSE(maps.empty());
  EXPECT_EQ(warning, file("broken.hdr").string() +
                         ": is no Radiance image (it does not begin with #?RADIANCE); lit by the studio instead");
}

// Saved maps come back as they were; a file truncated, damaged, of another key or with bytes
// added is refused; environmentMapsFor takes cached maps without recomputing; a cache that
// cannot be written is one warning and the maps still come.
TEST_F(EnvironmentFiles, CacheRoundTripsAndRefusesDamagedFiles) {
  const EnvironmentMapSizes sizes{8, 3, 8, 4, 16};
  const EnvironmentSource studio = EnvironmentSource::studio();
  const std::string key = environmentCacheKey(studio, sizes);
  EXPECT_NE(key, environmentCacheKey(studio, {8, 3, 8, 8, 16}));
  EXPECT_NE(key, environmentCacheKey(EnvironmentSource::image({1, 1, {1, 1, 1}}), sizes));
  EnvironmentMaps maps = mapsOf(studio, sizes);
  const fs::path cache = file("cache/modelviewer");
  std::string why;
  ASSERT_TRUE(saveCachedMaps(cache, key, maps, &why)) << why;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(cache)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u) << "no temporary left behind";
  EnvironmentMaps loaded;
  ASSERT_TRUE(loadCachedMaps(cache, key, loaded));
  EXPECT_EQ(loaded.cubeSize, maps.cubeSize);
  EXPECT_EQ(loaded.specular, maps.specular);
  EXPECT_EQ(loaded.irradiance, maps.irradiance);
  EXPECT_EQ(loaded.brdfSize, maps.brdfSize);
  EXPECT_EQ(loaded.brdf, maps.brdf);
  EXPECT_FALSE(loadCachedMaps(cache, key + "x", loaded));

  const std::string whole = read(files[0]);
  std::vector<std::string> damaged = {whole + "x", "XX" + whole.substr(2)};
  for (std::size_t length : {std::size_t{0}, std::size_t{7}, std::size_t{20}, whole.size() / 2, whole.size() - 1}) {
    damaged.push_back(whole.substr(0, length));
  }
  for (std::size_t at : {std::size_t{9}, std::size_t{13}, key.size() + 20, whole.size() / 2, whole.size() - 3}) {
    std::string copy = whole;
    copy[at] = static_cast<char>(copy[at] ^ 0x40);
    damaged.push_back(copy);
  }
  for (const std::string& bytes : damaged) {
    write(files[0], bytes);
    EnvironmentMaps untouched;
    EXPECT_FALSE(loadCachedMaps(cache, key, untouched)) << bytes.size() << " bytes";
    EXPECT_TRUE(untouched.empty());
  }

  // Cached maps are used as they are: a mark put in them comes back.
  maps.irradiance[0] = {0.25f, 0.5f, 0.75f};
  ASSERT_TRUE(saveCachedMaps(cache, key, maps, &why)) << why;
  std::string warning;
  EXPECT_EQ(environmentMapsFor(studio, cache, &warning, sizes).irradiance[0], maps.irradiance[0]);
  EXPECT_EQ(warning, "");

  write(file("plain"), "a file, not a folder");
  const EnvironmentMaps uncached = environmentMapsFor(studio, file("plain") / "modelviewer", &warning, sizes);
  EXPECT_FALSE(uncached.empty());
  EXPECT_NE(warning.find(file("plain").string()), std::string::npos) << warning;
  EXPECT_EQ(warning.find('\n'), std::string::npos) << "one line";
}

// PBR Neutral: colours up to 0.8 lose only the 0.04 offset; brighter ones stay below 1 and rise
// monotonically. ACES: 1 maps to about 0.8, and the curve rises to at most 1.
TEST(ToneMapping, NeutralKeepsBaseColoursAndBothCompressMonotonically) {
  for (float r = 0.08f; r < 0.8f; r += 0.05f) {
    float rgb[3] = {r, 0.5f, 0.79f};
    pbrNeutralToneMap(rgb);
    EXPECT_NEAR(rgb[0], r - 0.04f, 1e-6f);
    EXPECT_NEAR(rgb[1], 0.46f, 1e-6f);
    EXPECT_NEAR(rgb[2], 0.75f, 1e-6f);
  }
  float previousGrey = -1, previousPeak = -1, previousAces = -1;
  for (float x = 0; x < 1000; x = x * 1.02f + 0.001f) {
    float grey[3] = {x, x, x}, colour[3] = {x, 0.5f * x, 0.2f * x}, aces[3] = {x, x, x};
    pbrNeutralToneMap(grey);
    pbrNeutralToneMap(colour);
    acesFittedToneMap(aces);
    ASSERT_GE(grey[0], previousGrey) << x;
    ASSERT_GE(colour[0], previousPeak) << x;
    ASSERT_GE(aces[0], previousAces) << x;
    ASSERT_LT(grey[0], 1.0f);
    ASSERT_LT(colour[0], 1.0f);
    ASSERT_LE(aces[0], 1.0f);
    ASSERT_LE(colour[2], colour[0]) << "no hue flip";
    previousGrey = grey[0], previousPeak = colour[0], previousAces = aces[0];
  }
  EXPECT_GT(previousGrey, 0.99f);
  float one[3] = {1, 1, 1};
  acesFittedToneMap(one);
  EXPECT_NEAR(one[0], 0.80f, 0.01f);
}

// Every half converts to a float and back unchanged; floats round to the nearest half, ties to
// even, past the range to infinity, below it through the subnormals to zero.
TEST(HalfFloat, RoundTripsEveryHalfAndRoundsToNearestEven) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const float f = halfToFloat(static_cast<uint16_t>(h));
    if (std::isnan(f)) {
      ASSERT_TRUE(std::isnan(halfToFloat(floatToHalf(f))));
      continue;
    }
    ASSERT_EQ(floatToHalf(f), h) << h;
  }
  struct Case {
    float value;
    uint16_t half;
  };
  for (const Case& c : {Case{1.0f, 0x3c00}, Case{-2.0f, 0xc000}, Case{65504.0f, 0x7bff}, Case{65519.0f, 0x7bff},
                        Case{65520.0f, 0x7c00}, Case{1e10f, 0x7c00}, Case{std::ldexp(1.0f, -24), 0x0001},
                        Case{std::ldexp(1.0f, -25), 0x0000}, Case{std::ldexp(1.5f, -25), 0x0001},
                        Case{1.0f + std::ldexp(1.0f, -11), 0x3c00}, Case{1.0f + 3 * std::ldexp(1.0f, -11), 0x3c02},
                        Case{std::ldexp(1023.5f, -24), 0x0400}}) {
    EXPECT_EQ(floatToHalf(c.value), c.half) << c.value;
  }
}
