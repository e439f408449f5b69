// The real viewer on a virtual X server, driven with xdotool's real input events and inspected
// through the X server itself.
#include <gtest/gtest.h>

#include "tests/e2e/desktop_fixture.h"

namespace {

bool isBone(uint32_t v) {
  int r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
  return r > 130 && g > 120 && b > 90 && r >= b;
}
bool isGrass(uint32_t v) {
  int r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
  return g > r + 15 && g > b + 15;
}

TEST_F(Desktop, WindowFrameButtonsWalkingDraggingAndMaximizing) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer();

  // Placement and the painted frame.
  Rect main = screenRect(window_);
  EXPECT_EQ(main.x, 274);
  EXPECT_EQ(main.y, 154);
  EXPECT_EQ(main.width, 1371);
  EXPECT_EQ(main.height, 771);
  EXPECT_EQ(pixel({main.x + 500, main.y + 5}), (Rgb{100, 70, 70})) << "bar";
  EXPECT_EQ(pixel({main.x + 1, main.y + 400}), (Rgb{100, 70, 70})) << "left border";
  EXPECT_EQ(pixel({main.x + 700, main.y + main.height - 2}), (Rgb{100, 70, 70})) << "bottom border";
  Rect text{main.x + 20, main.y, 400, 36};
  EXPECT_GT(countColour(text, [](uint32_t v) { return v == 0xBEA0A0; }), 20) << "FPS text in (190, 160, 160)";
  auto before = capture(text);
  EXPECT_TRUE(retry(3500ms, [&] { return differing(before, capture(text)) > 0; })) << "FPS value never changed";

  std::vector<Rect> buttons = buttonRects();
  ASSERT_EQ(buttons.size(), 3u);
  EXPECT_EQ(buttons[0].x - main.x, 1325);
  EXPECT_EQ(buttons[1].x - main.x, 1287);
  EXPECT_EQ(buttons[2].x - main.x, 1249);
  EXPECT_EQ(buttons[0].y - main.y, 3);
  EXPECT_EQ(buttons[0].width, 28);

  // Walking: the up arrow held for 2 s keeps the picture moving; left and right turn it.
  Rect display = screenRect(displayWindow());
  Rect view{display.x + 100, display.y + 100, display.width - 200, display.height - 200};
  xdotool(display_, "mousemove " + std::to_string(display.x + 50) + " " + std::to_string(display.y + 50));
  // Frames come slowly on a busy machine with the CPU rasterizer: each check waits for the
  // picture to change, up to a few seconds.
  auto changesFrom = [&](const std::vector<uint32_t>& earlier) {
    return retry(6s, [&] { return differing(earlier, capture(view)) > 5000; });
  };
  auto standing = capture(view);
  xdotool(display_, "keydown Up");
  EXPECT_TRUE(changesFrom(standing)) << "no walk";
  std::this_thread::sleep_for(2s);
  auto walking = capture(view);
  EXPECT_TRUE(changesFrom(walking)) << "the walk stopped while the key was held";
  xdotool(display_, "keyup Up");
  xdotool(display_, "keydown Left");
  std::this_thread::sleep_for(1500ms);
  auto turning = capture(view);
  EXPECT_TRUE(changesFrom(turning)) << "no turn";
  xdotool(display_, "keyup Left");

  // Dragging by the bar moves the window by the same amount; a press below it moves nothing.
  xdotool(display_, "mousemove " + std::to_string(main.x + 600) + " " + std::to_string(main.y + 15) +
                        " mousedown 1 mousemove_relative --sync 40 20 mousemove_relative --sync 60 30 mouseup 1");
  EXPECT_TRUE(retry(2s, [&] {
    Rect r = screenRect(window_);
    return r.x == main.x + 100 && r.y == main.y + 50;
  })) << "window at " << screenRect(window_).x << "," << screenRect(window_).y;
  Rect dragged = screenRect(window_);
  xdotool(display_, "mousemove " + std::to_string(dragged.x + 600) + " " + std::to_string(dragged.y + 300) +
                        " mousedown 1 mousemove_relative --sync 80 40 mouseup 1");
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(screenRect(window_).x, dragged.x);
  EXPECT_EQ(screenRect(window_).y, dragged.y);

