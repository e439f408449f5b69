// Files dropped on the running viewer by a drag source that speaks XDND as file managers do:
// models replace what is shown, animations add to it, other files are refused, a broken model
// is reported in the bar, and the window keeps answering while models load.
#include <gtest/gtest.h>

#include "tests/e2e/desktop_fixture.h"

namespace {

class Drops : public Desktop {
 protected:
  // Drops `files` on the viewer's window; the source's exit status and what it printed.
  std::string drop(std::vector<std::string> files) {
    files.insert(files.begin(), {MV_XDND_DROP, "--window", std::to_string(window_)});
    const pid_t source = spawn(files, display_, folder_, folder_ / "drag_err.txt", {}, folder_ / "drag_out.txt");
    const int status = waitFor(source, 20s);
    if (status < 0) stop(source);
    return std::to_string(status) + " " + fileText("drag_out.txt") + fileText("drag_err.txt");
  }

  int grass() {
    return countColour(screenRect(displayWindow()), [](uint32_t v) {
      int r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
      return g > r + 15 && g > b + 15;
    });
  }

  // The bar from `from` to `to` pixels along, where its text is.
  Rect barText(int from, int to) {
    Rect main = screenRect(window_);
    return {main.x + from, main.y + 6, to - from, 14};
  }
  // Pixels of the bar's text between `from` and `to`: those unlike the bar around it.
  int textPixels(int from, int to) {
    std::vector<uint32_t> pixels = capture(barText(from, to));
    int n = 0;
    for (uint32_t v : pixels) n += v != pixels.front();
    return n;
  }
};

const char kShared[] = MV_SHARED_DIR;

TEST_F(Drops, ModelsReplaceTheSceneAnimationsAddOthersAreRefusedAndBrokenOnesReported) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer({}, {MV_PROGRAM, "--stats"});
  ASSERT_GT(grass(), 10000) << "the start-up field";

  // A .mdl replaces the start-up scene, then a .dae replaces the .mdl.
  const fs::path model = fs::path(MV_RUN_DIR) / "model";
  EXPECT_EQ(drop({(model / "skelton.mdl").string()}), "0 accepted\nfinished ok\n");
  EXPECT_TRUE(retry(30s, [&] { return grass() < 100; })) << "the field is still shown; " << stderrText();
  std::this_thread::sleep_for(1s);  // a few frames of the skeleton
  const std::vector<uint32_t> before = capture(screenRect(displayWindow()));
  const fs::path dae = fs::path(kShared) / "testdata/collada/collada-dae-parser/test/fixture/letter-f-animated.dae";
  EXPECT_EQ(drop({dae.string()}), "0 accepted\nfinished ok\n");
  EXPECT_TRUE(retry(30s, [&] { return differing(before, capture(screenRect(displayWindow()))) > 10000; }))
      << stderrText();

  // Two animations of its bones in one drop (the second named in capitals) join its own one;
  // keys 2 and 3 pick them.
  for (const char* name : {"turn.ani", "NOD.ANI"}) {
    std::ofstream(folder_ / name) << "<TARGET_MODEL_ID>\r\nletter-f-animated\r\n<ANIMATION_ID>\r\n"
                                  << fs::path(name).stem().string()
                                  << "\r\n<ANIMATION_BEGIN>\r\n<TARGET> Bone\r\n<KEY_TIME>\r\n0 10\r\n"
                                     "<POSE_MATRIX>\r\n1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\r\n"
                                     "0 1 0 0 -1 0 0 0 0 0 1 0 0 0 0 1\r\n<POSE_MATRIX_END>\r\n<ANIMATION_END>\r\n";
  }
  EXPECT_EQ(drop({(folder_ / "turn.ani").string(), (folder_ / "NOD.ANI").string()}), "0 accepted\nfinished ok\n");
  std::this_thread::sleep_for(3s);  // the reload, then a few frames
  const Rect display = screenRect(displayWindow());
  xdotool(display_, "mousemove " + std::to_string(display.x + 50) + " " + std::to_string(display.y + 50));
  // Held long enough for the keyboard polls to see them.
  for (const char* key : {"2", "3"}) {
    xdotool(display_, std::string("keydown ") + key);
    std::this_thread::sleep_for(300ms);
    xdotool(display_, std::string("keyup ") + key);
  }

  // Not a model file: refused while dragging. A broken model: the bar says why for a while.
  std::ofstream(folder_ / "notes.txt") << "hello\n";
  EXPECT_EQ(drop({(folder_ / "notes.txt").string()}), "0 refused\n");
  std::ofstream(folder_ / "broken.dae") << "<COLLADA><library_geometries>";
  ASSERT_LT(textPixels(420, 900), 10) << "the bar's text is short before";
  EXPECT_EQ(drop({(folder_ / "broken.dae").string()}), "0 accepted\nfinished ok\n");
  EXPECT_TRUE(retry(5s, [&] { return textPixels(420, 900) > 100; })) << "no message in the bar";
  EXPECT_NE(stderrText().find("broken.dae: not a readable XML document"), std::string::npos) << stderrText();
  EXPECT_TRUE(retry(8s, [&] { return textPixels(420, 900) < 10; })) << "the message stays";
  EXPECT_LT(grass(), 100);

  requestClose();
  ASSERT_EQ(waitFor(viewer_, 20s), 1) << stderrText();
  viewer_ = -1;
  // The .dae stayed, with the two animations added and the one key 3 chose playing.
  const std::string stats = fileText("stdout.txt");
  EXPECT_NE(stats.find("\"animations\": 3}"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"animation\": \"NOD 3/3\""), std::string::npos) << stats;
}

TEST_F(Drops, TheWindowKeepsAnsweringWhileDroppedModelsLoad) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer();
  // The largest test file, twenty times over: loaded one after another on the loader thread.
  const fs::path largest = fs::path(kShared) / "testdata/collada/khronos-cts/skin_2_influence/skin_2_influence.dae";
  const auto dropped = std::chrono::steady_clock::now();
  EXPECT_EQ(drop({"--repeat", "20", largest.string()}), "0 accepted\nfinished ok\n");
  EXPECT_LT(std::chrono::steady_clock::now() - dropped, 3s) << "the drop waited for the loads";

  // The frame-rate text is repainted each second; the bar drags the window.
  const std::vector<uint32_t> fps = capture(barText(10, 200));
  EXPECT_TRUE(retry(3s, [&] { return differing(fps, capture(barText(10, 200))) > 0; })) << "the FPS text is stuck";
  const Rect main = screenRect(window_);
  xdotool(display_, "mousemove " + std::to_string(main.x + 600) + " " + std::to_string(main.y + 15) +
                        " mousedown 1 mousemove_relative --sync 40 20 mouseup 1");
  EXPECT_TRUE(retry(2s, [&] { return screenRect(window_).x == main.x + 40; }))
      << "the bar drag did not move it from " << main.x << "," << main.y << ": at " << screenRect(window_).x << ","
      << screenRect(window_).y << " on " << display_;
  EXPECT_TRUE(retry(120s, [&] { return grass() < 100; })) << stderrText();
  std::printf("first of the dropped models shown after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped).count());
}

}  // namespace
