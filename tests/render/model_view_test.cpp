// The model view, headless: every COLLADA file of the shared test data, Debian's glTF test
// models and the generated content open framed, and a model that cannot be opened ends the
// program with one line.
// The pictures go into one contact sheet under the build folder for people to look at.
#include "tests/render/viewer_run.h"
#include "tests/render/view_geometry.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// From the temporary folder: the program finds its shaders beside itself.
ViewerRun runElsewhere(const std::string& args) { return runViewer(args, fs::temp_directory_path()); }

std::vector<fs::path> modelsToOpen() {
  std::vector<fs::path> models;
  for (const auto& entry : fs::recursive_directory_iterator(MV_TESTDATA_DIR "/collada")) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".dae") models.push_back(entry.path());
  }
  std::sort(models.begin(), models.end());
  // The glTF test models Debian ships with Assimp, but for those broken on purpose.
  const fs::path gltf = "/usr/share/assimp/models/glTF2";
  const std::vector<std::string> broken = {"techniqueWebGL", "BoxWithInfinites", "IncorrectVertexArrays",
                                           "IndexOutOfRange", "MissingBin", "RecursiveNodes", "SchemaFailures",
                                           "TestNoRootNode", "wrongTypes"};
  std::vector<fs::path> gltfModels;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(gltf, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string(), ext = it->path().extension().string();
    if ((ext != ".gltf" && ext != ".glb") ||
        std::any_of(broken.begin(), broken.end(), [&](const std::string& b) { return path.find(b) != std::string::npos; })) {
      continue;
    }
    gltfModels.push_back(it->path());
  }
  std::sort(gltfModels.begin(), gltfModels.end());
  models.insert(models.end(), gltfModels.begin(), gltfModels.end());
  models.push_back(MV_RUN_DIR "/model/skelton.mdl");
  models.push_back(MV_RUN_DIR "/model/field/field4-4.mdl");
  return models;
}

// Each model opens headless, framed: the box of what the first frame draws projects inside the
// picture with a margin, across a sensible part of it, and the picture shows more than ground.
TEST(ModelView, EveryTestModelOpensFramedAndGoesOnAContactSheet) {
  constexpr int kWidth = 320, kHeight = 240, kColumns = 4;
  const std::vector<fs::path> models = modelsToOpen();
  ASSERT_GE(models.size(), 10u);
  const int rows = static_cast<int>((models.size() + kColumns - 1) / kColumns);
  std::vector<uint8_t> sheet(static_cast<std::size_t>(kWidth) * kColumns * kHeight * rows * 3, 255);
  const fs::path shot = fs::temp_directory_path() / ("mv_model_view_" + std::to_string(::getpid()) + ".png");
  for (std::size_t i = 0; i < models.size(); ++i) {
    SCOPED_TRACE(models[i].string());
    std::string args = "--headless '" + models[i].string() + "' --size 320x240 --stats --validate --screenshot '" +
                       shot.string() + "'";
    if (models[i].filename() == "skelton.mdl") args += " --ani '" MV_RUN_DIR "/model/walk.ani'";
    ViewerRun run = runElsewhere(args);
    if (run.err.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << run.err;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("Vulkan validation"), std::string::npos) << run.err;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("\"framed\": (\\{[^}]*\\})"))) << run.out;
    const std::string framed = m[1];
    const std::vector<double> a = numbers(framed, "min", 3), b = numbers(framed, "max", 3);
    const std::vector<double> eye = numbers(run.out, "eye", 3), target = numbers(run.out, "target", 3);
    const std::vector<double> fov = numbers(run.out, "fieldOfView", 1);
    ASSERT_TRUE(a.size() == 3 && b.size() == 3 && eye.size() == 3 && target.size() == 3 && fov.size() == 1) << run.out;
    double left = kWidth, right = 0, top = kHeight, bottom = 0;
    for (int c = 0; c < 8; ++c) {
      std::array<double, 3> corner = {c & 1 ? b[0] : a[0], c & 2 ? b[1] : a[1], c & 4 ? b[2] : a[2]};
      double x = 0, y = 0;
      ASSERT_TRUE(project(corner, eye, target, fov[0], kWidth, kHeight, x, y));
      left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
    EXPECT_GT(left, 1.0);
    EXPECT_LT(right, kWidth - 2.0);
    EXPECT_GT(top, 1.0);
    EXPECT_LT(bottom, kHeight - 2.0);
    EXPECT_TRUE(right - left > kWidth * 0.3 || bottom - top > kHeight * 0.3) << left << " " << right << " " << top
                                                                              << " " << bottom;

    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load(shot.c_str(), &width, &height, &channels, 3),
                                                    stbi_image_free);
    ASSERT_TRUE(pixels && width == kWidth && height == kHeight);
    // Something other than the pale ground and background: the model or its shadow.
    int darker = 0;
    for (int p = 0; p < width * height; ++p) darker += pixels.get()[p * 3 + 1] < 200 ? 1 : 0;
    // Points and lines one pixel wide (the glTF primitive-mode models) cover less.
    const bool thin = models[i].string().find("Mesh_PrimitiveMode") != std::string::npos;
    EXPECT_GT(darker, width * height / (thin ? 400 : 100));
    const int column = static_cast<int>(i) % kColumns, row = static_cast<int>(i) / kColumns;
    for (int y = 0; y < height; ++y) {
      std::copy_n(pixels.get() + static_cast<std::size_t>(y) * width * 3, width * 3,
                  sheet.begin() + ((static_cast<std::size_t>(row) * kHeight + y) * kWidth * kColumns +
                                   static_cast<std::size_t>(column) * kWidth) * 3);
    }
  }
  fs::remove(shot);
  const std::string sheetPath = MV_BUILD_DIR "/model_view_sheet.png";
  EXPECT_TRUE(stbi_write_png(sheetPath.c_str(), kWidth * kColumns, kHeight * rows, 3, sheet.data(), kWidth * kColumns * 3));
  std::printf("contact sheet: %s\n", sheetPath.c_str());
}