  // Maximize, then restore to the dragged place.
  buttons = buttonRects();
  click({buttons[1].x + 14, buttons[1].y + 14});
  EXPECT_TRUE(retry(5s, [&] {
    Rect d = screenRect(displayWindow());
    return d.x == 4 && d.y == 36 && d.width == 1912 && d.height == 1040;
  }));
  // The buttons move after the window does.
  EXPECT_TRUE(retry(2s, [&] {
    buttons = buttonRects();
    return buttons.size() == 3 && buttons[0].x == 1874 && buttons[1].x == 1836 && buttons[2].x == 1798;
  }));
  ASSERT_EQ(buttons.size(), 3u);
  click({buttons[1].x + 14, buttons[1].y + 14});
  EXPECT_TRUE(retry(5s, [&] {
    Rect r = screenRect(window_);
    return r.x == dragged.x && r.y == dragged.y && r.width == 1371 && r.height == 771;
  }));

  // Minimize iconifies.
  EXPECT_TRUE(retry(2s, [&] {
    buttons = buttonRects();
    return buttons.size() == 3 && buttons[2].x == dragged.x + 1249;
  }));
  ASSERT_EQ(buttons.size(), 3u);
  click({buttons[2].x + 14, buttons[2].y + 14});
  EXPECT_TRUE(retry(5s, [&] {
    XWindowAttributes a;
    XGetWindowAttributes(x_, window_, &a);
    return a.map_state != IsViewable;
  }));
}

// Maximized means the whole monitor, not the work area the window manager leaves beside a panel:
// the frame, its bottom border and the buttons stay inside the window, and all three still work.
TEST_F(Desktop, MaximizeCoversTheMonitorBesideADock) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer();
  mapBottomDock(40);
  if (HasFatalFailure()) return;
  Rect restored = screenRect(window_);
  ASSERT_EQ(restored.x, 274);
  ASSERT_EQ(restored.y, 154);

  click({buttonRects().at(1).x + 14, buttonRects().at(1).y + 14});
  EXPECT_TRUE(retry(5s, [&] {
    Rect r = screenRect(window_);
    return r.x == 0 && r.y == 0 && r.width == 1920 && r.height == 1080;
  })) << "maximized to " << screenRect(window_).x << "," << screenRect(window_).y << " "
      << screenRect(window_).width << "x" << screenRect(window_).height;
  EXPECT_TRUE(retry(2s, [&] {
    Rect d = screenRect(displayWindow());
    return d.x == 4 && d.y == 36 && d.width == 1912 && d.height == 1040;
  }));
  // The buttons move after the window does.
  std::vector<Rect> buttons;
  EXPECT_TRUE(retry(2s, [&] {
    buttons = buttonRects();
    return buttons.size() == 3 && buttons[0].x == 1874 && buttons[1].x == 1836 && buttons[2].x == 1798 &&
           buttons[0].y == 3;
  }));

  ASSERT_EQ(buttons.size(), 3u);
  click({buttons[1].x + 14, buttons[1].y + 14});
  EXPECT_TRUE(retry(5s, [&] {
    Rect r = screenRect(window_);
    return r.x == 274 && r.y == 154 && r.width == 1371 && r.height == 771;
  })) << "restored to " << screenRect(window_).x << "," << screenRect(window_).y << " "
      << screenRect(window_).width << "x" << screenRect(window_).height;

  EXPECT_TRUE(retry(2s, [&] {
    buttons = buttonRects();
    return buttons.size() == 3 && buttons[0].x == 274 + 1325 && buttons[0].y == 154 + 3;
  }));
  ASSERT_EQ(buttons.size(), 3u);
  click({buttons[0].x + 14, buttons[0].y + 14});
  int status = waitFor(viewer_, 2000ms);
  viewer_ = -1;
  EXPECT_EQ(status, 1) << stderrText();
  EXPECT_TRUE(fs::exists(folder_ / "config.ini"));
}

