#include "app/desktop_app.h"

#include <X11/Xlib.h>
#include <cairo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <memory>
#include <vector>

#include "app/app_state.h"
#include "app/dropped_models.h"
#include "app/input_thread.h"
#include "app/main_window.h"
#include "app/model_view_setup.h"
#include "app/resource_paths.h"
#include "app/run_stats.h"
#include "app/startup_scene.h"
#include "app/title_buttons.h"
#include "app/viewer_tools.h"
#include "app/window_layout.h"
#include "platform/keyboard_state.h"
#include "platform/periodic_timer.h"
#include "render/frame_thread.h"
#include "render/model_stage.h"
#include "render/render_device.h"
#include "render/window_presenter.h"
#include "scene/camera.h"
#include "scene/model_view.h"
#include "scene/scene.h"
#include "sound/sound_mixer.h"

namespace {

// Mouse input of the display window while it shows a model: left-drag orbits (with shift it
// pans), middle-drag pans, the wheel zooms; while measuring, a left click that does not move
// picks a point.
struct ViewDrag {
  bool active = false;
  DragMode mode = DragMode::kOrbit;
  int lastX = 0, lastY = 0;
  int downX = 0, downY = 0;  // where the left button went down, in the window
  bool moved = false;        // further than a click's tremble since
};

void modelViewMouse(WindowSystem& windows, XWindow window, ModelView& model, ViewDrag& drag, WindowMessage message,
                    const MessageArgs& a) {
  switch (message) {
    case WindowMessage::LeftDown:
    case WindowMessage::MiddleDown:
      drag.active = true;
      drag.mode = message == WindowMessage::MiddleDown || a.shift ? DragMode::kPan : DragMode::kOrbit;
      drag.lastX = a.rootX;
      drag.lastY = a.rootY;
      drag.downX = a.x;
      drag.downY = a.y;
      drag.moved = false;
      windows.capture(window);
      break;
    case WindowMessage::MouseMove:
      if (!drag.active) break;
      model.Drag(static_cast<float>(a.rootX - drag.lastX), static_cast<float>(a.rootY - drag.lastY), drag.mode);
      drag.moved |= std::abs(a.x - drag.downX) > 3 || std::abs(a.y - drag.downY) > 3;
      drag.lastX = a.rootX;
      drag.lastY = a.rootY;
      break;
    case WindowMessage::LeftUp:
    case WindowMessage::MiddleUp:
      if (!drag.active) break;
      drag.active = false;
      windows.releaseCapture();
      if (message == WindowMessage::LeftUp && !drag.moved && model.measuring()) model.Pick(drag.downX, drag.downY);
      break;
    case WindowMessage::Wheel:
      model.Wheel(a.wheel);
      break;
    default:
      break;
  }
}

}  // namespace

