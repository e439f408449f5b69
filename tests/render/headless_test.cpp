// The real program in its run folder, rendering off-screen on whatever Vulkan device the
// machine has (the CPU rasterizer when there is no GPU), with the validation layers on.
#include "tests/render/viewer_run.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

namespace fs = std::filesystem;

namespace {

#define SKIP_WITHOUT_VULKAN(run)                                                              \
  if ((run).err.find("no usable Vulkan device") != std::string::npos ||                      \
      (run).err.find("validation layers are not installed") != std::string::npos) {          \
    GTEST_SKIP() << "SKIPPED: no Vulkan device or validation layers here: " << (run).err;     \
  }

double number(const std::string& json, const std::string& key) {
  std::smatch m;
  std::regex pattern("\"" + key + "\": (-?[0-9.eE+-]+)");
  if (!std::regex_search(json, m, pattern)) return NAN;
  return std::stod(m[1]);
}

std::array<double, 3> position(const std::string& json) {
  std::smatch m;
  std::regex pattern("\"position\": \\[(-?[0-9.eE+-]+), (-?[0-9.eE+-]+), (-?[0-9.eE+-]+)\\]");
  if (!std::regex_search(json, m, pattern)) return {NAN, NAN, NAN};
  return {std::stod(m[1]), std::stod(m[2]), std::stod(m[3])};
}

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  bool load(const std::string& path) {
    int channels = 0;
    stbi_uc* p = stbi_load(path.c_str(), &width, &height, &channels, 3);
    if (!p) return false;
    rgb.assign(p, p + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(p);
    return true;
  }
  const uint8_t* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

// Pixels that look like bone: light and warm, clearly brighter than the grass.
int boneLikePixels(const Image& image, int x0, int y0, int x1, int y1) {
  int count = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const uint8_t* p = image.at(x, y);
      if (p[0] > 130 && p[1] > 120 && p[2] > 90 && p[0] >= p[2]) ++count;
    }
  }
  return count;
}

// Compares with the reference picture: the mean absolute difference per channel must stay
// small (different GPUs and drivers differ by a little); writes a diff image when it does not.
void expectLooksLike(const Image& image, const std::string& referencePath, const std::string& diffPath) {
  Image reference;
  ASSERT_TRUE(reference.load(referencePath)) << referencePath;
  ASSERT_EQ(reference.width, image.width);
  ASSERT_EQ(reference.height, image.height);
  double total = 0;
  std::vector<uint8_t> diff(image.rgb.size());
  for (std::size_t i = 0; i < image.rgb.size(); ++i) {
    int d = std::abs(static_cast<int>(image.rgb[i]) - static_cast<int>(reference.rgb[i]));
    total += d;
    diff[i] = static_cast<uint8_t>(std::min(255, d * 4));
  }
  double mean = total / static_cast<double>(image.rgb.size());
  if (mean > 4.0) {
    stbi_write_png(diffPath.c_str(), image.width, image.height, 3, diff.data(), image.width * 3);
  }
  EXPECT_LE(mean, 4.0) << "mean difference from " << referencePath << "; diff image: " << diffPath;
}