TEST_F(Desktop, CloseButtonReleasedOffTheButtonWritesConfigAndExits) {
  prepareFolder(Content::Full, "BKColorR = 300\r\nModelPath = My Models\r\n");
  startViewer();
  Rect close = buttonRects().at(0);
  xdotool(display_, "mousemove " + std::to_string(close.x + 14) + " " + std::to_string(close.y + 14) +
                        " mousedown 1 mousemove " + std::to_string(close.x - 300) + " " +
                        std::to_string(close.y + 200) + " mouseup 1");
  int status = waitFor(viewer_, 2000ms);
  viewer_ = -1;
  EXPECT_EQ(status, 1) << stderrText();
  std::ifstream in(folder_ / "config.ini");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 34u);
  EXPECT_EQ(lines[0], "ModelPath = My\r");
  EXPECT_EQ(lines[6], "BKColorR = 300\r");
  EXPECT_EQ(lines[33], "RotationZ = -2.500000\r");
}

TEST_F(Desktop, CloseRequestFromTheWindowManagerEndsLikeTheCloseButton) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer();
  requestClose();
  int status = waitFor(viewer_, 2000ms);
  viewer_ = -1;
  EXPECT_EQ(status, 1) << stderrText();
  EXPECT_TRUE(fs::exists(folder_ / "config.ini"));
}

TEST_F(Desktop, MissingTilesOrSkeletonStillStart) {
  prepareFolder(Content::NoTiles);
  startViewer();
  Rect d = screenRect(displayWindow());
  Rect view{d.x, d.y, d.width, d.height};
  EXPECT_GT(countColour(view, isBone), 500) << "the skeleton alone";
  EXPECT_LT(countColour(view, isGrass), 1000);
  EXPECT_NE(stderrText().find("field1-1.mdl"), std::string::npos) << stderrText();
  stop(viewer_);

  fs::remove_all(folder_);
  fs::create_directories(folder_);
  prepareFolder(Content::NoSkeleton);
  startViewer();
  d = screenRect(displayWindow());
  view = {d.x, d.y, d.width, d.height};
  EXPECT_GT(countColour(view, isGrass), 100000) << "the tiles alone";
  EXPECT_LT(countColour(view, isBone), 100);
  EXPECT_NE(stderrText().find("skelton.mdl"), std::string::npos) << stderrText();
}

TEST_F(Desktop, WalkKeepsToTheClockWhateverTheFrameRate) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer({}, {MV_PROGRAM, "--stats"});
  Rect d = screenRect(displayWindow());
  Rect view{d.x + d.width / 4, d.y + d.height / 4, d.width / 2, d.height / 2};
  xdotool(display_, "mousemove " + std::to_string(d.x + 50) + " " + std::to_string(d.y + 50));
  // A frame steps the scene for the time since the previous one with the keys as they are when
  // it starts: at the CPU device's one or two frames a second a key change counts from a frame
  // start. Pressing and releasing just after a picture appears (a frame has just started)
  // makes the walk last as long as the hold.
  auto nextPicture = [&] {
    auto before = capture(view);
    EXPECT_TRUE(retry(10s, [&] { return differing(before, capture(view)) > 0; })) << "no new frame";
    return std::chrono::steady_clock::now();
  };
  auto pressed = nextPicture();
  xdotool(display_, "keydown Up");
  std::this_thread::sleep_for(3s);
  double held = std::chrono::duration<double>(nextPicture() - pressed).count();
  xdotool(display_, "keyup Up");
  nextPicture();
  requestClose();
  EXPECT_EQ(waitFor(viewer_, 10s), 1) << stderrText();
  viewer_ = -1;
  // `modelviewer --headless --frames 181 --hold up:1-180 --stats` walks 180 steps (3 s) from a
  // standstill to (156.5, 0); at full speed every further step walks one unit.
  double expected = 156.5 + (60 * held - 180);
  std::string stats = fileText("stdout.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stats, m, std::regex("\"position\": \\[([-0-9.e]+), ([-0-9.e]+)"))) << stats;
  EXPECT_NEAR(std::hypot(std::stod(m[1]), std::stod(m[2])), expected, 0.15 * expected) << "held " << held << " s: " << stats;
}