int RunDesktop(const DesktopOptions& desktopOptions) {
  const bool printStats = desktopOptions.printStats;
  // A model is shown from the start, or once one is dropped; the UI thread's to read.
  bool showModel = !desktopOptions.model.empty();
  // Where the program was started: pictures go there when the model's folder takes none.
  std::error_code cwdError;
  const std::filesystem::path workingFolder = std::filesystem::current_path(cwdError);
  // The model first, read and built before any window or device exists: one that cannot be
  // shown ends the program with its line, and no window opens.
  std::shared_ptr<ModelView> firstModel;
  if (showModel) {
    firstModel = LoadModelView(desktopOptions.model, desktopOptions.animations, 1920, 1080, desktopOptions.shading);
    if (!firstModel) return 1;
  }
  WindowSystem windows;
  std::string error;
  if (!windows.open(&error)) {
    std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
    return 1;
  }

  // The application record.
  AppState state;
  state.configFolder = enterResourceFolder().configFolder;
  state.windows = &windows;
  std::vector<MonitorArea> monitors;
  for (const WindowSystem::Monitor& m : windows.monitors()) monitors.push_back({{m.x, m.y, m.width, m.height}, m.primary});
  ChosenMonitor monitor = choosePrimaryMonitor(monitors, {0, 0, windows.screenWidth(), windows.screenHeight()});
  InitializeAppState(state, monitor, windows.logicalDpiX());
  appStateHandle() = &state;

  // The device before everything that draws with it, so that they go before it does.
  RenderDevice device;
  std::unique_ptr<WindowPresenter> presenter;
  ModelStage stage(device);
  std::unique_ptr<DroppedModels> drops;
  std::unique_ptr<ViewerTools> tools;

  // The main window, hidden until everything is loaded.
  DisplayView view;
  auto displayResized = [&presenter, &state, &view, &showModel] {
    if (presenter) presenter->windowResized();
    if (!showModel) return;
    // The model view renders at its window's size.
    PixelRect r = displayRect(state.maximized ? state.screenWidth : state.mainWidth,
                              state.maximized ? state.screenHeight : state.mainHeight, state.barHeight);
    view.requestedRenderSize.store(packRenderSize(r.width, r.height));
  };
  windows.registerClass("CLASS_MAINWINDOW", [&](XWindow window, WindowMessage message, const MessageArgs& args) {
    if (auto* s = static_cast<AppState*>(windows.userData(window))) MainWindowProcedure(*s, message, args, displayResized);
  });
  state.mainWindow =
      windows.createWindow("CLASS_MAINWINDOW", "ModelViewer", 0, state.mainX, state.mainY, state.mainWidth, state.mainHeight);
  windows.setUserData(state.mainWindow, &state);

  // The display view: its child window, the render device, the scene and the camera.
  ViewDrag drag;
  windows.registerClass("CLASS_DISPWINDOW", [&](XWindow window, WindowMessage message, const MessageArgs& args) {
    if (std::shared_ptr<ModelView> shown = stage.shown()) modelViewMouse(windows, window, *shown, drag, message, args);
  });
  PixelRect d = displayRect(state.mainWidth, state.mainHeight, state.barHeight);
  state.displayWindow = windows.createWindow("CLASS_DISPWINDOW", "ModelViewer", state.mainWindow, d.x, d.y, d.width, d.height);
  windows.setUserData(state.displayWindow, &view);
  view.windowWidth = d.width;
  view.windowHeight = d.height;
  view.renderWidth = showModel ? d.width : 1920;
  view.renderHeight = showModel ? d.height : 1080;
  RenderDeviceOptions options;
  options.renderWidth = view.renderWidth;
  options.renderHeight = view.renderHeight;
  options.startupScene = !showModel;
  options.validation = desktopOptions.validation;
  options.instanceExtensions = WindowPresenter::instanceExtensions();
  if (!device.create(options, &error)) {
    std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
    return 1;
  }
  // The frame thread presents on a connection of its own.
  Display* frameDisplay = XOpenDisplay(windows.displayName().c_str());
  presenter = std::make_unique<WindowPresenter>(device, frameDisplay, state.displayWindow);
  if (frameDisplay == nullptr || !presenter->create(&error)) {
    std::fprintf(stderr, "modelviewer: %s\n", frameDisplay ? error.c_str() : "cannot open a second X connection");
    presenter.reset();
    if (frameDisplay) XCloseDisplay(frameDisplay);
    return 1;
  }
  Scene scene;
  Camera camera;
  view.renderDevice = &device;
  view.scene = &scene;
  view.camera = &camera;
  view.modelStage = &stage;
  state.displayView = &view;
  KeyboardPoller keyboard;
  bool haveKeyboard = keyboard.open(windows.displayName(), state.mainWindow);
  windows.show(state.displayWindow);
  camera.aspect = cameraAspect(state.mainWidth, state.mainHeight);

  // Sound: the viewer starts normally without a device.
  SoundMixer soundMixer;
  state.soundMixer = &soundMixer;
  if (!soundMixer.Open(&error)) std::fprintf(stderr, "modelviewer: %s; continuing without sound\n", error.c_str());

  state.backBitmap = cairo_image_surface_create(CAIRO_FORMAT_RGB24, state.screenWidth, state.screenHeight);

  // The title-bar buttons, right to left.
  TitleButtonLayout b = titleButtonLayout(state.mainWidth, state.barHeight);
  CButtonClose closeButton;
  CButtonMaximize maximizeButton;
  CButtonMinimize minimizeButton;
  closeButton.Create(windows, b.closeX, b.top, b.side, b.side, state.mainWindow);
  closeButton.LoadImages("./pict/ButtonClose.png", "./pict/ButtonCloseDown.png");
  maximizeButton.Create(windows, b.maximizeX, b.top, b.side, b.side, state.mainWindow);
  maximizeButton.LoadImages("./pict/ButtonSize.png", "./pict/ButtonSizeDown.png");
  minimizeButton.Create(windows, b.minimizeX, b.top, b.side, b.side, state.mainWindow);
  minimizeButton.LoadImages("./pict/ButtonMin.png", "./pict/ButtonMinDown.png");
  state.closeButton = &closeButton;
  state.maximizeButton = &maximizeButton;
  state.minimizeButton = &minimizeButton;

  // The scene: the skeleton, its animations, the field; or the model asked for. Files dropped
  // later take its place.
  DroppedModels::Callbacks dropped;
  dropped.shown = [&windows, &showModel, &displayResized] {
    // From now on the picture renders at the display window's size, as the model view does.
    windows.post([&showModel, &displayResized] {
      showModel = true;
      displayResized();
    });
  };
  dropped.messaged = [&windows, &state](const std::string&) {
    windows.post([&windows, &state] { windows.invalidateAndUpdate(state.mainWindow); });
  };
  drops = std::make_unique<DroppedModels>(device, stage, scene, dropped, desktopOptions.shading);
  StartupScene contents;
  if (showModel) {
    firstModel->SetViewport(view.renderWidth, view.renderHeight);
    if (!stage.create(view.renderWidth, view.renderHeight, &error) || !stage.show(firstModel, &error)) {
      std::fprintf(stderr, "%s: %s\n", desktopOptions.model.c_str(), error.c_str());
      return 1;
    }
    drops->setShown({}, desktopOptions.model, desktopOptions.animations);
  } else {
    LoadStartupScene(scene, camera, contents, device.textureLoader());
    if (!UploadStartupScene(device, contents, &error)) {
      std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
      return 1;
    }
    drops->setShown(StartupMeshSets(contents));
  }
  tools = std::make_unique<ViewerTools>(
      *drops, stage, workingFolder,
      [&windows](std::function<void()> task) { windows.post(std::move(task)); });
  view.afterModelKeys = [&tools](const uint8_t* keys) { tools->onKeys(keys); };
  state.barExtraText = [&drops] { return drops->barText(); };
  view.renderSizeChanged = [&stage](int32_t width, int32_t height) {
    if (std::shared_ptr<ModelView> shown = stage.shown()) shown->SetViewport(width, height);
  };
  view.beforeFrame = [&view, &drops] { drops->frameHook(view.renderWidth, view.renderHeight); };
  windows.acceptDrops(state.mainWindow, {TakesDroppedFiles, [&drops, &tools](std::vector<std::string> paths) {
                                           drops->drop(std::move(paths));
                                           tools->followShown();
                                         }});

  // Running: the window, the two worker threads and the one-second repaint.
  windows.show(state.mainWindow);
  view.stopFlag.store(0);
  auto started = std::chrono::steady_clock::now();
  view.frameThread = std::thread([&] { FrameThread(view, presenter.get()); });
  view.inputThread = std::thread([&] { InputThread(view, haveKeyboard ? &keyboard : nullptr); });
  PeriodicTimer repaintTimer;
  repaintTimer.start(std::chrono::milliseconds(1000),
                     [&windows, &state] { windows.post([&windows, &state] { windows.invalidateAndUpdate(state.mainWindow); }); },
                     "repaint-tick");
  windows.invalidateAndUpdate(state.mainWindow);

  int status = windows.run();

  // Orderly shutdown, config.ini already written by the close action.
  view.stopFlag.store(1);
  repaintTimer.stop();
  soundMixer.stop();
  if (view.frameThread.joinable()) view.frameThread.join();
  if (view.inputThread.joinable()) view.inputThread.join();
  tools->stop();
  drops->stop();
  if (printStats) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    PrintRunStats(stdout, {view.framesDrawn, view.stepsTaken, seconds, device.deviceName(), contents.skeleton,
                           stage.shown().get()});
  }
  tools.reset();
  drops.reset();
  presenter.reset();
  if (device.validationMessages() > 0) {
    std::fprintf(stderr, "modelviewer: %d Vulkan validation messages\n", device.validationMessages());
  }
  XCloseDisplay(frameDisplay);
  cairo_surface_destroy(state.backBitmap);
  appStateHandle() = nullptr;
  return status;
}
