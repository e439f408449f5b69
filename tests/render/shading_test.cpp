// The model view's physically based shading, measured on its pictures: a white sphere in a
// uniform environment keeps the environment's light whatever its roughness (the "white
// furnace"), a grid of spheres shows the highlight spreading with roughness and tinting with
// metallic, and the shading options refuse what they cannot use.
#include "tests/render/viewer_run.h"
#include "tests/render/view_geometry.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class ShadingTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("mv_shading_" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A flat Radiance picture of one grey value: 128 in every byte is 0.5 (mantissa 128 / 256,
  // exponent 128 - 128). Half of white, so that a shading that gives back more light than
  // it receives shows above it instead of clipping at 1.
  fs::path greyEnvironment() {
    const fs::path path = folder_ / "grey.hdr";
    std::ofstream out(path, std::ios::binary);
    out << "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 32 +X 64\n";
    out << std::string(64 * 32 * 4, static_cast<char>(128));
    return path;
  }

  // Spheres (OBJ, Y up) at the given centres, each with its own material line block.
  fs::path spheres(const std::vector<std::array<double, 3>>& centres, const std::vector<std::string>& materials) {
    const fs::path obj = folder_ / "spheres.obj", mtl = folder_ / "spheres.mtl";
    std::ofstream o(obj), m(mtl);
    o << "mtllib spheres.mtl\n";
    const int rings = 48, segments = 96;
    std::size_t base = 1;
    for (std::size_t s = 0; s < centres.size(); ++s) {
      m << "newmtl m" << s << "\n" << materials[s] << "\n";
      o << "o sphere" << s << "\nusemtl m" << s << "\n";
      for (int r = 0; r <= rings; ++r) {
        for (int k = 0; k <= segments; ++k) {
          const double theta = M_PI * r / rings, phi = 2 * M_PI * k / segments;
          const double n[3] = {std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi)};
          o << "v " << centres[s][0] + n[0] << ' ' << centres[s][1] + n[1] << ' ' << centres[s][2] + n[2] << "\n";
          o << "vn " << n[0] << ' ' << n[1] << ' ' << n[2] << "\n";
        }
      }
      for (int r = 0; r < rings; ++r) {
        for (int k = 0; k < segments; ++k) {
          const std::size_t a = base + r * (segments + 1) + k, b = a + segments + 1;
          o << "f " << a << "//" << a << ' ' << a + 1 << "//" << a + 1 << ' ' << b + 1 << "//" << b + 1 << "\n";
          o << "f " << a << "//" << a << ' ' << b + 1 << "//" << b + 1 << ' ' << b << "//" << b << "\n";
        }
      }
      base += static_cast<std::size_t>((rings + 1) * (segments + 1));
    }
    return obj;
  }

  struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    std::vector<double> eye, target, fov;
    std::vector<double> boundsMin, boundsMax, viewScale;  // the view centres the model and scales it
    // Where the model's point `p` (already turned Z up) is in the view.
    std::array<double, 3> inView(const std::array<double, 3>& p) const {
      std::array<double, 3> out;
      for (int i = 0; i < 3; ++i) out[i] = (p[i] - (boundsMin[i] + boundsMax[i]) / 2) * viewScale[0];
      return out;
    }
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
  };

  // The headless picture of `model` with `options`; empty (skipped) without a Vulkan device.
  Picture picture(const fs::path& model, const std::string& options, int width, int height) {
    const fs::path shot = folder_ / "shot.png";
    fs::remove(shot);
    ViewerRun run = runViewer("--headless '" + model.string() + "' " + options + " --stats --validate --size " +
                              std::to_string(width) + "x" + std::to_string(height) + " --screenshot '" + shot.string() + "'");
    Picture p;
    if (run.err.find("no usable Vulkan device") != std::string::npos) return p;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("validation"), std::string::npos) << run.err;  // with its environment or another
    int channels = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> data(stbi_load(shot.c_str(), &p.width, &p.height, &channels, 3), stbi_image_free);
    if (!data) {
      ADD_FAILURE() << "no picture: " << run.err;
      return p;
    }
    p.rgb.assign(data.get(), data.get() + static_cast<std::size_t>(p.width) * p.height * 3);
    p.eye = numbers(run.out, "eye", 3), p.target = numbers(run.out, "target", 3), p.fov = numbers(run.out, "fieldOfView", 1);
    p.boundsMin = numbers(run.out, "min", 3), p.boundsMax = numbers(run.out, "max", 3);  // the first: "bounds"
    p.viewScale = numbers(run.out, "viewScale", 1);
    EXPECT_TRUE(p.eye.size() == 3 && p.boundsMin.size() == 3 && p.viewScale.size() == 1) << run.out;
    return p;
  }

  fs::path folder_;
};