TEST_F(Desktop, WhiteBarIsTransparentThroughTheColourKey) {
  prepareFolder(Content::Full, "BarColorR = 255\nBarColorG = 255\nBarColorB = 255\n");
  startViewer();
  Rect main = screenRect(window_);
  // The root window (black on this server) shows through the bar and the border.
  EXPECT_TRUE(retry(3s, [&] { return pixel({main.x + 500, main.y + 5}) == Rgb{0, 0, 0}; }));
  EXPECT_EQ(pixel({main.x + 1, main.y + 400}), (Rgb{0, 0, 0}));
  EXPECT_NE(pixel(displayCentre()), (Rgb{0, 0, 0})) << "the display window stays";
}

TEST_F(Desktop, SoundTickRunsOnTheNullDevice) {
  prepareFolder(Content::Full);
  fs::create_directories(folder_ / "home");
  std::ofstream(folder_ / "home" / ".asoundrc") << "pcm.!default { type null }\n";
  startViewer({"HOME=" + (folder_ / "home").string()});
  bool ticking = false;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(viewer_) + "/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    ticking = ticking || name == "sound-tick";
  }
  EXPECT_TRUE(ticking) << stderrText();
  EXPECT_EQ(stderrText().find("no sound device"), std::string::npos) << stderrText();
}

// The drop target of the window system, driven by a drag source that speaks XDND as file
// managers do, onto a window that takes models and animations and prints what it is given.
TEST_F(Desktop, FilesDroppedOnAWindowAreTakenByTypeInOrderWhateverTheSource) {
  startWindowManager();
  const fs::path model = folder_ / "two words 100%.dae", notes = folder_ / "notes.txt", walk = folder_ / "walk.ani",
                 run = folder_ / "run.ani", gone = folder_ / "gone.dae";
  for (const fs::path& p : {model, notes, walk, run, gone}) std::ofstream{p};
  viewer_ = spawn({MV_DROP_WINDOW}, display_, folder_, folder_ / "stderr.txt", {}, folder_ / "stdout.txt");
  std::smatch m;
  std::string printed;
  ASSERT_TRUE(retry(20s, [&] { return std::regex_search(printed = fileText("stdout.txt"), m, std::regex("window (0x[0-9a-f]+)")); }))
      << stderrText();
  window_ = std::stoul(m[1], nullptr, 16);
  ASSERT_TRUE(retry(10s, [&] {
    XWindowAttributes a{};
    return XGetWindowAttributes(x_, window_, &a) && a.map_state == IsViewable;
  }));
  const std::string id = std::to_string(window_);
  auto drag = [&](std::vector<std::string> args) {
    args.insert(args.begin(), MV_XDND_DROP);
    const pid_t source = spawn(args, display_, folder_, folder_ / "drag_err.txt", {}, folder_ / "drag_out.txt");
    const int status = waitFor(source, 20s);
    if (status < 0) stop(source);
    return std::to_string(status) + " " + fileText("drag_out.txt") + fileText("drag_err.txt");
  };

  EXPECT_EQ(drag({"--window", id, model.string()}), "0 accepted\nfinished ok\n");
  EXPECT_EQ(drag({"--window", id, notes.string()}), "0 refused\n");
  // About 1.5 MiB of files: over the limit.
  EXPECT_EQ(drag({"--window", id, "--repeat", "30000", model.string()}), "0 refused\n");
  EXPECT_NE(stderrText().find("file list over"), std::string::npos) << stderrText();
  // Found under the pointer, the types listed on the source window.
  const Rect r = screenRect(window_);
  EXPECT_EQ(drag({"--x", std::to_string(r.x + 30), "--y", std::to_string(r.y + 40), "--type-list", walk.string(),
                  "file://localhost" + run.string()}),
            "0 accepted\nfinished ok\n");
  // A source that dies before serving its list, with a position and a drop still on the way:
  // the drop is given up after a while, and the window goes on taking drops.
  EXPECT_EQ(drag({"--window", id, "--vanish", gone.string()}), "0 vanished\n");
  EXPECT_TRUE(retry(6s, [&] { return stderrText().find("given up") != std::string::npos; })) << stderrText();
  EXPECT_EQ(drag({"--window", id, model.string()}), "0 accepted\nfinished ok\n");

  EXPECT_EQ(fileText("stdout.txt"), printed.substr(0, printed.find('\n') + 1) + "dropped " + model.string() +
                                        "\ndropped " + walk.string() + "\ndropped " + run.string() + "\ndropped " +
                                        model.string() + "\n");
  EXPECT_EQ(waitFor(viewer_, 200ms), -1) << "the window ended: " << stderrText();
}