TEST(Headless, StartupSceneShowsTheStandingSkeletonOnTheLitField) {
  std::string shot = (fs::temp_directory_path() / "mv_startup.png").string();
  ViewerRun run = runViewer("--headless --validate --frames 30 --stats --screenshot '" + shot + "'");
  SKIP_WITHOUT_VULKAN(run);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("Vulkan validation"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("\"animation\": \"STAND\""), std::string::npos) << run.out;
  auto p = position(run.out);
  EXPECT_NEAR(p[0], 0, 1e-6);
  EXPECT_NEAR(p[1], 0, 1e-6);
  EXPECT_GT(p[2], 0.5);  // standing on the rolling ground, not sunk into it

  Image image;
  ASSERT_TRUE(image.load(shot));
  ASSERT_EQ(image.width, 1920);
  ASSERT_EQ(image.height, 1080);
  // The skeleton stands in the middle third, whole: bone in its upper and lower halves.
  EXPECT_GT(boneLikePixels(image, 640, 0, 1280, 400), 2000);
  EXPECT_GT(boneLikePixels(image, 640, 400, 1280, 800), 500);
  EXPECT_LT(boneLikePixels(image, 0, 0, 640, 1080) + boneLikePixels(image, 1280, 0, 1920, 1080), 200);
  // Grass is green; the shadow falls away from the light, darker than the grass around it.
  const uint8_t* grass = image.at(300, 900);
  EXPECT_GT(grass[1], grass[0] + 20);
  EXPECT_GT(grass[1], grass[2] + 20);
  // The shadow: a band of dark green, well below the lit grass around it.
  int shadowed = 0;
  for (int y = 560; y < 1080; y += 4) {
    for (int x = 960; x < 1920; x += 4) {
      const uint8_t* q = image.at(x, y);
      if (q[1] < 50 && q[1] > q[0] && q[1] > q[2]) ++shadowed;
    }
  }
  EXPECT_GT(shadowed, 200);
  expectLooksLike(image, MV_TEST_DATA "/startup_reference.png",
                  (fs::temp_directory_path() / "mv_startup_diff.png").string());
}

TEST(Headless, WalkingAndTurningMoveTheSkeletonWithoutValidationMessages) {
  std::string shot = (fs::temp_directory_path() / "mv_walk.png").string();
  // Walk for 200 frames, then an about-turn, then a few turns to the left: 300 frames.
  ViewerRun run = runViewer("--headless --validate --frames 300 --stats --hold up:1-200 --hold down:205-205 "
                      "--hold left:290-300 --screenshot '" + shot + "'");
  SKIP_WITHOUT_VULKAN(run);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("Vulkan validation"), std::string::npos) << run.err;
  auto p = position(run.out);
  // Heading 0 points along +x; 200 frames of walking at up to 1 unit a frame.
  EXPECT_GT(p[0], 150);
  EXPECT_LT(p[0], 200);
  EXPECT_NEAR(p[1], 0, 1e-3);
  // The about-turn ends facing the other way, then left turns one degree a poll.
  EXPECT_NEAR(number(run.out, "heading"), 180 + 11, 1e-3);
  EXPECT_NE(run.out.find("\"walking\": false"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"animation\": \"STAND\""), std::string::npos) << run.out;

  Image image, startup;
  ASSERT_TRUE(image.load(shot));
  // The picture changed with the walk: the skeleton now faces the camera.
  EXPECT_GT(boneLikePixels(image, 640, 0, 1280, 800), 2000);
}

TEST(Headless, ReportsAMissingShaderAndStopsCleanly) {
  fs::path folder = fs::temp_directory_path() / ("mv_noshader_" + std::to_string(::getpid()));
  // A copy of the program with nothing installed beside it: the build's run folder beside the
  // program itself would be found.
  fs::create_directories(folder / "bin");
  fs::copy_file(MV_PROGRAM, folder / "bin" / "modelviewer");
  std::string command = "cd '" + folder.string() + "' && ASAN_OPTIONS=detect_leaks=0 bin/modelviewer --headless --frames 1 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  int status = pclose(pipe.release());
  fs::remove_all(folder);
  if (out.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << "SKIPPED: " << out;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("shader/vs1.cso: cannot open shader file"), std::string::npos) << out;
}

TEST(Headless, RejectsBadOptions) {
  ViewerRun run = runViewer("--headless --hold sideways:1-2");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--hold needs KEY:FIRST-LAST"), std::string::npos) << run.err;
  run = runViewer("--headless --frames 0");
  EXPECT_EQ(run.status, 2);
}

// Asked for, help and the version go to stdout with status 0; mistakes stay usage errors.
TEST(CommandLine, HelpAndVersionAnswerOnStdout) {
  for (const char* help : {"--help", "-h"}) {
    ViewerRun run = runViewer(help);
    EXPECT_EQ(run.status, 0) << help;
    EXPECT_EQ(run.out.rfind("usage: modelviewer", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("--info MODEL"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
  ViewerRun run = runViewer("--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("modelviewer [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << run.out;
  run = runViewer("--helpme");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("unknown option: --helpme"), std::string::npos) << run.err;
}

}  // namespace