double linear(uint8_t srgb) {
  const double c = srgb / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Metals keep all the light (within 3%) and dielectrics too (within 5%, their diffuse and
// specular shares balanced), smooth or rough, anywhere on the sphere's face.
TEST_F(ShadingTest, AWhiteSphereInAUniformEnvironmentKeepsItsLight) {
  const fs::path hdr = greyEnvironment();
  for (double metallic : {1.0, 0.0}) {
    for (double roughness : {0.0, 0.5, 1.0}) {
      SCOPED_TRACE("metallic " + std::to_string(metallic) + ", roughness " + std::to_string(roughness));
      const fs::path model = spheres({{{0, 0, 0}}}, {"Kd 1 1 1\nPm " + std::to_string(metallic) + "\nPr " +
                                                     std::to_string(roughness)});
      const Picture p = picture(model, "--hdri '" + hdr.string() + "' --key-light off --tone-mapping none", 200, 200);
      if (p.rgb.empty()) GTEST_SKIP() << "no usable Vulkan device";
      double x = 0, y = 0;
      ASSERT_EQ(p.eye.size(), 3u);
      ASSERT_TRUE(project(p.inView({0, 0, 0}), p.eye, p.target, p.fov[0], p.width, p.height, x, y));
      const double tolerance = metallic == 1 ? 0.03 : 0.05;
      for (auto [dx, dy] : {std::pair{0, 0}, {-20, 0}, {20, 0}, {0, -20}, {0, 20}, {-14, -14}, {14, 14}}) {
        const uint8_t* c = p.at(static_cast<int>(x) + dx, static_cast<int>(y) + dy);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(linear(c[k]), 0.5, 0.5 * tolerance) << dx << "," << dy;
      }
    }
  }
}

// Five by five spheres: metallic 0 to 1 down the rows, roughness 0 to 1 across. Along a row the
// highlights spread, so the brightest pixel stands out less from the sphere's median (from
// roughness 0.25 on: the key light's highlight on a mirror is smaller than a pixel). Down a
// column the white specular share of a rough dielectric gives way to the metal's tinted one
// (less blue against red), and a smooth sphere loses its diffuse share to a mirror's darker
// reflection of the studio.
TEST_F(ShadingTest, HighlightsSpreadWithRoughnessAndTakeTheMetalsColour) {
  std::vector<std::array<double, 3>> centres;
  std::vector<std::string> materials;
  for (int row = 0; row < 5; ++row) {
    for (int col = 0; col < 5; ++col) {
      centres.push_back({col * 2.5, -row * 2.5, 0});
      materials.push_back("Kd 0.9 0.35 0.1\nPm " + std::to_string(row / 4.0) + "\nPr " + std::to_string(col / 4.0));
    }
  }
  const Picture p = picture(spheres(centres, materials), "", 800, 800);
  if (p.rgb.empty()) GTEST_SKIP() << "no usable Vulkan device";
  ASSERT_EQ(p.eye.size(), 3u);
  double contrast[5][5], blueToRed[5][5], median[5][5];
  for (std::size_t s = 0; s < centres.size(); ++s) {
    // The file's (x, y, z) is the view's (x, -z, y).
    double cx = 0, cy = 0, ex = 0, ey = 0;
    const std::array<double, 3> centre = p.inView({centres[s][0], -centres[s][2], centres[s][1]});
    const std::array<double, 3> top = p.inView({centres[s][0], -centres[s][2], centres[s][1] + 1});
    ASSERT_TRUE(project(centre, p.eye, p.target, p.fov[0], p.width, p.height, cx, cy));
    ASSERT_TRUE(project(top, p.eye, p.target, p.fov[0], p.width, p.height, ex, ey));
    const double radius = 0.8 * std::hypot(ex - cx, ey - cy);
    std::vector<double> luminance;
    double brightest = -1, red = 0, blue = 0;
    for (int y = static_cast<int>(cy - radius); y <= static_cast<int>(cy + radius); ++y) {
      for (int x = static_cast<int>(cx - radius); x <= static_cast<int>(cx + radius); ++x) {
        if (std::hypot(x - cx, y - cy) > radius || x < 0 || y < 0 || x >= p.width || y >= p.height) continue;
        const uint8_t* c = p.at(x, y);
        const double l = 0.2126 * linear(c[0]) + 0.7152 * linear(c[1]) + 0.0722 * linear(c[2]);
        luminance.push_back(l);
        brightest = std::max(brightest, l);
        red += linear(c[0]), blue += linear(c[2]);
      }
    }
    ASSERT_FALSE(luminance.empty());
    std::nth_element(luminance.begin(), luminance.begin() + luminance.size() / 2, luminance.end());
    const int row = static_cast<int>(s) / 5, col = static_cast<int>(s) % 5;
    median[row][col] = luminance[luminance.size() / 2];
    contrast[row][col] = brightest / std::max(median[row][col], 1e-3);
    blueToRed[row][col] = blue / std::max(red, 1e-6);
  }
  for (int row = 0; row < 5; ++row) {
    for (int col = 2; col < 5; ++col) {
      EXPECT_LE(contrast[row][col], contrast[row][col - 1] * 1.02) << "metallic row " << row << ", roughness column " << col;
    }
    EXPECT_GT(contrast[row][0], 1.3 * contrast[row][4]) << "metallic row " << row;
  }
  for (int row = 1; row < 5; ++row) {
    for (int col : {3, 4}) {
      EXPECT_LT(blueToRed[row][col], blueToRed[row - 1][col]) << "roughness column " << col << ", metallic row " << row;
    }
    EXPECT_LT(median[row][0], median[row - 1][0]) << "smooth sphere, metallic row " << row;
  }
}

// Options the shading cannot follow end the program with the reason and exit status 2.
TEST_F(ShadingTest, RefusesShadingOptionsItCannotUse) {
  const fs::path model = spheres({{{0, 0, 0}}}, {"Kd 1 1 1"});
  const std::string missing = "--hdri '" + (folder_ / "none.hdr").string() + "'";
  for (const std::string& options : {std::string("--tone-mapping bright"), std::string("--key-light maybe"), missing}) {
    SCOPED_TRACE(options);
    ViewerRun run = runViewer("--headless '" + model.string() + "' " + options + " --screenshot '" +
                              (folder_ / "shot.png").string() + "'");
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.err.rfind("modelviewer: ", 0), 0u) << run.err;  // the reason first, then the usage
    EXPECT_FALSE(fs::exists(folder_ / "shot.png"));
  }
}

}  // namespace