// `cmake --install` into a temporary prefix. The installed viewer, started with no arguments from
// an unrelated folder, shows the sample scene from share/modelviewer/ and reads and writes
// config.ini in $XDG_CONFIG_HOME/modelviewer/ only; the desktop entry passes
// desktop-file-validate, and the file types find the viewer's files by name and by content.
TEST_F(Desktop, InstalledViewerRunsFromAnyFolderAndRegistersItsFileTypes) {
  fs::path prefix = folder_ / "prefix", share = prefix / "share", configFolder = folder_ / "config" / "modelviewer";
  auto run = [&](const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    int status = waitFor(spawn(argv, display_, folder_, folder_ / "tool.err", env, folder_ / "tool.out"), 60s);
    return status == 0 ? fileText("tool.out") + fileText("tool.err") : "exit " + std::to_string(status) + ": " + fileText("tool.err");
  };
  std::string installed = run({MV_CMAKE, "--install", MV_BUILD_DIR, "--prefix", prefix.string()});
  ASSERT_NE(installed.rfind("exit ", 0), 0u) << installed;
  EXPECT_EQ(run({"desktop-file-validate", (share / "applications" / "modelviewer.desktop").string()}), "");
  auto mimeTypes = [&](const char* file) {
    std::smatch m;
    std::string text = fileText(file);
    return std::regex_search(text, m, std::regex("\nMimeType=(.*)\n")) ? m[1].str() : "none";
  };
  EXPECT_EQ(mimeTypes("prefix/share/thumbnailers/modelviewer.thumbnailer"),
            mimeTypes("prefix/share/applications/modelviewer.desktop"));

  // The file types in a mime database of their own; .ani and .cdr are also other programs'
  // extensions, so the name alone does not decide.
  fs::create_directories(folder_ / "data" / "mime" / "packages");
  fs::copy_file(share / "mime" / "packages" / "modelviewer.xml", folder_ / "data" / "mime" / "packages" / "modelviewer.xml");
  std::vector<std::string> dataEnv = {"XDG_DATA_HOME=" + (folder_ / "data").string(), "XDG_DATA_DIRS=/usr/share"};
  ASSERT_EQ(run({"update-mime-database", (folder_ / "data" / "mime").string()}, dataEnv), "");
  fs::create_directories(folder_ / "sniff");
  for (const char* name : {"skelton.mdl", "walk.ani", "skelton.cdr"}) {
    std::string type = std::string("model/x-modelviewer-") + (std::strchr(name, '.') + 1);
    for (const std::string& copy : {std::string(name), std::string(name) + ".bin"}) {
      fs::copy_file(share / "modelviewer" / "model" / name, folder_ / "sniff" / copy);
      EXPECT_NE(run({"gio", "info", "-a", "standard::content-type", (folder_ / "sniff" / copy).string()},
                    dataEnv)
                    .find("content-type: " + type + "\n"),
                std::string::npos)
          << copy;
    }
  }

  // A relative path on the command line stays relative to the folder it was started from.
  std::string headless = run({(prefix / "bin" / "modelviewer").string(), "--headless", "--frames", "1", "--screenshot",
                              "shot.png"}, {kViewerSanitizerOptions});
  EXPECT_TRUE(fs::exists(folder_ / "shot.png")) << headless;

  fs::create_directories(configFolder);
  std::ofstream(configFolder / "config.ini") << "BarColorR = 30\r\n";
  fs::create_directories(folder_ / "home");
  std::set<fs::path> before;
  startViewer({"HOME=" + (folder_ / "home").string(), "XDG_CONFIG_HOME=" + configFolder.parent_path().string()},
              {(prefix / "bin" / "modelviewer").string()});
  for (const auto& entry : fs::directory_iterator(folder_)) before.insert(entry.path());
  Rect main = screenRect(window_);
  EXPECT_EQ(pixel({main.x + 500, main.y + 5}), (Rgb{30, 70, 70})) << "the bar in the configured colour";
  Rect d = screenRect(displayWindow());
  EXPECT_GT(countColour(d, isBone), 500) << "the skeleton";
  EXPECT_GT(countColour(d, isGrass), 100000) << "the tiles";
  EXPECT_EQ(stderrText().find("cannot"), std::string::npos) << stderrText();

  click({buttonRects().at(0).x + 14, buttonRects().at(0).y + 14});
  EXPECT_EQ(waitFor(viewer_, 5000ms), 1) << stderrText();
  viewer_ = -1;
  std::ifstream in(configFolder / "config.ini");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 34u);
  EXPECT_EQ(lines[14], "BarColorR = 30\r");
  std::set<fs::path> after;
  for (const auto& entry : fs::directory_iterator(folder_)) after.insert(entry.path());
  EXPECT_EQ(after, before) << "nothing new in the folder it was started from";
  EXPECT_FALSE(fs::exists(share / "modelviewer" / "config.ini"));
}

