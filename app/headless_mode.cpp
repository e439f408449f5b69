#include "app/headless_mode.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <unistd.h>

#include "app/model_view_setup.h"
#include "app/png_writer.h"
#include "app/shading_options.h"
#include "app/whole_file.h"
#include "app/resource_paths.h"
#include "app/run_stats.h"
#include "app/video_writer.h"
#include "app/startup_scene.h"
#include "app/window_layout.h"
#include "platform/number_text.h"
#include "platform/uri_list.h"
#include "platform/text.h"
#include "render/frame_thread.h"
#include "render/model_stage.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/model_view.h"
#include "scene/scene.h"

namespace {

bool parseCount(const std::string& s, int64_t& out) {
  if (s.empty() || s.size() > 12 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoll(s);
  return true;
}

// "up:10-200"
bool parseHold(const std::string& s, HeadlessOptions::Hold& hold) {
  std::size_t colon = s.find(':'), dash = s.find('-', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || dash == std::string::npos) return false;
  std::string key = s.substr(0, colon);
  if (key == "up") hold.scanCode = kKeyUp;
  else if (key == "down") hold.scanCode = kKeyDown;
  else if (key == "left") hold.scanCode = kKeyLeft;
  else if (key == "right") hold.scanCode = kKeyRight;
  else return false;
  return parseCount(s.substr(colon + 1, dash - colon - 1), hold.first) &&
         parseCount(s.substr(dash + 1), hold.last) && hold.first <= hold.last;
}

bool writeScreenshot(const PictureReader& picture, int32_t width, int32_t height, const std::string& path) {
  if (picture.rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
    std::fprintf(stderr, "%s: cannot read the rendered frame back\n", path.c_str());
    return false;
  }
  const std::string png = EncodePng(picture.rgba.data(), width, height, int64_t{width} * 4);
  if (png.empty()) {
    std::fprintf(stderr, "%s: cannot encode the PNG\n", path.c_str());
    return false;
  }
  std::string why;
  if (!WriteFileWhole(path, png, &why)) {
    std::fprintf(stderr, "%s: cannot write the picture: %s\n", path.c_str(), why.c_str());
    return false;
  }
  return true;
}

// "640x480": each side 1 to 16384.
bool parseSize(const std::string& s, int32_t& width, int32_t& height) {
  std::size_t x = s.find('x');
  int64_t w = 0, h = 0;
  if (x == std::string::npos || !parseCount(s.substr(0, x), w) || !parseCount(s.substr(x + 1), h)) return false;
  if (w < 1 || h < 1 || w > 16384 || h > 16384) return false;
  width = static_cast<int32_t>(w);
  height = static_cast<int32_t>(h);
  return true;
}

}  // namespace

std::optional<HeadlessOptions> ParseHeadlessOptions(const std::vector<std::string>& args, std::string& error) {
  HeadlessOptions options;
  bool framesGiven = false, shadingGiven = false, videoOptionGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool hasValue = i + 1 < args.size();
    if (a == "--frames" && hasValue) {
      framesGiven = true;
      if (!parseCount(args[++i], options.frames) || options.frames < 1) {
        error = "--frames needs a positive number";
        return std::nullopt;
      }
    } else if (a == "--size" && hasValue) {
      if (!parseSize(args[++i], options.width, options.height)) {
        error = "--size needs WIDTHxHEIGHT, each 1 to 16384";
        return std::nullopt;
      }
    } else if (a == "--ani" && hasValue) {
      // Paths from the command line are made whole before the data folder is entered.
      options.animations.push_back(std::filesystem::absolute(args[++i]).string());
    } else if (!a.empty() && a[0] != '-' && options.model.empty()) {
      options.model = std::filesystem::absolute(a).string();
    } else if (a == "--screenshot" && hasValue) {
      options.screenshot = std::filesystem::absolute(args[++i]).string();  // before the data folder is entered
    } else if (a == "--hold" && hasValue) {
      HeadlessOptions::Hold hold;
      if (!parseHold(args[++i], hold)) {
        error = "--hold needs KEY:FIRST-LAST with KEY one of up, down, left, right";
        return std::nullopt;
      }
      options.holds.push_back(hold);
    } else if (a == "--video" && hasValue) {
      options.video = std::filesystem::absolute(args[++i]).string();
    } else if (a == "--turntable" && hasValue) {
      videoOptionGiven = true;
      const std::string& value = args[++i];
      options.turntableSeconds = value.find_first_not_of("0123456789.") == std::string::npos && !value.empty()
                                     ? text::parseDouble(value)
                                     : -1;
      if (!(options.turntableSeconds >= 0.1 && options.turntableSeconds <= 600)) {
        error = "--turntable needs SECONDS, 0.1 to 600";
        return std::nullopt;
      }
    } else if ((a == "--animation" || a == "--fps") && hasValue) {
      videoOptionGiven = true;
      const bool animation = a == "--animation";
      int64_t n = 0;
      if (!parseCount(args[++i], n) || n < 1 || n > (animation ? 1000000 : 120)) {
        error = animation ? "--animation needs the number of an animation set, from 1" : "--fps needs frames a second, 1 to 120";
        return std::nullopt;
      }
      (animation ? options.animation : options.fps) = static_cast<int32_t>(n);
    } else if (a == "--stats") {
      options.stats = true;
    } else if (a == "--validate") {
      options.validation = true;
    } else if (a == "--empty") {
      options.emptyScene = true;
    } else if (const OptionParse shading = ParseShadingOption(args, i, options.shading, error);
               shading != OptionParse::kNotMine) {
      if (shading == OptionParse::kBad) return std::nullopt;
      shadingGiven = true;
    } else {
      error = "unknown or incomplete option: " + a;
      return std::nullopt;
    }
  }
  if (options.model.empty() &&
      (!options.animations.empty() || options.width != 1280 || options.height != 720 || shadingGiven)) {
    error = "--ani, --size and the shading options need a MODEL";
    return std::nullopt;
  }
  if (options.video.empty() && videoOptionGiven) {
    error = "--turntable, --animation and --fps need --video";
    return std::nullopt;
  }
  if (!options.video.empty() && (options.model.empty() || framesGiven || !options.screenshot.empty() ||
                                 !options.holds.empty())) {
    error = "--video needs a MODEL and takes the place of --frames, --screenshot and --hold";
    return std::nullopt;
  }
  // A picture of a model is one frame unless asked for more.
  if (!options.model.empty() && !framesGiven) options.frames = 1;
  return options;
}