// A missing file, a document that does not parse, a file of another type and a model without
// geometry: exit status 1, one line naming the file, no picture.
TEST(ModelView, ModelsThatCannotBeOpenedEndTheProgramWithOneLine) {
  const fs::path folder = fs::temp_directory_path() / ("mv_bad_models_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / "broken.dae") << "<?xml version=\"1.0\"?><COLLADA><library_geometries><geometry";
  std::ofstream(folder / "notes.txt") << "hello";
  std::ofstream(folder / "empty.mdl") << "";
  const fs::path shot = folder / "shot.png";
  for (const char* name : {"missing.dae", "broken.dae", "notes.txt", "empty.mdl"}) {
    SCOPED_TRACE(name);
    ViewerRun run = runElsewhere("--headless '" + (folder / name).string() + "' --screenshot '" + shot.string() + "'");
    if (run.err.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << run.err;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(shot));
    ViewerRun thumbnail = runElsewhere("--thumbnail 128 '" + (folder / name).string() + "' '" + shot.string() + "'");
    EXPECT_NE(thumbnail.status, 0);
    EXPECT_FALSE(fs::exists(shot));
  }
  fs::remove_all(folder);
}

// The thumbnailer's call: a file:// URI in, a PNG of the asked size out.
TEST(ModelView, ThumbnailOfAUriIsAPngOfTheAskedSize) {
  const fs::path out = fs::temp_directory_path() / ("mv_thumbnail_" + std::to_string(::getpid()) + ".png");
  ViewerRun run = runElsewhere("--thumbnail 256 'file://" MV_TESTDATA_DIR
                            "/collada/gazebo-models/cafe_table/meshes/cafe_table.dae' '" + out.string() + "'");
  if (run.err.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << run.err;
  ASSERT_EQ(run.status, 0) << run.err;
  int width = 0, height = 0, channels = 0;
  ASSERT_TRUE(stbi_info(out.c_str(), &width, &height, &channels));
  EXPECT_EQ(width, 256);
  EXPECT_EQ(height, 256);
  fs::remove(out);
}

}  // namespace

namespace {

// Command lines with the model before the mode, a picture the device cannot hold, and a picture
// written over what it is made from: each its one answer and status.
TEST(ModelView, CommandLinesAnswerWithTheirStatusAndOneLine) {
  const fs::path folder = fs::temp_directory_path() / ("mv_command_lines_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string table = MV_TESTDATA_DIR "/collada/gazebo-models/cafe_table/meshes/cafe_table.dae";
  fs::copy_file(table, folder / "table.dae");
  const std::string copy = (folder / "table.dae").string(), shot = (folder / "shot.png").string();
  fs::create_symlink(copy, folder / "link.png");
  const struct {
    std::string args;
    int status;
    const char* says;  // in its one line on stderr; "" for none
  } cases[] = {
      {"'" + copy + "' --headless --size 64x48 --screenshot '" + shot + "'", 0, ""},
      {"--headless '" + copy + "' --size 16384x16384", 2, "the largest picture of that shape is"},
      {"--thumbnail 64 '" + copy + "' '" + copy + "'", 1, "which the picture is made from"},
      {"--thumbnail 64 '" + copy + "' '" + (folder / "link.png").string() + "'", 1, "which the picture is made from"},
      {"--thumbnail 64 '" + copy + "' /dev/null", 1, "is not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ViewerRun run = runElsewhere(c.args);
    if (run.err.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << run.err;
    EXPECT_EQ(run.status, c.status) << run.err;
    if (*c.says != '\0') {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
  }
  EXPECT_TRUE(fs::exists(shot));
  EXPECT_EQ(fs::file_size(copy), fs::file_size(table)) << "the model is intact";
  fs::remove_all(folder);
}

}  // namespace

namespace {

// What a command prints on stdout.
std::string commandOutput(const std::string& command) {
  std::string text;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) text.append(buffer, n);
  return text;
}

// Frame `n` of `video` as RGB, decoded by FFmpeg's own tool.
std::vector<uint8_t> videoFrame(const fs::path& video, int n, int width, int height) {
  const std::string rgb = commandOutput("ffmpeg -v error -i '" + video.string() + "' -vf 'select=eq(n\\," +
                                        std::to_string(n) + ")' -frames:v 1 -pix_fmt rgb24 -f rawvideo -");
  return rgb.size() == static_cast<std::size_t>(width) * height * 3 ? std::vector<uint8_t>(rgb.begin(), rgb.end())
                                                                    : std::vector<uint8_t>();
}

double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(a[i] - b[i]);
  return sum / static_cast<double>(a.size());
}

// A turntable turns once and comes back where it began; an animation's video is one loop of
// it at the asked rate; what cannot be made ends with one line and leaves no file.
TEST(ModelView, VideosOfATurntableAndOfAnAnimationPlay) {
  if (std::system("command -v ffprobe >/dev/null 2>&1 && command -v ffmpeg >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ffprobe or ffmpeg is missing (Debian package ffmpeg): videos NOT checked";
  }
  const fs::path folder = fs::temp_directory_path() / ("mv_videos_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string table = MV_TESTDATA_DIR "/collada/gazebo-models/cafe_table/meshes/cafe_table.dae";
  // Its keys end at 5 s.
  const std::string animated = MV_TESTDATA_DIR "/collada/collada-dae-parser/test/fixture/letter-f-animated.dae";
  struct Case {
    std::string model, name, options, codec;
    int frames;
  } cases[] = {{table, "turn.mp4", "--turntable 2 --fps 12", "h264", 24},
               {animated, "walk.webm", "--animation 1 --fps 4", "vp9", 20},
               {table, "turn.gif", "--turntable 1 --fps 8", "gif", 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = folder / c.name;
    ViewerRun run = runElsewhere("--headless '" + c.model + "' --size 160x120 --video '" + out.string() + "' " + c.options);
    if (run.err.find("no usable Vulkan device") != std::string::npos) GTEST_SKIP() << run.err;
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // no progress where stderr is no terminal
    const std::string probe = commandOutput("ffprobe -v error -count_frames -show_entries "
                                            "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" + out.string() + "'");
    EXPECT_EQ(probe, c.codec + ",160,120," + std::to_string(c.frames) + "\n");
    if (c.codec == "h264") {
      const auto first = videoFrame(out, 0, 160, 120), half = videoFrame(out, c.frames / 2, 160, 120),
                 last = videoFrame(out, c.frames - 1, 160, 120);
      ASSERT_FALSE(first.empty() || half.empty() || last.empty());
      EXPECT_LT(meanDifference(first, last), 0.4 * meanDifference(first, half));
    }
  }
  for (const auto& [options, message] : std::vector<std::pair<std::string, std::string>>{
           {"--video '" + (folder / "clip.avi").string() + "'", "unknown video type"},
           {"--video '" + (folder / "clip.mp4").string() + "' --animation 2", "animation sets"},
           {"--video '" + (folder / "missing/clip.mp4").string() + "'", "clip.mp4"},
           {"--video '" + table + "'", "which the video is made from"}}) {
    SCOPED_TRACE(options);
    const std::size_t before = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
    ViewerRun run = runElsewhere("--headless '" + table + "' --size 64x64 " + options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), static_cast<std::ptrdiff_t>(before));
  }
  fs::remove_all(folder);
}

}  // namespace