// A model opened by a relative path from a folder of its own: the mouse orbits, zooms and pans
// the picture, Home frames it again, keys choose the animation, and the close button writes
// config.ini there and ends with status 1, printing the view's state.
TEST_F(Desktop, ModelViewOrbitsZoomsPansSwitchesAnimationsAndCloses) {
  startWindowManager();
  std::ofstream(folder_ / "config.ini") << "BKColorR = 40\r\n";
  const fs::path model = fs::relative(MV_TESTDATA_DIR "/collada/gazebo-models/euro_pallet/meshes/pallet.dae",
                                      folder_);
  // Validated throughout: opening, orbiting, resizing and switching animations.
  startViewer({}, {MV_PROGRAM, model.string(), "--stats", "--validate"});
  const Rect d = screenRect(displayWindow());
  const Rect inner{d.x + 8, d.y + 8, d.width - 16, d.height - 16};
  // Model and shadow: clearly darker than the pale ground and background.
  auto dark = [](uint32_t v) { return ((v >> 8) & 0xFF) < 150; };
  auto settled = [&] {
    std::vector<uint32_t> last = capture(inner);
    retry(5s, [&] {
      std::this_thread::sleep_for(400ms);
      std::vector<uint32_t> now = capture(inner);
      bool same = differing(now, last) < inner.width * inner.height / 500;
      last = now;
      return same;
    });
    return last;
  };
  // After an action: the picture once it has changed from `before` (frames are slow on a busy
  // CPU device) and come to rest.
  auto changedFrom = [&](const std::vector<uint32_t>& before) {
    retry(10s, [&] { return differing(capture(inner), before) > inner.width * inner.height / 100; });
    return settled();
  };
  auto centreX = [&](const std::vector<uint32_t>& picture) {
    double sum = 0, n = 0;
    for (std::size_t i = 0; i < picture.size(); ++i) {
      if (dark(picture[i])) sum += static_cast<double>(i % inner.width), ++n;
    }
    return n > 0 ? sum / n : -1;
  };
  auto count = [&](const std::vector<uint32_t>& picture) { return std::count_if(picture.begin(), picture.end(), dark); };
  const std::vector<uint32_t> home = settled();
  ASSERT_GT(count(home), inner.width * inner.height / 50) << "the model is shown";
  const Point c = displayCentre();
  // Held a little: the keyboard is polled, not read as events.
  auto press = [&](const std::string& key) { xdotool(display_, "keydown " + key + " sleep 0.4 keyup " + key); };
  auto drag = [&](int button, int dx, const char* key = nullptr) {
    std::string held = key ? std::string(" keydown ") + key : "";
    std::string released = key ? std::string(" keyup ") + key : "";
    xdotool(display_, "mousemove " + std::to_string(c.x) + " " + std::to_string(c.y) + held + " mousedown " +
                          std::to_string(button) + " mousemove " + std::to_string(c.x + dx / 2) + " " +
                          std::to_string(c.y) + " mousemove " + std::to_string(c.x + dx) + " " + std::to_string(c.y) +
                          " mouseup " + std::to_string(button) + released);
  };

  drag(1, 120);  // orbit
  const std::vector<uint32_t> turned = changedFrom(home);
  EXPECT_GT(differing(turned, home), inner.width * inner.height / 50) << "the drag turned the model";
  press("Home");
  EXPECT_LT(differing(changedFrom(turned), home), inner.width * inner.height / 100) << "Home frames it again";

  xdotool(display_, "mousemove " + std::to_string(c.x) + " " + std::to_string(c.y) + " click 4 click 4 click 4");
  const std::vector<uint32_t> nearer = changedFrom(home);
  EXPECT_GT(count(nearer), count(home) * 5 / 4) << "the wheel zoomed in";
  press("Home");
  changedFrom(nearer);
  drag(2, 200);  // pan with the middle button
  const std::vector<uint32_t> right = changedFrom(home);
  const double panned = centreX(right);
  EXPECT_GT(panned, centreX(home) + 60) << "the model follows the pan to the right";
  drag(1, -200, "shift");  // shift-left-drag pans too
  EXPECT_LT(centreX(changedFrom(right)), panned - 60);

  // Maximized, the view renders at the larger size and still shows the model; then restored.
  Rect maximize = buttonRects().at(1);
  click({maximize.x + 14, maximize.y + 14});
  ASSERT_TRUE(retry(10s, [&] { return screenRect(displayWindow()).width > d.width; })) << stderrText();
  const Rect big = screenRect(displayWindow());
  EXPECT_TRUE(retry(20s, [&] {
    return countColour({big.x + 8, big.y + 8, big.width - 16, big.height - 16}, dark) > big.width * big.height / 50;
  })) << stderrText();
  maximize = buttonRects().at(1);
  click({maximize.x + 14, maximize.y + 14});
  ASSERT_TRUE(retry(10s, [&] { return screenRect(displayWindow()).width == d.width; })) << stderrText();

  Rect close = buttonRects().at(0);
  click({close.x + 14, close.y + 14});
  EXPECT_EQ(waitFor(viewer_, 5000ms), 1) << stderrText();
  viewer_ = -1;
  EXPECT_NE(fileText("config.ini").find("BKColorR = 40\r"), std::string::npos);
  EXPECT_EQ(stderrText().find("Error"), std::string::npos) << stderrText();
  EXPECT_EQ(stderrText().find("validation"), std::string::npos) << stderrText();
  const std::string stats = fileText("stdout.txt");
  EXPECT_NE(stats.find("\"model\": {"), std::string::npos) << stats;

  // The generated skeleton with two animation files: keys 1 and 2 choose between them.
  fs::remove(folder_ / "stdout.txt");
  startViewer({}, {MV_PROGRAM, MV_RUN_DIR "/model/skelton.mdl", "--ani", MV_RUN_DIR "/model/walk.ani", "--ani",
                   MV_RUN_DIR "/model/stand.ani", "--stats", "--validate"});
  click(displayCentre());  // focus, as a user's first click does
  xdotool(display_, "windowactivate --sync " + std::to_string(window_));
  std::this_thread::sleep_for(500ms);
  for (const char* key : {"2", "1", "2"}) press(key);
  requestClose();
  EXPECT_EQ(waitFor(viewer_, 5000ms), 1) << stderrText();
  viewer_ = -1;
  EXPECT_NE(fileText("stdout.txt").find("\"animation\": \"STAND 2/2\", \"animations\": 2"), std::string::npos)
      << fileText("stdout.txt");
  EXPECT_EQ(stderrText().find("validation"), std::string::npos) << stderrText();
}

}  // namespace

