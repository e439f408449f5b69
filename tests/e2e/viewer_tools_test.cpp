// The model view's tools on the running viewer: Page Down and Page Up step through the models
// of the shown model's folder, F12 writes a picture of the window beside the model, a shown
// file or a texture rewritten on disk is shown again, F5 to F8 frame the model from the presets,
// H shows and hides the list of keys, and M measures.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "tests/e2e/desktop_fixture.h"

namespace {

// A box of `x` by `y` by `z` as OBJ quads.
std::string box(double x, double y, double z) {
  std::string out;
  for (int c = 0; c < 8; ++c) {
    out += "v " + std::to_string(c & 1 ? x : 0) + " " + std::to_string(c & 2 ? y : 0) + " " + std::to_string(c & 4 ? z : 0) + "\n";
  }
  return out + "f 1 3 4 2\nf 5 6 8 7\nf 1 2 6 5\nf 3 7 8 4\nf 1 5 7 3\nf 2 4 8 6\n";
}

TEST_F(Desktop, PagesThroughTheFolderTakesPicturesReloadsAndFramesFromPresets) {
  startWindowManager();
  const fs::path models = folder_ / "models";
  fs::create_directories(models);
  std::ofstream(models / "a_cube.obj") << box(1, 1, 1);
  std::ofstream(models / "b_slab.obj") << box(4, 0.3, 1);   // wide and low
  std::ofstream(models / "c_tower.obj") << box(0.3, 4, 0.3);  // tall and thin (Y is up)
  std::ofstream(models / "notes.txt") << "not a model";
  startViewer({}, {MV_PROGRAM, (models / "a_cube.obj").string(), "--validate"});
  const Rect d = screenRect(displayWindow());
  const Rect inner{d.x + 8, d.y + 8, d.width - 16, d.height - 16};
  const int enough = inner.width * inner.height / 100;
  auto settled = [&] {
    std::vector<uint32_t> last = capture(inner);
    retry(5s, [&] {
      std::this_thread::sleep_for(400ms);
      std::vector<uint32_t> now = capture(inner);
      const bool same = differing(now, last) < inner.width * inner.height / 500;
      last = now;
      return same;
    });
    return last;
  };
  auto changedFrom = [&](const std::vector<uint32_t>& before) {
    EXPECT_TRUE(retry(10s, [&] { return differing(capture(inner), before) > enough; })) << stderrText();
    return settled();
  };
  auto press = [&](const std::string& key) { xdotool(display_, "keydown " + key + " sleep 0.4 keyup " + key); };

  const std::vector<uint32_t> cube = settled();
  press("Next");
  const std::vector<uint32_t> slab = changedFrom(cube);
  press("Next");
  const std::vector<uint32_t> tower = changedFrom(slab);
  EXPECT_GT(differing(tower, cube), enough);
  press("Next");  // round to the first again
  EXPECT_LT(differing(changedFrom(tower), cube), enough) << "the cube again";
  press("Prior");
  EXPECT_LT(differing(changedFrom(cube), tower), enough) << "back to the tower";

  // A picture beside the model, of the display window's size, named in the bar.
  press("F12");
  ASSERT_TRUE(retry(10s, [&] { return fs::exists(models / "c_tower-1.png"); })) << stderrText();
  int width = 0, height = 0, channels = 0;
  ASSERT_TRUE(retry(5s, [&] { return stbi_info((models / "c_tower-1.png").c_str(), &width, &height, &channels) == 1; }));
  EXPECT_EQ(width, d.width);
  EXPECT_EQ(height, d.height);

  // Rewritten as an exporter does (a new file renamed over the old): shown again soon.
  const std::vector<uint32_t> before = settled();
  std::ofstream(models / "c_tower.tmp") << box(3, 3, 3);
  fs::rename(models / "c_tower.tmp", models / "c_tower.obj");
  const auto rewritten = std::chrono::steady_clock::now();
  EXPECT_TRUE(retry(2s, [&] { return differing(capture(inner), before) > enough; })) << stderrText();
  std::printf("the rewritten model showed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - rewritten).count()));
  const std::vector<uint32_t> reloaded = settled();

  press("F7");  // from the top
  const std::vector<uint32_t> top = changedFrom(reloaded);
  press("F8");  // the three-quarter view the model opened with
  const std::vector<uint32_t> back = changedFrom(top);
  EXPECT_LT(differing(back, reloaded), enough);

  // The keys' list over the picture, and gone again.
  press("h");
  const std::vector<uint32_t> keys = changedFrom(back);
  EXPECT_GT(differing(keys, back), enough * 5) << "a panel of text";
  press("h");
  EXPECT_LT(differing(changedFrom(keys), back), enough);
  EXPECT_EQ(stderrText().find("Vulkan validation"), std::string::npos) << stderrText();
}

// A texture the shown model uses, rewritten as an image editor saves it: the model is shown
// again with the new image.
TEST_F(Desktop, ARewrittenTextureIsShownAgain) {
  startWindowManager();
  std::ofstream(folder_ / "quad.mtl") << "newmtl m\nKd 1 1 1\nmap_Kd tex.png\n";
  std::ofstream(folder_ / "quad.obj") << "mtllib quad.mtl\nusemtl m\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                                         "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nf 1/1 2/2 3/3 4/4\n";
  auto image = [&](uint8_t r, uint8_t g, uint8_t b, const fs::path& path) {
    std::vector<uint8_t> pixels;
    for (int i = 0; i < 16; ++i) pixels.insert(pixels.end(), {r, g, b});
    ASSERT_TRUE(stbi_write_png(path.c_str(), 4, 4, 3, pixels.data(), 12));
  };
  image(200, 30, 30, folder_ / "tex.png");
  startViewer({}, {MV_PROGRAM, (folder_ / "quad.obj").string(), "--validate"});
  const Rect d = screenRect(displayWindow());
  auto blue = [](uint32_t v) { return (v & 0xFF) > ((v >> 16) & 0xFF) + 60; };
  ASSERT_TRUE(retry(10s, [&] { return countColour(d, [](uint32_t v) { return ((v >> 16) & 0xFF) > (v & 0xFF) + 60; }) > 1000; }))
      << "the red texture; " << stderrText();
  image(30, 30, 200, folder_ / "tex.tmp.png");
  fs::rename(folder_ / "tex.tmp.png", folder_ / "tex.png");
  EXPECT_TRUE(retry(2s, [&] { return countColour(d, blue) > 1000; })) << "the blue texture; " << stderrText();
  EXPECT_EQ(stderrText().find("validation"), std::string::npos) << stderrText();
}

// M, then two clicks near two corners of a box seen from the front: the points snap to the
// corners, and the distance is the box's width.
TEST_F(Desktop, MeasuresBetweenTwoCornersOfABox) {
  startWindowManager();
  // Dark (a vertex colour), so that its outline stands out from the pale ground and background.
  std::istringstream lines(box(2, 1, 0.5));
  std::string dark;
  for (std::string line; std::getline(lines, line);) dark += line + (line[0] == 'v' ? " 0.1 0.1 0.1\n" : "\n");
  std::ofstream(folder_ / "box.obj") << dark;
  startViewer({}, {MV_PROGRAM, (folder_ / "box.obj").string(), "--stats", "--validate"});
  const Rect d = screenRect(displayWindow());
  auto press = [&](const std::string& key) { xdotool(display_, "keydown " + key + " sleep 0.4 keyup " + key); };
  auto isDark = [](uint32_t v) { return ((v >> 8) & 0xFF) < 100; };
  press("F5");  // from the front: the box's front face is its outline
  std::this_thread::sleep_for(1500ms);
  int left = 0, right = 0, top = 0;
  ASSERT_TRUE(retry(10s, [&] {
    const std::vector<uint32_t> picture = capture(d);
    left = d.width, right = -1, top = d.height;
    for (int y = 0; y < d.height; ++y) {
      for (int x = 0; x < d.width; ++x) {
        if (!isDark(picture[static_cast<std::size_t>(y) * d.width + x])) continue;
        left = std::min(left, x), right = std::max(right, x), top = std::min(top, y);
      }
    }
    return right > left + 100;
  })) << stderrText();
  press("m");
  std::this_thread::sleep_for(500ms);
  for (int x : {left + 3, right - 3}) {
    xdotool(display_, "mousemove " + std::to_string(d.x + x) + " " + std::to_string(d.y + top + 3) + " click 1");
    std::this_thread::sleep_for(1000ms);
  }
  std::this_thread::sleep_for(1000ms);
  requestClose();
  EXPECT_EQ(waitFor(viewer_, 5000ms), 1) << stderrText();
  viewer_ = -1;
  const std::string stats = fileText("stdout.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stats, m, std::regex("\"measured\": ([0-9.eE+-]+)"))) << stats << stderrText();
  EXPECT_NEAR(std::stod(m[1]), 2.0, 0.002) << stats;
  EXPECT_EQ(stderrText().find("validation"), std::string::npos) << stderrText();
}

}  // namespace