std::optional<HeadlessOptions> ParseThumbnailOptions(const std::vector<std::string>& args, std::string& error) {
  int64_t size = 0;
  if (args.size() != 3 || !parseCount(args[0], size) || size < 16 || size > 4096) {
    error = "--thumbnail needs SIZE (16 to 4096), INPUT and OUTPUT";
    return std::nullopt;
  }
  HeadlessOptions options;
  options.width = options.height = static_cast<int32_t>(size);
  options.frames = 1;
  std::string input = args[1];
  if (input.rfind("file:", 0) == 0) {
    std::vector<std::string> paths = text::filePathsFromUriList(input);
    if (paths.empty()) {
      error = input + ": not a local file";
      return std::nullopt;
    }
    input = paths.front();
  }
  // Whole paths: the program makes its data folder current before it reads them.
  options.model = std::filesystem::absolute(input).string();
  options.screenshot = std::filesystem::absolute(args[2]).string();
  return options;
}

namespace {

// Why the picture cannot go to `target`, before any work is done for it: a place that is no
// regular file nor a new name, or one of the files the picture is made from. Empty when it can.
std::string unusableTarget(const HeadlessOptions& options, const std::string& target, const char* what) {
  std::string why;
  const std::filesystem::path destination = WriteDestination(target, &why);
  if (destination.empty()) return why;
  std::error_code ec;
  if (!std::filesystem::exists(destination, ec)) return {};
  std::vector<std::string> inputs = options.animations;
  if (!options.model.empty()) inputs.push_back(options.model);
  for (const std::string& input : inputs) {
    if (std::filesystem::equivalent(destination, input, ec)) return "is " + input + ", which the " + what + " is made from";
  }
  return {};
}

// The video: each frame rendered, read back and handed to the writer, whose own thread encodes
// while the next frame renders. Progress on stderr when it is a terminal.
int recordVideo(const HeadlessOptions& options, RenderDevice& device, ModelStage& stage, ModelView& view) {
  int64_t frames = 0;
  if (options.animation > 0) {
    if (options.animation > view.animationCount()) {
      std::fprintf(stderr, "%s: has %d animation sets; --animation %d names none\n", options.model.c_str(),
                   view.animationCount(), options.animation);
      return 1;
    }
    view.PlayAnimation(options.animation - 1);
    const double duration = view.model().animations[static_cast<std::size_t>(options.animation - 1)].duration();
    frames = std::max<int64_t>(1, std::llround(duration * options.fps));
  } else {
    if (view.animationCount() > 0) view.TogglePause();  // the first clip's first pose, still
    frames = std::max<int64_t>(1, std::llround(options.turntableSeconds * options.fps));
  }
  std::string why;
  std::unique_ptr<VideoWriter> writer =
      VideoWriter::open(options.video, {options.width, options.height, options.fps}, &why);
  if (!writer) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const bool progress = ::isatty(STDERR_FILENO) == 1;
  PictureReader picture(device);
  const std::size_t rowBytes = static_cast<std::size_t>(options.width) * 4;
  std::vector<uint8_t> cropped;
  for (int64_t frame = 0; frame < frames; ++frame) {
    // The turn's last frame stops one step short of the first, so that the clip loops.
    if (options.animation == 0 && frame > 0) view.Turn(360.0f / static_cast<float>(frames));
    if (!stage.renderFrame(frame == 0 ? 0.0 : 1.0 / options.fps, &picture) ||
        picture.rgba.size() != rowBytes * static_cast<std::size_t>(options.height)) {
      std::fprintf(stderr, "modelviewer: the GPU failed to render frame %" PRId64 " of the video\n", frame + 1);
      return 1;
    }
    // The writer takes even sides: the picture's last column or row goes where it is odd.
    std::span<const uint8_t> rgba = picture.rgba;
    if (writer->width() != options.width || writer->height() != options.height) {
      cropped.resize(static_cast<std::size_t>(writer->width()) * writer->height() * 4);
      for (int y = 0; y < writer->height(); ++y) {
        std::copy_n(picture.rgba.data() + y * rowBytes, static_cast<std::size_t>(writer->width()) * 4,
                    cropped.data() + static_cast<std::size_t>(y) * writer->width() * 4);
      }
      rgba = cropped;
    }
    if (!writer->addFrame(rgba, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    if (progress) std::fprintf(stderr, "\rrendering frame %" PRId64 " of %" PRId64, frame + 1, frames);
  }
  const bool written = writer->finish(&why, [&](int done, int total) {
    if (progress) std::fprintf(stderr, "\rencoding frame %d of %d   ", done, total);
  });
  if (progress) std::fprintf(stderr, "\n");
  if (!written) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  if (device.validationMessages() > 0) {
    std::fprintf(stderr, "modelviewer: %d Vulkan validation messages\n", device.validationMessages());
    return 1;
  }
  return 0;
}

}  // namespace

int RunHeadless(const HeadlessOptions& options) {
  for (const std::string* target : {&options.screenshot, &options.video}) {
    if (target->empty()) continue;
    const char* what = target == &options.video ? "video" : "picture";
    if (std::string why = unusableTarget(options, *target, what); !why.empty()) {
      std::fprintf(stderr, "%s: the %s is not written there: it %s\n", target->c_str(), what, why.c_str());
      return 1;
    }
  }
  // A picture too large for the memory its targets may take is refused before anything is
  // read; one beyond the device's own limit once the device is known.
  const bool showModel = !options.model.empty();
  auto refusedSize = [&](uint32_t maxSide, const std::string& device) {
    const PictureSize largest = LargestPicture(options.width, options.height, maxSide);
    if (largest.width == options.width && largest.height == options.height) return false;
    std::fprintf(stderr,
                 "modelviewer: --size %dx%d is larger than %s can draw in %llu MiB of targets; the largest picture of "
                 "that shape is %dx%d\n",
                 options.width, options.height, device.c_str(), static_cast<unsigned long long>(kTargetBudgetBytes >> 20),
                 largest.width, largest.height);
    return true;
  };
  if (showModel && refusedSize(UINT32_MAX, "the viewer")) return 2;
  // The model first: one that cannot be shown ends the run before a device is made.
  std::shared_ptr<ModelView> modelView;
  if (showModel) {
    modelView = LoadModelView(options.model, options.animations, options.width, options.height, options.shading);
    if (!modelView) return 1;
  }
  enterResourceFolder();
  RenderDevice device;
  RenderDeviceOptions deviceOptions;
  deviceOptions.validation = options.validation;
  deviceOptions.startupScene = !showModel;
  if (showModel) {
    deviceOptions.renderWidth = options.width;
    deviceOptions.renderHeight = options.height;
  }
  std::string error;
  if (!device.create(deviceOptions, &error)) {
    std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
    return 1;
  }
  ModelStage stage(device);
  if (showModel) {
    if (refusedSize(device.limits().maxImageDimension2D, device.deviceName())) return 2;
    if (!stage.create(options.width, options.height, &error) || !stage.show(modelView, &error)) {
      std::fprintf(stderr, "%s: %s\n", options.model.c_str(), error.c_str());
      return 1;
    }
  }

  if (!options.video.empty()) return recordVideo(options, device, stage, *modelView);

  Scene scene;
  Camera camera;
  // The aspect of the window the desktop program would open on a 1920 x 1080 screen.
  MainWindowLayout layout = computeMainWindowLayout(1920, 1080, 96);
  camera.aspect = cameraAspect(layout.mainWidth, layout.mainHeight);
  StartupScene contents;
  if (!showModel && !options.emptyScene) {
    LoadStartupScene(scene, camera, contents, device.textureLoader());
    if (!UploadStartupScene(device, contents, &error)) {
      std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
      return 1;
    }
  }

  DisplayView view;
  view.renderDevice = &device;
  view.scene = &scene;
  view.camera = &camera;
  view.modelStage = &stage;
  PictureReader picture(device);
  auto start = std::chrono::steady_clock::now();
  for (int64_t frame = 1; frame <= options.frames; ++frame) {
    uint8_t keys[kKeyboardStateSize] = {};
    for (const auto& hold : options.holds) {
      if (frame >= hold.first && frame <= hold.last) keys[hold.scanCode] = 0x80;
    }
    if (modelView) {
      modelView->OnKeyboard(keys);
    } else {
      scene.DispatchKeyboard(keys);
    }
    // The last frame's picture comes back in that frame's submission.
    const bool last = frame == options.frames && !options.screenshot.empty();
    if (!RenderOneFrame(view, last ? &picture : nullptr)) {
      std::fprintf(stderr, "modelviewer: the GPU failed to render frame %" PRId64 "\n", frame);
      return 1;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (!options.screenshot.empty()) {
    const int32_t width = showModel ? options.width : device.renderWidth();
    const int32_t height = showModel ? options.height : device.renderHeight();
    if (!writeScreenshot(picture, width, height, options.screenshot)) return 1;
  }
  if (options.stats && showModel) {
    PrintRunStats(stdout, {options.frames, options.frames, seconds, device.deviceName(), nullptr, modelView.get()});
  } else if (options.stats) {
    // One scene step per frame: replays of scripted keys stay deterministic.
    PrintRunStats(stdout, {options.frames, options.frames, seconds, device.deviceName(), contents.skeleton});
  }
  if (device.validationMessages() > 0) {
    std::fprintf(stderr, "modelviewer: %d Vulkan validation messages\n", device.validationMessages());
    return 1;
  }
  return 0;
}