namespace {

// "Open with" on a file that cannot be shown: the one line naming it and exit status 1, before
// any window appears, never a crash.
TEST_F(Desktop, AModelThatCannotBeShownEndsWithItsLineAndNoWindow) {
  prepareFolder(Content::Full);
  std::ofstream(folder_ / "empty.dae");
  std::ofstream(folder_ / "notes.dae") << "hello, not XML";
  // A triangle whose corners lie outside its two points: nothing to draw.
  std::ofstream(folder_ / "outside.dae")
      << "<COLLADA><library_geometries><geometry id='g'><mesh><source id='p'><float_array count='6'>0 0 0 1 1 1"
         "</float_array><technique_common><accessor stride='3'/></technique_common></source><vertices id='v'>"
         "<input semantic='POSITION' source='#p'/></vertices><triangles count='1'><input semantic='VERTEX' "
         "source='#v' offset='0'/><p>0 1 5</p></triangles></mesh></geometry></library_geometries>"
         "<library_visual_scenes><visual_scene id='s'><node><instance_geometry url='#g'/></node></visual_scene>"
         "</library_visual_scenes></COLLADA>";
  for (const char* name : {"missing.dae", "empty.dae", "notes.dae", "outside.dae"}) {
    SCOPED_TRACE(name);
    viewer_ = spawn({MV_PROGRAM, (folder_ / name).string()}, display_, folder_, folder_ / "stderr.txt",
                    {kViewerSanitizerOptions});
    EXPECT_EQ(waitFor(viewer_, 30s), 1) << stderrText();
    viewer_ = -1;
    const std::string err = stderrText();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(name), std::string::npos) << err;
    EXPECT_EQ(findWindow(DefaultRootWindow(x_)), 0u) << "a window was made";
  }
}

// A size the window manager gives the window (a tiling layout, an edge drag, xdotool) lays out
// the bar, the buttons and the display window for it, as maximizing does.
TEST_F(Desktop, SizesTheWindowManagerGivesAreLaidOutAsMaximizingDoes) {
  startWindowManager();
  prepareFolder(Content::Full);
  startViewer();
  for (const auto& size : {std::pair{1000, 700}, std::pair{1500, 900}}) {
    const int width = size.first, height = size.second;
    SCOPED_TRACE(width);
    xdotool(display_, "windowsize --sync " + std::to_string(window_) + " " + std::to_string(width) + " " +
                          std::to_string(height));
    ASSERT_TRUE(retry(10s, [&] { return screenRect(window_).width == width; })) << screenRect(window_).width;
    const Rect main = screenRect(window_);
    // A border of four pixels beside and below the display window, the bar above it.
    EXPECT_TRUE(retry(10s, [&] {
      const Rect d = screenRect(displayWindow());
      return d.x == main.x + 4 && d.width == width - 8 && d.y + d.height == main.y + height - 4;
    })) << screenRect(displayWindow()).width;
    const std::vector<Rect> buttons = buttonRects();
    ASSERT_EQ(buttons.size(), 3u);
    for (const Rect& b : buttons) EXPECT_LE(b.x + b.width, main.x + width) << "a button off the window";
    EXPECT_GT(buttons.at(0).x + buttons.at(0).width, main.x + width - 40) << "the close button away from the edge";
  }
  EXPECT_EQ(waitFor(viewer_, 200ms), -1) << "the window ended: " << stderrText();
}

}  // namespace
